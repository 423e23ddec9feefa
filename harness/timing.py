"""The timer the benchmarks share: one run's wall and CPU time, and the best
of several runs."""

import resource
import time


def cpu_seconds() -> float:
    """CPU time of this process (all its threads) and of its finished children."""
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed(action) -> tuple[float, float]:
    """(wall time, CPU time) of one run of `action`. The CPU time is read
    outside the wall-clock window, so it never adds to the wall time."""
    cpu = cpu_seconds()
    start = time.perf_counter()
    action()
    wall = time.perf_counter() - start
    return wall, cpu_seconds() - cpu


def best_of(repeats: int, action, warm_up: bool = False) -> tuple[float, float]:
    """(best wall time, CPU time of that run) over `repeats` runs of `action`;
    with `warm_up`, after one untimed run (the page cache, a worker pool). CPU
    time is the steadier figure on a machine whose cores are shared with other
    work."""
    if warm_up:
        action()
    return min(timed(action) for _ in range(repeats))
