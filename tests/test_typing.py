"""The shipped type stub is found by a type checker."""

import subprocess
import sys
import textwrap

import pytest


def test_type_checker_finds_the_stub(tmp_path):
    pytest.importorskip("mypy")
    caller = tmp_path / "caller.py"
    caller.write_text(
        textwrap.dedent(
            """
            import marblewick_index_native

            answer: str = marblewick_index_native.run("hash", "{}")
            reveal_type(marblewick_index_native.run)
            marblewick_index_native.run("hash", 5)
            """
        )
    )
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(caller)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    output = completed.stdout
    assert "def (command: str, payload_json: str) -> str" in output.replace("builtins.", "")
    assert 'Argument 2 to "run" has incompatible type "int"; expected "str"' in output
    assert "import-not-found" not in output and "missing library stubs" not in output
