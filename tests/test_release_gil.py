"""Calls that let other threads run: "release_gil": true frees the interpreter
lock for a command's native work. The answer stays what it would be with the
lock held, and other Python threads make progress while the call runs."""

import json
import pathlib
from concurrent.futures import ThreadPoolExecutor

import pytest

import marblewick_index_native
from outline_samples import SAMPLES, SOUP_TOKENS, token_soup
from support import answer, count_steps, limits_address_space, run_child, run_error, run_json

REPO = pathlib.Path(__file__).resolve().parent.parent


CALLS = [
    ("syntax-check", {"content": SAMPLES["python"][0] + "\ndef (:", "language": "python"}),
    ("outline", {"content": SAMPLES["rust"][0], "language": "rust"}),
    ("analyse", {"path": str(REPO / "examples" / "index_tree.py")}),
    ("analyse", {"content": "{}", "language": "toml"}),
    ("hash", {"path": str(REPO / "README.md")}),
    ("scan", {"root": str(REPO / "tests"), "max_files": 30}),
    ("analyse", {"path": "/no/such/file.py"}),
    ("hash", {"path": str(REPO)}),
    ("analyse", {"content": token_soup(SOUP_TOKENS["json"], 300_000), "language": "json", "timeout_ms": 5}),
    ("syntax-check", {}),
    ("nothing", {}),
]


# Only the JSON value true turns it on; any value gives today's answer.
@pytest.mark.parametrize("flag", [True, False, None, 1, "true", [True], {"on": True}])
@pytest.mark.parametrize("command, payload", CALLS, ids=[f"{c}-{i}" for i, (c, _) in enumerate(CALLS)])
def test_the_flag_never_changes_an_answer(command, payload, flag):
    assert answer(command, json.dumps(dict(payload, release_gil=flag))) == answer(command, json.dumps(payload))


def test_a_malformed_payload_is_reported_before_any_flag_is_read():
    text = run_error("analyse", '{"release_gil": true,')
    assert text == run_error("analyse", '{"release_gil": 1234,')
    assert text == "EOF while parsing a value at line 1 column 21"


def test_other_threads_run_during_a_call_with_the_flag_and_not_without():
    soup = {"content": token_soup(SOUP_TOKENS["rust"], 1_000_000), "language": "rust", "timeout_ms": 400}

    def parse(flag):
        # The payload text is made beforehand: the counter should get no
        # turn while this thread prepares the call.
        text = json.dumps(dict(soup, release_gil=flag))

        def call():
            try:
                marblewick_index_native.run("syntax-check", text)
            except RuntimeError:
                pass

        return call

    # Without the flag the call holds the lock from start to end: the counter
    # can step only in the moments around it, when the interpreter hands the
    # lock over (one switch interval, 5 ms, each time). With it, the counter
    # runs for most of the 400 ms.
    with_flag, _ = count_steps(parse(True))
    without, _ = count_steps(parse(False))
    assert with_flag > 10 * without
    assert with_flag > 0


def test_threads_with_the_flag_give_the_answers_of_one_thread():
    files = sorted(
        p
        for p in REPO.rglob("*")
        if p.suffix in {".py", ".rs", ".json", ".ts", ".js"} and "target" not in p.parts and ".git" not in p.parts
    )[:120]
    jobs = [(command, {"path": str(f)}) for f in files for command in ("analyse", "hash")]
    jobs += [("scan", {"root": str(REPO / folder)}) for folder in ("src", "tests", "fuzz", "benchmarks")]
    alone = [answer(command, json.dumps(payload)) for command, payload in jobs]
    with ThreadPoolExecutor(8) as pool:
        together = list(pool.map(lambda job: answer(job[0], json.dumps(dict(job[1], release_gil=True))), jobs))
    assert together == alone


def test_scans_at_once_wait_for_the_shared_pool_and_agree():
    payload = {"root": str(REPO), "max_files": 400, "release_gil": True}
    alone = run_json("scan", payload)
    with ThreadPoolExecutor(4) as pool:
        answers = list(pool.map(lambda _: run_json("scan", payload), range(8)))
    assert answers == [alone] * 8


# Calls that daemon threads are inside, lock released, when the main thread
# leaves. The hash file is large enough to be hashed on a helper thread.
SHUTDOWN_CALLS = {
    "scan": lambda big: ("scan", {"root": str(REPO / "src"), "max_files": 400}),
    "hash": lambda big: ("hash", {"path": big}),
    "hash-missing": lambda big: ("hash", {"path": big + ".missing"}),
    "analyse": lambda big: ("analyse", {"content": SAMPLES["python"][0] * 20, "language": "python"}),
    "syntax-check": lambda big: ("syntax-check", {"content": "{[(" * 2000, "language": "tsx"}),
}


@pytest.fixture(scope="module")
def big_text_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("shutdown") / "big.txt"
    path.write_bytes(b"abcdefghij\r\n" * (5 * 1024 * 1024 // 12))
    return str(path)


# Daemon threads may be inside released calls when the interpreter shuts
# down; taking the lock back then ends them. The process must end quietly,
# whenever the main thread leaves: each run leaves at another moment.
@limits_address_space
@pytest.mark.parametrize("case", SHUTDOWN_CALLS)
def test_daemon_threads_in_released_calls_let_the_interpreter_exit(case, big_text_file):
    command, payload = SHUTDOWN_CALLS[case](big_text_file)
    code = f"""
        import json, resource, threading, time
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        import marblewick_index_native as m
        text = {json.dumps(dict(payload, release_gil=True))!r}
        answered = threading.Semaphore(0)

        def call_forever():
            while True:
                try:
                    m.run({command!r}, text)
                except RuntimeError:
                    pass
                answered.release()

        threads = [threading.Thread(target=call_forever, daemon=True) for _ in range(4)]
        for thread in threads:
            thread.start()
        for _ in threads:
            answered.acquire()  # four calls answered: the threads are well into their loops
        time.sleep({{delay}})
        print("leaving")
    """
    for delay in (0, 0.002, 0.005, 0.01, 0.02, 0.04):
        status, stdout, stderr = run_child(code.replace("{delay}", str(delay)), timeout=60)
        assert (status, stdout, stderr) == (0, "leaving\n", ""), f"leaving after {delay} s"
