"""How much memory a parse holds for each byte of its text, over real files.

Every parse has a memory ceiling (the floor plus a fixed number of bytes per
byte of text); this measures what real texts need, so that the ceiling can be
set far above it. For each file (whole, and cut at seeded random points), the
test-only probe module parses it and reports the most bytes the parse held at
once: its pool's chunks and its large blocks. Prints, per language, the file
count, the largest peak and the largest peak-to-size ratio among texts of at
least --min-bytes (below that, the floor's fixed share dominates and the
ratio says nothing), with the file it came from.

    python benchmarks/parse_memory_ratio.py [--cuts 3] [--limit 3000]

Corpora: the standard library's .py files; the .rs files of Debian's Rust
crate sources (/usr/share/cargo/registry; apt-get install librust-syn-dev
librust-serde-dev librust-tokio-dev librust-regex-syntax-dev); the .js, .mjs,
.ts and .json files found under /usr and /root (JavaScript also parsed as
TypeScript and TSX, which few files here are written in); random token soups.
"""

import argparse
import json
import os
import pathlib
import random
import sys
import sysconfig

sys.path.append(str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from outline_samples import SOUP_TOKENS, token_soup  # noqa: E402
from support import find_probe_dir, load_probe  # noqa: E402


def files_under(roots, suffixes, limit, rng):
    found = []
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = [d for d in dirnames if d not in ("proc", "sys", "target")]
            found.extend(pathlib.Path(dirpath, name) for name in filenames
                         if name.endswith(suffixes))
    found.sort()
    rng.shuffle(found)
    return found[:limit]


def corpora(limit, rng):
    stdlib = pathlib.Path(sysconfig.get_paths()["stdlib"])
    js = files_under(["/usr", "/root"], (".js", ".mjs"), limit, rng)
    yield "python", files_under([stdlib], (".py",), limit, rng)
    yield "rust", files_under(["/usr/share/cargo/registry"], (".rs",), limit, rng)
    yield "javascript", js
    yield "typescript", files_under(["/usr", "/root"], (".ts",), limit, rng) + js
    yield "tsx", js
    yield "json", files_under(["/usr", "/root"], (".json",), limit, rng)


def texts(path, cuts, rng):
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        return
    yield text
    for _ in range(cuts if len(text) > 1 else 0):
        yield text[: rng.randrange(1, len(text))]


def options(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--cuts", type=int, default=3)
    parser.add_argument("--limit", type=int, default=3000, help="files per corpus")
    parser.add_argument("--min-bytes", type=int, default=4096)
    return parser.parse_args()


def probe_measure(name):
    """measure(text, language): (the probe's figure `name` of the text's parse,
    None) or (None, the failure's text)."""
    folder = find_probe_dir()
    if folder is None:
        sys.exit("no probe module: build the package from this checkout first")
    probe = load_probe(folder)

    def measure(text, language):
        try:
            answer = probe.run("parse-memory-peak", json.dumps({"content": text, "language": language}))
        except RuntimeError as failure:
            return None, str(failure)
        return json.loads(answer)[name], None

    return probe, measure


def largest_ratios(measure, args):
    """Per corpus, (language, texts, the largest figure, the largest ratio of
    figure to size among texts of at least --min-bytes, where it came from)."""
    rng = random.Random(14)
    for language, paths in corpora(args.limit, rng):
        count, top, top_ratio, top_source = 0, 0, 0.0, ""
        for path in paths:
            for text in texts(path, args.cuts, rng):
                size = len(text.encode())
                figure, failure = measure(text, language)
                if failure:
                    print(f"  {path}: {failure}")
                    continue
                count += 1
                top = max(top, figure)
                if size >= args.min_bytes and figure / size > top_ratio:
                    top_ratio, top_source = figure / size, f"{path} ({size} bytes)"
        yield language, count, top, top_ratio, top_source


def main():
    args = options(__doc__.splitlines()[0])
    _, peak = probe_measure("peak_bytes")

    print(f"{'language':<11} {'texts':>6} {'largest peak':>13} {'largest ratio':>13}  from")
    overall = 0.0
    for language, count, top_peak, top_ratio, top_source in largest_ratios(peak, args):
        overall = max(overall, top_ratio)
        print(f"{language:<11} {count:>6} {top_peak / 2**20:>10.1f} MiB {top_ratio:>13.1f}  {top_source}")
    for language, tokens in sorted(SOUP_TOKENS.items()):
        for size in (100_000, 300_000):
            text = token_soup(tokens, size)
            held, failure = peak(text, language)
            shown = failure or f"{held / 2**20:.1f} MiB, {held / size:.1f} bytes per byte"
            print(f"soup {language:<10} {size // 1000:>4} KB: {shown}")
    print(f"largest ratio over real texts: {overall:.1f} bytes of parse memory per byte of text")


if __name__ == "__main__":
    main()
