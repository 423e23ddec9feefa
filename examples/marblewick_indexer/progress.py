"""Progress on standard error: tqdm bars when tqdm is installed, else a plain
counter; nothing for small trees or when asked for silence."""

from __future__ import annotations

import sys

# Below this many files, a progress display is only noise.
PROGRESS_THRESHOLD = 200


def worth_showing(files: int, wanted: bool) -> bool:
    return wanted and files >= PROGRESS_THRESHOLD


class Progress:
    def __init__(self, label: str, total: int, enabled: bool):
        self.label = label
        self.total = total
        self.done = 0
        self.bar = None
        self.enabled = enabled
        if not self.enabled:
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ImportError:
            self.step = max(1, total // 100)
            self.end = "\r" if sys.stderr.isatty() else "\n"
        else:
            self.bar = tqdm(total=total, desc=label, unit="file", file=sys.stderr, leave=False)

    def advance(self, count: int = 1) -> None:
        before, self.done = self.done, self.done + count
        if not self.enabled:
            return
        if self.bar is not None:
            self.bar.update(count)
        elif before // self.step != self.done // self.step or self.done == self.total:
            print(f"{self.label} {self.done}/{self.total} files", end=self.end, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled and self.end == "\r":
            print(file=sys.stderr)

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
