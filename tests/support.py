"""Helpers for the whole suite: every test goes through the module's one function."""

import hashlib
import json
import os
import random

import pytest

import marblewick_index_native

# Language names that resolve to no grammar: a no-result answer, never a parse.
NO_GRAMMAR_LANGUAGES = ["toml", "", "Python", "JSON", " python", "ts", "yaml"]


def payload_text(payload) -> str:
    """A payload given as a Python value, or as raw JSON text when it is a str."""
    return payload if isinstance(payload, str) else json.dumps(payload)


def run_json(command: str, payload) -> dict:
    """Runs a command and decodes its answer, which must be compact JSON (no
    blank, no line break) with the keys of every object in byte order."""
    text = marblewick_index_native.run(command, payload_text(payload))
    assert type(text) is str
    value = json.loads(text)
    # Writing the decoded value back the same way must give the very same text.
    assert text == json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
    return value


def run_error(command: str, payload) -> str:
    """The text of the RuntimeError a command raises for a payload."""
    with pytest.raises(RuntimeError) as caught:
        marblewick_index_native.run(command, payload_text(payload))
    assert len(caught.value.args) == 1
    return caught.value.args[0]


def os_error_text(number: int) -> str:
    """How a failed system call is reported: the system's message and its number."""
    return f"{os.strerror(number)} (os error {number})"


def expected_digest(data: bytes) -> str:
    """SHA-256 of the bytes once CR LF, then a lone CR, have become LF."""
    return hashlib.sha256(data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")).hexdigest()


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


def random_sources(seed, count: int, longest: int, alphabet: str, replacement: str):
    """`count` random texts of 1 to `longest - 1` characters, the same ones for
    the same seed on every run."""
    rng = random.Random(seed)
    for _ in range(count):
        yield random_text(rng, rng.randrange(1, longest), alphabet, replacement)
