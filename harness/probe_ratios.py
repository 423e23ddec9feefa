"""What a parse takes for each byte of its text, over real files, as the
test-only probe module reports it: the corpora, their texts (whole and cut at
seeded random points), and the largest figure and ratio per corpus."""

import argparse
import json
import os
import pathlib
import random
import sys
import sysconfig

from tests.support import find_probe_dir, load_probe


def files_under(roots, suffixes, limit, rng):
    found = []
    for root in roots:
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames[:] = [d for d in dirnames if d not in ("proc", "sys", "target")]
            found.extend(pathlib.Path(dirpath, name) for name in filenames if name.endswith(suffixes))
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
