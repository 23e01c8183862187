"""Updates that report: outcomes, retries, exit statuses, the JSON report."""
import concurrent.futures
import contextlib
import datetime
import json
import os
import subprocess
import sys
import threading

import h5py
import pytest

import corvane as corvane_package

import corvane.bundle as bundle
from corvane import _engine
from corvane.updater import batches
from corvane.updater import jobs
from corvane.updater import outcomes
from corvane.updater import pool
from corvane.updater import run
from corvane.updater import minbar as minbar_store
from corvane.updater.options import UpdateOptions
from corvane.updater.outcomes import Outcome
from corvane.updater.report import Failure
from corvane.updater import report as reports
from corvane.updater import stores

# Instruments listed a few weeks before this as-of date: small histories.
DEMO_ASOF = "20240726"
STOCK, INDEX, FUTURE = "10003.HBX", "IX002.HBX", "HXI2501.QFX"
SUB_DIR = {STOCK: "equities", INDEX: "equities", FUTURE: "future"}


@pytest.fixture
def demo(monkeypatch):
    """The demo client, ready in this process, at the small as-of date."""
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "2")
    bundle.init_lumenfeed_with_warnings_catch()
    return bundle.lumenfeed


@pytest.fixture
def inline():
    """An executor whose jobs run in this process, where the tests' patches hold."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        yield executor


@pytest.fixture
def no_wait(monkeypatch):
    """Retries without waiting; the delays asked for are kept."""
    delays = []
    monkeypatch.setattr(outcomes, "backoff_delay", lambda attempt, base: delays.append(attempt) or 0)
    return delays


def test_updating_from_python_is_one_call_that_readies_the_client(monkeypatch, inline, tmp_path, capsys):
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    report = corvane_package.update("minbar", str(tmp_path), [STOCK], executor=inline,
                                    options=corvane_package.UpdateOptions(since=20240722))
    assert (report.exit_status, [o.status for o in report.outcomes]) == (0, ["new"])
    assert "corvane: the market-data client warns: UserWarning: lumenfeed:" in capsys.readouterr().err
    with pytest.raises(TypeError):
        corvane_package.update("minbar", str(tmp_path), [STOCK], True)   # options by name only


class FlakyClient:
    """The demo client whose get_price raises `error` for its first `times` calls."""

    def __init__(self, client, error, times):
        self.client, self.error, self.times = client, error, times
        self.failures = 0

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_price(self, *args, **kwargs):
        if self.failures < self.times:
            self.failures += 1
            raise self.error
        return self.client.get_price(*args, **kwargs)


def rows_in(path, order_book_id):
    with h5py.File(os.path.join(path, SUB_DIR[order_book_id], order_book_id + ".h5"), "r") as h5:
        return len(h5["data"]), len(h5["index"])


# --- retries -------------------------------------------------------------------

@pytest.mark.parametrize("error, times, retries, status, attempts", [
    (ConnectionError("server went away"), 1, 2, "new", 2),        # healed by a retry
    (ConnectionError("server went away"), 3, 2, "failed", 3),     # retries used up
    (TimeoutError("slow"), 1, 0, "failed", 1),                    # --retries 0
    (OSError("'x.h5' is being written by another process"), 1, 2, "new", 2),
    (TypeError("record type does not fit"), 1, 2, "failed", 1),   # cannot heal
    (KeyError("close"), 1, 2, "failed", 1),
])
def test_transient_failures_are_retried_and_lasting_ones_are_not(
        demo, inline, no_wait, monkeypatch, tmp_path, error, times, retries, status, attempts):
    monkeypatch.setattr(bundle, "lumenfeed", FlakyClient(demo, error, times))
    report = run.update("minbar", str(tmp_path), [STOCK], options=UpdateOptions(retries=retries), executor=inline)
    (outcome,) = report.outcomes
    assert (outcome.status, outcome.attempts) == (status, attempts)
    assert no_wait == list(range(1, attempts))
    if status == "failed":
        assert outcome.error == "{}: {}".format(type(error).__name__, error)
        assert "get_price" in outcome.traceback
        assert report.exit_status == 1
        # A failed job leaves no file behind.
        assert not (tmp_path / "equities" / (STOCK + ".h5")).exists()
    else:
        assert outcome.after.rows == rows_in(tmp_path, STOCK)[0] > 0
        assert report.exit_status == 0


class HangingClient:
    """The demo client whose first `times` get_price calls never return by themselves."""

    def __init__(self, client, times):
        self.client, self.times = client, times

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_price(self, *args, **kwargs):
        import signal

        if self.times:
            self.times -= 1
            while True:
                signal.pause()
        return self.client.get_price(*args, **kwargs)


class MainThreadExecutor(concurrent.futures.Executor):
    """Runs each job at once on this thread, as a pool worker runs it on its main thread."""

    def submit(self, fn, *args):
        future = concurrent.futures.Future()
        future.set_result(fn(*args))
        return future


@pytest.mark.parametrize("retries, status, attempts", [(1, "updated", 2), (0, "failed", 1)])
def test_an_attempt_past_its_timeout_fails_leaves_its_file_and_is_retried(
        demo, no_wait, monkeypatch, tmp_path, retries, status, attempts):
    import signal

    # A file that holds the bars up to a week before the as-of date.
    monkeypatch.setenv("LUMENFEED_ASOF", "20240719")
    run.update("minbar", str(tmp_path), [INDEX], executor=MainThreadExecutor())
    h5_file = tmp_path / "equities" / (INDEX + ".h5")
    before = h5_file.read_bytes()
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    monkeypatch.setattr(bundle, "lumenfeed", HangingClient(demo, 1))
    handler = signal.getsignal(signal.SIGALRM)
    report = run.update("minbar", str(tmp_path), [INDEX], options=UpdateOptions(retries=retries, timeout=3),
                        executor=MainThreadExecutor())
    (outcome,) = report.outcomes
    assert (outcome.status, outcome.attempts) == (status, attempts)
    if status == "failed":
        assert outcome.error == "JobTimeout: gave up after --timeout 3 s (the client or the file took longer)"
        assert h5_file.read_bytes() == before
        assert sorted(p.name for p in h5_file.parent.iterdir()) == [h5_file.name]
    else:
        assert outcome.after.rows > outcome.before.rows
    # The alarm is off again and the worker's own handler back.
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    assert signal.getsignal(signal.SIGALRM) is handler


def test_a_timeout_is_refused_on_dask(demo, tmp_path):
    with pytest.raises(run.SetupRefused, match="--timeout works with the process pool only"):
        run.update("minbar", str(tmp_path), [INDEX], scheduler="local:1", options=UpdateOptions(timeout=5))


class GivenFutures(concurrent.futures.Executor):
    """Hands out the futures it is given, one per submit, as an executor cut off would leave them."""

    def __init__(self, futures):
        self.futures = list(futures)

    def submit(self, fn, *args):
        return self.futures.pop(0)


def future_of(result=None, exception=None, cancelled=False):
    future = concurrent.futures.Future()
    if cancelled:
        future.cancel()
        future.set_running_or_notify_cancel()
    elif exception is not None:
        future.set_exception(exception)
    else:
        future.set_result(result)
    return future


def test_a_lost_scheduler_keeps_the_outcomes_that_came_back_and_reports_the_rest_lost():
    finished = Outcome("A", "new", None, stores.Held(3, 1), 2, 0.5)
    futures = [future_of(finished), future_of(cancelled=True), future_of(exception=OSError("gone"))]
    calls = [(run.minbar_job, oid, "b") for oid in "ABC"]
    outcomes = pool.run_jobs(GivenFutures(futures), calls, own=False, lost=lambda: True)
    assert [o.status for o in outcomes] == ["new", "lost", "lost"]
    report = run.Report("update-minbar", "b", ["A", "B", "C"], [], outcomes, Failure("SchedulerLost", "lost"))
    assert report.exit_status == 1
    assert report.summary().startswith("corvane: 3 instruments: 1 new, 0 updated, 0 up to date, 0 failed, 2 lost;")
    entries = report.as_json()["instruments"]
    assert [(e["status"], e["attempts"], e["retries"], e["rows_after"]) for e in entries] == [
        ("new", 2, 1, 3), ("lost", 0, 0, None), ("lost", 0, 0, None)]
    assert report.as_json()["counts"]["lost"] == 2
    # With the scheduler there, the same futures are what they are.
    futures = [future_of(finished), future_of(cancelled=True), future_of(exception=OSError("gone"))]
    assert [o.status for o in pool.run_jobs(GivenFutures(futures), calls, own=False, lost=lambda: False)] == [
        "new", "interrupted", "failed"]


@pytest.mark.parametrize("exception, lost", [
    (concurrent.futures.process.BrokenProcessPool("terminated abruptly"), True),
    (OSError("disk full"), False),
])
def test_a_job_whose_worker_died_records_it(exception, lost):
    (outcome,) = pool.run_jobs(GivenFutures([future_of(exception=exception)]), [(run.minbar_job, "A", "b")],
                              own=False)
    assert outcome.status == "failed" and outcome.worker_lost == lost
    assert reports.outcome_json(outcome)["worker_lost"] == lost


def test_a_job_started_again_in_the_same_run_knows_its_worker_was_lost(tmp_path):
    assert not jobs.started_before(str(tmp_path), "A")
    assert jobs.started_before(str(tmp_path), "A")
    assert not jobs.started_before(str(tmp_path), "B") and not jobs.started_before(None, "A")
    # An identifier that would leave the directory marks nothing (its job refuses it).
    assert not jobs.started_before(str(tmp_path), "../A") and not (tmp_path.parent / "A").exists()


@pytest.mark.parametrize("content, unsafe", [
    (b"not an HDF5 file\n", False),   # refused as not HDF5
    (None, True),                     # an identifier that would leave its directory
])
def test_failures_a_repeat_cannot_heal_are_tried_once(demo, inline, no_wait, tmp_path, content, unsafe):
    order_book_id = "../escape" if unsafe else STOCK
    if content is not None:
        (tmp_path / "equities").mkdir()
        (tmp_path / "equities" / (STOCK + ".h5")).write_bytes(content)
    outcomes = [run.minbar_job(order_book_id, str(tmp_path), options=UpdateOptions(retries=3, backoff=0))]
    assert [(o.status, o.attempts) for o in outcomes] == [("failed", 1)]
    assert no_wait == []
    if content is not None:
        assert (tmp_path / "equities" / (STOCK + ".h5")).read_bytes() == content


# --- outcomes ------------------------------------------------------------------

def test_outcomes_count_rows_and_days_before_and_after(demo, inline, monkeypatch, tmp_path):
    path = str(tmp_path)
    first = run.update("minbar", path, [STOCK, FUTURE], executor=inline)
    assert [(o.order_book_id, o.status) for o in first.outcomes] == [(STOCK, "new"), (FUTURE, "new")]
    for outcome in first.outcomes:
        assert outcome.before is None
        assert (outcome.after.rows, outcome.after.days) == rows_in(path, outcome.order_book_id)
    assert first.counts["rows_added"] == sum(rows_in(path, oid)[0] for oid in (STOCK, FUTURE))

    monkeypatch.setenv("LUMENFEED_ASOF", "20240731")
    later = run.update("minbar", path, [STOCK], executor=inline)
    (outcome,) = later.outcomes
    assert outcome.status == "updated"
    assert outcome.before == first.outcomes[0].after
    assert (outcome.after.rows, outcome.after.days) == rows_in(path, STOCK)
    assert outcome.after.days == outcome.before.days + 3

    (again,) = run.update("minbar", path, [STOCK], executor=inline).outcomes
    assert again.status == "up_to_date" and again.before == again.after == outcome.after


def test_tick_outcomes_count_every_day(demo, inline, tmp_path):
    report = run.update("tick", str(tmp_path / "tick"), [STOCK], executor=inline)
    (outcome,) = report.outcomes
    with h5py.File(tmp_path / "tick" / (STOCK + ".h5"), "r") as h5:
        assert (outcome.after.rows, outcome.after.days) == (sum(len(d) for d in h5.values()), len(h5))
    assert outcome.status == "new" and outcome.after.days == 2


def test_one_instrument_of_a_large_bundle_opens_only_its_own_file(demo, inline, monkeypatch, tmp_path):
    path = str(tmp_path)
    run.update("minbar", path, [STOCK, INDEX, FUTURE], executor=inline)
    for number in range(200):
        (tmp_path / "equities" / "{:05d}.XYZ.h5".format(number)).write_bytes(b"x")
    opened = []

    def recording(name):
        def call(file_name, *args, **kwargs):
            opened.append(os.path.realpath(file_name))
            return original[name](file_name, *args, **kwargs)
        return call

    original = {name: getattr(_engine, name) for name in ("File", "dataset_lengths")}
    for name in original:
        monkeypatch.setattr(_engine, name, recording(name))
    monkeypatch.setattr(h5py, "File", None)
    report = run.update("minbar", path, [INDEX], executor=inline)
    assert [o.status for o in report.outcomes] == ["up_to_date"]
    assert set(opened) == {os.path.realpath(tmp_path / "equities" / (INDEX + ".h5"))}


# --- the command, end to end ---------------------------------------------------

def corvane(*args, env):
    command = os.path.join(os.path.dirname(sys.executable), "corvane")
    return subprocess.run([command] + [str(a) for a in args], capture_output=True, text=True,
                          env=env, timeout=300)


def test_a_failing_instrument_fails_the_run_and_the_others_are_written(tmp_path, monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    minbar, report_file = tmp_path / "minbar", tmp_path / "report.json"
    # A directory where the stock's file must go: no retry can fix that.
    (minbar / "equities" / (STOCK + ".h5")).mkdir(parents=True)
    result = corvane("update-minbar", minbar, STOCK, INDEX, FUTURE, "nosuchword",
                     "--report", report_file, env=dict(os.environ))
    assert result.returncode == 1, result.stderr
    summary = result.stdout.splitlines()[-2:]
    assert summary[0].startswith("corvane: 3 instruments: 2 new, 0 updated, 0 up to date, 1 failed; ")
    assert summary[0].endswith("matched nothing: nosuchword")
    assert summary[1] == "failed {}: NotBundleFileError: unable to open file '{}' (not a regular file)".format(
        STOCK, minbar / "equities" / (STOCK + ".h5"))
    # Not a terminal: no progress redraws, no traceback without --verbose.
    assert "\r" not in result.stderr and "Traceback" not in result.stdout + result.stderr

    report = json.loads(report_file.read_text())
    assert {key: report[key] for key in ("command", "path", "words", "unresolved", "error",
                                         "exit_status")} == {
        "command": "update-minbar", "path": str(minbar),
        "words": [STOCK, INDEX, FUTURE, "nosuchword"], "unresolved": ["nosuchword"], "error": None,
        "exit_status": 1}
    entries = {entry["order_book_id"]: entry for entry in report["instruments"]}
    assert set(entries) == {STOCK, INDEX, FUTURE}
    for oid in (INDEX, FUTURE):
        assert entries[oid]["status"] == "new" and entries[oid]["error"] is None
        # No file before: null, not 0 rows.
        assert (entries[oid]["rows_before"], entries[oid]["rows_after"]) == (None, rows_in(minbar, oid)[0])
        assert entries[oid]["attempts"] == 1 and entries[oid]["seconds"] > 0
    failed = entries[STOCK]
    assert failed["status"] == "failed" and failed["attempts"] == 1
    assert failed["error"]["type"] == "NotBundleFileError"
    assert failed["error"]["message"].startswith("unable to open file ")
    assert report["schema"] == 4 and report["corvane"] == corvane_package.__version__
    assert report["client"]["module"] == "lumenfeed" and report["client"]["version"]
    assert report["started"] <= report["finished"] and report["finished"][:4].isdigit()
    assert report["counts"] == {
        "new": 2, "updated": 0, "up_to_date": 0, "failed": 1, "interrupted": 0, "not_run": 0, "lost": 0,
        "instruments": 3,
        "rows_added": sum(rows_in(minbar, oid)[0] for oid in (INDEX, FUTURE)), "days_revised": 0, "quality_findings": 0}

    verbose = corvane("update-minbar", minbar, STOCK, "--verbose", env=dict(os.environ))
    assert verbose.returncode == 1
    assert "Traceback" in verbose.stdout and "open_instrument_file" in verbose.stdout


class Parted(OSError):
    """An exception with the parts the engine gives its failures."""

    def __init__(self, text, context, cause, consequence=""):
        super().__init__(text)
        self.context, self.cause, self.consequence = context, cause, consequence


@pytest.mark.parametrize("error, short", [
    (Parted("unable to open file 'a (1).h5' (unable to open file: file signature not found)",
            "unable to open file 'a (1).h5'", "file signature not found"),
     "unable to open file 'a (1).h5' (file signature not found)"),
    (Parted("unable to write file 'x.h5' (write failed: No space left on device); this call's changes "
            "were undone", "unable to write file 'x.h5'", "No space left on device",
            "this call's changes were undone"),
     "unable to write file 'x.h5' (No space left on device); this call's changes were undone"),
    (Parted("no member 'x'\nsecond line", "no member 'x'", ""), "no member 'x'"),
    (RuntimeError("server went away (a: b)\nsecond line"), "server went away (a: b)"),
    (RuntimeError(""), ""),
], ids=["chain", "consequence", "no-cause", "foreign", "empty"])
def test_brief_forms_keep_the_file_and_the_root_cause(error, short):
    assert run.brief(error) == short
    outcome = outcomes.failed("S1", error, "", None, None, 1, 0.0)
    assert outcome.error_message == str(error)
    summary = run.Report("update-minbar", "/b", [], [], [outcome]).summary()
    assert summary.splitlines()[1] == "failed S1: {}: {}".format(type(error).__name__, short)


# The command with the demo client, whose first get_price marks the job begun
# (a file) and then waits for Ctrl-C: the interrupt lands in a running job
# however loaded the machine is.
HELD_COMMAND = """
import os, signal, sys
import corvane.bundle as bundle
from corvane.cli import main

class HeldClient:
    def __init__(self, client, begun):
        self.client, self.begun = client, begun

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_price(self, *args, **kwargs):
        if not os.path.exists(self.begun):
            # The pid of the worker that holds, whole once the file is there.
            with open(self.begun + ".tmp", "w") as out:
                out.write(str(os.getpid()))
            os.replace(self.begun + ".tmp", self.begun)
            while True:
                signal.pause()
        return self.client.get_price(*args, **kwargs)

# Ctrl-C as a terminal delivers it, even to a test run started with it ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)
bundle.lumenfeed = HeldClient(bundle.lumenfeed, sys.argv.pop(1))
sys.argv[0] = "corvane"
main()
"""


def wait_for_file(path, process, timeout=120):
    """Until `path` exists; fails when `process` ended first."""
    import time

    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        assert process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "no sign of {}".format(path)
        time.sleep(0.02)


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_cancels_what_has_not_started_and_still_reports(tmp_path, monkeypatch, threads):
    import signal

    monkeypatch.setenv("LUMENFEED_ASOF", "20261204")
    minbar, report_file, begun = tmp_path / "minbar", tmp_path / "report.json", tmp_path / "begun"
    # Three stocks, one at a time (two: the second may end before Ctrl-C): the first is running at Ctrl-C.
    command = [sys.executable, "-c", HELD_COMMAND, str(begun), "update-minbar", str(minbar),
               "10001.HBX", "10002.HBX", "10004.HBX", "-j", "1", "--fetch-threads", str(threads),
               "--report", str(report_file)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    wait_for_file(begun, process)
    # As a terminal does: to the whole process group, workers included.
    os.killpg(process.pid, signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130, err
    assert "3 instruments: " in out and "interrupted (" in out
    entries = json.loads(report_file.read_text())["instruments"]
    if threads == 1:
        assert [e["status"] for e in entries][1:] == ["interrupted", "interrupted"]
        assert [e["attempts"] for e in entries][1:] == [0, 0]
    else:
        assert entries[0]["status"] == entries[2]["status"] == "interrupted"
    # Whatever ran ended whole: committed or gone, never half written.
    for entry in entries:
        name = minbar / "equities" / (entry["order_book_id"] + ".h5")
        if entry["status"] == "new":
            assert rows_in(minbar, entry["order_book_id"])[0] == entry["rows_after"] > 0
        elif threads > 1 and name.exists():
            # A job that ended beside the held one, in the batch whose worker was stopped: whole.
            with h5py.File(name, "r") as h5:
                assert len(h5["data"]) > 0 and len(h5["index"]) > 0
        else:
            assert not name.exists()
    assert not [p.name for p in (minbar / "equities").iterdir() if p.name.startswith(".")]


def test_a_hanging_client_is_given_up_after_the_timeout_and_tried_again(tmp_path, monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    report_file = tmp_path / "report.json"
    command = [sys.executable, "-c", HELD_COMMAND, str(tmp_path / "begun"), "update-minbar",
               str(tmp_path / "minbar"), INDEX, "-j", "1", "--timeout", "3", "--retries", "1",
               "--report", str(report_file)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    (entry,) = json.loads(report_file.read_text())["instruments"]
    assert (entry["status"], entry["attempts"]) == ("new", 2)


def running(pid):
    """Whether process `pid` runs (a zombie has ended)."""
    try:
        with open("/proc/{}/stat".format(pid)) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the kernel's parent-death signal")
def test_the_pools_workers_leave_when_the_run_is_killed_outright(tmp_path, monkeypatch):
    import signal
    import time

    monkeypatch.setenv("LUMENFEED_ASOF", "20261204")
    begun = tmp_path / "begun"
    command = [sys.executable, "-c", HELD_COMMAND, str(begun), "update-minbar", str(tmp_path / "minbar"),
               "10001.HBX", "10002.HBX", "-j", "2"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_for_file(begun, process)
    worker = int(begun.read_text())
    assert worker != process.pid and running(worker)
    try:
        process.kill()      # the parent alone, as the OOM killer would
        # Not communicate(): a worker left behind would hold the pipes open.
        process.wait(timeout=120)
        deadline = time.monotonic() + 120
        while running(worker):
            assert time.monotonic() < deadline, "worker {} outlived its parent".format(worker)
            time.sleep(0.02)
    finally:
        if running(worker):
            os.kill(worker, signal.SIGKILL)


def test_without_dask_the_scheduler_is_refused_saying_what_to_install(demo, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "distributed", None)
    monkeypatch.delitem(sys.modules, "corvane.updater.cluster", raising=False)
    with pytest.raises(run.SetupRefused, match=r"pip install 'corvane\[dask\]'"):
        run.update("minbar", str(tmp_path), [STOCK], scheduler="local:2")


@pytest.mark.parametrize("durable, preset, seen", [
    (True, None, True),
    (False, "1", False),    # the environment is no way in: the run's option alone counts
    (True, "0", True),
])
def test_durable_holds_for_each_job_wherever_it_runs(client, inline, monkeypatch, tmp_path,
                                                     durable, preset, seen):
    if preset is None:
        monkeypatch.delenv("CORVANE_DURABLE", raising=False)
    else:
        monkeypatch.setenv("CORVANE_DURABLE", preset)
    observed = []

    class Store:
        def append_h5(self, *args, durable=False, **listed):
            observed.append(durable)

    monkeypatch.setattr(minbar_store, "append_h5", Store().append_h5)
    report = run.update("minbar", str(tmp_path), ["ST001", "ST002"], options=UpdateOptions(durable=durable),
                        executor=inline)
    assert report.exit_status == 0
    assert observed == [seen, seen]
    assert os.environ.get("CORVANE_DURABLE") == preset


# --- the life of a market ------------------------------------------------------

EXPIRED = "HXI2401.QFX"     # expired 2024-01-19, before DEMO_ASOF


class ListingClient:
    """The demo client, its calls recorded, its listing saying `ended` {id: date} ended."""

    def __init__(self, client, ended=None):
        self.client, self.ended, self.calls = client, ended or {}, []

    def __getattr__(self, name):
        target = getattr(self.client, name)

        def call(*args, **kwargs):
            self.calls.append((name,) + args + tuple(kwargs.get(k) for k in ("start_date",) if k in kwargs))
            return target(*args, **kwargs)
        return call

    def all_instruments(self, *args):
        table = self.client.all_instruments(*args).copy()
        for order_book_id, date in self.ended.items():
            table.loc[table["order_book_id"] == order_book_id, "de_listed_date"] = date
        return table

    def asked(self):
        return [call for call in self.calls if call[0] != "init"]


@pytest.mark.parametrize("kind, path", [("minbar", ""), ("tick", "tick")])
def test_an_empty_file_is_filled_from_its_first_runs_since_not_from_the_first_date(
        demo, inline, monkeypatch, tmp_path, kind, path):
    client = ListingClient(demo)
    monkeypatch.setattr(bundle, "lumenfeed", client)
    path = str(tmp_path / path)
    first = run.update(kind, path, [EXPIRED], options=UpdateOptions(since=20240201), executor=inline)
    assert [(o.status, o.after.rows) for o in first.outcomes] == [("new", 0)]
    client.calls.clear()
    again = run.update(kind, path, [EXPIRED], executor=inline)
    assert [o.status for o in again.outcomes] == ["up_to_date"]
    # One call for the empty file, from where its first run began.
    (price,) = [call for call in client.asked() if call[0] == "get_price"]
    assert 20240201 in price[1:] or "20240201" in map(str, price[1:])
    # --since still chooses for the run that gives it.
    client.calls.clear()
    run.update(kind, path, [EXPIRED], options=UpdateOptions(since=20231201), executor=inline)
    assert any(20231201 in call[1:] for call in client.asked() if call[0] == "get_price")


@pytest.mark.parametrize("kind, path, ended, asked", [
    ("minbar", "", "2024-07-26", False),    # ended on its last stored date: no bar can follow
    ("minbar", "", "2024-07-29", True),
    ("minbar", "", None, True),
    ("tick", "tick", "2024-07-25", False),
    ("tick", "tick", "2024-07-26", True),   # the last stored day may have been stored while traded
    ("tick", "tick", None, True),
])
def test_an_instrument_that_ended_before_its_files_last_date_is_asked_nothing(
        demo, inline, monkeypatch, tmp_path, kind, path, ended, asked):
    path = str(tmp_path / path)
    first = run.update(kind, path, [STOCK], executor=inline)
    assert first.outcomes[0].after.days > 0
    client = ListingClient(demo, {STOCK: ended} if ended else {})
    monkeypatch.setattr(bundle, "lumenfeed", client)
    (outcome,) = run.update(kind, path, [STOCK], executor=inline).outcomes
    assert outcome.status == "up_to_date" and outcome.after == first.outcomes[0].after
    assert any(call[0] != "all_instruments" for call in client.asked()) == asked


def test_the_first_fill_ledger_keeps_its_entries_and_survives_damage(tmp_path):
    from corvane.updater import first_fill
    first_fill.record(str(tmp_path), {"A.X": 20240102}, durable=False)
    first_fill.record(str(tmp_path), {"A.X": 20230102, "B.X": 20230102}, durable=False)
    assert first_fill.read(str(tmp_path)) == {"A.X": 20240102, "B.X": 20230102}
    (tmp_path / first_fill.LEDGER).write_text("{not json")
    assert first_fill.read(str(tmp_path)) == {}
    assert sorted(os.listdir(tmp_path)) == [first_fill.LEDGER]


@pytest.mark.parametrize("value, number", [
    ("2024-07-19", 20240719), ("0000-00-00", None), (None, None), (float("nan"), None),
    ("20240719", 20240719), ("soon", None), (datetime.date(2024, 7, 19), 20240719),
    (datetime.date(1899, 12, 31), None), (datetime.datetime(2024, 7, 19, 23, 59), 20240719),
])
def test_a_listings_end_date_is_read_as_a_number_or_none(value, number):
    import pandas as pd
    from corvane.updater import selection
    assert selection.delisted_number(value) == number
    assert selection.delisted_number(pd.Timestamp("2024-07-19")) == 20240719
    assert selection.delisted_number(pd.NaT) is None


# A worker that does not answer Ctrl-C, as one deep in the client or the engine.
DEAF_COMMAND = HELD_COMMAND.replace(
    "            while True:",
    "            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})\n            while True:")


@pytest.mark.parametrize("second", [False, True])
def test_ctrl_c_kills_a_job_that_does_not_end_rolls_it_back_and_reports(tmp_path, monkeypatch, second):
    import signal

    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    minbar, report_file, begun = tmp_path / "minbar", tmp_path / "report.json", tmp_path / "begun"
    command = [sys.executable, "-c", DEAF_COMMAND, str(begun), "update-minbar", str(minbar),
               STOCK, INDEX, "-j", "1", "--report", str(report_file)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    wait_for_file(begun, process)
    os.kill(process.pid, signal.SIGINT)
    if second:
        for line in process.stderr:
            if "stopping 1 running job" in line:
                break
        os.kill(process.pid, signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130, err
    assert "2 instruments: " in out
    entries = json.loads(report_file.read_text())["instruments"]
    assert [e["status"] for e in entries] == ["interrupted", "interrupted"]
    assert entries[0]["attempts"] == 1
    # The killed job's file is as before it: none, and nothing beside it.
    assert [p.name for p in (minbar / "equities").iterdir()] == []
    assert not running(int(begun.read_text()))


class FakeCluster:
    """A cluster module whose executor records the path it is given; it refuses when told to."""

    def __init__(self, refuse):
        self.refuse, self.paths = refuse, []

    @contextlib.contextmanager
    def executor(self, scheduler, path, echo, initializer):
        self.paths.append(path)
        os.makedirs(path, exist_ok=True)
        if self.refuse:
            raise run.SetupRefused("{} is not the same directory on every worker".format(path))
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as threads:
            threads.scheduler_lost = lambda: False
            yield threads


@pytest.mark.parametrize("kind", ["minbar", "tick"])
@pytest.mark.parametrize("refuse", [False, True])
def test_a_cluster_and_its_jobs_get_the_path_made_absolute_and_a_refusal_leaves_no_directory(
        demo, monkeypatch, tmp_path, kind, refuse):
    cluster = FakeCluster(refuse)
    monkeypatch.setattr(run, "dask_support", lambda: cluster)
    seen = []
    job = run.JOBS[kind]
    monkeypatch.setitem(run.JOBS, kind, lambda order_book_id, path, *rest: seen.append(path) or
                        job(order_book_id, path, *rest))
    monkeypatch.chdir(tmp_path)
    if refuse:
        with pytest.raises(run.SetupRefused):
            run.update(kind, "bundle", [STOCK], scheduler="tcp://elsewhere:8786")
        assert os.listdir(tmp_path) == []
    else:
        report = run.update(kind, "bundle", [STOCK], scheduler="tcp://elsewhere:8786")
        assert [o.status for o in report.outcomes] == ["new"] and report.path == "bundle"
        assert seen == [str(tmp_path / "bundle")]
    assert cluster.paths == [str(tmp_path / "bundle")]


# --- fetch threads -------------------------------------------------------------

class BarrierClient:
    """The demo client whose first `count` get_price calls each wait until all `count` are in flight."""

    def __init__(self, client, count):
        import threading
        self.client, self.barrier, self.lock, self.waited = client, threading.Barrier(count, timeout=60), \
            threading.Lock(), 0

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_price(self, *args, **kwargs):
        with self.lock:
            wait, self.waited = self.waited < self.barrier.parties, self.waited + 1
        if wait:
            self.barrier.wait()
        return self.client.get_price(*args, **kwargs)


@pytest.mark.parametrize("kind", ["minbar", "tick"])
def test_fetch_threads_keep_that_many_instruments_in_flight_and_write_the_same_files(
        demo, inline, monkeypatch, tmp_path, kind):
    words = [STOCK, INDEX, FUTURE, "10001.HBX", "10002.HBX"]
    # Filled from a few weeks back: the two long-listed stocks' twenty years would take a minute.
    plain = run.update(kind, str(tmp_path / "plain"), words, executor=inline,
                       options=UpdateOptions(since=20240603))
    monkeypatch.setattr(bundle, "lumenfeed", BarrierClient(demo, 3))
    threaded = run.update(kind, str(tmp_path / "threaded"), words, executor=inline,
                          options=UpdateOptions(since=20240603, fetch_threads=3))
    assert [(o.order_book_id, o.status, o.after) for o in threaded.outcomes] == \
        [(o.order_book_id, o.status, o.after) for o in plain.outcomes]
    assert all(o.status == "new" for o in threaded.outcomes)


def test_batched_jobs_run_in_worker_processes_from_the_command(tmp_path, monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    report_file = tmp_path / "report.json"
    result = corvane("update-minbar", tmp_path / "minbar", STOCK, INDEX, FUTURE, "-j", "2",
                     "--fetch-threads", "2", "--report", report_file, env=dict(os.environ))
    assert result.returncode == 0, result.stderr
    entries = json.loads(report_file.read_text())["instruments"]
    assert [(e["order_book_id"], e["status"]) for e in entries] == [
        (oid, "new") for oid in sorted([STOCK, INDEX, FUTURE])]
    for entry in entries:
        assert rows_in(tmp_path / "minbar", entry["order_book_id"])[0] == entry["rows_after"] > 0


@pytest.mark.parametrize("kind, path", [("minbar", ""), ("tick", "tick")])
def test_a_job_opens_its_file_once_and_counts_it_from_that_open(demo, inline, monkeypatch, tmp_path,
                                                                 kind, path):
    path = str(tmp_path / path)
    first = run.update(kind, path, [STOCK], executor=inline)
    opened = []
    original = {name: getattr(_engine, name) for name in ("File", "dataset_lengths", "Reader")}

    def recording(name):
        def call(file_name, *args, **kwargs):
            # The job's own opens: after the jobs, the run reads the index for the days the client skipped.
            if threading.current_thread() is not threading.main_thread():
                opened.append(name)
            return original[name](file_name, *args, **kwargs)
        return call

    for name in original:
        monkeypatch.setattr(_engine, name, recording(name))
    monkeypatch.setenv("LUMENFEED_ASOF", "20240731")
    for expected in ("updated", "up_to_date"):
        opened.clear()
        (outcome,) = run.update(kind, path, [STOCK], executor=inline).outcomes
        assert outcome.status == expected and opened == ["File"]
        monkeypatch.setattr(_engine, "dataset_lengths", original["dataset_lengths"])
        assert outcome.after == jobs.held(lambda: formats_locate(path, kind))
        monkeypatch.setattr(_engine, "dataset_lengths", recording("dataset_lengths"))
        if expected == "updated":
            assert outcome.before == first.outcomes[0].after and outcome.after != outcome.before


def formats_locate(path, kind):
    from corvane import formats
    return formats.locate(path, STOCK, kind)


def _done(order_book_id, ran):
    ran.append(order_book_id)
    return outcomes.Outcome(order_book_id, "updated")


def _stopped(order_book_id, ran):
    ran.append(order_book_id)
    raise KeyboardInterrupt


def _broken(order_book_id, ran):
    ran.append(order_book_id)
    raise OSError("disk gone")


class CountingExecutor(concurrent.futures.ThreadPoolExecutor):
    def __init__(self):
        super().__init__(max_workers=2)
        self.submitted = 0

    def submit(self, *args, **kwargs):
        self.submitted += 1
        return super().submit(*args, **kwargs)


@pytest.mark.parametrize("count, workers, threads", [(300, 2, 1), (3, 1, 1), (5000, 2, 1), (700, 2, 4)])
def test_jobs_go_to_the_pool_in_batches_that_shrink_towards_the_end_and_come_back_in_order(
        count, workers, threads):
    ran = []
    ids = ["I{:04d}".format(n) for n in range(count)][::-1]
    calls = [(_broken if n % 7 == 3 else _done, oid, ran) for n, oid in enumerate(ids)]
    sizes = pool.batch_sizes(threads, count, workers)
    with CountingExecutor() as executor:
        outcomes = pool.run_jobs(executor, calls, own=False, threads=threads, sizes=sizes)
    assert [o.order_book_id for o in outcomes] == ids and sorted(ran) == sorted(ids)
    assert [o.status for o in outcomes] == ["failed" if n % 7 == 3 else "updated" for n in range(count)]
    assert executor.submitted == len(sizes) and sum(sizes) == count
    # None larger than the most, none after the first smaller than a round of
    # the threads but the last, and the last ones small: the workers end together.
    most = pool.BATCH_MOST if threads == 1 else threads * pool.BATCH_ROUNDS
    assert sizes == sorted(sizes, reverse=True) and sizes[0] <= most
    assert min(sizes[:-1] or [threads]) >= threads and sizes[-1] <= max(threads, count // 50)


def test_a_batch_interrupted_in_turn_reports_the_rest_not_started_and_runs_none_of_them():
    ran = []
    calls = [(_done, "A", ran), (_broken, "B", ran), (_stopped, "C", ran), (_done, "D", ran), (_done, "E", ran)]
    outcomes = batches.batch_job(calls, 1)
    assert ran == ["A", "B", "C"]
    assert [(o.status, o.attempts) for o in outcomes] == [
        ("updated", 0), ("failed", 0), ("interrupted", 1), ("interrupted", 0), ("interrupted", 0)]
    assert outcomes[1].error == "OSError: disk gone"


def _on_thread(order_book_id, seen):
    import threading
    seen.append((order_book_id, threading.get_ident()))
    return outcomes.Outcome(order_book_id, "updated")


def test_a_workers_fetch_threads_stay_for_its_next_batch():
    seen = []
    for batch in ("AB", "CDEF"):
        outcomes = batches.batch_job([(_on_thread, oid, seen) for oid in batch], 2)
        assert [o.order_book_id for o in outcomes] == list(batch)
    assert sorted(oid for oid, _ in seen) == list("ABCDEF") and len({ident for _, ident in seen}) <= 2


def _waiting(order_book_id, ran, started, go):
    ran.append(order_book_id)
    started.release()
    go.wait(60)
    return outcomes.Outcome(order_book_id, "updated")


def test_ctrl_c_in_a_threaded_batch_starts_none_of_the_jobs_still_waiting_and_keeps_what_ended(monkeypatch):
    import threading
    ran, started, go = [], threading.Semaphore(0), threading.Event()
    wait_all = batches._wait_all
    monkeypatch.setattr(jobs, "_interrupted", False)

    def interrupted(futures):
        # Ctrl-C reaching the worker's main thread while both fetch threads are busy.
        monkeypatch.setattr(batches, "_wait_all", wait_all)
        started.acquire()
        started.acquire()
        raise KeyboardInterrupt

    monkeypatch.setattr(batches, "_wait_all", interrupted)
    pool = batches._fetch_pool(2)
    submit = pool.submit

    def submitted(fn, order_book_id, *arguments):
        future = submit(fn, order_book_id, *arguments)
        if order_book_id == "E":
            future.add_done_callback(lambda _: go.set())   # the running ones end once E is cancelled
        return future

    monkeypatch.setattr(pool, "submit", submitted)
    calls = [(_waiting, oid, ran, started, go) for oid in "AB"] + [(_done, oid, ran) for oid in "CDE"]
    outcomes = batches.batch_job(calls, 2)
    assert sorted(ran) == ["A", "B"]
    # The running jobs ended and committed: their own outcomes, not "interrupted".
    assert [(o.order_book_id, o.status, o.attempts) for o in outcomes] == [
        ("A", "updated", 0), ("B", "updated", 0), ("C", "interrupted", 0), ("D", "interrupted", 0),
        ("E", "interrupted", 0)]
    # A batch handed to this worker before Ctrl-C reached it starts nothing.
    later = batches.batch_job([(jobs._job, "F", None, "minbar", None, None, None, None, None)], 2)
    assert [(o.status, o.attempts) for o in later] == [("interrupted", 0)]


def test_the_next_trading_date_is_asked_once_per_day_and_asked_again_after_a_minute(monkeypatch):
    asked = []

    class Client:
        def get_next_trading_date(self, day):
            asked.append(day)
            return day + 1

    clock = [1000.0]
    monkeypatch.setattr(stores.time, "monotonic", lambda: clock[0])
    monkeypatch.setattr(stores, "_next_days", {})
    client = Client()
    answers = [stores.next_trading_date(client, day) for day in (20240102, 20240102, 20240103, 20240102)]
    assert answers == [20240103, 20240103, 20240104, 20240103] and asked == [20240102, 20240103]
    clock[0] += stores.NEXT_DAY_SECONDS
    assert stores.next_trading_date(client, 20240102) == 20240103 and asked[-1] == 20240102 and len(asked) == 3
    # Another client is asked itself.
    assert stores.next_trading_date(Client(), 20240102) == 20240103 and len(asked) == 4


@pytest.mark.parametrize("host_froze", [False, True])
def test_a_pooled_run_leaves_the_collector_as_it_found_it(tmp_path, demo, host_froze):
    # The run keeps what was alive before its jobs out of the collector's full passes while they
    # run, and only then: a host's heap is not left out of them for good, and a host's own
    # freeze is not undone.
    import gc
    gc.unfreeze()
    if host_froze:
        gc.freeze()
    try:
        before = gc.get_freeze_count()
        report = run.update("minbar", str(tmp_path / "bundle"), [STOCK], jobs=1)
        assert report.counts["failed"] == 0 and report.counts["instruments"] == 1
        assert gc.get_freeze_count() == before and (before > 0) == host_froze
    finally:
        gc.unfreeze()
