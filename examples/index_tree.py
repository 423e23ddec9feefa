#!/usr/bin/env python3
"""Index a source tree the way our users should drive the native module.

    python examples/index_tree.py [ROOT] [--db PATH] [--jobs N] [--timeout-ms MS]
                                  [--scheduler ADDRESS] [--find NAME] [--problems]
                                  [--languages[=NAME,...]]

Every grammar package installed beside the module is registered with it
first (--languages=NAME,... analyses only those languages; --languages alone
lists them). One "scan" of ROOT (default: the current directory) per run; each new or
changed file with a grammar gets one "analyse" call in a pool of threads
(or on a Dask cluster), and the results go into an SQLite index (default:
./.marblewick-index.sqlite) that the next run updates instead of rebuilding.
It prints files, lines and symbols per language, symbols per kind, the files that do
not parse (with their first problem) and the files that could not be
analysed; --find and --problems answer from the index instead. Progress bars
go to stderr (tqdm when installed: pip install '.[examples]').
"""

import os
import sys

# The exit status of a run ended by Ctrl-C, as shells report one (128 + SIGINT).
INTERRUPTED = 130


def end(status: int) -> None:
    """Ends the process with `status`. A run that did not finish may leave
    analysis threads inside a native call that nothing can cut short; the
    index is closed by then, so end here rather than wait for them while the
    interpreter shuts down."""
    if status == 0:
        sys.exit(0)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass  # a reader that went away: nothing more to say to it
    os._exit(status)


if __name__ == "__main__":
    try:
        # The package beside this script, also under `python -P` or
        # PYTHONSAFEPATH, which leave the script's folder off the import path.
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        from marblewick_indexer.cli import main

        status = main()
    except KeyboardInterrupt:
        # Ctrl-C before the run began (while the modules load) or after it
        # ended (while its answer is printed): nothing is left half-written.
        try:
            print(
                "index_tree.py: interrupted; the index keeps the batches written so far, and the next run completes it",
                file=sys.stderr,
            )
        except (KeyboardInterrupt, OSError):
            pass
        status = INTERRUPTED
    end(status)
