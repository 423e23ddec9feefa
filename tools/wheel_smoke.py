"""Smoke set for a wheel whose whole suite cannot run where it is checked (the
aarch64 wheel, run under emulation with an interpreter that has no pytest):
every command on a small tree in each grammar's language, and a few error
texts. Standard library only.

    python wheel_smoke.py SITE_DIR

SITE_DIR is the unpacked wheel; the module must come from there. Prints one
line per check and exits non-zero when any fails.
"""

import hashlib
import json
import pathlib
import sys
import tempfile

SOURCES = {
    "pkg/app.py": "import os\n\nclass Greeter:\n    def hello(self, name):\n        return name\n\n\ndef main():\n    pass\n",
    "pkg/broken.py": "def f(:\n    pass\n",
    "web/app.js": "export function add(a, b) {\n  return a + b;\n}\nclass Shape {\n  area() { return 0; }\n}\n",
    "web/types.ts": "interface Point {\n  x: number;\n}\nexport type Id = string;\n",
    "web/view.tsx": "export function View() {\n  return <div>hi</div>;\n}\n",
    "core/lib.rs": "pub struct Point { x: i32 }\n\nimpl Point {\n    fn x(&self) -> i32 { self.x }\n}\n",
    "conf/data.json": '{"a": [1, 2, {"b": null}]}\n',
    "notes/crlf.md": "one\r\ntwo\r\nthree",
    "node_modules/skipped.js": "let x = 1;\n",
}

# What each file's outline must at least hold, as (kind, name).
OUTLINES = {
    "pkg/app.py": {("class", "Greeter"), ("method", "hello"), ("function", "main")},
    "web/app.js": {("function", "add"), ("class", "Shape"), ("method", "area")},
    "web/types.ts": {("interface", "Point"), ("type", "Id")},
    "web/view.tsx": {("function", "View")},
    "core/lib.rs": {("struct", "Point"), ("impl", "Point")},
}

failures = []


def check(label, verdict):
    """Records one check; VERDICT gives (passed, detail shown on failure). An
    exception inside it fails the check alone, so every other check still runs."""
    try:
        passed, detail = verdict()
    except Exception as error:  # noqa: BLE001 - any failure of the module is a finding
        passed, detail = False, f"{type(error).__name__}: {error}"
    print(("ok    " if passed else "FAIL  ") + label + ("" if passed else f": {detail}"))
    if not passed:
        failures.append(label)


def run(module, command, payload):
    return json.loads(module.run(command, json.dumps(payload)))


def error_text(module, command, payload_text):
    try:
        module.run(command, payload_text)
    except RuntimeError as error:
        return str(error)
    return None


def digest(text):
    return hashlib.sha256(text.replace("\r\n", "\n").replace("\r", "\n").encode()).hexdigest()


def main():
    site = pathlib.Path(sys.argv[1]).resolve()
    sys.path.insert(0, str(site))
    import marblewick_index_native as module

    location = pathlib.Path(module.__file__).resolve()
    check(f"import from {site}", lambda: (location.is_relative_to(site), str(location)))
    check("run is the only export", lambda: (module.__all__ == ["run"], repr(module.__all__)))

    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch)
        for name, text in SOURCES.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_bytes(text.encode())
        analysed = [
            name
            for name in SOURCES
            if name.endswith((".py", ".js", ".ts", ".tsx", ".rs", ".json")) and not name.startswith("node_modules/")
        ]
        for name in analysed:
            path = str(root / name)

            def syntax_check(path=path, name=name):
                result = run(module, "syntax-check", {"path": path})
                valid = name != "pkg/broken.py"
                return result["ok"] and result["checked"] and result["valid"] == valid, json.dumps(result)

            def outline(path=path, name=name):
                result = run(module, "outline", {"path": path})
                found = {(symbol["kind"], symbol["name"]) for symbol in result["symbols"]}
                return result["ok"] and OUTLINES.get(name, set()) <= found, json.dumps(result)

            def analyse(path=path):
                both = run(module, "analyse", {"path": path})
                return (
                    both["outline"] == run(module, "outline", {"path": path})
                    and both["syntax_check"] == run(module, "syntax-check", {"path": path}),
                    json.dumps(both),
                )

            check(f"syntax-check {name}", syntax_check)
            check(f"outline {name}", outline)
            check(f"analyse {name}", analyse)

        def error_position():
            result = run(module, "syntax-check", {"content": SOURCES["pkg/broken.py"], "language": "python"})
            first = result["errors"][0]
            return (first["line"], first["kind"]) == (1, "missing"), json.dumps(result)

        check("syntax-check reports where", error_position)

        for name in ("notes/crlf.md", "pkg/app.py"):
            check(
                f"hash {name}",
                lambda name=name: (
                    run(module, "hash", {"path": str(root / name)}) == {"hash": digest(SOURCES[name]), "ok": True},
                    json.dumps(run(module, "hash", {"path": str(root / name)})),
                ),
            )

        selected = ("py", "rs", "md", "json")
        expected = sorted(
            name for name in SOURCES if name.rsplit(".", 1)[-1] in selected and not name.startswith("node_modules/")
        )

        def scan():
            result = run(module, "scan", {"root": str(root), "extensions": list(selected)})
            paths = [entry["path"] for entry in result["entries"]]
            right = all(
                entry["file_hash"] == digest(SOURCES[entry["path"]])
                and entry["total_lines"] == SOURCES[entry["path"]].count("\n") + 1
                for entry in result["entries"]
            )
            return paths == expected and result["count"] == len(expected) and right, json.dumps(result)

        check("scan lists, digests and counts the tree", scan)

    for command, payload, expected_text in [
        ("outline", "{}", "missing required field: content or path"),
        ("syntax-check", '{"path": 3}', "missing required field: content or path"),
        ("hash", "{}", "missing required field: path"),
        ("scan", "[]", "missing required field: root"),
        ("x", "{}", "unknown command: x"),
        ("hash", "", "EOF while parsing a value at line 1 column 0"),
        ("hash", '{"path": "/nonexistent/marblewick"}', "No such file or directory (os error 2)"),
    ]:
        check(
            f"error {command} {payload!r}",
            lambda command=command, payload=payload, expected_text=expected_text: (
                error_text(module, command, payload) == expected_text,
                repr(error_text(module, command, payload)),
            ),
        )

    print(f"{len(failures)} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
