"""Guarantees of the framework's progress pool: where jobs run, how many at once, what is reported."""
import os
import time

import pytest

from vesper.data import bundle as pool_module
from vesper.data.bundle import ProgressedProcessPoolExecutor


# Jobs and initializers travel to the workers by reference, so they live at module level.

def job_pid(value):
    return os.getpid(), value * 2


def record_init(log_dir):
    with open(os.path.join(log_dir, "init-%d" % os.getpid()), "a") as f:
        f.write("x")


def failing_init():
    raise RuntimeError("client refused")


def timed_job(log_dir, number):
    start = time.monotonic()
    time.sleep(0.15)
    with open(os.path.join(log_dir, "job-%d" % number), "w") as f:
        f.write("%d %r %r" % (os.getpid(), start, time.monotonic()))


def wait_for_file(path):
    deadline = time.monotonic() + 20
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise TimeoutError(path)
        time.sleep(0.01)
    return "seen"


def fail_odd(value):
    if value % 2:
        raise ValueError("odd value %d" % value)
    return value


def test_jobs_run_in_workers_and_initializer_runs_once_per_worker(tmp_path):
    with ProgressedProcessPoolExecutor(max_workers=2, initializer=record_init, initargs=(str(tmp_path),)) as pool:
        futures = [pool.submit(job_pid, i) for i in range(30)]
    results = [future.result() for future in futures]
    assert [value for _, value in results] == [2 * i for i in range(30)]
    workers = {pid for pid, _ in results}
    assert os.getpid() not in workers and 1 <= len(workers) <= 2
    inits = {name: (tmp_path / name).read_text() for name in os.listdir(tmp_path)}
    assert set(inits) >= {"init-%d" % pid for pid in workers}
    assert set(inits.values()) == {"x"}  # once in each worker


def test_at_most_max_workers_at_once(tmp_path):
    with ProgressedProcessPoolExecutor(max_workers=2) as pool:
        for number in range(6):
            pool.submit(timed_job, str(tmp_path), number)
    runs = [tuple(float(x) for x in (tmp_path / ("job-%d" % n)).read_text().split()) for n in range(6)]
    assert len({pid for pid, _, _ in runs}) <= 2
    events = sorted([(start, 1) for _, start, _ in runs] + [(end, -1) for _, _, end in runs])
    running = peak = 0
    for _, step in events:
        running += step
        peak = max(peak, running)
    assert peak <= 2


def test_submit_returns_at_once_and_the_scope_waits(tmp_path):
    flag = tmp_path / "go"
    with ProgressedProcessPoolExecutor(max_workers=1) as pool:
        future = pool.submit(wait_for_file, str(flag))
        assert not future.done()  # the job is blocked until the flag exists
        flag.write_text("")
    assert future.done() and future.result() == "seen"


def test_failed_jobs_are_reported_on_stderr_not_raised(capsys):
    with ProgressedProcessPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(fail_odd, value) for value in range(16)]
    err = capsys.readouterr().err
    assert sum(1 for future in futures if future.exception() is not None) == 8
    assert "8 of 16 jobs failed" in err
    assert err.count("Traceback (most recent call last)") == pool_module.FULL_REPORTS
    assert "... and 3 more" in err
    for value in range(1, 16, 2):  # every failed job named with its arguments and error
        assert "fail_odd(%d)" % value in err and "odd value %d" % value in err
    assert "16/16" in err  # the progress bar counted every finished job


def test_failing_initializer_fails_the_jobs_without_hanging(capsys):
    with ProgressedProcessPoolExecutor(max_workers=2, initializer=failing_init) as pool:
        futures = [pool.submit(job_pid, i) for i in range(4)]
    for future in futures:
        assert isinstance(future.exception(), pool_module.WorkerInitializerError)
    err = capsys.readouterr().err
    assert "4 of 4 jobs failed" in err and "client refused" in err and "failing_init" in err


def test_exit_does_not_swallow_an_exception_raised_in_the_scope():
    with pytest.raises(KeyError):
        with ProgressedProcessPoolExecutor() as pool:
            pool.submit(job_pid, 1)
            raise KeyError("stop")
