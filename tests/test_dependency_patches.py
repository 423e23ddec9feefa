"""How the build applies our repairs to third-party sources (cmake/apply_patch.py):
a patch lands exactly where it says or not at all, and says why not."""

import shutil
import subprocess
import sys

import pytest

from support import REPO_ROOT

APPLY = REPO_ROOT / "cmake" / "apply_patch.py"

ORIGINAL = {"src/a.c": "one\ntwo\nthree\nfour\n", "src/b.c": "alpha\r\nbeta\r\ngamma\r\n"}
PATCH = """Our description: skipped by the tool.
--- a/src/a.c
+++ b/src/a.c
@@ -2,2 +2,3 @@
 two
-three
+THREE
+three and a half
--- a/src/b.c
+++ b/src/b.c
@@ -1,2 +1,2 @@
-alpha\r
+ALPHA\r
 beta\r
"""
PATCHED = {"src/a.c": "one\ntwo\nTHREE\nthree and a half\nfour\n", "src/b.c": "ALPHA\r\nbeta\r\ngamma\r\n"}


def apply(tmp_path, files):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(text.encode())
    patch = tmp_path / "fix.patch"
    patch.write_bytes(PATCH.encode())
    done = subprocess.run([sys.executable, str(APPLY), str(patch), str(tmp_path)], capture_output=True, text=True)
    return done, {name: (tmp_path / name).read_bytes().decode() for name in files}


def test_a_patch_lands_where_it_says_keeping_line_endings(tmp_path):
    done, files = apply(tmp_path, ORIGINAL)
    assert done.returncode == 0, done.stderr
    assert files == PATCHED


@pytest.mark.parametrize(
    "changed, hunk",
    [
        ({"src/b.c": "alpha\nbeta\ngamma\n"}, "src/b.c: hunk 1 (line 1)"),  # other line endings
        ({"src/a.c": "zero\none\ntwo\nthree\nfour\n"}, "src/a.c: hunk 1 (line 2)"),  # moved by a line
        ({"src/a.c": "one\ntwo\nthree!\nfour\n"}, "src/a.c: hunk 1 (line 2)"),
    ],
)
def test_a_patch_that_does_not_match_changes_nothing_and_names_the_hunk(tmp_path, changed, hunk):
    done, files = apply(tmp_path, dict(ORIGINAL, **changed))
    assert done.returncode == 1
    assert f"does not apply cleanly to {tmp_path}: {hunk} does not match the file" in done.stderr
    assert files == dict(ORIGINAL, **changed)  # not even the file that matched was written


def test_a_patch_applied_twice_is_refused(tmp_path):
    assert apply(tmp_path, ORIGINAL)[0].returncode == 0
    done, files = apply(tmp_path, PATCHED)
    assert done.returncode == 1
    assert files == PATCHED


SECOND_PATCH = """Another repair, written against the same pristine sources.
--- a/src/a.c
+++ b/src/a.c
@@ -4,1 +4,1 @@
-four
+FOUR
"""
OVERLAPPING_PATCH = """A repair of a line the first one changes.
--- a/src/a.c
+++ b/src/a.c
@@ -3,1 +3,1 @@
-three
+3
"""


def apply_several(tmp_path, patches):
    for name, text in ORIGINAL.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(text.encode())
    files = []
    for number, text in enumerate(patches):
        files.append(tmp_path / f"fix{number}.patch")
        files[-1].write_bytes(text.encode())
    done = subprocess.run([sys.executable, str(APPLY), *map(str, files), str(tmp_path)], capture_output=True, text=True)
    return done, {name: (tmp_path / name).read_bytes().decode() for name in ORIGINAL}


@pytest.mark.parametrize("order", [(PATCH, SECOND_PATCH), (SECOND_PATCH, PATCH)])
def test_patches_each_against_the_pristine_sources_apply_together(tmp_path, order):
    done, files = apply_several(tmp_path, order)
    assert done.returncode == 0, done.stderr
    assert files == dict(PATCHED, **{"src/a.c": "one\ntwo\nTHREE\nthree and a half\nFOUR\n"})


def test_a_patch_overlapping_an_earlier_one_is_refused_and_nothing_is_written(tmp_path):
    done, files = apply_several(tmp_path, [PATCH, OVERLAPPING_PATCH])
    assert done.returncode == 1
    assert (
        f"fix1.patch does not apply cleanly to {tmp_path}: src/a.c: hunk 1 (line 3) overlaps a hunk of" in done.stderr
    )
    assert files == ORIGINAL


# Per patched package: the folder of its extracted sources (below a build's
# target/<tag>/_deps/src) that the patches' paths start from, and its patches
# in the order the build applies them.
PATCHED_PACKAGES = {
    "tree-sitter": (
        "tree-sitter-*/tree-sitter-*/tree_sitter/core/lib",
        [
            "tree_sitter_endless_recovery.patch",
            "tree_sitter_merged_error_nodes.patch",
            "tree_sitter_parse_work_limit.patch",
            "tree_sitter_runtime_accept_paths.patch",
            "tree_sitter_stack_release.patch",
            "tree_sitter_error_lookups.patch",
            "tree_sitter_query_field_leak.patch",
            "tree_sitter_lexer_ascii.patch",
            "tree_sitter_lexer_direct_calls.patch",
            "tree_sitter_parse_table_memo.patch",
            "tree_sitter_stack_unbranched_pop.patch",
            "tree_sitter_stack_node_fields.patch",
            "tree_sitter_subtree_release_inline.patch",
            "tree_sitter_stack_head_in_place.patch",
        ],
    ),
    "tree-sitter-language-pack": (
        "tree-sitter-language-pack-*/tree_sitter_language_pack-*/parsers/typescript/src",
        ["tree_sitter_grammar_lexer_calls.patch", "tree_sitter_grammar_character_sets.patch"],
    ),
    "tree-sitter-python": (
        "tree-sitter-python-*/tree_sitter_python-*",
        [
            "tree_sitter_python_scanner.patch",
            "tree_sitter_python_comment_blocks.patch",
            "tree_sitter_python_scanner_state.patch",
        ],
    ),
}


def pristine_sources(package):
    """The package's sources as a build here extracted them, or None."""
    pattern, _ = PATCHED_PACKAGES[package]
    found = sorted(REPO_ROOT.glob(f"target/*/_deps/src/{pattern}"))
    return found[0] if found else None


@pytest.mark.parametrize(
    "package, patches",
    [
        (package, chosen)
        for package, (_, patches) in PATCHED_PACKAGES.items()
        for chosen in [[name] for name in patches] + ([patches] if len(patches) > 1 else [])
    ],
)
def test_each_repair_applies_on_its_own_and_all_apply_in_order(tmp_path, package, patches):
    sources = pristine_sources(package)
    if sources is None:
        pytest.skip("no extracted sources: build the package from this checkout first")
    for folder in ("src", "include", "tree_sitter"):
        if (sources / folder).is_dir():
            shutil.copytree(sources / folder, tmp_path / folder)
    done = subprocess.run(
        [sys.executable, str(APPLY), *(str(REPO_ROOT / "cmake" / p) for p in patches), str(tmp_path)],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr


def test_the_build_applies_every_patch_listed_here():
    listed = (REPO_ROOT / "cmake" / "dependencies.cmake").read_text()
    named = [name for _, patches in PATCHED_PACKAGES.values() for name in patches]
    assert sorted(named) == sorted(path.name for path in (REPO_ROOT / "cmake").glob("*.patch"))
    for _, patches in PATCHED_PACKAGES.values():
        places = [listed.index(f'/{name}"') for name in patches]
        assert places == sorted(places)
