"""The index: one SQLite database that only the main thread writes.

Each batch of results is one transaction, so a run that is killed leaves the
index as the last finished batch left it: every file row matches its own
symbols and problems, and the next run picks up what is missing or stale.
"""

from __future__ import annotations

import json
import os
import sqlite3
import time
from contextlib import contextmanager, nullcontext
from operator import itemgetter
from json.encoder import encode_basestring_ascii as encode_json_string
from typing import Iterable, Iterator, NamedTuple

from .analysis import FileResult

SCHEMA_VERSION = 2
# The versions this indexer brings up to SCHEMA_VERSION when it writes, each
# with the statements that do it. Version 1 kept no file status: its files
# are read once more by the first run, which records their status.
MIGRATIONS = {1: ["ALTER TABLE files ADD COLUMN status TEXT"]}
# The `meta` key of the file being analysed (see Analysing).
ANALYSING_KEY = "analysing"
# The `meta` key of the summary's counts, kept from one run to the next and
# dropped by every write that changes what they count: counting the symbols
# anew costs a run that changed nothing more than all its other work.
COUNTS_KEY = "counts"
# What the last run found of the grammar packages installed (languages.
# installed_grammars), with the state of the import path it found it in.
GRAMMAR_PACKAGES_KEY = "grammar packages"
# The `meta` keys of what a run that finds the tree unchanged needs of the
# index (UnchangedRun), kept by the run before it. Any change to `files`
# drops both in its own transaction, whoever makes it (FILES_CHANGE_TRIGGERS):
# while they are there, they describe the table exactly.
UNCHANGED_RUN_KEY = "unchanged run"
KNOWN_STATUSES_KEY = "known statuses"
# Triggers rather than a rule of this indexer's writes: an older indexer, or a
# hand with the sqlite3 shell, may change the table too. Made by every run that
# writes, so an index made before them has them before anything is kept.
FILES_CHANGE_TRIGGERS = [
    f"CREATE TRIGGER IF NOT EXISTS files_{event.lower()} AFTER {event} ON files BEGIN "
    f"DELETE FROM meta WHERE key IN ('{UNCHANGED_RUN_KEY}', '{KNOWN_STATUSES_KEY}'); END"
    for event in ("INSERT", "UPDATE", "DELETE")
]
# Writes of at least this many files (and half the index) count as a bulk load.
BULK_LOAD_FILES = 1000

# A status is kept only when both its times are at least this much older than
# the start of the scan that took it. A write within one tick of the clock
# that stamps the files leaves the size and both times as they were, so a
# status taken while its times were still current may also describe a content
# written after the digest was taken; an older one cannot. Two seconds is the
# coarsest tick in common use (FAT); one more allows for a file server whose
# clock runs a little behind this machine's.
SETTLED_AFTER_NS = 3_000_000_000

# How long a run waits for another run's lock before it gives up.
LOCK_WAIT_SECONDS = 5.0

SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE files (
    id          INTEGER PRIMARY KEY,
    path        TEXT NOT NULL UNIQUE,   -- relative to the indexed root
    digest      TEXT NOT NULL,          -- the scan's line-ending-normalised SHA-256
    lines       INTEGER NOT NULL,
    language    TEXT NOT NULL,
    valid       INTEGER,                -- 1 or 0 when checked, NULL when not
    error_count INTEGER NOT NULL DEFAULT 0,
    status      TEXT,                   -- its status as the scan took the digest, once settled
                                        -- (see update.settled_status), last in a migrated index
    failure     TEXT                    -- why it could not be analysed, if so
);
CREATE TABLE symbols (
    file_id   INTEGER NOT NULL REFERENCES files(id) ON DELETE CASCADE,
    ordinal   INTEGER NOT NULL,         -- position in the file's outline
    name      TEXT NOT NULL,
    kind      TEXT NOT NULL,
    line      INTEGER NOT NULL,
    end_line  INTEGER NOT NULL,
    depth     INTEGER NOT NULL,
    signature TEXT NOT NULL,
    parent    INTEGER,                  -- ordinal of the enclosing symbol
    PRIMARY KEY (file_id, ordinal)
) WITHOUT ROWID;
CREATE TABLE problems (
    file_id INTEGER NOT NULL REFERENCES files(id) ON DELETE CASCADE,
    ordinal INTEGER NOT NULL,
    line    INTEGER NOT NULL,
    "column" INTEGER NOT NULL,
    kind    TEXT NOT NULL,
    message TEXT NOT NULL,
    PRIMARY KEY (file_id, ordinal)
) WITHOUT ROWID;
"""

# Built after a bulk load rather than row by row during it (see bulk_load);
# every opening restores it, should a killed run have left it out.
NAME_INDEX = "CREATE INDEX IF NOT EXISTS symbols_by_name ON symbols (name)"
# The few files the summary lists, found without reading every row: made by
# every run that writes, like NAME_INDEX.
LISTED_FILES_INDEXES = [
    "CREATE INDEX IF NOT EXISTS files_unparsed ON files (path) WHERE valid = 0",
    "CREATE INDEX IF NOT EXISTS files_failed ON files (failure, path) WHERE failure IS NOT NULL",
]


class RefusedIndex(Exception):
    """A database this indexer must not touch; the message says why."""


class Analysing(NamedTuple):
    """The file a run was waiting for when it last wrote, and whether it was
    being analysed alone. Kept in `meta`, so that the next run can tell the
    file during which the process ended."""

    path: str
    digest: str
    alone: bool


class StoredState(NamedTuple):
    """What the index holds of a file, as the next run compares it: its
    digest, its recorded failure, the language it is filed under,
    whether it was analysed (1: checked, or recorded as failing; 0: kept as
    inventory only), its line count, and the status (JSON text) that lets a
    scan tell it unchanged without reading it, if any."""

    digest: str
    failure: str | None
    language: str
    analysed: int
    lines: int = 0
    status: str | None = None


class UnchangedRun(NamedTuple):
    """What the index holds, as the run that kept it left it: the languages
    every file is filed under (Languages.filing), the number of files and
    their lines, the failures recorded, and the "known" member of the scan's
    payload (known_member). A run whose scan reads no file and finds as many
    as there are, under the same languages, with no failure to retry,
    changes nothing and needs no more of the index than this."""

    filed: str
    files: int
    lines: int
    failures: list[str]
    known: str


def known_member(statuses: Iterable[tuple[str, str]]) -> str:
    """The members of the scan's "known" object, (path, status as JSON text)
    each: thousands of them, which json.dumps would cost a good part of an
    unchanged run. Each path is written by the encoder json.dumps itself uses
    for a string, without its per-call overhead."""
    return ",".join([encode_json_string(path) + ":" + status for path, status in statuses])


class ScannedFile(NamedTuple):
    """What the scan reports of one file, the language it is filed under, the
    status to keep for the next scan (None: that scan reads the file), and
    whether this scan read it (else its digest and lines are those stored)."""

    path: str
    digest: str
    lines: int
    language: str
    status: str | None = None
    read: bool = True


def database_uri(db_path: str, immutable: bool = False) -> str:
    """The URI that opens `db_path` for reading only (any file name, UTF-8
    or not)."""
    from urllib.parse import quote  # only here: a run that writes never needs it

    return f"file:{quote(os.fsencode(os.path.abspath(db_path)))}?mode=ro" + ("&immutable=1" if immutable else "")


def folder_is_read_only(db_path: str) -> bool:
    return not os.access(os.path.dirname(os.path.abspath(db_path)), os.W_OK)


def switch_to_wal(db: sqlite3.Connection) -> None:
    """Puts a database that is new (or was made by another program) into WAL
    mode. The switch reads the database's header and then writes it, and
    SQLite refuses such a read that turns into a write at once, without
    waiting, when another connection holds the write lock: as happens when
    runs start together on a new index. So the switch is tried again until
    the lock is free, for as long as any other wait for a lock."""
    deadline = time.monotonic() + LOCK_WAIT_SECONDS
    while True:
        try:
            db.execute("PRAGMA journal_mode = WAL")
            return
        except sqlite3.OperationalError as error:
            if error.sqlite_errorcode != sqlite3.SQLITE_BUSY or time.monotonic() >= deadline:
                raise
        time.sleep(0.01)


class Store:
    """The index of one root, opened to be brought up to date (`writing`) or
    only to answer queries, which then writes nothing, not even to open it."""

    def __init__(self, db_path: str, root: str, writing: bool = True):
        self.db_path = db_path
        self.writing = writing
        if not writing and not os.path.exists(db_path):
            raise RefusedIndex(f"no index at {db_path}: run the indexer without --no-update first")
        try:
            if writing:
                self.db = sqlite3.connect(db_path, timeout=LOCK_WAIT_SECONDS, isolation_level=None)
                self.db.execute("PRAGMA foreign_keys = ON")
                # Readers (queries) keep working while a run writes.
                switch_to_wal(self.db)
                self.db.execute("PRAGMA synchronous = NORMAL")
                self._open_or_create(os.path.abspath(root))
                for index in [*LISTED_FILES_INDEXES, NAME_INDEX]:
                    self.db.execute(index)
            else:
                self.db = self._open_for_reading(db_path)
                # Queries read nothing a migration adds: an older index
                # answers them as it is, unchanged.
                self._check_meta(os.path.abspath(root), readable=MIGRATIONS)
        except sqlite3.OperationalError as error:
            # The database could not be opened or written: a fact about where
            # it lies (read-only, full, locked), not about what it holds.
            if not writing:
                raise RefusedIndex(f"cannot read the index at {db_path}: {error}") from None
            hint = "; --no-update answers queries from it as it is" if os.path.exists(db_path) else ""
            raise RefusedIndex(f"cannot update the index at {db_path}: {error}{hint}") from None
        except sqlite3.DatabaseError as error:
            raise RefusedIndex(f"{db_path} is not an index this indexer can use: {error}") from None

    @staticmethod
    def _open_for_reading(db_path: str) -> sqlite3.Connection:
        """A read-only connection. A database that runs keep in WAL mode
        needs its shared-memory file beside it, which the last run to close
        removes, and which a read-only folder or mount cannot have made
        again. There, no run can be writing (it would have made the file),
        so the database is read as immutable."""
        try:
            db = sqlite3.connect(database_uri(db_path), uri=True, isolation_level=None)
            db.execute("SELECT COUNT(*) FROM sqlite_master").fetchone()
            return db
        except sqlite3.OperationalError:
            if not folder_is_read_only(db_path):
                raise
        return sqlite3.connect(database_uri(db_path, immutable=True), uri=True, isolation_level=None)

    def _open_or_create(self, root: str) -> None:
        # One transaction from the look at the tables to the schema written,
        # so that of several runs starting on a new database one creates it
        # and the others find it made. Its first write also shows at once
        # whether the database can be written, before any file is analysed.
        with self.transaction():
            if not self._tables():
                for statement in SCHEMA.split(";"):
                    if statement.strip():
                        self.db.execute(statement)
                self.db.executemany(
                    "INSERT INTO meta VALUES (?, ?)", [("schema_version", str(SCHEMA_VERSION)), ("root", root)]
                )
                for statement in FILES_CHANGE_TRIGGERS:
                    self.db.execute(statement)
                return
            version = self._check_meta(root, readable=MIGRATIONS)
            for statement in (s for v in range(version, SCHEMA_VERSION) for s in MIGRATIONS[v]):
                self.db.execute(statement)
            if version != SCHEMA_VERSION:
                self.db.execute("UPDATE meta SET value = ? WHERE key = 'schema_version'", (str(SCHEMA_VERSION),))
                # A migration changes the table without a row written.
                self.db.execute("DELETE FROM meta WHERE key IN (?, ?)", (UNCHANGED_RUN_KEY, KNOWN_STATUSES_KEY))
            for statement in FILES_CHANGE_TRIGGERS:
                self.db.execute(statement)
            self.db.execute("UPDATE meta SET value = value WHERE key = 'root'")

    def _tables(self) -> set[str]:
        return {row[0] for row in self.db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}

    def _check_meta(self, root: str, readable: Iterable[int] = ()) -> int:
        """The index's schema version: SCHEMA_VERSION, or one of `readable`."""
        tables = self._tables()
        meta = dict(self.db.execute("SELECT key, value FROM meta")) if "meta" in tables else {}
        version = meta.get("schema_version")
        known = {str(v): v for v in {SCHEMA_VERSION, *readable}}
        if version not in known:
            found = f"schema version {version}" if version else "no schema version"
            raise RefusedIndex(
                f"{self.db_path} holds {found}; this indexer reads and writes "
                f"version {SCHEMA_VERSION}. Remove it or choose another --db."
            )
        if meta.get("root") != root:
            raise RefusedIndex(
                f"{self.db_path} indexes {meta.get('root')}, not {root}; choose another --db for this tree."
            )
        return known[version]

    @contextmanager
    def transaction(self) -> Iterator[None]:
        """All of the block's writes, or none of them."""
        self.db.execute("BEGIN IMMEDIATE")
        try:
            yield
            self.db.execute("COMMIT")
        except BaseException:
            # Also when COMMIT itself failed (a full disk): the transaction
            # is still open then, and must not be left to the next one.
            if self.db.in_transaction:
                try:
                    self.db.execute("ROLLBACK")
                except sqlite3.Error:
                    pass  # SQLite already rolled it back; the first error says why
            raise

    def close(self) -> None:
        self.db.close()

    # --- what the run compares against ----------------------------------------

    def file_count(self) -> int:
        return self.db.execute("SELECT COUNT(*) FROM files").fetchone()[0]

    @contextmanager
    def snapshot(self) -> Iterator[int]:
        """Reads that all see the index in one state, however long the block
        takes (the scan runs in it); the block writes nothing. Gives the
        database's data version then, which any other connection's commit
        changes (keep_unchanged_run)."""
        self.db.execute("BEGIN")
        try:
            yield self._data_version()
        finally:
            self.db.execute("COMMIT")

    def unchanged_run(self) -> UnchangedRun | None:
        """What the last run kept for a run that finds nothing changed, if it
        is still there (no change to `files` since) and of this indexer's
        writing."""
        kept = dict(
            self.db.execute("SELECT key, value FROM meta WHERE key IN (?, ?)", (UNCHANGED_RUN_KEY, KNOWN_STATUSES_KEY))
        )
        try:
            members = json.loads(kept[UNCHANGED_RUN_KEY])
            run = UnchangedRun(**members, known=kept[KNOWN_STATUSES_KEY])
        except (KeyError, ValueError, TypeError):
            return None
        well_formed = (
            isinstance(run.filed, str)
            and all(isinstance(n, int) and not isinstance(n, bool) for n in (run.files, run.lines))
            and isinstance(run.failures, list)
            and all(isinstance(f, str) for f in run.failures)
            and isinstance(run.known, str)
        )
        return run if well_formed else None

    def keep_unchanged_run(self, filed: str, files: int, since: int, taken: UnchangedRun | None) -> None:
        """Keeps what the next run needs to find the tree unchanged, when
        every file of the index was filed under `filed` by this run: the run
        scanned `files` files and the index holds as many, and no other
        connection has written since the data version `since` (snapshot).
        `taken`: the view the run took at the start, if it could use it."""
        if self._data_version() != since:
            return
        if taken is not None and taken.filed == filed and self._view_kept():
            return  # the view the run took is still there: the table has not changed
        try:
            self._keep_view(filed, files, since)
        except sqlite3.OperationalError:
            pass  # the run's own writes are committed; only the next run's shortcut is lost

    def _data_version(self) -> int:
        return self.db.execute("PRAGMA data_version").fetchone()[0]

    def _keep_view(self, filed: str, files: int, since: int) -> None:
        with self.transaction():
            if self._data_version() != since:
                return
            count, lines = self.db.execute("SELECT COUNT(*), COALESCE(SUM(lines), 0) FROM files").fetchone()
            if count != files:
                return
            failures = [
                row[0] for row in self.db.execute("SELECT DISTINCT failure FROM files WHERE failure IS NOT NULL")
            ]
            known = known_member(
                self.db.execute("SELECT path, status FROM files WHERE status IS NOT NULL ORDER BY path").fetchall()
            )
            members = json.dumps({"filed": filed, "files": count, "lines": lines, "failures": failures})
            self.db.executemany(
                "INSERT OR REPLACE INTO meta VALUES (?, ?)", [(UNCHANGED_RUN_KEY, members), (KNOWN_STATUSES_KEY, known)]
            )

    def _view_kept(self) -> bool:
        """Whether both keys of a kept view are there: any change to the
        table since it was kept would have dropped them."""
        return (
            self.db.execute(
                "SELECT COUNT(*) FROM meta WHERE key IN (?, ?)", (UNCHANGED_RUN_KEY, KNOWN_STATUSES_KEY)
            ).fetchone()[0]
            == 2
        )

    def stored_states(self) -> dict[str, StoredState]:
        # Built in bulk, the rows fetched at once and no tuple unpacked in
        # Python: every run that finds a change reads them all. In byte order
        # of the paths, the module's own, so that the statuses it is given of
        # them come sorted.
        rows = self.db.execute(
            "SELECT path, digest, failure, language, valid IS NOT NULL OR failure IS NOT NULL, lines, status "
            "FROM files ORDER BY path"
        ).fetchall()
        states = map(StoredState._make, map(itemgetter(slice(1, None)), rows))
        return dict(zip(map(itemgetter(0), rows), states))

    # --- writing ---------------------------------------------------------------

    @contextmanager
    def bulk_load(self, files: int) -> Iterator[None]:
        """Writing many files at once (a fresh index, a large change): the name
        index is dropped for the load and built once at its end, which costs
        the writing parent much less than keeping it up to date row by row."""
        bulk = files >= BULK_LOAD_FILES and files >= self.file_count() // 2
        if bulk:
            self.db.execute("DROP INDEX IF EXISTS symbols_by_name")
        yield
        if bulk:
            self.db.execute(NAME_INDEX)

    def _counts_change(self) -> None:
        self.db.execute("DELETE FROM meta WHERE key = ?", (COUNTS_KEY,))

    def remove(self, paths: Iterable[str]) -> None:
        paths = list(paths)
        if not paths:
            return
        with self.transaction():
            self._counts_change()
            self.db.executemany("DELETE FROM files WHERE path = ?", ((p,) for p in paths))

    def write_statuses(self, statuses: Iterable[tuple[str, str | None]]) -> None:
        """(path, status) of files whose row stays as it is: the scan read
        them again and found the digest stored."""
        with self.transaction():
            self.db.executemany(
                "UPDATE files SET status = ? WHERE path = ?", ((status, path) for path, status in statuses)
            )

    def write_unanalysed(self, files: Iterable[ScannedFile]) -> None:
        """Files without a grammar: only their inventory is kept."""
        files = list(files)
        if not files:
            return
        with self.transaction():
            self._counts_change()
            for file in files:
                self._replace_file(file, valid=None, error_count=0, failure=None)

    def analysing(self) -> Analysing | None:
        row = self.db.execute("SELECT value FROM meta WHERE key = ?", (ANALYSING_KEY,)).fetchone()
        if row is None:
            return None
        try:
            path, digest, alone = json.loads(row[0])
            return Analysing(str(path), str(digest), bool(alone))
        except (ValueError, TypeError):
            return None  # not of this indexer's writing: nothing to learn from it

    def grammar_packages(self) -> str | None:
        row = self.db.execute("SELECT value FROM meta WHERE key = ?", (GRAMMAR_PACKAGES_KEY,)).fetchone()
        return row[0] if row is not None else None

    def write_grammar_packages(self, found: str) -> None:
        with self.transaction():
            self.db.execute("INSERT OR REPLACE INTO meta VALUES (?, ?)", (GRAMMAR_PACKAGES_KEY, found))

    def _note_analysing(self, analysing: Analysing | None) -> None:
        if analysing is None:
            self.db.execute("DELETE FROM meta WHERE key = ?", (ANALYSING_KEY,))
        else:
            self.db.execute("INSERT OR REPLACE INTO meta VALUES (?, ?)", (ANALYSING_KEY, json.dumps(list(analysing))))

    def write_results(self, batch: list[tuple[ScannedFile, FileResult]]) -> None:
        with self.transaction():
            self._write(batch)

    def write_results_noting(self, batch: list[tuple[ScannedFile, FileResult]], analysing: Analysing | None) -> None:
        """The batch, and the file the run goes on to wait for (None: none),
        in one transaction."""
        with self.transaction():
            self._write(batch)
            self._note_analysing(analysing)

    def _write(self, batch: list[tuple[ScannedFile, FileResult]]) -> None:
        if batch:
            self._counts_change()
        for file, result in batch:
            file_id = self._replace_file(file, result.valid, result.error_count, result.failure)
            self.db.executemany(
                "INSERT INTO symbols VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", ((file_id, *row) for row in result.symbols)
            )
            self.db.executemany(
                "INSERT INTO problems VALUES (?, ?, ?, ?, ?, ?)", ((file_id, *row) for row in result.problems)
            )

    def _replace_file(self, file: ScannedFile, valid, error_count: int, failure) -> int:
        self.db.execute("DELETE FROM files WHERE path = ?", (file.path,))
        cursor = self.db.execute(
            "INSERT INTO files (path, digest, lines, language, valid, error_count, failure, status) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            (
                file.path,
                file.digest,
                file.lines,
                file.language,
                None if valid is None else int(valid),
                error_count,
                failure,
                file.status,
            ),
        )
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    # --- reading ---------------------------------------------------------------

    def totals_per_language(self) -> list[tuple[str, int, int, int]]:
        """(language, files, lines, symbols) per language."""
        return [tuple(row) for row in self._counts()["languages"]]

    def symbols_per_kind(self) -> list[tuple[str, int]]:
        return [tuple(row) for row in self._counts()["kinds"]]

    def _counts(self) -> dict[str, list]:
        """The summary's counts: as kept, or counted (and, by a run that
        writes, kept) in one transaction, so that no write falls between the
        counting and the keeping."""
        row = self.db.execute("SELECT value FROM meta WHERE key = ?", (COUNTS_KEY,)).fetchone()
        if row is not None:
            try:
                kept = json.loads(row[0])
                if isinstance(kept, dict) and {"languages", "kinds"} <= kept.keys():
                    return kept
            except ValueError:
                pass  # not of this indexer's writing: counted anew
        with self.transaction() if self.writing else nullcontext():
            counts = {
                "languages": list(
                    self.db.execute(
                        "SELECT f.language, COUNT(*), SUM(f.lines), SUM(COALESCE(s.n, 0)) FROM files f "
                        "LEFT JOIN (SELECT file_id, COUNT(*) AS n FROM symbols GROUP BY file_id) s "
                        "ON s.file_id = f.id GROUP BY f.language"
                    )
                ),
                "kinds": list(self.db.execute("SELECT kind, COUNT(*) FROM symbols GROUP BY kind")),
            }
            if self.writing:
                self.db.execute("INSERT OR REPLACE INTO meta VALUES (?, ?)", (COUNTS_KEY, json.dumps(counts)))
        return counts

    def unparsed(self) -> Iterator[tuple[str, int | None, int | None, str | None]]:
        """(path, line, column, message) of each file that does not parse, with its first problem."""
        return self.db.execute(
            'SELECT f.path, p.line, p."column", p.message FROM files f '
            "LEFT JOIN problems p ON p.file_id = f.id AND p.ordinal = 0 "
            "WHERE f.valid = 0 ORDER BY f.path"
        )

    def failures(self) -> Iterator[tuple[str, str]]:
        return self.db.execute("SELECT failure, path FROM files WHERE failure IS NOT NULL ORDER BY failure, path")

    def find(self, name: str) -> Iterator[tuple[str, int, str, str]]:
        return self.db.execute(
            "SELECT f.path, s.line, s.kind, s.signature FROM symbols s "
            "JOIN files f ON f.id = s.file_id WHERE s.name = ? ORDER BY f.path, s.line, s.ordinal",
            (name,),
        )
