"""The example indexer: a whole run, and its summary of analysis results."""

import importlib.util
import json
import pathlib
import subprocess
import sys

import marblewick_index_native as native

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "examples" / "index_tree.py"


def small_tree(root):
    (root / "pkg").mkdir()
    (root / "pkg" / "good.py").write_text("def f():\n    return 1\n")
    (root / "pkg" / "broken.py").write_text("def f(:\n")
    (root / "main.rs").write_text("fn main() {}\n")
    (root / "notes.md").write_text("# notes\n")
    (root / "node_modules").mkdir()
    (root / "node_modules" / "dep.js").write_text("x\n")


def test_runs_on_a_tree_and_prints_the_file_count(tmp_path):
    small_tree(tmp_path)
    done = subprocess.run([sys.executable, str(SCRIPT), str(tmp_path)], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert f"Indexed 4 files (9 lines) under {tmp_path}" in done.stdout


def test_summary_counts_symbols_problems_and_failures(tmp_path, monkeypatch, capsys):
    small_tree(tmp_path)
    spec = importlib.util.spec_from_file_location("index_tree", SCRIPT)
    index_tree = importlib.util.module_from_spec(spec)
    monkeypatch.setitem(sys.modules, "index_tree", index_tree)
    spec.loader.exec_module(index_tree)

    symbol = {"depth": 0, "end_line": 2, "kind": "function", "line": 1, "name": "f",
              "signature": "def f():"}
    answers = {
        ("outline", "pkg/good.py"): {"checked": True, "language": "python", "ok": True,
                                     "symbol_count": 2, "symbols": [symbol, dict(symbol, kind="class")]},
        ("syntax-check", "pkg/broken.py"): {
            "checked": True, "error_count": 1, "language": "python", "ok": True, "valid": False,
            "errors": [{"column": 7, "kind": "error", "line": 1, "message": "unexpected ':'",
                        "snippet": "def f(:"}]},
        ("outline", "main.rs"): RuntimeError("Permission denied (os error 13)"),
    }

    real_run = native.run

    def fake_run(command, payload_json):
        if command == "scan":
            return real_run(command, payload_json)
        relative = json.loads(payload_json)["path"][len(str(tmp_path)) + 1:]
        answer = answers.get((command, relative))
        if isinstance(answer, Exception):
            raise answer
        if answer is None:
            answer = {"checked": False, "language": "python", "ok": True, "reason": "no_parser"}
        return json.dumps(answer)

    monkeypatch.setattr(index_tree.native, "run", fake_run)
    assert index_tree.main([str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "Analysed 3 files with a grammar" in out
    assert "  class              1\n  function           1\n" in out
    assert "Files that do not parse: 1\n  pkg/broken.py:1: unexpected ':'\n" in out
    assert "outline: Permission denied (os error 13) (1 files)\n    main.rs\n" in out
