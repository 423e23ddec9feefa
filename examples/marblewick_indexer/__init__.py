"""The reference indexer: how a code-indexing tool should drive the native
module. One "scan" per run decides what changed; "analyse" gives each changed
file's outline and syntax check from one parse, in a pool of processes (or on
a Dask cluster); the parent alone writes the results into an SQLite index."""
