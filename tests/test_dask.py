"""Updates on a Dask cluster: one LocalCluster of two worker processes for the module."""
import os
import signal
import subprocess
import sys
import threading
import time

import dask
import distributed
import h5py
import pytest

import corvane.bundle as bundle
from corvane.history import layout as history
from corvane.updater import run

# Process-level: left out by `make test-fast`, run by `make test`.
pytestmark = pytest.mark.slow

DEMO_ASOF = "20240726"
# Small histories at DEMO_ASOF, and two twenty-year stocks for a job long
# enough to kill its worker in the middle.
SMALL = ["10003.HBX", "IX002.HBX", "HXI2501.QFX"]
LONG = ["10001.HBX", "10002.HBX"]


@pytest.fixture(scope="module")
def cluster():
    saved = {name: os.environ.get(name) for name in ("LUMENFEED_ASOF", "LUMENFEED_TICK_DAYS")}
    # The workers inherit the demo market's clock from this process.
    os.environ.update(LUMENFEED_ASOF=DEMO_ASOF, LUMENFEED_TICK_DAYS="2")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as local, \
            distributed.Client(local) as client:
        client.wait_for_workers(2)
        yield client
    for name, value in saved.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


@pytest.fixture
def demo(cluster):
    bundle.init_lumenfeed_with_warnings_catch()
    return cluster.scheduler.address


def records(path):
    """{(file relative to path, dataset): records as bytes} of every instrument file under `path`."""
    found = {}
    for root, directories, files in os.walk(path):
        # The root's history is not an instrument file: its manifests are no HDF5.
        directories[:] = [name for name in directories if name != history.HIDDEN]
        for name in files:
            with h5py.File(os.path.join(root, name), "r") as h5:
                relative = os.path.relpath(os.path.join(root, name), path)
                found.update({(relative, key): h5[key][:].tobytes() for key in h5})
    return found


def test_records_equal_the_process_pool_and_a_failed_job_is_reported(demo, tmp_path):
    pool_path, dask_path = tmp_path / "pool", tmp_path / "dask"
    words = SMALL + ["HXI"]  # the futures symbol brings its other contracts
    by_pool = run.update("minbar", str(pool_path), words, jobs=2)
    # A directory where one file must go.
    (dask_path / "equities" / "IX002.HBX.h5").mkdir(parents=True)
    by_dask = run.update("minbar", str(dask_path), words, scheduler=demo)

    assert [o.order_book_id for o in by_dask.outcomes] == [o.order_book_id for o in by_pool.outcomes]
    assert by_pool.exit_status == 0 and by_dask.exit_status == 1
    (failed,) = by_dask.failed
    assert failed.order_book_id == "IX002.HBX" and failed.error_type == "NotBundleFileError"
    assert "not a regular file" in failed.error_message and "Traceback" in failed.traceback
    expected = {key: value for key, value in records(pool_path).items() if "IX002" not in key[0]}
    os.rmdir(dask_path / "equities" / "IX002.HBX.h5")
    assert records(dask_path) == expected
    for a, b in zip(by_pool.outcomes, by_dask.outcomes):
        if b.status != "failed":
            assert (a.status, a.after) == (b.status, b.after)


def test_the_command_takes_its_scheduler_from_the_environment(demo, tmp_path):
    env = dict(os.environ, CORVANE_SCHEDULER=demo)
    command = os.path.join(os.path.dirname(sys.executable), "corvane")
    result = subprocess.run([command, "update-tick", str(tmp_path / "tick"), SMALL[0], "--durable"],
                            capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    assert "Dask dashboard at http" in result.stdout
    assert result.stdout.splitlines()[-1].startswith("corvane: 1 instruments: 1 new, ")
    with h5py.File(tmp_path / "tick" / (SMALL[0] + ".h5"), "r") as h5:
        assert len(h5) == 2


def writing(directory):
    return directory.is_dir() and any(name.startswith(".") for name in os.listdir(directory))


def test_a_worker_killed_mid_run_leaves_the_records_of_a_clean_run(demo, cluster, tmp_path):
    clean = run.update("minbar", str(tmp_path / "clean"), LONG, scheduler=demo)
    assert clean.exit_status == 0
    pids = cluster.run(os.getpid)
    killed = []

    def kill_a_busy_worker():
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not killed:
            busy = [worker for worker, keys in cluster.processing().items() if keys]
            # The sign of a job into its write: its temporary file beside.
            if busy and writing(tmp_path / "killed" / "equities"):
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed.append(busy[0])
            time.sleep(0.05)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    report = run.update("minbar", str(tmp_path / "killed"), LONG, scheduler=demo)
    killer.join()
    assert killed, "no worker was busy"
    assert report.exit_status == 0, report.summary(verbose=True)
    # The job Dask ran again knows its first worker died.
    assert sum(outcome.worker_lost for outcome in report.outcomes) == 1
    assert records(tmp_path / "killed") == records(tmp_path / "clean")
    # The dead writer's temporary file is gone too.
    assert not [name for name in os.listdir(tmp_path / "killed" / "equities") if name.startswith(".")]
    cluster.wait_for_workers(2)


def test_a_path_a_worker_cannot_see_is_refused_before_any_job(demo, cluster, tmp_path):
    path = str(tmp_path / "minbar")
    hidden = os.path.abspath(path)
    blind = sorted(cluster.scheduler_info()["workers"])[0]

    def hide(unhide=False):
        # In one worker: the directory is not there.
        import os.path as osp
        if unhide:
            osp.isdir = osp._corvane_isdir
        else:
            osp._corvane_isdir = osp.isdir
            osp.isdir = lambda name: False if name == hidden else osp._corvane_isdir(name)

    cluster.run(hide, workers=[blind])
    try:
        with pytest.raises(run.SetupRefused) as refused:
            run.update("minbar", path, SMALL, scheduler=demo)
    finally:
        cluster.run(hide, True, workers=[blind])
    message = str(refused.value)
    assert "1 of 2 workers" in message and blind in message and "no directory" in message
    # Nothing of the refused run is left behind, not even the directory it made.
    assert not os.path.exists(path)


def test_a_failing_worker_initialiser_fails_its_jobs_naming_it(demo, cluster, tmp_path):
    def client_warning_is_an_error(undo=False):
        # In each worker: the client's start-up warning raises.
        import warnings
        if undo:
            warnings.filters[:] = [f for f in warnings.filters if f[1] is None or "no account" not in f[1].pattern]
        else:
            warnings.filterwarnings("error", message=".*no account")

    cluster.run(client_warning_is_an_error)
    try:
        report = run.update("minbar", str(tmp_path), SMALL, scheduler=demo)
    finally:
        cluster.run(client_warning_is_an_error, True)
    assert [o.status for o in report.outcomes] == ["failed"] * len(SMALL)
    for outcome in report.outcomes:
        assert outcome.error_type == "WorkerSetupError"
        assert "init_lumenfeed_with_warnings_catch failed" in outcome.error_message
        assert "no account" in outcome.error_message
    assert report.exit_status == 1
    assert os.listdir(tmp_path) == []


def test_a_local_cluster_forks_quiet_workers_and_leaves_the_environment_as_it_was(monkeypatch):
    from corvane.updater import cluster as dask_cluster
    # Under the spawn method a worker would import the module afresh, without this.
    monkeypatch.setattr(dask_cluster, "made_in_the_parent", os.getpid(), raising=False)
    monkeypatch.delenv("PYTHONHASHSEED", raising=False)
    before = dict(os.environ)

    def seen_in_worker():
        import dask
        from corvane.updater import cluster
        return (getattr(cluster, "made_in_the_parent", None),
                dask.config.get("distributed.worker.profile.enabled"))

    with dask_cluster._client("local:2") as client:
        seen = client.run(seen_in_worker)
    forked = os.getpid() if sys.platform.startswith("linux") else None
    assert list(seen.values()) == [(forked, False)] * 2
    assert dict(os.environ) == before
    assert dask.config.get("distributed.worker.multiprocessing-method") == "spawn"
