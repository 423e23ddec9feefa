"""How the build obtains its pinned source archives (cmake/dependency_archives.cmake,
run as a script): nothing in an archive runs before its SHA-256 is checked, and
a failure says how to build offline."""

import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile

import pytest

from support import REPO_ROOT

CMAKE = shutil.which("cmake")
pytestmark = pytest.mark.skipif(CMAKE is None, reason="needs cmake on PATH")

PACKAGE, VERSION = "marker-probe", "1.0"
ARCHIVE = f"marker_probe-{VERSION}.tar.gz"
WRONG_SHA = "0" * 64


def make_sdist(folder, marker) -> str:
    """A source archive whose build backend leaves `marker` behind as soon as
    pip loads it (pip does, to prepare the archive's metadata); gives its SHA-256."""
    top = f"marker_probe-{VERSION}"
    files = {
        "pyproject.toml": '[build-system]\nrequires = []\nbuild-backend = "backend"\nbackend-path = ["."]\n',
        "backend.py": (
            "import pathlib\n"
            f"pathlib.Path({str(marker)!r}).touch()\n"
            "def get_requires_for_build_wheel(config_settings=None):\n"
            "    return []\n"
            "def prepare_metadata_for_build_wheel(directory, config_settings=None):\n"
            f"    info = pathlib.Path(directory) / 'marker_probe-{VERSION}.dist-info'\n"
            "    info.mkdir()\n"
            f"    (info / 'METADATA').write_text('Metadata-Version: 2.1\\nName: {PACKAGE}\\nVersion: {VERSION}\\n')\n"
            "    return info.name\n"
        ),
        "PKG-INFO": f"Metadata-Version: 2.1\nName: {PACKAGE}\nVersion: {VERSION}\n",
    }
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz") as tar:
        for name, text in files.items():
            data = text.encode()
            info = tarfile.TarInfo(f"{top}/{name}")
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    (folder / ARCHIVE).write_bytes(buffer.getvalue())
    return hashlib.sha256(buffer.getvalue()).hexdigest()


@pytest.fixture
def index(tmp_path):
    """A package index of one source archive (a pip find-links folder), and the
    marker its build backend would leave."""
    folder = tmp_path / "index"
    folder.mkdir()
    marker = tmp_path / "backend-ran"
    return folder, marker, make_sdist(folder, marker)


def obtain(tmp_path, sha, *, index_folder=None, offline_dir=None):
    """Runs the build's archive step for a pins file holding one pin."""
    pins = tmp_path / "pins.txt"
    pins.write_text(f"--no-binary {PACKAGE}\n{PACKAGE}=={VERSION} --hash=sha256:{sha}\n")
    download_dir = tmp_path / "archives"
    command = [CMAKE, f"-DPINS={pins}", f"-DDOWNLOAD_DIR={download_dir}", f"-DPYTHON={sys.executable}"]
    if offline_dir:
        command.append(f"-DOFFLINE_DIR={offline_dir}")
    command += ["-P", str(REPO_ROOT / "cmake" / "dependency_archives.cmake")]
    # The user's pip settings reach pip: here they name the local index alone.
    env = dict(
        os.environ,
        PIP_CONFIG_FILE=os.devnull,
        PIP_NO_INDEX="1",
        PIP_FIND_LINKS=str(index_folder or tmp_path),
        PIP_NO_CACHE_DIR="1",
    )
    # Neither cmake nor pip is this module's code: the sanitizer run's preloaded
    # runtime would only report their own memory at exit.
    env.pop("LD_PRELOAD", None)
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)
    return done, download_dir


@pytest.mark.parametrize("pinned_right", [True, False], ids=["right-pin", "wrong-pin"])
def test_a_download_runs_nothing_before_its_hash_matches(tmp_path, index, pinned_right):
    folder, marker, sha = index
    done, download_dir = obtain(tmp_path, sha if pinned_right else WRONG_SHA, index_folder=folder)
    if pinned_right:
        assert done.returncode == 0, done.stderr
        assert (download_dir / ARCHIVE).read_bytes() == (folder / ARCHIVE).read_bytes()
        # pip does prepare a verified archive: the marker does see a backend run.
        assert marker.exists()
    else:
        assert done.returncode != 0
        assert not marker.exists()
        assert "DO NOT MATCH THE HASHES" in done.stderr
        assert "MARBLEWICK_DEPENDENCY_DIR" in done.stderr
        assert "pip download --require-hashes" in done.stderr
        assert not (download_dir / ARCHIVE).exists()


def test_a_cached_archive_that_fails_its_hash_is_fetched_again(tmp_path, index):
    folder, marker, sha = index
    download_dir = tmp_path / "archives"
    download_dir.mkdir()
    (download_dir / ARCHIVE).write_bytes(b"cut short")
    done, _ = obtain(tmp_path, sha, index_folder=folder)
    assert done.returncode == 0, done.stderr
    assert hashlib.sha256((download_dir / ARCHIVE).read_bytes()).hexdigest() == sha


@pytest.mark.parametrize(
    "content, message",
    [
        (None, f"{PACKAGE}=={VERSION} is not in MARBLEWICK_DEPENDENCY_DIR"),
        (b"tampered", f"{ARCHIVE}: SHA-256 {hashlib.sha256(b'tampered').hexdigest()} does not match the pinned"),
    ],
    ids=["missing", "tampered"],
)
def test_an_offline_folder_is_checked_and_never_downloaded_from(tmp_path, index, content, message):
    folder, marker, sha = index
    offline = tmp_path / "offline"
    offline.mkdir()
    if content is not None:
        (offline / ARCHIVE).write_bytes(content)
    done, download_dir = obtain(tmp_path, sha, index_folder=folder, offline_dir=offline)
    assert done.returncode != 0
    assert message in " ".join(done.stderr.split())
    assert not download_dir.exists() and not marker.exists()
