"""Applies one of our unified-diff patches to a folder of third-party sources.

    python apply_patch.py PATCH FOLDER

Strict on purpose: every hunk must match the file exactly at the line it
names, with no fuzz and no offset, because a patch written against one pinned
release must not land somewhere else in another. The text before the first
"--- " line is the patch's description and is skipped. Exits with status 1 and
a message naming the file and hunk when anything does not match, having
written nothing.
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


def patched_text(path, original, hunks):
    lines = original.splitlines(keepends=True)
    out = []
    at = 0  # index into lines of the next line not yet copied
    for number, (old_start, old, new) in enumerate(hunks, start=1):
        start = old_start - 1 if old else old_start
        if start < at or lines[start : start + len(old)] != old:
            raise ValueError(f"{path}: hunk {number} (line {old_start}) does not match the file")
        out.extend(lines[at:start])
        out.extend(new)
        at = start + len(old)
    out.extend(lines[at:])
    return "".join(out)


def read(path):
    # newline="" keeps every line ending as it is in the file.
    with open(path, encoding="utf-8", newline="") as file:
        return file.read()


def main(patch_file, folder):
    try:
        files = parse_patch(read(patch_file))
        results = []
        for path, hunks in files:
            target = Path(folder) / path
            results.append((target, patched_text(path, read(target), hunks)))
    except (OSError, ValueError) as failure:
        print(f"{patch_file} does not apply cleanly to {folder}: {failure}", file=sys.stderr)
        return 1
    for target, text in results:
        with open(target, "w", encoding="utf-8", newline="") as file:
            file.write(text)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
