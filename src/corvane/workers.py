"""What a worker process keeps between jobs: whether its set-up succeeded.

The executor's worker set-up (`corvane.cluster`) records it and the jobs
(`corvane.run`) read it; neither has to import the other.
"""


class SetupRefused(RuntimeError):
    """The run cannot start where it was asked to (a cluster that cannot see PATH)."""


class WorkerSetupError(RuntimeError):
    """A job was not run because its worker's initialiser had failed."""


# Set in a worker whose set-up failed; its jobs then fail naming the
# initialiser instead of running without a client.
_setup_failure = None


def set_up(initializer):
    """Run the worker initialiser; a failure is kept for the jobs, not raised."""
    global _setup_failure
    try:
        initializer()
        _setup_failure = None
    except Exception as exc:
        _setup_failure = "worker initializer {} failed: {!r}".format(initializer.__name__, exc)


def check_set_up():
    """Refuse to run a job in a worker whose set-up failed."""
    if _setup_failure is not None:
        raise WorkerSetupError(_setup_failure)
