"""The index: one SQLite database that only the main thread writes.

Each batch of results is one transaction, so a run that is killed leaves the
index as the last finished batch left it: every file row matches its own
symbols and problems, and the next run picks up what is missing or stale.
"""

from __future__ import annotations

import os
import sqlite3
from contextlib import contextmanager
from typing import Iterable, Iterator, NamedTuple

from .analysis import FileResult

SCHEMA_VERSION = 1
# Writes of at least this many files (and half the index) count as a bulk load.
BULK_LOAD_FILES = 1000

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


class RefusedIndex(Exception):
    """A database this indexer must not touch; the message says why."""


class ScannedFile(NamedTuple):
    """What the scan reports of one file, and the language it is filed under."""

    path: str
    digest: str
    lines: int
    language: str


class Store:
    def __init__(self, db_path: str, root: str, create: bool = True):
        self.db_path = db_path
        if not create and not os.path.exists(db_path):
            raise RefusedIndex(f"no index at {db_path}: run the indexer without --no-update first")
        try:
            self.db = sqlite3.connect(db_path, isolation_level=None)
            self.db.execute("PRAGMA foreign_keys = ON")
            # Readers (queries) keep working while a run writes.
            self.db.execute("PRAGMA journal_mode = WAL")
            self.db.execute("PRAGMA synchronous = NORMAL")
            self._open_or_create(os.path.abspath(root))
            self.db.execute(NAME_INDEX)
        except sqlite3.DatabaseError as error:
            raise RefusedIndex(f"{db_path} is not an index this indexer can use: {error}") from None

    def _open_or_create(self, root: str) -> None:
        tables = {row[0] for row in self.db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if not tables:
            with self.transaction():
                for statement in SCHEMA.split(";"):
                    if statement.strip():
                        self.db.execute(statement)
                self.db.executemany("INSERT INTO meta VALUES (?, ?)",
                                    [("schema_version", str(SCHEMA_VERSION)), ("root", root)])
            return
        meta = dict(self.db.execute("SELECT key, value FROM meta")) if "meta" in tables else {}
        version = meta.get("schema_version")
        if version != str(SCHEMA_VERSION):
            found = f"schema version {version}" if version else "no schema version"
            raise RefusedIndex(f"{self.db_path} holds {found}; this indexer reads and writes "
                              f"version {SCHEMA_VERSION}. Remove it or choose another --db.")
        if meta.get("root") != root:
            raise RefusedIndex(f"{self.db_path} indexes {meta.get('root')}, not {root}; "
                              f"choose another --db for this tree.")

    @contextmanager
    def transaction(self) -> Iterator[None]:
        """All of the block's writes, or none of them."""
        self.db.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            self.db.execute("ROLLBACK")
            raise
        self.db.execute("COMMIT")

    def close(self) -> None:
        self.db.close()

    # --- what the run compares against ----------------------------------------

    def file_count(self) -> int:
        return self.db.execute("SELECT COUNT(*) FROM files").fetchone()[0]

    def stored_states(self) -> dict[str, tuple[str, str | None]]:
        """Each stored path's digest and recorded failure."""
        return {path: (digest, failure) for path, digest, failure
                in self.db.execute("SELECT path, digest, failure FROM files")}

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

    def remove(self, paths: Iterable[str]) -> None:
        with self.transaction():
            self.db.executemany("DELETE FROM files WHERE path = ?", ((p,) for p in paths))

    def write_unanalysed(self, files: Iterable[ScannedFile]) -> None:
        """Files without a grammar: only their inventory is kept."""
        with self.transaction():
            for file in files:
                self._replace_file(file, valid=None, error_count=0, failure=None)

    def write_results(self, batch: list[tuple[ScannedFile, FileResult]]) -> None:
        with self.transaction():
            for file, result in batch:
                file_id = self._replace_file(file, result.valid, result.error_count, result.failure)
                self.db.executemany("INSERT INTO symbols VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                    ((file_id, *row) for row in result.symbols))
                self.db.executemany("INSERT INTO problems VALUES (?, ?, ?, ?, ?, ?)",
                                    ((file_id, *row) for row in result.problems))

    def _replace_file(self, file: ScannedFile, valid, error_count: int, failure) -> int:
        self.db.execute("DELETE FROM files WHERE path = ?", (file.path,))
        cursor = self.db.execute(
            "INSERT INTO files (path, digest, lines, language, valid, error_count, failure) "
            "VALUES (?, ?, ?, ?, ?, ?, ?)",
            (file.path, file.digest, file.lines, file.language,
             None if valid is None else int(valid), error_count, failure))
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    # --- reading ---------------------------------------------------------------

    def totals_per_language(self) -> list[tuple[str, int, int]]:
        return list(self.db.execute(
            "SELECT language, COUNT(*), SUM(lines) FROM files GROUP BY language"))

    def symbols_per_kind(self) -> list[tuple[str, int]]:
        return list(self.db.execute("SELECT kind, COUNT(*) FROM symbols GROUP BY kind"))

    def unparsed(self) -> Iterator[tuple[str, int | None, int | None, str | None]]:
        """(path, line, column, message) of each file that does not parse, with its first problem."""
        return self.db.execute(
            'SELECT f.path, p.line, p."column", p.message FROM files f '
            "LEFT JOIN problems p ON p.file_id = f.id AND p.ordinal = 0 "
            "WHERE f.valid = 0 ORDER BY f.path")

    def failures(self) -> Iterator[tuple[str, str]]:
        return self.db.execute(
            "SELECT failure, path FROM files WHERE failure IS NOT NULL ORDER BY failure, path")

    def find(self, name: str) -> Iterator[tuple[str, int, str, str]]:
        return self.db.execute(
            "SELECT f.path, s.line, s.kind, s.signature FROM symbols s "
            "JOIN files f ON f.id = s.file_id WHERE s.name = ? ORDER BY f.path, s.line, s.ordinal",
            (name,))
