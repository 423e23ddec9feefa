"""Inputs the fuzz targets (fuzz/) found, kept as regressions through `run`."""

import json
import subprocess
import sys
import textwrap

import pytest

# Short Rust texts on which the parsing library's error recovery used to
# cycle for ever at their last byte, its memory growing all the while: the
# fuzzer's finding, the same cut down, and the family around it (more
# repetitions, another closing bracket, a trailing newline, a function body).
# The repaired runtime skips the token instead, so each now ends, without a
# budget, with the error it holds.
RUNAWAY_RUST = [
    "&n<+<1e46&0lun[<+41e1e460&n[<+4e1+<1e406&lun[<+41e1e._<)%}",
    "6&n[+0&n[+1&l[+1<)",
    "0&0[+0&0[+0&0[+0<)",
    "0&0[+0&0[+0&0[+0&0[+0<)",
    "0&0[+0&0[+0&0[+0&0[+0&0[+0<)",
    "0&0[+0&0[+0&0[+0<}",
    "0&0[+0&0[+0&0[+0<)\n",
    "fn f(){0&0[+0&0[+0&0[+0<)}",
]


@pytest.mark.parametrize("content", RUNAWAY_RUST)
def test_a_parse_that_never_finished_now_ends_without_a_budget(content):
    # In a child with an alarm: should the repair ever stop working, the parse
    # would hold this process for good, and the alarm ends the child instead.
    code = textwrap.dedent(
        f"""
        import json, signal, marblewick_index_native as m
        signal.alarm(20)
        payload = json.dumps({{"content": {content!r}, "language": "rust"}})
        check = json.loads(m.run("syntax-check", payload))
        outline = json.loads(m.run("outline", payload))
        analyse = json.loads(m.run("analyse", payload))
        print(json.dumps([check["valid"], check["error_count"] > 0, outline["checked"],
                          analyse == {{"ok": True, "outline": outline, "syntax_check": check}}]))
        """
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr or f"status {completed.returncode}"
    assert json.loads(completed.stdout) == [False, True, True, True]
