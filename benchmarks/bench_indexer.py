#!/usr/bin/env python3
"""How fast is the example indexer, part by part, and next to ctags?

    python -m benchmarks.bench_indexer [--root ROOT] [--quick] [--rounds N] [--repeat N]
                                       [--baseline-rss-mib MIB]

On ROOT (default: the interpreter's standard library, which holds
site-packages too), with the page cache warmed by one "scan" that reads every
selected file:
  1. "analyse" against "outline" plus "syntax-check", in this process, over
     every file the indexer analyses (each file's time is the best of --rounds
     calls, the contenders in turns); the warm-up pass checks that "analyse"
     answers exactly what the two commands answer.
  2. A fresh index with --jobs 1 against one with --jobs 2 (analysis
     threads of one process), each a subprocess of this interpreter into a
     new database in a temporary folder; and the --jobs 2 run against half
     the summed "analyse" seconds of part 1, the time two cores would take
     were nothing but the calls to be done.
  3. A second run over the fresh all-core index, nothing changed, and one
     after touching one analysed file (its content unchanged; its times are
     put back afterwards), which should parse nothing.
  4. The fresh all-core index against `ctags -R` over the same files: the same
     languages (extensions mapped as "scan" selects them), the same skipped
     folders, links not followed, tags written to a temporary file.
  5. Peak resident memory of the all-core run: the indexer's own --stats line
     and the kernel's figure for the largest process of the run, from wait4
     in a bare interpreter that starts the run (its own size, printed, is the
     floor of that figure); against --baseline-rss-mib when given (the parent
     plus the largest worker of the process pool the threads replaced).
Whether the module parses with the interpreter lock released ("release_gil")
is printed first: without it the threads take turns, and parts 2 and 5 show
a run that is correct but no faster than one thread.
Each indexer and ctags figure is one run (--repeat N: the best of N). --quick
copies the first few hundred selected files of ROOT to a temporary tree and
measures that instead, for a smoke run. Prints a table of seconds, ratios and
aims; nothing here asserts on time.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from dataclasses import dataclass

import marblewick_index_native as native

from harness.native_scan import CPUS, MAX_FILES, SKIPPED, native_scan
from harness.timing import timed
from tests.support import answer

INDEXER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "index_tree.py")
CTAGS = "/usr/bin/ctags"
# The extensions the indexer analyses, by the name ctags gives their language.
# ctags without a parser of its own for TSX reads those files as TypeScript.
CTAGS_LANGUAGE = {"py": "Python", "js": "JavaScript", "ts": "TypeScript", "tsx": "TSX", "rs": "Rust"}
# The indexer analyses these languages only, whatever grammar packages are
# installed, so that it and ctags read the same files.
INDEXER_LANGUAGES = "--languages=python,javascript,typescript,tsx,rust"
QUICK_FILES = 300

COUNTS_LINE = re.compile(r"New (\d+), changed (\d+), unchanged (\d+), removed (\d+)")
ANALYSED_LINE = re.compile(r"Analysed (\d+) files")
STATS_LINE = re.compile(r"Peak resident memory: ([\d.]+) MiB")
CTAGS_TOTALS = re.compile(r"(\d+) files?, (\d+) lines?")


def extension(path: str) -> str:
    name = path.rsplit("/", 1)[-1]
    dot = name.rfind(".")
    return name[dot + 1 :] if dot > 0 else ""


def quoted(argv: list[str]) -> str:
    return " ".join(shlex.quote(a) for a in argv)


# ---- subprocesses ---------------------------------------------------------------


@dataclass
class Finished:
    seconds: float
    exit_code: int
    stdout: str
    stderr: str
    # The largest resident size of any process of the run, the ones its
    # children left behind included (see LAUNCHER).
    peak_kib: int
    # Some process of the run was still alive LEFTOVER_SECONDS after the run
    # ended; its memory is not in peak_kib.
    leftovers: bool


LEFTOVER_SECONDS = 30
# A process that execs keeps the high-water mark of the memory it had before
# (Linux records it at exec), so one started straight from this fat process
# would report at least this process's size. A bare interpreter starts each
# run instead, times it, and takes the peak from wait4, which covers each
# process's own waited-for children. As the run's subreaper, the launcher
# also inherits any process the run leaves behind and waits for it too.
LAUNCHER = """
import ctypes, os, sys, time
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
started = time.perf_counter()
pid = os.posix_spawn(sys.argv[3], sys.argv[3:], os.environ)
_, status, usage = os.wait4(pid, 0)
seconds = time.perf_counter() - started
peak, leftovers, deadline = usage.ru_maxrss, 0, time.monotonic() + float(sys.argv[2])
while True:
    try:
        orphan, _, usage = os.wait4(-1, os.WNOHANG)
    except ChildProcessError:
        break
    if orphan:
        peak = max(peak, usage.ru_maxrss)
    elif time.monotonic() > deadline:
        leftovers = 1
        break
    else:
        time.sleep(0.05)
with open(sys.argv[1], "w") as f:
    f.write(f"{seconds!r} {os.waitstatus_to_exitcode(status)} {peak} {leftovers}")
"""


def run_timed(argv: list[str], output_prefix: str) -> Finished:
    """Runs argv with its output in files, through the launcher."""
    figures = output_prefix + ".figures"
    with (
        open(output_prefix + ".out", "w+", encoding="utf-8", errors="replace") as out,
        open(output_prefix + ".err", "w+", encoding="utf-8", errors="replace") as err,
    ):
        subprocess.run(
            [sys.executable, "-S", "-E", "-c", LAUNCHER, figures, str(LEFTOVER_SECONDS), *argv],
            stdout=out,
            stderr=err,
            check=True,
        )
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    with open(figures) as f:
        seconds, exit_code, peak_kib, leftovers = f.read().split()
    return Finished(float(seconds), int(exit_code), stdout, stderr, int(peak_kib), leftovers == "1")


def launcher_floor_kib(scratch: str) -> int:
    return run_timed(["/bin/true"], os.path.join(scratch, "floor")).peak_kib


def fail(what: str, argv: list[str], done: Finished) -> None:
    print(f"{what} failed with exit code {done.exit_code}: {quoted(argv)}", file=sys.stderr)
    print(done.stderr[-4000:], file=sys.stderr)
    sys.exit(1)


# ---- 1. analyse against outline plus syntax-check ------------------------------


def has_analyse() -> bool:
    try:
        native.run("analyse", json.dumps({"content": "", "language": "python"}))
    except RuntimeError as error:
        if str(error).startswith("unknown command"):
            return False
    return True


def analyse_disagrees(payload: str) -> bool:
    """Whether "analyse" differs from the two commands it stands for: the two
    results side by side, byte for byte, or the error "syntax-check" raises."""
    outline = answer("outline", payload)
    check = answer("syntax-check", payload)
    analysed = answer("analyse", payload)
    if check[0] != "ok":
        return analysed != check
    if outline[0] != "ok":
        return True
    return analysed != ("ok", f'{{"ok":true,"outline":{outline[1]},"syntax_check":{check[1]}}}')


def time_analysis(paths: list[str], rounds: int) -> tuple[float, float, list[str]]:
    """(summed best time of outline + syntax-check, of analyse, files where
    analyse disagrees). The check is the warm-up pass."""
    disagreeing = [p for p in paths if analyse_disagrees(json.dumps({"path": p}))]
    pair_total = analyse_total = 0.0
    for path in paths:
        payload = json.dumps({"path": path})

        def pair():
            answer("outline", payload)
            answer("syntax-check", payload)

        def analyse():
            answer("analyse", payload)

        best_pair = best_analyse = float("inf")
        for _ in range(rounds):
            best_pair = min(best_pair, timed(pair)[0])
            best_analyse = min(best_analyse, timed(analyse)[0])
        pair_total += best_pair
        analyse_total += best_analyse
    return pair_total, analyse_total, disagreeing


# ---- 2, 3, 5. the indexer ----------------------------------------------------------


@dataclass
class IndexRun:
    run: Finished
    folder: str  # holds the database and the run's output
    counts: tuple[int, ...] | None  # new, changed, unchanged, removed
    stats: float | None  # the run's own peak resident memory (MiB), from --stats
    analysed: int | None  # files analysed (parsed) by the run


def indexer_ready() -> bool:
    """Whether examples/ holds the indexer with a database and a pool."""
    if not os.path.exists(INDEXER):
        return False
    done = subprocess.run([sys.executable, INDEXER, "--help"], capture_output=True, text=True)
    return done.returncode == 0 and all(o in done.stdout for o in ("--db", "--jobs", "--stats"))


def indexer_restricts_languages() -> bool:
    done = subprocess.run([sys.executable, INDEXER, "--help"], capture_output=True, text=True)
    return "--languages" in done.stdout


def index(root: str, folder: str, jobs: int, name: str = "fresh") -> IndexRun:
    os.makedirs(folder, exist_ok=True)
    argv = [
        sys.executable,
        INDEXER,
        root,
        "--db",
        os.path.join(folder, "index.sqlite"),
        "--jobs",
        str(jobs),
        "--max-files",
        str(MAX_FILES),
        "--no-progress",
        "--stats",
    ]
    if indexer_restricts_languages():
        argv.append(INDEXER_LANGUAGES)
    done = run_timed(argv, os.path.join(folder, name))
    if done.exit_code != 0:
        fail("the indexer", argv, done)
    counts = COUNTS_LINE.search(done.stdout)
    stats = STATS_LINE.search(done.stdout)
    analysed = ANALYSED_LINE.search(done.stdout)
    return IndexRun(
        done,
        folder,
        tuple(int(n) for n in counts.groups()) if counts else None,
        float(stats[1]) if stats else None,
        int(analysed[1]) if analysed else None,
    )


def fresh_index(root: str, scratch: str, jobs: int, repeat: int) -> IndexRun:
    """The best of `repeat` runs, each into a new database; only the best
    one's folder is kept."""
    runs = [index(root, os.path.join(scratch, f"jobs{jobs}-{attempt}"), jobs) for attempt in range(repeat)]
    best = min(runs, key=lambda r: r.run.seconds)
    for run in runs:
        if run is not best:
            shutil.rmtree(run.folder)
    return best


def unchanged_index(root: str, fresh: IndexRun, jobs: int, repeat: int) -> IndexRun:
    runs = [index(root, fresh.folder, jobs, f"again{attempt}") for attempt in range(repeat)]
    return min(runs, key=lambda r: r.run.seconds)


def touched_index(root: str, fresh: IndexRun, jobs: int, touched: str, repeat: int) -> IndexRun:
    """Runs after touching `touched` (a file of the tree) before each: its
    content stays, and its times are put back at the end, so that whatever
    keeps its own record of the file (a cached bytecode) still finds it
    as it was."""
    before = os.stat(touched)
    runs = []
    try:
        for attempt in range(repeat):
            os.utime(touched)
            runs.append(index(root, fresh.folder, jobs, f"touched{attempt}"))
    finally:
        os.utime(touched, ns=(before.st_atime_ns, before.st_mtime_ns))
    return min(runs, key=lambda r: r.run.seconds)


def counts_text(run: IndexRun) -> str:
    if run.counts is None:
        return "(no 'New N, changed N, unchanged N, removed N' line)"
    return "new {}, changed {}, unchanged {}, removed {}".format(*run.counts)


# ---- 4. ctags -----------------------------------------------------------------------


def ctags_missing() -> str | None:
    """Why ctags cannot take part, or None."""
    hint = "install it with: apt-get install universal-ctags"
    if not os.access(CTAGS, os.X_OK):
        return f"{CTAGS} not found; {hint}"
    version = subprocess.run([CTAGS, "--version"], capture_output=True, text=True).stdout
    if "Universal Ctags" not in version:
        return f"{CTAGS} is not Universal Ctags ({version.splitlines()[0] if version else '?'}); {hint}"
    return None


def ctags_command(root: str, tags: str) -> list[str]:
    known = set(subprocess.run([CTAGS, "--list-languages"], capture_output=True, text=True).stdout.split())
    maps: dict[str, list[str]] = {}
    for ext, language in CTAGS_LANGUAGE.items():
        maps.setdefault(language if language in known else "TypeScript", []).append("." + ext)
    # --langmap replaces each language's own patterns, so ctags reads exactly
    # the extensions "scan" selects (not .pyx, .mjs or .jsx as well).
    langmap = ",".join(f"{language}:{''.join(exts)}" for language, exts in maps.items())
    excludes = [f"--exclude={name}" for name in sorted(SKIPPED)]
    return [
        CTAGS,
        "-R",
        f"--languages={','.join(maps)}",
        f"--langmap={langmap}",
        "--links=no",
        *excludes,
        "--totals=yes",
        "-f",
        tags,
        root,
    ]


def run_ctags(root: str, scratch: str, repeat: int) -> tuple[Finished, list[str]]:
    argv = ctags_command(root, os.path.join(scratch, "tags"))
    runs = [run_timed(argv, os.path.join(scratch, f"ctags{attempt}")) for attempt in range(repeat)]
    for done in runs:
        if done.exit_code != 0:
            fail("ctags", argv, done)
    return min(runs, key=lambda r: r.seconds), argv


# ---- the report -----------------------------------------------------------------------


def quick_tree(root: str, entries: list[dict], scratch: str) -> str:
    tree = os.path.join(scratch, "quick")
    for entry in entries[:QUICK_FILES]:
        target = os.path.join(tree, entry["path"])
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(root, entry["path"]), target)
    return tree


class Table:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str, str, str]] = []

    def add(self, what: str, seconds: float | None, ratio: str = "", aim: str = "") -> None:
        self.rows.append((what, "" if seconds is None else f"{seconds:.2f}", ratio, aim))

    def print(self) -> None:
        width = max(len(r[0]) for r in self.rows)
        print(f"  {'what':<{width}}  {'seconds':>8}  {'ratio':>7}  aim")
        for what, seconds, ratio, aim in self.rows:
            print(f"  {what:<{width}}  {seconds:>8}  {ratio:>7}  {aim}".rstrip())


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def parse_releases_the_lock() -> bool:
    """Whether another thread runs while the module parses: this thread
    counts while one parses a Rust token soup of a few hundred milliseconds."""
    import random
    import threading
    import time

    rng = random.Random(1)
    text = " ".join(
        rng.choice(["{", "}", "(", ")", "[", "]", "<", ">", ",", ";", ":", "x", "1"]) for _ in range(10_000)
    )
    parsed = threading.Event()

    def parse() -> None:
        answer("analyse", json.dumps({"content": text, "path": "x.rs", "release_gil": True}))
        parsed.set()

    thread = threading.Thread(target=parse)
    thread.start()
    ticks = 0
    while not parsed.is_set():
        ticks += 1
        time.sleep(0.001)
    thread.join()
    return ticks >= 20


def analyse_part(table: Table, analysed: list[str], rounds: int) -> float | None:
    """The summed best "analyse" seconds, for part 2."""
    if not has_analyse():
        print('"analyse": not a command of this build of the module; its rows are left out')
        return None
    if not analysed:
        print('"analyse": no file to analyse under the root')
        return None
    pair, analyse, disagreeing = time_analysis(analysed, rounds)
    print(f'"analyse" equals "outline" + "syntax-check" on {len(analysed) - len(disagreeing)} of {len(analysed)} files')
    for path in disagreeing[:10]:
        print(f"  differs: {path}")
    table.add(f"outline + syntax-check, {len(analysed)} files", pair)
    table.add("analyse, the same files", analyse, f"{analyse / pair:.2f}x", "<= 0.55x the two commands")
    return analyse


def indexer_part(
    table: Table, root: str, scratch: str, repeat: int, analyse_seconds: float | None, touched: str | None
) -> IndexRun | None:
    """The fresh all-core run, kept for the comparison with ctags."""
    if not indexer_ready():
        print(f"{INDEXER} has no --db, --jobs and --stats yet; the indexer's rows are left out")
        return None
    jobs_counts = sorted({1, 2, CPUS})
    fresh = {jobs: fresh_index(root, scratch, jobs, repeat) for jobs in jobs_counts}
    for jobs in jobs_counts:
        if jobs != CPUS:
            shutil.rmtree(fresh[jobs].folder)
    every = fresh[CPUS]
    again = unchanged_index(root, every, CPUS, repeat)
    after_touch = touched_index(root, every, CPUS, touched, repeat) if touched else None
    single, double = fresh[1].run.seconds, fresh[2].run.seconds
    print(f"fresh index, all cores: {counts_text(every)}")
    print(f"second run:             {counts_text(again)}")
    if after_touch is not None:
        print(
            f"after touching {os.path.relpath(touched, root)}: {counts_text(after_touch)}, "
            f"analysed {after_touch.analysed}"
        )
    table.add("fresh index, --jobs 1", single)
    table.add("fresh index, --jobs 2", double, f"{single / double:.2f}x", ">= 1.85x faster than --jobs 1")
    if analyse_seconds:
        table.add('half the summed "analyse" seconds', analyse_seconds / 2)
        table.add("fresh index, --jobs 2, against that", double, f"{double / (analyse_seconds / 2):.2f}x", "<= 1.15x")
    table.add(
        f"second run, nothing changed, --jobs {CPUS}",
        again.run.seconds,
        f"{every.run.seconds / again.run.seconds:.1f}x",
        "<= 0.25 s",
    )
    if after_touch is not None:
        table.add(
            "second run, one file touched (content unchanged)",
            after_touch.run.seconds,
            "",
            f"parses nothing (parsed: {after_touch.analysed})",
        )
    return every


def ctags_part(
    table: Table, root: str, scratch: str, repeat: int, analysed: int, every: IndexRun | None
) -> Finished | None:
    missing = ctags_missing()
    if missing:
        print(f"ctags: {missing}")
        return None
    ctags, argv = run_ctags(root, scratch, repeat)
    totals = CTAGS_TOTALS.search(ctags.stderr)
    print(f"ctags: {quoted(argv)}")
    print(f"ctags read {totals[1] if totals else '?'} files (the indexer analyses {analysed})")
    table.add("ctags -R, the same languages and folders", ctags.seconds)
    if every is not None:
        same_run = " (the --jobs 2 run)" if CPUS == 2 else ""
        table.add(
            f"fresh index, all {CPUS} cores{same_run}",
            every.run.seconds,
            f"{every.run.seconds / ctags.seconds:.2f}x",
            "<= 1.5x the time of ctags",
        )
    return ctags


def print_memory(every: IndexRun, ctags: Finished | None, floor_kib: int, baseline_mib: float | None) -> None:
    print(f"peak resident memory, fresh index with all {CPUS} cores:")
    if every.stats:
        print(f"  the indexer's --stats: {every.stats:.1f} MiB")
    else:
        print("  the indexer's --stats: (no 'Peak resident memory' line)")
    for what, run in (("largest process of the run", every.run), ("ctags -R", ctags)):
        if run is not None:
            uncounted = (
                f" (processes alive {LEFTOVER_SECONDS} s after the run are not counted)" if run.leftovers else ""
            )
            print(f"  {what} (wait4): {run.peak_kib / 1024:.1f} MiB{uncounted}")
    print(f"  (a process started this way shows at least {floor_kib / 1024:.1f} MiB, the launcher's own)")
    if baseline_mib and every.stats:
        verdict = "below" if every.stats < baseline_mib else "NOT below"
        print(f"  {verdict} the baseline of {baseline_mib:.1f} MiB ({every.stats / baseline_mib:.2f}x; aim: below it)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=sysconfig.get_paths()["stdlib"])
    parser.add_argument(
        "--quick", action="store_true", help=f"measure a copy of the first {QUICK_FILES} selected files only"
    )
    parser.add_argument("--rounds", type=int, default=3, help="calls per file for analyse (best counts)")
    parser.add_argument("--repeat", type=int, default=1, help="runs of the indexer and of ctags (best counts)")
    parser.add_argument(
        "--baseline-rss-mib",
        type=float,
        help="peak memory to stay below: the process pool's parent plus largest worker",
    )
    args = parser.parse_args()

    print(f"command: {quoted([sys.executable] + sys.argv)}")
    print(f"module: {native.__file__}")
    scratch = tempfile.mkdtemp(prefix="bench_indexer_")
    try:
        root = os.path.abspath(args.root)
        entries = native_scan(root)  # reads every selected file: the cache is warm from here on
        if args.quick:
            print(f"quick: the first {QUICK_FILES} of {len(entries)} selected files of {root}")
            root = quick_tree(root, entries, scratch)
            entries = native_scan(root)
        analysed = [f"{root}/{e['path']}" for e in entries if extension(e["path"]) in CTAGS_LANGUAGE]
        print(f"root: {root}")
        print(
            f"selected files: {len(entries)}, of them analysed: {len(analysed)}, "
            f"lines: {sum(e['total_lines'] for e in entries)}"
        )
        print(f"cpus: {CPUS}  load average: {load()}")
        print(
            "the module parses with the interpreter lock released: "
            f"{'yes' if parse_releases_the_lock() else 'no (the threads take turns)'}"
        )
        print()

        table = Table()
        analyse_seconds = analyse_part(table, analysed, args.rounds)
        # A file in the middle of the list: no module the indexer imports.
        touched = analysed[len(analysed) // 2] if analysed else None
        every = indexer_part(table, root, scratch, args.repeat, analyse_seconds, touched)
        ctags = ctags_part(table, root, scratch, args.repeat, len(analysed), every)
        if table.rows:
            print()
            table.print()
        if every is not None:
            print()
            print_memory(every, ctags, launcher_floor_kib(scratch), args.baseline_rss_mib)
        print(f"\nload average at the end: {load()}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
