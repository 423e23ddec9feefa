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


def check(label, condition, detail=""):
    print(("ok    " if condition else "FAIL  ") + label + (f": {detail}" if detail and not condition else ""))
    if not condition:
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
    check(f"import from {site}", location.is_relative_to(site), str(location))
    check("run is the only export", module.__all__ == ["run"], repr(module.__all__))

    with tempfile.TemporaryDirectory() as scratch:
        root = pathlib.Path(scratch)
        for name, text in SOURCES.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_bytes(text.encode())

        for name in SOURCES:
            if not name.endswith((".py", ".js", ".ts", ".tsx", ".rs", ".json")) or name.startswith("node_"):
                continue
            path = str(root / name)
            result = run(module, "syntax-check", {"path": path})
            expect_valid = name != "pkg/broken.py"
            check(f"syntax-check {name}", result["ok"] and result["checked"] and result["valid"] == expect_valid,
                  json.dumps(result))
            outline = run(module, "outline", {"path": path})
            found = {(symbol["kind"], symbol["name"]) for symbol in outline["symbols"]}
            check(f"outline {name}", OUTLINES.get(name, set()) <= found, json.dumps(outline))
            both = run(module, "analyse", {"path": path})
            check(f"analyse {name}", both["outline"] == outline and both["syntax_check"] == result,
                  json.dumps(both))

        broken = run(module, "syntax-check", {"content": SOURCES["pkg/broken.py"], "language": "python"})
        first = broken["errors"][0] if broken["errors"] else {}
        check("syntax-check reports where", (first.get("line"), first.get("kind")) == (1, "missing"),
              json.dumps(broken))

        for name in ("notes/crlf.md", "pkg/app.py"):
            result = run(module, "hash", {"path": str(root / name)})
            check(f"hash {name}", result == {"hash": digest(SOURCES[name]), "ok": True}, json.dumps(result))

        scan = run(module, "scan", {"root": str(root), "extensions": ["py", "rs", "md", "json"]})
        expected = sorted(name for name in SOURCES
                          if name.rsplit(".", 1)[-1] in ("py", "rs", "md", "json") and not name.startswith("node_"))
        paths = [entry["path"] for entry in scan["entries"]]
        check("scan lists the tree", paths == expected and scan["count"] == len(expected), json.dumps(scan))
        check("scan digests and counts lines",
              all(entry["file_hash"] == digest(SOURCES[entry["path"]])
                  and entry["total_lines"] == SOURCES[entry["path"]].count("\n") + 1
                  for entry in scan["entries"]), json.dumps(scan))

    for command, payload, expected in [
        ("outline", "{}", "missing required field: content or path"),
        ("syntax-check", '{"path": 3}', "missing required field: content or path"),
        ("hash", "{}", "missing required field: path"),
        ("scan", "[]", "missing required field: root"),
        ("x", "{}", "unknown command: x"),
        ("hash", "", "EOF while parsing a value at line 1 column 0"),
        ("hash", '{"path": "/nonexistent/marblewick"}', "No such file or directory (os error 2)"),
    ]:
        text = error_text(module, command, payload)
        check(f"error {command} {payload!r}", text == expected, repr(text))

    print(f"{len(failures)} failed" if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
