"""The "scan" command: walk, filters, order, limit and per-file digests."""

import json
import os
import threading

import pytest

import marblewick_index_native as native
from support import (
    STREAMED_INVALID_TEXTS,
    STREAMED_TEXTS,
    child_stdout,
    expected_digest,
    limits_address_space,
    run_error,
    run_json,
    text_across_read_pieces,
)

DEFAULT_EXTENSIONS = ["py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml"]
SKIPPED = [".git", "dist", ".venv", "target", "node_modules"]


def scan(payload):
    """A scan's answer; the payload is a Python value or raw JSON text."""
    return run_json("scan", payload)


def line_count(data: bytes) -> int:
    return 0 if not data else 1 + data.count(b"\n")


def make_tree(root, files):
    """Creates `files` ({relative path: bytes}) below root; paths may be bytes."""
    root = os.fsencode(root)
    for relative, data in files.items():
        path = os.path.join(root, os.fsencode(relative))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def expected_entries(root, relatives):
    """The entries a scan must give for these relative paths, in byte order."""
    entries = []
    for relative in sorted(relatives, key=lambda p: p.encode()):
        with open(os.path.join(root, relative), "rb") as f:
            data = f.read()
        entries.append({"file_hash": expected_digest(data), "path": relative, "total_lines": line_count(data)})
    return entries


def paths(result):
    return [entry["path"] for entry in result["entries"]]


# ---- selection and digests ---------------------------------------------------

CONTENTS = {
    "main.py": b"print('hi')\n",
    "lib.rs": b"fn main() {}\r\nfn other() {}\r\n",
    "web/app.ts": b"let a = 1;\rlet b = 2;\r",
    "web/view.tsx": b"a\r\r\nb",
    "web/old.js": b"\xef\xbb\xbfconst x = 1;\n",
    "cmd/tool.go": b"package main\n\n\n",
    "README.md": "# Überblick — naïve\n".encode(),
    "Cargo.toml": b"",
    "ci.yaml": b"a: 1\n\r\n",
    "ci.yml": b"\n",
    # Not selected by the defaults.
    "notes.txt": b"x\n",
    "native.c": b"int x;\n",
    "SHOUT.PY": b"x\n",
    "Makefile": b"all:\n",
    ".gitignore": b"build/\n",
    ".hidden.py.bak": b"x\n",
    "trailing.": b"x\n",
    "types.d.ts.orig": b"x\n",
}
DEFAULT_SELECTED = [
    "main.py",
    "lib.rs",
    "web/app.ts",
    "web/view.tsx",
    "web/old.js",
    "cmd/tool.go",
    "README.md",
    "Cargo.toml",
    "ci.yaml",
    "ci.yml",
]


def test_default_payload_selects_default_extensions_with_exact_digests(tmp_path):
    make_tree(tmp_path, CONTENTS)
    result = scan({"root": str(tmp_path)})
    assert result == {
        "count": len(DEFAULT_SELECTED),
        "ok": True,
        "entries": expected_entries(tmp_path, DEFAULT_SELECTED),
    }


def test_result_is_compact_with_keys_in_byte_order(tmp_path):
    make_tree(tmp_path, {"a.py": b"x\n"})
    text = native.run("scan", json.dumps({"root": str(tmp_path)}))
    assert text == (
        '{"count":1,"entries":[{"file_hash":"%s","path":"a.py","total_lines":2}],"ok":true}' % expected_digest(b"x\n")
    )


@pytest.mark.parametrize(
    "data, lines",
    [
        (b"", 0),
        (b"a", 1),
        (b"a\n", 2),
        (b"a\r\nb\r\n", 3),
        (b"a\rb", 1),
        (b"\n" * 255, 256),
        (b"\n" * 256, 257),
        (b"\n" * 100_000, 100_001),
        ((b"x" * 254 + b"\n") * 9 + b"tail", 10),
        (b"\r" * 300 + b"\r\n" * 300, 301),
    ],
)
def test_line_counts_and_digests(tmp_path, data, lines):
    make_tree(tmp_path, {"f.py": data})
    assert scan({"root": str(tmp_path)})["entries"] == [
        {"file_hash": expected_digest(data), "path": "f.py", "total_lines": lines}
    ]


@pytest.mark.parametrize("size, ending", STREAMED_TEXTS)
def test_large_file_entry_across_read_pieces(tmp_path, size, ending):
    make_tree(tmp_path, {"big.py": text_across_read_pieces(size, ending)})
    assert scan({"root": str(tmp_path)})["entries"] == expected_entries(tmp_path, ["big.py"])


@pytest.mark.parametrize("size, ending", STREAMED_INVALID_TEXTS)
def test_large_file_invalid_only_at_its_end_is_left_out(tmp_path, size, ending):
    make_tree(tmp_path, {"a.py": b"x\n", "big.py": text_across_read_pieces(size, ending), "z.py": b""})
    assert paths(scan({"root": str(tmp_path)})) == ["a.py", "z.py"]


@pytest.mark.parametrize(
    "extensions, selected",
    [
        ([], []),
        (["PY"], ["SHOUT.PY"]),
        ([".md", 7, None, {"x": 1}], ["README.md"]),
        (["..py", "py"], ["main.py"]),
        (["."], ["trailing."]),
        ([""], ["trailing."]),
        (["d.ts", "py.bak"], []),
        (["bak"], [".hidden.py.bak"]),
        (["orig", "c", "txt"], ["native.c", "notes.txt", "types.d.ts.orig"]),
        ([1, 2], []),
        ("py", DEFAULT_SELECTED),
        (None, DEFAULT_SELECTED),
        ({"py": True}, DEFAULT_SELECTED),
    ],
)
def test_extensions_forms(tmp_path, extensions, selected):
    make_tree(tmp_path, CONTENTS)
    result = scan({"root": str(tmp_path), "extensions": extensions})
    assert result["entries"] == expected_entries(tmp_path, selected)
    assert result["count"] == len(selected)


def test_duplicate_extensions_select_each_file_once(tmp_path):
    make_tree(tmp_path, {"a.py": b"", "b.py": b""})
    assert paths(scan({"root": str(tmp_path), "extensions": ["py", ".py", "py"]})) == ["a.py", "b.py"]


@pytest.mark.parametrize("skipped", SKIPPED)
@pytest.mark.parametrize("where", ["", "pkg/", "pkg/sub/deeper/"])
def test_skipped_directories_at_any_depth(tmp_path, skipped, where):
    make_tree(
        tmp_path,
        {f"{where}{skipped}/inside.py": b"x\n", f"{where}{skipped}/nested/more.py": b"x\n", f"{where}kept.py": b"x\n"},
    )
    assert paths(scan({"root": str(tmp_path)})) == [f"{where}kept.py"]


LOOK_ALIKES = [".github", "build", "Target", "DIST", "Node_Modules", ".git2", "dist.d", "venv", ".venv.old", "x.git"]


def test_look_alikes_of_skipped_names_are_walked(tmp_path):
    files = {f"{name}/sub/f.py": b"x\n" for name in LOOK_ALIKES}
    # A regular file carrying a skipped name is no directory and stays harmless.
    files.update({f"files/{name}.py": b"x\n" for name in SKIPPED})
    files["files/dist"] = b"x\n"
    make_tree(tmp_path, files)
    expected = [p for p in files if p.endswith(".py")]
    assert scan({"root": str(tmp_path), "max_files": 1000})["entries"] == expected_entries(tmp_path, expected)


def test_paths_sort_by_bytes_not_by_walk_or_locale(tmp_path):
    names = [
        "b.py",
        "a.py",
        "a/b.py",
        "A.py",
        "a-b.py",
        "a_b.py",
        "Z/z.py",
        "é.py",
        "e.py",
        "a0.py",
        "ab/c.py",
        "a.pyx/d.py",
    ]
    make_tree(tmp_path, {n: b"" for n in names})
    assert paths(scan({"root": str(tmp_path)})) == sorted(names, key=lambda n: n.encode())


def test_awkward_names_come_back_exactly(tmp_path):
    names = [
        "with space.py",
        "tab\there.py",
        'quote".py',
        "apos'.py",
        "back\\slash.py",
        "new\nline.py",
        "ünï cödé/日本語.py",
        "emoji 🙂.md",
        "dir with space/x y.rs",
    ]
    make_tree(tmp_path, {n: n.encode() for n in names})
    assert scan({"root": str(tmp_path)})["entries"] == expected_entries(tmp_path, names)


# ---- limit -------------------------------------------------------------------

MANY = 300  # more than the default limit of 256


@pytest.fixture(scope="module")
def many_files(tmp_path_factory):
    root = tmp_path_factory.mktemp("many")
    # Created in reverse so the walk order is unlikely to be the sorted order.
    names = [f"d{i % 7}/f{i:04d}.py" for i in reversed(range(MANY))]
    make_tree(root, {n: (b"line\n" * (i % 5)) for i, n in enumerate(names)})
    return root, sorted(names)


@pytest.mark.parametrize(
    "max_files_text, kept",
    [
        (None, 256),
        ("0", 0),
        ("1", 1),
        ("3", 3),
        ("256", 256),
        ("299", 299),
        ("100000", MANY),
        ("18446744073709551615", MANY),
        ("18446744073709551616", 256),
        ("1e3", 256),
        ("10.0", 256),
        ("1000.0", 256),
        ("-5", 256),
        ("-0", 256),
        ('"10"', 256),
        ("true", 256),
        ("null", 256),
        ("[5]", 256),
    ],
)
def test_max_files_forms_keep_the_first_files_in_byte_order(many_files, max_files_text, kept):
    root, names = many_files
    payload = {"root": str(root)}
    text = json.dumps(payload)
    if max_files_text is not None:
        text = text[:-1] + ', "max_files": ' + max_files_text + "}"
    result = scan(text)
    assert result["count"] == kept
    assert paths(result) == names[:kept]


def test_limit_counts_candidates_before_unreadable_ones_are_dropped(tmp_path):
    make_tree(tmp_path, {"a.py": b"ok\n", "b.py": b"\xff\xfe not utf-8", "c.py": b"ok\n"})
    assert paths(scan({"root": str(tmp_path), "max_files": 2})) == ["a.py"]
    assert paths(scan({"root": str(tmp_path), "max_files": 3})) == ["a.py", "c.py"]


def test_many_files_keep_candidate_order_on_every_run(tmp_path):
    # Uneven sizes make workers finish their pieces in varying order.
    files = {f"p{i % 13}/m{i:05d}.py": (b"x = %d\r\n" % i) * ((i * 37) % 400) for i in range(2000)}
    make_tree(tmp_path, files)
    expected = expected_entries(tmp_path, files)
    for _ in range(3):
        assert scan({"root": str(tmp_path), "max_files": 5000})["entries"] == expected


def test_scans_from_several_python_threads(tmp_path):
    files = {f"t/{i:03d}.rs": b"fn f() {}\n" * i for i in range(200)}
    make_tree(tmp_path, files)
    expected = expected_entries(tmp_path, files)
    results, failures = [], []

    def worker():
        try:
            for _ in range(5):
                results.append(scan({"root": str(tmp_path)})["entries"])
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert len(results) == 20 and all(r == expected for r in results)


# ---- root forms --------------------------------------------------------------

PROJECT = {"proj/src/lib.rs": b"fn x() {}\n", "proj/top.py": b"a\r\nb\r\n", "proj/doc/a b.md": b""}
PROJECT_RELATIVE = ["src/lib.rs", "top.py", "doc/a b.md"]


@pytest.mark.parametrize(
    "cwd, root",
    [
        ("proj", "."),
        ("proj", "./"),
        ("proj", "./."),
        ("proj/src", ".."),
        ("", "proj"),
        ("", "./proj"),
        ("", "proj/"),
        ("", "proj//"),
        ("", "proj/."),
        ("", "./proj/../proj"),
    ],
)
def test_root_forms_give_the_same_relative_paths(tmp_path, monkeypatch, cwd, root):
    make_tree(tmp_path, PROJECT)
    monkeypatch.chdir(tmp_path / cwd)
    result = scan({"root": root})
    assert result["entries"] == expected_entries(tmp_path / "proj", PROJECT_RELATIVE)


def test_absolute_root_and_link_to_root(tmp_path):
    make_tree(tmp_path, PROJECT)
    os.symlink(tmp_path / "proj", tmp_path / "alias")
    expected = expected_entries(tmp_path / "proj", PROJECT_RELATIVE)
    assert scan({"root": str(tmp_path / "proj")})["entries"] == expected
    assert scan({"root": str(tmp_path / "alias")})["entries"] == expected


@pytest.mark.parametrize(
    "root",
    [
        "missing",
        "",
        "proj/top.py",  # a selected file: its empty relative path names no file
        "proj/top.py/",
        "proj/doc/a b.md",
        "node_modules",
        "deps/dist",
        "deps/dist/",
        "deps/dist/.",
        "dist",  # a link to a walkable directory, named like a skipped one
        "proj\u0000",  # the text before the NUL names a real directory
        "proj/\u0000/src",
    ],
)
def test_roots_that_yield_nothing(tmp_path, monkeypatch, root):
    make_tree(tmp_path, PROJECT)
    make_tree(tmp_path, {"node_modules/m.py": b"", "deps/dist/d.py": b""})
    os.symlink(tmp_path / "proj", tmp_path / "dist")
    monkeypatch.chdir(tmp_path)
    assert scan({"root": root}) == {"count": 0, "entries": [], "ok": True}


def test_root_named_by_link_keeps_its_own_name(tmp_path, monkeypatch):
    # The link's own name decides, not its target's: a target named dist is walked.
    make_tree(tmp_path, {"dist/d.py": b""})
    os.symlink(tmp_path / "dist", tmp_path / "release")
    monkeypatch.chdir(tmp_path)
    assert paths(scan({"root": "release"})) == ["d.py"]


@pytest.mark.parametrize(
    "payload_text",
    [
        "{}",
        "[]",
        '"root"',
        "null",
        "7",
        '{"root": 1}',
        '{"root": null}',
        '{"root": ["."]}',
        '{"Root": "."}',
        '{"max_files": 3, "extensions": ["py"]}',
    ],
)
def test_missing_root_is_the_one_error(payload_text):
    assert run_error("scan", payload_text) == "missing required field: root"


# ---- links, special files, unreadable and non-UTF-8 entries --------------------


def test_links_below_the_root_are_neither_followed_nor_selected(tmp_path):
    make_tree(
        tmp_path,
        {"root/real.py": b"x\n", "root/sub/inner.py": b"y\n", "outside/far.py": b"z\n", "outside/deep/far2.py": b""},
    )
    root = tmp_path / "root"
    os.symlink(root / "real.py", root / "link.py")
    os.symlink(tmp_path / "outside", root / "outside_link")
    os.symlink(tmp_path / "outside" / "far.py", root / "sub" / "far_link.py")
    os.symlink(root, root / "sub" / "loop")  # points back to an ancestor
    os.symlink(tmp_path / "nowhere.py", root / "dangling.py")
    result = scan({"root": str(root)})
    assert result["entries"] == expected_entries(root, ["real.py", "sub/inner.py"])


def test_fifo_named_like_source_is_never_selected_nor_opened(tmp_path):
    # Opening a FIFO for reading would block until a writer comes: run in a
    # child so a regression fails with a timeout instead of hanging the suite.
    make_tree(tmp_path, {"tree/ok.py": b"x\n"})
    os.mkfifo(tmp_path / "tree" / "pipe.py")
    os.mkfifo(tmp_path / "root_pipe.py")
    code = f"""
        import json, marblewick_index_native as m
        print(m.run("scan", json.dumps({{"root": {str(tmp_path / "tree")!r}}})))
        print(m.run("scan", json.dumps({{"root": {str(tmp_path / "root_pipe.py")!r}}})))
    """
    stdout = child_stdout(code, timeout=30)
    first, second = (json.loads(line) for line in stdout.splitlines())
    assert paths(first) == ["ok.py"]
    assert second["count"] == 0


def test_non_utf8_contents_and_names(tmp_path):
    make_tree(
        tmp_path,
        {
            "a.py": b"fine\n",
            "latin1.py": "caf\u00e9\n".encode("latin-1"),
            b"bad\xffname.py": b"x\n",  # reported under a lossy name that no file has
            b"a\xff/x.py": b"x\n",  # below a non-UTF-8 directory
            "z.py": b"\n",
        },
    )
    # "a\ufffd/x.py" sorts between "a.py" and "latin1.py" and holds a place in the limit.
    assert paths(scan({"root": str(tmp_path), "max_files": 2})) == ["a.py"]
    assert paths(scan({"root": str(tmp_path)})) == ["a.py", "z.py"]


def test_lossy_path_never_reports_the_file_that_really_has_that_name(tmp_path):
    # "a\ufffd/x.py" exists for real beside b"a\xff/x.py"; the walk finds both,
    # but only the real one may be reported, once, with its own digest.
    make_tree(tmp_path, {"a\ufffd/x.py": b"genuine\n", b"a\xff/x.py": b"impostor\n"})
    assert scan({"root": str(tmp_path)})["entries"] == expected_entries(tmp_path, ["a\ufffd/x.py"])


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every directory and file")
def test_unreadable_directories_and_files_only_shorten_the_result(tmp_path):
    make_tree(tmp_path, {"open/a.py": b"", "closed/b.py": b"", "nolist/c.py": b"", "secret.py": b"s\n", "z.py": b""})
    os.chmod(tmp_path / "closed", 0)
    os.chmod(tmp_path / "nolist", 0o300)
    os.chmod(tmp_path / "secret.py", 0)
    try:
        assert paths(scan({"root": str(tmp_path)})) == ["open/a.py", "z.py"]
    finally:
        os.chmod(tmp_path / "closed", 0o700)
        os.chmod(tmp_path / "nolist", 0o700)


# ---- deep trees and the open-handle budget -------------------------------------

DEPTH = 24


def deep_tree(root):
    """A chain DEPTH levels deep; every level also holds two side directories
    and a file, so listings left half-read above a deep descent still have
    directories to enter after the walk comes back up."""
    files = {}
    chain = ""
    for level in range(DEPTH):
        files[f"{chain}f{level}.py"] = b"level %d\n" % level
        files[f"{chain}side_a/a{level}.py"] = b"a"
        files[f"{chain}side_z/z{level}.py"] = b""
        chain += f"n{level}/"
    make_tree(root, files)
    return list(files)


def test_tree_deeper_than_the_open_handle_budget(tmp_path):
    files = deep_tree(tmp_path)
    before = len(os.listdir("/proc/self/fd"))
    result = scan({"root": str(tmp_path), "max_files": 10000})
    assert result["entries"] == expected_entries(tmp_path, files)
    assert len(os.listdir("/proc/self/fd")) == before  # every listing closed again


def test_deep_walk_fits_in_few_descriptors(tmp_path):
    # With descriptors capped a little above the walk's budget plus one file
    # per worker, a walk that kept every level open would lose directories.
    files = deep_tree(tmp_path)
    code = f"""
        import json, os, resource, marblewick_index_native as m
        m.run("scan", json.dumps({{"root": "/nonexistent"}}))  # start the pool first
        highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
        limit = highest + 1 + 10 + (os.cpu_count() or 1) + 2
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        print(m.run("scan", json.dumps({{"root": {str(tmp_path)!r}, "max_files": 10000}})))
    """
    stdout = child_stdout(code)
    assert json.loads(stdout)["entries"] == expected_entries(tmp_path, files)


# A first call made with half a MiB of address space to spare: the worker
# threads cannot start, and the buffer a file is read into (about 1 MiB) is
# refused. That is no fact about the file: the call fails, never leaving the
# file out of an answer that looks complete. With the limit lifted the same
# call answers in full.
@limits_address_space
@pytest.mark.parametrize("command, field, expected", [("scan", "root", {"count": 1}), ("hash", "path", {"ok": True})])
def test_memory_refused_for_a_file_fails_the_call(tmp_path, command, field, expected):
    make_tree(tmp_path, {"a.py": b"x = 1\n"})
    target = str(tmp_path) if command == "scan" else str(tmp_path / "a.py")
    code = f"""
        import json, resource, marblewick_index_native as m
        payload = json.dumps({{{field!r}: {target!r}}})
        def answer():
            try:
                return json.loads(m.run({command!r}, payload))
            except RuntimeError as failure:
                return str(failure)
        size = next(int(line.split()[1]) for line in open("/proc/self/status")
                    if line.startswith("VmSize:")) * 1024
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (size + 512 * 1024, hard))
        refused = answer()
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        print(json.dumps([refused, answer()]))
    """
    stdout = child_stdout(code)
    refused, granted = json.loads(stdout)
    assert refused == "out of memory"
    assert {key: granted[key] for key in expected} == expected


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_scan_in_a_forked_child_after_the_pool_exists(tmp_path):
    # The child inherits no worker threads; a scan there must not wait on them.
    make_tree(tmp_path, {"a.py": b"x\n"})
    scan({"root": str(tmp_path)})
    code = f"""
        import json, os, sys, marblewick_index_native as m
        root = {str(tmp_path)!r}
        m.run("scan", json.dumps({{"root": root}}))
        pid = os.fork()
        if pid == 0:
            ok = json.loads(m.run("scan", json.dumps({{"root": root}})))["count"] == 1
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    """
    child_stdout(code, timeout=30)


# ---- file status and known files -------------------------------------------


def os_status(path):
    """The status a scan reports of a file: its own entry, links not followed."""
    s = os.lstat(path)
    return [s.st_size, s.st_mtime_ns, s.st_ctime_ns, s.st_ino, s.st_dev]


STATUS_TREE = {"a.py": b"x = 1\n", "pkg/b.rs": b"fn b() {}\n", "c.md": b""}


@pytest.mark.parametrize(
    "flag, reported",
    [("true", True), ("false", False), ("1", False), ('"true"', False), ("null", False), ("[true]", False)],
)
def test_status_members_only_when_asked(tmp_path, flag, reported):
    make_tree(tmp_path, STATUS_TREE)
    # An old and a pre-1970 modification time: both come back exactly.
    os.utime(tmp_path / "a.py", ns=(0, 1_000_000_123))
    os.utime(tmp_path / "c.md", ns=(0, -86_400_000_000_007))
    plain = native.run("scan", json.dumps({"root": str(tmp_path)}))
    asked = scan(f'{{"root":{json.dumps(str(tmp_path))},"status":{flag}}}')
    if not reported:
        assert json.dumps(asked, separators=(",", ":")) == plain
        return
    assert [{k: v for k, v in e.items() if k != "status"} for e in asked["entries"]] == json.loads(plain)["entries"]
    assert [e["status"] for e in asked["entries"]] == [os_status(tmp_path / p) for p in paths(asked)]


def scan_knowing(root, known, **extra):
    return scan({"root": str(root), "known": known, **extra})


def test_files_whose_status_is_known_are_not_read(tmp_path):
    make_tree(tmp_path, STATUS_TREE)
    first = scan({"root": str(tmp_path), "status": True})
    known = {e["path"]: e["status"] for e in first["entries"]}
    # Such an entry holds its path alone, its status being the one known.
    for status in (True, False):
        assert scan_knowing(tmp_path, known, status=status) == {
            "count": 3,
            "ok": True,
            "entries": [{"path": p} for p in paths(first)],
        }


# Each member of the status, changed alone: the file is read as if unknown.
@pytest.mark.parametrize("member", range(5), ids=["size", "mtime_ns", "ctime_ns", "inode", "device"])
def test_a_status_that_differs_in_any_member_reads_the_file(tmp_path, member):
    make_tree(tmp_path, {"a.py": b"x = 1\n"})
    status = os_status(tmp_path / "a.py")
    status[member] += 1
    assert scan_knowing(tmp_path, {"a.py": status}) == scan({"root": str(tmp_path)})


@pytest.mark.parametrize(
    "known_text",
    [
        "[]",
        '"a.py"',
        '{"a.py": null}',
        '{"a.py": "STATUS"}',
        '{"a.py": {"size": 6}}',
        '{"A.PY": STATUS}',
        '{"./a.py": STATUS}',
        '{"a.py": STATUS_SHORT}',
        '{"a.py": STATUS_LONG}',
        '{"a.py": STATUS_FLOAT}',
        '{"a.py": STATUS_STRING}',
        '{"a.py": STATUS_NEGATIVE_SIZE}',
    ],
)
def test_known_values_of_another_form_tell_nothing(tmp_path, known_text):
    make_tree(tmp_path, {"a.py": b"x = 1\n"})
    status = os_status(tmp_path / "a.py")
    forms = {
        "STATUS_SHORT": status[:4],
        "STATUS_LONG": status + [0],
        "STATUS_FLOAT": [float(status[0])] + status[1:],
        "STATUS_STRING": [status[0], str(status[1])] + status[2:],
        "STATUS_NEGATIVE_SIZE": [-status[0]] + status[1:],
        "STATUS": status,
    }
    for name, value in forms.items():  # longest names first: STATUS is a prefix of the others
        known_text = known_text.replace(name, json.dumps(value))
    payload = f'{{"root":{json.dumps(str(tmp_path))},"known":{known_text}}}'
    assert native.run("scan", payload) == native.run("scan", json.dumps({"root": str(tmp_path)}))


def test_the_limit_counts_known_files_like_any_other(tmp_path):
    make_tree(tmp_path, {"a.py": b"a\n", "b.py": b"b\n", "c.py": b"c\n"})
    known = {e["path"]: e["status"] for e in scan({"root": str(tmp_path), "status": True})["entries"]}
    del known["a.py"]
    assert scan_knowing(tmp_path, known, max_files=2)["entries"] == [
        {"file_hash": expected_digest(b"a\n"), "path": "a.py", "total_lines": 2},
        {"path": "b.py"},
    ]
