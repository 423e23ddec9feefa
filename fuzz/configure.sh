# Sourced by build.sh and replay.sh: configure_build FOLDER CMAKE_OPTION...
# configures a build of this checkout in FOLDER, reusing the pinned dependency
# archives that an earlier build already holds, so nothing is downloaded again.
configure_build() {
  local folder=$1
  shift
  local options=()
  local archives runtime
  # The runtime's archive name, from the one file that pins its version.
  runtime=$(sed -n 's/^tree-sitter==\([^ ]*\) .*/tree-sitter-\1.tar.gz/p' cmake/dependency_pins.txt)
  for archives in target/*/_deps/archives; do
    if [ -f "$archives/$runtime" ]; then
      options+=("-DMARBLEWICK_DEPENDENCY_DIR=$PWD/$archives")
      break
    fi
  done
  if command -v ninja >/dev/null; then
    options+=(-G Ninja)
  fi
  cmake -S . -B "$folder" "${options[@]}" -DMARBLEWICK_TEST_PROBE=OFF "$@" >"$folder.configure.log" ||
    { cat "$folder.configure.log" >&2; return 1; }
}
