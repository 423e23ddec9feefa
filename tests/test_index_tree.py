"""The reference indexer: incremental runs equal a fresh index, the pool's size
and place do not change what is written, bad files are recorded, a killed or
interrupted run leaves a usable index, and the queries answer from it."""

import json
import os
import pathlib
import signal
import socket
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time
from contextlib import closing

import pytest

import marblewick_index_native as native
from marblewick_indexer import analysis, cli, languages, store, thread_pool, update
from outline_samples import SOUP_TOKENS as SLOW_SOUP_TOKENS, token_soup
from support import run_child

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SCRIPT = EXAMPLES / "index_tree.py"

# A Rust text whose parse takes seconds: past any small budget, and long
# enough for a run to be caught busy with it.
SLOW_RUST = token_soup(SLOW_SOUP_TOKENS["rust"], 1_000_000)


@pytest.fixture(autouse=True)
def no_grammar_packages(monkeypatch):
    """Runs in this process find no grammar package: a registration would
    last for the rest of the suite. (Runs with them: test_indexer_languages.)"""
    monkeypatch.setattr(languages, "discover", lambda distributions=None: ([], []))


def small_tree(root):
    (root / "pkg").mkdir(parents=True)
    (root / "pkg" / "good.py").write_text("class A:\n    def m(self):\n        pass\n\ndef f():\n    return 1\n")
    (root / "pkg" / "broken.py").write_text("def f(:\n")
    (root / "main.rs").write_text("struct P;\nimpl P {\n    fn new() -> P { P }\n}\n")
    (root / "notes.md").write_text("# notes\n")
    (root / "node_modules").mkdir()
    (root / "node_modules" / "dep.js").write_text("x\n")


def index(root, db, *extra):
    assert cli.main([str(root), "--db", str(db), "--no-progress", "--jobs", "2", *extra]) == 0


def snapshot(db):
    """The index's content, independent of row ids (`db` may be a URI)."""
    with closing(sqlite3.connect(db, uri=str(db).startswith("file:"))) as con:
        return (
            con.execute(
                "SELECT path, digest, lines, language, valid, error_count, failure FROM files ORDER BY path"
            ).fetchall(),
            con.execute(
                "SELECT f.path, s.ordinal, s.name, s.kind, s.line, s.end_line, s.depth, "
                "s.signature, s.parent FROM symbols s JOIN files f ON f.id = s.file_id "
                "ORDER BY 1, 2"
            ).fetchall(),
            con.execute(
                'SELECT f.path, p.ordinal, p.line, p."column", p.kind, p.message '
                "FROM problems p JOIN files f ON f.id = p.file_id ORDER BY 1, 2"
            ).fetchall(),
        )


def dump(db):
    """The database as SQL text, but for the statuses kept of files: whether a
    run keeps one depends on how long after the file was written it started.
    (The change is never committed.)"""
    with closing(sqlite3.connect(db)) as con:
        con.execute("UPDATE files SET status = NULL")
        return list(con.iterdump())


def test_readme_run_prints_the_summary_and_keeps_its_index_in_the_working_folder(tmp_path):
    small_tree(tmp_path / "tree")
    (tmp_path / "work").mkdir()
    done = subprocess.run(
        [sys.executable, str(SCRIPT), str(tmp_path / "tree")],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path / "work",
    )
    assert done.returncode == 0, done.stderr
    assert f"Indexed 4 files (16 lines) under {tmp_path / 'tree'}\n" in done.stdout
    assert "New 4, changed 0, unchanged 0, removed 0\nAnalysed 3 files with a grammar\n" in done.stdout
    assert "Files that do not parse: 1\n  pkg/broken.py:1: missing )\n" in done.stdout
    assert (tmp_path / "work" / cli.DEFAULT_DB).is_file()


def test_stored_rows_are_the_modules_answers(tmp_path):
    small_tree(tmp_path)
    index(tmp_path, tmp_path / "i.sqlite")
    files, symbols, problems = snapshot(tmp_path / "i.sqlite")
    scanned = json.loads(native.run("scan", json.dumps({"root": str(tmp_path)})))["entries"]
    assert [(f[0], f[1], f[2]) for f in files] == [(e["path"], e["file_hash"], e["total_lines"]) for e in scanned]
    for path, _digest, _lines, language, valid, error_count, failure in files:
        full = str(tmp_path / path)
        assert failure is None
        if language == "markdown":
            assert valid is None
            continue
        answer = json.loads(native.run("analyse", json.dumps({"path": full})))
        check = answer["syntax_check"]
        assert (valid, error_count) == (int(check["valid"]), check["error_count"])
        assert [p[2:] for p in problems if p[0] == path] == [
            (e["line"], e["column"], e["kind"], e["message"]) for e in check["errors"]
        ]
        assert [s[2:8] for s in symbols if s[0] == path] == [
            (s["name"], s["kind"], s["line"], s["end_line"], s["depth"], s["signature"])
            for s in answer["outline"]["symbols"]
        ]
    # A member points at its enclosing declaration.
    assert [(s[2], s[8]) for s in symbols if s[0] == "pkg/good.py"] == [("A", None), ("m", 0), ("f", None)]


def rename(root):
    (root / "pkg" / "good.py").rename(root / "pkg" / "renamed.py")


EDITS = {
    "nothing": (lambda root: None, "New 0, changed 0, unchanged 4, removed 0"),
    "add": (
        lambda root: (root / "pkg" / "new.ts").write_text("export function g(): void {}\n"),
        "New 1, changed 0, unchanged 4, removed 0",
    ),
    "change": (
        lambda root: (root / "pkg" / "broken.py").write_text("def f():\n    pass\n"),
        "New 0, changed 1, unchanged 3, removed 0",
    ),
    "delete": (lambda root: (root / "main.rs").unlink(), "New 0, changed 0, unchanged 3, removed 1"),
    "rename": (rename, "New 1, changed 0, unchanged 3, removed 1"),
    # Only line endings differ: the digest, and so the index, stays the same.
    "crlf": (lambda root: (root / "notes.md").write_bytes(b"# notes\r\n"), "New 0, changed 0, unchanged 4, removed 0"),
}


@pytest.mark.parametrize("edit", EDITS)
def test_a_second_run_gives_what_a_fresh_index_gives(tmp_path, capsys, edit):
    tree = tmp_path / "tree"
    tree.mkdir()
    small_tree(tree)
    index(tree, tmp_path / "kept.sqlite")
    change, counts = EDITS[edit]
    change(tree)
    capsys.readouterr()
    index(tree, tmp_path / "kept.sqlite")
    assert counts in capsys.readouterr().out
    index(tree, tmp_path / "fresh.sqlite")
    assert snapshot(tmp_path / "kept.sqlite") == snapshot(tmp_path / "fresh.sqlite")


def many_files_tree(root, count):
    for n in range(count):
        (root / f"m{n:03}.py").write_text(f"def f{n}(x):\n    return x\n\nclass C{n}:\n    pass\n")


def test_a_pool_of_one_and_of_two_write_the_same_database(tmp_path, monkeypatch):
    tree = tmp_path / "tree"
    tree.mkdir()
    many_files_tree(tree, 150)
    small_tree(tree)
    index(tree, tmp_path / "one.sqlite", "--jobs", "1", "--batch-size", "7")
    # A bulk load builds the name index at its end instead of row by row.
    monkeypatch.setattr(store, "BULK_LOAD_FILES", 10)
    index(tree, tmp_path / "two.sqlite", "--jobs", "2")
    assert dump(tmp_path / "one.sqlite") == dump(tmp_path / "two.sqlite")
    assert any("INDEX" in line and "symbols_by_name" in line for line in dump(tmp_path / "two.sqlite"))


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("failing", [None, 0, 17, 39])
def test_the_thread_pool_answers_in_task_order_and_passes_a_threads_exception_on(monkeypatch, threads, failing):
    # Later tasks finish first, so the threads hand results over out of order.
    def analyse_file(task):
        time.sleep((40 - int(task.path)) / 10_000)
        if int(task.path) == failing:
            raise MemoryError(task.path)
        return analysis.FileResult(task.path, True, 0, [], [], None)

    monkeypatch.setattr(thread_pool, "analyse_file", analyse_file)
    tasks = [analysis.FileTask(str(n), str(n), 0) for n in range(40)]
    done = []
    results = thread_pool.ThreadPool(threads).analyse_in_order(tasks, done.append)
    if failing is None:
        assert [r.path for r in results] == [t.path for t in tasks]
        assert sum(done) == 40
    else:
        with pytest.raises(MemoryError, match=f"^{failing}$"):
            list(results)
        assert sum(done) == failing


def with_ghost_file(monkeypatch):
    """A scan that also reports a file which is gone by the time it is read."""
    real_files = update.scanned_files

    def scanned_files(*args):
        return [store.ScannedFile("a_ghost.py", "0" * 64, 1, "python"), *real_files(*args)]

    monkeypatch.setattr(update, "scanned_files", scanned_files)


def test_files_that_cannot_be_analysed_are_recorded_and_the_run_goes_on(tmp_path, monkeypatch, capsys):
    small_tree(tmp_path)
    (tmp_path / "slow.rs").write_text(SLOW_RUST)
    with_ghost_file(monkeypatch)
    index(tmp_path, tmp_path / "i.sqlite", "--timeout-ms", "200")
    files = {row[0]: row for row in snapshot(tmp_path / "i.sqlite")[0]}
    assert files["a_ghost.py"][-1] == "No such file or directory (os error 2)"
    assert files["slow.rs"][-1] == "parse did not finish within 200 ms"
    assert files["pkg/good.py"][4:] == (1, 0, None)
    out = capsys.readouterr().out
    assert (
        "Files that could not be analysed: 2\n"
        "  No such file or directory (os error 2) (1 files)\n    a_ghost.py\n"
        "  parse did not finish within 200 ms (1 files)\n    slow.rs\n"
    ) in out


# A Rust text that runs out of a budget of 50 ms but parses within seconds.
BUDGET_BOUND_RUST = token_soup(SLOW_SOUP_TOKENS["rust"], 20_000)


@pytest.mark.parametrize("budget, again", [("50", False), ("40", False), ("60000", True), ("0", True)])
def test_a_parse_over_a_smaller_budget_is_done_again_under_a_larger_one(tmp_path, capsys, budget, again):
    tree = tmp_path / "tree"
    tree.mkdir()
    small_tree(tree)
    (tree / "slow.rs").write_text(BUDGET_BOUND_RUST)
    index(tree, tmp_path / "kept.sqlite", "--timeout-ms", "50")
    before = snapshot(tmp_path / "kept.sqlite")
    assert {row[0]: row[-1] for row in before[0]}["slow.rs"] == "parse did not finish within 50 ms"
    capsys.readouterr()
    index(tree, tmp_path / "kept.sqlite", "--timeout-ms", budget)
    out = capsys.readouterr().out
    assert "New 0, changed 0, unchanged 5, removed 0\n" in out
    if again:
        assert (
            "Analysed 1 files with a grammar\n"
            "  (1 of them unchanged, again because their parse had run out of a smaller budget)\n"
        ) in out
        index(tree, tmp_path / "fresh.sqlite", "--timeout-ms", budget)
        assert snapshot(tmp_path / "kept.sqlite") == snapshot(tmp_path / "fresh.sqlite")
        assert {row[0]: row[-1] for row in snapshot(tmp_path / "kept.sqlite")[0]}["slow.rs"] is None
    else:
        assert "Analysed 0 files with a grammar\n" in out
        assert snapshot(tmp_path / "kept.sqlite") == before


def count_files(db):
    try:
        with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as con:
            return con.execute("SELECT COUNT(*) FROM files").fetchone()[0]
    except sqlite3.OperationalError:
        return 0  # not created yet


SMALL_FILES = 60


def busy_tree(root, slow):
    """Small files first, then slow ones, then one last file: a run is busy
    with the slow ones while the small ones' batches are already written.
    "medium": forty Rust texts of a few hundred milliseconds each, so even a
    module that holds the interpreter lock while it parses lets the writer
    and the signal handler in between them; "huge": one that takes seconds."""
    root.mkdir()
    many_files_tree(root, SMALL_FILES)
    if slow == "huge":
        (root / "n.rs").write_text(SLOW_RUST)
    else:
        for n in range(40):
            (root / f"n{n:02}.rs").write_text(token_soup(SLOW_SOUP_TOKENS["rust"], 10_000, seed=n))
    (root / "z.py").write_text("def last():\n    pass\n")
    return len(list(root.iterdir()))


def answer_ctrl_c():
    # A suite started in the background by a shell inherits an ignored SIGINT,
    # and so would the run; a terminal's user gets the default.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def start_busy_run(tree, db, *extra):
    run = subprocess.Popen(
        [
            sys.executable,
            str(SCRIPT),
            str(tree),
            "--db",
            str(db),
            "--batch-size",
            "10",
            "--timeout-ms",
            "60000",
            "--no-progress",
            *extra,
        ],
        start_new_session=True,
        preexec_fn=answer_ctrl_c,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 60
    while count_files(db) < SMALL_FILES and run.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    return run


# The budget of the runs that complete an index: the huge file, never
# written by the run that was stopped, need not be parsed whole.
COMPLETING_BUDGET = {"medium": "60000", "huge": "100"}


def assert_consistent_and_completed(tree, db, fresh, slow, total):
    """The stopped run's index holds whole files, each as a fresh index has
    it, and the next run completes it to equal the fresh index."""
    written = count_files(db)
    assert SMALL_FILES <= written < total
    with sqlite3.connect(db) as con:
        assert con.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    index(tree, fresh, "--timeout-ms", COMPLETING_BUDGET[slow])
    kept, complete = snapshot(db), snapshot(fresh)
    paths = {row[0] for row in kept[0]}
    assert kept == tuple([row for row in table if row[0] in paths] for table in complete)
    index(tree, db, "--timeout-ms", COMPLETING_BUDGET[slow])
    assert snapshot(db) == snapshot(fresh)


@pytest.mark.parametrize("slow", ["medium", "huge"])
def test_a_killed_run_leaves_a_consistent_index_that_the_next_run_completes(tmp_path, slow):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    total = busy_tree(tree, slow)
    run = start_busy_run(tree, db, "--jobs", "1")
    try:
        run.send_signal(signal.SIGKILL)
    finally:
        os.killpg(run.pid, signal.SIGKILL)
        run.communicate()
    assert run.returncode == -signal.SIGKILL
    assert_consistent_and_completed(tree, db, tmp_path / "fresh.sqlite", slow, total)


@pytest.mark.parametrize("slow", ["medium", "huge"])
def test_ctrl_c_ends_a_run_within_a_second_and_the_next_run_completes_the_index(tmp_path, slow):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    total = busy_tree(tree, slow)
    run = start_busy_run(tree, db, "--jobs", "2")
    try:
        assert run.poll() is None, run.communicate()
        interrupted = time.monotonic()
        run.send_signal(signal.SIGINT)
        _, errors = run.communicate(timeout=30)
        seconds = time.monotonic() - interrupted
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
            run.communicate()
    assert run.returncode == cli.INTERRUPTED, errors
    assert errors == (
        "index_tree.py: interrupted; the index keeps the batches written so far, and the next run completes it\n"
    )
    assert seconds < 1.0, seconds
    assert_consistent_and_completed(tree, db, tmp_path / "fresh.sqlite", slow, total)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def environment_without_examples():
    """This environment, less any import path that holds the indexer's package."""
    env = dict(os.environ)
    kept = [
        entry
        for entry in env.get("PYTHONPATH", "").split(os.pathsep)
        if entry and not (pathlib.Path(entry) / "marblewick_indexer").exists()
    ]
    env["PYTHONPATH"] = os.pathsep.join(kept)
    return env


def start(argv, cwd, env):
    return subprocess.Popen(
        argv, cwd=cwd, env=env, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


@pytest.fixture
def dask_cluster(tmp_path):
    """A scheduler and two single-thread workers started as users start them:
    separate processes, in a folder without the examples, with an import path
    that cannot see the indexer's package."""
    pytest.importorskip("distributed")
    elsewhere = tmp_path / "cluster"
    elsewhere.mkdir()
    env = environment_without_examples()
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    scheduler = start(
        [sys.executable, "-m", "dask", "scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard"],
        elsewhere,
        env,
    )
    workers = None
    try:
        workers = start(
            [sys.executable, "-m", "dask", "worker", address, "--nworkers", "2", "--nthreads", "1", "--no-dashboard"],
            elsewhere,
            env,
        )
        yield address
    finally:
        for process in (workers, scheduler):
            if process is not None:
                stop(process)


def test_a_dask_cluster_writes_what_the_local_pool_writes(tmp_path, monkeypatch, dask_cluster):
    small_tree(tmp_path / "tree")
    (tmp_path / "tree" / "slow.rs").write_text(SLOW_RUST)
    many_files_tree(tmp_path / "tree", 40)
    with_ghost_file(monkeypatch)
    index(tmp_path / "tree", tmp_path / "dask.sqlite", "--timeout-ms", "200", "--scheduler", dask_cluster)
    index(tmp_path / "tree", tmp_path / "local.sqlite", "--timeout-ms", "200")
    assert dump(tmp_path / "dask.sqlite") == dump(tmp_path / "local.sqlite")


@pytest.fixture
def scheduler_without_workers(tmp_path):
    pytest.importorskip("distributed")
    (tmp_path / "cluster").mkdir()
    port = free_port()
    scheduler = start(
        [sys.executable, "-m", "dask", "scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard"],
        tmp_path / "cluster",
        environment_without_examples(),
    )
    try:
        yield f"tcp://127.0.0.1:{port}"
    finally:
        stop(scheduler)


@pytest.mark.parametrize(
    "cluster, message",
    [
        ("nothing-listens", "cannot reach the Dask scheduler at {address}: "),
        ("no-worker", "no worker joined the Dask scheduler at {address}: "),
    ],
)
def test_a_dask_cluster_that_cannot_be_used_ends_the_run_with_one_line(tmp_path, request, cluster, message):
    pytest.importorskip("distributed")
    small_tree(tmp_path / "tree")
    if cluster == "nothing-listens":
        address = f"tcp://127.0.0.1:{free_port()}"
        env = dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="1s")
    else:
        address = request.getfixturevalue("scheduler_without_workers")
        env = dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="3s")
    done = subprocess.run(
        [
            sys.executable,
            str(SCRIPT),
            str(tmp_path / "tree"),
            "--db",
            str(tmp_path / "i.sqlite"),
            "--scheduler",
            address,
        ],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert done.returncode == 2
    assert done.stderr.startswith("index_tree.py: " + message.format(address=address)), done.stderr
    assert done.stderr.count("\n") == 1, done.stderr


@pytest.mark.parametrize(
    "query, expected",
    [
        (["--find", "A"], "pkg/good.py:1 class class A:\n"),
        (["--find", "new"], "main.rs:3 method fn new() -> P { P }\n"),
        (["--find", "nothing"], ""),
        (["--problems"], "pkg/broken.py:1:7: missing )\n"),
    ],
)
def test_queries(tmp_path, capsys, query, expected):
    small_tree(tmp_path)
    index(tmp_path, tmp_path / "i.sqlite")
    capsys.readouterr()
    index(tmp_path, tmp_path / "i.sqlite", "--no-update", *query)
    assert capsys.readouterr().out == expected


def refuse_other_version(db, tree):
    index(tree, db)
    with sqlite3.connect(db) as con:
        con.execute("UPDATE meta SET value = '99' WHERE key = 'schema_version'")


def refuse_other_root(db, tree):
    other = tree / "pkg"
    index(other, db)


@pytest.mark.parametrize(
    "prepare, arguments, message",
    [
        (refuse_other_version, [], "holds schema version 99; this indexer reads and writes version 2."),
        (refuse_other_root, [], "indexes {tree}/pkg, not {tree}; choose another --db"),
        (
            lambda db, tree: db.write_bytes(b"not a database" * 100),
            [],
            "is not an index this indexer can use: file is not a database",
        ),
        (lambda db, tree: None, ["--find", "x", "--no-update"], "no index at {db}"),
    ],
    ids=["schema-version", "root", "not-sqlite", "no-index"],
)
def test_refused_databases_are_left_alone(tmp_path, capsys, prepare, arguments, message):
    small_tree(tmp_path)
    db = tmp_path / "i.sqlite"
    prepare(db, tmp_path)
    before = db.read_bytes() if db.exists() else None
    capsys.readouterr()
    assert cli.main([str(tmp_path), "--db", str(db), "--no-progress", *arguments]) == 2
    assert message.format(tree=tmp_path, db=db) in capsys.readouterr().err
    assert (db.read_bytes() if db.exists() else None) == before


def test_files_beyond_the_scan_limit_stay_indexed(tmp_path, capsys):
    small_tree(tmp_path)
    index(tmp_path, tmp_path / "i.sqlite")
    index(tmp_path, tmp_path / "i.sqlite", "--max-files", "2")
    assert "New 0, changed 0, unchanged 2, removed 0" in capsys.readouterr().out
    assert len(snapshot(tmp_path / "i.sqlite")[0]) == 4


def test_a_reader_that_stops_early_is_no_failure(tmp_path):
    small_tree(tmp_path)
    run = subprocess.Popen(
        [sys.executable, str(SCRIPT), str(tmp_path), "--db", str(tmp_path / "i.sqlite")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    run.stdout.close()  # as `| head` does, before the summary is printed
    _, errors = run.communicate(timeout=60)
    assert run.returncode == 0 and b"Traceback" not in errors
    assert len(snapshot(tmp_path / "i.sqlite")[0]) == 4


# --- runs in a child of their own, as a user starts them ----------------------


def run_script(*arguments, timeout=60, env=None):
    """index_tree.py in a child process: (status, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, arguments), "--no-progress"],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    return done.returncode, done.stdout, done.stderr


def letters_tree(root, letters):
    root.mkdir(parents=True, exist_ok=True)
    for letter in letters:
        (root / f"{letter}.py").write_text(f"def {letter}():\n    pass\n")


def paths_in(db):
    return [row[0] for row in snapshot(db)[0]]


def not_utf8(tree, *names):
    for name in names:
        (tree / name).write_bytes(b"x = '\xff'\n")


def gone(tree, *names):
    for name in names:
        (tree / name).unlink()


def link_instead(tree, name):
    gone(tree, name)
    (tree / name).symlink_to(tree / "a.py")


def only_e_readable(tree):
    gone(tree, "b.py", "c.py", "d.py")
    not_utf8(tree, "a.py")


# What is done to a tree of a, b, c, d and e.py after a full index, with which
# limit the next run looks, and what it must keep. Files the scan passes over
# (a name or a text that is not UTF-8) take their place within the limit.
LIMIT_CASES = {
    "a-name-within-the-limit": (
        lambda tree: (tree / os.fsdecode(b"b\xff.py")).write_text("x = 1\n"),
        3,
        "New 0, changed 0, unchanged 2, removed 0",
        "abcde",
        True,
    ),
    "a-text-within-the-limit": (
        lambda tree: not_utf8(tree, "b.py"),
        3,
        "New 0, changed 0, unchanged 2, removed 1",
        "acde",
        True,
    ),
    "gone-after-the-last-path": (
        lambda tree: gone(tree, "e.py"),
        3,
        "New 0, changed 0, unchanged 3, removed 0",
        "abcde",
        True,
    ),
    "gone-no-limit": (lambda tree: gone(tree, "e.py"), 100, "New 0, changed 0, unchanged 4, removed 1", "abcd", False),
    "unreadable-last-no-limit": (
        lambda tree: not_utf8(tree, "e.py"),
        100,
        "New 0, changed 0, unchanged 4, removed 1",
        "abcd",
        False,
    ),
    "link-last-no-limit": (
        lambda tree: link_instead(tree, "e.py"),
        100,
        "New 0, changed 0, unchanged 4, removed 1",
        "abcd",
        False,
    ),
    "unreadable-within-the-limit-and-gone": (
        only_e_readable,
        2,
        "New 0, changed 0, unchanged 1, removed 4",
        "e",
        False,
    ),
}


@pytest.mark.parametrize("case", LIMIT_CASES)
def test_a_run_removes_only_rows_of_files_it_looked_at(tmp_path, case):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    letters_tree(tree, "abcde")
    assert run_script(tree, "--db", db)[0] == 0
    change, limit, counts, kept, limit_told = LIMIT_CASES[case]
    change(tree)
    status, out, err = run_script(tree, "--db", db, "--max-files", limit)
    assert (status, err) == (0, "")
    assert counts in out
    assert paths_in(db) == [f"{letter}.py" for letter in kept]
    assert (f"(the limit of {limit} files was reached" in out) == limit_told


@pytest.fixture
def unmounts():
    """Mount points to unmount after the test, however it ends."""
    points: list = []
    yield points
    for point in reversed(points):
        subprocess.run(["umount", "-l", str(point)], capture_output=True)


def mount(unmounts, target, *arguments):
    """Mounts on `target`, or skips the test where this process may not."""
    if os.geteuid() != 0:
        pytest.skip("mounting needs root")
    target.mkdir()
    if subprocess.run(["mount", *arguments, str(target)], capture_output=True).returncode:
        pytest.skip("this machine lets no one mount")
    unmounts.append(target)
    return target


def read_only(unmounts, path):
    """Makes `path` (a file or a folder) read-only to the children: by its
    permissions, or for root, whom they do not bind, by a read-only mount of
    it over itself."""
    if os.geteuid() != 0:
        path.chmod(0o555 if path.is_dir() else 0o444)
        return
    if subprocess.run(["mount", "--bind", str(path), str(path)], capture_output=True).returncode:
        pytest.skip("this machine lets no one mount")
    unmounts.append(path)
    subprocess.run(["mount", "-o", "remount,ro,bind", str(path)], check=True)


# The index's file or its folder read-only: writing is refused before any file
# is analysed, while queries read it.
CANNOT_WRITE = {
    "file": "attempt to write a readonly database",
    # No run is writing, so SQLite's shared-memory file is gone, and cannot be
    # made again.
    "folder": "unable to open database file",
}


@pytest.mark.parametrize("place", CANNOT_WRITE)
def test_an_index_that_cannot_be_written_is_refused_and_still_answers_queries(tmp_path, unmounts, place):
    tree, db = tmp_path / "tree", tmp_path / "index" / "i.sqlite"
    small_tree(tree)
    db.parent.mkdir()
    assert run_script(tree, "--db", db)[0] == 0
    (tree / "pkg" / "new.py").write_text("def g():\n    pass\n")
    before = snapshot(db)
    read_only(unmounts, db if place == "file" else db.parent)
    status, out, err = run_script(tree, "--db", db)
    assert (status, out) == (2, "")
    assert err == (
        f"index_tree.py: cannot update the index at {db}: {CANNOT_WRITE[place]}; "
        f"--no-update answers queries from it as it is\n"
    )
    assert run_script(tree, "--db", db, "--find", "A", "--no-update") == (0, "pkg/good.py:1 class class A:\n", "")
    assert snapshot(f"file:{db}?immutable=1") == before


def symbols_tree(root, files, functions):
    root.mkdir(parents=True)
    for n in range(files):
        (root / f"b{n:03}.py").write_text(
            "".join(f"def function_number_{i}_of_file_{n}(argument):\n    return argument\n" for i in range(functions))
        )


def damaged(page, *extra):
    """A run over an index with a page overwritten. A run that changes
    nothing reads the symbols only for a query: the summary's counts are
    kept."""

    def prepare(tmp_path, unmounts):
        tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
        small_tree(tree)
        assert run_script(tree, "--db", db)[0] == 0
        with open(db, "r+b") as handle:
            handle.seek((page - 1) * 4096)  # the files table's first page, the symbols' first page
            handle.write(b"\xa5" * 4096)
        return tree, db, list(extra)

    return prepare


def full_disk(tmp_path, unmounts):
    tree, folder = tmp_path / "tree", tmp_path / "full"
    symbols_tree(tree, 120, 200)  # an index of several MiB
    folder.mkdir()
    if (
        os.geteuid() != 0
        or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(folder)], capture_output=True
        ).returncode
    ):
        pytest.skip("a small file system needs a mount, which only root may make here")
    unmounts.append(folder)
    return tree, folder / "i.sqlite", ["--batch-size", "10"]


def not_utf8_root(tmp_path, unmounts):
    tree = tmp_path / os.fsdecode(b"tr\xffe")
    small_tree(tree)
    return tree, tmp_path / "i.sqlite", []


def not_utf8_name(tmp_path, unmounts):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    small_tree(tree)
    assert run_script(tree, "--db", db)[0] == 0
    return tree, db, ["--find", os.fsdecode(b"\xffA")]


# How a run fails, given what is prepared, with the one line it ends with.
RUN_FAILURES = {
    "files-page-damaged": (
        damaged(4),
        "the index at {db} is damaged: database disk image is malformed; it keeps the batches written before",
    ),
    "symbols-page-damaged": (
        damaged(6, "--find", "A"),
        "the index at {db} is damaged: database disk image is malformed; it keeps the batches written before",
    ),
    "full-disk": (
        full_disk,
        "cannot use the index at {db} any further: database or disk is full; it keeps the batches written before",
    ),
    "root-not-utf8": (not_utf8_root, "cannot index {tree}: the module names files in UTF-8, which this name is not"),
    "find-not-utf8": (not_utf8_name, "--find \\xffA: symbols are named in UTF-8, which this name is not"),
}


@pytest.mark.parametrize("failure", RUN_FAILURES)
def test_a_run_that_fails_ends_with_one_line_and_keeps_what_was_indexed(tmp_path, unmounts, failure):
    prepare, line = RUN_FAILURES[failure]
    tree, db, extra = prepare(tmp_path, unmounts)
    before = db.read_bytes() if db.exists() else None
    status, out, err = run_script(tree, "--db", db, *extra, timeout=120)
    shown_tree = os.fsencode(tree).decode("utf-8", "backslashreplace")
    assert (status, err) == (2, f"index_tree.py: {line.format(db=db, tree=shown_tree)}\n")
    assert out == ""
    if failure == "full-disk":
        # The batches committed before the disk filled, each file whole.
        kept = snapshot(db)
        paths = {row[0] for row in kept[0]}
        assert len(paths) >= 10
        index(tree, tmp_path / "fresh.sqlite")
        assert kept == tuple([row for row in table if row[0] in paths] for table in snapshot(tmp_path / "fresh.sqlite"))
    else:
        assert (db.read_bytes() if db.exists() else None) == before


def test_runs_that_start_together_on_a_new_index_all_succeed(tmp_path):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    small_tree(tree)
    many_files_tree(tree, 30)
    runs = [
        subprocess.Popen(
            [sys.executable, str(SCRIPT), str(tree), "--db", str(db), "--no-progress"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        for _ in range(4)
    ]
    errors = [run.communicate(timeout=120)[1] for run in runs]
    assert [(run.returncode, error) for run, error in zip(runs, errors)] == [(0, "")] * 4
    index(tree, tmp_path / "fresh.sqlite")


def test_a_run_waits_for_the_write_lock_another_holds_on_a_new_index(tmp_path):
    # The moment runs starting together race for: one has the new database's
    # write lock while another switches it to WAL, which SQLite refuses at
    # once rather than after a wait. The run must wait as for any other lock.
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    small_tree(tree)
    holder = sqlite3.connect(db, isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN IMMEDIATE")
    release = threading.Timer(0.5, holder.execute, ["COMMIT"])
    release.start()
    try:
        index(tree, db)
    finally:
        release.join()
        holder.close()
    index(tree, tmp_path / "fresh.sqlite")
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")


def serve(listener, answer):
    """Accepts connections on `listener` until it is closed; answers each
    with `answer` once it has said something, or, for None, never."""
    held = []
    while True:
        try:
            connection, _ = listener.accept()
        except OSError:
            break
        held.append(connection)
        if answer is not None:
            connection.settimeout(5)
            try:
                connection.recv(65536)
                connection.sendall(answer)
            except OSError:
                pass
    for connection in held:
        connection.close()


@pytest.mark.parametrize(
    "answer",
    [None, b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", b"\xff" * 64],
    ids=["silent", "http", "noise"],
)
def test_a_service_that_is_no_dask_scheduler_ends_the_run_with_one_line_in_time(tmp_path, answer):
    pytest.importorskip("distributed")
    small_tree(tmp_path / "tree")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    address = f"tcp://127.0.0.1:{listener.getsockname()[1]}"
    server = threading.Thread(target=serve, args=(listener, answer), daemon=True)
    server.start()
    try:
        status, out, err = run_script(
            tmp_path / "tree",
            "--db",
            tmp_path / "i.sqlite",
            "--scheduler",
            address,
            timeout=30,
            env=dict(os.environ, DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s"),
        )
    finally:
        listener.shutdown(socket.SHUT_RDWR)  # wakes the server's accept
        listener.close()
    assert (status, out) == (2, "")
    assert err.startswith(f"index_tree.py: cannot reach the Dask scheduler at {address}: "), err
    assert err.count("\n") == 1 and "Traceback" not in err, err


# index_tree.py in a child whose module behaves as the case needs: `behaviour`
# defines run(command, payload), given the real one as `real`.
FAKED_RUN = """
import json, os, runpy, sys, threading, time
import marblewick_index_native as native
real = native.run
{behaviour}
native.run = run
sys.argv = [{script!r}, *{arguments!r}, "--no-progress"]
runpy.run_path({script!r}, run_name="__main__")
"""


def faked(behaviour, *arguments):
    return FAKED_RUN.format(
        behaviour=textwrap.dedent(behaviour), script=str(SCRIPT), arguments=[str(a) for a in arguments]
    )


def run_faked(behaviour, *arguments, timeout=60):
    return run_child(faked(behaviour, *arguments), timeout=timeout)


def start_faked(behaviour, *arguments):
    return subprocess.Popen(
        [sys.executable, "-c", faked(behaviour, *arguments)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )


def failures_in(db):
    return {row[0]: row[-1] for row in snapshot(db)[0]}


# The module aborting the process on one file, as it may when the system
# refuses it memory at a moment it cannot recover from.
ABORTS_ON_BOMB = """
def run(command, payload):
    if command == "analyse" and json.loads(payload)["path"].endswith("bomb.py"):
        time.sleep(1)  # long enough for the writer to wait on it
        os.abort()
    return real(command, payload)
"""


def bomb_tree(root):
    root.mkdir()
    for n in range(10, 41):
        (root / f"m{n}.py").write_text(f"def f{n}():\n    pass\n")
    (root / "m25bomb.py").write_text("x = 1\n")


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_file_that_ends_the_process_is_passed_by_the_next_runs_and_then_recorded(tmp_path, jobs):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    bomb_tree(tree)
    before_bomb = [f"m{n}.py" for n in range(10, 26)]
    # The first run commits what came before the file while it waits for it.
    assert run_faked(ABORTS_ON_BOMB, tree, "--db", db, "--jobs", jobs)[0] == -signal.SIGABRT
    assert paths_in(db) == before_bomb
    # The next one analyses it last and alone, having written all others.
    assert run_faked(ABORTS_ON_BOMB, tree, "--db", db, "--jobs", jobs)[0] == -signal.SIGABRT
    assert len(paths_in(db)) == 31 and "m25bomb.py" not in paths_in(db)
    # The one after records it, and ends as any run does.
    status, out, err = run_faked(ABORTS_ON_BOMB, tree, "--db", db, "--jobs", jobs)
    assert (status, err) == (0, "")
    assert (f"Files that could not be analysed: 1\n  {update.PROCESS_ENDED} (1 files)\n    m25bomb.py\n") in out
    assert failures_in(db)["m25bomb.py"] == update.PROCESS_ENDED
    # Until it changes.
    (tree / "m25bomb.py").write_text("x = 2\n")
    assert run_faked(ABORTS_ON_BOMB, tree, "--db", db)[0] == -signal.SIGABRT


SLOW_FILE = """
def run(command, payload):
    if command == "analyse" and json.loads(payload)["path"].endswith("slow.py"):
        time.sleep(10)  # far longer than the test waits
    return real(command, payload)
"""


def test_a_run_killed_during_a_slow_file_keeps_what_came_before_and_blames_no_file(tmp_path, capsys):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    bomb_tree(tree)
    (tree / "m25bomb.py").rename(tree / "m25slow.py")
    run = start_faked(SLOW_FILE, tree, "--db", db, "--jobs", "2")
    try:
        deadline = time.monotonic() + 30
        while count_files(db) < 16 and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
    finally:
        os.killpg(run.pid, signal.SIGKILL)
        run.communicate()
    # The default batch is 500 files: these were written while the run waited.
    assert paths_in(db) == [f"m{n}.py" for n in range(10, 26)]
    capsys.readouterr()
    index(tree, db)
    assert "Files that could not be analysed: 0\n" in capsys.readouterr().out
    index(tree, tmp_path / "fresh.sqlite")
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")


# The system refusing memory to a parse while another large one runs beside
# it, and to the file ALONE_TOO names even alone.
SHORT_OF_MEMORY = """
lock, active, together = threading.Lock(), set(), set()
def run(command, payload):
    path = json.loads(payload).get("path", "")
    if command != "analyse" or "huge" not in path:
        return real(command, payload)
    with lock:
        active.add(path)
        if len(active) > 1:
            together.update(active)
    time.sleep(0.3)
    with lock:
        active.discard(path)
        refused = path in together or (ALONE_TOO is not None and path.endswith(ALONE_TOO))
        together.discard(path)
    if refused:
        raise RuntimeError("out of memory")
    return real(command, payload)
"""


@pytest.mark.parametrize("alone_too", [None, "huge2.py"])
def test_memory_that_ran_out_is_no_result_of_the_file(tmp_path, alone_too):
    tree, db = tmp_path / "tree", tmp_path / "i.sqlite"
    tree.mkdir()
    for name in ["a.py", "huge1.py", "huge2.py", "z.py"]:
        (tree / name).write_text("def f():\n    pass\n")
    status, out, err = run_faked(f"ALONE_TOO = {alone_too!r}\n" + SHORT_OF_MEMORY, tree, "--db", db, "--jobs", "2")
    assert (status, err) == (0, "")
    assert "Files that could not be analysed: 0\n" in out
    assert sorted(paths_in(db)) == ["a.py", "huge1.py"] + ([] if alone_too else ["huge2.py"]) + ["z.py"]
    assert set(failures_in(db).values()) == {None}
    if alone_too:
        assert "  (1 of them ran out of memory even analysed alone; the next run tries them again)\n" in out
        status, out, err = run_faked("ALONE_TOO = None\n" + SHORT_OF_MEMORY, tree, "--db", db)
        assert "New 1, changed 0, unchanged 3, removed 0\nAnalysed 1 files with a grammar\n" in out
    index(tree, tmp_path / "fresh.sqlite")
    assert snapshot(db) == snapshot(tmp_path / "fresh.sqlite")


def test_an_out_of_memory_an_older_run_recorded_is_tried_again(tmp_path, capsys):
    small_tree(tmp_path)
    index(tmp_path, tmp_path / "i.sqlite")
    with sqlite3.connect(tmp_path / "i.sqlite") as con:
        con.execute("UPDATE files SET failure = 'out of memory' WHERE path = 'main.rs'")
    capsys.readouterr()
    index(tmp_path, tmp_path / "i.sqlite")
    assert (
        "Analysed 1 files with a grammar\n"
        "  (1 of them unchanged, again because memory had run out when they were analysed)\n" in capsys.readouterr().out
    )
    assert failures_in(tmp_path / "i.sqlite")["main.rs"] is None


@pytest.mark.parametrize(
    "module", ["marblewick_indexer", "marblewick_indexer.cli", "sqlite3", "marblewick_index_native", "argparse"]
)
def test_ctrl_c_while_the_modules_load_ends_with_the_one_line(tmp_path, module):
    small_tree(tmp_path / "tree")
    code = f"""
        import os, runpy, signal, sys
        class InterruptOnImport:
            def find_spec(self, name, path=None, target=None):
                if name == {module!r}:
                    os.kill(os.getpid(), signal.SIGINT)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        for loaded in [m for m in sys.modules if m == {module!r} or m.startswith({module!r} + ".")]:
            del sys.modules[loaded]
        sys.meta_path.insert(0, InterruptOnImport())
        sys.argv = [{str(SCRIPT)!r}, {str(tmp_path / "tree")!r}, "--db", {str(tmp_path / "i.sqlite")!r}]
        runpy.run_path(sys.argv[0], run_name="__main__")
    """
    assert run_child(code) == (
        cli.INTERRUPTED,
        "",
        "index_tree.py: interrupted; the index keeps the batches written so far, and the next run completes it\n",
    )
