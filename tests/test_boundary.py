"""The run() boundary: argument binding, conversion, exceptions, module identity."""

import importlib
import sys

import pytest

import marblewick_index_native as m
from support import PROBE_NAME, run_child


class TextSubclass(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("hash",), {}, "run() missing 1 required positional argument: 'payload_json'"),
        ((), {"payload_json": "{}"}, "run() missing 1 required positional argument: 'command'"),
        ((), {}, "run() missing 2 required positional arguments: 'command' and 'payload_json'"),
        (("a", "b", "c"), {}, "run() takes 2 positional arguments but 3 were given"),
        # The positional count is checked before any keyword is looked at.
        (("a", "b", "c", "d"), {"bogus": 1}, "run() takes 2 positional arguments but 4 were given"),
        (("hash", "{}"), {"command": "x"}, "run() got multiple values for argument 'command'"),
        (("hash",), {"payload_json": "{}", "command": "x"}, "run() got multiple values for argument 'command'"),
        (("hash",), {"payload": "{}"}, "run() got an unexpected keyword argument 'payload'"),
        (("hash",), {"Payload_json": "{}"}, "run() got an unexpected keyword argument 'Payload_json'"),
        # Names that UTF-8 cannot encode, or that hold a parameter's name and more.
        (("hash",), {"\udc80": "{}"}, "run() got an unexpected keyword argument '\\udc80'"),
        (("hash",), {"payload_json\0": "{}"}, "run() got an unexpected keyword argument 'payload_json\0'"),
        ((1, 2), {}, "argument 'command': 'int' object cannot be converted to 'PyString'"),
        (("hash", None), {}, "argument 'payload_json': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"hash", "{}"), {}, "argument 'command': 'bytes' object cannot be converted to 'PyString'"),
        (("hash", ["{}"]), {}, "argument 'payload_json': 'list' object cannot be converted to 'PyString'"),
        (("hash", TextSubclass), {}, "argument 'payload_json': 'type' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        m.run(*args, **kwargs)
    assert str(caught.value) == message


def test_qualified_type_name_is_reported():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as caught:
        m.run(Outer.Inner(), "{}")
    assert str(caught.value) == (
        "argument 'command': "
        "'test_qualified_type_name_is_reported.<locals>.Outer.Inner' object cannot be "
        "converted to 'PyString'"
    )


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("index", "{}"), {}),
        ((), {"command": "index", "payload_json": "{}"}),
        ((), {"payload_json": "{}", "command": "index"}),
        ((TextSubclass("index"), TextSubclass("{}")), {}),
        (("index",), {"payload_json": "{}"}),
    ],
)
def test_accepted_argument_forms_reach_the_dispatcher(args, kwargs):
    with pytest.raises(RuntimeError) as caught:
        m.run(*args, **kwargs)
    assert str(caught.value) == "unknown command: index"


@pytest.mark.parametrize("position", [0, 1])
def test_lone_surrogate_raises_the_hosts_encode_error(position):
    args = ["hash", "{}"]
    args[position] = "\udc80"
    with pytest.raises(UnicodeEncodeError):
        m.run(*args)


def test_result_is_a_str_holding_one_json_object(tmp_path):
    import json

    target = tmp_path / "a.txt"
    target.write_text("x")
    result = m.run("hash", json.dumps({"path": str(target)}))
    assert type(result) is str
    assert isinstance(json.loads(result), dict)


def test_function_and_module_attributes():
    assert m.run.__text_signature__ == "(command, payload_json)"
    assert m.run.__doc__ is None
    assert m.run.__name__ == "run"
    assert m.run.__qualname__ == "run"
    assert m.run.__module__ == "marblewick_index_native"
    assert m.run.__self__ is m
    assert m.__all__ == ["run"]
    assert m.__doc__ == ""


def test_reimport_gives_the_same_module_object():
    first = sys.modules["marblewick_index_native"]
    del sys.modules["marblewick_index_native"]
    try:
        second = importlib.import_module("marblewick_index_native")
    finally:
        sys.modules["marblewick_index_native"] = first
    assert second is first
    assert second.__all__ == ["run"]


def _subinterpreter_module():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            return importlib.import_module(name)
        except ImportError:
            continue
    return None


def test_second_interpreter_raises_import_error():
    interpreters = _subinterpreter_module()
    if interpreters is None:
        pytest.skip("this interpreter offers no sub-interpreters")
    status, stdout, stderr = run_child(
        """
        import importlib, sys
        import marblewick_index_native
        for name in ("_interpreters", "_xxsubinterpreters"):
            try:
                interpreters = importlib.import_module(name)
                break
            except ImportError:
                pass
        interpreter = interpreters.create()
        script = (
            "import marblewick_index_native\\n"
        )
        try:
            result = interpreters.run_string(interpreter, script)
        except Exception as failure:
            result = failure
        print(repr(result))
        """
    )
    assert status == 0, stderr
    assert "ImportError" in stdout


# ---- the failure barrier, driven through the test-only probe module ------------


def _run_probe(probe_dir, command, payload="{}"):
    return run_child(
        f"""
        import {PROBE_NAME} as probe
        try:
            probe.run({command!r}, {payload!r})
        except BaseException as failure:
            kind = type(failure)
            print(kind.__module__ + "." + kind.__qualname__)
            print(kind.__mro__[1].__name__)
            print(failure.args[0] if failure.args else "")
            print(issubclass(kind, Exception))
            print(hasattr(probe, "PanicException"))
        """,
        probe_dir=probe_dir,
    )


@pytest.mark.parametrize(
    "command, message, where",
    [
        ("fail-invariant", "probe invariant broken", "boundary_probe.cpp"),
        ("fail-std", "index 7 is out of range for length 3", None),
        ("bad-result", "Python API call failed", "host_boundary.cpp"),
    ],
)
def test_internal_failure_becomes_panic_exception(boundary_probe_dir, command, message, where):
    status, stdout, stderr = _run_probe(boundary_probe_dir, command)
    lines = stdout.splitlines()
    assert status == 0, stderr
    assert lines[0] == "pyo3_runtime.PanicException"
    assert lines[1] == "BaseException"
    assert lines[2] == message
    assert lines[3] == "False"  # not caught by handlers for Exception
    assert lines[4] == "False"  # not an attribute of the module
    assert message in stderr
    if where is not None:
        assert where in stderr


def test_failure_without_a_message_gets_a_generic_text(boundary_probe_dir):
    _, stdout, _ = _run_probe(boundary_probe_dir, "fail-unknown")
    lines = stdout.splitlines()
    assert lines[0] == "pyo3_runtime.PanicException"
    assert lines[2]  # some fixed, non-empty description


def test_second_failure_while_converting_aborts(boundary_probe_dir):
    status, stdout, stderr = _run_probe(boundary_probe_dir, "fail-twice")
    assert status < 0  # ended by a signal (abort), not a Python exit
    assert "uncaught panic at ffi boundary" in stderr
    assert stdout == ""


def test_panic_exception_type_is_created_once_by_the_import(boundary_probe_dir):
    # The type exists before any failure, so the barrier has nothing to create.
    status, stdout, stderr = run_child(
        f"""
        import {PROBE_NAME} as probe
        made = [kind for kind in BaseException.__subclasses__()
                if kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException"]
        kinds = []
        for _ in range(2):
            try:
                probe.run("fail-invariant", "{{}}")
            except BaseException as failure:
                kinds.append(type(failure))
        print(len(made), kinds[0] is made[0], kinds[1] is made[0])
        print(probe.run("echo", "[1]"))
        """,
        probe_dir=boundary_probe_dir,
    )
    assert stdout.split() == ["1", "True", "True", "[1]"], stderr
