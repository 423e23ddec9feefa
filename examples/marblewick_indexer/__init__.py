"""The reference indexer: how a code-indexing tool should drive the native
module. One "scan" per run decides what changed; "analyse" gives each changed
file's outline and syntax check from one parse, in threads of one process
that parse at once with the interpreter lock released (or on a Dask cluster);
the main thread alone writes the results into an SQLite index."""
