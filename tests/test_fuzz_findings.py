"""Inputs the fuzz targets (fuzz/) found, kept as regressions through `run`."""

import json
import subprocess
import sys
import textwrap

import pytest

# Short Rust texts on which the parsing library's error recovery never
# finishes, its memory growing for as long as it runs (the first as the fuzzer
# found it, the second cut down). Only the caller's budget ends the call.
RUNAWAY_RUST = ["&n<+<1e46&0lun[<+41e1e460&n[<+4e1+<1e406&lun[<+41e1e._<)%}", "6&n[+0&n[+1&l[+1<)"]


@pytest.mark.parametrize("content", RUNAWAY_RUST)
@pytest.mark.parametrize("command", ["syntax-check", "outline"])
def test_a_parse_that_never_finishes_ends_at_its_budget(command, content):
    # In a child: should the budget ever stop working, the parse would hold
    # this process for good.
    code = textwrap.dedent(
        f"""
        import json, marblewick_index_native as m
        try:
            m.run({command!r}, json.dumps({{"content": {content!r}, "language": "rust", "timeout_ms": 200}}))
            print(json.dumps("finished"))
        except RuntimeError as failure:
            print(json.dumps([str(failure), json.loads(m.run({command!r}, '{{"content": "fn f() {{}}", "language": "rust"}}'))["ok"]]))
        """
    )
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout) == ["parse did not finish within 200 ms", True]
