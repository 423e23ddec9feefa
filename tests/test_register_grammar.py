"""Grammar packages registered at run time: "register-grammar", "languages",
and the analysis commands on registered languages.

Registrations last until the process ends, so every registration made here
uses names and extensions no other test uses; what would change an answer
other tests rely on ("toml") runs in a child process."""

import json
import re
import textwrap
import zlib

import pytest

from support import child_stdout, limits_address_space, run_error, run_json

PACKAGES = {
    # name: (package, extension, ABI version)
    "reg-go": ("tree_sitter_go", "gotest", 15),
    "reg-java": ("tree_sitter_java", "javatest", 14),
    "reg-c": ("tree_sitter_c", "ctest", 15),
}


def register(language, package, **fields):
    return run_json("register-grammar", {"language": language, "package": package, **fields})


@pytest.fixture(scope="module", autouse=True)
def registered():
    for language, (package, extension, _) in PACKAGES.items():
        register(language, package, extensions=[extension])


def languages():
    return run_json("languages", {})["languages"]


@pytest.mark.parametrize("language", sorted(PACKAGES))
def test_registration_answers_what_it_registered_and_again_changes_nothing(language):
    package, extension, abi = PACKAGES[language]
    expected = {"abi_version": abi, "extensions": [extension], "language": language, "ok": True, "outline": True}
    # Registered by the fixture already: the same package again is a no-op,
    # whatever else the second call asks for.
    assert register(language, package, extensions=[extension]) == expected
    assert register(language, package, extensions=["other" + extension]) == expected
    listed = [entry for entry in languages() if entry["name"] == language]
    assert listed == [
        {
            "abi_version": abi,
            "extensions": [extension],
            "function": "language",
            "grammar": True,
            "name": language,
            "outline": True,
            "package": package,
            "registered": True,
        }
    ]


def test_languages_lists_the_built_in_table_first_and_unchanged():
    entries = languages()
    assert entries[:7] == [
        {"extensions": ["py"], "grammar": True, "name": "python", "outline": True, "registered": False},
        {
            "extensions": ["js", "mjs", "cjs", "jsx"],
            "grammar": True,
            "name": "javascript",
            "outline": True,
            "registered": False,
        },
        {
            "extensions": ["ts", "mts", "cts"],
            "grammar": True,
            "name": "typescript",
            "outline": True,
            "registered": False,
        },
        {"extensions": ["tsx"], "grammar": True, "name": "tsx", "outline": True, "registered": False},
        {"extensions": ["rs"], "grammar": True, "name": "rust", "outline": True, "registered": False},
        {"extensions": ["json"], "grammar": True, "name": "json", "outline": False, "registered": False},
        {"extensions": ["toml"], "grammar": False, "name": "toml", "outline": False, "registered": False},
    ]
    assert all(entry["registered"] for entry in entries[7:])


GO_SOURCE = """package main

// F is documented.
func F() {}

type T struct{ x int }

func (t T) M() {
}
"""
JAVA_SOURCE = """class A {
  void m() {}
  class B {
    class C { void deep() {} }
  }
}
interface I {}
"""
C_SOURCE = """struct S { int x; };
int
main(void) { return 0; }
typedef int T;
"""

OUTLINES = {
    "reg-go": (
        GO_SOURCE,
        [
            (0, 4, 4, "function", "F", "func F() {}"),
            (0, 6, 6, "type", "T", "T struct{ x int }"),
            (0, 8, 9, "method", "M", "func (t T) M() {"),
        ],
    ),
    # Depth counts the enclosing definitions; the third level is left out.
    "reg-java": (
        JAVA_SOURCE,
        [
            (0, 1, 6, "class", "A", "class A {"),
            (1, 2, 2, "method", "m", "void m() {}"),
            (1, 3, 5, "class", "B", "class B {"),
            (0, 7, 7, "interface", "I", "interface I {}"),
        ],
    ),
    # The C query marks the declarator, not the whole function, so the line
    # is that of "main(void)".
    "reg-c": (
        C_SOURCE,
        [
            (0, 1, 1, "class", "S", "struct S { int x; }"),
            (0, 3, 3, "function", "main", "main(void)"),
            (0, 4, 4, "type", "T", "typedef int T;"),
        ],
    ),
}


def records(outline):
    return [(s["depth"], s["line"], s["end_line"], s["kind"], s["name"], s["signature"]) for s in outline["symbols"]]


@pytest.mark.parametrize("language", sorted(OUTLINES))
def test_outline_comes_from_the_tags_query(language):
    source, expected = OUTLINES[language]
    outline = run_json("outline", {"content": source, "language": language})
    assert outline["checked"] is True and outline["language"] == language
    assert records(outline) == expected
    assert outline["symbol_count"] == len(expected)


@pytest.mark.parametrize("language", sorted(PACKAGES))
def test_detected_from_its_extensions_and_analysed_as_outline_plus_check(language):
    _, extension, _ = PACKAGES[language]
    source, _ = OUTLINES[language]
    for path in (f"src/x.{extension}", f"src/x.{extension.upper()}"):
        answer = run_json("analyse", {"content": source, "path": path})
        assert answer["outline"] == run_json("outline", {"content": source, "language": language})
        assert answer["syntax_check"] == run_json("syntax-check", {"content": source, "language": language})
        assert answer["syntax_check"]["valid"] is True
    # An explicit name wins over the extension, as for the built-ins.
    assert run_json("syntax-check", {"content": source, "path": f"x.{extension}", "language": ""})["checked"] is False


@pytest.mark.parametrize(
    "language, source, error",
    [
        (
            "reg-go",
            "package main\nfunc F() { x := }\n",
            {
                "column": 16,
                "kind": "missing",
                "line": 2,
                "message": "missing identifier",
                "snippet": "func F() { x := }",
            },
        ),
        (
            "reg-java",
            "class A { void m() { int x = 1 } }\n",
            {
                "column": 31,
                "kind": "missing",
                "line": 1,
                "message": "missing ;",
                "snippet": "class A { void m() { int x = 1 } }",
            },
        ),
        (
            "reg-c",
            "int main(void) { return 0 }\n",
            {
                "column": 26,
                "kind": "missing",
                "line": 1,
                "message": "missing ;",
                "snippet": "int main(void) { return 0 }",
            },
        ),
    ],
)
def test_syntax_check_reports_hidden_missing_tokens(language, source, error):
    check = run_json("syntax-check", {"content": source, "language": language})
    assert check["errors"] == [error] and check["valid"] is False


def test_the_outline_keeps_the_first_200_records_in_source_order():
    source = "package main\n" + "".join(f"func F{i}() {{}}\n" for i in range(250))
    outline = run_json("outline", {"content": source, "language": "reg-go"})
    assert outline["symbol_count"] == 200
    assert [s["name"] for s in outline["symbols"]] == [f"F{i}" for i in range(200)]
    assert [s["line"] for s in outline["symbols"]] == list(range(2, 202))


def test_budgets_and_ceilings_apply_to_registered_languages():
    soup = "func ( { [ " * 40000
    assert (
        run_error("syntax-check", {"content": soup, "language": "reg-go", "timeout_ms": 1})
        == "parse did not finish within 1 ms"
    )


def test_the_host_lock_is_released_for_registered_languages_when_asked():
    source = "package main\n" + "func F() { if x { y() } }\n" * 20000
    plain = run_json("analyse", {"content": source, "language": "reg-go"})
    assert run_json("analyse", {"content": source, "language": "reg-go", "release_gil": True}) == plain


# ---- registration errors ----------------------------------------------------


def fake_package(tmp_path, monkeypatch, name, body, tags=None):
    folder = tmp_path / name
    folder.mkdir()
    (folder / "__init__.py").write_text(textwrap.dedent(body))
    if tags is not None:
        (folder / "queries").mkdir()
        (folder / "queries" / "tags.scm").write_text(tags)
    monkeypatch.syspath_prepend(str(tmp_path))
    return name


# A capsule over a fake grammar whose first field, the ABI version, is out of
# range: the version is all that registration reads of it before refusing.
FAKE_ABI = """
import ctypes
_grammar = ctypes.create_string_buffer(256)
ctypes.c_uint32.from_buffer(_grammar).value = {abi}
_name = b"tree_sitter.Language"
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
def language():
    return _new(ctypes.addressof(_grammar), _name, None)
"""
GO_GRAMMAR = "from tree_sitter_go import language\n"


@pytest.mark.parametrize(
    "payload, body, tags, message",
    [
        ({"language": "python"}, None, None, '"python" is a built-in language: no registration replaces it'),
        ({"language": "json"}, None, None, '"json" is a built-in language: no registration replaces it'),
        ({"language": ""}, None, None, "a registered language needs a name"),
        ({"package": "tree_sitter_go"}, None, None, "missing required field: language"),
        ({"language": "err-x"}, None, None, "missing required field: package"),
        (
            {"language": "err-x", "package": "no_such_grammar_package"},
            None,
            None,
            'grammar package "no_such_grammar_package" cannot be imported: ModuleNotFoundError: '
            "No module named 'no_such_grammar_package'",
        ),
        (
            {"language": "err-x"},
            "raise ValueError('broken on import')\n",
            None,
            'grammar package "PKG" cannot be imported: ValueError: broken on import',
        ),
        ({"language": "err-x"}, "x = 1\n", None, 'grammar package "PKG" has no function "language"'),
        (
            {"language": "err-x", "function": "language_php"},
            GO_GRAMMAR,
            None,
            'grammar package "PKG" has no function "language_php"',
        ),
        ({"language": "err-x"}, "language = 5\n", None, 'grammar package "PKG" has no function "language"'),
        (
            {"language": "err-x"},
            "def language():\n    raise OSError('no grammar here')\n",
            None,
            'grammar package "PKG": language() failed: OSError: no grammar here',
        ),
        (
            {"language": "err-x"},
            "def language():\n    return 140000000\n",
            None,
            'grammar package "PKG": language() returned int, not a "tree_sitter.Language" capsule',
        ),
        (
            {"language": "err-x"},
            "import ctypes\n_n = ctypes.create_string_buffer(8)\n"
            "_new = ctypes.pythonapi.PyCapsule_New\n_new.restype = ctypes.py_object\n"
            "_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n"
            "def language():\n    return _new(ctypes.addressof(_n), b'other.Language', None)\n",
            None,
            'grammar package "PKG": language() returned PyCapsule, not a "tree_sitter.Language" capsule',
        ),
        (
            {"language": "err-x"},
            FAKE_ABI.format(abi=16),
            None,
            "Incompatible language version 16. Expected minimum 13, maximum 15",
        ),
        (
            {"language": "err-x"},
            FAKE_ABI.format(abi=12),
            None,
            "Incompatible language version 12. Expected minimum 13, maximum 15",
        ),
        (
            {"language": "err-x"},
            GO_GRAMMAR,
            "(function_declaration name: (identifier) @name @definition.function",
            'tags query "TAGS" does not compile at row 1, column 68: syntax error',
        ),
        (
            {"language": "err-x"},
            GO_GRAMMAR,
            "; functions\n\n  (no_such_node) @name @definition.x\n",
            'tags query "TAGS" does not compile at row 3, column 4: unknown node type "no_such_node"',
        ),
        (
            {"language": "err-x"},
            GO_GRAMMAR,
            "(function_declaration nope: (identifier) @name) @definition.f\n",
            'tags query "TAGS" does not compile at row 1, column 23: unknown field "nope"',
        ),
        (
            {"language": "err-x"},
            GO_GRAMMAR,
            "(call_expression) @reference.call\n\n((identifier) @name @definition.f (#is-not? local))\n",
            'tags query "TAGS", pattern at row 3: #is-not? is not a predicate outlines evaluate',
        ),
        (
            {"language": "err-x"},
            GO_GRAMMAR,
            '((identifier) @name @definition.f (#match? @name "(?i)x"))\n',
            'tags query "TAGS", pattern at row 1: #match? cannot use the regular expression "(?i)x": a group with (?, '
            "such as flags or look-around, which is not supported",
        ),
        (
            {"language": "err-x"},
            GO_GRAMMAR,
            '((identifier) @name @definition.f (#match? @name "(a)\\\\1"))\n',
            'tags query "TAGS", pattern at row 1: #match? cannot use the regular expression "(a)\\1": the escape \\1, '
            "which is not supported",
        ),
        (
            {"language": "err-x"},
            GO_GRAMMAR,
            "((identifier) @name @definition.f (#eq? @name))\n",
            'tags query "TAGS", pattern at row 1: #eq? needs a capture and then its operands',
        ),
        (
            {"language": "err-x", "tags": "/no/such/tags.scm"},
            GO_GRAMMAR,
            None,
            'tags query "/no/such/tags.scm": No such file or directory (os error 2)',
        ),
        ({"language": "err-x", "extensions": ["py"]}, GO_GRAMMAR, None, 'extension "py" is already taken by "python"'),
        (
            {"language": "err-x", "extensions": ["x", "toml"]},
            GO_GRAMMAR,
            None,
            'extension "toml" is already taken by "toml"',
        ),
        (
            {"language": "err-x", "extensions": ["gotest"]},
            GO_GRAMMAR,
            None,
            'extension "gotest" is already taken by "reg-go"',
        ),
        (
            {"language": "err-x", "extensions": [".go"]},
            GO_GRAMMAR,
            None,
            'extension ".go" must be lower-case, without the dot',
        ),
        (
            {"language": "err-x", "extensions": ["Go"]},
            GO_GRAMMAR,
            None,
            'extension "Go" must be lower-case, without the dot',
        ),
        (
            {"language": "err-x", "extensions": [""]},
            GO_GRAMMAR,
            None,
            'extension "" must be lower-case, without the dot',
        ),
        ({"language": "err-x", "extensions": [7]}, GO_GRAMMAR, None, "extensions must be strings"),
        (
            {"language": "reg-go", "package": "tree_sitter_c"},
            None,
            None,
            'language "reg-go" is already registered from package "tree_sitter_go", function "language"',
        ),
        (
            {"language": "reg-go", "package": "tree_sitter_go", "function": "other"},
            None,
            None,
            'language "reg-go" is already registered from package "tree_sitter_go", function "language"',
        ),
    ],
)
def test_every_registration_error_registers_nothing(tmp_path, monkeypatch, request, payload, body, tags, message):
    payload = dict(payload)
    package = None
    if body is not None:
        package = fake_package(tmp_path, monkeypatch, f"fake_{zlib.crc32(request.node.name.encode())}", body, tags)
        payload.setdefault("package", package)
    elif message != "missing required field: package":
        payload.setdefault("package", "tree_sitter_go")
    before = languages()
    text = run_error("register-grammar", payload)
    tags_path = str(tmp_path / str(package) / "queries" / "tags.scm")
    assert text == message.replace("PKG", str(package)).replace("TAGS", tags_path)
    assert languages() == before


def test_an_interrupt_while_importing_is_raised_unchanged(tmp_path, monkeypatch):
    package = fake_package(tmp_path, monkeypatch, "fake_interrupting", "raise KeyboardInterrupt('stop')\n")
    import marblewick_index_native

    with pytest.raises(KeyboardInterrupt, match="stop"):
        marblewick_index_native.run("register-grammar", json.dumps({"language": "err-int", "package": package}))
    assert all(entry["name"] != "err-int" for entry in languages())


def test_without_a_tags_query_there_is_no_outline_but_a_check(tmp_path, monkeypatch):
    package = fake_package(tmp_path, monkeypatch, "fake_no_tags", GO_GRAMMAR)
    answer = register("notags-go", package, extensions=["notagsgo"])
    assert answer == {
        "abi_version": 15,
        "extensions": ["notagsgo"],
        "language": "notags-go",
        "ok": True,
        "outline": False,
    }
    both = run_json("analyse", {"content": GO_SOURCE, "path": "a.notagsgo"})
    assert both["outline"] == {
        "checked": False,
        "language": "notags-go",
        "ok": True,
        "reason": "no_outline",
        "symbol_count": 0,
        "symbols": [],
    }
    assert both["syntax_check"]["checked"] is True


# ---- predicates and regular expressions -------------------------------------

PREDICATE_TAGS = r"""
; Documentation directives are ignored; reference patterns never run.
(
  (comment)* @doc
  .
  (function_declaration name: (identifier) @name) @definition.function
  (#not-match? @name "^[Tt]est")
  (#not-eq? @name "init")
  (#strip! @doc "^//\\s*")
  (#set-adjacent! @doc @definition.function)
)
((function_declaration name: (identifier) @name) @definition.test (#match? @name "^Test[A-Z]\\w*$"))
((type_spec name: (type_identifier) @name) @definition.type (#any-of? @name "Alpha" "Beta"))
((type_spec name: (type_identifier) @name type: (struct_type)) @definition.struct (#eq? @name "Gamma"))
((method_declaration receiver: (parameter_list (parameter_declaration type: (type_identifier) @recv))
   name: (field_identifier) @name) @definition.method (#eq? @recv @name))
(call_expression function: (identifier) @name) @reference.call
"""
PREDICATE_SOURCE = """package p

func init() {}
func test() {}
func TestAlpha() {}
func Testing() {}
func Run() {}
type Alpha int
type Gamma struct{}
type Delta int
func (g Gamma) Gamma() {}
func (g Gamma) Other() {}
"""


def test_filtering_predicates_decide_which_matches_are_records(tmp_path):
    tags = tmp_path / "tags.scm"
    tags.write_text(PREDICATE_TAGS)
    register("pred-go", "tree_sitter_go", tags=str(tags))
    outline = run_json("outline", {"content": PREDICATE_SOURCE, "language": "pred-go"})
    assert [(s["kind"], s["name"]) for s in outline["symbols"]] == [
        ("test", "TestAlpha"),
        ("function", "Run"),
        ("type", "Alpha"),
        ("struct", "Gamma"),
        ("method", "Gamma"),
    ]


# (pattern, subject): the answer must be what Python's re.search says.
REGEX_CASES = [
    ("^(lambda|load|require)$", "load"),
    ("^(lambda|load|require)$", "loads"),
    ("^(lambda|load|require)$", "xload"),
    ("^[A-Z][A-Z_0-9]*$", "MAX_SIZE"),
    ("^[A-Z][A-Z_0-9]*$", "Max"),
    ("^_", "_private"),
    ("^_", "public"),
    ("a.c", "abc"),
    ("a.c", "a\nc"),
    ("colou?r", "color"),
    ("colou?r", "colour"),
    ("colou?r", "colouur"),
    ("^a{2,3}$", "a"),
    ("^a{2,3}$", "aa"),
    ("^a{2,3}$", "aaaa"),
    ("^a{2}$", "aa"),
    ("^a{2,}$", "aaaaa"),
    (r"\d+", "x42"),
    (r"^\d+$", "4x2"),
    (r"\bend\b", "the end."),
    (r"\bend\b", "endless"),
    (r"\Bnd", "end"),
    (r"^\s*$", " \t "),
    (r"[^\s]", "   "),
    (r"[\w.-]+@", "a.b-c@"),
    (r"^(?:ab)+$", "ababab"),
    (r"^(?:ab)+$", "aba"),
    (r"x*", ""),
    (r"^$", ""),
    (r"(a|ab)(c|bcd)(d*)", "abcd"),
    (r"^(a*)*$", "aaaa"),
    (r"^(a+|b+)*c", "ababac"),
    (r"\.", "a.b"),
    (r"\.", "ab"),
    (r"[a\-z]", "-"),
    (r"[]]", "]"),
    ("é+", "café"),
    ("^.$", "é"),
    (r"\x41", "A"),
    (r"^\xe9$", "é"),
    (r"[0-9a-f]{4}", "ab12"),
    ("ab*?c", "abbbc"),
    ("a|", "b"),
]


@limits_address_space
def test_regular_expressions_answer_as_a_search_would():
    cases = [(pattern, subject) for pattern, subject in REGEX_CASES]
    code = f"""
    import json, os, tempfile, marblewick_index_native as m
    answers = []
    folder = tempfile.mkdtemp()
    for i, (pattern, subject) in enumerate({cases!r}):
        tags = os.path.join(folder, f"{{i}}.scm")
        with open(tags, "w") as f:
            f.write('((interpreted_string_literal) @name @definition.s (#match? @name %s))'
                    % json.dumps(pattern, ensure_ascii=False))
        m.run("register-grammar", json.dumps({{"language": f"re-{{i}}", "package": "tree_sitter_go", "tags": tags}}))
        source = "package p\\nvar x = " + json.dumps(subject, ensure_ascii=False) + "\\n"
        outline = json.loads(m.run("outline", json.dumps({{"content": source, "language": f"re-{{i}}"}})))
        answers.append(outline["symbol_count"])
    print(json.dumps(answers))
    """
    out = child_stdout(code, timeout=120)
    answers = json.loads(out)
    for (pattern, subject), count in zip(cases, answers):
        # The node text is the literal with its quotes.
        assert count == (1 if re.search(pattern, json.dumps(subject, ensure_ascii=False)) else 0), (pattern, subject)


@limits_address_space
# Patterns that take a backtracking matcher exponential time, or its stack
# depth in characters, on a long run of "a" (Python's own re among them, so
# the expected answers are written out).
@pytest.mark.parametrize(
    "pattern, matches",
    [(r"(a|aa)*b", False), (r"(x+x+)+y", False), (r"^(a|a?)+$", False), (r"(.*a){20}", True), (r"^\"(a|b)*\"$", True)],
)
def test_a_pattern_meeting_a_megabyte_node_text_ends_quickly(pattern, matches):
    code = f"""
    import json, os, resource, tempfile, time, marblewick_index_native as m
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    tags = os.path.join(tempfile.mkdtemp(), "tags.scm")
    with open(tags, "w") as f:
        f.write('((interpreted_string_literal) @name @definition.s (#match? @name %s))' % json.dumps({pattern!r}))
    m.run("register-grammar", json.dumps({{"language": "hostile-re", "package": "tree_sitter_go", "tags": tags}}))
    source = 'package p\\nvar x = "' + "a" * 1_000_000 + '"\\n'
    outline = json.loads(m.run("outline", json.dumps({{"content": source, "language": "hostile-re"}})))
    print(outline["symbol_count"])
    """
    out = child_stdout(code, timeout=60)
    assert int(out) == int(matches)


@limits_address_space
def test_a_text_nested_ninety_thousand_deep_is_outlined_in_linear_time():
    code = """
    import json, resource, marblewick_index_native as m
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    m.run("register-grammar", json.dumps({"language": "deep-c", "package": "tree_sitter_c"}))
    n = 90000
    source = "void f(void) {\\n" + "int a = ({ " * n + "0;" + " 0; });" * n + "\\n}\\n"
    outline = json.loads(m.run("outline", json.dumps({"content": source, "language": "deep-c"})))
    print(json.dumps([s["name"] for s in outline["symbols"]]))
    """
    out = child_stdout(code, timeout=60)
    assert json.loads(out) == ["f"]


# ---- process-wide effects, each in a child of its own -------------------------


def test_toml_detected_by_the_built_in_table_may_be_given_a_grammar():
    code = """
    import json, marblewick_index_native as m
    run = lambda c, p: json.loads(m.run(c, json.dumps(p)))
    before = run("syntax-check", {"content": "package p\\n", "path": "Cargo.toml"})
    print(json.dumps(before))
    print(json.dumps(run("register-grammar", {"language": "toml", "package": "tree_sitter_go", "extensions": ["toml"]})))
    after = run("syntax-check", {"content": "package p\\n", "path": "Cargo.TOML"})
    print(json.dumps(after))
    print(json.dumps([e for e in run("languages", {})["languages"] if e["name"] == "toml"]))
    """
    out = child_stdout(code)
    before, answer, after, listed = [json.loads(line) for line in out.splitlines()]
    assert before["checked"] is False and before["reason"] == "no_parser" and before["language"] == "toml"
    assert answer["extensions"] == ["toml"]
    assert after["checked"] is True and after["language"] == "toml"
    assert [entry["registered"] for entry in listed] == [True]
    assert listed[0]["extensions"] == ["toml"]


def test_registrations_racing_released_analysis_calls():
    """Threads analyse registered languages with the host lock released while
    others register more; every answer must be the one the call gives alone."""
    code = """
    import json, threading, marblewick_index_native as m
    run = lambda c, p: m.run(c, json.dumps(p))
    run("register-grammar", {"language": "race-go", "package": "tree_sitter_go", "extensions": ["racego"]})
    source = "package main\\n" + "func F() { if x { y() } }\\ntype T struct{}\\n" * 300
    calls = [("analyse", {"content": source, "path": "x.racego", "release_gil": True}),
             ("outline", {"content": source, "language": "race-go", "release_gil": True}),
             ("syntax-check", {"content": source + "func (", "language": "race-go", "release_gil": True}),
             ("analyse", {"content": "def f(): pass\\n", "language": "python", "release_gil": True})]
    expected = [run(c, p) for c, p in calls]
    wrong = []
    def analyse(seed):
        for i in range(60):
            c, p = calls[(seed + i) % len(calls)]
            if run(c, p) != expected[(seed + i) % len(calls)]:
                wrong.append((c, p["language"] if "language" in p else p["path"]))
    def register():
        for i in range(40):
            package = ("tree_sitter_c", "tree_sitter_java", "tree_sitter_go")[i % 3]
            run("register-grammar", {"language": f"race-{i}", "package": package, "extensions": [f"race{i}"],
                                     "release_gil": True})
            run("languages", {"release_gil": True})
    threads = [threading.Thread(target=analyse, args=(s,)) for s in range(4)] + [threading.Thread(target=register)]
    for t in threads: t.start()
    for t in threads: t.join()
    names = [e["name"] for e in json.loads(run("languages", {}))["languages"]]
    print(json.dumps({"wrong": wrong, "registered": sum(n.startswith("race-") for n in names)}))
    """
    out = child_stdout(code, timeout=120)
    assert json.loads(out) == {"wrong": [], "registered": 41}
