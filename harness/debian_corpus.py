"""Real Go, Java, C and C++ from Debian's archive, for the benchmarks of
registered grammar packages.

  python -m harness.debian_corpus [--root DIR]      fetch, unpack, print a summary

The packages are fetched with `apt-get download` and unpacked with `dpkg -x`
under DIR (default $MARBLEWICK_DEBIAN_CORPUS, else /work/corpora), so nothing
is installed on the system; a second run reuses what is there. Two packages
ship their sources as one archive (the JDK's src.zip, glibc's tarball): only
the folders named below are taken out of them. Needs a Debian or Ubuntu
machine whose package lists are current (`apt-get update`); the versions are
whatever the archive serves that day, and the summary prints them.
"""

import argparse
import glob
import os
import subprocess
import sys
import tarfile
import urllib.parse
import zipfile

DEFAULT_ROOT = os.environ.get("MARBLEWICK_DEBIAN_CORPUS", "/work/corpora")

# Per language: the packages, and the folders (inside each unpacked package)
# whose files of the given extensions make up the corpus.
GO_PACKAGES = [
    "golang-golang-x-tools-dev",
    "golang-golang-x-net-dev",
    "golang-google-grpc-dev",
    "golang-github-prometheus-client-golang-dev",
    "golang-github-spf13-cobra-dev",
]
JAVA_PACKAGE = "openjdk-17-source"
# The core library: ordinary hand-written Java of every era, 1,400 files.
JAVA_PREFIXES = ("java.base/java/",)
C_SOURCE_PACKAGE = "glibc-source"
C_SOURCE_FOLDERS = (
    "elf",
    "nptl",
    "posix",
    "stdlib",
    "libio",
    "stdio-common",
    "string",
    "malloc",
    "resolv",
    "time",
    "io",
    "misc",
)
C_HEADER_PACKAGES = ["libc6-dev", "linux-libc-dev", "zlib1g-dev", "libsqlite3-dev", "libcurl4-openssl-dev"]
CPP_PACKAGES = ["googletest", "nlohmann-json3-dev", "libfmt-dev", "libspdlog-dev"]

ALL_PACKAGES = GO_PACKAGES + [JAVA_PACKAGE, C_SOURCE_PACKAGE] + C_HEADER_PACKAGES + CPP_PACKAGES


def _deb_of(root, package):
    found = sorted(glob.glob(os.path.join(root, "debs", f"{package}_*.deb")))
    return found[-1] if found else None


def fetch(root=DEFAULT_ROOT):
    """Download the packages that are not there yet and unpack each into
    root/tree/<package>, then take the chosen folders out of the two source
    archives. Idempotent."""
    debs = os.path.join(root, "debs")
    os.makedirs(debs, exist_ok=True)
    missing = [p for p in ALL_PACKAGES if _deb_of(root, p) is None]
    if missing:
        # apt's download user may not write here; the files are ours either way.
        subprocess.run(["apt-get", "download", "-q", *missing], cwd=debs, check=True, stdout=subprocess.DEVNULL)
    for package in ALL_PACKAGES:
        target = os.path.join(root, "tree", package)
        if not os.path.isdir(target):
            os.makedirs(target + ".partial", exist_ok=True)
            subprocess.run(["dpkg", "-x", _deb_of(root, package), target + ".partial"], check=True)
            os.rename(target + ".partial", target)
    _unpack_once(root, "java", JAVA_PACKAGE, "usr/lib/jvm/*/lib/src.zip", _extract_java)
    _unpack_once(root, "glibc", C_SOURCE_PACKAGE, "usr/src/glibc/glibc-*.tar.xz", _extract_glibc)


def _unpack_once(root, folder, package, archive_pattern, extract):
    """Take the chosen files out of a package's source archive into
    root/folder, unless an earlier run has; an interrupted run leaves only a
    .partial folder behind, which the next one writes over."""
    target = os.path.join(root, folder)
    if os.path.isdir(target):
        return
    archive = glob.glob(os.path.join(root, "tree", package, archive_pattern))[0]
    extract(archive, target + ".partial")
    os.rename(target + ".partial", target)


def _extract_java(archive, target):
    with zipfile.ZipFile(archive) as z:
        z.extractall(target, [m for m in z.namelist() if m.endswith(".java") and m.startswith(JAVA_PREFIXES)])


def _extract_glibc(archive, target):
    def wanted(member):
        parts = member.name.split("/")
        return (
            member.isfile() and len(parts) > 2 and parts[1] in C_SOURCE_FOLDERS and member.name.endswith((".c", ".h"))
        )

    with tarfile.open(archive) as tar:
        tar.extractall(target, [m for m in tar.getmembers() if wanted(m)], filter="data")


def _files_under(folders, extensions, skip_dirs=()):
    files = []
    for folder in folders:
        for parent, dirs, names in os.walk(folder):
            dirs[:] = sorted(d for d in dirs if d not in skip_dirs)
            files.extend(os.path.join(parent, n) for n in sorted(names) if n.endswith(extensions))
    return files


def go_files(root=DEFAULT_ROOT):
    # testdata holds inputs of the packages' own tests, much of it
    # deliberately malformed Go: not code anyone indexes.
    return _files_under(
        [os.path.join(root, "tree", p, "usr/share/gocode/src") for p in GO_PACKAGES], (".go",), skip_dirs=("testdata",)
    )


def java_files(root=DEFAULT_ROOT):
    return _files_under([os.path.join(root, "java")], (".java",))


def c_files(root=DEFAULT_ROOT):
    headers = [os.path.join(root, "tree", p, "usr/include") for p in C_HEADER_PACKAGES]
    return _files_under([os.path.join(root, "glibc")], (".c", ".h")) + _files_under(headers, (".h",))


def cpp_files(root=DEFAULT_ROOT):
    folders = [os.path.join(root, "tree", p, "usr") for p in CPP_PACKAGES]
    return _files_under(folders, (".cc", ".cpp", ".h", ".hpp"))


FILES = {"go": go_files, "java": java_files, "c": c_files, "cpp": cpp_files}


def package_versions(root=DEFAULT_ROOT):
    # The file names carry the epoch escaped ("1%3a0.5.0").
    return {
        p: urllib.parse.unquote(os.path.basename(_deb_of(root, p)).split("_")[1])
        for p in ALL_PACKAGES
        if _deb_of(root, p)
    }


def main():
    options = argparse.ArgumentParser()
    options.add_argument("--root", default=DEFAULT_ROOT)
    args = options.parse_args()
    fetch(args.root)
    for package, version in package_versions(args.root).items():
        print(f"{package} {version}")
    for language, files in FILES.items():
        paths = files(args.root)
        print(f"{language:<5} {len(paths):>5} files {sum(map(os.path.getsize, paths)) / 1e6:>7.2f} MB")


if __name__ == "__main__":
    sys.exit(main())
