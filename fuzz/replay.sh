#!/usr/bin/env bash
# Replays the committed corpus: builds the fuzz targets with g++ against the
# replay driver in target/fuzz-replay, then runs each target once on every
# input of its folder fuzz/corpus/<target>/. Exits non-zero when an input
# breaks its target's property.
set -euo pipefail
cd "$(dirname "$0")/.."
source fuzz/configure.sh

mkdir -p target
CC=${CC:-gcc} CXX=${CXX:-g++} configure_build target/fuzz-replay -DCMAKE_BUILD_TYPE=Release -DMARBLEWICK_FUZZ_REPLAY=ON
cmake --build target/fuzz-replay --target marblewick_fuzz_targets -j "${JOBS:-2}" >target/fuzz-replay.build.log ||
  { cat target/fuzz-replay.build.log >&2; exit 1; }
for corpus in fuzz/corpus/*/; do
  target="$(basename "$corpus")"
  if [ ! -x "target/fuzz-replay/$target" ]; then
    echo "$corpus has no target: add marblewick_add_fuzz_target($target ...) to cmake/fuzz.cmake" >&2
    exit 1
  fi
  "target/fuzz-replay/$target" "$corpus"
done
