"""Cost of "syntax-check" and "outline" relative to the parse itself.

  python -m benchmarks.bench_analysis [--repeat N] [--languages python,rust,...]

For every file of the corpus (the standard library's .py files; real
JavaScript and Rust found on this machine; generated TypeScript, see
harness/corpus.py), each command is timed through `run` with the file's "path", and
set against reading the same file and parsing it with the official Python
bindings and the same grammar releases (the `bench` extra). Each timing is the
best of N rounds, taken in turns to spread noise from other processes.
Printed per language: the ratio of summed times, and the median of the
per-file ratios.
"""

import argparse
import gc
import json
import os
import statistics

import marblewick_index_native

from harness import corpus
from harness.bindings import read_and_parse, reference_parsers
from harness.timing import timed


def measure(path, language, parser, repeat):
    payload = json.dumps({"path": path, "language": language})
    reference = read_and_parse(path, parser)

    def syntax_check():
        marblewick_index_native.run("syntax-check", payload)

    def outline():
        marblewick_index_native.run("outline", payload)

    best = {"reference": float("inf"), "syntax-check": float("inf"), "outline": float("inf")}
    for _ in range(repeat):
        for name, call in (("reference", reference), ("syntax-check", syntax_check), ("outline", outline)):
            best[name] = min(best[name], timed(call)[0])
    return best


def main():
    options = argparse.ArgumentParser()
    options.add_argument("--repeat", type=int, default=5)
    options.add_argument("--languages", default="python,javascript,typescript,rust")
    args = options.parse_args()

    parsers = reference_parsers()
    sources = {
        "python": corpus.stdlib_python_files,
        "javascript": corpus.javascript_files,
        "typescript": corpus.typescript_files,
        "rust": corpus.rust_files,
    }
    gc.disable()
    print(
        f"{'language':<11} {'files':>5} {'MB':>7} {'parse s':>8} "
        f"{'syntax-check':>13} {'median':>7} {'outline':>8} {'median':>7}"
    )
    for language in args.languages.split(","):
        files = [p for p in sources[language]() if corpus.read_utf8(p) is not None]
        totals = {"reference": 0.0, "syntax-check": 0.0, "outline": 0.0}
        per_file = {"syntax-check": [], "outline": []}
        size = 0
        for path in files:
            size += os.path.getsize(path)
            best = measure(path, language, parsers[language], args.repeat)
            for name in totals:
                totals[name] += best[name]
            for name in per_file:
                per_file[name].append(best[name] / best["reference"])
        print(
            f"{language:<11} {len(files):>5} {size / 1e6:>7.2f} {totals['reference']:>8.3f} "
            f"{totals['syntax-check'] / totals['reference']:>13.3f} "
            f"{statistics.median(per_file['syntax-check']):>7.3f} "
            f"{totals['outline'] / totals['reference']:>8.3f} "
            f"{statistics.median(per_file['outline']):>7.3f}"
        )
    gc.enable()


if __name__ == "__main__":
    main()
