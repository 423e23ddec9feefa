"""Calls side by side with "release_gil": figures, never asserted.

  python -m benchmarks.bench_threads [--quick]

1. Same answers: 8 threads with the flag over the standard library ("analyse"
   and "hash" of every file) while 4 threads scan it, every answer compared
   with the one a single thread gets.
2. Throughput: "analyse" over the standard library from 1 thread and from 2
   threads with the flag (best of 3 each, interleaved).
3. A host stays responsive: the rate of a pure-Python counter thread alone,
   and while another thread parses a 1 MB Python soup with and without the flag.
4. Cost of the flag: one thread's time per "analyse" call over the same files,
   with and without the flag, interleaved runs.
"""

import argparse
import json
import os
import sys
import sysconfig
import time
from concurrent.futures import ThreadPoolExecutor

import marblewick_index_native

from tests.outline_samples import SOUP_TOKENS, token_soup
from tests.support import answer, count_steps


def stdlib_files(limit=None):
    root = sysconfig.get_paths()["stdlib"]
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "site-packages")
        found.extend(os.path.join(dirpath, n) for n in sorted(filenames) if n.endswith(".py"))
    return found[:limit]


def same_answers(files):
    root = sysconfig.get_paths()["stdlib"]
    jobs = [(c, {"path": f}) for f in files for c in ("analyse", "hash")]
    scans = [("scan", {"root": root, "max_files": 4000, "extensions": ["py"]})] * 4
    # The scans come first, so they run while the analysis does.
    calls = scans + jobs
    alone = [answer(c, json.dumps(p)) for c, p in calls]
    started = time.perf_counter()
    with ThreadPoolExecutor(len(scans) + 8) as pool:
        together = list(pool.map(lambda call: answer(call[0], json.dumps(dict(call[1], release_gil=True))), calls))
    seconds = time.perf_counter() - started
    differing = sum(a != b for a, b in zip(alone, together))
    print(
        f"same answers: {len(jobs)} analyse/hash calls on 8 threads and {len(scans)} scans at once "
        f"in {seconds:.1f} s: {differing} differ from one thread's"
    )


def analyse_all(files, threads, flag):
    payloads = [{"path": f, "release_gil": flag} for f in files]
    started = time.perf_counter()
    if threads == 1:
        for p in payloads:
            answer("analyse", json.dumps(p))
    else:
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(lambda p: answer("analyse", json.dumps(p)), payloads))
    return time.perf_counter() - started


CHILD = """
import json, sys, time
import marblewick_index_native
files = json.load(sys.stdin)
started = time.perf_counter()
for f in files:
    try:
        marblewick_index_native.run("analyse", json.dumps({"path": f}))
    except RuntimeError:
        pass
print(time.perf_counter() - started)
"""


def two_processes(files):
    """Seconds for two processes, each analysing every other file: what two
    cores of this machine give right now, with no lock shared at all."""
    import subprocess

    children = [
        subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for _ in range(2)
    ]
    for i, child in enumerate(children):
        child.stdin.write(json.dumps(files[i::2]))
        child.stdin.close()
    seconds = [float(child.stdout.read()) for child in children]
    for child in children:
        child.wait()
    return max(seconds)


def throughput(files, rounds):
    one, two, processes = [], [], []
    for _ in range(rounds):
        one.append(analyse_all(files, 1, True))
        two.append(analyse_all(files, 2, True))
        processes.append(two_processes(files))
    print(
        f"throughput: analyse of {len(files)} files, 1 thread {min(one):.2f} s, 2 threads "
        f"{min(two):.2f} s with the flag: {min(one) / min(two):.2f}x; two processes "
        f"{min(processes):.2f} s: {min(one) / min(processes):.2f}x (what the machine's two "
        f"cores give at the moment)"
    )


def counter_rate(call):
    steps, seconds = count_steps(call)
    return steps / seconds


def responsiveness():
    soup = token_soup(SOUP_TOKENS["python"], 1_000_000)

    def parse(flag):
        text = json.dumps({"content": soup, "language": "python", "release_gil": flag})
        return lambda: marblewick_index_native.run("syntax-check", text)

    started = time.perf_counter()
    parse(False)()
    parse_seconds = time.perf_counter() - started
    solo = counter_rate(lambda: time.sleep(parse_seconds))
    with_flag = counter_rate(parse(True))
    without = counter_rate(parse(False))
    print(
        f"responsiveness: a counter thread alone {solo:,.0f}/s; while a 1 MB Python soup parses "
        f"({parse_seconds:.2f} s) with the flag {with_flag:,.0f}/s ({with_flag / solo:.0%}), "
        f"without it {without:,.0f}/s ({without / solo:.0%})"
    )


def flag_cost(files, rounds):
    on, off = [], []
    for _ in range(rounds):
        off.append(analyse_all(files, 1, False))
        on.append(analyse_all(files, 1, True))
    per_off = min(off) / len(files) * 1e6
    per_on = min(on) / len(files) * 1e6
    print(
        f"cost of the flag: one thread, {per_off:.1f} us per analyse call without it, "
        f"{per_on:.1f} us with it ({per_on / per_off - 1:+.1%})"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="300 files, 1 round")
    args = parser.parse_args()
    files = stdlib_files(300 if args.quick else None)
    rounds = 1 if args.quick else 3
    same_answers(files)
    throughput(files, rounds)
    responsiveness()
    flag_cost(files, rounds)


if __name__ == "__main__":
    main()
