"""pytest plugin for tools/build_wheel.sh: the run counts only if the module the
tests imported is the copy installed in the running virtual environment, never
a build or a source tree that happened to come first on the import path."""

import pathlib
import sys

import pytest

MODULE = "marblewick_index_native"


def pytest_collection_finish(session):
    module = sys.modules.get(MODULE)
    if module is None:
        pytest.exit(f"the collected tests never imported {MODULE}", returncode=4)
    if sys.prefix == sys.base_prefix:
        pytest.exit(f"{sys.executable} runs outside a virtual environment", returncode=4)
    location = pathlib.Path(module.__file__).resolve()
    environment = pathlib.Path(sys.prefix).resolve()
    if not location.is_relative_to(environment):
        pytest.exit(f"{MODULE} came from {location}, not from the virtual environment {environment}", returncode=4)
    session.config.pluginmanager.get_plugin("terminalreporter").write_line(f"{MODULE} under test: {location}")
