"""What the leak check of the sanitizer run cannot see: interpreter objects
that the boundary takes and never gives back (an argument, a result, an error
text or exception kept by one reference too many). Such objects live in the
interpreter's own memory, whose blocks the interpreter counts: repeating any
kind of call must leave that count where it was."""

import gc
import json
import sys

import pytest

import marblewick_index_native as m
from support import REPO_ROOT

REPEATS = 400
# Room for the interpreter's own caches; one object kept per call would be
# hundreds of blocks.
ALLOWED_GROWTH = 20

README = json.dumps({"path": str(REPO_ROOT / "README.md")})


class Text(str):
    pass


def failing(*args, **kwargs):
    def call():
        with pytest.raises((RuntimeError, TypeError, UnicodeEncodeError)):
            m.run(*args, **kwargs)

    return call


CALLS = {
    "syntax-check": lambda: m.run("syntax-check", '{"content":"def f(:","language":"python"}'),
    "outline": lambda: m.run("outline", '{"content":"class A:\\n def f(self): pass","language":"python"}'),
    "hash": lambda: m.run("hash", README),
    "scan with a subclassed str": lambda: m.run(Text("scan"), '{"root":"/nonexistent"}'),
    "command failure": failing("hash", "{}"),
    "payload error": failing("hash", '{"path":'),
    "unknown command": failing("no such command", "{}"),
    "argument not a str": failing("hash", b"{}"),
    "keyword binding": failing(command="hash", payload_json="{}", extra=1),
    "lone surrogate": failing("hash", '{"path":"\ud800"}'),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_repeated_calls_keep_no_interpreter_memory(call):
    for _ in range(20):  # the interpreter's caches fill on the first calls
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(REPEATS):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - before < ALLOWED_GROWTH
