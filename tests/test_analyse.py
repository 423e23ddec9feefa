""""analyse" gives exactly what "outline" and "syntax-check" give for the same
payload, failures included, over every kind of text the other tests use and a
real tree."""

import json
import pathlib

import pytest

import marblewick_index_native as native
from outline_samples import SAMPLES
from support import NO_GRAMMAR_LANGUAGES, SLOW_SOUP_TOKENS, random_sources, token_soup
from test_syntax_check import CLEAN_SOURCES, GRAMMAR_LANGUAGES

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent


def answer(command, payload_json):
    """The command's text, or the RuntimeError's text marked as such."""
    try:
        return native.run(command, payload_json)
    except RuntimeError as error:
        return ("error", error.args[0])


def assert_analyse_agrees(payload):
    payload_json = json.dumps(payload)
    combined = answer("analyse", payload_json)
    check = answer("syntax-check", payload_json)
    if isinstance(check, tuple):
        assert combined == check
        return
    outline = answer("outline", payload_json)
    assert combined == f'{{"ok":true,"outline":{outline},"syntax_check":{check}}}'


def texts():
    for language, (source, _) in sorted(SAMPLES.items()):
        yield f"sample-{language}", source, language
        yield f"broken-{language}", source + "\n)(}{ fn def class [\n" * 30, language
    for language, source in sorted(CLEAN_SOURCES.items()):
        yield f"clean-{language}", source, language
        yield f"crlf-{language}", source.replace("\n", "\r\n"), language
        yield f"empty-{language}", "", language
    for language in NO_GRAMMAR_LANGUAGES:
        yield f"no-grammar-{language!r}", "def f(): pass\n", language
    yield "symbol-cap", "".join(f"def f{i}(): pass\n" for i in range(300)), "python"
    yield "error-cap", "fn f( {}\n" * 30, "rust"
    for language in GRAMMAR_LANGUAGES:
        for n, source in enumerate(random_sources(language, 12, 400, "(){}[]<>:;,.=\n\"'#/ fn def", "?")):
            yield f"random-{language}-{n}", source, language


TEXTS = list(texts())


@pytest.mark.parametrize("source, language", [t[1:] for t in TEXTS], ids=[t[0] for t in TEXTS])
def test_same_answers_as_the_two_commands(source, language):
    assert_analyse_agrees({"content": source, "language": language})


def test_same_answers_over_a_real_tree():
    extensions = ["py", "rs", "ts", "tsx", "js", "json", "toml", "md", "cpp", "h"]
    scanned = json.loads(native.run("scan", json.dumps(
        {"root": str(REPOSITORY), "max_files": 2000, "extensions": extensions})))
    assert scanned["count"] > 100
    for entry in scanned["entries"]:
        assert_analyse_agrees({"path": str(REPOSITORY / entry["path"])})


@pytest.mark.parametrize(
    "payload",
    [
        {"path": "/no/such/file.py"},
        {"path": "a\u0000b.py"},
        {"path": str(REPOSITORY)},
        {"language": "python"},
        # Stopped by its budget: "outline" never parses JSON, so only the
        # check (and with it "analyse") fails.
        {"content": token_soup(SLOW_SOUP_TOKENS["json"], 200_000), "language": "json",
         "timeout_ms": 1},
        {"content": token_soup(SLOW_SOUP_TOKENS["rust"], 200_000), "language": "rust",
         "timeout_ms": 1},
    ],
    ids=["missing-file", "nul-in-path", "directory", "no-source", "json-budget", "rust-budget"],
)
def test_failures_are_the_checks(payload):
    assert isinstance(answer("analyse", json.dumps(payload)), tuple)
    assert_analyse_agrees(payload)


def test_invalid_utf8_file_fails_like_the_check(tmp_path):
    path = tmp_path / "bad.py"
    path.write_bytes(b"x = '\xff'\n")
    assert_analyse_agrees({"path": str(path)})
    assert answer("analyse", json.dumps({"path": str(path)}))[0] == "error"
