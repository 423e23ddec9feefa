"""Writes a seed corpus for each fuzz target from the texts of the test suite.

    python fuzz/make_seeds.py [OUT]        (default: target/fuzz/seeds)

gives OUT/<target>/<sha1 of the input>, one file per input. The texts are the
string literals of the test files, read with `ast`, so nothing here imports
the module. Inputs are laid out as the targets read them: for
fuzz_execute_command a first byte choosing the command, for fuzz_analysis a
first byte choosing the language and the command, for fuzz_growth a first
byte choosing the language and a short unit to repeat (the tokens of
tests/outline_samples.py and of fuzz/fuzz_analysis.dict in every language,
and the start of each slow input that fuzz_analysis has found so far).
"""

import ast
import hashlib
import pathlib
import re
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
TESTS = REPO / "tests"
sys.path.insert(0, str(TESTS))

from outline_samples import SAMPLES, SOUP_TOKENS  # noqa: E402  (plain data, no module import)


def registry_languages() -> list[str]:
    """The names of the module's language table, in its order: the order
    fuzz_analysis picks from (language = byte % count, outline when
    byte // count is odd). Read from the header, as nothing here imports
    the module."""
    header = (REPO / "src" / "syntax" / "language.h").read_text(encoding="utf-8")
    table = header[header.index("LANGUAGE_TABLE[] = {") :]
    names = re.findall(r'\{Language::\w+, "([^"]*)"', table[: table.index("};")])
    assert names, "no rows found in LANGUAGE_TABLE"
    return names


ANALYSIS_LANGUAGES = registry_languages()
# fuzz_execute_command's selectors: 0-3 name the real commands, 8-13 near misses,
# 14-15 take the name from the input up to its first NUL.
COMMAND_SELECTORS = {"syntax-check": 0, "outline": 1, "hash": 2, "scan": 3}
NEAR_MISS_SELECTORS = range(8, 14)
NAME_FROM_INPUT = 14
# The longest input the campaign feeds a target (its -max_len).
MAX_LEN = 4096

# Payloads naming what the scratch tree of fuzz_execute_command holds.
SCRATCH_PAYLOADS = {
    "hash": [
        '{"path":"a.py"}',
        '{"path":"b.rs"}',
        '{"path":"e.md"}',
        '{"path":"latin1.py"}',
        '{"path":"pipe.py"}',
        '{"path":"sub"}',
        '{"path":"here/link.py"}',
        '{"path":"a.py\\u0000"}',
    ],
    "scan": [
        '{"root":"."}',
        '{"root":"here","max_files":3}',
        '{"root":"sub/","extensions":[".js","tsx"]}',
        '{"root":".","extensions":[".","yml",7]}',
        '{"root":"node_modules"}',
        '{"root":"x","max_files":0}',
    ],
    "syntax-check": [
        '{"path":"c.ts"}',
        '{"path":"sub/deep/g.js"}',
        '{"path":"d.json","language":"rust"}',
        '{"content":"def f(:","path":"Cargo.toml"}',
    ],
    "outline": [
        '{"path":"b.rs"}',
        '{"path":"sub/f.tsx"}',
        '{"path":"latin1.py"}',
        '{"content":"fn f(){}","language":"rust"}',
    ],
}


def string_literals(path: pathlib.Path):
    """Every str literal of a Python file, plus the value of each expression
    built only from literals (such as "[" * 128), in source order."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            yield node.value
        elif isinstance(node, ast.BinOp):
            try:
                value = eval(compile(ast.Expression(node), str(path), "eval"), {"__builtins__": {}})
            except Exception:
                continue
            if isinstance(value, str):
                yield value


def write_corpus(folder: pathlib.Path, inputs) -> int:
    folder.mkdir(parents=True, exist_ok=True)
    written = set()
    for data in inputs:
        if len(data) > MAX_LEN or data in written:
            continue
        written.add(data)
        (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
    return len(written)


def payload_seeds():
    for name in ("test_envelope.py", "test_hash.py", "test_scan.py", "test_files.py"):
        for text in string_literals(TESTS / name):
            yield text.encode("utf-8", "surrogatepass")


def execute_command_seeds():
    payloads = [p for p in payload_seeds() if p.lstrip()[:1] in (b"{", b"[", b'"') or len(p) < 8]
    for command, selector in COMMAND_SELECTORS.items():
        for payload in SCRATCH_PAYLOADS[command]:
            yield bytes([selector]) + payload.encode()
        for payload in payloads:
            yield bytes([selector]) + payload
    for selector in NEAR_MISS_SELECTORS:
        yield bytes([selector]) + b"{}"
    for name in (b"hash", b"scan ", b"", b"echo"):
        yield bytes([NAME_FROM_INPUT]) + name + b"\0" + b'{"path":"a.py"}'


def analysis_seeds():
    def both_commands(language, source):
        index = ANALYSIS_LANGUAGES.index(language)
        for selector in (index, index + len(ANALYSIS_LANGUAGES)):
            yield bytes([selector]) + source.encode("utf-8")

    for language, (source, _symbols) in SAMPLES.items():
        yield from both_commands(language, source)
        yield from both_commands(language, source.replace("\n", "\r\n"))
    # Snippets of the analysis tests, each tried in every language: a text that
    # is valid in one grammar is a good error case in the others.
    snippets = {
        text
        for name in ("test_syntax_check.py", "test_outline.py", "test_analyse.py", "outline_samples.py")
        for text in string_literals(TESTS / name)
        if len(text) >= 2 and text not in ANALYSIS_LANGUAGES
    }
    for text in sorted(snippets):
        for language in ANALYSIS_LANGUAGES:
            yield from both_commands(language, text)


# fuzz_growth's input: the language byte, then the unit, or the prefix, 0xFF
# and the unit; units of at most GROWTH_UNIT_BYTES.
GROWTH_PREFIX_END = b"\xff"
GROWTH_UNIT_BYTES = 1024


def dictionary_entries(path: pathlib.Path):
    """The entries of a libFuzzer dictionary file, as bytes."""
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line.startswith('"') and line.endswith('"') and len(line) >= 2:
            body = line[1:-1].encode("latin-1", "backslashreplace")
            yield body.decode("unicode_escape").encode("latin-1")


def growth_seeds():
    dictionary = list(dictionary_entries(REPO / "fuzz" / "fuzz_analysis.dict"))
    for index, language in enumerate(ANALYSIS_LANGUAGES):
        for token in SOUP_TOKENS[language]:
            yield bytes([index]) + token.encode("utf-8")
        for entry in dictionary:
            yield bytes([index]) + entry
    # The slow inputs of fuzz_analysis (kept as timeout artifacts by a run
    # with a short TIMEOUT): the start of each, as a unit in its language.
    artifacts = REPO / "target" / "fuzz" / "work" / "fuzz_analysis" / "artifacts"
    for path in sorted(artifacts.glob("timeout-*")) if artifacts.is_dir() else []:
        data = path.read_bytes()
        if len(data) < 2:
            continue
        unit = data[1 : 1 + GROWTH_UNIT_BYTES].decode("utf-8", "ignore").encode("utf-8")
        if unit:
            yield bytes([data[0] % len(ANALYSIS_LANGUAGES)]) + unit


def main() -> None:
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else REPO / "target" / "fuzz" / "seeds"
    for target, inputs in [
        ("fuzz_payload_json", payload_seeds()),
        ("fuzz_execute_command", execute_command_seeds()),
        ("fuzz_analysis", analysis_seeds()),
        ("fuzz_growth", growth_seeds()),
    ]:
        count = write_corpus(out / target, inputs)
        print(f"{target}: {count} seeds in {out / target}")


if __name__ == "__main__":
    main()
