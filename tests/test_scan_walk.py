"""The walk behind "scan", against a plain Python walk of the same trees: the
same files whatever the tree's shape, within a small number of descriptors,
and from several threads at once."""

import json
import os
import random
import subprocess
import threading

import pytest

from support import child_stdout, run_json

SKIPPED = {b".git", b"dist", b".venv", b"target", b"node_modules"}
EXTENSIONS = ["py", "md"]
# Descriptors a child may open beyond those it holds before its scan; the
# walk's budget is 10 shared plus one per worker.
SPARE_DESCRIPTORS = 10 + (os.cpu_count() or 1) + 4


def reference_paths(root):
    """The paths a scan must report below root: a depth-first os.scandir walk
    that follows no link, enters no skipped directory, passes over what it
    cannot list, and keeps only names that are UTF-8, in byte order."""
    found, pending = [], [(os.fsencode(root), b"")]
    while pending:
        directory, relative = pending.pop()
        try:
            with os.scandir(directory) as listing:
                entries = list(listing)
        except OSError:
            continue
        for entry in entries:
            name = entry.name
            if entry.is_dir(follow_symlinks=False):
                if name not in SKIPPED:
                    pending.append((entry.path, relative + name + b"/"))
                continue
            # An extension follows the last dot of a name that does not merely start with one.
            stem, _, extension = name.rpartition(b".")
            if entry.is_file(follow_symlinks=False) and stem and extension.decode("utf-8", "replace") in EXTENSIONS:
                found.append(relative + name)
    reported = []
    for path in found:
        try:
            reported.append(path.decode("utf-8"))
        except UnicodeDecodeError:
            pass
    return sorted(reported, key=str.encode)


def scan_paths(root, **extra):
    result = run_json("scan", {"root": str(root), "extensions": EXTENSIONS, "max_files": 10**9, **extra})
    return [entry["path"] for entry in result["entries"]]


def random_tree(root, seed):
    """A tree of a few hundred entries: nested directories, skipped names and
    their look-alikes, links to files and directories inside and outside it,
    a FIFO, names that are not UTF-8, and directories no one may list."""
    rng = random.Random(seed)
    os.makedirs(root)
    names = [b"a", b"b.py", b"c.md", b"d.txt", b".git", b"dist", b"target", b".github", b"Dist", b"x\xff.py"]
    names += [b"\xc3\xa9t\xc3\xa9.md", b"a\xef\xbf\xbd.py", b"node_modules", b".venv", b"deep"]
    directories = [os.fsencode(root)]
    outside = os.fsencode(root) + b"-outside"
    os.makedirs(os.path.join(outside, b"sub"), exist_ok=True)
    open(os.path.join(outside, b"far.py"), "wb").close()
    for i in range(300):
        parent = rng.choice(directories)
        name = rng.choice(names) + b"%d" % rng.randrange(3) + rng.choice([b"", b".py", b".md"])
        path = os.path.join(parent, name)
        if os.path.lexists(path):
            continue
        kind = rng.random()
        if kind < 0.4:
            os.mkdir(path)
            directories.append(path)
        elif kind < 0.85:
            with open(path, "wb") as f:
                f.write(b"%d\n" % i)
        elif kind < 0.95:
            os.symlink(rng.choice([outside, os.path.join(outside, b"far.py"), rng.choice(directories)]), path)
        else:
            os.mkfifo(path)
    for path in rng.sample(directories[1:], min(4, len(directories) - 1)):
        os.chmod(path, 0)
    return directories


def restore_permissions(directories):
    for path in directories:
        os.chmod(path, 0o700)


@pytest.mark.parametrize("seed", range(6))
def test_random_trees_give_the_reference_paths(tmp_path, seed):
    directories = random_tree(tmp_path / "root", seed)
    try:
        expected = reference_paths(tmp_path / "root")
        assert scan_paths(tmp_path / "root") == expected
        assert scan_paths(tmp_path / "root", release_gil=True) == expected
    finally:
        restore_permissions(directories)


def scan_in_child_with_few_descriptors(root):
    """The scan's paths, from a child whose descriptors are capped a little
    above what the walk may hold, so a walk that kept more open would lose
    directories or fail."""
    code = f"""
        import json, os, resource, marblewick_index_native as m
        m.run("scan", json.dumps({{"root": "/nonexistent"}}))  # start the pool first
        limit = max(int(fd) for fd in os.listdir("/proc/self/fd")) + 1 + {SPARE_DESCRIPTORS}
        resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        payload = {{"root": {str(root)!r}, "extensions": {EXTENSIONS!r}, "max_files": 10**9}}
        print(json.dumps([e["path"] for e in json.loads(m.run("scan", json.dumps(payload)))["entries"]]))
    """
    return json.loads(child_stdout(code, timeout=120))


@pytest.fixture(scope="module")
def wide_tree(tmp_path_factory):
    """10,000 sibling directories, every 997th holding a file and every
    1009th a directory with one."""
    root = tmp_path_factory.mktemp("wide")
    expected = []
    for i in range(10_000):
        directory = root / f"w{i:05d}"
        directory.mkdir()
        if i % 997 == 0:
            (directory / "f.py").write_bytes(b"")
            expected.append(f"w{i:05d}/f.py")
        if i % 1009 == 0:
            (directory / "inner").mkdir()
            (directory / "inner" / "g.md").write_bytes(b"")
            expected.append(f"w{i:05d}/inner/g.md")
    return root, sorted(expected)


CHAIN_DEPTH = 5000


def deep_chain(root):
    """A chain of directories CHAIN_DEPTH deep (far past the longest path the
    system takes), built relative to descriptors, with a file every 250
    levels, and at every level one more directory with a file, entered when
    the walk comes back up (or before it goes down). Gives
    the files a scan reports: those whose path the system can still open."""
    expected = []
    flags = os.O_RDONLY | os.O_DIRECTORY
    fd = os.open(root, flags)
    try:
        for level in range(CHAIN_DEPTH):
            prefix = "d/" * level
            if level % 250 == 0:
                os.close(os.open(f"f{level}.py", os.O_CREAT | os.O_WRONLY, dir_fd=fd))
                expected.append(f"{prefix}f{level}.py")
            os.mkdir("s", dir_fd=fd)
            side = os.open("s", flags, dir_fd=fd)
            os.close(os.open("s.md", os.O_CREAT | os.O_WRONLY, dir_fd=side))
            os.close(side)
            expected.append(f"{prefix}s/s.md")
            os.mkdir("d", dir_fd=fd)
            below = os.open("d", flags, dir_fd=fd)
            os.close(fd)
            fd = below
    finally:
        os.close(fd)
    longest = os.pathconf(root, "PC_PATH_MAX") - 1
    reachable = [path for path in expected if len(os.fsencode(root)) + 1 + len(path) <= longest]
    assert len(reachable) < len(expected)
    return sorted(reachable, key=str.encode)


def test_deep_chain_in_few_descriptors(tmp_path):
    root = tmp_path / "deep"
    root.mkdir()
    try:
        expected = deep_chain(root)
        assert scan_in_child_with_few_descriptors(root) == expected
    finally:
        # The interpreter's own tree removal recurses once per level.
        subprocess.run(["rm", "-rf", str(root)], check=True)


def test_wide_tree_in_few_descriptors(wide_tree):
    root, expected = wide_tree
    assert scan_in_child_with_few_descriptors(root) == expected


def test_walk_closes_every_descriptor(wide_tree):
    root, expected = wide_tree
    before = sorted(os.listdir("/proc/self/fd"))
    assert scan_paths(root) == expected
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_scans_side_by_side_from_several_threads(tmp_path, wide_tree):
    directories = random_tree(tmp_path / "root", 7)
    try:
        roots = [(tmp_path / "root", reference_paths(tmp_path / "root")), wide_tree]
        failures, done = [], []

        def worker(index):
            root, expected = roots[index % 2]
            try:
                for _ in range(3):
                    done.append(scan_paths(root, release_gil=True) == expected)
            except BaseException as error:  # noqa: BLE001 - reported below
                failures.append(error)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []
        assert done == [True] * 12
    finally:
        restore_permissions(directories)


def test_real_name_wins_over_lossy_look_alike_at_the_limit(tmp_path):
    # b"a\xff.py" reads as "a\ufffd.py", the name of a real file beside it:
    # whichever the walk meets first, a limit of one keeps the real file.
    (tmp_path / "a\ufffd.py").write_bytes(b"genuine\n")
    with open(os.path.join(os.fsencode(tmp_path), b"a\xff.py"), "wb") as f:
        f.write(b"impostor\n")
    assert [e["path"] for e in run_json("scan", {"root": str(tmp_path), "max_files": 1})["entries"]] == ["a\ufffd.py"]
