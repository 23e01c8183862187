"""What a run reports when it fails: a full disk named as one, the version it
committed or why it could not, a report that says "running" until the run
ends, and Ctrl-C ending with 130, its report and no traceback."""
import concurrent.futures
import errno
import io
import json
import os
import signal
import subprocess
import sys
import threading
import time

import h5py
import numpy as np
import pytest
from click.testing import CliRunner

import corvane.bundle as bundle
import crash_lab
from corvane import _engine, errors, formats
from corvane.cli import update as cli_update
from corvane.updater import drivers
from corvane.updater import batches
from corvane.updater import jobs
from corvane.updater import outcomes
from corvane.updater import pool
from corvane.updater import run
from corvane.history import commits
from corvane.history import versions
from corvane.updater import minbar as minbar_store
from corvane.cli import main
from test_cli import InlinePool
from test_run import HELD_COMMAND, wait_for_file

FULL = errno.ENOSPC


def invoke(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


def three_bars(services, order_book_id, path, file_name, min_start_date, *rest, **listed):
    """A store that writes three bars to a new file."""
    os.makedirs(os.path.join(path, "equities"), exist_ok=True)
    name = os.path.join(path, "equities", order_book_id + ".h5")
    if not os.path.exists(name):
        with h5py.File(name, "w") as h5:
            h5["data"] = np.zeros(3, bundle.EQUITIES_DTYPE)
            h5["index"] = np.zeros(1, bundle.INDEX_DTYPE)


@pytest.fixture
def inline(monkeypatch, client):
    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor", InlinePool)
    monkeypatch.setattr(minbar_store, "append_h5", three_bars)
    return client


def full_disk(error_number=FULL):
    return OSError(error_number, os.strerror(error_number))


# --- a full disk is OutOfSpaceError, wherever it is met -------------------------

# Each engine write that meets a full disk, failed by the preloaded fault
# injector: (the call, the file it writes, the write path).
ENGINE_WRITE = """
import ctypes, errno, os, sys
sys.path.insert(0, {tests!r})
shim = ctypes.CDLL(None)
shim.crash_shim_watch.argtypes = (ctypes.c_char_p, ctypes.c_int)
shim.crash_shim_arm_at.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_longlong, ctypes.c_int,
                                   ctypes.c_int, ctypes.c_int)
from corvane import _engine, bundle
import looking
name = {name!r}
looking.write_minbar(name, bundle.EQUITIES_DTYPE)
target = {{"journal": _engine.journal_path(name), "file": name, "temporary": _engine.temporary_path(name)}}[{target!r}]
shim.crash_shim_watch(os.path.dirname(name).encode(), -1)
shim.crash_shim_arm_at({call!r}.encode(), target.encode(), {offset}, 3, {error}, -1)
_engine._set_write_path({path!r})
try:
    with _engine.File(name) as h5:
        h5.append_minbar(*looking.bars(bundle.EQUITIES_DTYPE, [20250107, 20250108]))
except OSError as error:
    print(type(error).__name__, error.errno, error)
"""


@pytest.fixture(scope="module")
def shim():
    return crash_lab.build_shim()


@pytest.mark.parametrize("call, target, offset, path, named", [
    ("pwrite", "journal", 512, "in_place", ".X.h5.journal"),    # a record of the journal
    ("pwrite", "journal", 0, "in_place", ".X.h5.journal"),      # its header
    ("pwrite", "file", -1, "in_place", "X.h5"),
    ("pwrite", "temporary", -1, "beside", "X.h5"),
    ("rename", "temporary", -1, "beside", ".X.h5.tmp"),
])
@pytest.mark.parametrize("error", [errno.ENOSPC, errno.EDQUOT])
def test_an_engine_write_on_a_full_disk_is_out_of_space_naming_the_file(
        shim, tmp_path, call, target, offset, path, named, error):
    code = ENGINE_WRITE.format(tests=os.path.dirname(__file__), name=str(tmp_path / "X.h5"), target=target,
                               call=call, offset=offset, error=error, path=path)
    done = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, LD_PRELOAD=shim),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    kind, number, message = done.stdout.strip().split(" ", 2)
    assert (kind, int(number)) == ("OutOfSpaceError", error)
    assert os.strerror(error) in message and named + "'" in message
    # The call rolled back: the file as before, nothing beside it.
    assert sorted(os.listdir(tmp_path)) == ["X.h5"]


@pytest.mark.parametrize("error, out_of_space", [(errno.ENOSPC, True), (errno.EDQUOT, True), (errno.EIO, False)])
@pytest.mark.parametrize("named", [False, True])
def test_a_full_disk_outside_the_engine_is_out_of_space_in_a_job_and_a_run(error, out_of_space, named):
    exc = OSError(error, os.strerror(error), *(["/b/x.json"] if named else []))
    outcome = outcomes.failed("X", exc, "", None, None, 1, 0.0)
    failure = cli_update.failure_of(exc)
    expected = "OutOfSpaceError" if out_of_space else "OSError"
    assert (outcome.error_type, failure.type) == (expected, expected)
    if named:
        assert "'/b/x.json'" in outcome.error_brief and "'/b/x.json'" in failure.message
    if out_of_space:
        assert outcome.error_brief == failure.message
        assert os.strerror(error) in failure.message


def test_a_full_disk_creating_the_tick_directory_fails_the_run_naming_it(inline, monkeypatch, tmp_path):
    tick, report = tmp_path / "tick", tmp_path / "report.json"
    made = os.makedirs

    def makedirs(path, *args, **kwargs):
        if os.fspath(path) == str(tick):
            raise full_disk()
        return made(path, *args, **kwargs)

    monkeypatch.setattr(drivers.os, "makedirs", makedirs)
    result = invoke("update-tick", tick, "ST001", "--report", report)
    assert result.exit_code == 1
    written = json.loads(report.read_text())
    assert written["error"]["type"] == "OutOfSpaceError"
    assert str(tick) in written["error"]["message"]
    assert [e["status"] for e in written["instruments"]] == ["not_run"]
    assert "OutOfSpaceError" in result.output


def test_a_full_disk_writing_the_run_marker_names_the_marker(inline, monkeypatch, tmp_path):
    minbar = tmp_path / "minbar"
    assert invoke("update-minbar", minbar, "ST001").exit_code == 0
    write = os.write

    def full_for_markers(fd, data):
        if "running" in os.readlink("/proc/self/fd/{}".format(fd)):
            raise full_disk()
        return write(fd, data)

    monkeypatch.setattr(versions.os, "write", full_for_markers)
    with pytest.raises(errors.OutOfSpaceError) as raised:
        run.update("minbar", str(minbar), ["ST001"], executor=InlinePool(1, None))
    assert os.path.join(".corvane", "running") in raised.value.filename
    # Nothing half made is left: the marker's temporary went with the failure.
    assert not os.listdir(minbar / ".corvane" / "running")


# --- the version a run committed, or why it could not -----------------------------

def fail_at(step):
    def hook(at):
        if at == step:
            raise full_disk()
    return hook


@pytest.mark.parametrize("as_json", [False, True])
def test_a_failed_commit_is_named_in_the_report_and_fails_the_run(inline, monkeypatch, tmp_path, as_json):
    minbar, report = tmp_path / "minbar", tmp_path / "report.json"
    monkeypatch.setattr(commits, "_step", fail_at("written"))
    result = invoke("update-minbar", minbar, "ST001", "--report", report, *(["--json"] if as_json else []))
    assert result.exit_code == 1, result.output
    written = json.loads(report.read_text())
    assert (written["state"], written["exit_status"], written["version"]) == ("finished", 1, None)
    assert written["error"] is None and written["counts"]["new"] == 1
    assert written["version_error"]["type"] == "OutOfSpaceError"
    assert ".jsonl'" in written["version_error"]["message"]
    if as_json:
        assert json.loads(result.stdout)["version_error"] == written["version_error"]
    assert versions.log(str(minbar)) == []


def test_the_report_names_the_version_its_run_committed(inline, tmp_path):
    minbar, report = tmp_path / "minbar", tmp_path / "report.json"
    result = invoke("update-minbar", minbar, "ST001", "--report", report)
    assert result.exit_code == 0, result.output
    written = json.loads(report.read_text())
    assert written["version"] == versions.version_ids(str(minbar))[-1]
    assert written["version_error"] is None and written["schema"] == 4
    # A run that changes nothing commits nothing, and says so.
    returned = run.update("minbar", str(minbar), ["ST001"], executor=InlinePool(1, None))
    assert (returned.version, returned.version_error, returned.exit_status) == (None, None, 0)


def test_the_report_says_running_until_the_run_ends(inline, monkeypatch, tmp_path):
    minbar, report = tmp_path / "minbar", tmp_path / "report.json"
    report.write_text(json.dumps({"exit_status": 0, "finished": "yesterday"}))
    seen = []
    update = run.update

    def watched(*args, **kwargs):
        # What a monitor reads while the run works, or after it was killed here.
        seen.append(json.loads(report.read_text()))
        return update(*args, **kwargs)

    monkeypatch.setattr(run, "update", watched)
    assert invoke("update-minbar", minbar, "ST001", "--report", report).exit_code == 0
    (during,) = seen
    assert (during["state"], during["finished"], during["exit_status"]) == ("running", None, None)
    assert during["pid"] == os.getpid() and during["command"] == "update-minbar"
    after = json.loads(report.read_text())
    assert (after["state"], after["exit_status"]) == ("finished", 0) and after["finished"]
    assert after["version"] is not None and len(after["instruments"]) == 1


# --- Ctrl-C ----------------------------------------------------------------------

def _held(mark):
    with open(mark, "w"):
        pass
    time.sleep(600)


def _nothing():
    return None


def test_killing_a_stuck_worker_after_ctrl_c_leaves_the_cancelled_jobs_alone(tmp_path, monkeypatch):
    raised = []
    monkeypatch.setattr(threading, "excepthook", lambda hook: raised.append(hook.exc_value))
    mark = tmp_path / "running"
    executor = concurrent.futures.ProcessPoolExecutor(1)
    workers = []
    try:
        futures = {"A": executor.submit(_held, str(mark))}
        workers = list(executor._processes.values())
        deadline = time.monotonic() + 120
        while not mark.exists():
            assert not futures["A"].done() and time.monotonic() < deadline, "the job never began"
            time.sleep(0.01)
        # Two wait in the pool's full queue (its thread then cannot drop what was cancelled
        # on its own), the rest are still the pool's to hand out.
        futures.update((name, executor.submit(_nothing)) for name in "BCDEFG")
        while not futures["C"].running():
            assert time.monotonic() < deadline, "the pool never queued C"
            time.sleep(0.01)
        cancelled = [name for name in "BCDEFG" if futures[name].cancel()]
        assert cancelled
        calls = [(jobs.minbar_job, name, str(tmp_path)) for name in futures]
        pool.stop_running(executor, futures, calls, grace=0.1)
        executor.shutdown(wait=True)
    finally:
        for worker in workers:
            worker.kill()
    assert raised == []
    assert type(futures["A"].exception()).__name__ == "BrokenProcessPool"
    assert all(futures[name].cancelled() for name in cancelled)


def test_ctrl_c_with_fetch_threads_ends_130_with_its_report_no_traceback_and_nothing_left(tmp_path, monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", "20261204")
    minbar, report, begun = tmp_path / "minbar", tmp_path / "report.json", tmp_path / "begun"
    # More batches than the pool's queue holds: some are still the pool's to cancel.
    words = ["10001.HBX", "10002.HBX", "10003.HBX", "10004.HBX", "51001.HBX", "51002.HBX", "16001.HBX",
             "IX001.HBX"]
    command = [sys.executable, "-c", HELD_COMMAND, str(begun), "update-minbar", str(minbar), *words,
               "-j", "1", "--fetch-threads", "2", "--report", str(report)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    wait_for_file(begun, process)
    os.killpg(process.pid, signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130, err
    assert "Traceback" not in err and "Error" not in err, err
    written = json.loads(report.read_text())
    assert (written["state"], written["exit_status"]) == ("finished", 130)
    assert written["counts"]["interrupted"] >= 1
    checked = subprocess.run([sys.executable, "-m", "corvane.cli", "verify", str(minbar)],
                             capture_output=True, text=True, timeout=120)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    hidden = [p.name for p in (minbar / "equities").iterdir() if p.name.startswith(".")]
    assert hidden == [] and _engine.lock_state(str(minbar / "equities" / "10001.HBX.h5")) is None


def test_after_ctrl_c_broke_the_pool_the_lock_a_killed_job_left_is_removed(tmp_path):
    import looking
    from concurrent.futures.process import BrokenProcessPool

    name = tmp_path / "equities" / "X.h5"
    looking.write_minbar(str(name), bundle.EQUITIES_DTYPE)
    # What a writer the broken pool ended mid-job leaves: its lock file, held by no one.
    lock = tmp_path / "equities" / os.path.basename(formats.lock_path(str(name)))
    lock.write_bytes(b"")
    assert _engine.lock_state(str(name)) == "stale"
    lost, ended = concurrent.futures.Future(), concurrent.futures.Future()
    lost.set_exception(BrokenProcessPool("a worker died"))
    ended.set_result(None)
    calls = [(jobs.minbar_job, "X", str(tmp_path)), (jobs.minbar_job, "Y", str(tmp_path))]
    pool.stop_running(None, {"X": lost, "Y": ended}, calls)
    assert not lock.exists()
    assert sorted(os.listdir(name.parent)) == ["X.h5"]


def _no_client():
    return None


def _interrupt_noted():
    return jobs._interrupted


def test_ctrl_c_reaching_an_idle_pool_worker_is_noted_and_its_next_job_does_not_start(tmp_path):
    import functools

    from corvane.updater import workers

    executor = concurrent.futures.ProcessPoolExecutor(
        1, initializer=functools.partial(workers.pool_worker, _no_client, os.getpid()))
    try:
        assert executor.submit(_nothing).result(timeout=120) is None
        (worker,) = executor._processes.values()
        # Between jobs, as a worker waits for its next one when Ctrl-C reaches the group.
        os.kill(worker.pid, signal.SIGINT)
        # The signal is handled when the worker next runs Python: the job is handed over only once
        # the worker has noted it (on a loaded machine it may come later, inside the job, which it
        # then interrupts instead).
        deadline = time.monotonic() + 120
        while not executor.submit(_interrupt_noted).result(timeout=120):
            assert time.monotonic() < deadline, "the worker never noted the Ctrl-C"
        later = executor.submit(jobs.minbar_job, "10001.HBX", str(tmp_path))
        assert isinstance(later.exception(timeout=120), outcomes.NotStarted)
        assert worker.is_alive() and os.listdir(tmp_path) == []
    finally:
        executor.shutdown(wait=True)


def test_ctrl_c_in_a_pool_workers_job_still_interrupts_it(monkeypatch):
    from corvane.updater import workers

    monkeypatch.setattr(jobs, "_interrupted", False)

    def job(order_book_id):
        workers._interrupt(signal.SIGINT, sys._getframe())

    (outcome,) = batches._in_turn([(job, "X")])
    assert (outcome.status, outcome.attempts) == ("interrupted", 1)


@pytest.mark.parametrize("sizes", [[3, 2], [1, 1, 1]])
def test_progress_counts_each_batchs_jobs_and_returns_once_every_job_is_settled(monkeypatch, sizes):
    from corvane.updater import pool
    monkeypatch.setattr(pool, "PROGRESS_SECONDS", 0.0)
    wholes = [concurrent.futures.Future() for _ in sizes]
    futures = []
    for whole, size in zip(wholes, sizes):
        parts = [pool.Part(whole) for _ in range(size)] if len(sizes) == 2 else [whole]
        if len(sizes) == 2:
            whole.add_done_callback(lambda done, parts=parts: pool._settle_parts(parts, done))
        futures += parts
    stream = io.StringIO()   # no terminal: progress comes as plain lines
    ender = threading.Thread(target=lambda: [whole.set_result(list(range(size))) for whole, size in zip(wholes, sizes)])
    ender.start()
    pool.wait_with_progress(futures, len(futures), stream)
    ender.join()
    assert all(future.done() for future in futures)
    # A line after each batch but the last (in the order they ended), counting its jobs.
    counts = [int(line.split()[1]) for line in stream.getvalue().splitlines()]
    assert len(counts) == len(sizes) - 1
    assert all(count - before in sizes for before, count in zip([0] + counts, counts))
