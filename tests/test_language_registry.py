"""The example indexer's filing of the extensions it scans, which it takes
from the module ("languages") and which decides what it sends for analysis,
held against what the module checks and outlines ("analyse")."""

import pytest

from marblewick_indexer import languages
from support import run_json


# The module's languages as they are, nothing registered.
FILING = languages.Languages(languages.module_languages())
OUTLINED = {info.name: info.outline for info in FILING.known}

# Parses in every grammar without trouble; only what is checked matters here.
CONTENT = "x\n"


def analyse_path(path):
    answer = run_json("analyse", {"content": CONTENT, "path": path})
    return answer["outline"], answer["syntax_check"]


@pytest.mark.parametrize("extension", sorted(FILING.by_extension))
def test_indexer_analyses_exactly_what_the_module_checks(extension):
    """The indexer sends a file for analysis by its own table, and stores its
    symbols and problems from both halves of the answer; a language it skips
    must be one the module would not check, and one it sends must be checked,
    and outlined where the module says it has an outline."""
    indexer_language = FILING.by_extension[extension]
    analysed = indexer_language in FILING.analysed
    for path in ("src/x." + extension, "src/x." + extension.upper()):
        assert (FILING.language_of(path) in FILING.analysed) is analysed
        outline, check = analyse_path(path)
        assert check["checked"] is analysed, path
        assert outline["checked"] is (analysed and OUTLINED[indexer_language]), path
        # Where the module names the language, it names it as the indexer does.
        assert check["language"] in (indexer_language, ""), path
        if analysed:
            assert check["language"] == indexer_language


# Where a path's extension starts, as the scan takes it: the last dot of the
# file's own name, unless that dot starts the name (a hidden file).
@pytest.mark.parametrize(
    "path, language",
    [
        ("a.py", "python"),
        ("src/a.b.PY", "python"),
        (".py", "other"),
        ("src/.py", "other"),
        ("src.py/Makefile", "other"),
        ("src.py/", "other"),
        ("a.", "other"),
        ("", "other"),
    ],
)
def test_the_indexer_takes_the_extension_from_the_files_own_name(path, language):
    assert FILING.language_of(path) == language
