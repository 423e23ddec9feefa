"""Two builds of the module side by side: "hash", "scan" and the analysis
commands timed in each, rounds interleaved (A B, then B A, ...) so that noise
from other processes falls on both alike. Each build is the module installed
in its own environment, named by that environment's interpreter:

    python -m benchmarks.compare_builds PYTHON_A PYTHON_B [--rounds 7] [--only hash,scan,analysis,walk,known]

For instance a source build (system compiler and libcrypto) against the
portable wheel (zig, static libcrypto), each installed into a virtual
environment of the same CPython. Every measurement runs in a fresh child
process of that interpreter, which reports the best of a few repeats; the
figure per build is the median over rounds, and the ratio is B / A (below 1:
B is faster). Prints figures only; nothing asserts on time.

  hash      "hash" of one 256 MiB text file (LF endings), page cache warm
  scan      "scan" of the interpreter's standard library, every .py file
  walk      the walk alone: "scan" of the standard library selecting nothing
  known     an unchanged re-run of the example indexer: "scan" of the standard
            library with the indexer's extensions, every file's status known
  analysis  "syntax-check" and "outline" of every file of harness/corpus.py
            (Python, JavaScript, TypeScript, Rust), one pass
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import tempfile

from harness import corpus

# Run in the child: WORKLOAD, a file holding its argument as JSON; prints the best seconds.
CHILD = r"""
import json, os, sys, time
import marblewick_index_native as m
workload = sys.argv[1]
with open(sys.argv[2], encoding="utf-8") as given:
    argument = json.load(given)

def best_of(repeats, action):
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - started)
    return best

if workload == "hash":
    payload = json.dumps({"path": argument})
    m.run("hash", payload)
    print(best_of(3, lambda: m.run("hash", payload)))
elif workload == "scan":
    payload = json.dumps({"root": argument, "max_files": 1_000_000, "extensions": ["py"]})
    m.run("scan", payload)
    print(best_of(3, lambda: m.run("scan", payload)))
elif workload == "walk":
    payload = json.dumps({"root": argument, "extensions": ["nosuchext"]})
    m.run("scan", payload)
    print(best_of(5, lambda: m.run("scan", payload)))
elif workload == "known":
    root, extensions = argument
    first = {"root": root, "max_files": 1_000_000, "extensions": extensions, "status": True}
    known = {entry["path"]: entry["status"] for entry in json.loads(m.run("scan", json.dumps(first)))["entries"]}
    payload = json.dumps({"root": root, "max_files": 1_000_000, "extensions": extensions, "known": known})
    m.run("scan", payload)
    print(best_of(5, lambda: m.run("scan", payload)))
else:
    payloads = [json.dumps({"path": path, "language": language}) for path, language in argument]
    def one_pass():
        for payload in payloads:
            m.run("syntax-check", payload)
            m.run("outline", payload)
    print(best_of(2, one_pass))
print(m.__file__, file=sys.stderr)
"""


# What the example indexer scans with the grammar packages of this project's
# environment registered: its own list, then C, C++ and Java.
INDEXER_EXTENSIONS = ["py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml", "c", "cc", "cpp", "cxx"]
INDEXER_EXTENSIONS += ["c++", "hh", "hpp", "hxx", "h++", "inl", "ipp", "tcc", "h", "java"]


def analysis_files():
    files = []
    for language, source in (
        ("python", corpus.stdlib_python_files),
        ("javascript", corpus.javascript_files),
        ("typescript", corpus.typescript_files),
        ("rust", corpus.rust_files),
    ):
        files.extend((path, language) for path in source() if corpus.read_utf8(path) is not None)
    return files


def measure(python, workload, argument_file):
    result = subprocess.run(
        [python, "-c", CHILD, workload, argument_file],
        capture_output=True,
        text=True,
        check=True,
        cwd=tempfile.gettempdir(),
    )
    return float(result.stdout.strip()), result.stderr.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("python_a")
    parser.add_argument("python_b")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", default="hash,scan,analysis")
    args = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="marblewick-compare-")
    big = os.path.join(scratch, "big.txt")
    line = b"def function_000000(argument):  return argument * 2  # padding text\n"
    with open(big, "wb") as out:
        for _ in range((256 << 20) // len(line)):
            out.write(line)
    stdlib = subprocess.run(
        [args.python_a, "-c", "import sysconfig; print(sysconfig.get_paths()['stdlib'])"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    arguments = {"hash": big, "scan": stdlib, "analysis": None, "walk": stdlib, "known": [stdlib, INDEXER_EXTENSIONS]}
    if "analysis" in args.only:
        arguments["analysis"] = analysis_files()

    builds = {"A": args.python_a, "B": args.python_b}
    try:
        for workload in args.only.split(","):
            # The analysis corpus is too long a list for a command line.
            argument_file = os.path.join(scratch, f"{workload}.json")
            with open(argument_file, "w", encoding="utf-8") as out:
                json.dump(arguments[workload], out)
            times = {"A": [], "B": []}
            for round_number in range(args.rounds):
                order = "AB" if round_number % 2 == 0 else "BA"
                for name in order:
                    seconds, module = measure(builds[name], workload, argument_file)
                    times[name].append(seconds)
                    if round_number == 0:
                        print(f"  {workload} {name}: {module}")
            a, b = statistics.median(times["A"]), statistics.median(times["B"])
            print(
                f"{workload:<9} A {a:8.4f} s  B {b:8.4f} s  B/A {b / a:6.3f}  "
                f"(medians of {args.rounds}; A {min(times['A']):.4f}..{max(times['A']):.4f}, "
                f"B {min(times['B']):.4f}..{max(times['B']):.4f})",
                flush=True,
            )
    finally:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
