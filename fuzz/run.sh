#!/usr/bin/env bash
# fuzz/run.sh TARGET [SECONDS [LIBFUZZER_OPTION...]]
# Fuzzes one target of target/fuzz (made by fuzz/build.sh) for SECONDS (default
# 600) in FORKS forked children (default 1), each restarted after a finding,
# starting from the committed corpus and the generated seeds. New inputs go to
# target/fuzz/work/TARGET/corpus, findings to target/fuzz/work/TARGET/artifacts.
# MAX_LEN caps the inputs (default 4096 bytes) and TIMEOUT is the most seconds
# one input may take before it counts as a finding (default 10). To hunt slow
# inputs, run with TIMEOUT=1 and, for part of the run, MAX_LEN=65536, where
# parse time that grows faster than the text shows. BUILD=target/fuzz-fast runs
# the build without sanitizers (SANITIZE=OFF fuzz/build.sh); the work folder
# stays the same.
set -euo pipefail
cd "$(dirname "$0")/.."
target=$1
seconds=${2:-600}
shift $(($# < 2 ? $# : 2))

work=$PWD/target/fuzz/work/$target
mkdir -p "$work/corpus" "$work/artifacts"
[ -d "target/fuzz/seeds/$target" ] || python fuzz/make_seeds.py
dictionary=()
[ -f "fuzz/$target.dict" ] && dictionary=(-dict="$PWD/fuzz/$target.dict")
exec "${BUILD:-target/fuzz}/$target" -fork="${FORKS:-1}" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
  -max_total_time="$seconds" -max_len="${MAX_LEN:-4096}" -timeout="${TIMEOUT:-10}" -rss_limit_mb=2048 \
  -artifact_prefix="$work/artifacts/" "${dictionary[@]}" "$@" \
  "$work/corpus" "$PWD/fuzz/corpus/$target" "$PWD/target/fuzz/seeds/$target"
