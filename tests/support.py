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


MIB = 1024 * 1024


def text_across_read_pieces(size: int, ending: bytes = b"") -> bytes:
    """A text of `size` bytes ending with `ending`. Files are read in pieces of
    1 MiB (from 4 MiB on, "hash" hashes them on a helper thread); here every
    boundary of the first six cuts a line ending or a character: what one
    piece ends with decides how the next begins."""
    data = bytearray((b"abcdefghij\n" * (size // 11 + 1))[: size - len(ending)])
    boundary_cuts = [
        b"\r|\n",                              # CR LF
        b"\r|x",                               # a lone CR
        b"\r\r|\n",                            # CR CR LF
        b"\r\xf0\x9f\x98|\x80",                # CR, then a character cut 3 + 1
        "\u00e9".encode()[:1] + b"|" + "\u00e9".encode()[1:],  # cut 1 + 1
        b"\r\xe4\xb8|\xad",                    # CR, then a character cut 2 + 1
    ]
    for number, cut in enumerate(boundary_cuts, start=1):
        before, after = cut.split(b"|")
        start = number * MIB - len(before)
        if start + len(before) + len(after) <= len(data):
            data[start : start + len(before) + len(after)] = before + after
    return bytes(data) + ending


# (size, ending) of valid texts of several pieces, for "hash" and "scan" alike.
STREAMED_TEXTS = [
    (7 * MIB - 3, b""),
    (7 * MIB, b"\r"),                  # a CR ends the last full piece
    (7 * MIB, b"\r\n"),
    (7 * MIB + 1, b"\n\r"),
    (7 * MIB, "\u20ac".encode()),      # a character ends exactly with a piece
    (4 * MIB, b"x"),                   # the smallest one "hash" hashes on a helper thread
    (3 * MIB + 2, b"\r"),              # below that, the same pieces on one thread
]
# ... and of texts whose only invalid UTF-8 is at their very end.
STREAMED_INVALID_TEXTS = [
    (7 * MIB - 1, b"\xff"),
    (7 * MIB, b"\xf0\x9f\x98"),         # a character left unfinished by the end
    (6 * MIB + 1, b"\r\xc3"),
]


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


# Tokens whose random sequences make a grammar's error recovery slow: the time
# grows much faster than the text (hundreds of KB take seconds).
SLOW_SOUP_TOKENS = {
    "json": ["{", "}", "[", "]", ":", ",", '"s"', "1"],
    "rust": ["{", "}", "(", ")", "[", "]", "<", ">", ",", ";", ":", "x", "1"],
}


def token_soup(tokens, size: int, seed=1) -> str:
    """About `size` characters of tokens drawn at random, separated by spaces."""
    rng = random.Random(seed)
    chosen = []
    length = 0
    while length < size:
        token = rng.choice(tokens)
        chosen.append(token)
        length += len(token) + 1
    return " ".join(chosen)
