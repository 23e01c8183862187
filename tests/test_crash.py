"""Crash safety of the bundle files.

A writer is killed with SIGKILL at random moments of first fills and appends
of minute-bar and tick files, a file size limit stops writes part-way, the
client fails part-way through a pool run; each time the same update is then
run again without faults, and every file must hold exactly what a run that
never failed wrote, with no hidden temporary file or journal left.

The writers are forked from one server process (`python test_crash.py
serve`) that has already imported everything, so a kill lands in the update
itself, not in Python's start-up.  The stand-in client answers each question
once per as-of date and the answers are replayed afterwards, so the time of
a trial goes to the stores and the engine.  bench/crash_soak.py runs the same
trials by the hundred.
"""
import json
import os
import pickle
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback

import pytest

# Process-level: left out by `make test-fast`, run by `make test`.
pytestmark = pytest.mark.slow

# One as-of date per step: step 0 is every file's first fill, the later steps
# append the next trading day (and rewrite the latest tick day).
ASOFS = ("20240726", "20240729", "20240730", "20240731")
# A stock and a night-session future listed shortly before the first as-of
# date, so that their whole history is small.
JOBS = (("minbar", "10003.HBX"), ("minbar", "HXI2501.QFX"), ("tick", "10003.HBX"))
TICK_DAYS = "2"
TRIALS = 24
SEED = 20240726


# --------------------------------------------------------------------------- the writer server

class ReplayClient:
    """The market-data client with its answers kept per as-of date.

    `failures` maps (call name, order_book_id) to the number of calls that
    succeed before every later one raises ConnectionError.
    """

    def __init__(self, client, answers, failures=None):
        self._client = client
        self._answers = answers
        self._failures = dict(failures or {})
        self._calls = {}
        self.fresh = {}

    def __getattr__(self, name):
        target = getattr(self._client, name)
        if not callable(target) or name == "init":
            return target

        def call(*args, **kwargs):
            key = (args[0] if args else None)
            if (name, key) in self._failures:
                count = self._calls.get((name, key), 0)
                self._calls[(name, key)] = count + 1
                if count >= self._failures[(name, key)]:
                    raise ConnectionError("lumenfeed unreachable during {}({!r})".format(name, key))
            memo = (os.environ.get("LUMENFEED_ASOF"), name, args, tuple(sorted(kwargs.items())))
            if memo in self._answers:
                return self._answers[memo]
            value = target(*args, **kwargs)
            self._answers[memo] = self.fresh[memo] = value
            return value

        return call


def _timed_opens(windows, start):
    """Wraps the stores' file opening to log when each file is open."""
    from corvane.updater import minbar
    from corvane.updater import tick

    original = minbar.open_instrument_file

    class Timed:
        def __init__(self, h5_file, durable=False):
            self.opened = time.perf_counter() - start
            self.file = original(h5_file, durable)

        def __enter__(self):
            return self.file.__enter__()

        def __exit__(self, *exc):
            try:
                return self.file.__exit__(*exc)
            finally:
                windows.append((self.opened, time.perf_counter() - start))

    minbar.open_instrument_file = tick.open_instrument_file = Timed


def _run_jobs(spec, client):
    """The updates of one run: single jobs, or the drivers with their pool."""
    import corvane.bundle as bundle

    bundle.lumenfeed = client
    os.environ["LUMENFEED_ASOF"] = spec["asof"]
    errors = []
    root = spec["dir"]
    if spec.get("drivers"):
        for driver, sub in (("update_minbar", "minbar"), ("update_tick", "tick")):
            ids = [oid for kind, oid in spec["jobs"] if kind == sub]
            getattr(bundle, driver)(os.path.join(root, sub), ids, False, 2)
        return errors
    for kind, oid in spec["jobs"]:
        try:
            if kind == "minbar":
                bundle._append_h5(oid, os.path.join(root, "minbar"))
            else:
                bundle._append_h5_tick(oid, os.path.join(root, "tick"))
        except Exception as exc:
            if not spec.get("keep_going"):
                raise
            # The built-in class callers catch: the engine's kinds of
            # OSError (corvane.errors) all count as OSError.
            builtin = next(c for c in type(exc).__mro__ if c.__module__ == "builtins")
            errors.append([kind, oid, builtin.__name__, str(exc)])
    return errors


def _child(spec, answers):
    import lumenfeed

    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # stdout is the server's channel
    if spec.get("stderr"):
        os.dup2(os.open(spec["stderr"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 2)
    start = time.perf_counter()
    report = {"windows": []}
    try:
        if spec.get("windows"):
            _timed_opens(report["windows"], start)
        failures = {(name, oid): after for name, oid, after in spec.get("failures", [])}
        client = ReplayClient(lumenfeed, answers, failures)
        if spec.get("fsize"):
            import resource
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
            resource.setrlimit(resource.RLIMIT_FSIZE, (spec["fsize"], hard))
        report["errors"] = _run_jobs(spec, client)
        if spec.get("fsize"):
            resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        if spec.get("record"):
            _write_whole(spec["record"], pickle.dumps(client.fresh))
        code = 0
    except BaseException:
        report["traceback"] = traceback.format_exc()
        code = 1
    _write_whole(spec["report"], json.dumps(report).encode())
    os._exit(code)


def _write_whole(path, data):
    """Writes `path` so that a kill leaves it whole or absent, never half written."""
    with open(path + ".part", "wb") as out:
        out.write(data)
    os.replace(path + ".part", path)


def _serve_one(spec, answers):
    pid = os.fork()
    if pid == 0:
        _child(spec, answers)
    if spec.get("kill_after") is not None:
        time.sleep(spec["kill_after"])
        os.kill(pid, signal.SIGKILL)  # a child that already ended is a zombie until reaped
    _, status = os.waitpid(pid, 0)
    reply = {"killed": os.WIFSIGNALED(status),
             "code": os.WEXITSTATUS(status) if os.WIFEXITED(status) else None}
    if os.path.exists(spec["report"]):
        with open(spec["report"]) as report:
            reply.update(json.load(report))
        os.remove(spec["report"])
    if spec.get("record") and os.path.exists(spec["record"]):
        with open(spec["record"], "rb") as recorded:
            answers.update(pickle.load(recorded))
        os.remove(spec["record"])
    return reply


def serve():
    """Reads one JSON run spec a line, forks a writer for it, answers in JSON."""
    import warnings

    import corvane.bundle  # noqa: F401  (imported once, before every fork)
    import lumenfeed

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    answers = {}
    for line in sys.stdin:
        print(json.dumps(_serve_one(json.loads(line), answers)), flush=True)


# --------------------------------------------------------------------------- the test side

class Writer:
    """The server process, and runs of updates through it."""

    def __init__(self, workdir):
        self.workdir = workdir
        env = dict(os.environ, LUMENFEED_TICK_DAYS=TICK_DAYS)
        env.pop("CORVANE_DURABLE", None)
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        env=env)

    def run(self, directory, step, jobs=JOBS, **options):
        spec = dict(options, dir=str(directory), asof=ASOFS[step], jobs=[list(j) for j in jobs],
                    report=os.path.join(self.workdir, "report.json"))
        if spec.get("record"):
            spec["record"] = os.path.join(self.workdir, "answers.pickle")
        self.process.stdin.write(json.dumps(spec) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the writer server died (exit status {})".format(self.process.wait()))
        return json.loads(line)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


def is_hidden(name):
    return name.startswith(".")


def bundle_files(root):
    """Relative paths of every file under `root`, hidden ones included."""
    found = []
    for folder, _dirs, files in os.walk(root):
        found += [os.path.relpath(os.path.join(folder, name), root) for name in files]
    return sorted(found)


def snapshot(root, only=None):
    """{file: {dataset: (dtype, bytes)}} of the visible files under `root`,
    as h5py reads them; raises when one cannot be read."""
    import h5py

    contents = {}
    for name in bundle_files(root):
        if is_hidden(os.path.basename(name)) or (only and name != only):
            continue
        with h5py.File(os.path.join(root, name), "r") as h5:
            contents[name] = {key: (h5[key].dtype.descr, h5[key][()].tobytes()) for key in h5}
    return contents


def hidden_files(root):
    return [name for name in bundle_files(root) if is_hidden(os.path.basename(name))]


class Reference:
    """The files after each step of a run that never failed, and when each
    file was open during each step (where kills are aimed)."""

    def __init__(self, writer, workdir):
        self.states, self.windows = [], []
        first, again = os.path.join(workdir, "first"), os.path.join(workdir, "again")
        for step in range(len(ASOFS)):
            done = writer.run(first, step, record=True)
            assert done["code"] == 0, done.get("traceback")
            state = os.path.join(workdir, "state{}".format(step))
            shutil.copytree(first, state)
            self.states.append(state)
            # A second run with every answer replayed: the windows it logs
            # are those of the trials, and it proves the steps deterministic.
            timed = writer.run(again, step, windows=True)
            assert timed["code"] == 0, timed.get("traceback")
            assert snapshot(again) == snapshot(state)
            self.windows.append(timed["windows"])

    def before(self, step, directory):
        """A fresh directory holding the files as they were before `step`."""
        if step == 0:
            os.makedirs(directory)
        else:
            shutil.copytree(self.states[step - 1], directory)


def kill_moment(windows, rng):
    """A moment, uniformly drawn from the time the step had a file open."""
    total = sum(end - start for start, end in windows)
    point = rng.uniform(0.0, total)
    for start, end in windows:
        if point <= end - start:
            return start + point
        point -= end - start
    return windows[-1][1]


def outcome(directory, expected, rerun):
    """converged, stuck (the rerun failed), corrupt (a file h5py cannot read)
    or diverged (other records than a run without faults, or leftovers)."""
    if rerun["code"] != 0:
        return "stuck"
    try:
        got = snapshot(directory)
    except Exception:  # whatever h5py makes of a damaged file
        return "corrupt"
    return "converged" if got == expected and not hidden_files(directory) else "diverged"


def crash_trial(writer, reference, step, rng, directory, second_kill=False):
    """Kill the update of `step` at a random moment, then run it again
    (killing that run too when `second_kill`); returns what it found."""
    reference.before(step, directory)
    delay = kill_moment(reference.windows[step], rng)
    first = writer.run(directory, step, kill_after=delay)
    found = {"step": step, "delay": delay, "killed": first["killed"], "kills": int(first["killed"]),
             "interrupted": bool(hidden_files(directory))}
    try:
        snapshot(directory)
        found["readable_after_kill"] = True
    except Exception:
        found["readable_after_kill"] = False
    if second_kill:
        again = writer.run(directory, step, kill_after=kill_moment(reference.windows[step], rng))
        found["kills"] += int(again["killed"])
    rerun = writer.run(directory, step)
    found["outcome"] = outcome(directory, snapshot(reference.states[step]), rerun)
    if found["outcome"] == "stuck":
        found["error"] = rerun.get("traceback", "")
    return found


# --------------------------------------------------------------------------- the tests

@pytest.fixture(scope="module")
def writer(tmp_path_factory):
    pytest.importorskip("lumenfeed")
    pytest.importorskip("corvane.bundle")
    server = Writer(str(tmp_path_factory.mktemp("writer")))
    yield server
    server.close()


@pytest.fixture(scope="module")
def reference(writer, tmp_path_factory):
    return Reference(writer, str(tmp_path_factory.mktemp("reference")))


def test_writer_killed_at_random_moments_leaves_files_a_rerun_completes(writer, reference, tmp_path):
    rng = random.Random(SEED)
    # Every step gets its share: first fills (step 0) and appends.
    trials = [crash_trial(writer, reference, i % len(ASOFS), rng, str(tmp_path / str(i)))
              for i in range(TRIALS)]
    assert [t for t in trials if t["outcome"] != "converged"] == []
    # The kills are aimed at open files: some must have caught a write
    # half-done (a journal or temporary file left), or this proved nothing.
    assert any(t["interrupted"] for t in trials), trials


def test_a_kill_during_the_recovering_run_is_recovered_too(writer, reference, tmp_path):
    rng = random.Random(SEED + 1)
    trials = [crash_trial(writer, reference, step, rng, str(tmp_path / str(step)), second_kill=True)
              for step in range(len(ASOFS))]
    assert [t for t in trials if t["outcome"] != "converged"] == []


def only_file(kind, oid):
    return os.path.join("minbar", "equities", oid + ".h5") if kind == "minbar" else os.path.join("tick", oid + ".h5")


@pytest.mark.parametrize("kind", ["minbar", "tick"])
@pytest.mark.parametrize("step", [0, 1], ids=["fill", "append"])
def test_file_size_limit_mid_write_raises_keeps_the_file_and_a_rerun_converges(
        writer, reference, tmp_path, kind, step):
    job = (kind, "10003.HBX")
    name = only_file(*job)
    directory = str(tmp_path / "bundle")
    reference.before(step, directory)
    before = snapshot(directory, only=name)
    size = os.path.getsize(os.path.join(directory, name)) if before else 0
    # Room for a little more than the file holds: the write stops part-way.
    done = writer.run(directory, step, jobs=[job], fsize=size + 512, keep_going=True)
    assert done["code"] == 0, done.get("traceback")  # the process went on
    [(_, _, error_type, message)] = done["errors"]
    assert error_type == "OSError", message
    assert os.path.join(directory, name) in message and "File too large" in message
    assert snapshot(directory, only=name) == before
    assert hidden_files(directory) == []
    rerun = writer.run(directory, step, jobs=[job])
    assert rerun["code"] == 0, rerun.get("traceback")
    assert snapshot(directory, only=name) == snapshot(reference.states[step], only=name)


@pytest.mark.parametrize("step", [0, 1], ids=["fill", "append"])
def test_client_failing_part_way_is_reported_by_the_pool_and_a_rerun_converges(
        writer, reference, tmp_path, step):
    directory, stderr = tmp_path / "bundle", str(tmp_path / "stderr.txt")
    reference.before(step, str(directory))
    # The future's bars fail at once; the stock's ticks after its first day.
    failures = [["get_price", "HXI2501.QFX", 0], ["get_price", "10003.HBX", 2]]
    failed = writer.run(directory, step, drivers=True, failures=failures, stderr=stderr)
    assert failed["code"] == 0, failed.get("traceback")
    with open(stderr) as err:
        report = err.read()
    assert "1 of 2 jobs failed" in report and "1 of 1 jobs failed" in report
    assert "_append_h5('HXI2501.QFX'" in report and "_append_h5_tick('10003.HBX'" in report
    assert "ConnectionError" in report
    rerun = writer.run(directory, step, drivers=True, stderr=stderr)
    assert rerun["code"] == 0, rerun.get("traceback")
    assert snapshot(str(directory)) == snapshot(reference.states[step])
    assert hidden_files(str(directory)) == []


def test_a_second_writer_of_a_file_is_refused_with_a_clear_error(tmp_path):
    import h5py
    import numpy as np

    from corvane import _engine

    path = tmp_path / "x.h5"
    rows = np.zeros(3, [("date", "<i4"), ("line_no", "<u4")])
    for name in ("new", "existing"):  # the file is created by the first round
        with _engine.File(path) as first:
            first.create_dataset(name, rows)
            # Refused at its open (a new file) or at its first write.
            with pytest.raises(OSError, match="is being written by another process") as refused:
                with _engine.File(path) as second:
                    second.create_dataset("other", rows)
            assert str(path) in str(refused.value)
    with h5py.File(path, "r") as h5:
        assert sorted(h5) == ["existing", "new"]


# --------------------------------------------------------------------------- a real full disk

# Free space left on the small file system before each trial (bytes): from
# none to room for an append. The steps whose bundle leaves room for an
# update once the space is freed take turns.
FREE_SPACE = range(0, 480 * 1024 + 1, 24 * 1024)
FULL_DISK_STEPS = (0, 1)


@pytest.fixture
def small_filesystem(tmp_path):
    """A 1 MiB tmpfs mounted for the test (needs root)."""
    if os.geteuid() != 0:
        pytest.skip("a real full disk needs a small tmpfs, which only root can mount")
    mount = tmp_path / "tmpfs"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + done.stderr.strip())
    try:
        yield str(mount)
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


def fill_up(root, leave):
    """Fills the file system of `root` until `leave` bytes are free."""
    filler = os.path.join(root, "filler")
    stats = os.statvfs(root)
    size = stats.f_bavail * stats.f_frsize - leave
    with open(filler, "wb") as out:
        if size > 0:
            out.write(b"\0" * size)
    return filler


def full_disk_trial(writer, reference, root, step, free):
    """One update of `step` into a file system with `free` bytes left, then
    one with room again; what happened to the process and the files."""
    directory = os.path.join(root, "bundle")
    shutil.rmtree(directory, ignore_errors=True)
    for name in os.listdir(root):
        os.remove(os.path.join(root, name))
    reference.before(step, directory)
    filler = fill_up(root, free)
    run = writer.run(directory, step, keep_going=True)
    found = {"step": step, "free": free, "crashed": run["killed"],
             "raised": bool(run.get("errors")), "died": run["code"] not in (0, None)}
    found["only_oserror"] = all(error[2] == "OSError" for error in run.get("errors", []))
    try:
        snapshot(directory)
        found["readable"] = True
    except Exception:  # whatever h5py makes of a damaged file
        found["readable"] = False
    os.remove(filler)
    rerun = writer.run(directory, step)
    found["outcome"] = outcome(directory, snapshot(reference.states[step]), rerun)
    return found


def full_disk_sweep(writer, reference, root, free_space=FREE_SPACE):
    """A trial per amount of free space, the first fill and an append taking turns."""
    return [full_disk_trial(writer, reference, root, FULL_DISK_STEPS[i % len(FULL_DISK_STEPS)], free)
            for i, free in enumerate(free_space)]


def test_a_full_file_system_raises_oserror_and_a_rerun_with_room_converges(
        writer, reference, small_filesystem):
    # Every other amount, then all the room there is for an append.
    trials = full_disk_sweep(writer, reference, small_filesystem, list(FREE_SPACE[::2]) + [1 << 20])
    assert [t for t in trials if t["crashed"] or t["died"] or not t["only_oserror"]] == []
    assert [t for t in trials if not t["readable"] or t["outcome"] != "converged"] == []
    # The space ran out in some trials (or this proved nothing), not in all.
    assert 0 < sum(t["raised"] for t in trials) < len(trials), trials


# --------------------------------------------------------------------------- threads and fork

def _rows(n, first=1):
    import numpy as np

    rows = np.zeros(n, [("datetime", "<i8"), ("value", "<f8")])
    rows["datetime"] = np.arange(first, first + n)
    rows["value"] = rows["datetime"] * 0.5
    return rows


@pytest.mark.parametrize("delay", [0.0, 0.005, 0.02])
def test_close_from_another_thread_waits_for_a_running_append(tmp_path, delay):
    import h5py
    import numpy as np

    from corvane import _engine

    path = tmp_path / "x.h5"
    batch = _rows(300_000)
    with _engine.File(path) as h5:
        h5.create_dataset("x", batch[:1])
    h5 = _engine.File(path)
    started, refused = threading.Event(), []

    def append():
        started.set()
        try:
            for _ in range(3):
                h5.append("x", batch)
        except ValueError as exc:  # the file was closed between two appends
            refused.append(str(exc))

    thread = threading.Thread(target=append)
    thread.start()
    started.wait()
    time.sleep(delay)
    h5.close()
    thread.join()
    with h5py.File(path, "r") as stored:
        got = stored["x"][()]
    # Whole appends only, and the ones after the close refused.
    appended, rest = divmod(len(got) - 1, len(batch))
    assert rest == 0 and bool(refused) == (appended < 3), (len(got), refused)
    assert np.array_equal(got["datetime"][1:], np.tile(batch["datetime"], appended))


def _forked(child):
    """Runs `child()` in a forked process; returns a pipe end that reads its
    reports and its process id."""
    reports, report = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(reports)
            child(report)
            code = 0
        finally:
            os._exit(code)
    os.close(report)
    return reports, pid


@pytest.mark.parametrize("ending", ["exception", "close"])
def test_a_forked_child_neither_ends_its_parents_call_nor_keeps_its_lock(tmp_path, ending):
    import h5py
    import numpy as np

    from corvane import _engine

    path = tmp_path / "x.h5"
    with _engine.File(path) as h5:
        h5.create_dataset("x", _rows(5000))
    h5 = _engine.File(path)
    h5.append("x", _rows(5000, 5001))
    release_child, released = os.pipe()

    def child(report):
        try:
            if ending == "exception":
                with h5:
                    raise RuntimeError("the child's own failure")
            else:
                h5.close()
        except RuntimeError:
            os.write(report, b"aborted\n")
        except OSError as exc:
            os.write(report, ("refused: " + str(exc) + "\n").encode())
        os.read(release_child, 1)  # alive until the parent is done

    reports, pid = _forked(child)
    try:
        said = os.read(reports, 4096).decode()
        if ending == "close":
            assert "forked" in said and str(path) in said, said
        h5.append("x", _rows(5000, 10001))
        h5.close()
        # The child still runs: its copies of the descriptors hold no lock.
        with _engine.File(path) as again:
            again.append("x", _rows(5000, 15001))
    finally:
        os.write(released, b"x")
        os.waitpid(pid, 0)
    assert hidden_files(str(tmp_path)) == []
    with h5py.File(path, "r") as stored:
        assert np.array_equal(stored["x"]["datetime"], np.arange(1, 20001))


def test_durable_option_reaches_the_jobs_as_an_argument(monkeypatch, tmp_path):
    import concurrent.futures

    from click.testing import CliRunner
    from conftest import FakeClient

    from corvane import cli
    from corvane.updater import minbar
    from corvane.updater import stores
    bundle = pytest.importorskip("corvane.bundle")
    seen = []
    # Set first, so that the variable the command sets is undone afterwards.
    monkeypatch.setenv("CORVANE_DURABLE", "")
    monkeypatch.delenv("CORVANE_DURABLE")
    monkeypatch.setattr(bundle, "init_lumenfeed_with_warnings_catch", lambda: None)
    monkeypatch.setattr(bundle, "lumenfeed", FakeClient())
    # Jobs in threads of this process, where the store below is in place.
    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor", concurrent.futures.ThreadPoolExecutor)
    monkeypatch.setattr(minbar, "append_h5", lambda *args, durable=False, **_: seen.append(durable))
    for flags in ([], ["--durable"]):
        result = CliRunner().invoke(cli.main, ["update-minbar", str(tmp_path), "ST001"] + flags)
        assert result.exit_code == 0, result.output
    assert seen == [False, True]
    assert "CORVANE_DURABLE" not in os.environ

    opened = []
    monkeypatch.setattr(stores._engine, "File", lambda path, durable: opened.append(durable))
    monkeypatch.setenv("CORVANE_DURABLE", "1")  # no longer read
    for durable in (False, True):
        stores.open_instrument_file(str(tmp_path / "x.h5"), durable)
    assert opened == [False, True]


if __name__ == "__main__" and sys.argv[1:] == ["serve"]:
    serve()
