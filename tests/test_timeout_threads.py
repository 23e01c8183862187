"""--timeout with fetch threads: a job past its time is given up at once and
its file left exactly as before the job, even when its thread wakes later."""
import concurrent.futures
import errno
import json
import os
import pathlib
import re
import shlex
import subprocess
import sys
import threading

import pytest

import corvane.bundle as bundle
from corvane.updater import minbar
from corvane.updater import run
from corvane.updater.options import UpdateOptions

DEMO_ASOF, EARLIER = "20240726", "20240719"
WORDS = ["10001.HBX", "10002.HBX", "10003.HBX", "IX002.HBX"]
SUB_DIR = {"minbar": "equities", "tick": ""}
GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "operating.md"


@pytest.fixture
def inline():
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        yield executor


class HangingClient:
    """The demo client whose `hang_at`-th get_price call for each of `hung` waits for
    `release`, then raises `then` (None: answers)."""

    def __init__(self, client, hung, hang_at=1, then=None):
        self.client, self.hung, self.hang_at, self.then = client, hung, hang_at, then
        self.calls = dict.fromkeys(hung, 0)
        self.release = threading.Event()

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_price(self, order_book_id, *args, **kwargs):
        if order_book_id in self.hung:
            self.calls[order_book_id] += 1
            if self.calls[order_book_id] == self.hang_at:
                self.release.wait()
                if self.then is not None:
                    raise self.then
        return self.client.get_price(order_book_id, *args, **kwargs)


def files_of(root):
    return {path.name: path.read_bytes() for path in pathlib.Path(root).iterdir() if path.is_file()}


def watch_jobs(monkeypatch, kind, hung):
    """{order_book_id: the Outcome its job gave at last}, filled in as each of `hung` ends,
    and an event per job ended: the run has reported them long before."""
    job, ended = run.JOBS[kind], {}
    signs = {oid: threading.Event() for oid in hung}

    def watched(order_book_id, *args, **kwargs):
        try:
            ended[order_book_id] = job(order_book_id, *args, **kwargs)
            return ended[order_book_id]
        finally:
            if order_book_id in signs:
                signs[order_book_id].set()
    monkeypatch.setitem(run.JOBS, kind, watched)
    return ended, signs


@pytest.mark.parametrize("kind, hung, hang_at, then, threads", [
    ("minbar", ("10003.HBX",), 1, None, 2),                            # a client call that never returns
    ("minbar", ("10001.HBX", "10002.HBX"), 1, None, 2),                 # every thread hangs: the rest still run
    ("tick", ("10003.HBX",), 7, ConnectionError("reset"), 2),           # a day written, then a late failure
], ids=["client", "all-threads", "tick-late-failure"])
def test_a_job_past_its_time_is_given_up_and_its_late_thread_commits_nothing(
        inline, monkeypatch, tmp_path, kind, hung, hang_at, then, threads):
    monkeypatch.setenv("LUMENFEED_ASOF", EARLIER)
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "2")
    bundle.init_lumenfeed_with_warnings_catch()
    demo = bundle.lumenfeed
    run.update(kind, str(tmp_path), WORDS, executor=inline)
    root = tmp_path / SUB_DIR[kind]
    before = files_of(root)
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    client = HangingClient(demo, hung, hang_at, then)
    monkeypatch.setattr(bundle, "lumenfeed", client)
    ended, signs = watch_jobs(monkeypatch, kind, hung)
    try:
        report = run.update(kind, str(tmp_path), WORDS, executor=inline,
                            options=UpdateOptions(timeout=3, retries=1, fetch_threads=threads, backoff=0.01))
        assert report.exit_status == 1
        for outcome in report.outcomes:
            if outcome.order_book_id in hung:
                assert (outcome.status, outcome.attempts, outcome.error) == (
                    "failed", 1, "JobTimeout: gave up after --timeout 3 s (the client or the file took longer)")
                assert outcome.before == outcome.after and outcome.before.rows > 0
                assert "release.wait()" in outcome.traceback      # where it hangs
            else:
                assert outcome.status == "updated", outcome.error
    finally:
        client.release.set()
    for oid in hung:
        assert signs[oid].wait(60), "the late thread never ended"
        # It woke past its time: nothing written, no retry.
        assert (ended[oid].error_type, ended[oid].attempts) == ("JobTimeout", 1)
        assert client.calls[oid] == hang_at
    after = files_of(root)
    for name in before:
        if name[:-len(".h5")] in hung:
            assert after[name] == before[name]
    assert not [name for name in after if name.startswith(".") and name[1:].split(".h5")[0] in hung]


def test_a_commit_past_the_time_is_refused_and_the_written_bars_rolled_back(inline, monkeypatch, tmp_path):
    monkeypatch.setenv("LUMENFEED_ASOF", EARLIER)
    bundle.init_lumenfeed_with_warnings_catch()
    run.update("minbar", str(tmp_path), WORDS[:2], executor=inline)
    h5_file = tmp_path / "equities" / "10001.HBX.h5"
    before = h5_file.read_bytes()
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    release, written = threading.Event(), threading.Event()
    stored = minbar._stored

    def slow_after_the_append(h5, root, name, *args):
        # The bars are appended; the job stalls before its commit.
        if name.endswith("10001.HBX.h5"):
            written.set()
            release.wait()
        return stored(h5, root, name, *args)
    monkeypatch.setattr(minbar, "_stored", slow_after_the_append)
    ended, signs = watch_jobs(monkeypatch, "minbar", ["10001.HBX"])
    try:
        report = run.update("minbar", str(tmp_path), WORDS[:2], executor=inline,
                            options=UpdateOptions(timeout=3, fetch_threads=2))
        assert written.is_set()
        assert [o.status for o in report.outcomes] == ["failed", "updated"]
        assert report.outcomes[0].error_type == "JobTimeout"
    finally:
        release.set()
    assert signs["10001.HBX"].wait(60)
    assert ended["10001.HBX"].error_type == "JobTimeout"
    assert h5_file.read_bytes() == before


# --- the operating guide's cron line, end to end ---------------------------------

HUNG_COMMAND = """
import os, sys
import corvane.bundle as bundle
from corvane.cli import main

class HungClient:
    def __init__(self, client, hung, fifo):
        self.client, self.hung, self.fifo = client, hung, fifo

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_price(self, order_book_id, *args, **kwargs):
        if order_book_id == self.hung:
            with open(self.fifo) as release:     # waits for the test's writer
                release.read()
        return self.client.get_price(order_book_id, *args, **kwargs)

fifo, hung = sys.argv.pop(1), sys.argv.pop(1)
bundle.lumenfeed = HungClient(bundle.lumenfeed, hung, fifo)
sys.argv[0] = "corvane"
main()
"""


def cron_options():
    """The options of the guide's cron line, as a list of words (the words and the redirections left out)."""
    # The first cron block with an update is the guide's recommended line (others add metrics, gc).
    block = [b for b in re.findall(r"^```sh\n(.*?)^```$", GUIDE.read_text(encoding="utf-8"), re.M | re.S)
             if "* * 1-5" in b and "update-minbar" in b][0]
    words = shlex.split(block.replace("\\\n", " "))
    words = words[words.index("update-minbar") + 1:words.index(">>")]
    return words[words.index(next(w for w in words if w.startswith("--") and w != "--with-derivatives")):]


def test_the_cron_lines_command_gives_up_a_hung_instrument_and_updates_every_other(tmp_path):
    options = cron_options()
    assert int(options[options.index("--fetch-threads") + 1]) > 1 and "--timeout" in options
    options[options.index("--timeout") + 1] = "5"
    report_file, fifo, minbar_dir = tmp_path / "report.json", tmp_path / "release", tmp_path / "minbar"
    options[options.index("--report") + 1] = str(report_file)
    env = dict(os.environ, LUMENFEED_ASOF=EARLIER, LUMENFEED_LATENCY_MS="50")
    first = subprocess.run([os.path.join(os.path.dirname(sys.executable), "corvane"), "update-minbar",
                            str(minbar_dir)] + WORDS + ["-j", "1"], capture_output=True, text=True, env=env,
                           timeout=300)
    assert first.returncode == 0, first.stderr
    before = files_of(minbar_dir / "equities")
    os.mkfifo(fifo)
    env["LUMENFEED_ASOF"] = DEMO_ASOF
    try:
        result = subprocess.run([sys.executable, "-c", HUNG_COMMAND, str(fifo), "10003.HBX", "update-minbar",
                                 str(minbar_dir)] + WORDS + options, capture_output=True, text=True, env=env,
                                timeout=300)
    finally:
        release(fifo)
    assert result.returncode == 1, result.stderr
    entries = {e["order_book_id"]: e for e in json.loads(report_file.read_text())["instruments"]}
    assert entries.pop("10003.HBX")["error"]["type"] == "JobTimeout"
    assert {oid: e["status"] for oid, e in entries.items()} == dict.fromkeys(entries, "updated")
    after = files_of(minbar_dir / "equities")
    assert after["10003.HBX.h5"] == before["10003.HBX.h5"]
    assert all(after[name] != before[name] for name in before if name != "10003.HBX.h5")


def release(fifo):
    """Open the hung call's pipe for writing, when it is still read (its worker may have ended)."""
    try:
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    except OSError as error:
        if error.errno != errno.ENXIO:
            raise
