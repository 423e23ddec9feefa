"""Short units whose repetition once made a parse take time as the square of
the text's length: for the figures of worst cases and of work per byte."""

from tests.support import fuzz_input_text

# Short units (after a few characters of their own) whose repetition an
# unrepaired parse took time as the square of the length for: tokens left
# open (a comment, a raw string, a string) that were read again to the end of
# the text, error nodes merged again and again, and comment lines in a Python
# block that the scanner read again at each line.
REPEATED_UNITS = {
    "tsx {/*": ("tsx", "", "{/*"),
    'rust r#"': ("rust", "", 'r#"'),
    "rust 'a": ("rust", "", "'a "),
    "javascript '": ("javascript", "", "'"),
    'json {"a"': ("json", "", '{"a" '),
    "typescript <'a>": ("typescript", "", "<'a>"),
    "javascript let = ;": ("javascript", "", "let = ;\n"),
    "typescript a<": ("typescript", "", "a<"),
    "python <d>": ("python", "", "<d>"),
    "json ${": ("json", "", "${"),
    "typescript /*": ("typescript", "", "/*"),
    'python """': ("python", "", '"""'),
    "python comment lines in a class": ("python", "class A:\n    x = 1\n", "    # a comment\n"),
}


# Found by fuzzing: summaries of a stack as deep as the text at every error;
# reductions that walk long stacks; an input of 548 bytes slow for all its
# error handling.
REPEATED_UNITS["rust (\\0\\5='jdef$ after ef f"] = ("rust", "ef f", "(\x00\x05='jdef$")
REPEATED_UNITS["python \\0\\0\\0~\\f/'a"] = ("python", "", "\x00\x00\x00~\x0c/'a")
REPEATED_UNITS['rust "U<\\a\\x10""""|}'] = ("rust", "", '"U<\\a\x10""""|}')
REPEATED_UNITS["tsx fuzz input of 548 bytes"] = ("tsx", "", fuzz_input_text("tsx-memory-549-bytes"))


def repeated_unit(prefix, unit, size):
    """`prefix`, then `unit` repeated, to exactly `size` characters."""
    return prefix + (unit * (size // len(unit) + 1))[: size - len(prefix)]
