"""Where the analysis runs: a local pool of processes, or a Dask cluster
through its concurrent.futures executor. Results come back in the order the
files were given, whatever order the workers finish in, so the index a run
writes does not depend on the pool's size or timing."""

from __future__ import annotations

import multiprocessing
import os
from collections import deque
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from contextlib import contextmanager
from typing import Callable, Iterable, Iterator

from . import analysis
from .analysis import FileResult, FileTask

# Chunks per worker that are in flight at once: enough to keep every worker
# busy while the parent waits for the oldest chunk.
CHUNKS_IN_FLIGHT_PER_WORKER = 16
LARGEST_CHUNK = 32


class Pool:
    """An executor with the number of workers behind it, and whether those
    workers can read the tree themselves."""

    def __init__(self, executor: Executor, workers: int, reads_files: bool):
        self.executor = executor
        self.workers = max(1, workers)
        self.reads_files = reads_files
        # The largest peak resident memory a worker reported, in KiB.
        self.peak_worker_kib = 0


@contextmanager
def local_pool(jobs: int) -> Iterator[Pool]:
    # forkserver: workers never inherit the parent's open database or threads.
    context = multiprocessing.get_context("forkserver")
    with ProcessPoolExecutor(max_workers=jobs, mp_context=context) as executor:
        yield Pool(executor, jobs, reads_files=True)


@contextmanager
def dask_pool(address: str) -> Iterator[Pool]:
    try:
        import cloudpickle  # type: ignore[import-untyped,unused-ignore]
        from distributed import Client
    except ImportError:
        raise SystemExit("--scheduler needs Dask's distributed package: "
                         "pip install '.[distributed]'") from None
    # Cluster workers have the native module installed but not this package:
    # the analysis code travels with each task.
    cloudpickle.register_pickle_by_value(analysis)
    with Client(address) as client:
        workers = sum(client.nthreads().values())
        yield Pool(client.get_executor(), workers, reads_files=False)


def chunk_size(files: int, workers: int) -> int:
    """Big enough that a task is worth sending, small enough that every worker
    gets several and a slow file holds back few others."""
    return max(1, min(LARGEST_CHUNK, files // (workers * 8)))


def read_for_worker(task: FileTask) -> FileTask | None:
    """The task with the file's text in it, for workers that cannot see the
    tree; None when the parent cannot read it as UTF-8 text."""
    try:
        with open(task.location, "rb") as handle:
            text = handle.read().decode("utf-8")
    except (OSError, UnicodeDecodeError, ValueError):
        return None
    return task._replace(content=text)


class _Chunk:
    """A chunk's results in task order: those computed here (files the parent
    could not read, analysed by path so the module words the failure) and the
    future of the rest."""

    def __init__(self, size: int, local: dict[int, tuple], remote: Future | None):
        self.size = size
        self.local = local
        self.remote = remote

    def results(self, pool: Pool) -> list[tuple]:
        remote: list[tuple] = []
        if self.remote is not None:
            remote, peak_kib = self.remote.result()
            pool.peak_worker_kib = max(pool.peak_worker_kib, peak_kib)
        remote_iter = iter(remote)
        return [self.local[i] if i in self.local else next(remote_iter) for i in range(self.size)]


def _submit(pool: Pool, tasks: list[FileTask]) -> _Chunk:
    local: dict[int, tuple] = {}
    remote: list[FileTask] = []
    for index, task in enumerate(tasks):
        if pool.reads_files:
            remote.append(task)
            continue
        readable = read_for_worker(task)
        if readable is None:
            local[index] = analysis.analyse_file(task)
        else:
            remote.append(readable)
    future = pool.executor.submit(analysis.analyse_chunk, [tuple(t) for t in remote]) if remote else None
    return _Chunk(len(tasks), local, future)


def analyse_in_order(pool: Pool, tasks: list[FileTask],
                     on_done: Callable[[int], None] = lambda n: None) -> Iterable[FileResult]:
    """Every task's FileResult, in the order of `tasks`."""
    size = chunk_size(len(tasks), pool.workers)
    in_flight: deque[_Chunk] = deque()
    limit = pool.workers * CHUNKS_IN_FLIGHT_PER_WORKER
    for start in range(0, len(tasks), size):
        in_flight.append(_submit(pool, tasks[start:start + size]))
        if len(in_flight) >= limit:
            yield from _collect(pool, in_flight.popleft(), on_done)
    while in_flight:
        yield from _collect(pool, in_flight.popleft(), on_done)


def _collect(pool: Pool, chunk: _Chunk, on_done: Callable[[int], None]) -> Iterator[FileResult]:
    results = chunk.results(pool)
    on_done(len(results))
    for result in results:
        yield FileResult(*result)


def default_jobs() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
