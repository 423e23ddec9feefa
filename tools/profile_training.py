"""The training run of the portable wheels' profile-guided build
(tools/build_portable_wheel.sh): "syntax-check", "outline" and "analyse" of
the texts that harness/corpus.py finds on this machine, so that the
optimiser learns which paths of the parser runtime, the grammars and our
code the real work takes.

    python tools/profile_training.py MODULE_FOLDER

MODULE_FOLDER holds a module built to record a profile. The training takes
the files at odd places of each list, and benchmarks/instruction_counts.py
measures those at even places, so a measured gain is not the training set's
own, except TypeScript's: its generated file, the bulk of its list, is
trained on and measured both. The standard library's Python is on every
machine; JavaScript, Rust and the TypeScript declarations only where a
machine has them. Prints how many files and bytes per language.
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    sys.path.insert(0, os.path.abspath(sys.argv[1]))
    sys.path.insert(0, os.path.join(HERE, ".."))
    from harness import corpus
    import marblewick_index_native

    sources = {
        "python": corpus.stdlib_python_files,
        "javascript": corpus.javascript_files,
        "typescript": corpus.typescript_files,
        "rust": corpus.rust_files,
    }
    for language, source in sources.items():
        files = [p for p in source() if corpus.read_utf8(p) is not None][1::2]
        if language == "typescript":
            # The generated file stands first; the declarations alone are few.
            files = source()[:1] + files
        size = 0
        for path in files:
            payload = json.dumps({"path": path, "language": language})
            for command in ("syntax-check", "outline", "analyse"):
                try:
                    marblewick_index_native.run(command, payload)
                except RuntimeError:
                    pass  # an error answer trains its path as well
            size += os.path.getsize(path)
        print(f"{language:<11} {len(files):>5} files {size:>10} bytes")


if __name__ == "__main__":
    main()
