#!/usr/bin/env python3
"""Soak and concurrency: can a long-lived host call the module for ever?

    python -m checks.soak [--calls N] [--threads N] [--thread-rounds N] [--forks N]

1. Soak: N mixed calls (default one million) cycling through one table: payload
   errors, unknown commands, argument errors, every command on valid and
   invalid input in each language, and every kind of file error. Every answer
   is compared with the first answer to the same call. Prints calls per second
   and the resident memory before the first call, after ten rounds of the
   table, at every tenth of the run and at the end (it must stay flat).
2. Threads: the table run by one thread, then by 8 threads at once (each in
   its own order); every answer must equal the single-threaded one.
3. Fork: a child interpreter keeps one thread scanning while its main thread
   forks; each forked process must scan, get the same entries and exit through
   the interpreter's normal shutdown. A call holds the interpreter lock, so the
   fork lands between two of the other thread's scans, while the worker
   threads of the scan that just ended may still be on their way back to wait.
Prints figures only; nothing here asserts on time. Exits with 1 when an answer
differs or a forked process fails, hangs or crashes.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import marblewick_index_native as native

from tests.support import answer

SAMPLES = {
    # extension: (language, valid text, text with a syntax error)
    "py": ("python", "class A:\n    def f(self, x):\n        return x\r\n", "def f(:\n    pass\n"),
    "js": ("javascript", "export function f(a) { return a; }\nclass B { m() {} }\n", "function (\n"),
    "ts": ("typescript", "interface A { x: number }\ntype T = A;\nenum E { X }\n", "let x: = ;\n"),
    "tsx": ("tsx", "const a = <div>{x}</div>;\nfunction C() { return a; }\n", "const a = <div;\n"),
    "rs": ("rust", "struct P { x: i32 }\nimpl P { fn f(&self) {} }\ntrait T {}\n", "fn main( {\n"),
    "json": ("json", '{"a": [1, 2.5, "\\u00e9"], "b": null}\n', '{"a": }\n'),
    "toml": ("toml", "[package]\nname = 'x'\n", "[[[\n"),
}

PAYLOAD_ERRORS = [
    "",
    "{",
    "[1, 2",
    '{"path": "a",}',
    "nul",
    '{"a": "\\u12"}',
    '"\\ud800"',
    "[" * 200,
    "1e999",
    '{"a" 1}',
    "\t\r\n {} x",
    "\u00e9",
]


def make_fixture(folder: str) -> dict:
    """Files every kind of call needs; gives their paths by role."""
    tree = os.path.join(folder, "tree")
    os.makedirs(os.path.join(tree, "pkg", "node_modules"))
    files = {}
    for extension, (_, valid, broken) in SAMPLES.items():
        files[extension] = os.path.join(tree, f"sample.{extension}")
        files[f"broken_{extension}"] = os.path.join(tree, "pkg", f"broken.{extension}")
        with open(files[extension], "w", newline="") as f:
            f.write(valid)
        with open(files[f"broken_{extension}"], "w", newline="") as f:
            f.write(broken)
    with open(os.path.join(tree, "pkg", "node_modules", "skipped.py"), "w") as f:
        f.write("x = 1\n")
    files["latin1"] = os.path.join(tree, "latin1.py")
    with open(files["latin1"], "wb") as f:
        f.write("caf\u00e9 = 1\n".encode("latin-1"))
    files["fifo"] = os.path.join(tree, "pipe.py")
    os.mkfifo(files["fifo"])
    # Above the size from which files are read in pieces, outside the tree so
    # that only the calls naming it pay for it.
    files["large"] = os.path.join(folder, "large.rs")
    with open(files["large"], "wb") as f:
        f.write(b"fn f() {}\r\n" * (4 * 1024 * 1024 // 11 + 1))
    files["tree"] = tree
    files["folder"] = folder
    files["missing"] = os.path.join(folder, "missing.py")
    return files


def call_table(files: dict) -> list:
    """(command, payload text) pairs; a command or payload that is not a str
    makes the boundary raise before anything runs."""
    dumps = json.dumps
    calls = [("syntax-check", text) for text in PAYLOAD_ERRORS]
    calls += [("no-such-command", "{}"), ("", "{}"), ("hash", None), (None, "{}")]
    for extension, (language, valid, broken) in SAMPLES.items():
        for command in ("syntax-check", "outline"):
            calls += [
                (command, dumps({"content": valid, "language": language})),
                (command, dumps({"content": broken, "language": language})),
                (command, dumps({"path": files[extension]})),
                (command, dumps({"path": files[f"broken_{extension}"], "language": language})),
            ]
        calls.append(("hash", dumps({"path": files[extension]})))
    for command in ("syntax-check", "outline", "hash"):
        calls += [
            (command, "{}"),
            (command, dumps({"path": files["missing"]})),
            (command, dumps({"path": files["tree"]})),
            (command, dumps({"path": files["latin1"]})),
            (command, dumps({"path": files["fifo"]})),
            (command, dumps({"path": "/dev/null"})),
            (command, dumps({"path": files["py"] + "\u0000x"})),
        ]
    calls += [
        ("hash", dumps({"path": files["large"]})),
        ("scan", dumps({"root": files["tree"]})),
        ("scan", dumps({"root": files["tree"], "max_files": 3, "extensions": [".py", "rs"]})),
        ("scan", dumps({"root": files["folder"], "extensions": ["rs"]})),
        ("scan", dumps({"root": files["missing"]})),
        ("scan", dumps({"root": 7})),
        ("outline", dumps({"content": "def f(): pass\n" * 300, "language": "python"})),
    ]
    return calls


WARM_UP_ROUNDS = 10


def resident_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


# ---- 1. soak --------------------------------------------------------------------


def soak(calls: list, total: int) -> int:
    before = resident_kib()
    expected = [answer(command, payload) for command, payload in calls]
    # Warm-up: the worker threads, parsers and allocator arenas settle in the
    # first rounds; growth is counted from here.
    differences = sum(
        answer(command, payload) != wanted
        for _ in range(WARM_UP_ROUNDS - 1)
        for (command, payload), wanted in zip(calls, expected)
    )
    warm = resident_kib()
    done = WARM_UP_ROUNDS * len(calls)
    print(f"soak: {total} calls cycling through a table of {len(calls)}")
    print(f"  resident before the first call      : {before:>8} KiB")
    print(f"  resident after {WARM_UP_ROUNDS} rounds of warm-up : {warm:>8} KiB")
    samples = []
    tenth = max(1, total // 10)
    next_sample = tenth
    start = time.perf_counter()
    while done < total:
        for (command, payload), wanted in zip(calls, expected):
            if answer(command, payload) != wanted:
                differences += 1
            done += 1
            if done >= next_sample:
                samples.append(resident_kib())
                next_sample += tenth
            if done >= total:
                break
    elapsed = time.perf_counter() - start
    end = resident_kib()
    print(f"  resident at each tenth of the run    : {' '.join(str(s) for s in samples)} KiB")
    print(f"  resident at the end                  : {end:>8} KiB  ({end - warm:+d} KiB since the warm-up)")
    print(
        f"  calls per second                     : {(done - WARM_UP_ROUNDS * len(calls)) / elapsed:8.0f}"
        f"  ({elapsed:.1f} s)"
    )
    print(f"  answers that differ from the first   : {differences}")
    return differences


# ---- 2. threads -------------------------------------------------------------------


def threads_agree(calls: list, threads: int, rounds: int) -> int:
    expected = [answer(command, payload) for command, payload in calls]
    differences = []
    failures = []

    def worker(offset: int) -> None:
        try:
            order = list(range(len(calls)))
            order = order[offset:] + order[:offset]  # every thread in its own order
            for _ in range(rounds):
                for i in order:
                    got = answer(*calls[i])
                    if got != expected[i]:
                        differences.append((calls[i], got, expected[i]))
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(repr(error))

    step = max(1, len(calls) // threads)
    started = [threading.Thread(target=worker, args=(n * step,)) for n in range(threads)]
    start = time.perf_counter()
    for t in started:
        t.start()
    for t in started:
        t.join()
    elapsed = time.perf_counter() - start
    made = threads * rounds * len(calls)
    print(f"threads: {threads} threads x {rounds} rounds of the table = {made} calls in {elapsed:.1f} s")
    print(f"  answers that differ from the single-threaded run : {len(differences)}")
    print(f"  threads that raised anything else                : {len(failures)}")
    for call, got, wanted in differences[:5]:
        print(f"    {call!r}: {got!r} != {wanted!r}")
    for failure in failures[:5]:
        print(f"    {failure}")
    return len(differences) + len(failures)


# ---- 3. fork ------------------------------------------------------------------------

FORKING_CHILD = r"""
import json, os, signal, sys, threading, time
import marblewick_index_native as m

payload, forks = sys.argv[1], int(sys.argv[2])
expected = m.run("scan", payload)
stop = threading.Event()
scans = [0]

def keep_scanning():
    while not stop.is_set():
        m.run("scan", payload)
        scans[0] += 1

scanner = threading.Thread(target=keep_scanning)
scanner.start()
outcomes = {"ok": 0, "wrong": 0, "hung": 0, "crashed": 0}
for _ in range(forks):
    while scans[0] == 0:
        time.sleep(0.001)
    pid = os.fork()
    if pid == 0:
        if m.run("scan", payload) != expected:
            os._exit(3)
        sys.exit(0)  # the interpreter's whole shutdown, with the module loaded
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            code = os.waitstatus_to_exitcode(status)
            outcomes["ok" if code == 0 else "wrong" if code == 3 else "crashed"] += 1
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            outcomes["hung"] += 1
            break
        time.sleep(0.002)
stop.set()
scanner.join()
print(json.dumps({"outcomes": outcomes, "parent_scans": scans[0]}))
"""


def fork_during_scans(tree: str, forks: int) -> int:
    payload = json.dumps({"root": tree})
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", FORKING_CHILD, payload, str(forks)],
        capture_output=True,
        text=True,
        timeout=60 + 31 * forks,
    )
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        print(f"fork: the forking interpreter failed ({done.returncode}): {done.stderr.strip()}")
        return 1
    report = json.loads(done.stdout)
    outcomes = report["outcomes"]
    print(f"fork: {forks} forks while another thread scans ({report['parent_scans']} scans meanwhile, {elapsed:.1f} s)")
    print(f"  children that scanned and exited cleanly : {outcomes['ok']}")
    print(f"  children with another scan result        : {outcomes['wrong']}")
    print(f"  children that hung (killed after 30 s)   : {outcomes['hung']}")
    print(f"  children that crashed                    : {outcomes['crashed']}")
    return forks - outcomes["ok"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--thread-rounds", type=int, default=20)
    parser.add_argument("--forks", type=int, default=50)
    args = parser.parse_args()

    print(f"command: {' '.join([sys.executable] + sys.argv)}")
    print(f"module: {native.__file__}  cpus: {os.cpu_count()}")
    folder = tempfile.mkdtemp(prefix="soak_")
    try:
        files = make_fixture(folder)
        calls = call_table(files)
        failures = soak(calls, args.calls)
        failures += threads_agree(calls, args.threads, args.thread_rounds)
        failures += fork_during_scans(files["tree"], args.forks)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("all answers agree" if failures == 0 else f"FAILURES: {failures}")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
