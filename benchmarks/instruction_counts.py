"""Instructions that "syntax-check" and "outline" execute, counted by valgrind,
for one or more builds of the module, beside those of reading the same files
and parsing them with the official Python bindings and the same grammar
releases (the `bench` extra), the reference of bench_analysis.py:

    python -m benchmarks.instruction_counts BUILD... [--languages python,javascript,typescript]
        [--bytes 1000000]

Each BUILD is a folder holding the module (a build folder, an install target).
A count does not move with the load of a shared machine, which a time does,
so this shows a difference of a few per cent that timing rounds cannot.
It is a count of instructions, not a time: memory stalls and branch
mispredictions are not in it (bench_analysis.py and compare_builds.py time).

Per language, files are taken from harness/corpus.py (those at even
places, which the profile-guided build does not train on) at an even stride
up to about --bytes of source. Each figure is the count of one pass over them,
in a process of its own under cachegrind: the count of a process that makes
the pass, less that of one that makes everything else (start-up, imports, one
warm-up call, reading the file list) but not the pass. Printed: instructions
per source byte, and each command's ratio to the reference; with two builds
or more, each build's ratio to the first.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

from harness import corpus

# The checkout's root: the valgrind child, started in isolated mode, imports
# the official bindings' parsers from the harness there.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Run under valgrind: MEASURE LANGUAGE FILES PASSES [MODULE_FOLDER].
CHILD = r"""
import json, sys
measure, language, files_json, passes = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
with open(files_json, encoding="utf-8") as given:
    files = json.load(given)
if measure == "reference":
    sys.path.insert(0, sys.argv[5])
    from harness.bindings import reference_parsers
    parser = reference_parsers()[language]
    def call(path):
        with open(path, "rb") as f:
            data = f.read()
        parser.parse(data)
else:
    sys.path.insert(0, sys.argv[5])
    import marblewick_index_native as m
    payloads = {path: json.dumps({"path": path, "language": language}) for path in files}
    def call(path):
        m.run(measure, payloads[path])
call(files[0])
for _ in range(passes):
    for path in files:
        call(path)
"""

REFS = re.compile(r"I\s+refs:\s+([\d,]+)")


def instructions(arguments):
    result = subprocess.run(
        [
            "valgrind",
            "--tool=cachegrind",
            "--cache-sim=no",
            "--cachegrind-out-file=/dev/null",
            sys.executable,
            "-I",
            "-c",
            CHILD,
            *arguments,
        ],
        capture_output=True,
        text=True,
        cwd=tempfile.gettempdir(),
    )
    found = REFS.search(result.stderr)
    if result.returncode != 0 or not found:
        sys.exit(f"cachegrind run failed ({' '.join(arguments)}):\n{result.stderr[-2000:]}")
    return int(found.group(1).replace(",", ""))


def one_pass(measure, language, files_json, location):
    return instructions([measure, language, files_json, "1", location]) - instructions(
        [measure, language, files_json, "0", location]
    )


SOURCES = {
    "python": corpus.stdlib_python_files,
    "javascript": corpus.javascript_files,
    "typescript": corpus.typescript_files,
    "rust": corpus.rust_files,
}


def sample(language, budget):
    # Even places only: tools/profile_training.py trains on the odd ones.
    files = [p for p in SOURCES[language]() if corpus.read_utf8(p) is not None][::2]
    total = sum(os.path.getsize(p) for p in files)
    stride = max(1, total // budget)
    picked = files[::stride]
    return picked, sum(os.path.getsize(p) for p in picked)


def main():
    options = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    options.add_argument("builds", nargs="+", help="folders holding the module")
    options.add_argument("--languages", default="python,javascript,typescript")
    options.add_argument("--bytes", type=int, default=1_000_000, help="source bytes per language, about")
    args = options.parse_args()
    builds = [os.path.abspath(b) for b in args.builds]
    for build in builds:
        if not any(n.startswith("marblewick_index_native") and n.endswith(".so") for n in os.listdir(build)):
            sys.exit(f"{build}: holds no marblewick_index_native module")

    scratch = tempfile.mkdtemp(prefix="marblewick-instructions-")
    for number, build in enumerate(builds):
        print(f"build {number}: {build}")
    print(
        f"{'language':<11} {'files':>5} {'bytes':>9} {'build':>5} {'reference/B':>11} "
        f"{'check/B':>8} {'ratio':>6} {'outline/B':>9} {'ratio':>6} {'vs 0':>13}"
    )
    for language in args.languages.split(","):
        files, size = sample(language, args.bytes)
        files_json = os.path.join(scratch, f"{language}.json")
        with open(files_json, "w", encoding="utf-8") as out:
            json.dump(files, out)
        reference = one_pass("reference", language, files_json, ROOT)
        first = None
        for number, build in enumerate(builds):
            check = one_pass("syntax-check", language, files_json, build)
            outline = one_pass("outline", language, files_json, build)
            if first is None:
                first = (check, outline)
            versus = f"{check / first[0]:6.3f} {outline / first[1]:6.3f}"
            print(
                f"{language:<11} {len(files):>5} {size:>9} {number:>5} {reference / size:>11.1f} "
                f"{check / size:>8.1f} {check / reference:>6.3f} {outline / size:>9.1f} "
                f"{outline / reference:>6.3f} {versus:>13}",
                flush=True,
            )
    shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
