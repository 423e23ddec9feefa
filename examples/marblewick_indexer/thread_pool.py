"""The analysis on threads of this process, each making one "analyse" call
at a time with the interpreter lock released."""

from __future__ import annotations

import threading
from typing import Callable, Generator

from .analysis import FileResult, FileTask, analyse_file
from .workers import WAIT_SECONDS

# Results a thread may finish ahead of the one the writer waits for: room for
# the others to go on past a slow file, and a bound on the memory they hold.
RESULTS_AHEAD_PER_THREAD = 256


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
        self.threads = [
            threading.Thread(target=self._work, name=f"marblewick-analyse-{n}", daemon=True)
            for n in range(min(threads, len(tasks)))
        ]
        for thread in self.threads:
            thread.start()

    def _take(self) -> int | None:
        with self.changed:
            while (
                not self.stopped
                and self.next_task < len(self.tasks)
                and self.next_task >= self.next_result + self.ahead
            ):
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

    def results(
        self, on_done: Callable[[int], None], on_wait: Callable[[FileTask], None]
    ) -> Generator[FileResult, None, None]:
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

    def analyse_in_order(
        self,
        tasks: list[FileTask],
        on_done: Callable[[int], None] = lambda n: None,
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
