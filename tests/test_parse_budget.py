"""What bounds an analysis call: the caller's "timeout_ms" budget for the parse,
and the memory the system grants. Either way the call fails with its text,
keeps nothing, and the next call works. Texts on which a parse once never
ended at all (found by the fuzz targets in fuzz/) now end without a budget."""

import json

import pytest

from outline_samples import SAMPLES, SOUP_TOKENS, token_soup
from support import limits_address_space, run_child, run_error, run_json

# A slow text per command: Rust soups, whose parse time grows linearly but
# steeply. Untimed, each takes seconds.
SLOW = {
    "syntax-check": {"content": token_soup(SOUP_TOKENS["rust"], 1_000_000), "language": "rust"},
    "outline": {"content": token_soup(SOUP_TOKENS["rust"], 300_000), "language": "rust"},
}


@pytest.mark.parametrize("timeout_ms", [1, 100])
@pytest.mark.parametrize("command", sorted(SLOW))
def test_parse_past_its_budget_fails_and_the_next_call_works(command, timeout_ms):
    payload = dict(SLOW[command], timeout_ms=timeout_ms)
    assert run_error(command, payload) == f"parse did not finish within {timeout_ms} ms"
    source, _ = SAMPLES["rust"]
    assert run_json(command, {"content": source, "language": "rust"})["checked"] is True


# Anything but a non-negative integer is no budget at all, like 0.
@pytest.mark.parametrize("timeout_ms", [0, None, "10", -5, 10.0, 1e3, [1], 2**64 - 1])
@pytest.mark.parametrize("command", ["syntax-check", "outline"])
def test_budget_forms_that_do_not_limit(command, timeout_ms):
    source, _ = SAMPLES["python"]
    plain = {"content": source, "language": "python"}
    assert run_json(command, dict(plain, timeout_ms=timeout_ms)) == run_json(command, plain)


@limits_address_space
def test_memory_refused_by_the_system_is_an_error_not_an_abort(tmp_path):
    # 42 MB of Python: parsing it needs far more than the 600 MB of address
    # space the child gets, reading and hashing it far less.
    source, _ = SAMPLES["python"]
    big = tmp_path / "tree" / "big.py"
    big.parent.mkdir()
    big.write_text(source * (42_000_000 // len(source)))
    status, stdout, stderr = run_child(
        f"""
        import json, resource
        resource.setrlimit(resource.RLIMIT_AS, (600_000 * 1024, 600_000 * 1024))
        import marblewick_index_native as m
        def answer(command, payload):
            try:
                return json.loads(m.run(command, json.dumps(payload)))
            except RuntimeError as failure:
                return str(failure)
        print(json.dumps([
            answer("syntax-check", {{"path": {str(big)!r}}}),
            answer("outline", {{"path": {str(big)!r}}}),
            answer("hash", {{"path": {str(big)!r}}})["ok"],
            answer("scan", {{"root": {str(big.parent)!r}}})["count"],
            answer("syntax-check", {{"content": "def f(): pass", "language": "python"}})["valid"],
        ]))
        """,
        timeout=300,
    )
    assert status == 0, stderr
    assert json.loads(stdout) == ["out of memory", "out of memory", True, 1, True]


# Every parse has a memory ceiling, budget or not. The rule puts it far above
# any real text (hundreds of MiB), so the tests lower it in the probe module.
@pytest.fixture
def low_ceiling(probe):
    probe.run("set-parse-memory-ceiling", json.dumps({"mib": 4}))
    yield probe
    probe.run("set-parse-memory-ceiling", json.dumps({"mib": 0}))


@pytest.mark.parametrize("timeout_ms", [None, 60_000])
@pytest.mark.parametrize("command", ["syntax-check", "outline", "analyse"])
def test_parse_past_its_memory_ceiling_fails_and_the_next_call_works(low_ceiling, command, timeout_ms):
    # About 30 MiB of parse memory.
    payload = {"content": token_soup(SOUP_TOKENS["rust"], 300_000), "language": "rust"}
    if timeout_ms is not None:
        payload["timeout_ms"] = timeout_ms
    with pytest.raises(RuntimeError) as caught:
        low_ceiling.run(command, json.dumps(payload))
    assert str(caught.value) == "parse needed more than 4 MiB"
    assert json.loads(low_ceiling.run("live-parser-blocks", "{}"))["live_parser_blocks"] == 0
    source, _ = SAMPLES["rust"]
    answer = json.loads(low_ceiling.run(command, json.dumps({"content": source, "language": "rust"})))
    assert answer["ok"] is True


def test_the_memory_ceiling_rule_comes_back(probe):
    soup = {"content": token_soup(SOUP_TOKENS["rust"], 100_000), "language": "rust"}
    probe.run("set-parse-memory-ceiling", json.dumps({"mib": 1}))
    try:
        with pytest.raises(RuntimeError, match=r"^parse needed more than 1 MiB$"):
            probe.run("syntax-check", json.dumps(soup))
    finally:
        probe.run("set-parse-memory-ceiling", json.dumps({"mib": 0}))
    assert json.loads(probe.run("syntax-check", json.dumps(soup)))["valid"] is False


# Short Rust texts on which the parsing library's error recovery used to
# cycle for ever at their last byte, its memory growing all the while: the
# fuzzer's finding, the same cut down, and the family around it (more
# repetitions, another closing bracket, a trailing newline, a function body).
# The repaired runtime skips the token instead, so each now ends, without a
# budget, with the error it holds.
RUNAWAY_RUST = [
    "&n<+<1e46&0lun[<+41e1e460&n[<+4e1+<1e406&lun[<+41e1e._<)%}",
    "6&n[+0&n[+1&l[+1<)",
    "0&0[+0&0[+0&0[+0<)",
    "0&0[+0&0[+0&0[+0&0[+0<)",
    "0&0[+0&0[+0&0[+0&0[+0&0[+0<)",
    "0&0[+0&0[+0&0[+0<}",
    "0&0[+0&0[+0&0[+0<)\n",
    "fn f(){0&0[+0&0[+0&0[+0<)}",
]


@pytest.mark.parametrize("content", RUNAWAY_RUST)
def test_a_parse_that_never_finished_now_ends_without_a_budget(content):
    # In a child with an alarm: should the repair ever stop working, the parse
    # would hold this process for good, and the alarm ends the child instead.
    status, stdout, stderr = run_child(
        f"""
        import json, signal, marblewick_index_native as m
        signal.alarm(20)
        payload = json.dumps({{"content": {content!r}, "language": "rust"}})
        check = json.loads(m.run("syntax-check", payload))
        outline = json.loads(m.run("outline", payload))
        analyse = json.loads(m.run("analyse", payload))
        print(json.dumps([check["valid"], check["error_count"] > 0, outline["checked"],
                          analyse == {{"ok": True, "outline": outline, "syntax_check": check}}]))
        """,
        timeout=120,
    )
    assert status == 0, stderr or f"status {status}"
    assert json.loads(stdout) == [False, True, True, True]


# Texts whose parse once held memory as the square of their size, or many
# copies of it, within one parse step, where no progress check could stop it:
# the end of the parse copied every stack path at once (a path per line, or
# 64 paths as deep as the text). Each row: family, unit, repeats, language,
# the child's address-space cap in MiB (None: none), and the answers the call
# may give. Whatever the cap, the call answers or fails with its text (never
# an abort), the process's peak memory stays within the text's parse memory
# ceiling plus 64 MiB (the interpreter, the text and its copies), and the next
# call works.
GROWTH_FAMILIES = [
    # These keep a stack version per line, too: the work ceiling stops them.
    ("a path per line", "let = ;\n", 10_000, "javascript", None, {"work ceiling"}),
    ("a path per line", "let = ;\n", 10_000, "javascript", 512, {"work ceiling"}),
    ("a path per line", "let = ;\n", 15_000, "javascript", 512, {"work ceiling"}),
    ("a path per line", "let = ;\n", 10_000, "typescript", None, {"work ceiling"}),
    ("a path per line", "let = ;\n", 10_000, "tsx", None, {"work ceiling"}),
    ("a path per line", "let = ;\n", 10_000, "tsx", 512, {"work ceiling"}),
    # The system refuses memory in the middle of the parse's last step.
    ("deep paths", "a<", 250_000, "typescript", 450, {"out of memory", "invalid"}),
    ("deep paths", "a<", 500_000, "typescript", 512, {"out of memory"}),
    ("deep brackets", "[", 1_000_000, "json", 512, {"invalid"}),
    ("deep brackets", "(", 1_000_000, "rust", None, {"invalid"}),
]


@limits_address_space
@pytest.mark.parametrize("family, unit, repeats, language, cap_mib, answers", GROWTH_FAMILIES)
def test_memory_stays_within_the_ceiling_and_nothing_aborts(family, unit, repeats, language, cap_mib, answers):
    status, stdout, stderr = run_child(
        f"""
        import json, resource, signal
        signal.alarm(90)
        cap_mib = {cap_mib!r}
        if cap_mib is not None:
            resource.setrlimit(resource.RLIMIT_AS, (cap_mib * 2**20, cap_mib * 2**20))
        import marblewick_index_native as m
        def answer(payload):
            try:
                return "invalid" if not json.loads(m.run("syntax-check", json.dumps(payload)))["valid"] else "valid"
            except RuntimeError as failure:
                text = str(failure)
                return "work ceiling" if text.endswith(" steps of work") else text
        text = {unit!r} * {repeats}
        first = answer({{"content": text, "language": {language!r}}})
        del text
        peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        after = answer({{"content": "let x = 1;", "language": "javascript"}})
        print(json.dumps([first, after, peak_mib]))
        """,
        timeout=180,
    )
    assert status == 0, stderr or f"status {status}"
    first, after, peak_mib = json.loads(stdout)
    assert first in answers and after == "valid"
    ceiling_mib = 256 + -(-len(unit.encode()) * repeats * 1300 // 2**20)
    assert peak_mib <= ceiling_mib + 64
