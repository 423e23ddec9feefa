"""Where the analysis runs: threads of this process (thread_pool.py), or a
Dask cluster (dask_pool.py), both used as one AnalysisPool.

Results come back in the order the files were given, whatever order the
workers finish in, so the index a run writes does not depend on the pool's
size or timing.

The main thread never makes a long native call itself: it waits on its
workers with short timeouts, so Ctrl-C reaches it at once while they parse.
The threads are daemons that an interrupted run leaves behind; index_tree.py
then ends the process without waiting for their calls.
"""

from __future__ import annotations

import os
import threading
import time
from typing import Callable, Generator, Protocol, Self

from .analysis import FileResult, FileTask

# How long the main thread blocks in one wait before it looks again; signals
# are handled between waits at the latest.
WAIT_SECONDS = 0.1


class AnalysisPool(Protocol):
    """What a run needs of the place its analysis runs in."""

    # The most memory one worker process held, where the pool can tell (KiB).
    peak_worker_kib: int

    def __enter__(self) -> Self: ...

    def __exit__(self, *exc: object) -> None: ...

    def analyse_in_order(
        self, tasks: list[FileTask], on_done: Callable[[int], None] = ..., on_wait: Callable[[FileTask], None] = ...
    ) -> Generator[FileResult, None, None]:
        """Every task's FileResult, in the order of `tasks`; `on_done` is
        called with how many results were handed over, and `on_wait`, about
        every WAIT_SECONDS, with the task whose result is being waited for."""
        ...


def call_in_thread(function: Callable, *args, seconds: float | None = None):
    """function(*args), run in a daemon thread while this one waits, so that
    a long native call (the scan) does not keep Ctrl-C from the main thread.
    With `seconds`, a call still running after that long is left to its
    thread, and TimeoutError is raised instead."""
    outcome: list = []

    def target() -> None:
        try:
            outcome.append((True, function(*args)))
        except BaseException as error:  # noqa: BLE001 - handed to the waiting thread
            outcome.append((False, error))

    thread = threading.Thread(target=target, name="marblewick-call", daemon=True)
    thread.start()
    deadline = None if seconds is None else time.monotonic() + seconds
    while thread.is_alive():
        if deadline is not None and time.monotonic() >= deadline:
            raise TimeoutError(f"no answer within {seconds:g} s")
        thread.join(WAIT_SECONDS)
    succeeded, value = outcome[0]
    if not succeeded:
        raise value
    return value


def default_jobs() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
