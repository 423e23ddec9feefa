"""How long "syntax-check" can take on hostile and broken input, per language:
random token soups of growing size, and real files cut at random points.

  python benchmarks/worst_cases.py [--sizes 100000,300000,1000000] [--cap-ms 60000]

Each soup is parsed once with a "timeout_ms" of --cap-ms, so a soup that runs
past it shows as "> cap". Real files are the corpus of bench_analysis.py (JSON:
the interpreter's own .json files); each of the largest is cut at a few random
points, and the slowest cut is shown with its size. The figures say how large
a "timeout_ms" budget must be for a given input size, not how fast ordinary
files parse (see bench_analysis.py for that).
"""

import argparse
import glob
import json
import os
import random
import sys
import sysconfig
import time

import marblewick_index_native

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.append(os.path.join(os.path.dirname(HERE), "tests"))
import corpus  # noqa: E402
from outline_samples import SOUP_TOKENS, token_soup  # noqa: E402


def timed_check(text, language, cap_ms):
    payload = json.dumps({"content": text, "language": language, "timeout_ms": cap_ms})
    started = time.perf_counter()
    try:
        marblewick_index_native.run("syntax-check", payload)
    except RuntimeError as failure:
        if str(failure).startswith("parse did not finish"):
            return None
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
    options.add_argument("--sizes", default="100000,300000,1000000")
    options.add_argument("--cap-ms", type=int, default=60000)
    options.add_argument("--languages", default=",".join(SOUP_TOKENS))
    args = options.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    header = " | ".join(f"soup {s // 1000} KB" for s in sizes)
    print(f"| language | {header} | slowest real file cut (its size) |")
    print("|---" * (len(sizes) + 2) + "|")
    for language in args.languages.split(","):
        row = [shown(timed_check(token_soup(SOUP_TOKENS[language], size), language, args.cap_ms),
                     args.cap_ms) for size in sizes]
        seconds, size = slowest_cut(language, args.cap_ms)
        print(f"| {language} | " + " | ".join(row) + f" | {shown(seconds, args.cap_ms)} ({size // 1000} KB) |",
              flush=True)


if __name__ == "__main__":
    main()
