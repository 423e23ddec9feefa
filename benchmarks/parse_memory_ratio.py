"""How much memory a parse holds for each byte of its text, over real files.

Every parse has a memory ceiling (the floor plus a fixed number of bytes per
byte of text); this measures what real texts need, so that the ceiling can be
set far above it. For each file (whole, and cut at seeded random points), the
test-only probe module parses it and reports the most bytes the parse held at
once: its pool's chunks and its large blocks. Prints, per language, the file
count, the largest peak and the largest peak-to-size ratio among texts of at
least --min-bytes (below that, the floor's fixed share dominates and the
ratio says nothing), with the file it came from.

    python -m benchmarks.parse_memory_ratio [--cuts 3] [--limit 3000]

Corpora: the standard library's .py files; the .rs files of Debian's Rust
crate sources (/usr/share/cargo/registry; apt-get install librust-syn-dev
librust-serde-dev librust-tokio-dev librust-regex-syntax-dev); the .js, .mjs,
.ts and .json files found under /usr and /root (JavaScript also parsed as
TypeScript and TSX, which few files here are written in); random token soups.
"""

from harness.probe_ratios import largest_ratios, options, probe_measure
from tests.outline_samples import SOUP_TOKENS, token_soup


def main():
    args = options(__doc__.splitlines()[0])
    _, peak = probe_measure("peak_bytes")

    print(f"{'language':<11} {'texts':>6} {'largest peak':>13} {'largest ratio':>13}  from")
    overall = 0.0
    for language, count, top_peak, top_ratio, top_source in largest_ratios(peak, args):
        overall = max(overall, top_ratio)
        print(f"{language:<11} {count:>6} {top_peak / 2**20:>10.1f} MiB {top_ratio:>13.1f}  {top_source}")
    for language, tokens in sorted(SOUP_TOKENS.items()):
        for size in (100_000, 300_000):
            text = token_soup(tokens, size)
            held, failure = peak(text, language)
            shown = failure or f"{held / 2**20:.1f} MiB, {held / size:.1f} bytes per byte"
            print(f"soup {language:<10} {size // 1000:>4} KB: {shown}")
    print(f"largest ratio over real texts: {overall:.1f} bytes of parse memory per byte of text")


if __name__ == "__main__":
    main()
