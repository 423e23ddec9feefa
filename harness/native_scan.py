"""The "scan" that the benchmarks of a whole tree run, and what it skips."""

import json
import os

import marblewick_index_native as native

# The folder names "scan" skips unless told otherwise.
SKIPPED = {".git", "dist", ".venv", "target", "node_modules"}
MAX_FILES = 10_000_000
CPUS = os.cpu_count() or 1


def native_scan(root: str) -> list:
    return json.loads(native.run("scan", json.dumps({"root": root, "max_files": MAX_FILES})))["entries"]
