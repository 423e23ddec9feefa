"""What a Dask worker runs: a chunk of "analyse" calls on payload strings.

A cluster's scheduler and workers have the native module installed but not
this package, so this function travels by value (see travelling): its code
may use the standard library and the native module only. Every file's
outcome comes back as plain text, a module error included, so a task that
fails is always the cluster's failure, never a file's.
"""

from __future__ import annotations

import resource

import marblewick_index_native as native


def analyse_chunk(payloads: list[str]) -> tuple[list[tuple[bool, str]], int]:
    """(succeeded, answer or error text) per payload, and this worker's peak
    resident memory in KiB so far (the parent reports the largest)."""
    outcomes = []
    for payload in payloads:
        try:
            outcomes.append((True, native.run("analyse", payload)))
        except RuntimeError as error:
            outcomes.append((False, str(error)))
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # noqa: BLE001 - a fault of one file, kept as its outcome
            outcomes.append((False, f"{type(error).__name__}: {error}"))
    return outcomes, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


class travelling:
    """A callable that pickles as its function's code rather than as a name
    to import: unpickling it anywhere yields the function itself. Dask pickles
    a task's function by name whenever the sender can import it, which the
    cluster then cannot."""

    def __init__(self, function):
        import cloudpickle  # type: ignore[import-untyped,unused-ignore]

        self.function = function
        cloudpickle.register_pickle_by_value(__import__(function.__module__, fromlist=["_"]))
        self.code = cloudpickle.dumps(function)
        self.__name__ = function.__name__

    def __call__(self, *args):
        return self.function(*args)

    def __reduce__(self):
        import cloudpickle

        return cloudpickle.loads, (self.code,)
