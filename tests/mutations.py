"""Broken variants of real-looking sources: the kinds of damage an editor's
half-typed file shows, applied at random but the same on every run."""

import random

BRACKETS = "()[]{}<>"


def _cut(rng, text):
    return text[: rng.randrange(len(text) + 1)]


def _delete(rng, text):
    start = rng.randrange(len(text) + 1)
    return text[:start] + text[start + rng.randrange(1, 12) :]


def _insert(rng, text):
    # A piece of the text itself, so that what comes in is made of the
    # language's own tokens.
    start = rng.randrange(len(text) + 1)
    piece_at = rng.randrange(len(text) + 1)
    piece = text[piece_at : piece_at + rng.randrange(1, 16)]
    return text[:start] + piece + text[start:]


def _join_lines(rng, text):
    breaks = [i for i, c in enumerate(text) if c == "\n"]
    if not breaks:
        return text
    at = rng.choice(breaks)
    return text[:at] + rng.choice(["", " "]) + text[at + 1 :]


def _drop_bracket(rng, text):
    places = [i for i, c in enumerate(text) if c in BRACKETS]
    if not places:
        return text
    at = rng.choice(places)
    return text[:at] + text[at + 1 :]


def _drop_indentation(rng, text):
    lines = text.split("\n")
    indented = [i for i, line in enumerate(lines) if line[:1] in (" ", "\t")]
    if not indented:
        return text
    for i in rng.sample(indented, rng.randrange(1, min(3, len(indented)) + 1)):
        lines[i] = lines[i].lstrip(" \t")
    return "\n".join(lines)


MUTATIONS = [_cut, _delete, _insert, _join_lines, _drop_bracket, _drop_indentation]


def mutated_texts(sources, count, seed):
    """`count` texts, each one of `sources` with one to three mutations."""
    rng = random.Random(seed)
    for _ in range(count):
        text = rng.choice(sources)
        for _ in range(rng.randrange(1, 4)):
            text = rng.choice(MUTATIONS)(rng, text)
        yield text
