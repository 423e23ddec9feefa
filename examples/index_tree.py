#!/usr/bin/env python3
"""Index a source tree the way our users should drive the native module.

    python examples/index_tree.py [ROOT] [--db PATH] [--jobs N] [--timeout-ms MS]
                                  [--scheduler ADDRESS] [--find NAME] [--problems]

One "scan" of ROOT (default: the current directory) per run; each new or
changed file with a grammar gets one "analyse" call in a pool of threads
(or on a Dask cluster), and the results go into an SQLite index (default:
./.marblewick-index.sqlite) that the next run updates instead of rebuilding.
It prints files and lines per language, symbols per kind, the files that do
not parse (with their first problem) and the files that could not be
analysed; --find and --problems answer from the index instead. Progress bars
go to stderr (tqdm when installed: pip install '.[examples]').
"""

import os
import sys

# The package beside this script, also under `python -P` or PYTHONSAFEPATH,
# which leave the script's folder off the import path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from marblewick_indexer.cli import INTERRUPTED, main  # noqa: E402

if __name__ == "__main__":
    status = main()
    if status == INTERRUPTED:
        # Analysis threads may still be inside a native call that nothing can
        # cut short; the index is closed, so end here rather than wait for
        # them while the interpreter shuts down.
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except OSError:
                pass  # a reader that went away: nothing more to say to it
        os._exit(status)
    sys.exit(status)
