"""The release tools' own checks: the pins of the portable wheels agree with
THIRD_PARTY_NOTICES, the module-interface check of tools/wheel_common.sh
refuses what a portable wheel must not carry, and the smoke set that stands in
for the suite under emulation passes against the module under test."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import REPO_ROOT

import marblewick_index_native

TOOLS = REPO_ROOT / "tools"
NOTICES = (REPO_ROOT / "THIRD_PARTY_NOTICES").read_text(encoding="utf-8")


def pinned_lines(name):
    return [line for line in (TOOLS / name).read_text().splitlines() if line.strip() and not line.startswith("#")]


def requirement_versions(lines):
    """{package: version} of requirement lines pinned with `==`."""
    found = (re.match(r"([A-Za-z0-9_.-]+)==([^\s;]+)", line.strip()) for line in lines)
    return {match[1].lower(): match[2] for match in found if match}


def test_versions_written_outside_the_pins_agree_with_them():
    import tomllib

    pins = requirement_versions((REPO_ROOT / "cmake" / "dependency_pins.txt").read_text().splitlines())
    extras = tomllib.loads((REPO_ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]
    # The comparison benchmarks load the official bindings of the very releases
    # the module compiles in, and a grammar package is the same release in
    # every extra that names it.
    for extra, requirements in extras.items():
        for package, version in requirement_versions(requirements).items():
            assert pins.get(package, version) == version, (extra, package)
            for other in extras.values():
                assert requirement_versions(other).get(package, version) == version, (extra, package)
    bench = requirement_versions(extras["bench"])
    assert {package for package in pins if package in bench} == set(pins) - {"tree-sitter-language-pack"}


def test_zig_pin_is_hash_checked_and_named_in_the_notices():
    (line,) = pinned_lines("toolchain_pins.txt")
    match = re.fullmatch(r"ziglang==(\S+) --hash=sha256:([0-9a-f]{64})", line)
    assert match, line
    # The libc++ it links in is the notice's subject: a moved pin needs a new one.
    assert f"\nzig {match[1]}: libc++, libc++abi and libunwind (LLVM)\n" in NOTICES


def test_openssl_pins_cover_the_whole_source_package_and_its_notice():
    files = {}
    for line in pinned_lines("openssl_pins.txt"):
        digest, name = line.split("  ")
        assert re.fullmatch(r"[0-9a-f]{64}", digest), line
        files[name] = digest
    (dsc,) = [name for name in files if name.endswith(".dsc")]
    version = dsc.removeprefix("openssl_").removesuffix(".dsc")
    upstream = version.split("-")[0]
    # dpkg-source unpacks only what the .dsc lists; each of those is pinned.
    assert set(files) == {dsc, f"openssl_{upstream}.orig.tar.gz", f"openssl_{version}.debian.tar.xz"}
    assert f"source package openssl {version}" in " ".join(NOTICES.split())


def tool_environment():
    """The environment for the compiler, readelf and bash: without the
    sanitizer run's preloaded runtime and options (.ci/sanitize), which would
    report those programs' own memory, not ours."""
    return {key: value for key, value in os.environ.items() if key != "LD_PRELOAD" and not key.endswith("SAN_OPTIONS")}


def shared_object(tmp_path, name, source, *flags, compiler="cc"):
    if shutil.which(compiler) is None:
        pytest.skip(f"needs {compiler}")
    path = tmp_path / "src.c"
    path.write_text(textwrap.dedent(source))
    output = tmp_path / f"{name}.abi3.so"
    language = ["-x", "c++"] if compiler != "cc" else []
    subprocess.run(
        [compiler, *language, "-shared", "-fPIC", "-o", output, path, *flags], check=True, env=tool_environment()
    )
    return output


MODULE_CASES = {
    "only the init function": ("int PyInit_marblewick_index_native(void) { return 0; }", [], [], None),
    "a second export": (
        "int PyInit_marblewick_index_native(void) { return 0; }\nint helper(void) { return 1; }",
        [],
        [],
        "exports more than PyInit_marblewick_index_native",
    ),
    "the C++ runtime shared": (
        '#include <string>\nextern "C" __attribute__((visibility("default"))) int '
        'PyInit_marblewick_index_native() { return std::string("x").size(); }',
        ["-fvisibility=hidden"],
        ["c++"],
        "needs libstdc++.so.6",
    ),
    "a glibc newer than allowed": (
        "#include <sys/random.h>\nint PyInit_marblewick_index_native(void) { char b; return getrandom(&b, 1, 0); }",
        [],
        [],
        "needs glibc 2.25, newer than 2.17",
    ),
}


@pytest.mark.parametrize("case", MODULE_CASES)
def test_module_interface_check(tmp_path, case):
    source, flags, compiler, problem = MODULE_CASES[case]
    module = shared_object(tmp_path, "marblewick_index_native", source, *flags, compiler=(compiler or ["cc"])[0])
    glibc_max = "2.17" if "glibc" in case else "2.28"
    if shutil.which("readelf") is None:
        pytest.skip("needs readelf")
    result = subprocess.run(
        [
            "bash",
            "-c",
            'source "$1"; shift; check_module_interface "$@"',
            "check",
            TOOLS / "wheel_common.sh",
            module,
            glibc_max,
            "libc.so.6",
            "libm.so.6",
            "libpthread.so.0",
            "libdl.so.2",
            "ld-linux-x86-64.so.2",
            "ld-linux-aarch64.so.1",
        ],
        capture_output=True,
        text=True,
        env=tool_environment(),
    )
    if problem is None:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode == 1 and problem in result.stderr, (result.stdout, result.stderr)


def test_smoke_set_passes_against_the_module_under_test():
    site = pathlib.Path(marblewick_index_native.__file__).resolve().parent
    result = subprocess.run([sys.executable, "-I", TOOLS / "wheel_smoke.py", site], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines()[-1] == "all passed"
    assert "FAIL" not in result.stdout


def test_smoke_set_fails_on_a_wrong_answer(tmp_path):
    """A module that answers wrongly must fail the smoke set, or the emulated
    check would pass whatever the wheel does."""
    fake = tmp_path / "marblewick_index_native.py"
    fake.write_text(
        "import json\n"
        "__all__ = ['run']\n"
        "def run(command, payload):\n"
        "    return json.dumps({'ok': True, 'checked': True, 'valid': True, 'errors': [], 'symbols': []})\n"
    )
    result = subprocess.run([sys.executable, "-I", TOOLS / "wheel_smoke.py", tmp_path], capture_output=True, text=True)
    assert result.returncode == 1
    assert "FAIL  error x '{}'" in result.stdout
    assert "FAIL  scan lists, digests and counts the tree" in result.stdout
    assert result.stdout.splitlines()[-1].endswith(" failed")


def run_helper(script, *arguments, cwd=None, extra_env=None):
    """Runs bash SCRIPT with tools/wheel_common.sh sourced."""
    env = tool_environment() | (extra_env or {})
    return subprocess.run(
        ["bash", "-c", f'set -euo pipefail; source "$0"; {script}', TOOLS / "wheel_common.sh", *arguments],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
    )


def test_find_pythons_keeps_each_installation_once_and_only_cpython_311_up(tmp_path):
    old = tmp_path / "python3.10"
    old.write_text("#!/bin/sh\nexec true\n")
    old.chmod(0o755)
    link = tmp_path / "same-python"
    link.symlink_to(sys.executable)
    result = run_helper(
        "find_pythons", extra_env={"MARBLEWICK_PYTHONS": f"{sys.executable} {link} {old} /nonexistent/python3"}
    )
    assert result.returncode == 0, result.stderr
    version = ".".join(map(str, sys.version_info[:3]))
    assert result.stdout.splitlines() == [f"{version} {os.path.realpath(sys.executable)}"]


def test_snapshot_takes_what_git_would_ship(tmp_path):
    """The wheel and the tests come from the snapshot: ignored files (build
    output) stay out, untracked ones come in, a tracked file deleted in the
    working tree is left out rather than stopping the copy."""
    if shutil.which("git") is None:
        pytest.skip("needs git")
    repo = tmp_path / "repo"
    repo.mkdir()
    git = ["git", "-C", str(repo), "-c", "user.name=t", "-c", "user.email=t@t"]
    (repo / ".gitignore").write_text("target/\n")
    (repo / "kept.txt").write_text("tracked")
    (repo / "gone.txt").write_text("deleted later")
    env = tool_environment()
    subprocess.run([*git, "init", "-q"], check=True, env=env)
    subprocess.run([*git, "add", "."], check=True, env=env)
    subprocess.run([*git, "commit", "-qm", "x"], check=True, env=env)
    (repo / "gone.txt").unlink()
    (repo / "new.txt").write_text("untracked")
    (repo / "target").mkdir()
    (repo / "target" / "module.so").write_text("build output")
    work = tmp_path / "work"
    (work / "src").mkdir(parents=True)
    result = run_helper('repo="$1" work="$2" snapshot_tree', repo, work)
    assert result.returncode == 0, result.stderr
    copied = sorted(str(path.relative_to(work / "src")) for path in (work / "src").rglob("*") if path.is_file())
    assert copied == [".gitignore", "kept.txt", "new.txt"]


# Stand-ins for the Debian tools the portable wheel script asks about the
# machine: each logs its call, apt-get and dpkg's changes always fail, and
# what they report comes from the case.
HOST_TOOLS = {
    "dpkg-query": 'for p in $FAKE_MISSING; do [ "$p" = "${3:-}" ] && exit 1; done; echo "install ok installed"',
    "apt-cache": '[ "$1" = showsrc ] && [ -n "$FAKE_DEB_SRC" ] && echo "Package: openssl"; exit 0',
    "dpkg": '[ "$1" = --print-foreign-architectures ] && { echo "$FAKE_FOREIGN"; exit 0; }; exit 1',
    "apt-get": "exit 1",
}

HOST_CASES = {
    "a package missing": ([], {"FAKE_MISSING": "make"}, "missing Debian packages: make"),
    "no source packages known": ([], {"FAKE_DEB_SRC": ""}, "apt knows no source package"),
    "no arm64 architecture": (["--arch", "aarch64"], {"FAKE_FOREIGN": ""}, "dpkg has no arm64 architecture"),
}


@pytest.mark.parametrize("case", HOST_CASES)
def test_portable_wheel_script_changes_the_machine_only_when_asked(tmp_path, case):
    """Without --prepare-host the script stops before building anything,
    names what is missing and the flag, and has asked apt-get and dpkg for no
    change."""
    if os.uname().machine != "x86_64":
        pytest.skip("the portable wheels are built on x86_64")
    arguments, state, problem = HOST_CASES[case]
    fake = tmp_path / "bin"
    fake.mkdir()
    calls = tmp_path / "calls"
    for name, body in HOST_TOOLS.items():
        (fake / name).write_text(f'#!/bin/sh\necho "{name} $*" >>"{calls}"\n{body}\n')
        (fake / name).chmod(0o755)
    env = (
        tool_environment()
        | {"FAKE_MISSING": "", "FAKE_DEB_SRC": "yes", "FAKE_FOREIGN": "arm64"}
        | state
        | {
            "PATH": f"{fake}:{os.environ['PATH']}",
            "TMPDIR": str(tmp_path),
            "MARBLEWICK_CACHE_DIR": str(tmp_path / "cache"),
        }
    )
    result = subprocess.run(
        ["bash", TOOLS / "build_portable_wheel.sh", *arguments, tmp_path / "out"],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert result.returncode == 1, result.stdout + result.stderr
    assert problem in result.stderr and "--prepare-host" in result.stderr, result.stderr
    assert "== interpreters" not in result.stdout
    changes = [
        line
        for line in calls.read_text().splitlines()
        if line.startswith("apt-get") or (line.startswith("dpkg ") and "--print-" not in line)
    ]
    assert changes == []
    assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--arch", "sparc"], "--arch must be x86_64 or aarch64, not sparc"),
        (["--prepare"], "unknown option --prepare"),
        (["one", "two"], "usage: tools/build_portable_wheel.sh"),
    ],
)
def test_portable_wheel_script_refuses_what_it_does_not_know(tmp_path, arguments, message):
    result = subprocess.run(
        ["bash", TOOLS / "build_portable_wheel.sh", *arguments],
        capture_output=True,
        text=True,
        env=tool_environment() | {"TMPDIR": str(tmp_path)},
        timeout=60,
    )
    assert result.returncode == 2 and message in result.stderr, result.stderr


def test_run_has_no_personality_routine_for_pthread_exit_to_call():
    """A daemon thread that takes the interpreter lock back during shutdown is
    ended by pthread_exit, whose unwinding passes through run(). A frame with
    a personality routine there is called with the system unwinder's state,
    which the libc++ and libunwind linked into the portable wheels cannot
    read: run() must have none, in whatever build the tests were given."""
    from support import find_probe_dir

    folder = find_probe_dir()
    if folder is None or shutil.which("readelf") is None or shutil.which("nm") is None:
        pytest.skip("needs a build folder's probe module, readelf and nm")
    (module,) = folder.glob("marblewick_boundary_probe*.so")
    env = tool_environment()
    symbols = subprocess.run(["nm", module], capture_output=True, text=True, env=env).stdout
    addresses = [line.split()[0] for line in symbols.splitlines() if line.endswith("3runEP7_objectPKS2_lS2_")]
    if not addresses:
        pytest.skip("the probe module has no symbol table (a stripped build)")
    frames = subprocess.run(["readelf", "--debug-dump=frames", module], capture_output=True, text=True, env=env).stdout
    augmentation, entries = {}, {}
    current = None
    for line in frames.splitlines():
        fields = line.split()
        if len(fields) >= 4 and fields[3] == "CIE":
            current = int(fields[0], 16)
        elif len(fields) >= 6 and fields[3] == "FDE":
            start, end = (int(x, 16) for x in fields[5].removeprefix("pc=").split(".."))
            entries[start] = int(fields[4].removeprefix("cie="), 16)
        elif line.strip().startswith("Augmentation:") and current is not None:
            augmentation[current] = line.split('"')[1]
    (address,) = addresses
    assert "P" not in augmentation[entries[int(address, 16)]]
