"""The documentation's links lead somewhere: each fact stands in one place and
the others link to it, so a moved section or a renamed file must not leave a
link pointing at nothing."""

import re

import pytest

from conftest import REPO_ROOT

PAGES = [REPO_ROOT / "README.md", *sorted((REPO_ROOT / "docs").glob("*.md"))]
LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(page):
    """The anchors a Markdown renderer gives the headings of `page`."""
    text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"), flags=re.S)
    found = set()
    for heading in re.findall(r"^#+ (.+)$", text, flags=re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(slug)
    return found


def links(page):
    for target in LINK.findall(page.read_text(encoding="utf-8")):
        if not re.match(r"[a-z]+:", target):
            yield target


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_every_link_names_a_file_and_heading_that_exist(page):
    for target in links(page):
        path, _, anchor = target.partition("#")
        linked = (page.parent / path).resolve() if path else page
        assert linked.exists(), f"{page.name}: {target}"
        if anchor and linked.suffix == ".md":
            assert anchor in anchors(linked), f"{page.name}: {target}"


def test_every_page_is_reached_from_the_readme():
    reached = {(REPO_ROOT / target.partition("#")[0]).resolve() for target in links(PAGES[0])}
    assert set(PAGES[1:]) <= reached
