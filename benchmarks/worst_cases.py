"""How long "syntax-check" can take on hostile and broken input, and how much
memory it holds: random token soups of each language and short units repeated
(texts whose parse once took time as the square of their length), every one at
the same size, and real files cut at random points.

  python -m benchmarks.worst_cases [--size 1000000] [--cap-ms 60000]

Each hostile text is checked with no budget in a child process of its own,
killed after --cap-ms, so that its peak RSS is its own; the answer is a result
or an error text (the work and memory ceilings). Its CPU time is shown beside
the wall-clock time: on a busy machine it is the figure an idle one would show. Real files are the corpus of
bench_analysis.py (JSON: the interpreter's own .json files); each of the
largest is cut at a few random points, and the slowest cut is shown with its
size.
"""

import argparse
import glob
import json
import os
import random
import subprocess
import sys
import sysconfig
import time

import marblewick_index_native

from harness import corpus
from harness.hostile_units import REPEATED_UNITS, repeated_unit
from tests.outline_samples import SOUP_TOKENS, token_soup

CHILD = """
import json, resource, sys, time
import marblewick_index_native
payload = sys.stdin.read()
started, cpu_started = time.perf_counter(), time.process_time()
try:
    marblewick_index_native.run("syntax-check", payload)
    answer = "a result"
except RuntimeError as failure:
    answer = str(failure)
seconds, cpu_seconds = time.perf_counter() - started, time.process_time() - cpu_started
print(json.dumps([seconds, cpu_seconds, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, answer]))
"""


def checked_in_child(text, language, cap_ms):
    """(seconds or None past the cap, CPU seconds, peak RSS in KiB, answer) of one check.
    The CPU seconds are the figure to compare on a busy machine."""
    payload = json.dumps({"content": text, "language": language})
    try:
        done = subprocess.run(
            [sys.executable, "-c", CHILD], input=payload, capture_output=True, text=True, timeout=cap_ms / 1000
        )
    except subprocess.TimeoutExpired:
        return None, None, 0, "killed"
    if done.returncode != 0:
        return None, None, 0, f"exit {done.returncode}: {done.stderr.strip()[-200:]}"
    return tuple(json.loads(done.stdout))


def timed_check(text, language, cap_ms):
    payload = json.dumps({"content": text, "language": language, "timeout_ms": cap_ms})
    started = time.perf_counter()
    try:
        marblewick_index_native.run("syntax-check", payload)
    except RuntimeError as failure:
        if str(failure).startswith("parse did not finish"):
            return None
        if not str(failure).startswith("parse needed more than"):
            raise
    return time.perf_counter() - started


def real_files(language):
    if language == "json":
        root = sysconfig.get_paths()["stdlib"]
        return sorted(glob.glob(os.path.join(root, "**", "*.json"), recursive=True))
    if language == "tsx":
        language = "typescript"
    return {
        "python": corpus.stdlib_python_files,
        "javascript": corpus.javascript_files,
        "typescript": corpus.typescript_files,
        "rust": corpus.rust_files,
    }[language]()


def slowest_cut(language, cap_ms, files=10, cuts=5, seed=3):
    rng = random.Random(seed)
    texts = [corpus.read_utf8(p) for p in real_files(language)]
    texts = sorted((t.decode() for t in texts if t), key=len, reverse=True)[:files]
    worst = (0.0, 0)
    for text in texts:
        for _ in range(cuts):
            cut = text[: rng.randrange(1, len(text) + 1)]
            seconds = timed_check(cut, language, cap_ms)
            seconds = float("inf") if seconds is None else seconds
            worst = max(worst, (seconds, len(cut.encode())))
    return worst


def shown(seconds, cap_ms):
    return f"> {cap_ms / 1000:g} s" if seconds is None or seconds == float("inf") else f"{seconds:.2f} s"


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--size", type=int, default=1_000_000)
    options.add_argument("--cap-ms", type=int, default=60000)
    options.add_argument("--languages", default=",".join(SOUP_TOKENS))
    options.add_argument("--no-cuts", action="store_true", help="leave out the real file cuts")
    args = options.parse_args()
    languages = args.languages.split(",")

    cases = [
        (f"{language} token soup", language, token_soup(SOUP_TOKENS[language], args.size)) for language in languages
    ]
    cases += [
        (f"{name} repeated", language, repeated_unit(prefix, unit, args.size))
        for name, (language, prefix, unit) in REPEATED_UNITS.items()
        if language in languages
    ]
    print(f"| text ({args.size // 1000} KB) | time | CPU time | peak RSS | answer |")
    print("|---|---|---|---|---|")
    for name, language, text in cases:
        seconds, cpu_seconds, peak_kib, answer = checked_in_child(text, language, args.cap_ms)
        print(
            f"| {name.replace('|', '&#124;')} | {shown(seconds, args.cap_ms)} | {shown(cpu_seconds, args.cap_ms)} "
            f"| {peak_kib / 1024:.0f} MiB "
            f"| {answer} |",
            flush=True,
        )
    if args.no_cuts:
        return
    print()
    print("| language | slowest real file cut (its size) |")
    print("|---|---|")
    for language in languages:
        seconds, size = slowest_cut(language, args.cap_ms)
        print(f"| {language} | {shown(seconds, args.cap_ms)} ({size // 1000} KB) |", flush=True)


if __name__ == "__main__":
    main()
