"""The grammar packages the benchmarks register, and the same grammars and
tags queries through the official bindings, for comparison.

`register` hands the packages to the module ("register-grammar");
`reference_language` and `query_definitions` give the bindings' view of the
same grammar and tags query: every definition the query matches, with no cap
and no depth limit, so that what the module leaves out can be told apart from
what the query never matches.
"""

import dataclasses
import importlib
import json
import os

MAX_OUTLINE_SYMBOLS = 200

# language -> (package, function, extensions). The versions are those of the
# `languages` extra; `pip install '.[bench]'` brings them.
PACKAGES = {
    "go": ("tree_sitter_go", "language", ["go"]),
    "java": ("tree_sitter_java", "language", ["java"]),
    "c": ("tree_sitter_c", "language", ["c", "h"]),
    "cpp": ("tree_sitter_cpp", "language", ["cc", "cpp", "cxx", "hh", "hpp", "hxx"]),
}


def register(module, languages):
    """Register each language with the module; answers the registrations'
    results by language."""
    answers = {}
    for language in languages:
        package, function, extensions = PACKAGES[language]
        payload = {"language": language, "package": package, "function": function, "extensions": extensions}
        answers[language] = json.loads(module.run("register-grammar", json.dumps(payload)))
    return answers


def reference_language(language):
    import tree_sitter

    package, function, _ = PACKAGES[language]
    return tree_sitter.Language(getattr(importlib.import_module(package), function)())


def tags_query_text(language):
    package = importlib.import_module(PACKAGES[language][0])
    with open(os.path.join(os.path.dirname(package.__file__), "queries", "tags.scm"), encoding="utf-8") as f:
        return f.read()


@dataclasses.dataclass(frozen=True)
class Definition:
    kind: str
    name: str
    line: int  # 1-based, of the definition node's start
    end_line: int
    name_line: int  # of the @name node's start
    depth: int  # definitions of the query whose node encloses this one's


def query_definitions(query, root, source):
    """Every match holding a @definition.<kind> and a @name capture, one per
    name node (the query's first pattern wins), in source order, a definition
    before those it contains. The bindings evaluate the text predicates
    (#eq?, #match?, ...) themselves and pass over the ones that only annotate
    (#strip!, ...)."""
    import tree_sitter

    found = {}
    for pattern, captures in tree_sitter.QueryCursor(query).matches(root):
        names = captures.get("name")
        kinds = [k for k in captures if k.startswith("definition.")]
        if not names or not kinds:
            continue
        key = (names[0].start_byte, names[0].end_byte)
        if key not in found or pattern < found[key][0]:
            found[key] = (pattern, kinds[0][len("definition.") :], captures[kinds[0]][0], names[0])
    ordered = sorted(found.values(), key=lambda f: (f[2].start_byte, -f[2].end_byte, f[0], f[3].start_byte))
    # Node ranges of one tree either nest or are apart, so the enclosing
    # definitions are a stack; two matches of one node do not enclose each other.
    definitions, enclosing = [], []
    for _, kind, node, name_node in ordered:
        span = (node.start_byte, node.end_byte)
        while enclosing and not (enclosing[-1][0] <= span[0] and span[1] <= enclosing[-1][1]):
            enclosing.pop()
        depth = sum(1 for outer in enclosing if outer != span)
        enclosing.append(span)
        name = source[name_node.start_byte : name_node.end_byte].decode("utf-8", "replace")
        definitions.append(
            Definition(
                kind, name, node.start_point.row + 1, node.end_point.row + 1, name_node.start_point.row + 1, depth
            )
        )
    return definitions


def outline_records(definitions):
    """What "outline" lists of them: the two levels, then the first 200."""
    return [d for d in definitions if d.depth <= 1][:MAX_OUTLINE_SYMBOLS]
