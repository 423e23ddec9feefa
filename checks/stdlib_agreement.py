"""Heavy checks of the analysis commands, run by hand (not part of the test suite).

  python -m checks.stdlib_agreement [agreement] [crosscheck] [truncations] [large] [random]

agreement   "syntax-check" over every .py file of the standard library, its
            "valid" compared with whether compile() accepts the file.
crosscheck  both commands compared, record for record, with the same walks
            written in Python over the official bindings' trees (needs the
            `bench` extra); stdlib plus the JavaScript, TypeScript and Rust corpus.
truncations every prefix of a real file cut at a line boundary, both commands.
large       a 50 MB file, both commands, through "path".
random      random byte strings that happen to be valid UTF-8, as "content" and
            as files (the file reader must refuse exactly the invalid ones).

Any exception other than the documented RuntimeError texts, a PanicException
included, stops the run.
"""

import collections
import json
import os
import random
import sys
import tempfile
import time
import warnings

import marblewick_index_native

from harness import corpus
from harness.bindings import reference_parsers

LANGUAGES = ["python", "javascript", "typescript", "tsx", "rust", "json"]


def run(command, payload):
    return json.loads(marblewick_index_native.run(command, json.dumps(payload)))


def compile_verdict(path):
    with open(path, "rb") as f:
        data = f.read()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            compile(data, path, "exec", dont_inherit=True)
            return True, None
        except SyntaxError as error:
            return False, f"{type(error).__name__}: {error.msg}"
        except (ValueError, MemoryError, RecursionError) as error:
            return False, f"{type(error).__name__}: {error}"


def agreement():
    files = corpus.stdlib_python_files()
    agree = 0
    not_utf8 = []
    kinds = collections.Counter()
    examples = {}
    started = time.perf_counter()
    for path in files:
        try:
            ours = run("syntax-check", {"path": path})
        except RuntimeError as error:
            if str(error) == "stream did not contain valid UTF-8":
                not_utf8.append(path)
                continue
            raise
        accepted, reason = compile_verdict(path)
        if ours["valid"] == accepted:
            agree += 1
            continue
        if accepted:
            first = ours["errors"][0]
            kind = f"grammar rejects, compile() accepts: {first['message']}"
            detail = f"{path}:{first['line']}:{first['column']}: {first['snippet'].strip()[:80]}"
        else:
            kind = f"grammar accepts, compile() rejects: {reason}"
            detail = path
        kinds[kind] += 1
        examples.setdefault(kind, []).append(detail)
    elapsed = time.perf_counter() - started
    checked = len(files) - len(not_utf8)
    print(f"stdlib .py files: {len(files)}; not UTF-8 (refused by the reader): {len(not_utf8)}")
    for path in not_utf8:
        print(f"  not UTF-8: {path}")
    print(f"agreement on 'valid' vs compile(): {agree}/{checked} ({elapsed:.1f} s)")
    for kind, count in kinds.most_common():
        print(f"  {count:4d}  {kind}")
        for detail in examples[kind][:4]:
            print(f"          {detail}")


# --- the same walks over the official bindings' trees ------------------------------------


def reference_lines(data):
    lines = data.split(b"\n")
    terminated = len(lines) - 1  # pieces followed by an LF
    if lines[-1] == b"":
        lines.pop()
    return [line[:-1] if i < terminated and line.endswith(b"\r") else line for i, line in enumerate(lines)]


def reference_errors(root, data):
    lines = reference_lines(data)
    stack, out = [root], []
    while stack:
        node = stack.pop()
        if len(out) >= 20:
            break
        if node.is_error or node.is_missing:
            row, column = node.start_point
            snippet = lines[row].decode()[:120] if row < len(lines) else ""
            missing = node.is_missing
            out.append(
                {
                    "column": column + 1,
                    "kind": "missing" if missing else "error",
                    "line": row + 1,
                    "message": f"missing {node.type}" if missing else "syntax error",
                    "snippet": snippet,
                }
            )
        if node.is_error:
            continue
        if node.has_error and node.child_count > 0:
            stack.extend(reversed(node.children))
    return out


SCRIPT = {
    ("class_declaration", None): ("class", "class_body"),
    ("abstract_class_declaration", None): ("class", "class_body"),
    ("method_definition", 1): ("method", None),
    ("function_declaration", None): ("function", None),
    ("generator_function_declaration", None): ("function", None),
    ("interface_declaration", None): ("interface", None),
    ("enum_declaration", None): ("enum", None),
    ("type_alias_declaration", None): ("type", None),
}
RULES = {
    "python": {
        ("class_definition", None): ("class", "block"),
        ("function_definition", 0): ("function", None),
        ("function_definition", 1): ("method", None),
    },
    "rust": {
        ("mod_item", None): ("mod", None),
        ("enum_item", None): ("enum", None),
        ("impl_item", None): ("impl", "declaration_list"),
        ("trait_item", None): ("trait", "declaration_list"),
        ("struct_item", None): ("struct", None),
        ("function_item", 0): ("fn", None),
        ("function_item", 1): ("method", None),
        ("function_signature_item", None): ("fn", None),
    },
    "javascript": SCRIPT,
    "typescript": SCRIPT,
    "tsx": SCRIPT,
}
WHITE = "".join(
    map(chr, [*range(9, 14), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
)


def reference_outline(node, data, language, depth, out):
    for child in node.children:
        if len(out) >= 200:
            return
        if child.type == "export_statement" and child.child_by_field_name("declaration") is not None:
            child = child.child_by_field_name("declaration")
        elif child.type == "decorated_definition" and child.child_by_field_name("definition") is not None:
            child = child.child_by_field_name("definition")
        rule = RULES[language].get((child.type, depth)) or RULES[language].get((child.type, None))
        if rule is None:
            continue
        name = child.child_by_field_name("name") or child.child_by_field_name("type")
        text = data[child.start_byte : child.end_byte].decode()
        first = text.split("\n", 1)[0].removesuffix("\r").strip(WHITE)[:120]
        out.append(
            {
                "depth": depth,
                "end_line": child.end_point[0] + 1,
                "kind": rule[0],
                "line": child.start_point[0] + 1,
                "name": data[name.start_byte : name.end_byte].decode() if name is not None else "",
                "signature": first,
            }
        )
        if depth == 0 and rule[1] is not None:
            body = child.child_by_field_name("body")
            if body is not None and body.type == rule[1]:
                reference_outline(body, data, language, 1, out)


def with_truncations(files):
    """Each file whole, and for one file in ten also cut after every 13th
    line and in the middle of that line, so that error recovery is exercised."""
    seen = collections.Counter()
    for path, language in files:
        number = seen[language]
        seen[language] += 1
        data = corpus.read_utf8(path)
        if data is None:
            continue
        yield path, language, data
        if number % 10:
            continue
        lines = data.splitlines(keepends=True)
        for cut in range(13, min(len(lines), 1500), 13):
            prefix = b"".join(lines[:cut])
            middle = prefix[: len(prefix) - len(lines[cut - 1]) // 2]
            for text in (prefix, middle):
                try:
                    text.decode("utf-8")
                except UnicodeDecodeError:
                    continue
                yield f"{path} (first {len(text)} bytes)", language, text


def crosscheck():
    parsers = reference_parsers()
    files = [(p, "python") for p in corpus.stdlib_python_files()]
    files += [(p, "javascript") for p in corpus.javascript_files()]
    files += [(p, "typescript") for p in corpus.typescript_files()]
    files += [(p, "rust") for p in corpus.rust_files()]
    compared = collections.Counter()
    with_errors = collections.Counter()
    mismatches = []
    for path, language, data in with_truncations(files):
        tree = parsers[language].parse(data)
        expected_errors = reference_errors(tree.root_node, data)
        expected_symbols = []
        reference_outline(tree.root_node, data, language, 0, expected_symbols)
        payload = {"content": data.decode(), "language": language}
        ours_errors = run("syntax-check", payload)["errors"]
        ours_symbols = run("outline", payload)["symbols"]
        compared[language] += 1
        with_errors[language] += bool(expected_errors)
        if ours_errors != expected_errors:
            mismatches.append(("syntax-check", path))
        if ours_symbols != expected_symbols:
            mismatches.append(("outline", path))
    print("cross-check against the same walks over the official bindings' trees:")
    for language, count in sorted(compared.items()):
        print(f"  {language}: {count} texts compared, {with_errors[language]} of them with errors")
    print(f"  mismatches: {len(mismatches)}")
    for command, path in mismatches[:20]:
        print(f"    {command}: {path}")


# --- bad input -----------------------------------------------------------------------------


def truncations():
    decoder = os.path.join(os.path.dirname(json.__file__), "decoder.py")
    rust = corpus.rust_files(limit=40)[-1]
    for path, language in [(decoder, "python"), (corpus.javascript_files(0)[0], "javascript"), (rust, "rust")]:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines(keepends=True)
        started = time.perf_counter()
        prefix = ""
        invalid = 0
        for line in lines[: min(len(lines), 2500)]:
            prefix += line
            # Cut inside the line too, which leaves strings and comments open.
            for text in (prefix, prefix[: len(prefix) - len(line) // 2]):
                result = run("syntax-check", {"content": text, "language": language})
                invalid += not result["valid"]
                run("outline", {"content": text, "language": language})
        count = min(len(lines), 2500)
        print(
            f"truncations of {path} ({language}): {2 * count} texts, {invalid} invalid, "
            f"no failure ({time.perf_counter() - started:.1f} s)"
        )


def large():
    source = corpus.stdlib_python_files()
    texts, size = [], 0
    for path in source:
        data = corpus.read_utf8(path)
        if data is None:
            continue
        texts.append(data)
        size += len(data)
        if size >= 50 * 1024 * 1024:
            break
    while size < 50 * 1024 * 1024:
        texts.append(texts[len(texts) % 100])
        size += len(texts[-1])
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "large.py")
        with open(path, "wb") as f:
            f.write(b"\n".join(texts))
        for command in ("syntax-check", "outline"):
            started = time.perf_counter()
            result = run(command, {"path": path})
            elapsed = time.perf_counter() - started
            summary = {k: v for k, v in result.items() if k not in ("errors", "symbols")}
            print(f"50 MB file ({os.path.getsize(path)} bytes), {command}: {elapsed:.2f} s, {summary}")


def random_valid_utf8(rng):
    while True:
        length = rng.randrange(1, 48)
        data = bytes(rng.randrange(256) if rng.random() < 0.3 else rng.randrange(0x20, 0x7F) for _ in range(length))
        try:
            data.decode("utf-8")
            return data
        except UnicodeDecodeError:
            continue


def random_bytes():
    rng = random.Random(2024)
    counts = collections.Counter()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "random.py")
        for i in range(4000):
            data = (
                random_valid_utf8(rng) if i % 2 == 0 else bytes(rng.randrange(256) for _ in range(rng.randrange(1, 32)))
            )
            with open(path, "wb") as f:
                f.write(data)
            try:
                data.decode("utf-8")
                valid_utf8 = True
            except UnicodeDecodeError:
                valid_utf8 = False
            for language in LANGUAGES:
                for command in ("syntax-check", "outline"):
                    try:
                        run(command, {"path": path, "language": language})
                        assert valid_utf8, f"reader accepted invalid UTF-8 {data!r}"
                    except RuntimeError as error:
                        assert not valid_utf8 and str(error) == "stream did not contain valid UTF-8", (data, error)
                    if valid_utf8:
                        run(command, {"content": data.decode(), "language": language})
            counts["valid UTF-8" if valid_utf8 else "invalid UTF-8"] += 1
    print(
        f"random byte strings: {dict(counts)}, each through both commands in 6 languages, "
        "as file and as content: no failure"
    )


def main(argv):
    steps = {
        "agreement": agreement,
        "crosscheck": crosscheck,
        "truncations": truncations,
        "large": large,
        "random": random_bytes,
    }
    for name in argv or list(steps):
        steps[name]()


if __name__ == "__main__":
    main(sys.argv[1:])
