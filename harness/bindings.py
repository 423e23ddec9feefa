"""The official Python bindings over the same grammar releases (the `bench`
extra): what the module is measured and checked against."""


def reference_parsers():
    """A parser of the bindings for each built-in grammar with an outline."""
    import tree_sitter
    import tree_sitter_javascript
    import tree_sitter_python
    import tree_sitter_rust
    import tree_sitter_typescript

    grammars = {
        "python": tree_sitter_python.language(),
        "javascript": tree_sitter_javascript.language(),
        "typescript": tree_sitter_typescript.language_typescript(),
        "tsx": tree_sitter_typescript.language_tsx(),
        "rust": tree_sitter_rust.language(),
    }
    return {name: tree_sitter.Parser(tree_sitter.Language(g)) for name, g in grammars.items()}


def read_and_parse(path, parser):
    """The bindings' side of a timing: read the file, parse it, drop the tree."""

    def reference():
        with open(path, "rb") as f:
            data = f.read()
        tree = parser.parse(data)
        del tree

    return reference
