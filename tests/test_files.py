"""Reading a file named by a payload path: every command that does so ("hash",
"syntax-check", "outline") fails in the same words, and follows the same paths."""

import errno
import os
import pytest

from support import limits_address_space, os_error_text, run_child, run_error, run_json

READING_COMMANDS = ["hash", "syntax-check", "outline"]
ANALYSIS_COMMANDS = ["syntax-check", "outline"]

NUL_IN_NAME = "file name contained an unexpected NUL byte"
NOT_REGULAR = "not a regular file"
NOT_UTF8 = "stream did not contain valid UTF-8"

INVALID_UTF8 = [
    b"\xff",
    b"abc\x80",
    b"\xc3",
    b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80",
    b"\xc0\xaf",
    b"ok\n" * 100 + b"\xe2\x82",
    b"x = '\xe9'\n",
]


def write(path, data: bytes) -> str:
    path.write_bytes(data)
    return str(path)


# Each case turns the test's folder into the path to read.
PATH_CASES = {
    "empty": (lambda tmp: "", os_error_text(errno.ENOENT)),
    "missing": (lambda tmp: str(tmp / "no" / "such" / "file.py"), os_error_text(errno.ENOENT)),
    "below a file": (lambda tmp: write(tmp / "a.py", b"x") + "/inside.py", os_error_text(errno.ENOTDIR)),
    "directory": (lambda tmp: str(tmp), os_error_text(errno.EISDIR)),
    "nul": (lambda tmp: "a\0.py", NUL_IN_NAME),
    # The text before the NUL names a file: it must not be opened instead.
    "nul after a real name": (lambda tmp: write(tmp / "a.py", b"x") + "\0junk", NUL_IN_NAME),
    "/dev/zero": (lambda tmp: "/dev/zero", NOT_REGULAR),
    "/dev/null": (lambda tmp: "/dev/null", NOT_REGULAR),
}


@pytest.mark.parametrize("case", PATH_CASES)
@pytest.mark.parametrize("command", READING_COMMANDS)
def test_path_errors(tmp_path, command, case):
    make_path, message = PATH_CASES[case]
    assert run_error(command, {"path": make_path(tmp_path)}) == message


@pytest.mark.parametrize("content", INVALID_UTF8)
@pytest.mark.parametrize("command", READING_COMMANDS)
def test_invalid_utf8_is_refused(tmp_path, command, content):
    assert run_error(command, {"path": write(tmp_path / "bad.py", content)}) == NOT_UTF8


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
@pytest.mark.parametrize("command", READING_COMMANDS)
def test_unreadable_file(tmp_path, command):
    target = tmp_path / "secret.py"
    target.write_text("x")
    target.chmod(0)
    assert run_error(command, {"path": str(target)}) == os_error_text(errno.EACCES)


@pytest.mark.parametrize("command", READING_COMMANDS)
def test_fifo_is_refused_without_blocking(tmp_path, command):
    fifo = tmp_path / "pipe.py"
    os.mkfifo(fifo)
    # In a child process: a regression would block forever on the open or read.
    code = (
        "import json, marblewick_index_native as m\n"
        f"try: m.run({command!r}, json.dumps({{'path': {str(fifo)!r}}}))\n"
        "except RuntimeError as e: print(e)\n"
    )
    _, stdout, _ = run_child(code, timeout=30)
    assert stdout.strip() == NOT_REGULAR


# Files the kernel generates as they are read: they call themselves regular,
# report a size that means nothing (0, or 4096 under /sys), and may never end
# (pagemap gives 8 bytes for each page of the address space, about 256 GiB).
GENERATED_FILES = [
    "/proc/self/pagemap",
    "/proc/self/status",
    "/proc/version",
    "/proc/self/ns/net",
    "/sys/kernel/mm/transparent_hugepage/enabled",
    "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size",
]


# In a child with a time limit and an address-space cap: a regression reads
# pagemap to its end, or into memory until the cap.
@limits_address_space
@pytest.mark.parametrize("command", READING_COMMANDS)
def test_generated_files_are_refused_before_they_are_read(command):
    present = [path for path in GENERATED_FILES if os.access(path, os.R_OK)]
    code = f"""
        import json, resource
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        import marblewick_index_native as m
        for path in {present!r}:
            try:
                print(m.run({command!r}, json.dumps({{"path": path}})))
            except RuntimeError as failure:
                print(failure)
    """
    status, stdout, stderr = run_child(code, timeout=30)
    assert (status, stderr) == (0, "")
    assert stdout.splitlines() == [NOT_REGULAR] * len(present)
    assert "/proc/self/pagemap" in present


# A name under /proc that leads to a file stored elsewhere reads that file.
@pytest.mark.parametrize("command", READING_COMMANDS)
def test_a_proc_link_to_a_stored_file_reads_that_file(tmp_path, command):
    target = write(tmp_path / "real.py", b"def f(:\n    pass\nclass A:\n    pass\n")
    with open(target, "rb") as opened:
        through_proc = run_json(command, {"path": f"/proc/self/fd/{opened.fileno()}", "language": "python"})
    assert through_proc == run_json(command, {"path": target, "language": "python"})


# A text every command answers from its content: a digest, an error, a symbol.
SOURCE = b"def f(:\n    pass\nclass A:\n    pass\n"


@pytest.mark.parametrize("command", READING_COMMANDS)
def test_symbolic_link_is_followed(tmp_path, command):
    target = write(tmp_path / "real.py", SOURCE)
    link = tmp_path / "link.py"
    link.symlink_to(target)
    assert run_json(command, {"path": str(link)}) == run_json(command, {"path": target})


@pytest.mark.parametrize("command", READING_COMMANDS)
def test_relative_path_resolves_against_the_working_directory(tmp_path, monkeypatch, command):
    absolute = run_json(command, {"path": write(tmp_path / "rel.py", SOURCE)})
    monkeypatch.chdir(tmp_path)
    assert run_json(command, {"path": "rel.py"}) == absolute


# The analysis commands answer some languages without parsing ("toml" has no
# grammar, "json" no outline): the file must still be read, and its fault told.
@pytest.mark.parametrize(
    "name, language",
    [
        ("source.json", None),
        ("source.toml", None),
        ("source", None),
        ("source.py", "json"),
        ("source.py", "toml"),
        ("source.py", ""),
        ("source.py", "Python"),
        ("source.py", "nothing"),
    ],
)
@pytest.mark.parametrize("fault", ["missing", "not UTF-8"])
@pytest.mark.parametrize("command", ANALYSIS_COMMANDS)
def test_read_error_reported_whatever_the_language(tmp_path, command, fault, name, language):
    path = tmp_path / name
    if fault == "missing":
        expected = os_error_text(errno.ENOENT)
    else:
        path.write_bytes(b"x = '\xe9'\n")
        expected = NOT_UTF8
    payload = {"path": str(path)}
    if language is not None:
        payload["language"] = language
    assert run_error(command, payload) == expected
