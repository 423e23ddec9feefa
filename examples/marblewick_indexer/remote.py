"""What a Dask worker runs: a chunk of "analyse" calls on payload strings.

A cluster's scheduler and workers have the native module installed but not
this package, so this function travels by value (see travelling): its code
may use the standard library and the native module only. Every file's
outcome comes back as plain text, a module error included, so a task that
fails is always the cluster's failure, never a file's.

Registered grammars live in the process that registered them, so each chunk
first registers, in the worker, the grammars the parent registered (again is
a no-op). A worker that cannot (its machine lacks the package) fails the
task: its files would otherwise come back unchecked, as if they had no
grammar.
"""

from __future__ import annotations

import json
import resource

import marblewick_index_native as native


def register_grammar(language: str, package: str, function: str, extensions: list[str], tags: str | None) -> str:
    """The module's "register-grammar" for one grammar; its answer text."""
    payload = {"language": language, "package": package, "function": function, "extensions": extensions}
    if tags is not None:
        payload["tags"] = tags
    return native.run("register-grammar", json.dumps(payload))


def register_grammars(grammars: list[dict]) -> None:
    """Registers the parent's grammars here, each tags query found where this
    machine's installation of its distribution put it."""
    from importlib.metadata import distribution

    for grammar in grammars:
        try:
            tags = None
            if grammar["tags_file"] is not None:
                tags = str(distribution(grammar["distribution"]).locate_file(grammar["tags_file"]))
            register_grammar(grammar["language"], grammar["package"], grammar["function"], grammar["extensions"], tags)
        except Exception as error:
            raise RuntimeError(
                f"this worker cannot register the grammar of {grammar['language']} ({grammar['distribution']}): {error}"
            ) from None


def analyse_chunk(payloads: list[str], grammars: list[dict] | None = None) -> tuple[list[tuple[bool, str]], int]:
    """(succeeded, answer or error text) per payload, and this worker's peak
    resident memory in KiB so far (the parent reports the largest)."""
    register_grammars(grammars or [])
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
