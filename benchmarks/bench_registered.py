"""Cost of "analyse" for registered grammar packages, relative to the parse
itself.

  python benchmarks/bench_registered.py [--repeat N] [--languages go,java,c,cpp] [--limit FILES]

Over the real Go, Java, C and C++ of debian_corpus.py (fetched on first use),
each grammar package is registered with the module, and every file is timed
in N interleaved rounds: reading it and parsing it with the official bindings
and the same package (the `bench` extra), "syntax-check" through `run`, and
"analyse" through `run` (the check and the tags-query outline from one
parse), each with the file's "path". The order of the three turns each round,
to spread noise from other processes across them. Per file the median of the
rounds counts. Printed per language: the files and megabytes, the summed
median parse time, and for each command the ratio of summed medians and the
median of the per-file ratios; "analyse" minus "syntax-check" is what the
outline costs.
"""

import argparse
import gc
import json
import os
import statistics
import sys

import marblewick_index_native

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import debian_corpus  # noqa: E402
import registered_grammars  # noqa: E402
from timing import timed  # noqa: E402

COMMANDS = ("reference", "syntax-check", "analyse")


def measure(path, language, parser, repeat):
    payload = json.dumps({"path": path, "language": language})

    def reference():
        with open(path, "rb") as f:
            data = f.read()
        tree = parser.parse(data)
        del tree

    calls = {
        "reference": reference,
        "syntax-check": lambda: marblewick_index_native.run("syntax-check", payload),
        "analyse": lambda: marblewick_index_native.run("analyse", payload),
    }
    rounds = {name: [] for name in COMMANDS}
    for turn in range(repeat):
        order = COMMANDS[turn % len(COMMANDS):] + COMMANDS[:turn % len(COMMANDS)]
        for name in order:
            rounds[name].append(timed(calls[name])[0])
    return {name: statistics.median(times) for name, times in rounds.items()}


def main():
    options = argparse.ArgumentParser()
    options.add_argument("--repeat", type=int, default=5)
    options.add_argument("--languages", default="go,java,c,cpp")
    options.add_argument("--limit", type=int, default=0, help="files per language (0: all)")
    options.add_argument("--root", default=debian_corpus.DEFAULT_ROOT)
    args = options.parse_args()
    languages = args.languages.split(",")

    import tree_sitter

    debian_corpus.fetch(args.root)
    for language, answer in registered_grammars.register(marblewick_index_native, languages).items():
        print(f"registered {language}: {json.dumps(answer, sort_keys=True)}")

    gc.disable()
    print(f"\n{'language':<9} {'files':>5} {'MB':>7} {'parse s':>8} "
          f"{'syntax-check':>13} {'median':>7} {'analyse':>8} {'median':>7}")
    for language in languages:
        # The module refuses text that is not UTF-8, so such files are left out of both sides.
        files = [p for p in debian_corpus.FILES[language](args.root) if corpus.read_utf8(p) is not None]
        if args.limit:
            files = files[:args.limit]
        parser = tree_sitter.Parser(registered_grammars.reference_language(language))
        totals = dict.fromkeys(COMMANDS, 0.0)
        per_file = {"syntax-check": [], "analyse": []}
        size = 0
        for path in files:
            size += os.path.getsize(path)
            medians = measure(path, language, parser, args.repeat)
            for name in COMMANDS:
                totals[name] += medians[name]
            for name in per_file:
                per_file[name].append(medians[name] / medians["reference"])
        print(f"{language:<9} {len(files):>5} {size / 1e6:>7.2f} {totals['reference']:>8.3f} "
              f"{totals['syntax-check'] / totals['reference']:>13.3f} "
              f"{statistics.median(per_file['syntax-check']):>7.3f} "
              f"{totals['analyse'] / totals['reference']:>8.3f} "
              f"{statistics.median(per_file['analyse']):>7.3f}")
    gc.enable()


if __name__ == "__main__":
    main()
