"""Which languages the module knows by which extensions, and whether it checks
and outlines them: seen through "analyse", and held against the example
indexer's own table, which decides what it sends for analysis."""

import pathlib
import sys

import pytest

from support import run_json

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
from marblewick_indexer import update  # noqa: E402

# Parses in every grammar without trouble; only what is checked matters here.
CONTENT = "x\n"


def analyse_path(path):
    answer = run_json("analyse", {"content": CONTENT, "path": path})
    return answer["outline"], answer["syntax_check"]


# Every extension the module detects: (language, has a grammar, has an outline).
DETECTED = {
    "py": ("python", True, True),
    "js": ("javascript", True, True),
    "mjs": ("javascript", True, True),
    "cjs": ("javascript", True, True),
    "jsx": ("javascript", True, True),
    "ts": ("typescript", True, True),
    "mts": ("typescript", True, True),
    "cts": ("typescript", True, True),
    "tsx": ("tsx", True, True),
    "rs": ("rust", True, True),
    "json": ("json", True, False),
    "toml": ("toml", False, False),
}


@pytest.mark.parametrize("extension", sorted(DETECTED))
@pytest.mark.parametrize("spelling", [str.lower, str.upper, str.title])
def test_detected_extension(extension, spelling):
    language, checked, outlined = DETECTED[extension]
    outline, check = analyse_path("dir.d/x." + spelling(extension))
    assert (outline["language"], check["language"]) == (language, language)
    assert check["checked"] is checked
    assert check.get("reason") == (None if checked else "no_parser")
    assert outline["checked"] is outlined
    assert outline.get("reason") == (None if outlined else "no_outline")


@pytest.mark.parametrize("extension", sorted(update.LANGUAGE_BY_EXTENSION))
def test_indexer_analyses_exactly_what_the_module_checks(extension):
    """The indexer sends a file for analysis by its own table, and stores its
    symbols and problems from both halves of the answer; a language it skips
    must be one the module would not check, and one it sends must be checked
    and outlined."""
    indexer_language = update.LANGUAGE_BY_EXTENSION[extension]
    analysed = indexer_language in update.ANALYSED_LANGUAGES
    for path in ("src/x." + extension, "src/x." + extension.upper()):
        assert (update.language_of(path) in update.ANALYSED_LANGUAGES) is analysed
        outline, check = analyse_path(path)
        assert check["checked"] is analysed, path
        assert outline["checked"] is analysed, path
        # Where the module names the language, it names it as the indexer does.
        assert check["language"] in (indexer_language, ""), path
        if analysed:
            assert check["language"] == indexer_language
