"""The two update drivers and the worker initialiser."""
import concurrent.futures
import os
import subprocess
import sys
import types
import warnings

import pytest

import corvane.bundle as bundle
from corvane.updater import run
from corvane.updater import outcomes

DRIVERS = [
    ("update_minbar", "_append_h5", "分钟线数据"),
    ("update_tick", "_append_h5_tick", "tick数据"),
]
ALL = ["CV001", "ET001", "IX001", "LF001", "OP.ET001.C1", "OP.QZ2601.C1", "OP.ST001.C1", "OP.WV2601.C1",
       "QZ.2601", "QZ.2602", "ST001", "ST002", "WV.2601"]


@pytest.mark.parametrize("driver, job, kind", DRIVERS)
@pytest.mark.parametrize("words, selected, line", [
    ([], [], "开始更新 0 只标的的{}：set()"),
    (["ST002", "ET001", "ST001", "ST001"], ["ET001", "ST001", "ST002"],
     "开始更新 3 只标的的{}：{{'ET001', 'ST001', 'ST002'}}"),
    # Six smallest identifiers, then dots.
    (["all"], ALL,
     "开始更新 13 只标的的{}：{{'CV001', 'ET001', 'IX001', 'LF001', 'OP.ET001.C1', 'OP.QZ2601.C1', ...}}"),
])
def test_driver_announces_then_submits_one_job_per_identifier(client, recorder, tmp_path, driver, job, kind,
                                                              words, selected, line):
    path = str(tmp_path / "bundle")
    concurrency = object()  # passed on unchanged, whatever it is
    assert getattr(bundle, driver)(path, words, False, concurrency) is None

    job_function = getattr(bundle, job)
    assert in_identifier_order(recorder.events) == (
        [("echo", (line.format(kind),), {}),
         ("pool", (), [("max_workers", concurrency), ("initializer", bundle.init_lumenfeed_with_warnings_catch)]),
         ("enter",)]
        + [("submit", job_function, (oid, path), {}) for oid in selected]
        + [("exit", None)])


def in_identifier_order(events):
    """`events` with the submits sorted by identifier (a set's order is free)."""
    submits = iter(sorted((e for e in events if e[0] == "submit"), key=lambda e: e[2][0]))
    return [next(submits) if e[0] == "submit" else e for e in events]


def test_minbar_driver_creates_no_directory(client, recorder, tmp_path):
    path = tmp_path / "not-yet"
    bundle.update_minbar(str(path), ["stock"], False, 2)
    assert not path.exists()


def test_tick_driver_creates_its_directory_before_announcing(client, monkeypatch, tmp_path):
    path = tmp_path / "a" / "b" / "tick"
    seen = []
    monkeypatch.setattr(bundle, "click", types.SimpleNamespace(echo=lambda text: seen.append(path.is_dir())))
    pools = []
    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor", lambda **kw: pools.append(kw) or NullPool())
    bundle.update_tick(str(path), [], False, 2)
    assert seen == [True] and len(pools) == 1


def test_tick_driver_leaves_an_existing_directory_as_it_is(client, recorder, tmp_path):
    (tmp_path / "ST001.h5").write_bytes(b"kept")
    bundle.update_tick(str(tmp_path), ["ST001"], False, 1)
    assert [p.name for p in tmp_path.iterdir()] == ["ST001.h5"]
    assert (tmp_path / "ST001.h5").read_bytes() == b"kept"


class NullPool:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def submit(self, *args):
        pass


def test_tick_path_naming_a_file_fails_before_anything_is_printed(client, recorder, tmp_path):
    path = tmp_path / "tick"
    path.write_text("not a directory")
    with pytest.raises(FileExistsError):
        bundle.update_tick(str(path), ["stock"], False, 2)
    assert recorder.events == []


@pytest.mark.parametrize("driver", ["update_minbar", "update_tick"])
def test_selection_failure_stops_the_driver_before_output_pool_or_directory(client, recorder, tmp_path, driver):
    client.fail = RuntimeError("listing refused")
    with pytest.raises(RuntimeError, match="listing refused"):
        getattr(bundle, driver)(str(tmp_path / "out"), ["stock"], False, 2)
    assert recorder.events == []
    assert not (tmp_path / "out").exists()


def test_submit_failure_reaches_the_pool_exit_and_the_caller(client, recorder, monkeypatch, tmp_path):
    def refuse(*args):
        raise RuntimeError("pool is shut down")

    pool_class = recorder.pool_class

    def pool_that_refuses(**kwargs):
        pool = pool_class(**kwargs)
        pool.submit = refuse
        return pool

    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor", pool_that_refuses)
    with pytest.raises(RuntimeError, match="shut down"):
        bundle.update_minbar(str(tmp_path), ["stock"], False, 2)
    assert recorder.events[-1] == ("exit", RuntimeError)


# ---- the worker initialiser --------------------------------------------------

class Client:
    def __init__(self, action):
        self.action = action
        self.inits = 0

    def init(self):
        self.inits += 1
        self.action()


def warn():
    warnings.warn("client licence notice", UserWarning)


def warn_then_fail():
    warnings.simplefilter("ignore")  # disturbs the filters before failing
    warn()
    raise ConnectionError("client cannot start")


def test_init_hides_the_client_warning_and_restores_filters(monkeypatch):
    client = Client(warn)
    monkeypatch.setattr(bundle, "lumenfeed", client)
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        filters = list(warnings.filters)
        showwarning = warnings.showwarning
        assert bundle.init_lumenfeed_with_warnings_catch() is None
        assert warnings.filters == filters and warnings.showwarning is showwarning
        warn()  # the process's own warnings still show afterwards
    assert client.inits == 1
    assert [str(w.message) for w in shown] == ["client licence notice"]


def test_init_failure_restores_filters_before_raising(monkeypatch):
    monkeypatch.setattr(bundle, "lumenfeed", Client(warn_then_fail))
    with warnings.catch_warnings(record=True) as shown:
        warnings.simplefilter("always")
        filters = list(warnings.filters)
        with pytest.raises(ConnectionError):
            bundle.init_lumenfeed_with_warnings_catch()
        assert warnings.filters == filters
    assert shown == []


def test_init_keeps_a_filter_that_turns_the_warning_into_an_error(monkeypatch):
    monkeypatch.setattr(bundle, "lumenfeed", Client(warn))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            bundle.init_lumenfeed_with_warnings_catch()


# ---- the real pool ------------------------------------------------------------

# Shadows the client in the driver's process and, through the inherited
# module path, in every worker: it logs which process runs what.
FAKE_CLIENT = '''
import os, warnings
import pandas as pd
from vesper.const import INSTRUMENT_TYPE as T

IDS = ["ST001", "ST002", "ST003", "ST004", "ST005", "BAD"]
_ready = False

def _log(*words):
    with open(os.environ["FAKE_CLIENT_LOG"], "a") as f:
        f.write(" ".join(map(str, words)) + "\\n")

def init():
    global _ready
    _log("init", os.getpid())
    warnings.warn("fake client licence notice", UserWarning)
    _ready = True

def all_instruments(*args):
    rows = [] if args else [(oid, T.CS, None, None) for oid in IDS]
    return pd.DataFrame(rows, columns=["order_book_id", "type", "underlying_symbol", "underlying_order_book_id"])

class _Record:
    type = T.CS

def instruments(order_book_id):
    _log("job", os.getpid(), order_book_id, _ready)
    if order_book_id == "BAD":
        raise RuntimeError("fake client refuses BAD")
    return _Record()

def get_price(*args, **kwargs):
    return None  # no bars: the job leaves an empty file
'''

DRIVER_SCRIPT = '''
import os, sys
import corvane.bundle as bundle
from corvane.updater import run

if __name__ == "__main__":
    print("parent", os.getpid())
    print("result", bundle.update_minbar(sys.argv[1], bundle.lumenfeed.IDS, False, 2))
'''


def test_real_pool_runs_jobs_in_initialised_workers_and_survives_a_failing_job(tmp_path):
    (tmp_path / "lumenfeed.py").write_text(FAKE_CLIENT)
    (tmp_path / "driver.py").write_text(DRIVER_SCRIPT)
    log = tmp_path / "client.log"
    env = dict(os.environ, FAKE_CLIENT_LOG=str(log),
               PYTHONPATH=os.pathsep.join([str(tmp_path)] + sys.path))
    result = subprocess.run([sys.executable, str(tmp_path / "driver.py"), str(tmp_path / "bundle")],
                            capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    out = dict(line.split(" ", 1) for line in result.stdout.splitlines() if line.startswith(("parent", "result")))
    assert out["result"] == "None"
    assert "licence notice" not in result.stderr

    entries = [line.split() for line in log.read_text().splitlines()]
    inits = [int(e[1]) for e in entries if e[0] == "init"]
    jobs = {e[2]: (int(e[1]), e[3]) for e in entries if e[0] == "job"}
    assert sorted(jobs) == sorted(["ST001", "ST002", "ST003", "ST004", "ST005", "BAD"])
    # Every job ran in a worker that had run the initialiser once before it.
    assert len(inits) == len(set(inits)) <= 2
    assert int(out["parent"]) not in inits
    assert all(pid in inits and ready == "True" for pid, ready in jobs.values())
    # The good jobs finished despite the failing one.
    written = sorted(p.name for p in (tmp_path / "bundle" / "equities").iterdir())
    assert written == ["ST001.h5", "ST002.h5", "ST003.h5", "ST004.h5", "ST005.h5"]


# ---- one pipeline ------------------------------------------------------------

class DoneExecutor:
    """Each job done at once without running, its file up to date."""

    def submit(self, fn, order_book_id, *args):
        future = concurrent.futures.Future()
        future.set_result(outcomes.Outcome(order_book_id, "up_to_date"))
        return future


@pytest.mark.parametrize("kind, driver", [("minbar", "update_minbar"), ("tick", "update_tick")])
def test_the_drivers_and_the_reporting_run_select_and_announce_alike(client, recorder, capsys, tmp_path, kind,
                                                                    driver):
    words = ["ST002", "QZ", "nosuchword", "ET001"]
    getattr(bundle, driver)(str(tmp_path / "module"), words, True, 2)
    module_lines = echoed(recorder.events)
    recorder.events.clear()
    silent = run.update(kind, str(tmp_path / "quiet"), words, with_derivatives=True, executor=DoneExecutor())
    assert recorder.events == [] and silent.unresolved == ["nosuchword"]
    assert capsys.readouterr() == ("", "")
    report = run.update(kind, str(tmp_path / "run"), words, with_derivatives=True, executor=DoneExecutor(),
                        echo=recorder.echo)
    # The run names its client first; then both print the same lines, the
    # run adding the whole vocabulary in English after the module's message.
    run_lines = echoed(recorder.events)
    assert run_lines[1:] == module_lines[:1] + [run_lines[2]] + module_lines[1:] and len(module_lines) == 2
    assert run_lines[2].startswith("words select") and "all" in run_lines[2]
    assert "nosuchword" in module_lines[0] and module_lines[1].startswith("开始更新 {} ".format(len(report.outcomes)))
    assert report.unresolved == ["nosuchword"]
    assert (tmp_path / "run").is_dir() == (kind == "tick")


def echoed(events):
    return [event[1][0] for event in events if event[0] == "echo"]


def test_a_pool_failure_reaches_the_module_caller_as_raised(recorder, monkeypatch, tmp_path):
    # The module leaves its selection's identifiers as they are; those
    # that do not sort must not turn the pool's failure into another one.
    monkeypatch.setattr(bundle, "_merge_tags", lambda tags, with_derivatives: {1, "ST001"})
    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor", failing_pool)
    with pytest.raises(OSError, match="cannot start a worker"):
        bundle.update_minbar(str(tmp_path), ["ST001"], False, 2)


def failing_pool(**kwargs):
    raise OSError("cannot start a worker")


def test_the_platform_is_built_once_reads_the_module_at_use_and_travels_by_name(client, recorder):
    import pickle

    from corvane.updater import host

    platform = host.platform()
    assert platform is host.platform() is bundle._PLATFORM
    # Rebound by the fixtures after the platform was built: obeyed.
    assert platform.client is client and platform.echo == recorder.echo
    assert platform.pool == recorder.pool_class and platform.tag_map is bundle.TAG_MAP
    assert pickle.loads(pickle.dumps(platform)) is platform
