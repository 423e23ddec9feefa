"""The indexer tells an unchanged file by its status (size, times, inode,
device) without reading it, and reads again every file that may have changed:
each way a file can change while its size, or its size and modification time,
stay as they were, and a status taken while the file's times were current."""

import json
import os
import pathlib
import sqlite3
import subprocess
import sys
import time
from contextlib import closing

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
from marblewick_indexer import cli, languages, store, update  # noqa: E402
from outline_samples import SOUP_TOKENS, token_soup  # noqa: E402

SETTLED_AFTER_NS = update.SETTLED_AFTER_NS
# Every name of the tree has the same length as its replacement, so that a
# change keeps the file's size.
TREE = {
    "pkg/good.py": "class Alpha:\n    def m(self):\n        pass\n",
    "pkg/other.py": "def beta():\n    return 1\n",
    "main.rs": "fn gamma() {}\n",
    "notes.md": "# notes\n",
}
CHANGED = ("pkg/good.py", "class Omega:\n    def m(self):\n        pass\n")
# A Rust text that runs out of a budget of 50 ms but parses within seconds.
BUDGET_BOUND_RUST = token_soup(SOUP_TOKENS["rust"], 20_000)


@pytest.fixture(autouse=True)
def no_grammar_packages(monkeypatch):
    monkeypatch.setattr(languages, "discover", lambda distributions=None: ([], []))


@pytest.fixture
def settled(monkeypatch):
    """Runs whose clock is ahead of the files' by more than the settling
    time, as if every file had last changed well before the run."""
    monkeypatch.setattr(update, "wall_clock_ns", lambda: time.time_ns() + 2 * SETTLED_AFTER_NS)


def make_tree(root):
    for relative, text in TREE.items():
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_text(text)


@pytest.fixture
def run(monkeypatch, capsys):
    """run(tree, db, *arguments): one indexer run through the command line,
    its counts (None for a query without update) and its output."""

    def one_run(tree, db, *extra) -> tuple[update.RunCounts | None, str]:
        kept = []

        def counting(*args, **kwargs):
            kept.append(update.update_index(*args, **kwargs))
            return kept[-1]

        monkeypatch.setattr(cli, "update_index", counting)
        capsys.readouterr()
        assert cli.main([str(tree), "--db", str(db), "--no-progress", "--jobs", "2", *extra]) == 0
        return (kept[-1] if kept else None), capsys.readouterr().out

    return one_run


def snapshot(db):
    with closing(sqlite3.connect(db)) as con:
        return (
            con.execute(
                "SELECT path, digest, lines, language, valid, error_count, failure FROM files ORDER BY path"
            ).fetchall(),
            con.execute(
                "SELECT f.path, s.name, s.kind, s.line FROM symbols s JOIN files f ON f.id = s.file_id ORDER BY 1, 3, 4"
            ).fetchall(),
        )


def kept_statuses(db):
    with closing(sqlite3.connect(db)) as con:
        return dict(con.execute("SELECT path, status FROM files"))


def summary_of(output: str) -> str:
    """The summary without the lines that tell what this run did."""
    return output[output.index("Files, lines and symbols per language:") :]


def indexed_twice(run, tmp_path):
    """A tree indexed, and a second run that read nothing: every status kept."""
    tree, db = tmp_path / "tree", tmp_path / "kept.sqlite"
    make_tree(tree)
    first, _ = run(tree, db)
    assert first.read == len(TREE)
    second, _ = run(tree, db)
    assert (second.read, second.unchanged, second.analysed) == (0, len(TREE), 0)
    return tree, db


def rewrite(path: pathlib.Path, text: str) -> os.stat_result:
    """Writes `text` (of the same size) over the file in place, and gives
    the status the file had before."""
    before = path.stat()
    with open(path, "r+") as f:
        f.write(text)
    assert path.stat().st_size == before.st_size and path.stat().st_ino == before.st_ino
    return before


def same_size_same_second(path, text):
    before = rewrite(path, text)
    second, ns = divmod(before.st_mtime_ns, 10**9)
    os.utime(path, ns=(before.st_atime_ns, second * 10**9 + (ns + 1) % 10**9))


def rewrite_with_the_time_set_back(path, text):
    before = rewrite(path, text)
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))


def replace_by_rename(path, text):
    before = path.stat()
    fresh = path.with_name(path.name + ".new")
    fresh.write_text(text)
    os.utime(fresh, ns=(before.st_atime_ns, before.st_mtime_ns))
    os.rename(fresh, path)


def touch_back_in_time(path, text):
    before = rewrite(path, text)
    second, ns = divmod(before.st_mtime_ns, 10**9)
    subprocess.run(["touch", "-m", "-d", f"@{second}.{ns:09d}", str(path)], check=True)
    assert path.stat().st_mtime_ns == before.st_mtime_ns


# How a file changes while its size stays, and what of its status then stays
# the same: only the status-change time, or the inode, tells the change.
UNSEEN_CHANGES = {
    "same-size-same-second": (same_size_same_second, "mtime differs in its nanoseconds only"),
    "mtime-set-back-by-hand": (rewrite_with_the_time_set_back, "only ctime differs"),
    "replace-by-rename": (replace_by_rename, "inode and ctime differ"),
    "touch-d-back-in-time": (touch_back_in_time, "only ctime differs"),
}


@pytest.mark.parametrize("change", UNSEEN_CHANGES)
def test_a_settled_file_changed_with_its_size_and_times_kept_is_read_again(tmp_path, run, settled, change):
    tree, db = indexed_twice(run, tmp_path)
    path, text = CHANGED
    UNSEEN_CHANGES[change][0](tree / path, text)
    counts, _ = run(tree, db)
    assert (counts.read, counts.changed, counts.unchanged) == (1, 1, len(TREE) - 1)
    run(tree, tmp_path / "fresh.sqlite")
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")
    assert ("pkg/good.py", "Omega", "class", 1) in snapshot(db)[1]


# The racy case: a status taken while the file's times were still current
# may equal that of a later write within the same tick of the clock, so it is
# not kept, and the next run reads the file whatever its status says.
@pytest.mark.parametrize(
    "mtime_ago, ctime_ago, kept",
    [
        (SETTLED_AFTER_NS, SETTLED_AFTER_NS, True),
        (10**18, SETTLED_AFTER_NS, True),  # a time before 1970
        (SETTLED_AFTER_NS - 1, SETTLED_AFTER_NS, False),
        (SETTLED_AFTER_NS, SETTLED_AFTER_NS - 1, False),
        (0, 10 * SETTLED_AFTER_NS, False),
        (-SETTLED_AFTER_NS, 10 * SETTLED_AFTER_NS, False),  # a time in the future
    ],
)
def test_a_status_is_kept_only_once_both_times_have_settled(mtime_ago, ctime_ago, kept):
    started = 1_800_000_000 * 10**9
    status = [10, started - mtime_ago, started - ctime_ago, 7, 8]
    expected = json.dumps(status, separators=(",", ":")) if kept else None
    assert update.settled_status(status, started) == expected
    assert update.settled_status(None, started) is None


# How far the runs' clock is ahead of the files' last change, and whether
# that settles their statuses. A file rewritten within the timestamp
# granularity of a coarse file system, right after a run took its digest,
# keeps its size and both times: only a status that was never kept is safe
# then, and the next run reads the file.
@pytest.mark.parametrize("ahead_ns, kept", [(0, False), (SETTLED_AFTER_NS // 2, False), (2 * SETTLED_AFTER_NS, True)])
def test_a_file_written_within_the_settling_time_before_a_run_is_read_by_the_next_run(
    tmp_path, monkeypatch, run, ahead_ns, kept
):
    monkeypatch.setattr(update, "wall_clock_ns", lambda: time.time_ns() + ahead_ns)
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    make_tree(tree)
    run(tree, db)
    assert all((status is not None) == kept for status in kept_statuses(db).values())
    path, text = CHANGED
    rewrite_with_the_time_set_back(tree / path, text)
    counts, _ = run(tree, db)
    assert (counts.read, counts.changed) == (1 if kept else len(TREE), 1)
    assert ("pkg/good.py", "Omega", "class", 1) in snapshot(db)[1]


def test_a_touched_file_is_read_once_and_parsed_not_at_all(tmp_path, run, settled):
    tree, db = indexed_twice(run, tmp_path)
    os.utime(tree / "main.rs")
    counts, _ = run(tree, db)
    assert (counts.read, counts.changed, counts.analysed) == (1, 0, 0)
    counts, _ = run(tree, db)
    assert counts.read == 0


def add_file(tree):
    (tree / "pkg" / "new.ts").write_text("export function g(): void {}\n")


def add_inventory_only(tree):
    (tree / "more.md").write_text("# more\n")


EDITS = {
    "nothing": lambda tree: None,
    "add": add_file,
    "add-without-grammar": add_inventory_only,
    "change": lambda tree: rewrite(tree / CHANGED[0], CHANGED[1]),
    "delete": lambda tree: (tree / "main.rs").unlink(),
    "rename": lambda tree: (tree / "pkg" / "other.py").rename(tree / "pkg" / "moved.py"),
}


@pytest.mark.parametrize("edit", EDITS)
def test_after_any_edit_the_index_and_its_summary_are_those_of_a_fresh_index(tmp_path, run, settled, edit):
    tree, db = indexed_twice(run, tmp_path)
    EDITS[edit](tree)
    _, again = run(tree, db)
    _, fresh = run(tree, tmp_path / "fresh.sqlite")
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")
    assert summary_of(again) == summary_of(fresh)


def as_version_1(db):
    """The index as the indexer before file statuses wrote it."""
    with closing(sqlite3.connect(db)) as con, con:
        con.execute("ALTER TABLE files DROP COLUMN status")
        con.execute("DELETE FROM meta WHERE key = ?", (store.COUNTS_KEY,))
        con.execute("UPDATE meta SET value = '1' WHERE key = 'schema_version'")


def test_an_index_of_version_1_answers_queries_as_it_is_and_is_migrated_by_a_run(tmp_path, run, settled):
    tree, db = indexed_twice(run, tmp_path)
    as_version_1(db)
    before = db.read_bytes()
    _, found = run(tree, db, "--find", "Alpha", "--no-update")
    assert found == "pkg/good.py:1 class class Alpha:\n"
    assert db.read_bytes() == before
    counts, _ = run(tree, db)
    assert (counts.read, counts.unchanged, counts.analysed) == (len(TREE), len(TREE), 0)
    with closing(sqlite3.connect(db)) as con:
        assert con.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone() == ("2",)
    run(tree, tmp_path / "fresh.sqlite")
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")
    assert run(tree, db)[0].read == 0


@pytest.fixture
def table_reads(monkeypatch):
    """How many times runs read every stored row: a run that trusts what the
    run before it kept of an unchanged tree reads none."""
    reads = []
    real = store.Store.stored_states

    def stored_states(self):
        reads.append(1)
        return real(self)

    monkeypatch.setattr(store.Store, "stored_states", stored_states)
    return reads


def write_by_hand(db, statement):
    with closing(sqlite3.connect(db)) as con, con:
        con.execute(statement)


def python_only(tree, db, run):
    """The index made anew analysing Python only, so Rust files are kept as
    inventory, and kept so by a second run."""
    for leftover in (db, db.with_name(db.name + "-wal"), db.with_name(db.name + "-shm")):
        leftover.unlink(missing_ok=True)
    (tree / "zz.rs").write_text("fn zeta() {}\n")
    run(tree, db, "--languages", "python")
    run(tree, db, "--languages", "python")


def limit_cut_a_run_of_more_languages(tree, db, run):
    """A run of every language whose limit leaves zz.rs unscanned: it files
    anew only what it scans, so what it keeps must not let the next run
    skip the rest."""
    python_only(tree, db, run)
    run(tree, db, "--max-files", "2")


# What happens to the index between the run that kept its view of an
# unchanged tree and the next run, the arguments of that run, and whether it
# may trust the view kept (else it reads every stored row).
AFTER_A_KEPT_VIEW = {
    "nothing": (lambda tree, db, run: [], True),
    "a-row-changed-by-another-writer": (
        lambda tree, db, run: write_by_hand(db, "UPDATE files SET language = 'other' WHERE path = 'main.rs'"),
        False,
    ),
    "more-languages": (python_only, False),
    "a-file-deleted": (lambda tree, db, run: (tree / "main.rs").unlink(), False),
    "a-file-added": (lambda tree, db, run: add_file(tree), False),
    "kept-view-damaged": (
        lambda tree, db, run: write_by_hand(db, f"UPDATE meta SET value = '[' WHERE key = '{store.UNCHANGED_RUN_KEY}'"),
        False,
    ),
    "kept-statuses-damaged": (
        lambda tree, db, run: write_by_hand(
            db, f"UPDATE meta SET value = '\"x\":' WHERE key = '{store.KNOWN_STATUSES_KEY}'"
        ),
        False,
    ),
    "limit-cut-a-run-of-more-languages": (limit_cut_a_run_of_more_languages, False),
}


@pytest.mark.parametrize("case", AFTER_A_KEPT_VIEW)
def test_a_run_trusts_the_view_kept_of_an_unchanged_tree_only_while_it_holds(tmp_path, run, settled, table_reads, case):
    tree, db = indexed_twice(run, tmp_path)
    assert len(table_reads) == 1  # the first run's: the second trusted the first's view
    prepare, trusted = AFTER_A_KEPT_VIEW[case]
    extra = prepare(tree, db, run) or []
    before, reads = db.read_bytes(), len(table_reads)
    _, again = run(tree, db, *extra)
    assert len(table_reads) == reads + (0 if trusted else 1)
    if trusted:
        assert db.read_bytes() == before
    _, fresh = run(tree, tmp_path / "fresh.sqlite", *extra)
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")
    assert summary_of(again) == summary_of(fresh)
    reads = len(table_reads)
    run(tree, db, *extra)
    assert len(table_reads) == reads  # the view is kept again


def test_a_view_is_not_kept_when_another_connection_wrote_during_the_run(
    tmp_path, run, settled, table_reads, monkeypatch
):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    make_tree(tree)
    real = update.analyse_and_write

    def with_a_write_beside(*args, **kwargs):
        real(*args, **kwargs)
        write_by_hand(db, "INSERT OR REPLACE INTO meta VALUES ('beside', '1')")

    monkeypatch.setattr(update, "analyse_and_write", with_a_write_beside)
    run(tree, db)
    monkeypatch.setattr(update, "analyse_and_write", real)
    run(tree, db)
    run(tree, db)
    assert len(table_reads) == 2


@pytest.mark.parametrize("budget, retried", [("50", False), ("0", True)])
def test_a_kept_view_leaves_a_failure_worth_retrying_to_a_run_that_reads_the_table(
    tmp_path, run, settled, table_reads, budget, retried
):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    make_tree(tree)
    (tree / "slow.rs").write_text(BUDGET_BOUND_RUST)
    run(tree, db, "--timeout-ms", "50")
    counts, _ = run(tree, db, "--timeout-ms", budget)
    assert (counts.retried, len(table_reads)) == (int(retried), 1 + retried)


# Answers of "scan" and what an unchanged run reads off their text without
# parsing it: the count, and whether any file was read.
SCAN_ANSWERS = [
    ('{"count":2,"entries":[{"path":"a.py"},{"path":"b/c.rs"}],"ok":true}', 2, True),
    ('{"count":1,"entries":[{"file_hash":"' + "0" * 64 + '","path":"a.py","total_lines":1}],"ok":true}', 1, False),
    # A name holding the member's text: its quotes are escaped in the answer.
    ('{"count":1,"entries":[{"path":"x\\"file_hash\\":.py"}],"ok":true}', 1, True),
    ('{"entries":[{"path":"a.py"}],"ok":true,"count":1}', 1, True),
]


@pytest.mark.parametrize("answer, count, read_none", SCAN_ANSWERS)
def test_an_unchanged_run_reads_the_count_and_whether_a_file_was_read_off_the_scan_answer(answer, count, read_none):
    scan = update.Scan(answer, 0)
    assert (scan.file_count(), scan.read_none()) == (count, read_none)
    assert scan.file_count() == len(scan.entries())


def test_a_run_that_cannot_keep_its_view_succeeds_and_the_next_reads_the_table(
    tmp_path, run, settled, table_reads, monkeypatch
):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    make_tree(tree)

    def locked(*args):
        raise sqlite3.OperationalError("database is locked")

    with monkeypatch.context() as patched:
        patched.setattr(store.Store, "_keep_view", locked)
        run(tree, db)
    run(tree, db)
    run(tree, db)
    assert len(table_reads) == 2
