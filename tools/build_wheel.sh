#!/usr/bin/env bash
# Builds the release wheel from scratch, repairs it with auditwheel, and runs the
# whole test suite against that wheel installed in a fresh virtual environment of
# every CPython from 3.11 up that this machine has.
#
#   tools/build_wheel.sh [OUT_DIR]    the repaired wheel lands in OUT_DIR (default:
#                                     dist/) once the suite passed under every one
#
# Environment:
#   MARBLEWICK_DEPENDENCY_DIR  a folder holding the pinned dependency archives;
#                              without it the build downloads them
#   MARBLEWICK_PYTHONS         the interpreters to test (space-separated), instead
#                              of every one found through pyenv and python3.X on PATH
#   MARBLEWICK_KEEP_WORK=1     keep the work folder, which is always kept on failure
#   TMPDIR                     where the work folder goes
#
# The wheel and the tests come from one snapshot of the tree (tracked and
# untracked, not ignored files), so an edit made while the script runs cannot
# split them, and the checkout gets nothing written into it but OUT_DIR. Tests
# run from an empty folder with the snapshot's tests/ as their argument, so
# nothing but the installed copy can be imported as the module; the plugin
# tools/installed_wheel_plugin.py fails a run whose module came from elsewhere.
# The test-only probe module is never in the wheel: the wheel's own build
# folder holds it, built from the same sources with the same flags, and the
# tests find it through MARBLEWICK_PROBE_DIR, so none of them skip.
#
# This wheel carries the build machine's glibc and libstdc++ requirements and
# its libcrypto; tools/build_portable_wheel.sh makes the manylinux_2_28 ones.
# The steps both scripts share are in tools/wheel_common.sh.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
out_dir="${1:-$repo/dist}"
mkdir -p "$out_dir"
out_dir="$(cd "$out_dir" && pwd)"
# shellcheck source=tools/wheel_common.sh
source "$repo/tools/wheel_common.sh"
wheel_work_folder marblewick-wheel

choose_pythons
snapshot_tree

step "wheel build with $build_python (fresh build folder)"
build_snapshot_wheel

repair_wheel

run_suite_everywhere "$repaired" "$work/build"

step "summary"
# Only a wheel that passed everywhere reaches OUT_DIR; a failed one stays in
# the kept work folder.
publish_wheel "$repaired"
echo "wheel:   $wheel ($(stat -c %s "$wheel") bytes)"
echo "policy:  $policy"
echo "grafted: ${grafted[*]:-nothing}"
echo "build:   ${build_seconds} s (pip wheel, fresh build folder, test probe included)"
printf 'tests:   %s\n' "${results[@]}"
exit "$failed"
