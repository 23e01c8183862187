"""The jobs of an update run: one instrument's file brought up to date, in a worker.

Each job is a module-level function, so that any executor can ship it to
its workers by reference, and returns an `Outcome`: the rows its file held
before and after, the seconds and attempts taken and, on failure, the
exception's precise class, message and traceback.
"""
import concurrent.futures
import contextlib
import functools
import multiprocessing
import os
import random
import signal
import sys
import threading
import time
import traceback
from typing import NamedTuple, Optional

from corvane import _engine, errors, formats, host, minbar, tick, versions, workers
from corvane.formats import DATA, INDEX
from corvane.options import BACKOFF_SECONDS, UpdateOptions
# Held is the stores' own count; callers have found it here.
from corvane.stores import Held, Stored

__all__ = ["Outcome", "Held", "Listed", "batch_job", "start_date", "store_keywords", "UNREADABLE", "minbar_job", "tick_job", "healable", "backoff_delay",
           "NotStarted", "Deadline"]

# Failures that a repeat cannot heal: the file, the identifier or the
# records are wrong, not the moment.  A record type or stored layout that
# does not fit (TypeError), an unsafe identifier or a value that does not fit
# its field (ValueError), missing columns (KeyError), a type the bundle does
# not store (NotImplementedError), a file that is no bundle file (not a
# regular file, empty, not HDF5) and one whose HDF5 structures are damaged.
# Anything else (the client, a file busy with another writer, a full disk, an
# I/O error) is tried again.
UNHEALABLE_TYPES = (TypeError, ValueError, KeyError, NotImplementedError,
                    errors.NotBundleFileError, errors.DamagedFileError)

# Set in a worker once Ctrl-C reached it: jobs already handed to it start
# no more.
_interrupted = False


def _note_interrupted():
    global _interrupted
    _interrupted = True


workers.hand_interrupts_to(__name__, _note_interrupted)


class NotStarted(KeyboardInterrupt):
    """A job handed to a worker after Ctrl-C reached it; it touched nothing."""


UNREADABLE = Held(None, None)


class Listed(NamedTuple):
    """What the run's parent knows of an instrument before its job runs.

    `first_from`: YYYYMMDD its file was first filled from (the first-fill
    ledger), None when unrecorded.  `ins_type` and `delisted` (YYYYMMDD or
    None): as the client's listing has them.
    """
    first_from: Optional[int] = None
    ins_type: object = None
    delisted: Optional[int] = None


NOTHING_LISTED = Listed()


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


class Outcome(NamedTuple):
    """What one job did to one instrument's file."""
    order_book_id: str
    status: str
    before: Optional[Held] = None   # None: there was no file
    after: Optional[Held] = None
    attempts: int = 0
    seconds: float = 0.0
    error_type: Optional[str] = None     # the exception's precise class
    error_message: Optional[str] = None
    traceback: Optional[str] = None
    # A worker died under the job (the job was run again elsewhere, or failed for it).
    worker_lost: bool = False
    # The error on one line, for the closing summary (None: the message's first line).
    error_brief: Optional[str] = None
    # YYYYMMDD of the stored days the job replaced with the client's newer answer.
    revised: tuple = ()
    # The file as the job left it, for the run's version (`corvane.versions`); None when unchanged.
    state: Optional[dict] = None

    @property
    def error(self):
        if self.error_type is None:
            return None
        return "{}: {}".format(self.error_type, self.error_message)

    @property
    def rows_added(self):
        before = self.before.rows if self.before else 0
        after = self.after.rows if self.after else 0
        return max(after - before, 0) if None not in (before, after) else 0


def minbar_job(order_book_id, path, services=None, options=UpdateOptions(), marks=None,
               listed=NOTHING_LISTED, deadline=None):
    """Bring one minute-bar file up to date; its Outcome.

    `services`: the platform (default: as `corvane.bundle` binds it).
    `marks`: a directory where each job leaves a mark as it starts, so that
    a job the cluster runs again after its worker died knows it.
    `listed`: what the parent knows of the instrument (a Listed).
    `deadline`: a Deadline for a job on a fetch thread (None: the alarm of
    `options.timeout`, on the main thread).
    """
    return _job(order_book_id, path, "minbar", minbar.append_h5, services, options, marks, listed, deadline)


def tick_job(order_book_id, path, services=None, options=UpdateOptions(), marks=None,
             listed=NOTHING_LISTED, deadline=None):
    """Bring one tick file up to date; its Outcome."""
    return _job(order_book_id, path, "tick", tick.append_h5_tick, services, options, marks, listed, deadline)


def store_keywords(kind, options, listed):
    """The store's keywords for `options` and `listed`: only those that differ
    from its defaults, so a plain run calls it exactly as the module's own jobs do."""
    keywords = {"durable": True} if options.durable else {}
    if listed.delisted is not None:
        keywords["delisted"] = listed.delisted
    if kind == "minbar" and listed.ins_type is not None:
        keywords["ins_type"] = listed.ins_type
    if options.revisit:
        keywords["revisit"] = options.revisit
    return keywords


def start_date(options, listed):
    """Where an empty file is filled from: --since, else its first run's start, else the bundle's first date."""
    if options.since is not None:
        return options.since
    return formats.MIN_START_DATE if listed.first_from is None else listed.first_from


def _job(order_book_id, path, kind, store, services, options, marks, listed, deadline=None):
    global _interrupted
    if _interrupted:
        raise NotStarted(order_book_id)
    services = host.platform() if services is None else services
    start = start_date(options, listed)
    keywords = store_keywords(kind, options, listed)
    if deadline is not None:
        keywords["deadline"] = deadline

    def append(counts):
        # The store takes the file's line in the version while it still holds the file.
        return store(services, order_book_id, path, None, start, formats.MAX_END_DATE, counts=counts,
                     entry=versions.ENABLED, **keywords)

    try:
        rerun = started_before(marks, order_book_id)
        locate = functools.partial(formats.locate, path, order_book_id, kind)
        finish = functools.partial(_with_state, taken=False, path=path, kind=kind, locate=locate)
        outcome = _with_state(*_attempts(order_book_id, locate, append, options, deadline, finish),
                              path, kind, locate)
        return outcome._replace(worker_lost=True) if rerun else outcome
    except KeyboardInterrupt:
        _interrupted = True
        raise


def _with_state(outcome, taken, path, kind, locate):
    """`outcome` carrying the manifest entry of its file, when it changed it.

    `taken`: the store gave the entry (in `outcome.state`), taken while it
    held the file.  A job that failed, or a store that gives none (a
    stand-in's), has its file read now, after it was let go.
    """
    revised = outcome.revised
    if taken or not versions.ENABLED or outcome.after is None or (outcome.after == outcome.before and not revised):
        return outcome
    try:
        return outcome._replace(state=versions.job_state(path, locate(), kind, outcome.before, outcome.after,
                                                         {"revised": list(revised)} if revised else None))
    except (OSError, ValueError, TypeError):
        return outcome      # an unreadable file: the job's own outcome says why


def batch_job(calls, threads):
    """The Outcomes of `calls` [(job, order_book_id, *arguments)], `threads` at a time.

    Each job works on its own file; the client's calls wait without the
    interpreter, so `threads` instruments' round trips overlap in one
    process, and at most `threads` instruments' data are held at once.  The
    threads stay for the worker's next batch.  One thread: the jobs one
    after another on this thread, which a deadline's alarm can interrupt.
    After Ctrl-C the rest are reported interrupted, not started; what had
    ended keeps its own outcome.
    """
    if threads <= 1:
        return _in_turn(calls)
    global _interrupted
    deadlines = [_deadline_of(call) for call in calls]
    futures = []
    given_up = {}

    def submit(position, pool):
        fn, order_book_id, *arguments = calls[position]
        extra = {} if deadlines[position] is None else {"deadline": deadlines[position]}
        return order_book_id, pool.submit(fn, order_book_id, *arguments, **extra)

    try:
        pool = _fetch_pool(threads)
        for position in range(len(calls)):
            futures.append(submit(position, pool))
        if any(deadline is not None for deadline in deadlines):
            given_up = _wait_watching(futures, deadlines,
                                      lambda: functools.partial(submit, pool=_fetch_pool(threads, True)))
        else:
            _wait_all(futures)
    except KeyboardInterrupt:
        # Those not yet begun never will, nor will the jobs of batches already
        # handed to this worker.  The batch lasts while its running jobs do,
        # so that the pool kills a worker whose job does not end instead of
        # waiting for it to leave.
        _interrupted = True
        for _, future in futures:
            future.cancel()
        _wait_all(futures)
    outcomes = [given_up[position] if position in given_up else _settled(order_book_id, future)
                for position, (order_book_id, future) in enumerate(futures)]
    return outcomes + [interrupted_outcome(order_book_id) for _, order_book_id, *_ in calls[len(futures):]]


def _deadline_of(call):
    """A Deadline for the job of `call` (as `corvane.run` makes them) when its options set a timeout, else None."""
    options = call[4] if len(call) > 4 else None
    return Deadline(options.timeout) if isinstance(options, UpdateOptions) and options.timeout else None


def _wait_all(futures):
    concurrent.futures.wait([future for _, future in futures])


def _wait_watching(futures, deadlines, resubmit):
    """Wait for the batch's jobs, giving up each past its deadline; {position: Outcome} of those given up.

    A job given up may hang on in its thread, which the pool then lacks: the
    jobs still queued behind it are taken back and handed to a fresh pool
    (`resubmit()` gives the call that hands over one, by position, and gives
    its new (order_book_id, future)).
    """
    given_up = {}
    while True:
        waiting = [position for position, (_, future) in enumerate(futures)
                   if position not in given_up and not future.done()]
        gone = [position for position in waiting if deadlines[position] is not None and deadlines[position].give_up()]
        for position in gone:
            given_up[position] = deadlines[position].settle()
            _left_hanging(deadlines[position].thread)
        queued = [position for position in waiting if position not in given_up] if gone else []
        queued = [position for position in queued if futures[position][1].cancel()]
        if queued:
            hand = resubmit()
            for position in queued:
                futures[position] = hand(position)
        waiting = [position for position in waiting if position not in given_up]
        if not waiting:
            return given_up
        wakes = [deadlines[position].wake() for position in waiting if deadlines[position] is not None]
        wakes = [wake for wake in wakes if wake is not None]
        concurrent.futures.wait([futures[position][1] for position in waiting],
                                timeout=min(wakes) if wakes else None,
                                return_when=concurrent.futures.FIRST_COMPLETED)


# Threads of jobs given up, which may hang in the client for good.
_hanging = []


def _left_hanging(thread):
    if not _hanging and multiprocessing.parent_process() is not None:
        threading._register_atexit(_leave_hanging_threads)
    _hanging.append(thread)


def _leave_hanging_threads():
    """A pool worker's last step: leave at once while a job given up still hangs in its thread.

    The worker joins its threads as it exits, so it, and the run with it,
    would wait for a client call that may never return; every outcome of
    the worker has been handed back by then.
    """
    if any(thread.is_alive() for thread in _hanging):
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()
        os._exit(0)


# The fetch threads of each thread that runs batches (a process pool
# worker's one; a threaded executor's several, each with its own as before):
# (count, executor), made at its first batch.
_fetch_threads = threading.local()


def _forget_fetch_threads():
    """In a forked child: the parent's threads did not come along."""
    global _fetch_threads
    _fetch_threads = threading.local()


os.register_at_fork(after_in_child=_forget_fetch_threads)


def _fetch_pool(threads, fresh=False):
    """This thread's fetch pool of `threads`; `fresh`: a new one (a thread of the old one hangs)."""
    kept = getattr(_fetch_threads, "pool", None)
    if kept is None or kept[0] != threads or fresh:
        if kept is not None:
            kept[1].shutdown(wait=False)
        kept = _fetch_threads.pool = (threads, concurrent.futures.ThreadPoolExecutor(
            threads, thread_name_prefix="corvane-fetch"))
    return kept[1]


def _in_turn(calls):
    outcomes = []
    for fn, order_book_id, *arguments in calls:
        if outcomes and outcomes[-1].status == "interrupted":
            outcomes.append(interrupted_outcome(order_book_id))
            continue
        try:
            outcomes.append(fn(order_book_id, *arguments))
        except KeyboardInterrupt as interrupt:
            outcomes.append(interrupted_outcome(order_book_id, interrupt))
        except Exception as exc:
            outcomes.append(failed(order_book_id, exc, traceback.format_exc(), None, None, 0, 0.0))
    return outcomes


def interrupted_outcome(order_book_id, stop=None):
    """The Outcome of a job Ctrl-C stopped: one attempt when `stop`, what stopped it, found it begun."""
    return Outcome(order_book_id, "interrupted", attempts=int(stop is not None and not isinstance(stop, NotStarted)))


def _settled(order_book_id, future):
    if future.cancelled():
        return interrupted_outcome(order_book_id)
    try:
        return future.result()
    except KeyboardInterrupt as stop:
        return interrupted_outcome(order_book_id, stop)
    except Exception as exc:
        return failed(order_book_id, exc, traceback.format_exc(), None, None, 0, 0.0)


def held(locate):
    """What the file `locate()` names holds; None when there is no file.

    Asked of the engine without a lock or a write.  Minute-bar files count
    their bar records and the days of their index; tick files their days.
    Never raises: a file that cannot be read gives UNREADABLE, and the job
    itself then reports why.
    """
    try:
        name = locate()
        if name is None:
            return None
        lengths = _engine.dataset_lengths(name)
    except (OSError, ValueError, TypeError):
        return UNREADABLE
    if INDEX in lengths or DATA in lengths:
        return Held(lengths.get(DATA, 0), lengths.get(INDEX, 0))
    days = {name: rows for name, rows in lengths.items() if formats.is_day_name(name)}
    return Held(sum(days.values()), len(days))


def started_before(marks, order_book_id):
    """Whether this job had started before in this run (its worker died); marks it started."""
    if not marks:
        return False
    try:
        formats.check_order_book_id(order_book_id)
    except (TypeError, ValueError):
        return False    # the job itself refuses it
    try:
        os.close(os.open(os.path.join(marks, order_book_id), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
    except FileExistsError:
        return True
    return False


def _attempts(order_book_id, locate, append, options, deadline=None, finish=None):
    """(the job's Outcome, whether its store gave the file's entry).  The counts
    come from the store's own open of the file, so that a job opens its file
    once.  Only a failed attempt, which may not have reached its file, has
    the file read again.  `deadline`: the job's Deadline, whose `settle`
    is given the Outcome of the job given up now (through `finish`)."""
    started = time.monotonic()
    # What the job knows so far, also to the Outcome of it given up meanwhile.
    before, counts, existed, attempts = None, {}, True, 0
    if deadline is not None:
        deadline.start()

        def given_up():
            # What the job's own failure would say, read while its thread may still hang.
            return finish(failed(order_book_id, deadline.error(), deadline.where(),
                                 _first(before, counts, existed, locate), held(locate), attempts,
                                 time.monotonic() - started))
        deadline.settle = given_up
    try:
        workers.check_set_up()
    except errors.WorkerSetupError as exc:
        return failed(order_book_id, exc, traceback.format_exc(), None, None, 0, 0.0), False
    try:
        existed = locate() is not None
    except (OSError, ValueError, TypeError):
        existed = True     # read as `held` reads it: unreadable, and the job says why
    while True:
        attempts += 1
        # The store tells "before" here as soon as it has opened the file, even if it then fails.
        counts = {}
        try:
            with _deadline(options.timeout) if deadline is None else contextlib.nullcontext():
                given = append(counts)
            break
        except Exception as exc:
            before = _first(before, counts, existed, locate)
            delay = None if attempts > options.retries or not healable(exc) else \
                backoff_delay(attempts, options.backoff)
            if delay is None or (deadline is not None and deadline.left() <= delay):
                # A deadline with no time for another attempt ends the job with this one's failure.
                return failed(order_book_id, exc, traceback.format_exc(), before,
                              held(locate), attempts, time.monotonic() - started), False
        # Safe to repeat: a failed job leaves its file as it was (a tick
        # file keeps the whole days written before the failure) and the
        # next attempt starts from what the file holds.
        time.sleep(delay)
    before = _first(before, counts, existed, locate)
    after, revised, entry = _left(given, counts, locate)
    status = "updated" if revised else status_of(before, after)
    return Outcome(order_book_id, status, before, after, attempts, time.monotonic() - started,
                   revised=revised, state=entry), isinstance(given, Stored)


def _left(given, counts, locate):
    """(after, revised, entry) of a store's call: as its Stored says, or for a store that
    returns none (a stand-in's) as it counted, else read from the file now."""
    if isinstance(given, Stored) and given.after is not None:
        return given.after, tuple(given.revised), given.entry
    if "after" in counts:
        after = Held(*counts["after"])
    elif "before" in counts:
        after = Held(*counts["before"])     # it left without writing
    else:
        after = held(locate)                # a store that counts nothing
    return after, tuple(counts.get("revised", ())), None


def _first(before, counts, existed, locate):
    """What the file held before the job: known from an earlier attempt, else
    counted by this attempt's open, else (it never opened the file) read now."""
    if before is not None or not existed:
        return before
    if "before" in counts:
        return Held(*counts["before"])
    return held(locate)


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


def failed(order_book_id, exc, worker_traceback, before, after, attempts, seconds):
    """The Outcome of a job that failed with `exc`, named by its precise class
    (a full disk met outside the engine as OutOfSpaceError, as the engine's own)."""
    exc = errors.out_of_space(exc)
    return Outcome(order_book_id, "failed", before, after, attempts, seconds,
                   type(exc).__name__, str(exc), worker_traceback, error_brief=brief(exc))


def brief(error, message=None):
    """`error` on one line: an engine failure as what failed and its root cause.

    The engine gives its failures' parts as attributes; HDF5's chain of
    descriptions down to the cause is for --verbose.  Any other exception, or
    one without a cause, is its `message` (default: its text) up to the first
    line break.
    """
    context, cause = getattr(error, "context", None), getattr(error, "cause", None)
    if isinstance(context, str) and isinstance(cause, str) and cause:
        consequence = getattr(error, "consequence", "")
        return "{} ({}){}".format(context, cause, "; " + consequence if consequence else "")
    return first_line(str(error) if message is None else message)


def first_line(message):
    lines = (message or "").strip().splitlines()
    return lines[0] if lines else ""


def healable(exc):
    """Whether trying the job again may succeed (see UNHEALABLE_TYPES)."""
    return not isinstance(exc, UNHEALABLE_TYPES)


def backoff_delay(attempt, base=BACKOFF_SECONDS):
    """Seconds to wait after failed attempt number `attempt` (1, 2, ...)."""
    # The jitter keeps many jobs failing together on one cause from
    # hitting the client again in the same instant.
    return base * 2 ** (attempt - 1) * random.uniform(0.5, 1.5)


def status_of(before, after):
    if before is None:
        return "new" if after is not None else "up_to_date"
    return "up_to_date" if after == before else "updated"
