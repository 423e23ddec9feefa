"""Helpers shared by the syntax-check and outline tests."""

import errno
import json
import os
import random

import marblewick_index_native

NO_GRAMMAR_LANGUAGES = ["toml", "", "Python", "JSON", " python", "ts", "yaml"]


def run_json(command, payload):
    """Runs one command with a payload (any JSON value) and decodes its answer."""
    text = marblewick_index_native.run(command, json.dumps(payload))
    # Results are compact and ordered by key; check the text, not only the value.
    assert "\n" not in text
    value = json.loads(text)
    assert list(value) == sorted(value)
    return value


def run_error(command, payload):
    """Runs a command that must fail and gives its error text."""
    try:
        marblewick_index_native.run(command, json.dumps(payload))
    except RuntimeError as error:
        return str(error)
    raise AssertionError(f"{command} {payload!r} did not fail")


def enoent_text():
    return f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


def random_text(rng: random.Random, length: int, alphabet: str, replacement: str) -> str:
    """Text mixing source-like tokens with arbitrary characters (surrogates,
    which a str cannot carry into UTF-8, become `replacement`)."""
    chars = []
    for _ in range(length):
        if rng.random() < 0.6:
            chars.append(rng.choice(alphabet))
        else:
            code = rng.randrange(0x110000)
            chars.append(chr(code) if not 0xD800 <= code < 0xE000 else replacement)
    return "".join(chars)
