#!/usr/bin/env python3
"""Index a source tree the way our indexing tool does, and print a summary.

    python examples/index_tree.py [ROOT] [--max-files N]

One "scan" of ROOT (default: the current directory) with the default
extensions, then "outline" and "syntax-check" for every scanned file whose
language has a grammar. The summary gives files and lines per language,
symbols per kind, the files that do not parse (with their first problem) and
the files that could not be analysed at all. A progress bar goes to stderr
when the tree is large (tqdm when installed: pip install '.[examples]').
"""

from __future__ import annotations

import argparse
import json
import sys
from collections import Counter, defaultdict
from dataclasses import dataclass, field

import marblewick_index_native as native

# Languages by the extensions "scan" selects by default; the first five have a
# grammar, so only their files are outlined and checked.
LANGUAGE_BY_EXTENSION = {
    "py": "python",
    "rs": "rust",
    "ts": "typescript",
    "tsx": "tsx",
    "js": "javascript",
    "go": "go",
    "md": "markdown",
    "toml": "toml",
    "yaml": "yaml",
    "yml": "yaml",
}
ANALYSED_LANGUAGES = {"python", "rust", "typescript", "tsx", "javascript"}

# Below this many files to analyse, a progress display is only noise.
PROGRESS_THRESHOLD = 200
# Paths listed per distinct analysis failure before the rest are counted.
FAILURE_EXAMPLES = 10


@dataclass
class Summary:
    files_per_language: Counter = field(default_factory=Counter)
    lines_per_language: Counter = field(default_factory=Counter)
    symbols_per_kind: Counter = field(default_factory=Counter)
    # (path, line, message) of each file's first syntax problem.
    unparsed: list = field(default_factory=list)
    # failure text -> paths that failed with it
    failures: dict = field(default_factory=lambda: defaultdict(list))
    analysed: int = 0


def language_of(path: str) -> str:
    name = path.rsplit("/", 1)[-1]
    dot = name.rfind(".")
    if dot <= 0:
        return "other"
    return LANGUAGE_BY_EXTENSION.get(name[dot + 1:].lower(), "other")


def call(command: str, payload: dict) -> dict:
    return json.loads(native.run(command, json.dumps(payload)))


class Progress:
    """tqdm when available, else a plain counter; nothing for small trees."""

    def __init__(self, total: int):
        self.total = total
        self.done = 0
        self.bar = None
        self.enabled = total >= PROGRESS_THRESHOLD
        if not self.enabled:
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ImportError:
            self.step = max(1, total // 100)
            self.end = "\r" if sys.stderr.isatty() else "\n"
        else:
            self.bar = tqdm(total=total, unit="file", file=sys.stderr)

    def advance(self) -> None:
        self.done += 1
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(1)
        elif self.done % self.step == 0 or self.done == self.total:
            print(f"analysed {self.done}/{self.total} files", end=self.end, file=sys.stderr,
                  flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled and self.end == "\r":
            print(file=sys.stderr)


def analyse(root: str, path: str, summary: Summary) -> None:
    full_path = root + "/" + path
    try:
        outline = call("outline", {"path": full_path})
    except RuntimeError as error:
        summary.failures[f"outline: {error}"].append(path)
    else:
        if outline.get("checked"):
            for symbol in outline["symbols"]:
                summary.symbols_per_kind[symbol["kind"]] += 1
    try:
        check = call("syntax-check", {"path": full_path})
    except RuntimeError as error:
        summary.failures[f"syntax-check: {error}"].append(path)
    else:
        if check.get("checked") and not check["valid"]:
            first = check["errors"][0] if check["errors"] else {"line": 0, "message": "invalid"}
            summary.unparsed.append((path, first["line"], first["message"]))


def index_tree(root: str, max_files: int) -> tuple[Summary, int]:
    scanned = call("scan", {"root": root, "max_files": max_files})
    summary = Summary()
    to_analyse = []
    for entry in scanned["entries"]:
        language = language_of(entry["path"])
        summary.files_per_language[language] += 1
        summary.lines_per_language[language] += entry["total_lines"]
        if language in ANALYSED_LANGUAGES:
            to_analyse.append(entry["path"])

    progress = Progress(len(to_analyse))
    try:
        for path in to_analyse:
            analyse(root, path, summary)
            summary.analysed += 1
            progress.advance()
    finally:
        progress.close()
    return summary, scanned["count"]


def print_summary(root: str, summary: Summary, count: int, max_files: int) -> None:
    total_lines = sum(summary.lines_per_language.values())
    print(f"Indexed {count} files ({total_lines} lines) under {root}")
    if count == max_files:
        print(f"  (the limit of {max_files} files was reached; raise --max-files to see more)")
    print(f"Analysed {summary.analysed} files with a grammar")

    print("\nFiles and lines per language:")
    for language, files in sorted(summary.files_per_language.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"  {language:<12} {files:>7} files {summary.lines_per_language[language]:>9} lines")

    print("\nSymbols per kind:")
    if not summary.symbols_per_kind:
        print("  (none)")
    for kind, n in sorted(summary.symbols_per_kind.items(), key=lambda kv: (-kv[1], kv[0])):
        print(f"  {kind:<12} {n:>7}")

    print(f"\nFiles that do not parse: {len(summary.unparsed)}")
    for path, line, message in summary.unparsed:
        print(f"  {path}:{line}: {message}")

    failed = {p for paths in summary.failures.values() for p in paths}
    print(f"\nFiles that could not be analysed: {len(failed)}")
    for reason, paths in sorted(summary.failures.items()):
        print(f"  {reason} ({len(paths)} files)")
        for path in paths[:FAILURE_EXAMPLES]:
            print(f"    {path}")
        if len(paths) > FAILURE_EXAMPLES:
            print(f"    ... and {len(paths) - FAILURE_EXAMPLES} more")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root", nargs="?", default=".", help="directory to index (default: .)")
    parser.add_argument("--max-files", type=int, default=100000,
                        help="most files to scan (default: 100000)")
    args = parser.parse_args(argv)
    summary, count = index_tree(args.root, args.max_files)
    print_summary(args.root, summary, count, args.max_files)
    return 0


if __name__ == "__main__":
    sys.exit(main())
