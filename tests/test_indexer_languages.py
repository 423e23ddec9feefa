"""The reference indexer with grammar packages: which ones it finds from the
installed distributions, how it files and analyses their files, what it
reports per language, and that a package it cannot use is skipped with one
line while the run goes on.

Registrations last for the process, so every run that registers a grammar
is a child process of its own."""

import importlib.metadata
import importlib.util
import os
import pathlib
import sqlite3
import subprocess
import sys
import time
from contextlib import closing

import pytest

from marblewick_indexer import languages, remote, update
from marblewick_indexer.store import ScannedFile
from test_index_tree import dask_cluster, dump, snapshot  # noqa: F401

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
SCRIPT = EXAMPLES / "index_tree.py"


def fake_distribution(site, name, version, files, top_level=None, record=True):
    """A distribution's metadata in `site`, and the files it lists (a value
    of None: listed, yet not there)."""
    info = site / f"{name.replace('-', '_')}-{version}.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
    if top_level is not None:
        (info / "top_level.txt").write_text("\n".join(top_level) + "\n")
    for path, text in files.items():
        if text is not None:
            (site / path).parent.mkdir(parents=True, exist_ok=True)
            (site / path).write_text(text)
    if record:
        (info / "RECORD").write_text("".join(f"{path},,\n" for path in files))
    return importlib.metadata.PathDistribution(info)


def grammar_files(package, *extra):
    return {f"{package}/__init__.py": "", f"{package}/_binding.abi3.so": "", **{p: "" for p in extra}}


# (distributions: (name, files, top_level or None, with RECORD)), the grammars
# found as (language, function, extensions, tags file), the skips' reasons.
DISCOVERY = {
    "a grammar with its tags query": (
        [("tree-sitter-go", grammar_files("tree_sitter_go", "tree_sitter_go/queries/tags.scm"), None, True)],
        [("go", "language", ("go",), "tree_sitter_go/queries/tags.scm")],
        [],
    ),
    "its tags query beside the module, under the grammar's name": (
        [
            (
                "tree-sitter-c-sharp",
                grammar_files("tree_sitter_c_sharp", "tree_sitter_c-sharp/queries/tags.scm"),
                ["_binding", "tree_sitter_c_sharp"],
                True,
            )
        ],
        [("c_sharp", "language", ("cs",), "tree_sitter_c-sharp/queries/tags.scm")],
        [],
    ),
    "no tags query": (
        [("tree-sitter-bash", grammar_files("tree_sitter_bash"), None, True)],
        [("bash", "language", ("sh", "bash"), None)],
        [],
    ),
    "several grammars in one package": (
        [("tree-sitter-ocaml", grammar_files("tree_sitter_ocaml"), None, True)],
        [("ocaml", "language_ocaml", ("ml",), None), ("ocaml_interface", "language_ocaml_interface", ("mli",), None)],
        [],
    ),
    "the same module installed twice: the first found": (
        [
            ("tree-sitter-java", grammar_files("tree_sitter_java", "tree_sitter_java/queries/tags.scm"), None, True),
            ("tree-sitter-java", grammar_files("tree_sitter_java"), None, True),
        ],
        [("java", "language", ("java",), "tree_sitter_java/queries/tags.scm")],
        [],
    ),
    "a package of a built-in grammar, the bindings, anything else": (
        [
            ("tree-sitter-python", grammar_files("tree_sitter_python"), None, True),
            ("tree-sitter", {"tree_sitter/__init__.py": ""}, None, True),
            ("requests", {"requests/__init__.py": ""}, None, True),
        ],
        [],
        [],
    ),
    "a grammar of no known extensions": (
        [("tree-sitter-brainfog", grammar_files("tree_sitter_brainfog"), None, True)],
        [],
        ["no usual file extensions are known for its language"],
    ),
    "metadata that lists no files": (
        [("tree-sitter-go", {}, None, False)],
        [],
        ["its installed metadata lists no files"],
    ),
}


@pytest.mark.parametrize("case", DISCOVERY)
def test_discovery_reads_the_installed_distributions(tmp_path, case):
    given, expected, reasons = DISCOVERY[case]
    distributions = [
        fake_distribution(tmp_path / f"site{n}", name, "1.0", files, top_level, record)
        for n, (name, files, top_level, record) in enumerate(given)
    ]
    grammars, skipped = languages.discover(distributions)
    assert [(g.language, g.function, g.extensions, g.tags_file) for g in grammars] == expected
    for grammar in grammars:
        assert grammar.tags == (None if grammar.tags_file is None else str(tmp_path / "site0" / grammar.tags_file))
    assert [s.reason for s in skipped] == reasons


@pytest.mark.parametrize("present, h_goes_to", [(["c", "cpp"], "cpp"), (["c"], "c"), (["cpp"], "cpp")])
def test_a_header_goes_to_one_language(present, h_goes_to):
    grammars = [
        g
        for g in (
            languages.Grammar(language, "", "", extensions, "", "", None, None)
            for package, usual in languages.USUAL_GRAMMARS.items()
            for language, _, extensions in usual
        )
        if g.language in present
    ]
    shared = languages.share_extensions(grammars)
    assert [g.language for g in shared if "h" in g.extensions] == [h_goes_to]
    assert all("c" in g.extensions for g in shared if g.language == "c")


@pytest.mark.parametrize(
    "scanned_extensions, removed, limit_reached",
    [
        (["py", "c"], [], True),  # z.c is there and selected: the limit cut the list
        (["py"], ["z.c"], False),  # its grammar went: no scan reports it again
    ],
)
def test_a_stored_file_the_scan_no_longer_selects_is_removed(tmp_path, scanned_extensions, removed, limit_reached):
    for name in ("a.py", "z.c"):
        (tmp_path / name).write_text("x\n")
    filing = languages.Languages(languages.module_languages())
    filing.scan_extensions = scanned_extensions
    stored = {"a.py": None, "z.c": None}
    assert update.vanished_paths(str(tmp_path), stored, [ScannedFile("a.py", "", 1, "python")], 5, filing.scans) == (
        removed,
        limit_reached,
    )


def test_a_worker_that_cannot_register_fails_its_chunk_saying_which_grammar():
    grammar = {
        "language": "go",
        "package": "tree_sitter_go",
        "function": "language",
        "extensions": ["go"],
        "distribution": "tree-sitter-no-such-distribution",
        "tags_file": "tree_sitter_go/queries/tags.scm",
    }
    with pytest.raises(
        RuntimeError,
        match=r"^this worker cannot register the grammar of go "
        r"\(tree-sitter-no-such-distribution\): ",
    ):
        remote.analyse_chunk(['{"content":"x = 1\\n","path":"a.py"}'], [grammar])


# --- runs of the indexer ------------------------------------------------------

needs_grammars = pytest.mark.skipif(
    any(importlib.util.find_spec(p) is None for p in ("tree_sitter_c", "tree_sitter_go", "tree_sitter_java")),
    reason="needs the test grammars: pip install '.[test]'",
)

SOURCES = {
    "lib/sum.c": '#include "sum.h"\n\nint add(int a, int b) { return a + b; }\n\nint twice(int a) { return add(a, a); }\n',
    "lib/sum.h": "int add(int a, int b);\n",
    "cmd/main.go": "package main\n\ntype Point struct{ X int }\n\nfunc (p Point) Norm() int { return p.X }\n\n"
    "func main() {}\n",
    "src/Shape.java": "class Shape {\n    int area() { return 0; }\n}\n",
    "tool.py": "def run():\n    pass\n",
    "broken.go": "package main\n\nfunc f( {\n",
}


def tree_of(root, sources):
    for path, text in sources.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


def run_indexer(*arguments, pythonpath=None):
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = os.pathsep.join([str(pythonpath), *filter(None, [env.get("PYTHONPATH")])])
    done = subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, arguments), "--no-progress"],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    return done


def per_language(db):
    with closing(sqlite3.connect(db)) as con:
        return dict(
            (language, (files, symbols))
            for language, files, symbols in con.execute(
                "SELECT f.language, COUNT(DISTINCT f.id), COUNT(s.ordinal) FROM files f "
                "LEFT JOIN symbols s ON s.file_id = f.id GROUP BY f.language"
            )
        )


TEST_LANGUAGES = "--languages=python,c,go,java"


@needs_grammars
def test_registered_languages_are_analysed_and_reported_per_language(tmp_path):
    tree = tree_of(tmp_path / "tree", SOURCES)
    done = run_indexer(tree, "--db", tmp_path / "i.sqlite", TEST_LANGUAGES)
    assert "Analysed 6 files with a grammar\n" in done.stdout
    counts = per_language(tmp_path / "i.sqlite")
    assert {language: files for language, (files, _) in counts.items()} == {"c": 2, "go": 2, "java": 1, "python": 1}
    assert all(symbols > 0 for _, symbols in counts.values()), counts
    for language, (files, symbols) in counts.items():
        assert f"  {language:<12} {files:>7} files" in done.stdout
        assert f" {symbols:>8} symbols\n" in done.stdout
    assert "Files that do not parse: 1\n  broken.go:3: " in done.stdout
    found = run_indexer(tree, "--db", tmp_path / "i.sqlite", TEST_LANGUAGES, "--no-update", "--find", "add")
    assert [line.split(" ")[0] for line in found.stdout.splitlines()] == ["lib/sum.c:3", "lib/sum.h:1"]
    assert done.stderr == ""


@needs_grammars
def test_languages_outside_the_restriction_keep_their_inventory_until_a_run_analyses_them(tmp_path):
    tree = tree_of(tmp_path / "tree", SOURCES)
    restricted = run_indexer(tree, "--db", tmp_path / "kept.sqlite", "--languages=go")
    assert "Analysed 2 files with a grammar\n" in restricted.stdout
    counts = per_language(tmp_path / "kept.sqlite")
    # Still filed under their languages, but not analysed (the header goes
    # to C++ where that grammar is installed too).
    assert (counts["c"][1], counts["python"], counts["java"]) == (0, (1, 0), (1, 0))
    assert counts["go"][1] > 0
    again = run_indexer(tree, "--db", tmp_path / "kept.sqlite", TEST_LANGUAGES)
    assert (
        "Analysed 4 files with a grammar\n  (4 of them unchanged, stored before without analysis in a "
        "language analysed now)\n"
    ) in again.stdout
    run_indexer(tree, "--db", tmp_path / "fresh.sqlite", TEST_LANGUAGES)
    assert snapshot(tmp_path / "kept.sqlite") == snapshot(tmp_path / "fresh.sqlite")


@needs_grammars
def test_dask_workers_register_the_parents_grammars(tmp_path, dask_cluster):
    tree = tree_of(tmp_path / "tree", SOURCES)
    run_indexer(tree, "--db", tmp_path / "dask.sqlite", TEST_LANGUAGES, "--scheduler", dask_cluster)
    run_indexer(tree, "--db", tmp_path / "local.sqlite", TEST_LANGUAGES)
    assert dump(tmp_path / "dask.sqlite") == dump(tmp_path / "local.sqlite")


def broken_packages(site):
    """Grammar packages the indexer knows by name, each unusable its own way."""
    fake_distribution(
        site, "tree-sitter-lua", "9.9", {"tree_sitter_lua/__init__.py": "raise ImportError('boom while loading')\n"}
    )
    fake_distribution(site, "tree-sitter-kotlin", "9.9", {"tree_sitter_kotlin/__init__.py": None})
    fake_distribution(
        site, "tree-sitter-zig", "9.9", {"tree_sitter_zig/__init__.py": "def language():\n    return 5\n"}
    )
    fake_distribution(site, "tree-sitter-swift", "9.9", {}, record=False)


def test_grammar_packages_that_cannot_be_used_are_skipped_one_line_each(tmp_path):
    broken_packages(tmp_path / "site")
    tree = tree_of(
        tmp_path / "tree",
        {"a.lua": "x = 1\n", "b.kt": "fun f() {}\n", "c.zig": "const x = 1;\n", "tool.py": "def run():\n    pass\n"},
    )
    done = run_indexer(
        tree,
        "--db",
        tmp_path / "i.sqlite",
        "--languages=python,lua,kotlin,zig,swift,haskell",
        pythonpath=tmp_path / "site",
    )
    lines = done.stderr.splitlines()
    reasons = {line.split(":", 2)[1].strip(): line.split(":", 2)[2] for line in lines}
    assert sorted(reasons) == [
        "skipped haskell",
        "skipped kotlin (tree-sitter-kotlin 9.9)",
        "skipped lua (tree-sitter-lua 9.9)",
        "skipped tree-sitter-swift 9.9",
        "skipped zig (tree-sitter-zig 9.9)",
    ], lines
    assert "boom while loading" in reasons["skipped lua (tree-sitter-lua 9.9)"]
    assert "tree_sitter_kotlin" in reasons["skipped kotlin (tree-sitter-kotlin 9.9)"]
    assert reasons["skipped tree-sitter-swift 9.9"] == " its installed metadata lists no files"
    assert reasons["skipped haskell"] == (" no grammar package for it is installed (pip install tree-sitter-haskell)")
    # The run went on: Python analysed, the others kept under their names.
    assert "Analysed 1 files with a grammar\n" in done.stdout
    assert per_language(tmp_path / "i.sqlite") == {"python": (1, 1), "lua": (1, 0), "kotlin": (1, 0), "zig": (1, 0)}


@needs_grammars
def test_languages_alone_lists_what_the_module_knows_and_indexes_nothing(tmp_path):
    done = subprocess.run(
        [sys.executable, str(SCRIPT), "--languages"], capture_output=True, text=True, timeout=120, cwd=tmp_path
    )
    assert done.returncode == 0, done.stderr
    rows = {line.split()[0]: line for line in done.stdout.splitlines()}
    assert rows["python"].split() == ["python", "outline", "built", "in", ".py"]
    assert rows["json"].split()[:2] == ["json", "no"]
    version = importlib.metadata.version("tree-sitter-go")
    assert rows["go"].split() == ["go", "outline", "tree-sitter-go", version, ".go"]
    assert os.listdir(tmp_path) == []


def test_a_module_that_cannot_list_its_languages_ends_the_run_with_one_line(tmp_path, monkeypatch, capsys):
    def older_module(command, payload):
        raise RuntimeError(f"unknown command: {command}")

    monkeypatch.setattr(languages, "discover", lambda distributions=None: ([], []))
    monkeypatch.setattr(languages.native, "run", older_module)
    from marblewick_indexer import cli

    for arguments in (["--languages"], [str(tmp_path), "--db", str(tmp_path / "i.sqlite"), "--no-progress"]):
        assert cli.main(arguments) == 2
        assert capsys.readouterr().err == (
            "index_tree.py: the module installed cannot list its languages "
            "(unknown command: languages); install this repository's module\n"
        )


def wait_until_import_path_settled(env):
    """Until every entry of a run's import path is old enough to be trusted
    (a package installed just before the suite started may not be yet)."""
    child = subprocess.run(
        [sys.executable, "-c", "import sys; print('\\n'.join(sys.path[1:]))"],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    times = [os.stat(entry).st_mtime_ns for entry in [EXAMPLES, *child.stdout.splitlines()] if os.path.exists(entry)]
    ahead_ns = max(times) + update.SETTLED_AFTER_NS - time.time_ns()
    if ahead_ns > 0:
        time.sleep(ahead_ns / 1e9 + 0.1)


def settle(folder, seconds_ago):
    old = os.stat(folder).st_mtime_ns - seconds_ago * 10**9
    os.utime(folder, ns=(old, old))


def forget_nothing(site, db):
    pass


def install_zig(site, db):
    fake_distribution(site, "tree-sitter-zig", "9.9", {}, record=False)
    settle(site, 60)


def remove_swift(site, db):
    for info in site.glob("tree_sitter_swift-*"):
        (info / "METADATA").unlink()
        info.rmdir()
    settle(site, 60)


def touch_just_now(site, db):
    os.utime(site)


def damage_what_was_found(site, db):
    with closing(sqlite3.connect(db)) as con, con:
        con.execute("UPDATE meta SET value = '[1, 2' WHERE key = 'grammar packages'")


# What changes between two runs: the skip lines of the second, and whether it
# looked at the installed distributions again.
BETWEEN_RUNS = {
    "nothing": (forget_nothing, ["tree-sitter-swift 9.9"], False),
    "a package installed": (install_zig, ["tree-sitter-swift 9.9", "tree-sitter-zig 9.9"], True),
    "a package removed": (remove_swift, [], True),
    "the import path touched too recently to be trusted": (touch_just_now, ["tree-sitter-swift 9.9"], True),
    "what the last run found damaged": (damage_what_was_found, ["tree-sitter-swift 9.9"], True),
}


@pytest.mark.parametrize("case", BETWEEN_RUNS)
def test_a_run_takes_the_grammar_packages_its_last_run_found_while_nothing_was_installed(tmp_path, case):
    change, skipped, looked = BETWEEN_RUNS[case]
    site, db = tmp_path / "site", tmp_path / "i.sqlite"
    fake_distribution(site, "tree-sitter-swift", "9.9", {}, record=False)
    settle(site, 60)
    tree = tree_of(tmp_path / "tree", {"tool.py": "def run():\n    pass\n"})
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(site), *filter(None, [os.environ.get("PYTHONPATH")])])}

    def run():
        done = subprocess.run(
            [sys.executable, "-X", "importtime", str(SCRIPT), str(tree), "--db", str(db), "--no-progress"],
            capture_output=True,
            text=True,
            timeout=120,
            env=env,
        )
        assert done.returncode == 0, done.stderr
        lines = done.stderr.splitlines()
        found = [line.split(":")[1].strip().removeprefix("skipped ") for line in lines if "skipped" in line]
        return found, any(line.endswith("| importlib.metadata") for line in lines)

    wait_until_import_path_settled(env)
    assert run() == (["tree-sitter-swift 9.9"], True)
    change(site, db)
    assert run() == (skipped, looked)
