#!/usr/bin/env bash
# fuzz/run.sh TARGET [SECONDS [LIBFUZZER_OPTION...]]
# Fuzzes one target of target/fuzz (made by fuzz/build.sh) for SECONDS (default
# 600) in FORKS forked children (default 1), each restarted after a finding,
# starting from the committed corpus and the generated seeds. New inputs go to
# target/fuzz/work/TARGET/corpus, findings to target/fuzz/work/TARGET/artifacts.
# Inputs are capped at 4 KiB: longer token soups are known to take super-linear
# parse time, which the per-input timeout would otherwise report as findings.
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
exec "target/fuzz/$target" -fork="${FORKS:-1}" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/artifacts/" "${dictionary[@]}" "$@" \
  "$work/corpus" "$PWD/fuzz/corpus/$target" "$PWD/target/fuzz/seeds/$target"
