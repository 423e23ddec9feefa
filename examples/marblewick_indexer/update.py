"""One indexing run: scan, compare digests, analyse what is new or changed
(or ran out of a smaller parse budget before), write it in batches, drop what
vanished."""

from __future__ import annotations

import json
import os
import sys
import time
from contextlib import closing
from dataclasses import dataclass, field
from typing import Mapping

import marblewick_index_native as native

from .analysis import FileTask, larger_budget_may_finish
from .progress import Progress, worth_showing
from .store import ScannedFile, Store
from .workers import DaskPool, ThreadPool, call_in_thread

# Languages by the extensions "scan" selects by default; the first five have a
# grammar, so only their files are analysed.
LANGUAGE_BY_EXTENSION = {
    "py": "python",
    "rs": "rust",
    "ts": "typescript",
    "tsx": "tsx",
    "js": "javascript",
    "go": "go",
    "md": "markdown",
    "toml": "toml",
    "yaml": "yaml",
    "yml": "yaml",
}
ANALYSED_LANGUAGES = {"python", "rust", "typescript", "tsx", "javascript"}

# A batch is written when it holds this many files or is this old, whichever
# comes first, so a slow file never keeps finished results unwritten for long.
DEFAULT_BATCH_SIZE = 500
BATCH_SECONDS = 2.0


@dataclass
class RunCounts:
    scanned: int = 0
    lines: int = 0
    new: int = 0
    changed: int = 0
    unchanged: int = 0
    removed: int = 0
    analysed: int = 0
    # Unchanged files whose earlier parse ran out of a smaller budget.
    retried: int = 0
    limit_reached: bool = False
    peak_worker_kib: int = 0
    seconds: dict = field(default_factory=dict)


def language_of(path: str) -> str:
    name = path.rsplit("/", 1)[-1]
    dot = name.rfind(".")
    if dot <= 0:
        return "other"
    return LANGUAGE_BY_EXTENSION.get(name[dot + 1:].lower(), "other")


def scan_tree(root: str, max_files: int, show_progress: bool) -> list[ScannedFile]:
    # One call: the bar only tells that the scan is running, and for how long.
    with Progress("scan", 1, show_progress and sys.stderr.isatty()) as progress:
        payload = json.dumps({"root": root, "max_files": max_files, "release_gil": True})
        scanned = json.loads(call_in_thread(native.run, "scan", payload))
        progress.advance()
    return [ScannedFile(e["path"], e["file_hash"], e["total_lines"], language_of(e["path"]))
            for e in scanned["entries"]]


def vanished_paths(stored: Mapping[str, object], scanned: list[ScannedFile], limit_reached: bool) -> list[str]:
    """Stored paths the scan no longer reports. When the scan stopped at its
    limit, files sorting after its last path were not looked at, so they stay."""
    present = {file.path for file in scanned}
    last = scanned[-1].path if scanned else ""
    return sorted(path for path in stored
                  if path not in present and not (limit_reached and path.encode() > last.encode()))


def update_index(root: str, store: Store, pool: ThreadPool | DaskPool, *, timeout_ms: int, max_files: int,
                 batch_size: int = DEFAULT_BATCH_SIZE, show_progress: bool = True) -> RunCounts:
    counts = RunCounts()
    started = time.perf_counter()
    scanned = scan_tree(root, max_files, show_progress)
    counts.seconds["scan"] = time.perf_counter() - started
    counts.scanned = len(scanned)
    counts.lines = sum(file.lines for file in scanned)
    counts.limit_reached = len(scanned) == max_files

    stored = store.stored_states()
    to_write = []
    for file in scanned:
        digest, failure = stored.get(file.path, (None, None))
        if digest == file.digest:
            counts.unchanged += 1
            if larger_budget_may_finish(failure, timeout_ms):
                counts.retried += 1
                to_write.append(file)
            continue
        if digest is None:
            counts.new += 1
        else:
            counts.changed += 1
        to_write.append(file)
    removed = vanished_paths(stored, scanned, counts.limit_reached)
    counts.removed = len(removed)
    store.remove(removed)
    store.write_unanalysed(file for file in to_write if file.language not in ANALYSED_LANGUAGES)

    to_analyse = [file for file in to_write if file.language in ANALYSED_LANGUAGES]
    tasks = [FileTask(file.path, os.path.join(root, file.path), timeout_ms) for file in to_analyse]
    started = time.perf_counter()
    shown = worth_showing(len(tasks), show_progress)
    with store.bulk_load(len(tasks)), Progress("analyse", len(tasks), shown) as analysing, \
            Progress("write", len(tasks), shown) as writing:
        batch: list = []
        batch_started = time.monotonic()
        # The pool parses ahead while this thread writes what came back.
        with closing(pool.analyse_in_order(tasks, analysing.advance)) as results:
            for file, result in zip(to_analyse, results):
                assert result.path == file.path, "results must come back in task order"
                batch.append((file, result))
                if len(batch) >= batch_size or time.monotonic() - batch_started >= BATCH_SECONDS:
                    store.write_results(batch)
                    writing.advance(len(batch))
                    batch, batch_started = [], time.monotonic()
        if batch:
            store.write_results(batch)
            writing.advance(len(batch))
    counts.seconds["analyse"] = time.perf_counter() - started
    counts.analysed = len(tasks)
    counts.peak_worker_kib = pool.peak_worker_kib
    return counts
