#!/usr/bin/env bash
# Replays the committed corpus: builds the fuzz targets with g++ against the
# replay driver in target/fuzz-replay, then runs each target once on every
# input of its folder fuzz/corpus/<target>/. Exits non-zero when an input
# breaks its target's property. Then runs each known finding not yet repaired,
# fuzz/findings/<target>/* (but not the .txt reports), in a process of its own,
# and names those that now pass: they belong in the corpus.
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
for finding in fuzz/findings/*/*; do
  [ -f "$finding" ] && [ "${finding%.txt}" = "$finding" ] || continue
  target="$(basename "$(dirname "$finding")")"
  # The status from a subshell whose own messages are dropped, so that the
  # shell says nothing of the abort that ends a finding.
  status=$( (timeout 60 "target/fuzz-replay/$target" "$finding" >/dev/null 2>&1; echo $?) 2>/dev/null)
  if [ "$status" = 0 ]; then
    echo "$finding passes now: move it to fuzz/corpus/$target/"
  fi
done
