"""The "hash" command: SHA-256 of the text with CR LF and lone CR turned into LF."""

import json
import random

import pytest

from support import (
    STREAMED_INVALID_TEXTS,
    STREAMED_TEXTS,
    expected_digest,
    limits_address_space,
    run_child,
    run_error,
    run_json,
    text_across_read_pieces,
)


def digest_of(tmp_path, data: bytes) -> str:
    target = tmp_path / "file.txt"
    target.write_bytes(data)
    result = run_json("hash", {"path": str(target)})
    assert set(result) == {"hash", "ok"} and result["ok"] is True
    return result["hash"]


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"a",
        b"a\n",
        b"a\r\nb\r\n",
        b"a\rb\r",
        b"a\r\r\nb",
        b"a\n\rb",
        b"\r",
        b"\r\n",
        b"\r\r\r\n\n",
        b"\xef\xbb\xbfbom\n",
        "h\u00e9llo w\u00f6rld \U0001f600\r\n".encode(),
        b"x" * 100_000 + b"\r" + b"y" * 100_000,
    ],
)
def test_digest_matches_normalised_sha256(tmp_path, data):
    assert digest_of(tmp_path, data) == expected_digest(data)


def test_line_ending_conventions_share_one_digest(tmp_path):
    lines = ["first", "second", "", "fourth"]
    digests = {digest_of(tmp_path, sep.join(lines).encode()) for sep in ("\n", "\r\n", "\r")}
    assert len(digests) == 1


@pytest.mark.parametrize("left, right", [(b"a\r\r\nb", b"a\n\nb"), (b"a\n\rb", b"a\n\nb"), (b"\r\n\r", b"\n\n")])
def test_normalisation_order(tmp_path, left, right):
    assert digest_of(tmp_path, left) == digest_of(tmp_path, right)


def test_byte_order_mark_is_part_of_the_text(tmp_path):
    assert digest_of(tmp_path, b"\xef\xbb\xbfx") != digest_of(tmp_path, b"x")


def test_random_texts_with_mixed_line_endings(tmp_path):
    rng = random.Random(7)
    alphabet = [b"a", b"b", b" ", b"\r", b"\n", b"\r\n", "\u00e9".encode(), "\u4e2d".encode()]
    for _ in range(30):
        data = b"".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 300)))
        assert digest_of(tmp_path, data) == expected_digest(data)


def test_other_payload_keys_have_no_effect(tmp_path):
    target = tmp_path / "a.txt"
    target.write_bytes(b"a\r\nb")
    plain = run_json("hash", {"path": str(target)})
    assert run_json("hash", {"path": str(target), "content": "zzz", "language": "py"}) == plain


@pytest.mark.parametrize("size, ending", STREAMED_TEXTS)
def test_large_file_with_line_endings_and_characters_across_read_pieces(tmp_path, size, ending):
    data = text_across_read_pieces(size, ending)
    assert digest_of(tmp_path, data) == expected_digest(data)


@pytest.mark.parametrize("size, ending", STREAMED_INVALID_TEXTS)
def test_large_file_with_invalid_utf8_at_the_end_is_refused(tmp_path, size, ending):
    target = tmp_path / "big.txt"
    target.write_bytes(text_across_read_pieces(size, ending))
    assert run_error("hash", {"path": str(target)}) == "stream did not contain valid UTF-8"


# A file large enough for the helper thread that hashes while the next piece is
# read, hashed as the first call of a process left about 6 MiB of address
# space: room for the piece buffers but not for the thread's stack. The refused
# thread is no failure of the command: the file is hashed on the calling thread.
@limits_address_space
def test_large_file_hashed_when_its_helper_thread_is_refused(tmp_path):
    data = b"line of text\r\n" * (5 * 1024 * 1024 // 14 + 1)
    target = tmp_path / "large.txt"
    target.write_bytes(data)
    status, stdout, stderr = run_child(
        f"""
        import json, resource, marblewick_index_native as m
        payload = json.dumps({{"path": {str(target)!r}}})
        size = next(int(line.split()[1]) for line in open("/proc/self/status")
                    if line.startswith("VmSize:")) * 1024
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (size + 6 * 1024 * 1024, hard))
        print(m.run("hash", payload))
        """
    )
    assert status == 0, stderr
    assert json.loads(stdout) == {"hash": expected_digest(data), "ok": True}
