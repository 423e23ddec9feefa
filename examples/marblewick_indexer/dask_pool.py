"""The analysis on the threads of a Dask cluster's workers."""

from __future__ import annotations

from collections import deque
from typing import Any, Callable, Generator

from .analysis import FileResult, FileTask, analyse_file, failed_result, payload_json, result_of_answer
from .workers import WAIT_SECONDS, call_in_thread

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
            raise ClusterError("--scheduler needs Dask's distributed package: pip install '.[distributed]'") from None
        from . import remote

        self.analyse_chunk = remote.travelling(remote.analyse_chunk)
        connect = dask.utils.parse_timedelta(
            dask.config.get("distributed.comm.timeouts.connect", DEFAULT_CONNECT_SECONDS), default="seconds"
        )
        # Dask bounds the connection, not the exchange that follows it: a
        # service that accepts and never answers would hold the run for
        # minutes, and one that answers in another protocol makes it fail in
        # its own ways. Each step gets the connect timeout, and a little more
        # so that Dask's own message comes first where it has one.
        seconds = connect + CONNECT_GRACE_SECONDS
        try:
            self.client = call_in_thread(lambda: Client(self.address, timeout=connect), seconds=seconds)
        except Exception as error:  # noqa: BLE001 - whatever it is, the scheduler could not be used
            raise ClusterError(f"cannot reach the Dask scheduler at {self.address}: {described(error)}") from None
        try:
            call_in_thread(self.client.wait_for_workers, 1, connect, seconds=seconds)
        except Exception as error:  # noqa: BLE001 - as above
            self.close()
            raise ClusterError(f"no worker joined the Dask scheduler at {self.address}: {described(error)}") from None
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

    def analyse_in_order(
        self,
        tasks: list[FileTask],
        on_done: Callable[[int], None] = lambda n: None,
        on_wait: Callable[[FileTask], None] = lambda task: None,
    ) -> Generator[FileResult, None, None]:
        """Every task's FileResult, in the order of `tasks`, as ThreadPool's."""
        threads = max(1, sum(self.client.nthreads().values()))
        size = chunk_size(len(tasks), threads)
        in_flight: deque[_Chunk] = deque()
        try:
            for start in range(0, len(tasks), size):
                in_flight.append(self._submit(tasks[start : start + size]))
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

    def _collect(
        self, chunk: _Chunk, on_done: Callable[[int], None], on_wait: Callable[[FileTask], None]
    ) -> Generator[FileResult, None, None]:
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
            results.append(result_of_answer(task.path, text) if succeeded else failed_result(task.path, text))
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
        return ClusterError(
            f"the Dask cluster at {self.address} failed on the files from "
            f"{chunk.tasks[0].path}: {type(error).__name__}: {error}"
        )
