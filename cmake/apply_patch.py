"""Applies our unified-diff patches to a folder of third-party sources.

    python apply_patch.py PATCH [PATCH ...] FOLDER

Strict on purpose: every hunk must match the file exactly at the line it
names, with no fuzz and no offset, because a patch written against one pinned
release must not land somewhere else in another. Each patch is one repair,
written against the pristine sources, so that each applies on its own and can
be dropped on its own; given several, they apply in the order given, each
hunk at its line of the pristine file, and a hunk that overlaps one of an
earlier patch is refused. The text before the first "--- " line is the
patch's description and is skipped. Exits with status 1 and a message naming
the patch, file and hunk when anything does not match, having written nothing.
"""

import re
import sys
from pathlib import Path

HUNK = re.compile(r"^@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@")


def parse_patch(text):
    """[(relative path, [(old start, old lines, new lines)])] of the patch."""
    files = []
    lines = text.splitlines(keepends=True)
    i = 0
    while i < len(lines):
        if not lines[i].startswith("--- "):
            i += 1
            continue
        if i + 1 >= len(lines) or not lines[i + 1].startswith("+++ "):
            raise ValueError(f"line {i + 1}: '---' without '+++'")
        path = lines[i + 1][4:].strip().split("\t")[0]
        path = path[2:] if path.startswith("b/") else path
        hunks = []
        i += 2
        while i < len(lines) and lines[i].startswith("@@"):
            match = HUNK.match(lines[i])
            if not match:
                raise ValueError(f"line {i + 1}: malformed hunk header")
            old_start = int(match.group(1))
            old_count = int(match.group(2) or 1)
            new_count = int(match.group(4) or 1)
            old, new = [], []
            i += 1
            while len(old) < old_count or len(new) < new_count:
                if i >= len(lines):
                    raise ValueError("patch ends inside a hunk")
                line = lines[i]
                body = line[1:] if len(line) > 1 or line == "\n" else ""
                if line.startswith(" ") or line == "\n":
                    old.append(body)
                    new.append(body)
                elif line.startswith("-"):
                    old.append(body)
                elif line.startswith("+"):
                    new.append(body)
                elif not line.startswith("\\"):
                    raise ValueError(f"line {i + 1}: unexpected line inside a hunk")
                i += 1
            hunks.append((old_start, old, new))
        files.append((path, hunks))
    if not files:
        raise ValueError("no file in the patch")
    return files


def hunk_range(old_start, old):
    """The pristine lines [first, end) that a hunk replaces (an insertion
    replaces none, after line old_start)."""
    first = old_start - 1 if old else old_start
    return first, first + len(old)


def patched_text(original, edits):
    """The text with each (first, end, new lines) edit made, in line order."""
    lines = original.splitlines(keepends=True)
    out = []
    at = 0  # index into lines of the next line not yet copied
    for first, end, new in sorted(edits, key=lambda edit: edit[:2]):
        out.extend(lines[at:first])
        out.extend(new)
        at = end
    out.extend(lines[at:])
    return "".join(out)


class PatchFailure(Exception):
    """Which patch did not apply, and why."""

    def __init__(self, patch_file, failure):
        super().__init__(patch_file, failure)
        self.patch_file = patch_file
        self.failure = failure


def planned_edits(patch_files, folder):
    """{target: (pristine text, [(first, end, new lines, patch)])} of all
    patches; raises PatchFailure naming the first patch that does not apply."""
    plans = {}
    for patch_file in patch_files:
        try:
            planned_patch_edits(patch_file, folder, plans)
        except (OSError, ValueError) as failure:
            raise PatchFailure(patch_file, failure) from None
    return plans


def planned_patch_edits(patch_file, folder, plans):
    for path, hunks in parse_patch(read(patch_file)):
        target = Path(folder) / path
        if target not in plans:
            plans[target] = (read(target), [])
        original, edits = plans[target]
        lines = original.splitlines(keepends=True)
        for number, (old_start, old, new) in enumerate(hunks, start=1):
            first, end = hunk_range(old_start, old)
            where = f"{path}: hunk {number} (line {old_start})"
            if first > len(lines) or lines[first:end] != old:
                raise ValueError(f"{where} does not match the file")
            for other_first, other_end, _, other_patch in edits:
                if first < other_end and other_first < end or first == end == other_first:
                    raise ValueError(f"{where} overlaps a hunk of {other_patch}")
            edits.append((first, end, new, patch_file))


def read(path):
    # newline="" keeps every line ending as it is in the file.
    with open(path, encoding="utf-8", newline="") as file:
        return file.read()


def main(patch_files, folder):
    try:
        plans = planned_edits(patch_files, folder)
    except PatchFailure as failure:
        print(f"{failure.patch_file} does not apply cleanly to {folder}: {failure.failure}", file=sys.stderr)
        return 1
    for target, (original, edits) in plans.items():
        text = patched_text(original, [edit[:3] for edit in edits])
        with open(target, "w", encoding="utf-8", newline="") as file:
            file.write(text)
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1:-1], sys.argv[-1]))
