"""Figures for the foundation: "hash" throughput against hashlib, and the cost of
one run() call at the boundary. Prints ratios; run it on a quiet machine:

    python -m benchmarks.bench_foundation [--size-mib 256]
"""

import argparse
import hashlib
import json
import os
import tempfile
import timeit

import marblewick_index_native as m

from harness.timing import best_of


def write_text_file(path, size, line_ending):
    line = ("def function_%06d(argument):  return argument * 2  # padding text" + line_ending).encode()
    with open(path, "wb") as out:
        written = 0
        block = line * 4096
        while written < size:
            out.write(block)
            written += len(block)


def bench_hash(size_mib):
    size = size_mib * 1024 * 1024
    with tempfile.TemporaryDirectory() as folder:
        for ending, label in (("\n", "LF only"), ("\r\n", "CR LF")):
            path = os.path.join(folder, "big.txt")
            write_text_file(path, size, ending)
            payload = json.dumps({"path": path})
            with open(path, "rb") as handle:  # warm the page cache
                data = handle.read()
            mib = len(data) / (1024 * 1024)

            def read_bytes():
                with open(path, "rb") as handle:
                    return handle.read()

            t_hashlib, _ = best_of(5, lambda: hashlib.sha256(data).hexdigest())
            t_read_hashlib, _ = best_of(5, lambda: hashlib.sha256(read_bytes()).hexdigest())
            t_ours, _ = best_of(5, lambda: m.run("hash", payload))
            print(f'"hash" of a {mib:.0f} MiB {label} text file (page cache warm, best of 5):')
            print(f"  hashlib.sha256 over bytes in memory : {mib / t_hashlib:8.0f} MiB/s")
            print(f"  read + hashlib.sha256               : {mib / t_read_hashlib:8.0f} MiB/s")
            print(f"  run('hash')                         : {mib / t_ours:8.0f} MiB/s")
            print(f"  ratio run('hash') / hashlib in memory : {t_hashlib / t_ours:.3f}x")
            print(f"  ratio run('hash') / read + hashlib    : {t_read_hashlib / t_ours:.3f}x")
            data = b""  # frees the text before the next one is written


def bench_boundary():
    def unknown_command():
        try:
            m.run("no-such-command", "{}")
        except RuntimeError:
            pass

    def python_raise():
        try:
            raise RuntimeError("unknown command: no-such-command")
        except RuntimeError:
            pass

    number = 200_000
    per_call = lambda f: min(timeit.repeat(f, number=number, repeat=5)) / number * 1e9
    t_len = per_call(lambda: len("x"))
    t_raise = per_call(python_raise)
    t_run = per_call(unknown_command)
    print("One run() call with an unknown command and the payload {} (best of 5):")
    print(f"  len('x') through a lambda            : {t_len:7.0f} ns")
    print(f"  a Python raise/except of RuntimeError : {t_raise:7.0f} ns")
    print(f"  run('no-such-command', '{{}}')         : {t_run:7.0f} ns")
    print(f"  our own cost (run minus raise/except) : {t_run - t_raise:7.0f} ns")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=256)
    arguments = parser.parse_args()
    bench_hash(arguments.size_mib)
    bench_boundary()
