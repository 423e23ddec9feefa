"""Payload parsing, command selection, field access and result writing."""

import json

import pytest

import marblewick_index_native as m
from support import PROBE_NAME, run_child, run_error, run_json


@pytest.mark.parametrize(
    "payload, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("   ", "EOF while parsing a value at line 1 column 3"),
        ("x", "expected value at line 1 column 1"),
        ("{} x", "trailing characters at line 1 column 4"),
        ("{}}", "trailing characters at line 1 column 3"),
        ("\n\n  x", "expected value at line 3 column 3"),
        ('{\n "a":\n  x}', "expected value at line 3 column 3"),
        ("\f{}", "expected value at line 1 column 1"),
        ("\u00a0{}", "expected value at line 1 column 1"),
        ("{}\f", "trailing characters at line 1 column 3"),
        ("{}\u00a0", "trailing characters at line 1 column 3"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ('{"a":1,}', "trailing comma at line 1 column 8"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ('{"a":1,2:3}', "key must be a string at line 1 column 8"),
        ("[,1]", "expected value at line 1 column 2"),
        ("tru", "EOF while parsing a value at line 1 column 3"),
        ("trux", "expected ident at line 1 column 4"),
        ("nul", "EOF while parsing a value at line 1 column 3"),
        ("falze", "expected ident at line 1 column 4"),
        ("[1", "EOF while parsing a list at line 1 column 2"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ('{"a":1', "EOF while parsing an object at line 1 column 6"),
        ('{"a"', "EOF while parsing an object at line 1 column 4"),
        ("{", "EOF while parsing an object at line 1 column 1"),
        ('"abc', "EOF while parsing a string at line 1 column 4"),
        ('"\\', "EOF while parsing a string at line 1 column 2"),
        ('"\\q"', "invalid escape at line 1 column 3"),
        ("01", "invalid number at line 1 column 2"),
        ("-", "EOF while parsing a value at line 1 column 1"),
        ("-x", "invalid number at line 1 column 2"),
        ("1.", "EOF while parsing a value at line 1 column 2"),
        ("1.x", "invalid number at line 1 column 3"),
        ("1e", "EOF while parsing a value at line 1 column 2"),
        ("1e+", "EOF while parsing a value at line 1 column 3"),
        ("1ex", "invalid number at line 1 column 3"),
        ("1e400", "number out of range at line 1 column 5"),
        ("[-" + "9" * 400 + "]", "number out of range at line 1 column 402"),
        ('"a\x01"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
        # The error point lies after the offending line feed: the start of line 2.
        ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
        ('"\\u12"', "unexpected end of hex escape at line 1 column 6"),
        ('"\\u12', "EOF while parsing a string at line 1 column 5"),
        ('"\\ud800"', "lone leading surrogate in hex escape at line 1 column 8"),
        ('"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
        ('"\\ud800\\n"', "lone leading surrogate in hex escape at line 1 column 9"),
        ('"\\udc00"', "invalid unicode code point at line 1 column 7"),
        ("é", "expected value at line 1 column 1"),
        ('["é", x]', "expected value at line 1 column 8"),
        ("[" * 128, "recursion limit exceeded at line 1 column 128"),
        ('{"a":' * 128, "recursion limit exceeded at line 1 column 636"),
    ],
)
def test_payload_parse_errors(payload, message):
    # The payload is parsed before the command name is looked at.
    assert run_error("no-such-command", payload) == message


@pytest.mark.parametrize(
    "payload",
    [
        "{}",
        " \t\r\n{} \t\r\n",
        "[" * 127 + "]" * 127,
        '{"a":' * 127 + "1" + "}" * 127,
        '"\\ud83d\\ude00 \\u00e9 \\/ \\b\\f\\n\\r\\t"',
        "[0, -0, 1.5e3, -9223372036854775808, 18446744073709551616, 1e-400]",
        "null",
    ],
)
def test_valid_payloads_reach_the_command_lookup(payload):
    assert run_error("no-such-command", payload) == "unknown command: no-such-command"


@pytest.mark.parametrize("command", ["Hash", " hash", "hash ", "syntax_check", "HASH", "", "scan\0"])
def test_command_names_match_by_exact_bytes(command):
    assert run_error(command, "{}") == "unknown command: " + command


@pytest.mark.parametrize(
    "payload",
    [
        "[]",
        "null",
        "5",
        '"path"',
        '{"path": 5}',
        '{"path": null}',
        '{"path": ["a"]}',
        '{"Path": "README.md"}',
        '{"content": "x"}',
    ],
)
def test_absent_or_wrongly_typed_field_counts_as_missing(payload):
    assert run_error("hash", payload) == "missing required field: path"


@pytest.mark.parametrize(
    "payload",
    [
        "[]",
        "{}",
        '"text"',
        "5",
        "null",
        '{"content": 5}',
        '{"path": 5}',
        '{"content": null, "path": null}',
        '{"Content": "x"}',
    ],
)
@pytest.mark.parametrize("command", ["syntax-check", "outline"])
def test_analysis_without_content_or_path_is_missing_its_source(command, payload):
    assert run_error(command, payload) == "missing required field: content or path"


def test_repeated_key_uses_the_last_value(tmp_path):
    target = tmp_path / "a.txt"
    target.write_text("a\n")
    payload = '{"path": "/no/such/file", "path": %s}' % json.dumps(str(target))
    assert run_json("hash", payload)["ok"] is True
    payload = '{"path": %s, "path": "/no/such/file"}' % json.dumps(str(target))
    assert run_error("hash", payload).endswith("(os error 2)")


def test_result_is_compact_and_key_ordered(tmp_path):
    target = tmp_path / "a.txt"
    target.write_text("a\n")
    text = m.run("hash", json.dumps({"path": str(target)}))
    assert text.startswith('{"hash":"') and text.endswith('","ok":true}')
    assert " " not in text and "\n" not in text


# ---- the writer, through the test-only probe that echoes a parsed payload ----------

ECHO_CASES = [
    ('{"b":1,"a":[true,false,null],"B":{}}', '{"B":{},"a":[true,false,null],"b":1}'),
    ('{"é":1,"z":2,"Z":3,"":4,"a":5,"ab":6}', '{"":4,"Z":3,"a":5,"ab":6,"z":2,"é":1}'),
    ('{"end_line":1,"line":2,"kind":3}', '{"end_line":1,"kind":3,"line":2}'),
    ('"\\t\\u0001\\"\\\\é/\\u007f"', '"\\t\\u0001\\"\\\\é/\x7f"'),
    ('"\\u0000\\u001f\\b\\f\\n\\r"', '"\\u0000\\u001f\\b\\f\\n\\r"'),
    ('"\\ud83d\\ude00"', '"\U0001f600"'),
    ("[0,18446744073709551615,-1,-9223372036854775808]", "[0,18446744073709551615,-1,-9223372036854775808]"),
    ("[1.5,-0.25,1e300]", "[1.5,-0.25,1e+300]"),
    (" [ ] ", "[]"),
    ("{ }", "{}"),
    ('{"a":1,"a":2}', '{"a":2}'),
    ('{"a":1,"b":2,"a":3}', '{"a":3,"b":2}'),
    ('{"a":1,"b":2,"b":3,"c":[]}', '{"a":1,"b":3,"c":[]}'),
    ("[[1,[2,3]],[4],[[5,6,7],8],[],[[[]]]]", "[[1,[2,3]],[4],[[5,6,7],8],[],[[[]]]]"),
    ('[{"a":[1,2],"b":[{"c":[3]},4]},[5,{"d":[]}]]', '[{"a":[1,2],"b":[{"c":[3]},4]},[5,{"d":[]}]]'),
]


@pytest.fixture(scope="module")
def echo(boundary_probe_dir):
    payloads = [case[0] for case in ECHO_CASES]
    status, stdout, stderr = run_child(
        f"""
        import json, sys
        import {PROBE_NAME} as probe
        print(json.dumps([probe.run("echo", p) for p in json.loads(sys.stdin.read())]))
        """,
        probe_dir=boundary_probe_dir,
        stdin=json.dumps(payloads),
    )
    assert status == 0, stderr
    return dict(zip(payloads, json.loads(stdout)))


@pytest.mark.parametrize("payload, written", ECHO_CASES)
def test_writer_output(echo, payload, written):
    assert echo[payload] == written
