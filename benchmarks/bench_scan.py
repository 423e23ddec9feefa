#!/usr/bin/env python3
"""How fast and how lean is "scan" on a real tree?

    python -m benchmarks.bench_scan [--root ROOT] [--repeat N] [--sizes SMALL LARGE]
    python -m benchmarks.bench_scan --large-files [--large-file-mib MIB]

Times one "scan" of ROOT (default: the interpreter's standard library, which
holds site-packages too) against
  (a) the same job in Python: os.walk with the same skipped names and
      extensions, byte-order sort, then read + normalise + sha256 + line count
      in a ThreadPoolExecutor with one worker per CPU;
  (b) the walk alone: find ROOT -type f;
  (c) find with the same filters piped to xargs -0 -P<cpus> sha256sum.
The page cache is warmed by one untimed run of each; the best of N runs counts.
Then it measures the peak resident memory of a child process running one scan
over two generated trees of different sizes, to show that memory grows with
the number of files (the path list and the result) and not with their bytes.
With --large-files it measures instead the peak resident memory of a child
scanning a tree that holds two files of 1 GiB each (written to a temporary
folder and deleted after), which stays at a few MiB above an empty scan
because files are digested piece by piece.
Prints figures and ratios only; nothing here asserts on time.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import hashlib
import os
import shlex
import shutil
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time


from harness.native_scan import CPUS, MAX_FILES, SKIPPED, native_scan
from harness.timing import best_of

EXTENSIONS = ["py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml"]


# ---- the contenders ------------------------------------------------------------


def python_entry(root: str, relative: str):
    try:
        with open(os.path.join(root, relative), "rb") as f:
            data = f.read()
        data.decode("utf-8")
    except (OSError, UnicodeDecodeError):
        return None
    normalised = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    lines = 0 if not data else 1 + data.count(b"\n")
    return {"file_hash": hashlib.sha256(normalised).hexdigest(), "path": relative, "total_lines": lines}


def python_scan(root: str) -> list:
    wanted = set(EXTENSIONS)
    candidates = []
    for directory, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in SKIPPED]
        for name in files:
            dot = name.rfind(".")
            if dot <= 0 or name[dot + 1 :] not in wanted:
                continue
            path = os.path.join(directory, name)
            try:
                if not stat.S_ISREG(os.lstat(path).st_mode):
                    continue
            except OSError:
                continue
            candidates.append(os.path.relpath(path, root))
    candidates.sort(key=lambda p: p.encode("utf-8", "surrogateescape"))
    candidates = candidates[:MAX_FILES]
    with concurrent.futures.ThreadPoolExecutor(max_workers=CPUS) as pool:
        return [e for e in pool.map(lambda p: python_entry(root, p), candidates) if e is not None]


def find_walk_command(root: str) -> str:
    return f"find {shlex.quote(root)} -type f > /dev/null"


def find_hash_command(root: str) -> str:
    prune = " -o ".join(f"-name {shlex.quote(n)}" for n in sorted(SKIPPED))
    names = " -o ".join(f"-name '*.{e}'" for e in EXTENSIONS)
    return (
        f"find {shlex.quote(root)} -type d \\( {prune} \\) -prune -o "
        f"-type f \\( {names} \\) -print0 | xargs -0 -P{CPUS} -n 500 sha256sum > /dev/null"
    )


def shell(command: str) -> None:
    subprocess.run(command, shell=True, check=True)


# ---- peak memory -------------------------------------------------------------

CHILD = (
    """
import json, sys, marblewick_index_native as m
text = m.run("scan", json.dumps({"root": sys.argv[1], "max_files": %d}))
print(text.count('"file_hash"'))  # counted, not parsed: Python objects would blur the figure
"""
    % MAX_FILES
)

PARENT = """
import resource, subprocess, sys
done = subprocess.run([sys.executable, "-c", sys.argv[1], sys.argv[2]], capture_output=True, text=True, check=True)
print(done.stdout.strip(), resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def child_peak_kib(root: str) -> tuple[int, int]:
    """(files reported, peak RSS in KiB) of a fresh process running one scan.
    A fresh parent per measurement: RUSAGE_CHILDREN keeps the largest child."""
    out = subprocess.run(
        [sys.executable, "-c", PARENT, CHILD, root], capture_output=True, text=True, check=True
    ).stdout.split()
    return int(out[0]), int(out[1])


def make_tree(root: str, files: int, file_bytes: int) -> None:
    line = b"value = 'some source text that is long enough to matter'\n"
    body = (line * (file_bytes // len(line) + 1))[:file_bytes]
    for i in range(files):
        directory = os.path.join(root, f"pkg{i % 50:02d}", f"sub{i % 7}")
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, f"module_{i:06d}.py"), "wb") as f:
            f.write(body)


def write_large_file(path: str, mib: int) -> None:
    """`mib` MiB of text, half of it with CR LF endings."""
    block = (b"x = 'a line of source text'\n" * 40000)[: 2**20]
    crlf_block = block.replace(b"\n", b"\r\n")[: 2**20]
    with open(path, "wb") as f:
        for i in range(mib):
            f.write(block if i % 2 else crlf_block)


def print_empty_tree_peak(scratch: str) -> int:
    empty = os.path.join(scratch, "empty")
    os.mkdir(empty)
    _, peak = child_peak_kib(empty)
    print(f"  {'empty tree':<34} {0:>7} files  {peak:>8} KiB")
    return peak


def bench_large_files(scratch: str, mib: int) -> None:
    """The caller removes `scratch`, and with it the files written here."""
    tree = os.path.join(scratch, "large")
    os.mkdir(tree)
    for i in range(2):
        write_large_file(os.path.join(tree, f"large_{i}.py"), mib)
    print(f"peak RSS of a child running one scan over two files of {mib} MiB each:")
    baseline = print_empty_tree_peak(scratch)
    child_peak_kib(tree)  # warms the page cache
    start = time.perf_counter()
    count, peak = child_peak_kib(tree)
    t_scan = time.perf_counter() - start
    print(
        f"  {f'two files of {mib} MiB':<34} {count:>7} files  {peak:>8} KiB"
        f"  ({(peak - baseline) / 1024:.1f} MiB above the empty scan)"
    )
    print(f"  wall time of that child, start to exit: {t_scan:.2f} s")


# ---- main -----------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=sysconfig.get_paths()["stdlib"])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sizes", type=int, nargs=2, default=[2000, 20000], metavar=("SMALL", "LARGE"))
    parser.add_argument("--file-bytes", type=int, default=16384)
    parser.add_argument(
        "--large-files", action="store_true", help="only the peak memory of a scan over two files of 1 GiB"
    )
    parser.add_argument("--large-file-mib", type=int, default=1024)
    args = parser.parse_args()
    root = os.path.abspath(args.root)

    print(f"command: {' '.join(shlex.quote(a) for a in [sys.executable] + sys.argv)}")
    if args.large_files:
        scratch = tempfile.mkdtemp(prefix="bench_scan_")
        try:
            bench_large_files(scratch, args.large_file_mib)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        return 0
    print(f"root: {root}  cpus: {CPUS}  repeat: best of {args.repeat}")

    entries = native_scan(root)
    reference = python_scan(root)
    print(f"selected files: {len(entries)}  (Python equivalent agrees: {entries == reference})")
    if len(entries) < 10_000:
        print("warning: fewer than 10,000 selected files; pass a larger --root")

    # The untimed run warms the page cache and, for scan, starts the worker pool.
    t_scan, c_scan = best_of(args.repeat, lambda: native_scan(root), warm_up=True)
    t_python, c_python = best_of(args.repeat, lambda: python_scan(root), warm_up=True)
    t_walk, c_walk = best_of(args.repeat, lambda: shell(find_walk_command(root)), warm_up=True)
    t_find, c_find = best_of(args.repeat, lambda: shell(find_hash_command(root)), warm_up=True)

    print()
    print(f"  {'':<36}{'wall ms':>9}{'cpu ms':>9}   scan's speed-up (wall / cpu)")
    rows = [
        ("scan", t_scan, c_scan),
        ("(a) os.walk + ThreadPoolExecutor", t_python, c_python),
        ("(b) " + find_walk_command("ROOT"), t_walk, c_walk),
        ("(c) find | xargs sha256sum", t_find, c_find),
    ]
    for name, wall, cpu in rows:
        ratio = "" if name == "scan" else f"   {wall / t_scan:5.2f}x / {cpu / c_scan:5.2f}x"
        print(f"  {name:<36}{wall * 1000:9.1f}{cpu * 1000:9.1f}{ratio}")
    print(f"  scan takes {t_scan / t_walk:.2f}x the wall time of the walk alone (b)")
    print(f"      (c) is: {find_hash_command('ROOT')}")

    print()
    print(f"peak RSS of a child running one scan ({args.file_bytes} bytes per file):")
    scratch = tempfile.mkdtemp(prefix="bench_scan_")
    try:
        print_empty_tree_peak(scratch)
        results = []
        for files in args.sizes:
            tree = os.path.join(scratch, f"tree{files}")
            make_tree(tree, files, args.file_bytes)
            child_peak_kib(tree)
            count, peak = child_peak_kib(tree)
            results.append((count, peak))
            total_mib = files * args.file_bytes / 2**20
            print(f"  {f'{files} files, {total_mib:.0f} MiB of text':<34} {count:>7} files  {peak:>8} KiB")
            shutil.rmtree(tree)
        (n1, p1), (n2, p2) = results
        per_file = (p2 - p1) * 1024 / max(1, n2 - n1)
        print(
            f"  growth: {per_file:.0f} bytes per extra file (each file holds {args.file_bytes} bytes):"
            f" memory follows the path list and result, not the file texts"
        )
        _, real_peak = child_peak_kib(root)
        print(f"  {'the real tree above':<34} {len(entries):>7} files  {real_peak:>8} KiB")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
