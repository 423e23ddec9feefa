#!/usr/bin/env bash
# Builds the libFuzzer targets in target/fuzz with clang 16 from Debian, every
# library instrumented for coverage, AddressSanitizer and UndefinedBehaviorSanitizer.
# Installs the compiler when it is missing (needs root and apt-get).
# SANITIZE=OFF builds in target/fuzz-fast instead, with coverage only (for
# fuzz_growth, many times faster that way).
set -euo pipefail
cd "$(dirname "$0")/.."
source fuzz/configure.sh

if ! command -v clang++-16 >/dev/null || [ ! -d /usr/lib/llvm-16/lib/clang/16/lib/linux ]; then
  apt-get install -y clang-16 libclang-rt-16-dev
fi

build=target/fuzz
[ "${SANITIZE:-ON}" = OFF ] && build=target/fuzz-fast
mkdir -p target
CC=clang-16 CXX=clang++-16 configure_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARBLEWICK_FUZZ=ON \
  -DMARBLEWICK_FUZZ_SANITIZE="${SANITIZE:-ON}"
cmake --build "$build" --target marblewick_fuzz_targets -j "${JOBS:-2}"
