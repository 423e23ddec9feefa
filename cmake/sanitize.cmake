# The sanitizer build: every target defined after this file (the parser runtime,
# the grammars, the layers, the extension module and the test probe) compiles
# and links with AddressSanitizer and UndefinedBehaviorSanitizer. A bad access
# inside the parser runtime is reached through our calls, so the runtime and the
# grammars are instrumented too, not only our own code.
#
#   pip install . -Ccmake.define.MARBLEWICK_SANITIZE=ON
#
# The module is loaded by an interpreter that is not instrumented, so the
# sanitizer runtime must be preloaded into it; .ci/sanitize does that and runs
# the suite.

option(MARBLEWICK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(MARBLEWICK_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT CMAKE_C_COMPILER_ID STREQUAL "GNU")
    message(WARNING "MARBLEWICK_SANITIZE is tried with GCC only; the preloaded runtime must match the compiler")
  endif()
  # float-cast-overflow is not part of "undefined" in GCC; a payload number
  # beyond an integer's range is exactly what a caller may send.
  set(_sanitizers address,undefined,float-cast-overflow)
  add_compile_options(
    -fsanitize=${_sanitizers}
    # An undefined-behaviour finding stops the process like a memory error
    # does, so a run cannot print one and still pass.
    -fno-sanitize-recover=all
    # Whole stacks in every report, and line numbers in them.
    -fno-omit-frame-pointer -g
    # -O1 keeps the build of the grammars' large generated parsers short
    # (everything builds in about a minute and a half on two cores); the
    # runtime's own -O3 wins for it, since target options come after these.
    -O1)
  # The undefined-behaviour runtime goes into each module, and none of its
  # symbols is exported. Loaded as a library of its own, it would hand its
  # report file setting to the address sanitizer's runtime, which comes first
  # in the process, and write its reports only to standard error, where a test
  # run that captures the output loses them when the process stops.
  add_link_options(-fsanitize=${_sanitizers} -static-libubsan -Wl,--exclude-libs,libubsan.a)
  # The standard library checks indexes and preconditions, and marks the
  # unused capacity of a vector so that a read past its end is reported too.
  add_compile_definitions(_GLIBCXX_ASSERTIONS _GLIBCXX_SANITIZE_VECTOR)
endif()

# The data-race build: every target defined after this file compiles and links
# with ThreadSanitizer, the parser runtime and the grammars included, so a race
# inside the runtime that our threads provoke is seen as well. It serves the
# native thread stress program (MARBLEWICK_THREAD_STRESS; .ci/tsan), which
# calls the command table from many threads with no interpreter involved.
option(MARBLEWICK_TSAN "Build with ThreadSanitizer" OFF)
if(MARBLEWICK_TSAN)
  if(MARBLEWICK_SANITIZE)
    message(FATAL_ERROR "MARBLEWICK_TSAN and MARBLEWICK_SANITIZE cannot share a build")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g -O1)
  add_link_options(-fsanitize=thread)
endif()
