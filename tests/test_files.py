"""Reading files as text: the error forms every command shares (seen through "hash")."""

import errno
import json
import os
import subprocess
import sys

import pytest

from conftest import run_error, run_json


def os_error(number: int) -> str:
    return f"{os.strerror(number)} (os error {number})"


@pytest.mark.parametrize(
    "path, message",
    [
        ("", os_error(errno.ENOENT)),
        ("/no/such/file.py", os_error(errno.ENOENT)),
        ("/etc/passwd/inside", os_error(errno.ENOTDIR)),
        ("a\0b", "file name contained an unexpected NUL byte"),
        ("/dev/zero", "not a regular file"),
        ("/dev/null", "not a regular file"),
    ],
)
def test_read_errors(path, message):
    assert run_error("hash", {"path": path}) == message


def test_directory_fails_with_the_systems_read_error(tmp_path):
    assert run_error("hash", {"path": str(tmp_path)}) == os_error(errno.EISDIR)


def test_nul_in_path_never_reaches_the_file_system(tmp_path):
    # "a.txt" exists; the text before the NUL must not be opened instead.
    (tmp_path / "a.txt").write_text("x")
    assert run_error("hash", {"path": str(tmp_path / "a.txt") + "\0junk"}) == (
        "file name contained an unexpected NUL byte"
    )


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(tmp_path):
    target = tmp_path / "secret.py"
    target.write_text("x")
    target.chmod(0)
    assert run_error("hash", {"path": str(target)}) == os_error(errno.EACCES)


@pytest.mark.parametrize(
    "content",
    [b"\xff", b"abc\x80", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"ok\n" * 100 + b"\xe2\x82"],
)
def test_invalid_utf8_is_refused(tmp_path, content):
    target = tmp_path / "bad.py"
    target.write_bytes(content)
    assert run_error("hash", {"path": str(target)}) == "stream did not contain valid UTF-8"


def test_fifo_is_refused_without_blocking(tmp_path):
    fifo = tmp_path / "pipe.py"
    os.mkfifo(fifo)
    # In a child process: a regression would block forever on the open or read.
    code = (
        "import json, marblewick_index_native as m\n"
        f"try: m.run('hash', json.dumps({{'path': {str(fifo)!r}}}))\n"
        "except RuntimeError as e: print(e)\n"
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=30)
    assert completed.stdout.strip() == "not a regular file"


def test_symbolic_link_is_followed(tmp_path):
    target = tmp_path / "real.txt"
    target.write_text("same\n")
    link = tmp_path / "link.txt"
    link.symlink_to(target)
    assert run_json("hash", {"path": str(link)}) == run_json("hash", {"path": str(target)})


def test_relative_path_resolves_against_the_working_directory(tmp_path, monkeypatch):
    (tmp_path / "rel.txt").write_text("relative\n")
    monkeypatch.chdir(tmp_path)
    absolute = run_json("hash", {"path": str(tmp_path / "rel.txt")})
    assert run_json("hash", json.dumps({"path": "rel.txt"})) == absolute
