"""Do two builds of the module answer the same? Run by hand (not part of the test suite).

  python -m checks.check_agreement A B ROOT... [--cuts N] [--seed S]
      [--command analyse] [--exclude TEXT]... [--max-bytes N] [--details FILE]

A and B each name one build: a folder holding the module file (an install
target, a build folder such as target/<tag>) or a virtual environment (a
folder with bin/python, whose own installed module is used). Each is loaded
in a subprocess of its own, the two working side by side, so builds that
cannot share one process (two copies of the same module) are compared all
the same.

Every file under the ROOTs whose extension names a language with a grammar
(py, rs, js, mjs, cjs, jsx, ts, mts, cts, tsx, json) is sent as "content"
(with its "path", which names the language): whole, and cut at N points
chosen at random from the seed and the file's path, so that a second run
sends the very same texts. Files that are not UTF-8, and paths holding any
--exclude text, are left out. The answers (or the exceptions raised) are
compared text for text.

Printed: per language and in all, the texts compared, identical and
differing; then each differing text (path, the character it was cut at or
"whole", which members of the answer differ). --details writes one JSON line
per differing text with both answers, for a closer look.
"""

import argparse
import collections
import json
import os
import random
import subprocess
import sys

EXTENSIONS = {
    "py": "python",
    "rs": "rust",
    "js": "javascript",
    "mjs": "javascript",
    "cjs": "javascript",
    "jsx": "javascript",
    "ts": "typescript",
    "mts": "typescript",
    "cts": "typescript",
    "tsx": "tsx",
    "json": "json",
}

# The worker: one request per line on standard input ([command, payload]),
# one answer per line on standard output. Its first line names the module file.
WORKER = r"""
import json, sys
if sys.argv[1]:
    sys.path.insert(0, sys.argv[1])
import marblewick_index_native as m
out = sys.stdout
out.write(json.dumps(m.__file__) + "\n")
out.flush()
for line in sys.stdin:
    command, payload = json.loads(line)
    try:
        answer = {"answer": m.run(command, payload)}
    except BaseException as error:  # PanicException included, which is no Exception
        answer = {"raised": f"{type(error).__name__}: {error}"}
    out.write(json.dumps(answer) + "\n")
    out.flush()
"""


class Build:
    """One build's module, serving requests in a subprocess."""

    def __init__(self, location):
        location = os.path.abspath(location)
        venv_python = os.path.join(location, "bin", "python")
        if os.path.exists(venv_python):
            interpreter, folder = venv_python, ""
        elif os.path.isdir(location):
            interpreter, folder = sys.executable, location
        else:
            sys.exit(f"{location}: neither a folder holding the module nor a virtual environment")
        # -I: neither the working folder nor PYTHONPATH may slip another copy in.
        self.process = subprocess.Popen(
            [interpreter, "-I", "-c", WORKER, folder],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            encoding="utf-8",
            cwd="/",
        )
        first = self.process.stdout.readline()
        if not first:
            sys.exit(f"{location}: the module could not be loaded")
        self.module_file = json.loads(first)

    def send(self, command, payload):
        self.process.stdin.write(json.dumps([command, payload]) + "\n")
        self.process.stdin.flush()

    def receive(self):
        line = self.process.stdout.readline()
        if not line:
            sys.exit(f"{self.module_file}: the worker ended early (status {self.process.wait()})")
        return json.loads(line)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def source_files(roots, excluded, max_bytes):
    for root in roots:
        if os.path.isfile(root):
            candidates = [root]
        else:
            candidates = []
            for folder, dirs, names in os.walk(root):
                dirs.sort()
                candidates.extend(os.path.join(folder, n) for n in sorted(names))
        for path in candidates:
            language = EXTENSIONS.get(path.rsplit(".", 1)[-1].lower()) if "." in path else None
            if language is None or any(text in path for text in excluded):
                continue
            if not os.path.isfile(path) or os.path.getsize(path) > max_bytes:
                continue
            yield path, language


def texts_of(path, cuts, seed):
    """(cut, text) pairs: the whole text, then the text cut at `cuts` points."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None
    pieces = [("whole", text)]
    if len(text) > 1:
        rng = random.Random(f"{seed}\0{path}")
        for at in sorted({rng.randrange(1, len(text)) for _ in range(cuts)}):
            pieces.append((at, text[:at]))
    return pieces


def differing_members(a, b):
    """Which members of two answers differ, named for the listing."""
    if "answer" not in a or "answer" not in b:
        return "raised: " + " / ".join(x.get("raised", "answered") for x in (a, b))
    left, right = json.loads(a["answer"]), json.loads(b["answer"])
    names = sorted(k for k in left.keys() | right.keys() if left.get(k) != right.get(k))
    return ",".join(names)


def main():
    options = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    options.add_argument("a")
    options.add_argument("b")
    options.add_argument("roots", nargs="+")
    options.add_argument("--cuts", type=int, default=3)
    options.add_argument("--seed", default="1")
    options.add_argument("--command", default="analyse")
    options.add_argument("--exclude", action="append", default=[])
    options.add_argument("--max-bytes", type=int, default=4_000_000)
    options.add_argument("--details")
    args = options.parse_args()

    builds = [Build(args.a), Build(args.b)]
    print(f"A: {builds[0].module_file}\nB: {builds[1].module_file}", flush=True)
    counts = collections.defaultdict(collections.Counter)
    differing = []
    details = open(args.details, "w", encoding="utf-8") if args.details else None
    try:
        for path, language in source_files(args.roots, args.exclude, args.max_bytes):
            pieces = texts_of(path, args.cuts, args.seed)
            if pieces is None:
                counts[language]["not UTF-8 (files)"] += 1
                continue
            for cut, text in pieces:
                payload = json.dumps({"content": text, "path": path})
                for build in builds:
                    build.send(args.command, payload)
                a, b = (build.receive() for build in builds)
                counts[language]["compared"] += 1
                if a == b:
                    counts[language]["identical"] += 1
                    continue
                counts[language]["differing"] += 1
                differing.append((path, cut, differing_members(a, b)))
                if details:
                    details.write(json.dumps({"path": path, "cut": cut, "language": language, "a": a, "b": b}) + "\n")
    finally:
        for build in builds:
            build.close()
        if details:
            details.close()

    total = collections.Counter()
    print(f"{'language':<11} {'compared':>9} {'identical':>10} {'differing':>10} {'not UTF-8':>10}")
    for language in sorted(counts):
        c = counts[language]
        total.update(c)
        print(
            f"{language:<11} {c['compared']:>9} {c['identical']:>10} {c['differing']:>10} {c['not UTF-8 (files)']:>10}"
        )
    print(
        f"{'all':<11} {total['compared']:>9} {total['identical']:>10} {total['differing']:>10} "
        f"{total['not UTF-8 (files)']:>10}"
    )
    for path, cut, members in differing:
        print(f"differs: {path} [{cut}] {members}")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
