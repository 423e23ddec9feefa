"""Where the analysis runs: threads of this process, or a Dask cluster.

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
from collections import deque
from typing import Any, Callable, Generator

from .analysis import FileResult, FileTask, analyse_file, payload_json, result_of_answer

# How long the main thread blocks in one wait before it looks again; signals
# are handled between waits at the latest.
WAIT_SECONDS = 0.1
# Results a thread may finish ahead of the one the writer waits for: room for
# the others to go on past a slow file, and a bound on the memory they hold.
RESULTS_AHEAD_PER_THREAD = 256
# Chunks in flight per Dask worker thread: enough to keep every thread busy
# while the parent waits for the oldest chunk.
CHUNKS_IN_FLIGHT_PER_THREAD = 16
LARGEST_CHUNK = 32
# Seconds to reach the scheduler and for its first worker to join, unless
# Dask's configuration (distributed.comm.timeouts.connect) says otherwise.
DEFAULT_CONNECT_SECONDS = 30
CONNECT_GRACE_SECONDS = 1.0


def described(error: BaseException) -> str:
    """An error's first line, for a one-line message. The errors Dask raises
    for an address it cannot use speak for themselves; any other (a memory
    error from a service that speaks another protocol) is named by its type."""
    text = str(error).strip().splitlines()[0] if str(error).strip() else ""
    if isinstance(error, (OSError, TimeoutError, ValueError, TypeError)) and text:
        return text
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


class ClusterError(Exception):
    """The Dask cluster could not be reached or used; the message says how."""


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


class _Failed:
    """An exception a worker thread met outside any one file's analysis,
    raised again in the thread that consumes the results."""

    def __init__(self, error: BaseException):
        self.error = error


class _OrderedRun:
    """One run's tasks over `threads` daemon threads; results are consumed in
    task order by the thread that iterates."""

    def __init__(self, tasks: list[FileTask], threads: int):
        self.tasks = tasks
        self.ahead = threads * RESULTS_AHEAD_PER_THREAD
        self.ready: dict[int, FileResult | _Failed] = {}
        self.next_task = 0
        self.next_result = 0
        self.stopped = False
        self.changed = threading.Condition()
        self.threads = [threading.Thread(target=self._work, name=f"marblewick-analyse-{n}", daemon=True)
                        for n in range(min(threads, len(tasks)))]
        for thread in self.threads:
            thread.start()

    def _take(self) -> int | None:
        with self.changed:
            while (not self.stopped and self.next_task < len(self.tasks)
                   and self.next_task >= self.next_result + self.ahead):
                self.changed.wait()
            if self.stopped or self.next_task >= len(self.tasks):
                return None
            index, self.next_task = self.next_task, self.next_task + 1
            return index

    def _work(self) -> None:
        while (index := self._take()) is not None:
            try:
                result: FileResult | _Failed = analyse_file(self.tasks[index])
            except BaseException as error:  # noqa: BLE001 - raised again by the consumer
                result = _Failed(error)
            with self.changed:
                self.ready[index] = result
                if index == self.next_result:
                    self.changed.notify_all()

    def results(self, on_done: Callable[[int], None],
                on_wait: Callable[[FileTask], None]) -> Generator[FileResult, None, None]:
        for index in range(len(self.tasks)):
            result = self._wait_for(index, on_wait)
            if isinstance(result, _Failed):
                raise result.error
            on_done(1)
            yield result

    def _wait_for(self, index: int, on_wait: Callable[[FileTask], None]) -> FileResult | _Failed:
        while True:
            with self.changed:
                if index not in self.ready:
                    self.changed.wait(WAIT_SECONDS)
                if index in self.ready:
                    result = self.ready.pop(index)
                    self.next_result = index + 1
                    if self.next_task >= index + self.ahead:
                        self.changed.notify_all()  # a thread may wait for room
                    return result
            on_wait(self.tasks[index])  # outside the lock: the writer may write meanwhile

    def stop(self) -> None:
        """No thread starts another file; those inside one are left to it."""
        with self.changed:
            self.stopped = True
            self.changed.notify_all()


class ThreadPool:
    """`threads` threads of this process, each making one "analyse" call at a
    time with the interpreter lock released."""

    def __init__(self, threads: int):
        self.threads = max(1, threads)
        self.peak_worker_kib = 0

    def __enter__(self) -> "ThreadPool":
        return self

    def __exit__(self, *exc) -> None:
        pass

    def analyse_in_order(self, tasks: list[FileTask], on_done: Callable[[int], None] = lambda n: None,
                         on_wait: Callable[[FileTask], None] = lambda task: None,
                         ) -> Generator[FileResult, None, None]:
        """Every task's FileResult, in the order of `tasks`; `on_wait` is
        called, about every WAIT_SECONDS, with the task whose result is being
        waited for."""
        if not tasks:
            return
        run = _OrderedRun(tasks, self.threads)
        try:
            yield from run.results(on_done, on_wait)
        finally:
            run.stop()


def read_text(location: str) -> str | None:
    """The file's text for a worker that cannot see the tree; None when the
    parent cannot read it as UTF-8."""
    try:
        with open(location, "rb") as handle:
            return handle.read().decode("utf-8")
    except (OSError, UnicodeDecodeError, ValueError):
        return None


def chunk_size(files: int, threads: int) -> int:
    """Big enough that a task is worth sending, small enough that every
    thread gets several and a slow file holds back few others."""
    return max(1, min(LARGEST_CHUNK, files // (threads * 8)))


class _Chunk:
    """A chunk's results in task order: those computed here (files the parent
    could not read, analysed by path so the module words the failure) and the
    future of the rest."""

    def __init__(self, tasks: list[FileTask], local: dict[int, FileResult], remote):
        self.tasks = tasks
        self.local = local
        self.remote = remote


class DaskPool:
    """The threads of a Dask cluster's workers. The parent reads each file and
    sends its text; a task is a chunk of payload strings for a function that
    travels by value, so the scheduler and the workers need the native module
    and nothing of this package; the parent shapes each answer into rows."""

    def __init__(self, address: str, grammars: list[dict] | None = None):
        self.address = address
        # The grammars each chunk registers on its worker first.
        self.grammars = grammars or []
        self.client: Any = None
        self.peak_worker_kib = 0

    def __enter__(self) -> "DaskPool":
        try:
            import dask
            from distributed import Client
        except ImportError:
            raise ClusterError("--scheduler needs Dask's distributed package: "
                               "pip install '.[distributed]'") from None
        from . import remote

        self.analyse_chunk = remote.travelling(remote.analyse_chunk)
        connect = dask.utils.parse_timedelta(
            dask.config.get("distributed.comm.timeouts.connect", DEFAULT_CONNECT_SECONDS), default="seconds")
        # Dask bounds the connection, not the exchange that follows it: a
        # service that accepts and never answers would hold the run for
        # minutes, and one that answers in another protocol makes it fail in
        # its own ways. Each step gets the connect timeout, and a little more
        # so that Dask's own message comes first where it has one.
        seconds = connect + CONNECT_GRACE_SECONDS
        try:
            self.client = call_in_thread(lambda: Client(self.address, timeout=connect), seconds=seconds)
        except Exception as error:  # noqa: BLE001 - whatever it is, the scheduler could not be used
            raise ClusterError(f"cannot reach the Dask scheduler at {self.address}: "
                               f"{described(error)}") from None
        try:
            call_in_thread(self.client.wait_for_workers, 1, connect, seconds=seconds)
        except Exception as error:  # noqa: BLE001 - as above
            self.close()
            raise ClusterError(f"no worker joined the Dask scheduler at {self.address}: "
                               f"{described(error)}") from None
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if self.client is not None:
            client, self.client = self.client, None
            try:
                client.close(timeout=2)
            except Exception:  # noqa: BLE001 - a cluster already gone has nothing left to close
                pass

    def analyse_in_order(self, tasks: list[FileTask], on_done: Callable[[int], None] = lambda n: None,
                         on_wait: Callable[[FileTask], None] = lambda task: None,
                         ) -> Generator[FileResult, None, None]:
        """Every task's FileResult, in the order of `tasks`, as ThreadPool's."""
        threads = max(1, sum(self.client.nthreads().values()))
        size = chunk_size(len(tasks), threads)
        in_flight: deque[_Chunk] = deque()
        try:
            for start in range(0, len(tasks), size):
                in_flight.append(self._submit(tasks[start:start + size]))
                if len(in_flight) >= threads * CHUNKS_IN_FLIGHT_PER_THREAD:
                    yield from self._collect(in_flight.popleft(), on_done, on_wait)
            while in_flight:
                yield from self._collect(in_flight.popleft(), on_done, on_wait)
        finally:
            # An interrupted or failed run leaves nothing queued on the cluster.
            futures = [chunk.remote for chunk in in_flight if chunk.remote is not None]
            if futures and self.client is not None:
                try:
                    self.client.cancel(futures)
                except Exception:  # noqa: BLE001 - the run is ending; a gone cluster keeps nothing
                    pass

    def _submit(self, tasks: list[FileTask]) -> _Chunk:
        local: dict[int, FileResult] = {}
        payloads = []
        for index, task in enumerate(tasks):
            text = read_text(task.location)
            if text is None:
                local[index] = analyse_file(task)
            else:
                payloads.append(payload_json(task, text))
        future = self.client.submit(self.analyse_chunk, payloads, self.grammars, pure=False) if payloads else None
        return _Chunk(tasks, local, future)

    def _collect(self, chunk: _Chunk, on_done: Callable[[int], None],
                 on_wait: Callable[[FileTask], None]) -> Generator[FileResult, None, None]:
        outcomes: list[tuple[bool, str]] = []
        if chunk.remote is not None:
            outcomes = self._outcomes(chunk, on_wait)
        remote = iter(outcomes)
        results = []
        for index, task in enumerate(chunk.tasks):
            if index in chunk.local:
                results.append(chunk.local[index])
                continue
            succeeded, text = next(remote)
            results.append(result_of_answer(task.path, text) if succeeded
                           else FileResult(task.path, None, 0, [], [], text))
        on_done(len(results))
        yield from results

    def _outcomes(self, chunk: _Chunk, on_wait: Callable[[FileTask], None]) -> list[tuple[bool, str]]:
        future = chunk.remote
        while not self._finished(chunk):
            on_wait(chunk.tasks[0])  # its failures are the index's, not the cluster's
        try:
            outcomes, peak_kib = future.result()
        except Exception as error:  # noqa: BLE001 - a file's failure is an outcome, so this is the cluster's
            raise self._failure(chunk, error) from None
        self.peak_worker_kib = max(self.peak_worker_kib, peak_kib)
        return outcomes

    def _finished(self, chunk: _Chunk) -> bool:
        """Whether the chunk's task is done, after waiting up to WAIT_SECONDS."""
        from distributed import wait

        try:
            wait([chunk.remote], timeout=WAIT_SECONDS)
        except TimeoutError:
            return False
        except Exception as error:  # noqa: BLE001 - as in _outcomes
            raise self._failure(chunk, error) from None
        return True

    def _failure(self, chunk: _Chunk, error: BaseException) -> ClusterError:
        return ClusterError(f"the Dask cluster at {self.address} failed on the files from "
                            f"{chunk.tasks[0].path}: {type(error).__name__}: {error}")


def default_jobs() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
