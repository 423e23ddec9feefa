"""How much of what the distribution's tag generator lists does the outline
of a registered grammar list too?

  python -m benchmarks.tag_generator_share [--languages c,go,java] [--limit N] [--examples 3]

Over the real C, Go and Java of harness/debian_corpus.py, the tag generator (`ctags`
of Debian's universal-ctags, `apt-get install universal-ctags`) lists the
declarations of each file. Of its functions, methods, classes and interfaces
(C: functions, structs, unions; Go: functions, methods, structs, interfaces;
Java: classes, interfaces, methods, constructors among them), the share that
"outline" lists at the same name and line is printed per language and kind.

Beside it, the same share for every definition the package's tags query
matches through the official bindings, with no depth limit and no cap: the
gap between the two columns is the outline's own two levels and 200 records;
what both miss is the query's (or the parse's). Each miss is then put down to
one cause, and the causes are printed with counts and examples. Along the
way, every file's outline is compared, record for record, with what the
bindings make of the same query under the outline's rules, and the number of
files that agree is printed. `--languages cpp` runs the same over the C++
corpus (classes, structs, unions, functions).
"""

import argparse
import collections
import json
import os
import re
import subprocess
import tempfile

import marblewick_index_native

from harness import corpus, debian_corpus, registered_grammars

# The tag generator's language name, and its kinds that are counted.
TAG_LANGUAGES = {"c": "C", "go": "Go", "java": "Java", "cpp": "C++"}
COUNTED_KINDS = {
    "c": ("function", "struct", "union"),
    "go": ("function", "method", "struct", "interface"),
    "java": ("class", "interface", "method"),
    "cpp": ("function", "class", "struct", "union"),
}


def tag_generator_entries(language, paths):
    """(path, kind, name, line) of every counted declaration the tag
    generator lists, all files of a language in one run."""
    with tempfile.NamedTemporaryFile("w", suffix=".list") as listing:
        listing.write("\n".join(paths) + "\n")
        listing.flush()
        out = subprocess.run(
            [
                "ctags",
                f"--language-force={TAG_LANGUAGES[language]}",
                "--output-format=json",
                "--fields=+nKz",
                "-L",
                listing.name,
                "-f",
                "-",
            ],
            check=True,
            capture_output=True,
            text=True,
            errors="replace",
        ).stdout
    entries = []
    for line in out.splitlines():
        tag = json.loads(line)
        if tag.get("_type") != "tag" or "line" not in tag:
            continue
        kind = tag["kind"]
        if language == "go" and kind == "func":
            # A method's scope is its receiver's type inside the package.
            kind = "method" if "." in tag.get("scope", "") else "function"
        if kind in COUNTED_KINDS[language] and not tag["name"].startswith("__anon"):
            entries.append((tag["path"], kind, tag["name"], tag["line"]))
    return entries


def enclosing_declaration(root, source_lines, line, name):
    """The syntax node the tag generator points at, named by the first
    enclosing node that declares something, or "parse error" when an error
    node encloses it first."""
    text = source_lines[line - 1] if line <= len(source_lines) else b""
    match = re.search(rb"(?<![A-Za-z0-9_$])" + re.escape(name.encode()) + rb"(?![A-Za-z0-9_$])", text)
    column = match.start() if match else 0
    node = root.descendant_for_point_range((line - 1, column), (line - 1, column))
    while node is not None:
        if node.is_error:
            return "parse error"
        if node.type.endswith(("declaration", "definition", "specifier", "declarator", "_spec", "_item")):
            return node.type
        node = node.parent
    return "no declaration node"


def miss_cause(entry, answer, records, definitions, root, source_lines):
    _, kind, name, line = entry
    if "failure" in answer:
        return f"the outline failed: {answer['failure']}"
    at_line = [d for d in definitions if d.name == name and d.line == line]
    if at_line:
        if at_line[0].depth >= 2:
            return "deeper than the outline's two levels"
        if len(records) >= registered_grammars.MAX_OUTLINE_SYMBOLS:
            return "past the outline's 200-record cap"
        return "outline and bindings disagree"
    around = [d for d in definitions if d.name == name and d.name_line == line]
    if around:
        return f"the {around[0].kind} starts above its name (annotations or modifiers on lines of their own)"
    return f"not matched by the tags query: {enclosing_declaration(root, source_lines, line, name)}"


def main():
    options = argparse.ArgumentParser()
    options.add_argument("--languages", default="c,go,java")
    options.add_argument("--limit", type=int, default=0, help="files per language (0: all)")
    options.add_argument("--examples", type=int, default=3)
    options.add_argument("--root", default=debian_corpus.DEFAULT_ROOT)
    args = options.parse_args()
    languages = args.languages.split(",")

    import tree_sitter

    debian_corpus.fetch(args.root)
    registered_grammars.register(marblewick_index_native, languages)
    version = subprocess.run(["ctags", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    print(f"tag generator: {version}")

    rows, causes, agreement = [], {}, collections.Counter()
    for language in languages:
        # The module refuses text that is not UTF-8: such files are left out of the count.
        paths = [p for p in debian_corpus.FILES[language](args.root) if corpus.read_utf8(p) is not None]
        if args.limit:
            paths = paths[: args.limit]
        grammar = registered_grammars.reference_language(language)
        parser = tree_sitter.Parser(grammar)
        query = tree_sitter.Query(grammar, registered_grammars.tags_query_text(language))
        by_path = collections.defaultdict(list)
        for entry in tag_generator_entries(language, paths):
            by_path[entry[0]].append(entry)

        counts = collections.Counter()
        causes[language] = collections.defaultdict(list)
        for path in paths:
            with open(path, "rb") as f:
                source = f.read()
            try:
                answer = json.loads(
                    marblewick_index_native.run("outline", json.dumps({"path": path, "language": language}))
                )
            except RuntimeError as failure:
                answer = {"failure": str(failure)}
            records = answer.get("symbols", [])
            listed = {(r["name"], r["line"]) for r in records}
            tree = parser.parse(source)
            definitions = registered_grammars.query_definitions(query, tree.root_node, source)
            matched = {(d.name, d.line) for d in definitions}
            # The module's outline against the bindings' reading of the same query.
            expected = [
                (d.kind, d.name, d.line, d.end_line, d.depth) for d in registered_grammars.outline_records(definitions)
            ]
            got = [(r["kind"], r["name"], r["line"], r["end_line"], r["depth"]) for r in records]
            agreement[language, got == expected] += 1
            lines = source.split(b"\n")
            for entry in by_path[path]:
                _, kind, name, line = entry
                counts[kind, "all"] += 1
                counts[kind, "query"] += (name, line) in matched
                if (name, line) in listed:
                    counts[kind, "outline"] += 1
                else:
                    cause = miss_cause(entry, answer, records, definitions, tree.root_node, lines)
                    causes[language][cause].append(f"{os.path.relpath(path, args.root)}:{line} {name}")
        for kind in COUNTED_KINDS[language] + ("all",):
            if kind == "all":
                total = {c: sum(counts[k, c] for k in COUNTED_KINDS[language]) for c in ("all", "outline", "query")}
            else:
                total = {c: counts[kind, c] for c in ("all", "outline", "query")}
            rows.append((language, kind, len(paths), total))

    print(
        f"\n{'language':<9} {'kind':<10} {'files':>5} {'listed':>7} {'outline':>8} {'share':>7} "
        f"{'query':>7} {'share':>7}"
    )
    for language, kind, files, total in rows:
        share = total["outline"] / total["all"] if total["all"] else 0.0
        query_share = total["query"] / total["all"] if total["all"] else 0.0
        print(
            f"{language:<9} {kind:<10} {files:>5} {total['all']:>7} {total['outline']:>8} {share:>7.1%} "
            f"{total['query']:>7} {query_share:>7.1%}"
        )

    print()
    for language in languages:
        print(
            f"{language}: the outline of {agreement[language, True]} of "
            f"{agreement[language, True] + agreement[language, False]} files is, record for record, "
            f"what the bindings make of the same query"
        )
    for language in languages:
        print(f"\nmisses, {language}:")
        ranked = sorted(causes[language].items(), key=lambda c: -len(c[1]))
        for cause, where in ranked:
            print(f"  {len(where):>6}  {cause}")
            for example in where[: args.examples]:
                print(f"          {example}")


if __name__ == "__main__":
    main()
