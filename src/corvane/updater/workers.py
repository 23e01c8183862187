"""What a worker process keeps between jobs: whether its set-up succeeded.

The executor's worker set-up (`corvane.updater.cluster`) records it and
the jobs (`corvane.updater.jobs`) read it; neither has to import the other.  A process pool's
worker also leaves with the process that started it (`pool_worker`).
"""
import ctypes
import gc
import os
import signal
import sys
import threading

from corvane.errors import SetupRefused, WorkerSetupError  # noqa: F401  (callers found them here)

__all__ = ["set_up", "check_set_up", "pool_worker", "exit_with_parent", "SetupRefused",
           "WorkerSetupError"]

# prctl(2): the signal this process gets when its parent dies.
PR_SET_PDEATHSIG = 1

# The module whose frames are a job's, and how an idle worker notes Ctrl-C:
# given by the jobs' module (`hand_interrupts_to`), which imports this one.
_jobs_modules = frozenset()
_note_interrupt = None


def hand_interrupts_to(module_names, note):
    """Ctrl-C in a pool worker interrupts frames of `module_names`; an idle worker calls `note()`."""
    global _jobs_modules, _note_interrupt
    _jobs_modules, _note_interrupt = frozenset(module_names), note


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


def pool_worker(initializer, parent_pid):
    """A process pool worker's set-up: die with the parent `parent_pid`, then `initializer()`.

    A parent killed outright (SIGKILL, the OOM killer) never shuts its pool
    down; its workers would sleep on their pipe forever, or finish a job
    nobody will hear of.  A job cut short by this is rolled back by the
    engine's journal when its file is next opened.
    """
    exit_with_parent(parent_pid)
    # A pool of threads (a host's, or a test's) runs this beside its main thread, which keeps Ctrl-C.
    in_process = threading.current_thread() is threading.main_thread()
    if in_process and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _interrupt)
    initializer()
    if in_process:
        # What the set-up made lives as long as the worker: the collector's full passes, which the
        # jobs' objects set off, need not walk it each time.
        gc.freeze()


def _interrupt(signum, frame):
    """Ctrl-C in a pool worker: a job it runs is interrupted; an idle worker notes it.

    Ctrl-C reaches the whole process group.  A worker waiting for its next
    job would die of it, printing a traceback into the run's log and
    breaking the pool, which then ends the other workers' jobs mid-write.
    Noted instead, the jobs already handed to it start none (as after an
    interrupted job); the run shuts the pool down as it ends.
    """
    while frame is not None:
        if frame.f_globals.get("__name__") in _jobs_modules:
            raise KeyboardInterrupt
        frame = frame.f_back
    if _note_interrupt is None:
        raise KeyboardInterrupt
    _note_interrupt()


def exit_with_parent(parent_pid):
    """Have the kernel kill this process when its parent dies (Linux); gone already, leave now."""
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG) failed")
    # The parent may have died before the line above.  (Started by a fork
    # server, the direct parent is that server, which leaves with `parent_pid`.)
    if os.getppid() != parent_pid and not alive(parent_pid):
        os._exit(1)


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True
