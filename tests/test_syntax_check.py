"""The "syntax-check" command: source input, language resolution, the error walk."""

import pytest

import marblewick_index_native
from outline_samples import CLEAN_SOURCES, GRAMMAR_LANGUAGES, NO_GRAMMAR_LANGUAGES
from support import entry, line_of, run_json


def check(payload):
    return run_json("syntax-check", payload)


def errors_of(source, language):
    result = check({"content": source, "language": language})
    assert result["checked"] is True and result["language"] == language
    assert result["error_count"] == len(result["errors"])
    assert result["valid"] is (result["errors"] == [])
    return result["errors"]


def no_parser(language):
    return {
        "checked": False,
        "error_count": 0,
        "errors": [],
        "language": language,
        "ok": True,
        "reason": "no_parser",
        "valid": True,
    }


# --- where the text comes from ------------------------------------------------------


def test_content_wins_over_path(tmp_path):
    # The path only names the language: the file does not exist and is not opened.
    result = check({"content": "def f(:\n", "path": str(tmp_path / "absent.PY")})
    assert result["language"] == "python"
    assert result["errors"] == [entry(1, 7, "missing )", "def f(:")]


def test_text_from_path_when_content_is_not_a_string(tmp_path):
    source = tmp_path / "broken.rs"
    source.write_bytes(b"struct A;\nfn f( {}\n")
    result = check({"content": 5, "path": str(source)})
    assert result["language"] == "rust"
    assert result["errors"] == [entry(2, 6, "missing )", "fn f( {}")]


# --- which language ----------------------------------------------------------------


@pytest.mark.parametrize(
    "path, language",
    [
        ("a.py", "python"),
        ("A.PY", "python"),
        ("m.Py", "python"),
        (".py", "python"),
        ("src/lib.rs", "rust"),
        ("a.js", "javascript"),
        ("a.mjs", "javascript"),
        ("a.CJS", "javascript"),
        ("a.jsx", "javascript"),
        ("a.ts", "typescript"),
        ("a.mts", "typescript"),
        ("a.cts", "typescript"),
        ("x.y.TSX", "tsx"),
        ("data.tar.json", "json"),
        ("json", "json"),
        ("ts", "typescript"),
        ("Cargo.toml", "toml"),
        ("a.yaml", ""),
        ("Makefile", ""),
        ("trailing.", ""),
        ("lib.d/README", ""),
        ("pkg.py/module", ""),
        ("a.pyc", ""),
        ("a.p", ""),
        ("a.tsxx", ""),
    ],
)
def test_language_detected_from_path(path, language):
    result = check({"content": "", "path": path})
    if language in GRAMMAR_LANGUAGES:
        assert result == {
            "checked": True,
            "error_count": 0,
            "errors": [],
            "language": language,
            "ok": True,
            "valid": True,
        }
    else:
        assert result == no_parser(language)


@pytest.mark.parametrize(
    "payload, language",
    [
        ({"content": "x", "path": "a.py", "language": ""}, ""),
        ({"content": "x", "path": "a.py", "language": None}, "python"),
        ({"content": "x", "path": "a.py", "language": 7}, "python"),
        ({"content": "x", "path": "a.toml", "language": "rust"}, "rust"),
        ({"content": "x"}, ""),
    ],
)
def test_explicit_language_wins(payload, language):
    assert check(payload)["language"] == language


@pytest.mark.parametrize("language", NO_GRAMMAR_LANGUAGES)
def test_no_parser_result(language):
    assert check({"content": "def f(:", "language": language}) == no_parser(language)


def test_no_parser_text_is_exact():
    text = marblewick_index_native.run("syntax-check", '{"content":"a = 1","language":"toml"}')
    assert text == (
        '{"checked":false,"error_count":0,"errors":[],"language":"toml","ok":true,"reason":"no_parser","valid":true}'
    )


# --- what is reported ----------------------------------------------------------------


@pytest.mark.parametrize("language", GRAMMAR_LANGUAGES)
@pytest.mark.parametrize("variant", ["sample", "empty", "crlf"])
def test_clean_text_is_valid(language, variant):
    source = {"sample": CLEAN_SOURCES[language], "empty": ""}.get(variant)
    if source is None:
        source = CLEAN_SOURCES[language].replace("\n", "\r\n")
    assert errors_of(source, language) == []


@pytest.mark.parametrize(
    "language, source, expected",
    [
        ("python", "def f(:\n", [entry(1, 7, "missing )", "def f(:")]),
        ("rust", "fn f( {}", [entry(1, 6, "missing )", "fn f( {}")]),
        ("rust", "struct A {", [entry(1, 11, "missing }", "struct A {")]),
        ("json", '{"a": }', [entry(1, 6, "missing number", '{"a": }')]),
        ("json", "[1] ]", [entry(1, 5, "syntax error", "[1] ]")]),
        ("json", "\n\n]", [entry(3, 1, "syntax error", "]")]),
        # Columns count bytes: "é" is two of them.
        ("rust", "fn é( {}", [entry(1, 7, "missing )", "fn é( {}")]),
        ("json", '["é" 1]', [entry(1, 7, "syntax error", '["é" 1]')]),
        # CR LF: the CR is no part of the snippet, the line number is unchanged.
        ("rust", "struct A;\r\nfn f( {}\r\n", [entry(2, 6, "missing )", "fn f( {}")]),
        # A lone CR starts no line and stays in the snippet.
        ("json", "[1,\r2 3]", [entry(1, 7, "syntax error", "[1,\r2 3]")]),
        # An unterminated comment misses its end after the final LF, on a row
        # that has no line.
        ("rust", "/*\n", [entry(2, 1, "missing */", "")]),
        # Each of these is one error node holding a missing node or another
        # error node; only the outer one is reported.
        ("python", ",:", [entry(1, 1, "syntax error", ",:")]),
        ("javascript", "(,1", [entry(1, 1, "syntax error", "(,1")]),
        ("rust", "><", [entry(1, 1, "syntax error", "><")]),
    ],
)
def test_reported_entries(language, source, expected):
    assert errors_of(source, language) == expected


@pytest.mark.parametrize(
    "language, faulty_line", [("json", "[1 2]\n"), ("python", "def f(:\n"), ("rust", "fn f( {}\n")]
)
@pytest.mark.parametrize("repeats", [15, 20, 25])
def test_at_most_20_entries_in_document_order(language, faulty_line, repeats):
    errors = errors_of(faulty_line * repeats, language)
    assert [e["line"] for e in errors] == list(range(1, min(repeats, 20) + 1))
    assert {e["snippet"] for e in errors} == {faulty_line.rstrip("\n")}


@pytest.mark.parametrize("prefix", ["x" * 300, "é" * 300, "\U0001f600" * 130, "a\u00e9" * 70])
def test_snippet_cut_to_120_characters(prefix):
    source = f"fn f( {{}} // {prefix}\n"
    [error] = errors_of(source, "rust")
    assert error["snippet"] == source[:120]
    assert error["message"] == "missing )"


def test_snippet_keeps_indentation_and_trailing_blanks():
    [error] = errors_of("mod m {\n    fn f( {}   \n}\n", "rust")
    assert error == entry(2, 10, "missing )", "    fn f( {}   ")


def test_json_is_checked_like_any_language():
    assert errors_of('{"a": 1}', "json") == []
    assert errors_of("[1] ]", "json") != []


# --- bad input ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "language, source",
    [
        ("json", "[" * 100_000),
        ("python", "(" * 100_000),
        ("javascript", "(" * 100_000),
        ("typescript", "[" * 100_000),
        ("tsx", "<a>" * 30_000),
        ("rust", "{" * 100_000),
    ],
)
def test_deep_unclosed_nesting(language, source):
    errors = errors_of(source, language)
    assert 1 <= len(errors) <= 20
    assert all(e["snippet"] == source[:120] for e in errors)


@pytest.mark.parametrize(
    "language, source", [("python", "(" * 100_000 + ")" * 100_000), ("json", "[" * 100_000 + "]" * 100_000)]
)
def test_deep_balanced_nesting_is_valid(language, source):
    assert errors_of(source, language) == []


@pytest.mark.parametrize("language", ["rust", "javascript", "json"])
def test_nul_does_not_end_the_text(language):
    # Whatever the grammar makes of the NUL, the fault behind it on line 2 is seen.
    source = {"json": '["\x00"]\n[1] ]\n', "rust": 'const S: &str = "\x00";\nfn f( {}\n'}.get(
        language, "let s = '\x00';\nfoo(;\n"
    )
    errors = errors_of(source, language)
    assert any(e["line"] == 2 for e in errors)
    for e in errors:
        assert e["snippet"] == line_of(source, e["line"] - 1)
