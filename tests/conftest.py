"""Fixtures for the suite; the helpers every test uses live in support.py."""

import pytest

from support import PROBE_NAME, REPO_ROOT, find_probe_dir, load_probe


@pytest.fixture(scope="session")
def boundary_probe_dir():
    """The folder holding the test-only probe module: the real boundary over
    the real command table, plus commands that fail on purpose and one that
    counts the parser's live memory blocks. MARBLEWICK_PROBE_DIR names another
    build."""
    folder = find_probe_dir()
    if folder is None:
        pytest.fail(
            f"no {PROBE_NAME} module under {REPO_ROOT / 'target'} (or MARBLEWICK_PROBE_DIR): "
            "build the package from this checkout first (pip install .)"
        )
    return folder


@pytest.fixture(scope="session")
def probe(boundary_probe_dir):
    """The probe module itself, imported into this process."""
    return load_probe(boundary_probe_dir)
