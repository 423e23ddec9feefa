"""How many steps of work a parse takes for each byte of its text, over real
files.

Every parse has a work ceiling (the floor plus a fixed number of steps per
byte of text); this measures what real texts take, so that the ceiling can be
set far above it. A step is one character the parser's lexer consumes, or
what the parser and its stack do beside lexing (src/syntax/parse.h lists
each count and its weight). For each file
(whole, and cut at seeded random points), the test-only probe module parses
it with the ceiling lifted and reports its steps. Prints, per language, the
text count, the most steps and the largest steps-to-size ratio among texts of
at least --min-bytes (below that the floor's fixed share dominates), with the
file it came from; then the same for random token soups and for short units
repeated, which real text never is.

    python -m benchmarks.parse_work_ratio [--cuts 3] [--limit 3000]

Corpora: those of parse_memory_ratio.py (harness/probe_ratios.py), with the same seed.
"""

import json

from harness.hostile_units import REPEATED_UNITS, repeated_unit
from harness.probe_ratios import largest_ratios, options, probe_measure
from tests.outline_samples import SOUP_TOKENS, token_soup

LIFTED = 1 << 62


def main():
    args = options(__doc__.splitlines()[0])
    probe, steps = probe_measure("work_steps")
    probe.run("set-parse-work-ceiling", json.dumps({"steps": LIFTED}))

    print(f"{'language':<11} {'texts':>6} {'most steps':>12} {'largest ratio':>13}  from")
    overall = 0.0
    for language, count, top_steps, top_ratio, top_source in largest_ratios(steps, args):
        overall = max(overall, top_ratio)
        print(f"{language:<11} {count:>6} {top_steps:>12} {top_ratio:>13.1f}  {top_source}", flush=True)
    for language, tokens in sorted(SOUP_TOKENS.items()):
        for size in (100_000, 300_000):
            done, failure = steps(token_soup(tokens, size), language)
            shown = failure or f"{done} steps, {done / size:.1f} per byte"
            print(f"soup {language:<10} {size // 1000:>4} KB: {shown}", flush=True)
    for name, (language, prefix, unit) in REPEATED_UNITS.items():
        for size in (10_000, 20_000, 40_000):
            done, failure = steps(repeated_unit(prefix, unit, size), language)
            shown = failure or f"{done} steps, {done / size:.1f} per byte"
            print(f"repeated {name:<18} {size // 1000:>3} KB: {shown}", flush=True)
    print(f"largest ratio over real texts: {overall:.1f} steps of work per byte of text")


if __name__ == "__main__":
    main()
