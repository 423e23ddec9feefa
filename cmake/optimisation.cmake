# Whole-program optimisation: the parser runtime, the grammars, our layers and
# the module compile for link-time optimisation, so that the optimiser sees
# them as one program when the module is linked. Every static library defined
# after this file carries intermediate code instead of machine code, and CMake
# archives it with the compiler's own archiver (gcc-ar and gcc-ranlib for GCC,
# llvm-ar for clang and zig), which indexes that code for the linker.
#
#   pip install . -Ccmake.define.MARBLEWICK_LTO=OFF    (a build without it)
#
# The sanitizer, data-race and fuzz builds compile without it: they optimise
# little on purpose (-O1) and want their reports to name the functions as
# written, and link-time optimisation would only lengthen their builds.

option(MARBLEWICK_LTO "Optimise the parser runtime, the grammars and the module as one program at link time" ON)

set(_lto_excluded_by "")
set(_lto_applied OFF)
foreach(build MARBLEWICK_SANITIZE MARBLEWICK_TSAN MARBLEWICK_FUZZ MARBLEWICK_FUZZ_REPLAY)
  if(${build})
    set(_lto_excluded_by "${build}")
  endif()
endforeach()

if(MARBLEWICK_LTO AND _lto_excluded_by)
  message(STATUS "Link-time optimisation: off in the ${_lto_excluded_by} build")
elseif(MARBLEWICK_LTO)
  include(CheckIPOSupported)
  check_ipo_supported(RESULT _lto_supported OUTPUT _lto_refusal LANGUAGES C CXX)
  if(_lto_supported)
    set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
    set(_lto_applied ON)
    message(STATUS "Link-time optimisation: on")
  else()
    # A compiler or linker without it still builds a correct module, only a
    # slower one; say so rather than stop.
    message(WARNING "Link-time optimisation is not available with this compiler and linker, "
                    "so the module is built without it: ${_lto_refusal}")
  endif()
else()
  message(STATUS "Link-time optimisation: off (MARBLEWICK_LTO)")
endif()
# Thread-local variables through TLS descriptors, where the compiler has them
# (GCC on x86_64; elsewhere they are the default or absent): the parser's
# allocator hooks read which pool serves this thread's parse at every
# allocation, and in a module that the interpreter loads at run time a
# descriptor reads it in two instructions where the traditional model calls
# __tls_get_addr (0.6% fewer instructions for "syntax-check" of Python). Not
# in the sanitizer, data-race and fuzz builds, whose run-time libraries
# follow thread-local blocks through __tls_get_addr.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
if(NOT _lto_excluded_by)
  check_c_compiler_flag(-mtls-dialect=gnu2 _c_tls_descriptors)
  check_cxx_compiler_flag(-mtls-dialect=gnu2 _cxx_tls_descriptors)
  if(_c_tls_descriptors AND _cxx_tls_descriptors)
    add_compile_options(-mtls-dialect=gnu2)
    add_link_options(-mtls-dialect=gnu2)
  endif()
endif()

# Whether this build folder's module is so optimised, for the release wheel
# scripts to check in CMakeCache.txt.
set(MARBLEWICK_LTO_APPLIED ${_lto_applied} CACHE INTERNAL "Link-time optimisation in effect")
