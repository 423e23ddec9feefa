# The toolchain of the portable release wheels (tools/build_portable_wheel.sh):
# zig's clang, targeting one architecture and glibc 2.28, with libc++,
# libc++abi and libunwind linked in statically. That script writes the
# wrappers (cc, c++, ar, ranlib, each running zig for the target) and passes:
#
#   MARBLEWICK_ZIG_BIN            the folder of those wrappers
#   MARBLEWICK_TARGET_PROCESSOR   x86_64 or aarch64
#
# libcrypto comes from the static build the script made for the same target,
# given as OPENSSL_INCLUDE_DIR and OPENSSL_CRYPTO_LIBRARY, so nothing of the
# build machine's own libraries is searched for or linked.

# try_compile projects read this file again and need the same two settings.
# The whole test project of check_ipo_supported (cmake/optimisation.cmake) is
# given none of them, so the environment, which the nested configure shares,
# carries them there too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MARBLEWICK_ZIG_BIN MARBLEWICK_TARGET_PROCESSOR)
foreach(setting MARBLEWICK_ZIG_BIN MARBLEWICK_TARGET_PROCESSOR)
  if(NOT ${setting} AND DEFINED ENV{${setting}})
    set(${setting} "$ENV{${setting}}")
  endif()
  set(ENV{${setting}} "${${setting}}")
endforeach()

if(NOT MARBLEWICK_ZIG_BIN OR NOT EXISTS "${MARBLEWICK_ZIG_BIN}/c++")
  message(FATAL_ERROR "cmake/zig-toolchain.cmake needs MARBLEWICK_ZIG_BIN, the folder of the "
                      "zig wrappers that tools/build_portable_wheel.sh writes")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${MARBLEWICK_TARGET_PROCESSOR}")

set(CMAKE_C_COMPILER "${MARBLEWICK_ZIG_BIN}/cc")
set(CMAKE_CXX_COMPILER "${MARBLEWICK_ZIG_BIN}/c++")
# The host's binutils may not read objects of the target architecture.
set(CMAKE_AR "${MARBLEWICK_ZIG_BIN}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${MARBLEWICK_ZIG_BIN}/ranlib" CACHE FILEPATH "" FORCE)
set(CMAKE_C_COMPILER_AR "${CMAKE_AR}" CACHE FILEPATH "" FORCE)
set(CMAKE_CXX_COMPILER_AR "${CMAKE_AR}" CACHE FILEPATH "" FORCE)
set(CMAKE_C_COMPILER_RANLIB "${CMAKE_RANLIB}" CACHE FILEPATH "" FORCE)
set(CMAKE_CXX_COMPILER_RANLIB "${CMAKE_RANLIB}" CACHE FILEPATH "" FORCE)

# The modules are linked without symbol tables or debug information (libc++
# and libcrypto bring plenty), which is what stripping at install would do;
# the host's strip may not read the target's objects, so the script turns
# scikit-build-core's install-time strip off.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-all")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--strip-all")
