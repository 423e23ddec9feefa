"""One indexing run: scan, compare digests, analyse what is new or changed
(or ran out of a smaller parse budget before), write it in batches, drop what
vanished. The scan reads only the files whose status (size, times, inode,
device) is not the settled one the index keeps for them."""

from __future__ import annotations

import errno
import json
import os
import re
import sqlite3
import stat
import sys
import time
from contextlib import closing
from typing import Callable, Mapping, NamedTuple

import marblewick_index_native as native

from .analysis import FileResult, FileTask, larger_budget_may_finish, short_of_memory
from .languages import Languages, module_languages
from .progress import Progress, worth_showing
from .store import SETTLED_AFTER_NS, Analysing, ScannedFile, StoredState, Store, UnchangedRun, known_member
from .workers import AnalysisPool, call_in_thread

# A batch is written when it holds this many files or is this old, whichever
# comes first, so a slow file never keeps finished results unwritten for long.
DEFAULT_BATCH_SIZE = 500
BATCH_SECONDS = 2.0
# The failure of a file during whose analysis, alone, the process ended (the
# module aborted, or the system killed it): kept until the file changes.
PROCESS_ENDED = "the indexer's process ended while analysing it"
# The file-reading failures that belong to the file, so that the scan leaves
# it out on every run: not UTF-8, or refused by the system for what the file
# or its path is (no such file, not a directory, permission, a link loop, a
# name too long, a directory).
LASTING_READ_FAILURE = re.compile(
    r"^stream did not contain valid UTF-8$|^file name contained an unexpected NUL byte$|^not a regular file$"
    r"|\(os error (?:%s)\)$"
    % "|".join(
        str(n)
        for n in (errno.ENOENT, errno.ENOTDIR, errno.EACCES, errno.EPERM, errno.ELOOP, errno.ENAMETOOLONG, errno.EISDIR)
    )
)
# The clock the start of a scan is read from: the one the kernel stamps
# local files with.
wall_clock_ns = time.time_ns


class RunCounts:
    """What one run did. Counters as class attributes, each run's own once it
    counts: a dataclass would cost every run the import of its machinery."""

    scanned: int = 0
    # Files the scan read; the others it knew unchanged by their status.
    read: int = 0
    lines: int = 0
    new: int = 0
    changed: int = 0
    unchanged: int = 0
    removed: int = 0
    analysed: int = 0
    # Unchanged files whose earlier parse ran out of a smaller budget.
    retried: int = 0
    # Unchanged files recorded as out of memory by an indexer that kept such
    # failures.
    retried_memory: int = 0
    # Files that ran out of memory even analysed alone, left to the next run.
    short_of_memory: int = 0
    # Unchanged files stored without analysis whose language this run analyses.
    newly_analysed: int = 0
    limit_reached: bool = False
    peak_worker_kib: int = 0

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}


def settled_status(status: list[int] | None, scan_started_ns: int) -> str | None:
    """The status to keep of a file the scan read (JSON text, as the next scan
    takes it back), or None while its times are too recent to be trusted."""
    if status is None:
        return None
    _size, mtime_ns, ctime_ns, _inode, _device = status
    if max(mtime_ns, ctime_ns) > scan_started_ns - SETTLED_AFTER_NS:
        return None
    return json.dumps(status, separators=(",", ":"))


def scan_payload(request: dict, known: str) -> str:
    """The request with its "known" object of the members given as text
    (store.known_member), which are not parsed again to be written."""
    return f'{json.dumps(request)[:-1]},"known":{{{known}}}}}'


# The start of every answer of "scan": its members come in key order.
ANSWER_COUNT = re.compile(r'\{"count":(\d+),')
# In the entry of every file the scan read, and nowhere else in an answer.
READ_ENTRY_MEMBER = '"file_hash":'


class Scan(NamedTuple):
    """The scan's answer as the module gives it, and when it started. An
    unchanged run needs only its count and whether any file was read, both
    told by the text: its thousands of entries are parsed when they are
    used."""

    answer: str
    started_ns: int

    def entries(self) -> list[dict]:
        return json.loads(self.answer)["entries"]

    def file_count(self) -> int:
        found = ANSWER_COUNT.match(self.answer)
        return int(found[1]) if found else len(self.entries())

    def read_none(self) -> bool:
        # A path holding the member's text has its quotes escaped.
        return READ_ENTRY_MEMBER not in self.answer


def scan_tree(root: str, max_files: int, show_progress: bool, languages: Languages, known: str) -> Scan:
    """The scan, told the statuses of `known` (store.known_member): a file
    whose status is its known one is not read, and its entry holds its path
    alone."""
    # One call: the bar only tells that the scan is running, and for how long.
    with Progress("scan", 1, show_progress and sys.stderr.isatty()) as progress:
        request: dict = {"root": root, "max_files": max_files, "release_gil": True, "status": True}
        if languages.scan_extensions is not None:
            request["extensions"] = languages.scan_extensions
        payload = scan_payload(request, known)
        # Taken before the scan takes any status: a status settled by then
        # stays settled, whatever the scan's length.
        started_ns = wall_clock_ns()
        answer = call_in_thread(native.run, "scan", payload)
        progress.advance()
    return Scan(answer, started_ns)


def scanned_files(scan: Scan, stored: Mapping[str, StoredState], languages: Languages) -> list[ScannedFile]:
    """What the scan reports, a file it did not read with the digest and
    line count stored."""
    files = []
    language_of = languages.language_of
    for entry in scan.entries():
        path = entry["path"]
        if "file_hash" in entry:
            files.append(
                ScannedFile(
                    path,
                    entry["file_hash"],
                    entry["total_lines"],
                    language_of(path),
                    settled_status(entry.get("status"), scan.started_ns),
                    True,
                )
            )
        else:
            state = stored[path]
            files.append(ScannedFile(path, state.digest, state.lines, language_of(path), state.status, False))
    return files


def scan_with_statuses_known(
    store: Store, root: str, max_files: int, show_progress: bool, languages: Languages
) -> tuple[UnchangedRun | None, Scan, dict[str, StoredState] | None]:
    """The scan, told the statuses the index knows: as the last run kept
    them for a run that finds nothing changed (UnchangedRun), else from every
    stored row (then given too)."""
    kept = store.unchanged_run()
    if kept is not None:
        try:
            return kept, scan_tree(root, max_files, show_progress, languages, kept.known), None
        except RuntimeError:
            pass  # the kept text is not of this indexer's writing: the table tells what is known
    stored = store.stored_states()
    known = known_member((path, state.status) for path, state in stored.items() if state.status is not None)
    return None, scan_tree(root, max_files, show_progress, languages, known), stored


def unchanged_counts(counts: RunCounts, kept: UnchangedRun, max_files: int) -> RunCounts:
    """The counts of a run that found every file as `kept` describes them."""
    counts.scanned = counts.unchanged = kept.files
    counts.lines = kept.lines
    counts.limit_reached = kept.files >= max_files
    counts.seconds["analyse"] = 0.0
    return counts


def found_unchanged(scan: Scan, kept: UnchangedRun, languages: Languages, timeout_ms: int) -> bool:
    """Whether the run changes nothing in the index that `kept` describes:
    the scan read no file and found as many as it holds, so every file is
    one it holds, with the status it holds; every file is filed under the
    run's languages; and no recorded failure is worth another try."""
    return (
        scan.read_none()
        and scan.file_count() == kept.files
        and kept.filed == languages.filing()
        and not any(larger_budget_may_finish(f, timeout_ms) or short_of_memory(f) for f in kept.failures)
    )


def selectable(root: str, path: str) -> bool:
    """Whether `path` still names what the scan selects: a regular file
    reached through real directories (the scan follows no link below the
    root)."""
    location = root
    parts = path.split("/")
    for depth, part in enumerate(parts):
        location = os.path.join(location, part)
        try:
            mode = os.lstat(location).st_mode
        except OSError:
            return False
        if not (stat.S_ISREG(mode) if depth == len(parts) - 1 else stat.S_ISDIR(mode)):
            return False
    return True


def readable(root: str, path: str) -> bool | None:
    """Whether the module reads the file at `path` as UTF-8 text: None when
    it fails for a reason of the moment (memory, open descriptors) rather
    than of the file."""
    payload = json.dumps({"path": os.path.join(root, path), "release_gil": True})
    try:
        call_in_thread(native.run, "hash", payload)
    except RuntimeError as error:
        return False if LASTING_READ_FAILURE.search(str(error)) else None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:  # noqa: BLE001 - an internal fault tells nothing of the file
        return None
    return True


def vanished_paths(
    root: str,
    stored: Mapping[str, object],
    scanned: list[ScannedFile],
    max_files: int,
    selected: Callable[[str], bool] = lambda path: True,
) -> tuple[list[str], bool]:
    """The stored paths to remove, and whether the scan's limit cut its list.

    The scan reports no file it could not read or name, yet each such file
    took a place within its limit, so a shorter list than the limit does not
    show that the limit was not reached. A stored path the scan left out
    before its last path was within the limit: the scan looked at it, and it
    is gone or unreadable. After the last path, each is looked at here in
    path order: one that is gone or unreadable is removed, and the first one
    that is still there and readable shows that the limit cut the list, so it
    and every later one stay, not having been looked at by the scan (as does
    one that cannot be read for a reason of the moment). A stored path of
    an extension the scan no longer selects (its grammar package went) is
    removed wherever it sorts: no scan would report it."""
    # Only the stored paths the scan left out are looked at, in path order;
    # on an unchanged tree there are none, and nothing is sorted.
    missing = stored.keys() - {file.path for file in scanned}
    last = scanned[-1].path.encode() if scanned else b""
    limit_reached = len(scanned) >= max_files
    removed = []
    for path in sorted(missing, key=str.encode):
        if path.encode() < last or not selected(path):
            removed.append(path)
        elif not limit_reached:
            state = readable(root, path) if selectable(root, path) else False
            if state is False:
                removed.append(path)
            elif state is True:
                limit_reached = True
    return removed, limit_reached


class _Writer:
    """The main thread's side of the analysis: results in batches, each
    batch one transaction. While the pool keeps it waiting for a file, what
    it holds is committed at once, together with the file waited for: a
    process that ends during a slow file loses nothing finished before it,
    and the next run knows which file that was."""

    def __init__(self, store: Store, files: list[ScannedFile], batch_size: int, progress: Progress):
        self.store = store
        self.files = {file.path: file for file in files}
        self.batch_size = batch_size
        self.progress = progress
        self.batch: list[tuple[ScannedFile, FileResult]] = []
        self.started = time.monotonic()
        self.noted: Analysing | None = None

    def add(self, file: ScannedFile, result: FileResult) -> None:
        self.batch.append((file, result))
        if len(self.batch) >= self.batch_size or time.monotonic() - self.started >= BATCH_SECONDS:
            self.flush()

    def flush(self) -> None:
        self.store.write_results(self.batch)
        self._written()

    def note(self, analysing: Analysing | None) -> None:
        """Commits all held, and which file is now being analysed."""
        self.store.write_results_noting(self.batch, analysing)
        self.noted = analysing
        self._written()

    def _written(self) -> None:
        self.progress.advance(len(self.batch))
        self.batch, self.started = [], time.monotonic()

    def waiting(self, task: FileTask) -> None:
        file = self.files[task.path]
        analysing = Analysing(file.path, file.digest, alone=False)
        if self.batch or self.noted != analysing:
            self.note(analysing)

    def done(self) -> None:
        if self.batch or self.noted is not None:
            self.note(None)

    def abandon(self) -> None:
        """The run is ending early (Ctrl-C, a failure): a file being analysed
        alone did not end the process, so the next run must not record it as
        having done so. The batch held is dropped, as a rollback would."""
        if self.noted is not None and self.noted.alone:
            self.batch = []
            try:
                self.note(None)
            except sqlite3.Error:
                pass  # the index itself failed; its error is the one reported


def suspect_of_last_run(store: Store, to_analyse: list[ScannedFile]) -> tuple[ScannedFile | None, bool]:
    """The file, still to analyse and unchanged, that the last run was
    waiting for when its process ended, if any, and whether it was being
    analysed alone then."""
    analysing = store.analysing()
    if analysing is None:
        return None, False
    for file in to_analyse:
        if file.path == analysing.path and file.digest == analysing.digest:
            return file, analysing.alone
    return None, False


def update_index(
    root: str,
    store: Store,
    pool: AnalysisPool,
    *,
    timeout_ms: int,
    max_files: int,
    batch_size: int = DEFAULT_BATCH_SIZE,
    show_progress: bool = True,
    languages: Languages | None = None,
) -> RunCounts:
    """`languages`: what the run scans and analyses (languages.prepare);
    by default the languages the module knows as it is."""
    if languages is None:
        languages = Languages(module_languages())
    analysed = languages.analysed
    counts = RunCounts()
    started = time.perf_counter()
    with store.snapshot() as since:
        kept, scan, stored = scan_with_statuses_known(store, root, max_files, show_progress, languages)
        if kept is not None and found_unchanged(scan, kept, languages, timeout_ms):
            counts.seconds["scan"] = time.perf_counter() - started
            return unchanged_counts(counts, kept, max_files)
        if stored is None:
            stored = store.stored_states()
    scanned = scanned_files(scan, stored, languages)
    counts.seconds["scan"] = time.perf_counter() - started
    counts.scanned = len(scanned)
    counts.lines = sum(file.lines for file in scanned)

    to_write = []
    statuses = []
    for file in scanned:
        state = stored.get(file.path)
        counts.read += file.read
        if state is not None and state.digest == file.digest:
            counts.unchanged += 1
            failure = state.failure
            if state.status != file.status:
                statuses.append((file.path, file.status))  # or written anew with its row below
            if file.language in analysed and (not state.analysed or state.language != file.language):
                # A grammar came (or changed) since the file was stored.
                counts.newly_analysed += 1
                to_write.append(file)
            elif state.language != file.language:
                to_write.append(file)  # its grammar went: filed anew, inventory only
            elif larger_budget_may_finish(failure, timeout_ms):
                counts.retried += 1
                to_write.append(file)
            elif short_of_memory(failure):
                counts.retried_memory += 1
                to_write.append(file)
            continue
        if state is None:
            counts.new += 1
        else:
            counts.changed += 1
        to_write.append(file)
    removed, counts.limit_reached = vanished_paths(root, stored, scanned, max_files, languages.scans)
    counts.removed = len(removed)
    store.remove(removed)
    if statuses:
        store.write_statuses(statuses)
    store.write_unanalysed(file for file in to_write if file.language not in analysed)

    started = time.perf_counter()
    analyse_and_write(
        root,
        store,
        pool,
        [file for file in to_write if file.language in analysed],
        counts,
        timeout_ms=timeout_ms,
        batch_size=batch_size,
        show_progress=show_progress,
    )
    counts.seconds["analyse"] = time.perf_counter() - started
    counts.peak_worker_kib = pool.peak_worker_kib
    # A file left to the next run (short of memory) keeps its row as it was,
    # which may be filed otherwise; so does a stored file beyond the scan's
    # limit, which the count tells.
    if counts.short_of_memory == 0:
        store.keep_unchanged_run(languages.filing(), len(scanned), since, kept)
    return counts


def analyse_and_write(
    root: str,
    store: Store,
    pool: AnalysisPool,
    to_analyse: list[ScannedFile],
    counts: RunCounts,
    *,
    timeout_ms: int,
    batch_size: int,
    show_progress: bool,
) -> None:
    counts.analysed = len(to_analyse)
    # A file during which the last run's process ended is analysed alone,
    # after all others; one during which it ended even alone is recorded so.
    suspect, ended_alone = suspect_of_last_run(store, to_analyse)
    if suspect is not None:
        to_analyse = [file for file in to_analyse if file is not suspect]
    alone = [suspect] if suspect is not None and not ended_alone else []

    def task_of(file: ScannedFile) -> FileTask:
        return FileTask(file.path, os.path.join(root, file.path), timeout_ms, file.language)

    shown = worth_showing(counts.analysed, show_progress)
    with (
        store.bulk_load(counts.analysed),
        Progress("analyse", counts.analysed, shown) as analysing,
        Progress("write", counts.analysed, shown) as writing,
    ):
        writer = _Writer(store, to_analyse, batch_size, writing)
        try:
            if suspect is not None and ended_alone:
                writer.add(suspect, FileResult(suspect.path, None, 0, [], [], PROCESS_ENDED))
                counts.analysed -= 1
            # The pool parses ahead while this thread writes what came back.
            with closing(
                pool.analyse_in_order([task_of(file) for file in to_analyse], analysing.advance, writer.waiting)
            ) as results:
                for file, result in zip(to_analyse, results):
                    assert result.path == file.path, "results must come back in task order"
                    if short_of_memory(result.failure):
                        alone.append(file)  # memory may suffice with nothing parsed beside it
                    else:
                        writer.add(file, result)
            for file in alone:
                writer.note(Analysing(file.path, file.digest, alone=True))
                with closing(pool.analyse_in_order([task_of(file)])) as results:
                    result = next(results)
                if short_of_memory(result.failure):
                    counts.short_of_memory += 1  # not recorded: the next run tries it again
                else:
                    writer.add(file, result)
            writer.done()
        except BaseException:
            writer.abandon()
            raise
