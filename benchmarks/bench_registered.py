"""Registered grammars: what their outline costs. Run by hand (not part of the test suite).

  python benchmarks/bench_registered.py [ROOT...]

Needs the test extra's grammar packages (tree-sitter-c, -go, -java). Prints:
- per language, over the .c/.h, .go and .java files under the ROOTs (default
  /usr/include), the files, bytes and records, and the seconds "syntax-check"
  and "analyse" take over all of them (the difference is the tags query's
  outline);
- the outline of C statement expressions nested N deep, for growing N (the
  query's walk stays linear in the depth);
- a #match? pattern that backtracking matchers take exponential time on,
  against a string literal of 1 MB.
"""

import json
import os
import sys
import tempfile
import time

import marblewick_index_native as m

LANGUAGES = {"bench-c": ("tree_sitter_c", ("c", "h")), "bench-go": ("tree_sitter_go", ("go",)),
             "bench-java": ("tree_sitter_java", ("java",))}


def run(command, payload):
    return json.loads(m.run(command, json.dumps(payload)))


def corpus(roots):
    files = {language: [] for language in LANGUAGES}
    for root in roots:
        for folder, _, names in os.walk(root):
            for name in names:
                for language, (_, extensions) in LANGUAGES.items():
                    if name.rsplit(".", 1)[-1] in extensions:
                        path = os.path.join(folder, name)
                        try:
                            with open(path, encoding="utf-8") as f:
                                files[language].append(f.read())
                        except (UnicodeDecodeError, OSError):
                            pass
    return files


def main():
    roots = sys.argv[1:] or ["/usr/include"]
    for language, (package, _) in LANGUAGES.items():
        run("register-grammar", {"language": language, "package": package})
    print(f"{'language':<11}{'files':>7}{'MB':>8}{'records':>9}{'check s':>9}{'analyse s':>11}{'ratio':>7}")
    for language, texts in corpus(roots).items():
        if not texts:
            continue
        timings = {}
        records = 0
        for command in ("syntax-check", "analyse"):
            started = time.perf_counter()
            for text in texts:
                answer = run(command, {"content": text, "language": language})
                if command == "analyse":
                    records += answer["outline"]["symbol_count"]
            timings[command] = time.perf_counter() - started
        size = sum(len(t.encode()) for t in texts) / 1e6
        print(f"{language:<11}{len(texts):>7}{size:>8.1f}{records:>9}{timings['syntax-check']:>9.2f}"
              f"{timings['analyse']:>11.2f}{timings['analyse'] / timings['syntax-check']:>7.2f}")

    print("\nC statement expressions nested N deep, outline:")
    for n in (10_000, 30_000, 90_000):
        source = "void f(void) {\n" + "int a = ({ " * n + "0;" + " 0; });" * n + "\n}\n"
        started = time.perf_counter()
        run("outline", {"content": source, "language": "bench-c"})
        print(f"  N={n:>6}: {time.perf_counter() - started:.3f} s")

    tags = os.path.join(tempfile.mkdtemp(), "tags.scm")
    with open(tags, "w") as f:
        f.write('((interpreted_string_literal) @name @definition.s (#match? @name "(a|aa)*b"))')
    run("register-grammar", {"language": "bench-re", "package": "tree_sitter_go", "tags": tags})
    source = 'package p\nvar x = "' + "a" * 1_000_000 + '"\n'
    started = time.perf_counter()
    run("outline", {"content": source, "language": "bench-re"})
    print(f'\n#match? "(a|aa)*b" against a 1 MB string literal, outline: {time.perf_counter() - started:.3f} s')


if __name__ == "__main__":
    main()
