"""Helpers for the whole suite: every test goes through the module's one function."""

import hashlib
import importlib
import json
import os
import pathlib
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import marblewick_index_native

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent


def fuzz_input_text(name):
    """The text of an input of the analysis fuzz target's corpus (its first byte picks the language)."""
    return (REPO_ROOT / "fuzz" / "corpus" / "fuzz_analysis" / name).read_bytes()[1:].decode("utf-8", "replace")


PROBE_NAME = "marblewick_boundary_probe"


def payload_text(payload) -> str:
    """A payload given as a Python value, or as raw JSON text when it is a str."""
    return payload if isinstance(payload, str) else json.dumps(payload)


def run_json(command: str, payload) -> dict:
    """Runs a command and decodes its answer, which must be compact JSON (no
    blank, no line break) with the keys of every object in byte order."""
    text = marblewick_index_native.run(command, payload_text(payload))
    assert type(text) is str
    value = json.loads(text)
    # Writing the decoded value back the same way must give the very same text.
    assert text == json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
    return value


def answer(command: str, payload) -> tuple[str, str]:
    """What one call gives, to compare with another call's: ("ok", its text),
    or its exception's type name and message. `payload` goes to run() as it is,
    so that one that is no text is refused as it would be."""
    try:
        return ("ok", marblewick_index_native.run(command, payload))
    except (RuntimeError, TypeError) as error:
        return (type(error).__name__, str(error))


def run_error(command: str, payload) -> str:
    """The text of the RuntimeError a command raises for a payload."""
    with pytest.raises(RuntimeError) as caught:
        marblewick_index_native.run(command, payload_text(payload))
    assert len(caught.value.args) == 1
    return caught.value.args[0]


def os_error_text(number: int) -> str:
    """How a failed system call is reported: the system's message and its number."""
    return f"{os.strerror(number)} (os error {number})"


def expected_digest(data: bytes) -> str:
    """SHA-256 of the bytes once CR LF, then a lone CR, have become LF."""
    return hashlib.sha256(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")).hexdigest()


MIB = 1024 * 1024


def text_across_read_pieces(size: int, ending: bytes = b"") -> bytes:
    """A text of `size` bytes ending with `ending`. Files are read in pieces of
    1 MiB (from 4 MiB on, "hash" hashes them on a helper thread); here every
    boundary of the first six cuts a line ending or a character: what one
    piece ends with decides how the next begins."""
    data = bytearray((b"abcdefghij\n" * (size // 11 + 1))[: size - len(ending)])
    boundary_cuts = [
        b"\r|\n",  # CR LF
        b"\r|x",  # a lone CR
        b"\r\r|\n",  # CR CR LF
        b"\r\xf0\x9f\x98|\x80",  # CR, then a character cut 3 + 1
        "\u00e9".encode()[:1] + b"|" + "\u00e9".encode()[1:],  # cut 1 + 1
        b"\r\xe4\xb8|\xad",  # CR, then a character cut 2 + 1
    ]
    for number, cut in enumerate(boundary_cuts, start=1):
        before, after = cut.split(b"|")
        start = number * MIB - len(before)
        if start + len(before) + len(after) <= len(data):
            data[start : start + len(before) + len(after)] = before + after
    return bytes(data) + ending


# (size, ending) of valid texts of several pieces, for "hash" and "scan" alike.
STREAMED_TEXTS = [
    (7 * MIB - 3, b""),
    (7 * MIB, b"\r"),  # a CR ends the last full piece
    (7 * MIB, b"\r\n"),
    (7 * MIB + 1, b"\n\r"),
    (7 * MIB, "\u20ac".encode()),  # a character ends exactly with a piece
    (4 * MIB, b"x"),  # the smallest one "hash" hashes on a helper thread
    (3 * MIB + 2, b"\r"),  # below that, the same pieces on one thread
]
# ... and of texts whose only invalid UTF-8 is at their very end.
STREAMED_INVALID_TEXTS = [
    (7 * MIB - 1, b"\xff"),
    (7 * MIB, b"\xf0\x9f\x98"),  # a character left unfinished by the end
    (6 * MIB + 1, b"\r\xc3"),
]


def random_text(rng: random.Random, length: int, alphabet: str, replacement: str) -> str:
    """Text mixing source-like tokens with arbitrary characters (surrogates,
    which a str cannot carry into UTF-8, become `replacement`)."""
    chars = []
    for _ in range(length):
        if rng.random() < 0.6:
            chars.append(rng.choice(alphabet))
        else:
            code = rng.randrange(0x110000)
            chars.append(chr(code) if not 0xD800 <= code < 0xE000 else replacement)
    return "".join(chars)


def random_sources(seed, count: int, longest: int, alphabet: str, replacement: str):
    """`count` random texts of 1 to `longest - 1` characters, the same ones for
    the same seed on every run."""
    rng = random.Random(seed)
    for _ in range(count):
        yield random_text(rng, rng.randrange(1, longest), alphabet, replacement)


def entry(line, column, message, snippet):
    """One record of a syntax check's "errors"."""
    kind = "missing" if message.startswith("missing ") else "error"
    return {"column": column, "kind": kind, "line": line, "message": message, "snippet": snippet}


def line_of(text, row):
    """The line a snippet quotes, split independently of the module: LF ends a
    line, a CR directly before it goes with it, a lone CR stays."""
    lines = text.split("\n")
    if text.endswith("\n") or text == "":
        lines.pop()
    if row >= len(lines):
        return ""
    line = lines[row]
    if row < len(lines) - 1 or text.endswith("\n"):
        line = line.removesuffix("\r")
    return line[:120]


def find_probe_dir():
    """The folder holding the test-only probe module, which the build makes
    beside the real one and never installs (MARBLEWICK_PROBE_DIR names another
    build), or None when no build made one."""
    given = os.environ.get("MARBLEWICK_PROBE_DIR")
    # The sanitizer build's probe loads only with the sanitizer runtime
    # preloaded; its run names it through MARBLEWICK_PROBE_DIR.
    candidates = (
        [pathlib.Path(given)]
        if given
        else sorted(
            (folder for folder in (REPO_ROOT / "target").glob("*/") if folder.name != "sanitize"),
            key=lambda d: d.stat().st_mtime,
            reverse=True,
        )
    )
    for folder in candidates:
        if any(folder.glob(f"{PROBE_NAME}*.so")):
            return folder
    return None


def load_probe(folder):
    """The probe module, imported from `folder`. The folder goes at the end of
    the path, and only for the import: it also holds a build of the real
    module, which must not shadow the installed one."""
    sys.path.append(str(folder))
    try:
        return importlib.import_module(PROBE_NAME)
    finally:
        # The entry appended above, not an earlier one naming the same folder
        # (a PYTHONPATH that puts a build of the real module first).
        del sys.path[len(sys.path) - 1 - sys.path[::-1].index(str(folder))]


def limits_address_space(test):
    """Marks a test whose child process lowers its own address-space limit:
    Linux only, and not under the address sanitizer, which reserves more
    address space than any such limit."""
    test = pytest.mark.skipif(
        "libasan" in os.environ.get("LD_PRELOAD", ""),
        reason="the address sanitizer reserves more address space than the limit",
    )(test)
    return pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit")(test)


def run_child(code: str, timeout: float = 60, *, probe_dir=None, stdin: str | None = None):
    """Runs `code` (dedented) in a fresh interpreter: (exit status, stdout,
    stderr), a negative status being the signal that ended it. For what may
    hang, abort or exhaust a process, or needs one of its own. With
    `probe_dir`, the child imports the probe module by name from there, after
    the installed real module, as `load_probe` does."""
    code = textwrap.dedent(code)
    if probe_dir is not None:
        code = f"import sys\nsys.path.append({str(probe_dir)!r})\n" + code
    done = subprocess.run([sys.executable, "-c", code], input=stdin, capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def child_stdout(code: str, timeout: float = 60, **options) -> str:
    """What a child (run_child) printed, once it has ended with status 0."""
    status, stdout, stderr = run_child(code, timeout, **options)
    assert status == 0, stderr or f"status {status}"
    return stdout


def count_steps(call):
    """(steps, seconds): how far a pure-Python counter thread gets while `call`
    runs on the calling thread, and how long that takes. The counter shows
    whether the call lets other threads run."""
    progress = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            progress[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)  # the counter is running
        before, started = progress[0], time.perf_counter()
        call()
        return progress[0] - before, time.perf_counter() - started
    finally:
        stop.set()
        counter.join()
