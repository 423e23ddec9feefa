"""What runs in the workers: one "analyse" call per file, turned into plain
rows the parent can write without further work.

Everything a worker receives and returns is a plain tuple, so the same code
runs in a local process pool and, pickled by value, on Dask workers that have
never seen this package.
"""

from __future__ import annotations

import json
import resource
from typing import NamedTuple

import marblewick_index_native as native


class FileTask(NamedTuple):
    """One file to analyse. `path` is relative to the root and names the
    language; the text is `content` when the parent read it (workers that may
    not see the tree), else the file at `location`."""

    path: str
    location: str
    content: str | None
    timeout_ms: int


class FileResult(NamedTuple):
    path: str
    # True or False when the text was checked, None when it was not (no
    # grammar) or could not be analysed.
    valid: bool | None
    error_count: int
    # (ordinal, name, kind, line, end_line, depth, signature, parent ordinal or None)
    symbols: list[tuple]
    # (ordinal, line, column, kind, message)
    problems: list[tuple]
    # The module's error text when the file could not be analysed at all.
    failure: str | None


def payload_of(task: FileTask) -> dict:
    if task.content is None:
        payload: dict = {"path": task.location}
    else:
        # The path only names the language here; the file is not opened.
        payload = {"content": task.content, "path": task.path}
    if task.timeout_ms > 0:
        payload["timeout_ms"] = task.timeout_ms
    return payload


def symbol_rows(symbols: list[dict]) -> list[tuple]:
    """The outline's records with each member's enclosing declaration: the
    nearest record before it one level up."""
    rows = []
    enclosing: dict[int, int] = {}
    for ordinal, symbol in enumerate(symbols):
        depth = symbol["depth"]
        enclosing[depth] = ordinal
        parent = enclosing.get(depth - 1) if depth > 0 else None
        rows.append((ordinal, symbol["name"], symbol["kind"], symbol["line"], symbol["end_line"],
                     depth, symbol["signature"], parent))
    return rows


def problem_rows(errors: list[dict]) -> list[tuple]:
    return [(ordinal, e["line"], e["column"], e["kind"], e["message"])
            for ordinal, e in enumerate(errors)]


def analyse_file(task: FileTask) -> tuple:
    """A FileResult as a plain tuple. One bad file is a result, never an
    exception: the module reports every failure as RuntimeError, and an
    internal fault (which derives from BaseException) is recorded the same way."""
    try:
        answer = json.loads(native.run("analyse", json.dumps(payload_of(task))))
    except RuntimeError as error:
        return tuple(FileResult(task.path, None, 0, [], [], str(error)))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - a fault of one file, kept as its result
        return tuple(FileResult(task.path, None, 0, [], [], f"{type(error).__name__}: {error}"))
    outline, check = answer["outline"], answer["syntax_check"]
    symbols = symbol_rows(outline["symbols"]) if outline["checked"] else []
    if not check["checked"]:
        return tuple(FileResult(task.path, None, 0, symbols, [], None))
    return tuple(FileResult(task.path, check["valid"], check["error_count"], symbols,
                            problem_rows(check["errors"]), None))


def analyse_chunk(tasks: list[tuple]) -> tuple[list[tuple], int]:
    """Results for a chunk of files, with this worker's peak resident memory
    in KiB so far (the parent reports the largest)."""
    results = [analyse_file(FileTask(*task)) for task in tasks]
    return results, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
