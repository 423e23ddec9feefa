"""Fixtures for the suite; the helpers every test uses live in support.py."""

import importlib
import pathlib
import sys

import pytest


REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent
PROBE_NAME = "marblewick_boundary_probe"


@pytest.fixture(scope="session")
def boundary_probe_dir():
    """The folder holding the test-only probe module, which the build makes
    beside the real one and never installs: the real boundary over the real
    command table, plus commands that fail on purpose and one that counts the
    parser's live memory blocks. MARBLEWICK_PROBE_DIR names another build."""
    import os

    given = os.environ.get("MARBLEWICK_PROBE_DIR")
    candidates = [pathlib.Path(given)] if given else sorted(
        (REPO_ROOT / "target").glob("*/"), key=lambda d: d.stat().st_mtime, reverse=True)
    for folder in candidates:
        if any(folder.glob(f"{PROBE_NAME}*.so")):
            return folder
    pytest.fail(f"no {PROBE_NAME} module under {candidates or REPO_ROOT / 'target'}: "
                "build the package from this checkout first (pip install .)")


@pytest.fixture(scope="module")
def probe(boundary_probe_dir):
    """The probe module itself, imported into this process. Its folder is on
    the import path only while one test file uses it: the build folder holds
    a copy of the real module too, which must not stand in for the installed
    one elsewhere."""
    sys.path.insert(0, str(boundary_probe_dir))
    try:
        yield importlib.import_module(PROBE_NAME)
    finally:
        sys.path.remove(str(boundary_probe_dir))
