"""Missing hidden tokens and the check's verdict.

Python's newline, indent and dedent tokens are hidden nodes: no public cursor
reaches one that error recovery inserted as missing. They are reported all
the same, and "valid" always agrees with the parser runtime's own verdict on
the tree (the probe module's "tree-has-error")."""

import json

import pytest

from mutations import mutated_texts
from outline_samples import CLEAN_SOURCES, GRAMMAR_LANGUAGES, SAMPLES
from support import entry, run_json


def check(source, language="python"):
    return run_json("syntax-check", {"content": source, "language": language})


def has_error(probe, source, language):
    answer = probe.run("tree-has-error", json.dumps({"content": source, "language": language}))
    return json.loads(answer)["has_error"]


HIDDEN_MISSING = [
    # A newline is all that is missing: two statements on one line.
    ("global a global b\n", [entry(1, 9, "missing newline", "global a global b")]),
    ("True\nFalse None\n", [entry(2, 6, "missing newline", "False None")]),
    ("a, = 1, 2 a[b] = c\n", [entry(1, 10, "missing newline", "a, = 1, 2 a[b] = c")]),
    ("await i(j, 5)return 1\n", [entry(1, 14, "missing newline", "await i(j, 5)return 1")]),
    # A truncated float: the exponent's digits are gone.
    ("x\n1e", [entry(2, 2, "missing newline", "1e")]),
    ("import a import b\n", [entry(1, 9, "missing newline", "import a import b")]),
    ("global a global b", [entry(1, 9, "missing newline", "global a global b")]),
    (
        "global a global b global c\n",
        [
            entry(1, 9, "missing newline", "global a global b global c"),
            entry(1, 18, "missing newline", "global a global b global c"),
        ],
    ),
    # Inside a block; byte columns; CR LF stays out of the snippet.
    ("if x:\n    global a global b\n", [entry(2, 13, "missing newline", "    global a global b")]),
    ("global é global b\r\n", [entry(1, 10, "missing newline", "global é global b")]),
    # Beside visible problems, each in its place in document order.
    (
        "def f(:\n    pass\nglobal a global b\n",
        [entry(1, 7, "missing )", "def f(:"), entry(3, 9, "missing newline", "global a global b")],
    ),
    (
        "global a global b\ndef f(:\n    pass\n",
        [entry(1, 9, "missing newline", "global a global b"), entry(2, 7, "missing )", "def f(:")],
    ),
    ("pass try:\n", [entry(1, 5, "missing newline", "pass try:"), entry(1, 6, "syntax error", "pass try:")]),
    # A block left open by a broken line: its dedent is missing.
    ("match x:\n    '\n", [entry(1, 9, "missing dedent", "match x:"), entry(2, 5, "syntax error", "    '")]),
    (
        "class A:\n    def f(self, x=1):\n        return [x for x in)]\n range(3)]\n",
        [entry(3, 27, "syntax error", "        return [x for x in)]"), entry(4, 11, "missing dedent", " range(3)]")],
    ),
]


@pytest.mark.parametrize("source, expected", HIDDEN_MISSING)
def test_missing_hidden_tokens_are_reported(source, expected):
    assert check(source) == {
        "checked": True,
        "error_count": len(expected),
        "errors": expected,
        "language": "python",
        "ok": True,
        "valid": False,
    }
    analysed = run_json("analyse", {"content": source, "language": "python"})
    assert analysed["syntax_check"] == check(source)


@pytest.mark.parametrize("repeats", [19, 20, 21, 30])
def test_missing_hidden_tokens_count_towards_the_cap(repeats):
    # Each line misses one newline; a visible missing ")" follows them all.
    source = "global a global b\n" * repeats + "def f(:\n"
    errors = check(source)["errors"]
    expected = [entry(n, 9, "missing newline", "global a global b") for n in range(1, repeats + 1)]
    expected.append(entry(repeats + 1, 7, "missing )", "def f(:"))
    assert errors == expected[:20]


@pytest.mark.parametrize("language", GRAMMAR_LANGUAGES)
def test_verdict_agrees_with_the_runtime_on_mutated_sources(probe, language):
    sources = [CLEAN_SOURCES[language]] + ([SAMPLES[language][0]] if language in SAMPLES else [])
    hidden_reported = 0
    for source in mutated_texts(sources, 700, language):
        result = check(source, language)
        assert result["valid"] is not has_error(probe, source, language), source
        assert result["valid"] is (result["error_count"] == 0)
        hidden_reported += any(e["message"] in ("missing newline", "missing dedent") for e in result["errors"])
    # The Python texts include trees whose problem is a hidden token.
    assert hidden_reported > 0 or language != "python"
