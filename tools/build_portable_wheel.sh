#!/usr/bin/env bash
# Builds the portable release wheels (manylinux_2_28) on an x86_64 Debian or
# Ubuntu machine, without containers: zig's clang compiles the module, the
# parser runtime and the grammars for glibc 2.28 with libc++ linked in, and
# libcrypto is Debian 12's OpenSSL built from its source package as a static
# library for the same target. Nothing is grafted into the wheel.
#
#   tools/build_portable_wheel.sh [--arch x86_64|aarch64] [--prepare-host] [--no-profile] [OUT_DIR]
#
# x86_64 (the default): the whole suite runs against the installed wheel in a
# fresh virtual environment of every CPython from 3.11 up on the machine, as
# tools/build_wheel.sh does. aarch64 is cross-built; its wheel is checked under
# qemu-user with Debian's arm64 CPython 3.11 and the smoke set
# tools/wheel_smoke.py (the interpreter has no pytest and emulation is slow).
# Only a wheel that passed reaches OUT_DIR (default dist/).
#
# Environment (besides those of tools/build_wheel.sh):
#   MARBLEWICK_CACHE_DIR   where zig, the static libcrypto builds, OpenSSL's
#                          source package and the arm64 interpreter are kept
#                          between runs (default ~/.cache/marblewick)
#
# The module is optimised with a profile of real work (--no-profile leaves
# that out): zig's clang records none (it links no profile runtime), so
# Debian's clang 16 builds an instrumented module for this machine,
# tools/profile_training.py runs the analysis commands over the sources of
# harness/corpus.py with it, and llvm-profdata-16 merges what it recorded
# into the profile that zig's clang then compiles with. The profile is kept
# in the work folder only.
#
# Pins: zig in tools/toolchain_pins.txt, OpenSSL's source package in
# tools/openssl_pins.txt, the grammars in cmake/dependency_pins.txt.
#
# The script changes nothing on the machine unless asked. With --prepare-host
# (as root) it installs the Debian packages it needs that are missing
# (dpkg-dev, make, perl, binutils; clang-16, its profile runtime
# libclang-rt-16-dev, llvm-16 and libssl-dev for the profile;
# qemu-user-static for aarch64), adds deb-src
# twins of the Debian entries to apt's sources when apt knows no source
# package and OpenSSL's source is not in the cache yet, and for aarch64 adds
# arm64 to dpkg's architectures. Without it, a run that needs any of these
# stops before building and names what is missing.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
  echo "usage: tools/build_portable_wheel.sh [--arch x86_64|aarch64] [--prepare-host] [--no-profile] [OUT_DIR]" >&2
  exit 2
}

# Sets `arch`, `prepare_host` (1 with --prepare-host), `profile` (0 with
# --no-profile), `out_dir`, and what
# follows from the architecture: `loader`, `libcrypto_asm`, `zig_target`.
parse_arguments() {
  arch=x86_64
  prepare_host=0
  profile=1
  out_dir=""
  while [[ $# -gt 0 ]]; do
    case $1 in
      --arch) [[ $# -ge 2 ]] || { echo "--arch needs x86_64 or aarch64" >&2; exit 2; }
              arch=$2; shift 2 ;;
      --arch=*) arch=${1#--arch=}; shift ;;
      --prepare-host) prepare_host=1; shift ;;
      --no-profile) profile=0; shift ;;
      -h | --help) usage ;;
      -*) echo "unknown option $1" >&2; usage ;;
      *) [[ -z $out_dir ]] || usage
         out_dir=$1; shift ;;
    esac
  done
  case $arch in
    x86_64) loader=ld-linux-x86-64.so.2 libcrypto_asm=sha256_block_data_order_shaext ;;
    aarch64) loader=ld-linux-aarch64.so.1 libcrypto_asm=sha256_block_armv8 ;;
    *) echo "--arch must be x86_64 or aarch64, not $arch" >&2; exit 2 ;;
  esac
  if [[ $(uname -m) != x86_64 ]]; then
    echo "the portable wheels are built on an x86_64 machine (the zig pin is its wheel)" >&2
    exit 2
  fi
  out_dir="${out_dir:-$repo/dist}"
  zig_target="$arch-linux-gnu.2.28"
}

# ---- changes to the machine, only with --prepare-host -----------------------

# Stops the run, before anything is built, for something only a change to
# the machine can give.
needs_host_change() {
  echo "$1" >&2
  echo "Make that change yourself, or run again as root with --prepare-host to let this script make it." >&2
  exit 1
}

apt_updated=0
apt_update() {
  if [[ $apt_updated -eq 0 ]]; then
    logged apt-update apt-get update -q
    apt_updated=1
  fi
}

# Makes sure the Debian packages named are installed: installs the missing
# ones with --prepare-host, stops naming them without it.
need_packages() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
      missing+=("$package")
    fi
  done
  [[ ${#missing[@]} -gt 0 ]] || return 0
  if [[ $prepare_host -eq 0 ]]; then
    needs_host_change "missing Debian packages: ${missing[*]} (apt-get install ${missing[*]})"
  fi
  echo "installing ${missing[*]}"
  apt_update
  logged apt-install env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Makes Debian's source packages known to apt: a deb-src twin of every Debian
# archive entry in apt's sources (signed by Debian's archive key), written to
# a file of its own, when apt knows no source package yet (with
# --prepare-host; without it, stops).
ensure_deb_src() {
  if [[ $(apt-cache showsrc openssl 2>/dev/null | grep -c '^Package:') -gt 0 ]]; then
    return
  fi
  if [[ $prepare_host -eq 0 ]]; then
    needs_host_change "apt knows no source package, and OpenSSL's source package is not in $cache yet: it needs deb-src entries in apt's sources"
  fi
  local sources=/etc/apt/sources.list.d/marblewick-deb-src.sources
  local lists=/etc/apt/sources.list.d/marblewick-deb-src.list
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -e $file && $file != "$sources" ]] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:([^\n]* )?deb( |\n)/ && /debian-archive-keyring/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$file"
  done >"$sources"
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -e $file && $file != "$lists" ]] || continue
    sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$file"
  done >"$lists"
  [[ -s $sources ]] || rm -f "$sources"
  [[ -s $lists ]] || rm -f "$lists"
  apt_updated=0
  apt_update
}

# Makes arm64 packages known to apt (with --prepare-host; without it, stops).
ensure_arm64_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    if [[ $prepare_host -eq 0 ]]; then
      needs_host_change "dpkg has no arm64 architecture, which the arm64 CPython that checks the wheel comes from (dpkg --add-architecture arm64; apt-get update)"
    fi
    dpkg --add-architecture arm64
    apt_updated=0
  fi
  if [[ $prepare_host -eq 1 ]]; then
    apt_update
  elif ! apt-cache show --no-all-versions python3.11-minimal:arm64 >/dev/null 2>&1; then
    needs_host_change "apt has no list of arm64 packages yet (apt-get update)"
  fi
}

# ---- the phases ---------------------------------------------------------------

# Everything the run needs of the machine, before anything is built: the
# Debian packages, and what only the first run for a target downloads
# (OpenSSL's source package through deb-src entries, arm64 packages).
check_host() {
  step "tools"
  need_packages dpkg-dev make perl binutils
  if [[ $arch == aarch64 ]]; then
    need_packages qemu-user-static
  fi
  if [[ $profile -eq 1 ]]; then
    need_packages clang-16 libclang-rt-16-dev llvm-16 libssl-dev
  fi
  locate_libcrypto
  if [[ ! -e $libcrypto/.complete ]] && ! openssl_source_holds; then
    ensure_deb_src
  fi
  sysroot="$cache/arm64-python3.11"
  if [[ $arch == aarch64 && ! -e $sysroot/.complete ]]; then
    ensure_arm64_packages
  fi
}

# zig, installed from its pinned wheel into an environment of its own, kept in
# the cache by version. Its own cache (the libc++ it compiles for a target)
# goes there too. Sets `zig_bin`, the folder of the
# wrappers (cc, c++, ar, ranlib) that cmake/zig-toolchain.cmake uses.
install_zig() {
  step "zig for $zig_target"
  local zig_env="$cache/ziglang-$zig_version" zig tool command
  if [[ ! -e $zig_env/.complete ]]; then
    rm -rf "$zig_env"
    "$build_python" -m venv "$zig_env"
    logged zig-install "$zig_env/bin/python" -m pip install --require-hashes --only-binary :all: \
      --no-deps -r "$repo/tools/toolchain_pins.txt"
    touch "$zig_env/.complete"
  fi
  zig="$("$zig_env/bin/python" -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).with_name("zig"))')"
  zig_bin="$work/zig-bin"
  mkdir -p "$zig_bin"
  for tool in cc c++ ar ranlib; do
    case $tool in
      cc | c++) command="'$zig' $tool -target $zig_target" ;;
      *) command="'$zig' $tool" ;;
    esac
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%q ZIG_LOCAL_CACHE_DIR=%q\nexport ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR\nexec %s "$@"\n' \
      "$cache/zig-cache" "$cache/zig-cache" "$command" >"$zig_bin/$tool"
    chmod +x "$zig_bin/$tool"
  done
  echo "zig $("$zig" version)"
}

# Where libcrypto for this target is kept in the cache: by OpenSSL's package
# version, the target, zig's version and the options. Sets `openssl_pins`,
# `openssl_dsc`, `openssl_version`, `openssl_options`, `openssl_downloads`
# (OpenSSL's source package) and `libcrypto`, the folder holding include/ and
# lib/.
locate_libcrypto() {
  openssl_pins="$repo/tools/openssl_pins.txt"
  openssl_dsc="$(awk '!/^#/ && $2 ~ /\.dsc$/ { print $2 }' "$openssl_pins")"
  openssl_version="${openssl_dsc#openssl_}"
  openssl_version="${openssl_version%.dsc}"
  openssl_downloads="$cache/openssl-source/$openssl_version"
  # Only what SHA-256 through EVP needs: the default provider built in, no
  # loadable modules or engines, no shared library, no tests.
  openssl_options=(no-shared no-module no-dso no-engine no-tests no-legacy no-afalgeng
                   no-ui-console no-comp no-ssl3 --openssldir=/usr/local/ssl --libdir=lib)
  zig_version="$(sed -n 's/^ziglang==\([^ ]*\) .*/\1/p' "$repo/tools/toolchain_pins.txt")"
  local options_key
  options_key="$(printf '%s\n' "$zig_version" "${openssl_options[@]}" | sha256sum | cut -c1-12)"
  libcrypto="$cache/libcrypto/$openssl_version/$zig_target-$options_key"
}

# Whether the cache holds OpenSSL's source package as tools/openssl_pins.txt has it.
openssl_source_holds() {
  (cd "$openssl_downloads" 2>/dev/null && grep -v '^#' "$openssl_pins" | grep . \
     | sha256sum --check --quiet >/dev/null 2>&1)
}

# libcrypto: Debian 12's OpenSSL, as a static library for the target with its
# assembly (SHA-256 uses the CPU's SHA instructions where it has them), kept in
# the cache where locate_libcrypto says.
build_libcrypto() {
  local downloads="$openssl_downloads" staged
  step "libcrypto: OpenSSL $openssl_version for $zig_target"
  if [[ -e $libcrypto/.complete ]]; then
    echo "cached: $libcrypto"
  else
    if ! openssl_source_holds; then
      ensure_deb_src
      rm -rf "$downloads"
      mkdir -p "$downloads"
      # apt's download user must be able to write here.
      chmod 0777 "$downloads"
      (cd "$downloads" && logged openssl-download apt-get source --download-only "openssl=$openssl_version")
      if ! openssl_source_holds; then
        (cd "$downloads" && grep -v '^#' "$openssl_pins" | grep . | sha256sum --check) >&2 || true
        echo "OpenSSL's source package does not match tools/openssl_pins.txt" >&2
        exit 1
      fi
    fi
    logged openssl-unpack dpkg-source -x "$downloads/$openssl_dsc" "$work/openssl-src"
    mkdir -p "$work/openssl-build"
    (cd "$work/openssl-build" && logged openssl-configure env CC="$zig_bin/cc" AR="$zig_bin/ar" \
       RANLIB="$zig_bin/ranlib" perl "$work/openssl-src/Configure" "linux-$arch" "${openssl_options[@]}")
    logged openssl-generate nice -n 10 make -C "$work/openssl-build" -j2 build_generated
    logged openssl-build nice -n 10 make -C "$work/openssl-build" -j2 libcrypto.a
    staged="$libcrypto.partial"
    rm -rf "$staged"
    mkdir -p "$staged/include/openssl" "$staged/lib"
    cp "$work/openssl-src/include/openssl/"*.h "$staged/include/openssl/"
    cp "$work/openssl-build/include/openssl/"*.h "$staged/include/openssl/"
    cp "$work/openssl-build/libcrypto.a" "$staged/lib/"
    "$zig_bin/ar" t "$staged/lib/libcrypto.a" >/dev/null
    printf 'OpenSSL %s (Debian source package) for %s with zig %s\nConfigure linux-%s %s\n' \
      "$openssl_version" "$zig_target" "$zig_version" "$arch" "${openssl_options[*]}" >"$staged/BUILD-INFO"
    rm -rf "$libcrypto"
    mv "$staged" "$libcrypto"
    touch "$libcrypto/.complete"
    echo "built: $libcrypto"
  fi
  # The SHA-256 assembly must be in: without it the digest runs in plain C.
  # (grep -c reads to the end: with -q, readelf could be cut off and fail the pipe.)
  if [[ $(readelf --syms --wide "$libcrypto/lib/libcrypto.a" 2>/dev/null | grep -cw "$libcrypto_asm") -eq 0 ]]; then
    echo "$libcrypto/lib/libcrypto.a lacks $libcrypto_asm: OpenSSL was built without its assembly" >&2
    exit 1
  fi
}

# The profile that zig's clang compiles with: a module built for this machine
# by Debian's clang 16 to record one (its front-end counters, which a newer
# clang reads; zig's records none), run over the training set, and the
# records merged. Without link-time optimisation and the test probe, which
# the training does not need. Sets `profile_flags`, the compile options for
# the wheel build (none with --no-profile).
record_profile() {
  profile_flags=()
  [[ $profile -eq 1 ]] || return 0
  step "profile: an instrumented build with clang 16 and its training run"
  local defines=() record=-fprofile-instr-generate
  if [[ -n ${MARBLEWICK_DEPENDENCY_DIR:-} ]]; then
    defines+=("-Ccmake.define.MARBLEWICK_DEPENDENCY_DIR=$MARBLEWICK_DEPENDENCY_DIR")
  fi
  logged profile-build env CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
    "$build_python" -m pip wheel "$work/src" --no-deps -w "$work/profile-wheel" \
    "-Cbuild-dir=$work/profile-build" "${defines[@]}" \
    -Ccmake.define.CMAKE_C_COMPILER=clang-16 -Ccmake.define.CMAKE_CXX_COMPILER=clang++-16 \
    -Ccmake.define.MARBLEWICK_LTO=OFF -Ccmake.define.MARBLEWICK_TEST_PROBE=OFF \
    "-Ccmake.define.CMAKE_C_FLAGS=$record" "-Ccmake.define.CMAKE_CXX_FLAGS=$record" \
    "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$record"
  mkdir -p "$work/profile"
  (cd "$work/run" && env -u PYTHONPATH PYTHONNOUSERSITE=1 TMPDIR="$work/tmp" \
     LLVM_PROFILE_FILE="$work/profile/training-%p.profraw" \
     "$build_python" -I "$work/src/tools/profile_training.py" "$work/profile-build") \
    | tee "$work/logs/profile-training.log"
  logged profile-merge llvm-profdata-16 merge -o "$work/module.profdata" "$work/profile"/*.profraw
  # Files the training never enters (the scan, the payload errors) have no
  # counters, which is no fault; a function whose counters do not fit its
  # code is still reported.
  profile_flags=("-fprofile-instr-use=$work/module.profdata" -Wno-profile-instr-unprofiled)
}

build_wheel() {
  step "wheel build for $zig_target with zig (fresh build folder)"
  # A cross-built wheel gets its platform tag named (the ABI tag as
  # pyproject.toml's wheel.py-api gives it). _PYTHON_HOST_PLATFORM would do it
  # too, but pip would then install the build's own tools (cmake, ninja) for the
  # target instead of this machine.
  local settings=()
  if [[ $arch != "$(uname -m)" ]]; then
    settings=("-Cwheel.tags=cp311-abi3-linux_$arch")
  fi
  if [[ ${#profile_flags[@]} -gt 0 ]]; then
    settings+=("-Ccmake.define.CMAKE_C_FLAGS=${profile_flags[*]}" "-Ccmake.define.CMAKE_CXX_FLAGS=${profile_flags[*]}")
  fi
  build_snapshot_wheel -Cinstall.strip=false "${settings[@]}" \
    "-Ccmake.define.CMAKE_TOOLCHAIN_FILE=$work/src/cmake/zig-toolchain.cmake" \
    "-Ccmake.define.MARBLEWICK_ZIG_BIN=$zig_bin" \
    "-Ccmake.define.MARBLEWICK_TARGET_PROCESSOR=$arch" \
    "-Ccmake.define.OPENSSL_USE_STATIC_LIBS=ON" \
    "-Ccmake.define.OPENSSL_INCLUDE_DIR=$libcrypto/include" \
    "-Ccmake.define.OPENSSL_CRYPTO_LIBRARY=$libcrypto/lib/libcrypto.a"
}

# What the module asks of the system that loads it: only glibc's libraries,
# no glibc symbol newer than 2.28, and nothing exported but its init function.
# Sets `links`, a line for the summary.
check_interface() {
  step "the module's dynamic interface"
  # The shared libraries a manylinux_2_28 module may need (the policy's list,
  # less what this module could never use).
  local allowed_needed="libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 $loader" modules
  mkdir -p "$work/unpacked"
  "$build_python" -m zipfile -e "$built" "$work/unpacked"
  modules=("$work/unpacked"/marblewick_index_native*.so)
  # shellcheck disable=SC2086  # the allowed libraries are words
  check_module_interface "${modules[0]}" "$glibc_max" $allowed_needed | tee "$work/logs/interface.log"
  links="$(sed -n 's/^needed: *//p' "$work/logs/interface.log"); glibc symbols up to $(sed -n 's/^glibc: *//p' "$work/logs/interface.log")"
}

# Tagged for the glibc the module was built against, although its symbol
# versions alone might let auditwheel claim an older one. Sets `repaired`,
# `wheel_name` and `policy`.
tag_wheel() {
  if [[ $arch == "$(uname -m)" ]]; then
    repair_wheel --plat "manylinux_2_28_$arch" --only-plat
    if [[ ${#grafted[@]} -gt 0 ]]; then
      echo "auditwheel grafted ${grafted[*]}: the portable wheel must need no library beyond glibc" >&2
      exit 1
    fi
    return
  fi
  # auditwheel repairs only wheels of its own machine's architecture, but it
  # judges any: the wheel must be within manylinux_2_28 as it is (nothing to
  # graft), and then only its tag changes.
  step "auditwheel"
  ensure_auditwheel
  auditwheel show "$built" | tee "$work/logs/auditwheel-show.log"
  local judged judged_glibc retagged
  judged="$(tr '\n' ' ' <"$work/logs/auditwheel-show.log" \
    | sed -n 's/.*consistent with the following platform tag: *"\([^"]*\)".*/\1/p')"
  judged_glibc="$(sed -n 's/^manylinux_\([0-9]*\)_\([0-9]*\)_.*/\1.\2/p' <<<"$judged")"
  if [[ -z $judged_glibc || $(printf '%s\n' "$judged_glibc" "$glibc_max" | sort -V | tail -n 1) != "$glibc_max" ]]; then
    echo "auditwheel does not find the wheel within manylinux_2_28 (it says: ${judged:-nothing})" >&2
    exit 1
  fi
  "$build_python" -m venv "$work/wheel-tool"
  logged wheel-tool-install "$work/wheel-tool/bin/python" -m pip install wheel
  mkdir -p "$work/repaired"
  cp "$built" "$work/repaired/"
  logged retag "$work/wheel-tool/bin/python" -m wheel tags --remove --platform-tag "manylinux_2_28_$arch" \
    "$work/repaired/${built##*/}"
  retagged=("$work/repaired"/*manylinux_2_28_"$arch".whl)
  repaired="${retagged[0]}"
  auditwheel show "$repaired" >"$work/logs/auditwheel-show-retagged.log"
  wheel_name="${repaired##*/}"
  policy="manylinux_2_28_$arch"
  echo "retagged: $wheel_name"
}

# Debian's arm64 CPython 3.11 and the libraries it loads, unpacked into a
# folder of the cache that qemu takes as the root for the dynamic loader and
# libraries: `sysroot`, which check_host names.
unpack_arm64_python() {
  [[ ! -e $sysroot/.complete ]] || return 0
  ensure_arm64_packages
  # The interpreter's packages and, recursively, what they depend on, as
  # arm64 packages (architecture-independent ones come along as they are),
  # less the packaging tools and perl, which only their maintainer scripts
  # and the mime.types helpers use.
  local debs deb arch_of
  mapfile -t debs < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances --no-pre-depends \
      python3.11-minimal:arm64 libpython3.11-stdlib:arm64 \
    | awk '/^[a-z0-9]/ && !/^ / { print $1 }' | sed 's/:arm64$//' | sort -u \
    | grep -v -E '^(debconf|debconf-2.0|dpkg|install-info|tar|perl.*|libperl.*|libgdbm-compat4|mailcap|mime-support|.*:any)$')
  rm -rf "$sysroot.partial"
  mkdir -p "$sysroot.partial/debs"
  chmod 0777 "$sysroot.partial/debs"
  # shellcheck disable=SC2046  # one word per package
  (cd "$sysroot.partial/debs" && logged arm64-download apt-get download \
     $(for deb in "${debs[@]}"; do
         arch_of="$(apt-cache show --no-all-versions "$deb:arm64" 2>/dev/null \
                    | sed -n 's/^Architecture: //p' | head -n 1)"
         if [[ $arch_of == arm64 ]]; then echo "$deb:arm64"; else echo "$deb"; fi
       done))
  for deb in "$sysroot.partial/debs"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot.partial"
  done
  rm -rf "$sysroot.partial/debs" "$sysroot"
  mv "$sysroot.partial" "$sysroot"
  touch "$sysroot/.complete"
}

# x86_64: the whole suite against the installed wheel under every interpreter.
# aarch64: the smoke set under qemu with Debian's arm64 CPython 3.11. Sets
# `results` and `failed`.
test_wheel() {
  if [[ $arch == x86_64 ]]; then
    run_suite_everywhere "$repaired" "$work/build"
    return
  fi
  step "arm64 CPython 3.11 under qemu"
  unpack_arm64_python
  local arm64_python=(qemu-aarch64-static -L "$sysroot" "$sysroot/usr/bin/python3.11") smoke_result
  "${arm64_python[@]}" -c 'import platform, sys; print(sys.version.split()[0], platform.machine())'
  mkdir -p "$work/arm64-site"
  "$build_python" -m zipfile -e "$repaired" "$work/arm64-site"
  failed=0
  (cd "$work/run" && env -u PYTHONPATH PYTHONNOUSERSITE=1 TMPDIR="$work/tmp" \
     "${arm64_python[@]}" -I "$work/src/tools/wheel_smoke.py" "$work/arm64-site") \
    2>&1 | tee "$work/logs/smoke-arm64.log" || failed=1
  smoke_result="$(tail -n 1 "$work/logs/smoke-arm64.log")"
  results=("3.11 (arm64, qemu): smoke set: $smoke_result")
}

summary() {
  step "summary"
  publish_wheel "$repaired"
  echo "wheel:   $wheel ($(stat -c %s "$wheel") bytes)"
  echo "policy:  $policy"
  echo "grafted: nothing"
  echo "links:   $links; libcrypto $openssl_version and libc++ static"
  echo "build:   ${build_seconds} s (pip wheel, fresh build folder, test probe included)"
  if [[ $profile -eq 1 ]]; then
    echo "profile: $(awk '{ n += $2 } END { print n }' "$work/logs/profile-training.log") files trained on (tools/profile_training.py)"
  else
    echo "profile: none (--no-profile)"
  fi
  printf 'tests:   %s\n' "${results[@]}"
}

main() {
  parse_arguments "$@"
  mkdir -p "$out_dir"
  out_dir="$(cd "$out_dir" && pwd)"
  # shellcheck source=tools/wheel_common.sh
  source "$repo/tools/wheel_common.sh"
  wheel_work_folder "marblewick-portable-$arch"
  cache="${MARBLEWICK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/marblewick}"
  mkdir -p "$cache"
  cache="$(cd "$cache" && pwd)"
  glibc_max=2.28

  check_host
  choose_pythons
  snapshot_tree
  install_zig
  build_libcrypto
  record_profile
  build_wheel
  check_interface
  tag_wheel
  test_wheel
  summary
  exit "$failed"
}

main "$@"
