"""Valid code the pinned grammars do not parse, with what the commands answer
for it today. A grammar upgrade that closes a gap fails its case here, so the
list of gaps in docs/grammars.md is brought up to date with it."""

import pytest

from support import run_json

# A file around each construct: its other declarations must stay listed.
BEFORE = "class A {\n  m(): void {}\n}\n"
AFTER = "\nexport function f(): void {}\ninterface I { a: number }\n"
AROUND = [("class", "A"), ("method", "m"), ("function", "f"), ("interface", "I")]

# (construct, its first problem (line, column) in the file, its own declaration
# listed in the outline when it has one)
IMPORT_TYPE = 'let x: import("m").Foo<T>;'
TYPESCRIPT_GAPS = [
    (IMPORT_TYPE, (4, 23), None),
    ("type F<out T> = T;", (4, 12), ("type", "F")),
    ('export type * from "./m";', (4, 8), None),
    ("type T = [symbol: string];", (4, 11), ("type", "T")),
    ("type K = keyof readonly any[];", (4, 6), None),
    ("export default function (a: string): void;", (4, 8), None),
]


@pytest.mark.parametrize("language", ["typescript", "tsx"])
@pytest.mark.parametrize("construct, first_problem, own", TYPESCRIPT_GAPS)
def test_typescript_gaps(language, construct, first_problem, own):
    result = run_json("analyse", {"content": BEFORE + construct + AFTER, "language": language})
    check = result["syntax_check"]
    assert check["valid"] is False
    assert (check["errors"][0]["line"], check["errors"][0]["column"]) == first_problem
    listed = [(s["kind"], s["name"]) for s in result["outline"]["symbols"]]
    after = AROUND[2:]
    if language == "tsx" and construct == IMPORT_TYPE:
        # In TSX the type arguments open an element that takes in the rest of
        # the file.
        after = []
    assert listed == AROUND[:2] + ([own] if own else []) + after


RUST_GAPS = [
    "fn f() -> Result<u8, E> { let v = try!(g()); Ok(v) }\n",
    "fn f() { g(&raw); }\n",
    "macro_rules! m { (~) => { 1 }; }\n",
    "fn f(_: &dyn (Debug)) {}\n",
    "impl !Trait {}\n",
]


@pytest.mark.parametrize("source", RUST_GAPS)
def test_rust_gaps(source):
    assert run_json("syntax-check", {"content": source, "language": "rust"})["valid"] is False


@pytest.mark.parametrize("source", ["struct X;\nimpl !Send for X {}\n", "unsafe impl<T> !Sync for X<T> {}\n"])
def test_rust_negative_trait_impls_parse(source):
    assert run_json("syntax-check", {"content": source, "language": "rust"})["valid"] is True


# Python text whose lines end in a lone CR (old Mac files): CPython compiles
# it, while the grammar takes a CR for blank space, not for the end of a
# line, so two statements run together. A body of one statement still parses.
# (source, first problem (line, column, message), or None for valid)
CR_ONLY_PYTHON = [
    ("x = 1\ry = 2\r", (1, 5, "syntax error")),
    ("import os\rimport sys\r", (1, 10, "missing newline")),
    ("def f():\r    x = 1\r    return x\r", (1, 19, "missing newline")),
    ("def f():\r    return 1\r", None),
]


@pytest.mark.parametrize("source, first_problem", CR_ONLY_PYTHON)
def test_python_with_cr_only_line_endings(source, first_problem):
    compile(source, "<cr-only>", "exec")
    check = run_json("syntax-check", {"content": source, "language": "python"})
    if first_problem is None:
        assert check["valid"] is True
    else:
        first = check["errors"][0]
        assert (check["valid"], (first["line"], first["column"], first["message"])) == (False, first_problem)
