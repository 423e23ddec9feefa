"""Each analysis call releases everything it took: parser, tree, cursors and
the memory they were built in. Checked by the process's resident size staying
flat over many calls (Linux only)."""

import json
import os
import sys

import pytest

import marblewick_index_native
from outline_samples import SAMPLES

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("command", ["syntax-check", "outline"])
def test_repeated_calls_do_not_grow_memory(command):
    source, _ = SAMPLES["rust"]
    # Errors as well, so that the error walk and its line table run too.
    payload = json.dumps({"content": source * 4 + "fn broken( {}\n" * 30, "language": "rust"})
    for _ in range(50):
        marblewick_index_native.run(command, payload)
    before = resident_bytes()
    for _ in range(1000):
        marblewick_index_native.run(command, payload)
    grown = resident_bytes() - before
    # One parse of this text takes well over 100 KB; keeping any of it per
    # call would add up to far more than this.
    assert grown < 8 * 1024 * 1024, f"resident size grew by {grown} bytes"
