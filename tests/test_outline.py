"""The "outline" command: declarations at the top two levels of a file."""

import pytest

from outline_samples import SAMPLES, as_records
from support import run_json

OUTLINED_LANGUAGES = ["python", "javascript", "typescript", "tsx", "rust"]


def outline(payload):
    return run_json("outline", payload)


def symbols_of(source, language):
    result = outline({"content": source, "language": language})
    assert result["checked"] is True and result["ok"] is True
    assert result["symbol_count"] == len(result["symbols"])
    return result["symbols"]


def brief(symbols):
    return [(s["depth"], s["kind"], s["name"]) for s in symbols]


def no_outline(language):
    return {
        "checked": False,
        "language": language,
        "ok": True,
        "reason": "no_outline",
        "symbol_count": 0,
        "symbols": [],
    }


# --- languages without an outline -------------------------------------------------


@pytest.mark.parametrize(
    "payload, language",
    [
        ({"content": "{}", "language": "json"}, "json"),
        ({"content": "[1", "path": "data.json"}, "json"),  # not parsed: no error either way
        ({"content": "a = 1", "path": "Cargo.toml"}, "toml"),
        ({"content": "def f(): pass", "path": "notes.txt"}, ""),
        ({"content": "def f(): pass"}, ""),
        ({"content": "def f(): pass", "language": "Python"}, "Python"),
        ({"content": "def f(): pass", "path": "a.py", "language": ""}, ""),
    ],
)
def test_no_outline_result(payload, language):
    assert outline(payload) == no_outline(language)


def test_text_read_from_path(tmp_path):
    source = tmp_path / "mod.py"
    source.write_text("def from_file():\n    pass\n")
    result = outline({"path": str(source), "content": 5})
    assert result["language"] == "python"
    assert brief(result["symbols"]) == [(0, "function", "from_file")]


# --- realistic files ----------------------------------------------------------------


@pytest.mark.parametrize("language", sorted(SAMPLES))
def test_realistic_file(language):
    source, rows = SAMPLES[language]
    result = outline({"content": source, "language": language})
    assert result == {
        "checked": True,
        "language": language,
        "ok": True,
        "symbol_count": len(rows),
        "symbols": as_records(rows),
    }


@pytest.mark.parametrize("language", OUTLINED_LANGUAGES)
def test_empty_source(language):
    assert symbols_of("", language) == []


@pytest.mark.parametrize(
    "language, source, expected",
    [
        # Nested functions, classes in statements and members of nested classes
        # stay out of the outline.
        ("python", "def f():\n    def g():\n        pass\n", [(0, "function", "f")]),
        ("python", "if x:\n    class A:\n        pass\n", []),
        (
            "python",
            "class A:\n    class B:\n        def c(self): pass\n    def d(self): pass\n",
            [(0, "class", "A"), (1, "class", "B"), (1, "method", "d")],
        ),
        # A method belongs to a class body only.
        ("python", "class A:\n    @staticmethod\n    def s(): pass\n", [(0, "class", "A"), (1, "method", "s")]),
        ("javascript", "export { a, b };\nexport const f = () => 1;\n", []),
        ("javascript", "const C = class { m() {} };\n", []),
        (
            "typescript",
            "interface I { m(): void }\nabstract class A { abstract x(): void; y() {} }\n",
            [(0, "interface", "I"), (0, "class", "A"), (1, "method", "y")],
        ),
        ("typescript", "declare class D { m(): void }\nfunction s(): void;\n", []),
        (
            "rust",
            "trait T { fn req(&self); fn prov(&self) {} }\n",
            [(0, "trait", "T"), (1, "fn", "req"), (1, "method", "prov")],
        ),
        ("rust", "impl<T> From<T> for Wrapper<T> { }\n", [(0, "impl", "Wrapper<T>")]),
        ("rust", "mod m { struct S; fn f() {} }\n", [(0, "mod", "m")]),
        # Declarations swallowed by a parse error are simply absent.
        ("python", "def ok(): pass\n)))\n", [(0, "function", "ok")]),
    ],
)
def test_what_is_listed(language, source, expected):
    assert brief(symbols_of(source, language)) == expected


@pytest.mark.parametrize(
    "language, source, line, signature",
    [
        ("python", "@a\n@b(1)\ndef f(): pass\n", 3, "def f(): pass"),
        ("javascript", "\n\nexport function f() {}\n", 3, "function f() {}"),
        ("typescript", "export interface I {}\n", 1, "interface I {}"),
    ],
)
def test_wrappers_do_not_count(language, source, line, signature):
    [symbol] = symbols_of(source, language)
    assert (symbol["line"], symbol["signature"]) == (line, signature)


def test_names_are_exact_source_text():
    symbols = symbols_of("def été(): pass\nclass Ünïcode: pass\n", "python")
    assert [s["name"] for s in symbols] == ["été", "Ünïcode"]


# --- the cap of 200 records ---------------------------------------------------------


def python_functions(count):
    return "".join(f"def f{i}():\n    pass\n" for i in range(count))


def test_at_most_200_records():
    symbols = symbols_of(python_functions(250), "python")
    assert [s["name"] for s in symbols] == [f"f{i}" for i in range(200)]


@pytest.mark.parametrize(
    "functions_before, expected_tail",
    [
        # The container is the 200th record: listed, none of its members.
        (199, [(0, "class", "Box")]),
        # The container is the 199th: one member still fits.
        (198, [(0, "class", "Box"), (1, "method", "m0")]),
    ],
)
def test_cap_reached_inside_a_container(functions_before, expected_tail):
    methods = "".join(f"    def m{i}(self):\n        pass\n" for i in range(5))
    source = python_functions(functions_before) + "class Box:\n" + methods + "def after(): pass\n"
    symbols = symbols_of(source, "python")
    assert len(symbols) == 200
    assert brief(symbols[functions_before:]) == expected_tail


def test_cap_counts_members_of_every_container():
    classes = "".join(f"class C{i} {{ a() {{}} b() {{}} }}\n" for i in range(80))
    symbols = symbols_of(classes, "javascript")
    # 66 classes with both methods (198 records), then C66 and its first method.
    assert len(symbols) == 200
    assert brief(symbols[-2:]) == [(0, "class", "C66"), (1, "method", "a")]


# --- signatures ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "source, signature",
    [
        ("def f(): pass   \t\n", "def f(): pass"),
        ("def f(a,\n      b):\n    pass\n", "def f(a,"),
        ("def f():\r\n    pass\r\n", "def f():"),
        ("def f():  # x\u3000\u00a0\u2029\n    pass\n", "def f():  # x"),
        ("def f(): return '\u200b'\n", "def f(): return '\u200b'"),  # U+200B is not White_Space
        ("def f(): return 'x" + "y" * 300 + "'\n", ("def f(): return 'x" + "y" * 300)[:120]),
        ("def f(): return '" + "é" * 130 + "'\n", ("def f(): return '" + "é" * 130)[:120]),
        ("def f(): return '" + "\U0001f600" * 130 + "'\n", ("def f(): return '" + "\U0001f600" * 130)[:120]),
    ],
)
def test_signature(source, signature):
    [symbol] = symbols_of(source, "python")
    assert symbol["signature"] == signature


def test_crlf_lines_match_lf_lines():
    source, rows = SAMPLES["rust"]
    crlf = symbols_of(source.replace("\n", "\r\n"), "rust")
    assert crlf == as_records(rows)


# --- bad input ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "language, source",
    [
        ("python", "(" * 100_000),
        ("python", "(" * 100_000 + ")" * 100_000),
        ("javascript", "{" * 100_000),
        ("typescript", "[" * 100_000),
        ("tsx", "<a>" * 30_000),
        ("rust", "{" * 100_000),
    ],
)
def test_deep_nesting(language, source):
    assert symbols_of(source, language) == []


@pytest.mark.parametrize(
    "language, source, names",
    [
        # The text goes on after a NUL: declarations behind it are still found.
        ("python", "def f():\n    return '\x00'\ndef g(): pass\n", ["f", "g"]),
        ("javascript", "function f() { return '\x00'; }\nclass A {}\n", ["f", "A"]),
        ("rust", 'fn f() { let s = "\x00"; }\nstruct S;\n', ["f", "S"]),
    ],
)
def test_nul_characters(language, source, names):
    assert [s["name"] for s in symbols_of(source, language)] == names
