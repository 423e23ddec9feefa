"""Cost of "analyse" for registered grammar packages, relative to the parse
itself.

  python -m benchmarks.bench_registered [--repeat N] [--languages go,java,c,cpp] [--limit FILES]

Over the real Go, Java, C and C++ of harness/debian_corpus.py (fetched on first use),
each grammar package is registered with the module, and three things are
timed: reading a file and parsing it with the official bindings and the same
package (the `bench` extra), "syntax-check" through `run`, and "analyse"
through `run` (the check and the tags-query outline from one parse), each by
the file's "path". They run in N interleaved rounds whose order turns each
round, to spread noise from other processes across them; medians count.
"analyse" minus "syntax-check" is what the outline costs.

Printed per language, twice: per file (the summed median wall times, with
the ratio of the sums and the median of the per-file ratios), then with the
whole corpus as one round (wall and CPU time, the CPU time being the steadier
where other work shares the cores).
"""

import argparse
import gc
import json
import os
import statistics

import marblewick_index_native

from harness import corpus, debian_corpus, registered_grammars
from harness.bindings import read_and_parse
from harness.timing import timed

COMMANDS = ("reference", "syntax-check", "analyse")


def calls_for(path, language, parser):
    payload = json.dumps({"path": path, "language": language})
    return {
        "reference": read_and_parse(path, parser),
        "syntax-check": lambda: marblewick_index_native.run("syntax-check", payload),
        "analyse": lambda: marblewick_index_native.run("analyse", payload),
    }


def in_turns(repeat, calls):
    """(wall, CPU) of each of `calls` in `repeat` rounds, the order turning each round."""
    rounds = {name: [] for name in COMMANDS}
    for turn in range(repeat):
        order = COMMANDS[turn % len(COMMANDS) :] + COMMANDS[: turn % len(COMMANDS)]
        for name in order:
            rounds[name].append(timed(calls[name]))
    return rounds


def per_file(files, language, parser, repeat):
    """Summed per-file medians (wall time), and the per-file ratios."""
    totals = dict.fromkeys(COMMANDS, 0.0)
    ratios = {"syntax-check": [], "analyse": []}
    for path in files:
        rounds = in_turns(repeat, calls_for(path, language, parser))
        medians = {name: statistics.median(wall for wall, _ in times) for name, times in rounds.items()}
        for name in COMMANDS:
            totals[name] += medians[name]
        for name in ratios:
            ratios[name].append(medians[name] / medians["reference"])
    return totals, {name: statistics.median(r) for name, r in ratios.items()}


def whole_corpus(files, language, parser, repeat):
    """Median wall and CPU time of each command over all the files at once."""
    calls = [calls_for(path, language, parser) for path in files]
    batch = {name: (lambda name=name: [c[name]() for c in calls]) for name in COMMANDS}
    rounds = in_turns(repeat, batch)
    return (
        {name: statistics.median(w for w, _ in times) for name, times in rounds.items()},
        {name: statistics.median(c for _, c in times) for name, times in rounds.items()},
    )


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
    print("\nPer file (wall time; ratios of summed medians, and the median of per-file ratios):")
    print(
        f"{'language':<9} {'files':>5} {'MB':>7} {'parse s':>8} "
        f"{'syntax-check':>13} {'median':>7} {'analyse':>8} {'median':>7}"
    )
    corpora = {}
    for language in languages:
        # The module refuses text that is not UTF-8, so such files are left out of both sides.
        files = [p for p in debian_corpus.FILES[language](args.root) if corpus.read_utf8(p) is not None]
        if args.limit:
            files = files[: args.limit]
        parser = tree_sitter.Parser(registered_grammars.reference_language(language))
        corpora[language] = (files, parser)
        totals, medians = per_file(files, language, parser, args.repeat)
        size = sum(os.path.getsize(p) for p in files)
        print(
            f"{language:<9} {len(files):>5} {size / 1e6:>7.2f} {totals['reference']:>8.3f} "
            f"{totals['syntax-check'] / totals['reference']:>13.3f} {medians['syntax-check']:>7.3f} "
            f"{totals['analyse'] / totals['reference']:>8.3f} {medians['analyse']:>7.3f}"
        )

    # CPU time is the steadier figure where other work shares the cores; a
    # whole corpus per round makes it long enough to read.
    print("\nWhole corpus per round (medians of the rounds; ratios to the parse):")
    print(f"{'language':<9} {'parse s':>8} {'cpu s':>7} {'syntax-check':>13} {'cpu':>6} {'analyse':>8} {'cpu':>6}")
    for language in languages:
        files, parser = corpora[language]
        wall, cpu = whole_corpus(files, language, parser, args.repeat)
        print(
            f"{language:<9} {wall['reference']:>8.3f} {cpu['reference']:>7.3f} "
            f"{wall['syntax-check'] / wall['reference']:>13.3f} {cpu['syntax-check'] / cpu['reference']:>6.3f} "
            f"{wall['analyse'] / wall['reference']:>8.3f} {cpu['analyse'] / cpu['reference']:>6.3f}"
        )
    gc.enable()


if __name__ == "__main__":
    main()
