"""Every call gives back all the memory the parsing library took for it: the
probe module counts the blocks its allocator hooks have out, and after each
call of every kind (clean and broken texts, every language, the caps, the
failures) that count must be zero again."""

import json
import os

import pytest

from outline_samples import SAMPLES, SOUP_TOKENS, token_soup
from support import child_stdout


def live_blocks(probe, payload=None):
    answer = probe.run("live-parser-blocks", json.dumps(payload or {}))
    return json.loads(answer)["live_parser_blocks"]


def test_the_count_sees_a_live_tree(probe):
    source, _ = SAMPLES["python"]
    assert live_blocks(probe, {"content": source, "language": "python"}) > 100
    assert live_blocks(probe) == 0


def test_a_tree_kept_past_its_memory_stays_valid_and_is_counted(probe):
    counts = json.loads(probe.run("tree-outlives-its-memory", "{}"))
    assert counts["while_kept"] > 0
    assert counts["after"] == 0


def analysis_calls():
    for language, (source, _) in sorted(SAMPLES.items()):
        broken = source + "\n)(}{ fn def class [\n" * 30
        for command in ("syntax-check", "outline", "analyse"):
            yield f"{command}-{language}", command, {"content": source, "language": language}
            yield f"{command}-{language}-broken", command, {"content": broken, "language": language}
    many = "".join(f"def f{i}(): pass\n" for i in range(300))
    yield "outline-cap", "outline", {"content": many, "language": "python"}
    yield "syntax-check-cap", "syntax-check", {"content": "(\n" * 5000, "language": "python"}
    yield "syntax-check-json", "syntax-check", {"content": '{"a": [1, 2', "language": "json"}
    yield "outline-json", "outline", {"content": '{"a": [1, 2]}', "language": "json"}
    yield "analyse-json", "analyse", {"content": '{"a": [1, 2', "language": "json"}
    soup = token_soup(SOUP_TOKENS["json"], 1_000_000)
    yield "stopped-by-budget", "syntax-check", {"content": soup, "language": "json", "timeout_ms": 20}
    yield "no-parser", "syntax-check", {"content": "x = 1", "language": "toml"}


CALLS = list(analysis_calls()) + [
    ("missing-file", "outline", {"path": "/no/such/file.py"}),
    ("missing-source", "syntax-check", {}),
    ("payload-error", "outline", "[1,"),
    ("hash", "hash", {"path": __file__}),
    ("scan", "scan", {"root": str(__import__("pathlib").Path(__file__).parent)}),
]


@pytest.mark.parametrize("command, payload", [c[1:] for c in CALLS], ids=[c[0] for c in CALLS])
def test_no_parser_block_outlives_a_call(probe, command, payload):
    assert live_blocks(probe) == 0
    try:
        probe.run(command, payload if isinstance(payload, str) else json.dumps(payload))
    except RuntimeError:
        pass  # failures must give their memory back as well
    assert live_blocks(probe) == 0


def test_scanner_memory_is_counted_with_the_parsers(probe):
    # The Python scanner holds its state and its indent stack, the Rust one its
    # state: all from the parser's hooks, so a scanner leak would show here.
    assert json.loads(probe.run("scanner-blocks", "{}")) == {"python": 2, "rust": 1, "after": 0}


# Memory a parse's pool takes beyond its own blocks, given back when the
# pool goes: each row's text (an expression the child evaluates), language
# and calls measured, and what keeping it would add. Neither shows in the
# leak count of the blocks.
POOL_MEMORY_CASES = [
    # Error recovery leaves a node whose children (256 KB) are a block above
    # the pool's size classes, freed with the pool rather than through the
    # tree: some 16 MB.
    pytest.param("')(}{ fn def class [\\n' * 3000", "python", 100, id="large blocks"),
    # A pool of some 70 MiB, most of it in huge-page regions of its own
    # mapping, which no sanitizer sees: some 1.4 GB.
    pytest.param("'def f(x):\\n    return [x, {x: (x, x)}]\\n' * 20_000", "python", 20, id="huge-page regions"),
]


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address sanitizer holds freed memory in quarantine; its leak check covers the blocks there",
)
@pytest.mark.parametrize("content, language, calls", POOL_MEMORY_CASES)
def test_a_parse_gives_back_its_pool_memory(content, language, calls):
    rss_growth_mib = child_stdout(
        f"""
        import json, os
        import marblewick_index_native as m
        payload = json.dumps({{"content": {content}, "language": {language!r}}})
        def resident_mib():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
        for _ in range(10):
            m.run("syntax-check", payload)
        before = resident_mib()
        for _ in range({calls}):
            m.run("syntax-check", payload)
        print(resident_mib() - before)
        """
    )
    assert float(rss_growth_mib) < 10
