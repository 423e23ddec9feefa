"""Shared helpers for the suite: every test goes through the module's one function."""

import json

import pytest

import marblewick_index_native


def run_json(command: str, payload) -> dict:
    """Runs a command with a payload given as a Python value or as raw JSON text."""
    text = payload if isinstance(payload, str) else json.dumps(payload)
    result = marblewick_index_native.run(command, text)
    assert isinstance(result, str)
    return json.loads(result)


def run_error(command: str, payload) -> str:
    """The RuntimeError text a command raises for a payload."""
    text = payload if isinstance(payload, str) else json.dumps(payload)
    with pytest.raises(RuntimeError) as caught:
        marblewick_index_native.run(command, text)
    assert len(caught.value.args) == 1
    return caught.value.args[0]


REPO_ROOT = __import__("pathlib").Path(__file__).resolve().parent.parent
PROBE_NAME = "marblewick_boundary_probe"


@pytest.fixture(scope="session")
def boundary_probe_dir(tmp_path_factory):
    """Builds the test-only probe module: the real boundary and JSON code with a
    command executor that fails on purpose. Returns the folder holding it."""
    import shutil
    import subprocess
    import sysconfig

    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the boundary probe")
    out_dir = tmp_path_factory.mktemp("probe")
    sources = [
        REPO_ROOT / "src/lib/host_boundary.cpp",
        REPO_ROOT / "src/lib/json_parse.cpp",
        REPO_ROOT / "src/lib/json_write.cpp",
        REPO_ROOT / "src/lib/json_value.cpp",
        REPO_ROOT / "tests/native/boundary_probe.cpp",
    ]
    command = [
        compiler, "-std=c++20", "-O1", "-fPIC", "-shared", "-fvisibility=hidden",
        "-DPy_LIMITED_API=0x030B0000", f"-DMARBLEWICK_MODULE_NAME={PROBE_NAME}",
        f"-I{REPO_ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}",
        *map(str, sources), "-o", str(out_dir / f"{PROBE_NAME}.abi3.so"),
    ]
    subprocess.run(command, check=True, capture_output=True)
    return out_dir
