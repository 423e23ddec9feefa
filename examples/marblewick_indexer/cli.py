"""The command line: bring the index of ROOT up to date, then print a summary
or answer a query from it."""

from __future__ import annotations

import argparse
import os
import resource
import sqlite3
import sys
from collections import defaultdict
from contextlib import closing

from . import languages as grammar_packages
from .languages import Languages, UnusableModule
from .store import RefusedIndex, Store
from .update import DEFAULT_BATCH_SIZE, RunCounts, update_index
from .dask_pool import ClusterError, DaskPool
from .thread_pool import ThreadPool
from .workers import AnalysisPool, default_jobs

DEFAULT_DB = ".marblewick-index.sqlite"
# Paths listed per distinct analysis failure before the rest are counted.
FAILURE_EXAMPLES = 10
# The exit status of a run ended by Ctrl-C, as shells report one (128 + SIGINT).
INTERRUPTED = 130
# --languages given alone: list them.
LIST = "\0list"


class IndexFailure(Exception):
    """The index failed during the run; the message says how, and that the
    batches committed before stay."""


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def not_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="index_tree.py",
        description="Keep an SQLite index of a source tree's declarations and syntax problems "
        "up to date, and print a summary of it.",
    )
    parser.add_argument("root", nargs="?", default=".", help="directory to index (default: .)")
    parser.add_argument("--db", default=DEFAULT_DB, help=f"index database (default: ./{DEFAULT_DB})")
    parser.add_argument(
        "--jobs", type=positive, default=default_jobs(), help="analysis threads (default: the CPU count)"
    )
    parser.add_argument(
        "--timeout-ms",
        type=not_negative,
        default=10000,
        help="parse budget per file in milliseconds, 0 for none (default: 10000)",
    )
    parser.add_argument(
        "--scheduler", metavar="ADDRESS", help="analyse on this Dask distributed scheduler instead of local threads"
    )
    parser.add_argument("--max-files", type=not_negative, default=100000, help="most files to scan (default: 100000)")
    parser.add_argument(
        "--batch-size",
        type=positive,
        default=DEFAULT_BATCH_SIZE,
        help=f"files written per transaction (default: {DEFAULT_BATCH_SIZE})",
    )
    parser.add_argument("--find", metavar="NAME", help="print the symbols named NAME instead of the summary")
    parser.add_argument(
        "--problems", action="store_true", help="list the files that do not parse instead of the summary"
    )
    parser.add_argument(
        "--no-update", action="store_true", help="answer --find or --problems from the index as it is, without a scan"
    )
    parser.add_argument("--no-progress", action="store_true", help="no progress bars on stderr")
    parser.add_argument(
        "--stats", action="store_true", help="also print the peak resident memory and the seconds spent"
    )
    parser.add_argument(
        "--languages",
        nargs="?",
        const=LIST,
        metavar="NAME,...",
        help="analyse only these languages; alone: list the languages, with every "
        "grammar package installed registered, and index nothing",
    )
    return parser.parse_args(argv)


def restriction(args: argparse.Namespace) -> set[str] | None:
    if args.languages is None or args.languages == LIST:
        return None
    return {name.strip() for name in args.languages.split(",") if name.strip()}


def summary_lines(root: str, store: Store, counts: RunCounts, max_files: int) -> list[str]:
    # All read before any is printed: an index that fails while being read
    # leaves its one line of error, not half a summary.
    out: list[str] = []
    say = out.append
    say(f"Indexed {counts.scanned} files ({counts.lines} lines) under {root}")
    if counts.limit_reached:
        say(f"  (the limit of {max_files} files was reached; raise --max-files to see more)")
    say(f"New {counts.new}, changed {counts.changed}, unchanged {counts.unchanged}, removed {counts.removed}")
    say(f"Analysed {counts.analysed} files with a grammar")
    if counts.retried:
        say(f"  ({counts.retried} of them unchanged, again because their parse had run out of a smaller budget)")
    if counts.retried_memory:
        say(f"  ({counts.retried_memory} of them unchanged, again because memory had run out when they were analysed)")
    if counts.short_of_memory:
        say(
            f"  ({counts.short_of_memory} of them ran out of memory even analysed alone; the next run tries them again)"
        )
    if counts.newly_analysed:
        say(f"  ({counts.newly_analysed} of them unchanged, stored before without analysis in a language analysed now)")

    say("\nFiles, lines and symbols per language:")
    for language, files, lines, symbols in sorted(store.totals_per_language(), key=lambda r: (-r[1], r[0])):
        say(f"  {language:<12} {files:>7} files {lines:>9} lines {symbols:>8} symbols")

    say("\nSymbols per kind:")
    kinds = sorted(store.symbols_per_kind(), key=lambda r: (-r[1], r[0]))
    if not kinds:
        say("  (none)")
    for kind, n in kinds:
        say(f"  {kind:<12} {n:>7}")

    unparsed = list(store.unparsed())
    say(f"\nFiles that do not parse: {len(unparsed)}")
    for path, line, _column, message in unparsed:
        say(f"  {path}:{line}: {message}")

    failures: dict[str, list[str]] = defaultdict(list)
    for failure, path in store.failures():
        failures[failure].append(path)
    say(f"\nFiles that could not be analysed: {sum(len(p) for p in failures.values())}")
    for reason, paths in failures.items():
        say(f"  {reason} ({len(paths)} files)")
        for path in paths[:FAILURE_EXAMPLES]:
            say(f"    {path}")
        if len(paths) > FAILURE_EXAMPLES:
            say(f"    ... and {len(paths) - FAILURE_EXAMPLES} more")
    return out


def query_lines(store: Store, args: argparse.Namespace) -> list[str]:
    out: list[str] = []
    say = out.append
    if args.find is not None:
        for path, line, kind, signature in store.find(args.find):
            say(f"{path}:{line} {kind} {signature}")
    if args.problems:
        for path, first_line, column, message in store.unparsed():
            say(f"{path}:{first_line}:{column}: {message}")
    return out


def print_stats(counts: RunCounts, remote: bool) -> None:
    own_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if remote:
        print(
            f"Peak resident memory: parent {own_kib / 1024:.1f} MiB, "
            f"largest worker {counts.peak_worker_kib / 1024:.1f} MiB"
        )
    else:
        print(f"Peak resident memory: {own_kib / 1024:.1f} MiB")
    print(f"Seconds: scan {counts.seconds['scan']:.2f}, analyse and write {counts.seconds['analyse']:.2f}")


def utf8_or_none(text: str) -> str | None:
    """`text` as given on the command line, or None when it is not UTF-8 (the
    interpreter then carries its bytes as lone surrogates)."""
    try:
        text.encode()
    except UnicodeEncodeError:
        return None
    return text


def shown(text: str) -> str:
    """A command-line text for a message, its bytes that are not UTF-8 as \\xNN."""
    return os.fsencode(text).decode("utf-8", "backslashreplace")


def refused_names(args: argparse.Namespace) -> str | None:
    """Why the names given cannot be used, if so: the module and the index
    name files and symbols in UTF-8 text, which cannot spell other bytes."""
    if utf8_or_none(os.path.abspath(args.root)) is None:
        return (
            f"cannot index {shown(os.path.abspath(args.root))}: the module names files in UTF-8, which this name is not"
        )
    if args.find is not None and utf8_or_none(args.find) is None:
        return f"--find {shown(args.find)}: symbols are named in UTF-8, which this name is not"
    return None


def main(argv: list[str] | None = None) -> int:
    try:
        return run(argv)
    except KeyboardInterrupt:
        # Each batch is its own transaction: those committed stay, the one
        # being written is rolled back when the database closes.
        print(
            "index_tree.py: interrupted; the index keeps the batches written so far, and the next run completes it",
            file=sys.stderr,
        )
        return INTERRUPTED
    except (ClusterError, IndexFailure, UnusableModule) as failure:
        print(f"index_tree.py: {failure}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # Whoever read the output stopped early (`| head`); the index is
        # already written, so that is no failure of the run. Standard output
        # goes nowhere from here on, so closing it at exit cannot fail again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


def prepare_languages(args: argparse.Namespace, store: Store | None = None) -> Languages:
    """Registers the grammar packages and says, one line each on stderr,
    which ones the run goes on without. With a `store`, the packages are
    found as its last run found them when nothing was installed or removed
    since, and it keeps what this run found."""
    remembered = store.grammar_packages() if store is not None else None
    languages = grammar_packages.prepare(restriction(args), remembered)
    # Written only when it changed: an unchanged run writes nothing for it.
    if store is not None and languages.found is not None and languages.found != remembered:
        store.write_grammar_packages(languages.found)
    for skipped in languages.skipped:
        print(f"index_tree.py: {skipped.line()}", file=sys.stderr)
    return languages


def run(argv: list[str] | None) -> int:
    args = parse_arguments(argv)
    querying = args.find is not None or args.problems
    if args.languages == LIST:
        print("\n".join(grammar_packages.listing(prepare_languages(args))))
        return 0
    refusal = refused_names(args)
    if refusal is not None:
        print(f"index_tree.py: {refusal}", file=sys.stderr)
        return 2
    writing = not (querying and args.no_update)
    try:
        store = Store(args.db, args.root, writing=writing)
    except RefusedIndex as refused:
        print(f"index_tree.py: {refused}", file=sys.stderr)
        return 2
    # Each batch is its own transaction, so a failure keeps what came before.
    kept = "; it keeps the batches written before" if writing else ""
    try:
        with closing(store):
            return run_on(store, args, querying)
    except sqlite3.OperationalError as error:
        raise IndexFailure(f"cannot use the index at {args.db} any further: {error}{kept}") from None
    except sqlite3.DatabaseError as error:
        raise IndexFailure(f"the index at {args.db} is damaged: {error}{kept}") from None


def run_on(store: Store, args: argparse.Namespace, querying: bool) -> int:
    counts = None
    if store.writing:
        languages = prepare_languages(args, store)
        pool: AnalysisPool = (
            DaskPool(args.scheduler, languages.remote_grammars()) if args.scheduler else ThreadPool(args.jobs)
        )
        with pool as workers:
            counts = update_index(
                args.root,
                store,
                workers,
                timeout_ms=args.timeout_ms,
                max_files=args.max_files,
                batch_size=args.batch_size,
                show_progress=not args.no_progress,
                languages=languages,
            )
    lines = []
    if querying:
        lines = query_lines(store, args)
    elif counts is not None:
        lines = summary_lines(args.root, store, counts, args.max_files)
    if lines:
        print("\n".join(lines))
    if args.stats and counts is not None:
        print_stats(counts, remote=args.scheduler is not None)
    return 0
