""" "analyse" gives exactly what "outline" and "syntax-check" give for the same
payload, failures included, over every kind of text the other tests use and a
real tree; and over random text both of its halves stay well formed."""

import json

import pytest

import marblewick_index_native as native
from outline_samples import CLEAN_SOURCES, GRAMMAR_LANGUAGES, NO_GRAMMAR_LANGUAGES, SAMPLES, SOUP_TOKENS, token_soup
from support import REPO_ROOT, answer, line_of, random_sources, run_json


def assert_analyse_agrees(payload):
    payload_json = json.dumps(payload)
    combined = answer("analyse", payload_json)
    check = answer("syntax-check", payload_json)
    if check[0] != "ok":
        assert combined == check
        return
    outline = answer("outline", payload_json)
    assert combined == ("ok", f'{{"ok":true,"outline":{outline[1]},"syntax_check":{check[1]}}}')


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
    scanned = json.loads(
        native.run("scan", json.dumps({"root": str(REPO_ROOT), "max_files": 2000, "extensions": extensions}))
    )
    assert scanned["count"] > 100
    for entry in scanned["entries"]:
        assert_analyse_agrees({"path": str(REPO_ROOT / entry["path"])})


@pytest.mark.parametrize(
    "payload",
    [
        {"path": "/no/such/file.py"},
        {"path": "a\u0000b.py"},
        {"path": str(REPO_ROOT)},
        {"language": "python"},
        # Stopped by its budget: "outline" never parses JSON, so only the
        # check (and with it "analyse") fails.
        {"content": token_soup(SOUP_TOKENS["json"], 200_000), "language": "json", "timeout_ms": 1},
        {"content": token_soup(SOUP_TOKENS["rust"], 200_000), "language": "rust", "timeout_ms": 1},
    ],
    ids=["missing-file", "nul-in-path", "directory", "no-source", "json-budget", "rust-budget"],
)
def test_failures_are_the_checks(payload):
    assert answer("analyse", json.dumps(payload))[0] == "RuntimeError"
    assert_analyse_agrees(payload)


def test_invalid_utf8_file_fails_like_the_check(tmp_path):
    path = tmp_path / "bad.py"
    path.write_bytes(b"x = '\xff'\n")
    assert_analyse_agrees({"path": str(path)})
    assert answer("analyse", json.dumps({"path": str(path)}))[0] == "RuntimeError"


# Random texts (the same ones on every run, seeded by the language): source
# punctuation and keywords mixed with arbitrary characters, with two alphabets
# and lengths, surrogates becoming "é" or "x".
# (alphabet, count, longest, replacement)
RANDOM_TEXTS = [
    ("def fn ( ) { } [ ] : ; , . = \n\r\n\r\t '\"\\/*#<>@`$", 40, 600, "\u00e9"),
    ("def class fn impl ( ) { } [ ] : ; , . = \n\r\t '\"\\/*#<>@", 30, 400, "x"),
]


def assert_check_well_formed(check, source, language):
    assert check["ok"] is True and check["checked"] is True and check["language"] == language
    errors = check["errors"]
    assert check["error_count"] == len(errors) <= 20
    assert check["valid"] is (errors == [])
    lines = source.split("\n")
    positions = [(e["line"], e["column"]) for e in errors]
    # Reported nodes never nest, so document order is position order.
    assert positions == sorted(positions)
    for e in errors:
        assert e["kind"] in ("error", "missing")
        assert (e["message"] == "syntax error") == (e["kind"] == "error")
        assert e["snippet"] == line_of(source, e["line"] - 1)
        assert 1 <= e["line"] <= len(lines)
        # Columns count bytes; a missing token may stand just past the line's end.
        assert 1 <= e["column"] <= len(lines[e["line"] - 1].encode()) + 1


def assert_outline_well_formed(outline, source, language):
    if language == "json":  # no outline rules: never parsed for one
        assert outline["checked"] is False and outline["symbols"] == []
        return
    assert outline["ok"] is True and outline["checked"] is True and outline["language"] == language
    symbols = outline["symbols"]
    assert outline["symbol_count"] == len(symbols) <= 200
    for symbol in symbols:
        assert symbol["depth"] in (0, 1)
        assert 1 <= symbol["line"] <= symbol["end_line"] <= source.count("\n") + 1
        assert len(symbol["signature"]) <= 120
        assert "\n" not in symbol["signature"]


@pytest.mark.parametrize("language", GRAMMAR_LANGUAGES)
def test_random_text_gives_well_formed_answers(language):
    for alphabet, count, longest, replacement in RANDOM_TEXTS:
        for source in random_sources(language, count, longest, alphabet, replacement):
            # run_json holds every answer to compact JSON with its keys in order.
            answer = run_json("analyse", {"content": source, "language": language})
            assert sorted(answer) == ["ok", "outline", "syntax_check"] and answer["ok"] is True
            assert_check_well_formed(answer["syntax_check"], source, language)
            assert_outline_well_formed(answer["outline"], source, language)
