"""One "analyse" call per file, and its answer turned into plain rows the
parent writes without further work.

The call asks the module to release the interpreter lock while it reads,
parses and answers, so the pool's threads parse at once. A Dask worker makes
the same call on the payload string the parent built (remote.py); the rows
are shaped here, in the parent, from the answer text that comes back.
"""

from __future__ import annotations

import json
import re
from typing import NamedTuple

import marblewick_index_native as native

# The failure a parse over its budget is recorded with; a later run with a
# larger budget analyses such a file again.
BUDGET_FAILURE = re.compile(r"parse did not finish within (\d+) ms")
# What the module answers when the system refuses it memory, and how a
# memory error of the interpreter is recorded: a fact about the moment (other
# files parsed beside it), not about the file, so never its recorded result.
MEMORY_FAILURE = re.compile(r"out of memory|MemoryError(: .*)?", re.DOTALL)


class FileTask(NamedTuple):
    """One file to analyse: `path` is relative to the root, `location` is
    where the parent finds it, and `language` what it is analysed as (None:
    what the module detects from the path)."""

    path: str
    location: str
    timeout_ms: int
    language: str | None = None


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


def payload_json(task: FileTask, content: str | None = None) -> str:
    """The "analyse" payload: the file by its location, or, for workers that
    cannot see the tree, the text the parent read (no file is opened then)."""
    payload: dict = {"path": task.location} if content is None else {"content": content, "path": task.path}
    if task.language is not None:
        payload["language"] = task.language
    if task.timeout_ms > 0:
        payload["timeout_ms"] = task.timeout_ms
    payload["release_gil"] = True
    return json.dumps(payload)


def larger_budget_may_finish(failure: str | None, timeout_ms: int) -> bool:
    """Whether a file recorded with `failure` deserves another parse under a
    budget of `timeout_ms` (0: none): only a parse that ran out of a smaller
    budget than this one."""
    if failure is None:
        return False
    over = BUDGET_FAILURE.fullmatch(failure)
    return over is not None and (timeout_ms == 0 or timeout_ms > int(over[1]))


def short_of_memory(failure: str | None) -> bool:
    return failure is not None and MEMORY_FAILURE.fullmatch(failure) is not None


def symbol_rows(symbols: list[dict]) -> list[tuple]:
    """The outline's records with each member's enclosing declaration: the
    nearest record before it one level up."""
    rows = []
    enclosing: dict[int, int] = {}
    for ordinal, symbol in enumerate(symbols):
        depth = symbol["depth"]
        enclosing[depth] = ordinal
        parent = enclosing.get(depth - 1) if depth > 0 else None
        rows.append(
            (
                ordinal,
                symbol["name"],
                symbol["kind"],
                symbol["line"],
                symbol["end_line"],
                depth,
                symbol["signature"],
                parent,
            )
        )
    return rows


def problem_rows(errors: list[dict]) -> list[tuple]:
    return [(ordinal, e["line"], e["column"], e["kind"], e["message"]) for ordinal, e in enumerate(errors)]


def result_of_answer(path: str, answer_json: str) -> FileResult:
    answer = json.loads(answer_json)
    outline, check = answer["outline"], answer["syntax_check"]
    symbols = symbol_rows(outline["symbols"]) if outline["checked"] else []
    if not check["checked"]:
        return FileResult(path, None, 0, symbols, [], None)
    return FileResult(path, check["valid"], check["error_count"], symbols, problem_rows(check["errors"]), None)


def failed_result(path: str, failure: str) -> FileResult:
    """A file that could not be analysed at all, and why."""
    return FileResult(path, None, 0, [], [], failure)


def result_of_failure(path: str, error: BaseException) -> FileResult:
    """A file the module could not analyse: its RuntimeError's text, or, for
    an internal fault (which derives from BaseException), its type as well."""
    return failed_result(path, str(error) if isinstance(error, RuntimeError) else f"{type(error).__name__}: {error}")


def analyse_file(task: FileTask) -> FileResult:
    """One bad file is a result, never an exception."""
    try:
        answer = native.run("analyse", payload_json(task))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - a fault of one file, kept as its result
        return result_of_failure(task.path, error)
    return result_of_answer(task.path, answer)
