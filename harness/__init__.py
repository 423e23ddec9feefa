"""What the benchmarks (benchmarks/) and the checks (checks/) share: the
corpora they run over, the timer, the official bindings they are set against,
and the grammar packages they register. Every script runs from the root of
the checkout as `python -m benchmarks.NAME` or `python -m checks.NAME`, which
makes this package, and the tests' helpers (tests.support), importable."""
