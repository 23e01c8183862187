"""The time limits of a job: a `Deadline` for one on a fetch thread, which
no signal reaches, and the alarm (`_deadline`) for one on its worker's
main thread.

Apart from the jobs because both sides of a thread's limit use it: the
job asks its Deadline before it writes, and the batch's waiter gives the
job up once it is past its time.
"""
import contextlib
import signal
import sys
import threading
import time
import traceback

from corvane import errors


class Deadline:
    """The time limit of one job on a fetch thread, where no alarm can reach it.

    It counts from the job's start, its retries included.  A thread cannot be
    stopped, so the job asks here before it writes and before each commit of
    its file, and the batch's waiter gives the job up once it is past its time
    and not committing (a commit on a local file ends soon).  A job given up
    commits nothing: when its call returns at last, its file's `with` ends by
    JobTimeout and the engine rolls it back.
    """

    # How often the waiter looks again at a job committing past its time.
    COMMIT_POLL_SECONDS = 0.02

    def __init__(self, seconds):
        self.seconds = seconds
        self.started = None
        self.thread = None
        # The Outcome of the job given up, as its own failure would read (set by the job).
        self.settle = None
        self._state = "waiting"     # running, committing, kept (committed for good), given up
        self._lock = threading.Lock()

    def start(self):
        with self._lock:
            if self.started is None:
                self.started, self.thread, self._state = time.monotonic(), threading.current_thread(), "running"

    def left(self):
        """Seconds left (negative: past); the whole time before the job starts."""
        return self.seconds if self.started is None else self.seconds - (time.monotonic() - self.started)

    def error(self):
        return errors.JobTimeout("gave up after --timeout {:g} s (the client or the file took longer)"
                                 .format(self.seconds))

    def check(self):
        """Raise JobTimeout when the job is past its time (it is then given up)."""
        with self._lock:
            self._expire()

    def _expire(self):
        if self._state == "running" and self.left() <= 0:
            self._state = "given up"
        if self._state == "given up":
            raise self.error()

    @contextlib.contextmanager
    def committing(self, final=True):
        """The scope of a commit of the job's file: refused past its time, never given up within.

        `final`: the job's last commit; once it is done the job's outcome is its own.
        """
        with self._lock:
            self._expire()
            self._state = "committing"
        try:
            yield
        except BaseException:
            with self._lock:
                self._state = "running"
            raise
        with self._lock:
            self._state = "kept" if final else "running"

    def give_up(self):
        """Whether the job is given up: past its time and not committing."""
        with self._lock:
            with contextlib.suppress(errors.JobTimeout):
                self._expire()
            return self._state == "given up"

    def wake(self):
        """Seconds until the waiter should look at this job again; None: only when it ends."""
        with self._lock:
            if self._state in ("waiting", "running"):
                # Not begun: it cannot end before its whole time from now.
                return max(self.left(), 0.0)
            return self.COMMIT_POLL_SECONDS if self._state == "committing" else None

    def where(self):
        """The stack of the job's thread now: where it hangs."""
        frame = sys._current_frames().get(self.thread.ident)
        return "".join(traceback.format_stack(frame)) if frame is not None else ""


@contextlib.contextmanager
def _deadline(seconds):
    """Raise JobTimeout in the job when it runs past `seconds` (None: never).

    The job runs on the main thread of its pool worker, so an alarm signal
    interrupts even a client blocked in a system call.  The exception leaves
    the job's file as any failure does: a minute-bar file rolled back to
    how it was, a tick file keeping the whole days written before.
    """
    if not seconds:
        yield
        return
    if threading.current_thread() is not threading.main_thread():
        raise RuntimeError("--timeout needs the job on its worker's main thread (a process pool)")

    def expire(signum, frame):
        raise errors.JobTimeout("gave up after --timeout {:g} s (the client or the file took longer)"
                                .format(seconds))

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
