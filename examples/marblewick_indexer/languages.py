"""The languages a run analyses: the module's own, and every grammar package
installed beside it, registered with the module before the scan.

Grammar packages are found through the installed distributions' metadata,
which names each one's modules and files without importing anything; only
the packages this table knows the file extensions of are registered, and the
module imports each one itself. A package that is missing, does not import or
is refused by the module is skipped, with one line saying why, and the run
goes on with the rest. Which extension names which language is then asked of
the module ("languages"), so the indexer sends for analysis exactly what the
module checks and outlines.
"""

from __future__ import annotations

import json
import os
import re
import sys
import time
from typing import TYPE_CHECKING, Iterable, NamedTuple

import marblewick_index_native as native

from . import remote
from .store import SETTLED_AFTER_NS

if TYPE_CHECKING:
    # Imported where packages are looked for: importing it costs an unchanged
    # run a tenth of its time, and installed_grammars mostly does without.
    import importlib.metadata

# The extensions "scan" selects when it is given none: what the indexer has
# always scanned. A registered language's extensions are added to them.
SCAN_EXTENSIONS = ("py", "rs", "ts", "tsx", "js", "go", "md", "toml", "yaml", "yml")
# Names the index files a scanned extension under when no grammar reads it.
NAMES_WITHOUT_GRAMMAR = {"go": "go", "md": "markdown", "toml": "toml", "yaml": "yaml", "yml": "yaml"}
OTHER = "other"

# The usual extensions of each language, by the module a grammar package
# installs, with the function that returns its grammar where the package holds
# several. A language is named after its package (`tree_sitter_c_sharp`:
# "c_sharp"), or after its function in a package of several.
USUAL_GRAMMARS: dict[str, tuple[tuple[str, str, tuple[str, ...]], ...]] = {
    "tree_sitter_bash": (("bash", "language", ("sh", "bash")),),
    "tree_sitter_c": (("c", "language", ("c", "h")),),
    "tree_sitter_c_sharp": (("c_sharp", "language", ("cs",)),),
    "tree_sitter_cpp": (
        ("cpp", "language", ("cc", "cpp", "cxx", "c++", "hh", "hpp", "hxx", "h++", "inl", "ipp", "tcc", "h")),
    ),
    "tree_sitter_css": (("css", "language", ("css",)),),
    "tree_sitter_elixir": (("elixir", "language", ("ex", "exs")),),
    "tree_sitter_go": (("go", "language", ("go",)),),
    "tree_sitter_haskell": (("haskell", "language", ("hs",)),),
    "tree_sitter_html": (("html", "language", ("html", "htm")),),
    "tree_sitter_java": (("java", "language", ("java",)),),
    "tree_sitter_julia": (("julia", "language", ("jl",)),),
    "tree_sitter_kotlin": (("kotlin", "language", ("kt", "kts")),),
    "tree_sitter_lua": (("lua", "language", ("lua",)),),
    "tree_sitter_ocaml": (
        ("ocaml", "language_ocaml", ("ml",)),
        ("ocaml_interface", "language_ocaml_interface", ("mli",)),
    ),
    # language_php reads a .php file whole, the text around <?php included.
    "tree_sitter_php": (("php", "language_php", ("php",)),),
    "tree_sitter_ruby": (("ruby", "language", ("rb", "rake", "gemspec")),),
    "tree_sitter_scala": (("scala", "language", ("scala", "sc")),),
    "tree_sitter_swift": (("swift", "language", ("swift",)),),
    "tree_sitter_toml": (("toml", "language", ("toml",)),),
    "tree_sitter_yaml": (("yaml", "language", ("yaml", "yml")),),
    "tree_sitter_zig": (("zig", "language", ("zig",)),),
}
# An extension that two languages claim goes to the first of them installed:
# a C header is read as C++ where both grammars are there, since the C++
# grammar also reads C's declarations and the C grammar fails on C++ headers.
SHARED_EXTENSIONS = {"h": ("cpp", "c")}
# Packages of the same grammars the module has built in (the comparison
# benchmarks install them): the module refuses their names, so they are left
# out without a word.
BUILT_IN_PACKAGES = {
    "tree_sitter_python",
    "tree_sitter_javascript",
    "tree_sitter_typescript",
    "tree_sitter_rust",
    "tree_sitter_json",
}
GRAMMAR_PACKAGE = re.compile(r"tree_sitter_\w+")


class UnusableModule(Exception):
    """The module cannot say which languages it knows; the message says why."""


class Grammar(NamedTuple):
    """One grammar of an installed package, as the module registers it."""

    language: str
    package: str
    function: str
    extensions: tuple[str, ...]
    distribution: str
    version: str
    # The tags query, as the distribution's file list names it and where it
    # lies here; None when the package ships none (no outline then).
    tags_file: str | None
    tags: str | None

    @property
    def source(self) -> str:
        return f"{self.distribution} {self.version}"

    def remote_form(self) -> dict:
        """What a Dask worker registers it from (remote.register_grammars)."""
        return {
            "language": self.language,
            "package": self.package,
            "function": self.function,
            "extensions": list(self.extensions),
            "distribution": self.distribution,
            "tags_file": self.tags_file,
        }


class Skipped(NamedTuple):
    """A grammar the run goes on without, and why."""

    what: str
    reason: str
    # The languages it would have given.
    languages: tuple[str, ...] = ()

    def line(self) -> str:
        return f"skipped {self.what}: {' '.join(self.reason.split())}"


class LanguageInfo(NamedTuple):
    """One language as the module lists it."""

    name: str
    extensions: tuple[str, ...]
    outline: bool
    grammar: bool


class Languages:
    """What one run scans and analyses: the module's languages (built in
    first, then the registered ones), and how the scan's extensions are
    filed. `restriction`, when given, is the set of languages analysed; files
    of the others keep only their inventory."""

    def __init__(
        self,
        known: list[LanguageInfo],
        registered: Iterable[Grammar] = (),
        left_out: Iterable[Grammar] = (),
        restriction: set[str] | None = None,
        skipped: list[Skipped] | None = None,
        found: str | None = None,
    ):
        self.known = known
        # What installed_grammars found, for the next run to take back.
        self.found = found
        self.registered = list(registered)
        self.skipped = skipped or []
        self.restriction = restriction
        self.by_extension: dict[str, str] = {}
        for info in known:
            for extension in info.extensions:
                self.by_extension.setdefault(extension, info.name)
        # A grammar installed but not registered in this run (skipped, or
        # outside --languages) still names its files, so that they stay in
        # the index under their language.
        extra: list[str] = []
        for grammar in left_out:
            for extension in grammar.extensions:
                if extension not in self.by_extension:
                    self.by_extension[extension] = grammar.language
                    extra.append(extension)
        for extension in SCAN_EXTENSIONS:
            self.by_extension.setdefault(extension, NAMES_WITHOUT_GRAMMAR.get(extension, OTHER))
        added = [e for grammar in self.registered for e in grammar.extensions] + extra
        self.scan_extensions: list[str] | None = list(dict.fromkeys([*SCAN_EXTENSIONS, *added])) if added else None
        self.analysed = {
            info.name for info in known if info.grammar and (restriction is None or info.name in restriction)
        }

    def filing(self) -> str:
        """What decides, for every path, the language it is filed under and
        whether it is analysed: two runs with the same filing file every
        file alike."""
        return json.dumps([sorted(self.by_extension.items()), sorted(self.analysed)])

    def language_of(self, path: str) -> str:
        # Asked of every file of every run: the name is not cut out of the
        # path. A dot that starts the name (or none in it) gives no extension.
        dot = path.rfind(".")
        if dot <= path.rfind("/") + 1:
            return OTHER
        return self.by_extension.get(path[dot + 1 :].lower(), OTHER)

    def scans(self, path: str) -> bool:
        """Whether the scan selects `path`: its extension, as the scan takes
        it (case and all), is one of the run's."""
        name = path.rsplit("/", 1)[-1]
        dot = name.rfind(".")
        return dot > 0 and name[dot + 1 :] in (self.scan_extensions or SCAN_EXTENSIONS)

    def remote_grammars(self) -> list[dict]:
        return [g.remote_form() for g in self.registered if g.language in self.analysed]


def module_languages() -> list[LanguageInfo]:
    """The module's answer to "languages"."""
    try:
        answer = json.loads(native.run("languages", "{}"))
    except RuntimeError as error:
        raise UnusableModule(
            f"the module installed cannot list its languages ({error}); install this repository's module"
        ) from None
    return [
        LanguageInfo(entry["name"], tuple(entry["extensions"]), bool(entry["outline"]), bool(entry["grammar"]))
        for entry in answer["languages"]
    ]


def listed_files(distribution: importlib.metadata.Distribution) -> list[importlib.metadata.PackagePath] | None:
    """The files a distribution's metadata lists, whether or not they are
    there: from 3.13 on, `files` leaves out those missing, and a grammar
    package whose module is gone would then look like no package at all
    instead of one that cannot be imported."""
    import csv
    import importlib.metadata

    record = distribution.read_text("RECORD")
    if record is None:
        return distribution.files
    return [importlib.metadata.PackagePath(row[0]) for row in csv.reader(record.splitlines()) if row]


def distribution_packages(
    distribution: importlib.metadata.Distribution, files: list[importlib.metadata.PackagePath] | None
) -> list[str] | None:
    """The top-level modules a distribution installs, from its metadata (its
    `files` as listed_files gives them); None when the metadata lists neither
    modules nor files."""
    top_level = distribution.read_text("top_level.txt")
    if top_level is not None:
        return [name.strip() for name in top_level.splitlines() if name.strip()]
    if files is None:
        return None
    return list(
        dict.fromkeys(file.parts[0] for file in files if len(file.parts) == 2 and file.parts[1] == "__init__.py")
    )


def tags_query_file(files: list[importlib.metadata.PackagePath] | None, package: str) -> str | None:
    """The tags query among a distribution's `files`: the one in the
    package's own folder, else its only one wherever it lies (some wheels put
    it in a folder named after the grammar rather than the module)."""
    found = [str(file) for file in files or () if file.parts[-2:] == ("queries", "tags.scm")]
    own = f"{package}/queries/tags.scm"
    if own in found:
        return own
    return found[0] if len(found) == 1 else None


def grammar_distribution(distribution: importlib.metadata.Distribution) -> bool:
    """Whether a distribution is named as grammar packages are (tree-sitter-
    and the grammar's name). The name comes from the folder of its metadata
    where the distribution knows it, which costs nothing, rather than from
    the metadata file, which would be read and parsed for every package
    installed; only grammar packages' file lists are read at all."""
    name = getattr(distribution, "_normalized_name", None) or distribution.metadata["Name"] or ""
    return re.sub(r"[-_.]+", "_", name).lower().startswith("tree_sitter_")


def discover(
    distributions: Iterable[importlib.metadata.Distribution] | None = None,
) -> tuple[list[Grammar], list[Skipped]]:
    """Every grammar of the installed grammar packages this table knows, in
    package order, and the packages passed over. A module installed twice (a
    virtual environment over the system's packages) counts once, as the
    import finds it first."""
    import importlib.metadata

    grammars: list[Grammar] = []
    skipped: list[Skipped] = []
    seen: set[str] = set()
    for distribution in importlib.metadata.distributions() if distributions is None else distributions:
        if not grammar_distribution(distribution):
            continue
        name = distribution.metadata["Name"] or "a distribution without a name"
        version = distribution.version or "?"
        # The record is read once: every package of the distribution looks in it.
        files = listed_files(distribution)
        packages = distribution_packages(distribution, files)
        if packages is None:
            given = USUAL_GRAMMARS.get(name.lower().replace("-", "_"), ())
            skipped.append(
                Skipped(f"{name} {version}", "its installed metadata lists no files", tuple(u[0] for u in given))
            )
            continue
        for package in packages:
            if not GRAMMAR_PACKAGE.fullmatch(package) or package in BUILT_IN_PACKAGES or package in seen:
                continue
            seen.add(package)
            usual = USUAL_GRAMMARS.get(package)
            if usual is None:
                if any(file.parts[:1] == (package,) and file.name.startswith("_binding") for file in files or ()):
                    skipped.append(
                        Skipped(f"{package} ({name} {version})", "no usual file extensions are known for its language")
                    )
                continue
            tags_file = tags_query_file(files, package)
            tags = str(distribution.locate_file(tags_file)) if tags_file is not None else None
            for language, function, extensions in usual:
                grammars.append(Grammar(language, package, function, extensions, name, version, tags_file, tags))
    return sorted(grammars, key=lambda g: g.language), skipped


def import_path_state() -> list[list] | None:
    """What installing or removing a package changes on the import path: each
    entry with the modification time of what it names (a folder gains or
    loses a distribution's metadata folder, a .pth file or a module folder;
    an archive is rewritten). Entries that name nothing are kept by name, so
    that one appearing changes the state too. None while a time is too recent
    to show every change, as for the statuses the index keeps of files."""
    state: list[list] = []
    settled_before = time.time_ns() - SETTLED_AFTER_NS
    for entry in sys.path:
        try:
            mtime_ns = os.stat(entry or ".").st_mtime_ns
        except (OSError, ValueError):
            state.append([entry, None])
            continue
        if mtime_ns > settled_before:
            return None
        state.append([entry, mtime_ns])
    return state


def installed_grammars(remembered: str | None) -> tuple[list[Grammar], list[Skipped], str]:
    """discover()'s answer, and the text that lets the next run take it back
    without looking again. `remembered` is such a text from an earlier run:
    when the import path is as it was then, its answer is given again (and
    the distributions' metadata is neither imported nor read); otherwise, or
    when it cannot be read, the packages are looked for afresh."""
    state = import_path_state()
    if remembered is not None and state is not None:
        try:
            found = json.loads(remembered)
            if found["import path"] == state:
                return (
                    [Grammar._make([*g[:3], tuple(g[3]), *g[4:]]) for g in found["grammars"]],
                    [Skipped(s[0], s[1], tuple(s[2])) for s in found["skipped"]],
                    remembered,
                )
        except (ValueError, TypeError, KeyError, IndexError):
            pass  # not of this indexer's writing: looked for afresh
    grammars, skipped = discover()
    found = {"import path": state, "grammars": grammars, "skipped": skipped}
    return grammars, skipped, json.dumps(found, separators=(",", ":"))


def share_extensions(grammars: list[Grammar]) -> list[Grammar]:
    """Each shared extension left only with the first of its languages at hand."""
    present = {grammar.language for grammar in grammars}
    owner = {
        extension: next((language for language in languages if language in present), None)
        for extension, languages in SHARED_EXTENSIONS.items()
    }
    return [
        grammar._replace(
            extensions=tuple(e for e in grammar.extensions if owner.get(e, grammar.language) == grammar.language)
        )
        for grammar in grammars
    ]


def register(grammar: Grammar) -> Skipped | None:
    """Registers one grammar with the module; what went wrong, if anything."""
    try:
        remote.register_grammar(
            grammar.language, grammar.package, grammar.function, list(grammar.extensions), grammar.tags
        )
    except (KeyboardInterrupt, SystemExit):
        raise
    except RuntimeError as error:
        return Skipped(f"{grammar.language} ({grammar.source})", str(error), (grammar.language,))
    except BaseException as error:  # noqa: BLE001 - one package's fault, reported as a skip
        return Skipped(
            f"{grammar.language} ({grammar.source})", f"{type(error).__name__}: {error}", (grammar.language,)
        )
    return None


def prepare(restriction: set[str] | None = None, remembered: str | None = None) -> Languages:
    """Registers every installed grammar package (only those of `restriction`,
    when given) and answers what the run scans and analyses. `remembered`:
    as installed_grammars takes it; the answer's `found` is the one to keep."""
    installed, skipped, found = installed_grammars(remembered)
    chosen = share_extensions([g for g in installed if restriction is None or g.language in restriction])
    registered, left_out = [], []
    for grammar in chosen:
        refused = register(grammar)
        if refused is None:
            registered.append(grammar)
        else:
            skipped.append(refused)
            left_out.append(grammar)
    known = module_languages()
    if restriction is not None:
        named = (
            {info.name for info in known}
            | {grammar.language for grammar in installed}
            | {language for skip in skipped for language in skip.languages}
        )
        for language in sorted(restriction - named):
            package = next((p for p, usual in USUAL_GRAMMARS.items() if any(u[0] == language for u in usual)), None)
            hint = f" (pip install {package.replace('_', '-')})" if package else ""
            skipped.append(Skipped(language, f"no grammar package for it is installed{hint}"))
        # Installed grammars outside the restriction still name their files.
        left_out += share_extensions([g for g in installed if g.language not in restriction])
    return Languages(known, registered, left_out, restriction, skipped, found)


def listing(languages: Languages) -> list[str]:
    """One line per language the module knows: its outline, where its grammar
    comes from and its extensions."""
    sources = {grammar.language: grammar.source for grammar in languages.registered}
    lines = []
    for info in languages.known:
        outline = "outline" if info.outline else "no outline" if info.grammar else "no grammar"
        lines.append(
            f"  {info.name:<16} {outline:<10}  {sources.get(info.name, 'built in'):<26} "
            f"{' '.join('.' + e for e in info.extensions)}".rstrip()
        )
    return lines
