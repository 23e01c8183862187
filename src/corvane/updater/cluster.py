"""Running an update's jobs on a Dask cluster.

`executor(scheduler, path, echo, initializer)` connects to a cluster (a scheduler's
address, or "local:N" for N single-threaded worker processes started for
this run), readies every worker with the worker initialiser, checks that
every worker sees PATH as this process does, and yields the client's
concurrent.futures executor: the same job functions, outcomes and retries as
with the process pool.  Dask reruns the job of a worker that died; the
engine's rollback journal makes that safe.
"""
import contextlib
import logging
import os
import sys
import uuid

import dask
import distributed

from corvane.updater import workers
from corvane.errors import SetupRefused

__all__ = ["executor", "WorkerSetup", "local_workers", "check_shared", "probe"]

# How long to wait for the cluster's first worker.
WORKERS_TIMEOUT = 60


class WorkerSetup(distributed.WorkerPlugin):
    """Runs the worker initialiser once on each worker, as the process pool does.

    A failure is kept, not raised: the worker's jobs then fail naming the
    initialiser instead of running without a client.
    """

    # One name: registering it again for the next run sets every worker up again.
    name = "corvane-worker-setup"

    def __init__(self, initializer):
        # A module-level function: it reaches the workers by reference.
        self.initializer = initializer

    def setup(self, worker):
        workers.set_up(self.initializer)


@contextlib.contextmanager
def executor(scheduler, path, echo, initializer):
    """The scope of one run on the cluster `scheduler`; yields its executor.

    `initializer` readies each worker, as the process pool's does.
    """
    with _quiet_client_log(), _client(scheduler) as client:
        echo("corvane: Dask dashboard at {}".format(client.dashboard_link))
        client.register_plugin(WorkerSetup(initializer))
        check_shared(client, path)
        jobs = client.get_executor(pure=False)
        # Cut off from its scheduler, the client cancels what it waits for and
        # tries to reconnect (for distributed.comm.timeouts.connect), then closes.
        jobs.scheduler_lost = lambda: client.status != "running"
        try:
            yield jobs
        finally:
            # Not-started jobs were cancelled by the run; wait for the rest.
            jobs.shutdown(wait=True)


@contextlib.contextmanager
def _quiet_client_log():
    """The client's log of a lost scheduler (tracebacks) kept off: the run says it in one line."""
    log = logging.getLogger("distributed.client")
    level = log.level
    log.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        log.setLevel(level)


@contextlib.contextmanager
def _client(scheduler):
    workers = local_workers(scheduler)
    if workers is None:
        with distributed.Client(scheduler) as client:
            client.wait_for_workers(1, timeout=WORKERS_TIMEOUT)
            yield client
        return
    # One thread per worker: the jobs are processes' work, as in the pool.
    with _local_config(), \
            distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                     dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        client.wait_for_workers(workers, timeout=WORKERS_TIMEOUT)
        yield client


# A cluster started for one run shares the machine with its jobs, so it is
# started and kept the way the process pool is.  On Linux its workers are
# forked from this process, as the pool's are: nothing is imported again, and
# the main thread waits for the cluster while they are made, so no call of
# ours is half-way through in the copy (a worker the nanny starts again after
# a loss is forked while the main thread waits for the jobs).  The cluster's
# own monitors would otherwise wake each process 50 to 100 times a second:
# the statistical profiler is off, the event-loop watchdog slowed, the system
# and memory monitors kept at a pace a dashboard still follows.  The nanny's
# variables for new workers (a malloc setting, one thread for numerical
# libraries) are not the pool's, and would be left set in this process.
LOCAL_CONFIG = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.nanny.pre-spawn-environ": {},
}
# Elsewhere (macOS, Windows) Dask's own start method stands, as the pool's does.
if sys.platform.startswith("linux"):
    LOCAL_CONFIG["distributed.worker.multiprocessing-method"] = "fork"


@contextlib.contextmanager
def _local_config():
    """LOCAL_CONFIG for the scope of a local cluster; the environment as it was after."""
    saved = dict(os.environ)
    try:
        with dask.config.set(LOCAL_CONFIG):
            yield
    finally:
        # The nanny still sets a few variables here for its workers (PYTHONHASHSEED).
        for name in set(os.environ) - set(saved):
            del os.environ[name]
        os.environ.update(saved)


def local_workers(scheduler):
    """N of "local:N"; None for a scheduler's address."""
    if not scheduler.startswith("local:"):
        return None
    text = scheduler[len("local:"):]
    if not text.isdigit() or int(text) < 1:
        raise SetupRefused("--scheduler local:N needs a number of workers N >= 1, not {!r}"
                           .format(text))
    return int(text)


def check_shared(client, path):
    """Refuse a PATH that some worker does not see as the directory this process does."""
    os.makedirs(path, exist_ok=True)
    marker = os.path.join(path, ".corvane-probe-{}".format(uuid.uuid4().hex))
    token = uuid.uuid4().hex
    with open(marker, "w") as out:
        out.write(token)
    try:
        answers = client.run(probe, path, marker, token)
    finally:
        os.remove(marker)
    blind = {worker: problem for worker, problem in sorted(answers.items()) if problem}
    if blind:
        raise SetupRefused(
            "{} must be the same directory on every worker (a shared file system); {} of {} "
            "workers cannot use it: {}".format(
                path, len(blind), len(answers),
                "; ".join("{} ({})".format(worker, problem) for worker, problem in blind.items())))


def probe(path, marker, token):
    """On a worker: why it cannot use `path` as the run's directory; None when it can."""
    if not os.path.isdir(path):
        return "no directory {}".format(path)
    if not os.access(path, os.W_OK | os.X_OK):
        return "{} is not writable".format(path)
    try:
        with open(marker) as seen:
            if seen.read() == token:
                return None
    except OSError:
        pass
    return "{} is another directory there: the run's marker file is missing".format(path)
