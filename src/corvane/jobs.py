"""The jobs of an update run: one instrument's file brought up to date, in a worker.

Each job is a module-level function, so that any executor can ship it to
its workers by reference, and returns an `Outcome`: the rows its file held
before and after, the seconds and attempts taken and, on failure, the
exception's precise class, message and traceback.
"""
import concurrent.futures
import contextlib
import functools
import os
import random
import signal
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
           "NotStarted"]

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
               listed=NOTHING_LISTED):
    """Bring one minute-bar file up to date; its Outcome.

    `services`: the platform (default: as `corvane.bundle` binds it).
    `marks`: a directory where each job leaves a mark as it starts, so that
    a job the cluster runs again after its worker died knows it.
    `listed`: what the parent knows of the instrument (a Listed).
    """
    return _job(order_book_id, path, "minbar", minbar.append_h5, services, options, marks, listed)


def tick_job(order_book_id, path, services=None, options=UpdateOptions(), marks=None,
             listed=NOTHING_LISTED):
    """Bring one tick file up to date; its Outcome."""
    return _job(order_book_id, path, "tick", tick.append_h5_tick, services, options, marks, listed)


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


def _job(order_book_id, path, kind, store, services, options, marks, listed):
    global _interrupted
    if _interrupted:
        raise NotStarted(order_book_id)
    services = host.platform() if services is None else services
    start = start_date(options, listed)
    keywords = store_keywords(kind, options, listed)

    def append(counts):
        # The store takes the file's line in the version while it still holds the file.
        return store(services, order_book_id, path, None, start, formats.MAX_END_DATE, counts=counts,
                     entry=versions.ENABLED, **keywords)

    try:
        rerun = started_before(marks, order_book_id)
        locate = functools.partial(formats.locate, path, order_book_id, kind)
        outcome = _with_state(*_attempts(order_book_id, locate, append, options), path, kind, locate)
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
    pool = _fetch_pool(threads)
    futures = []
    try:
        for fn, order_book_id, *arguments in calls:
            futures.append((order_book_id, pool.submit(fn, order_book_id, *arguments)))
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
    outcomes = [_settled(order_book_id, future) for order_book_id, future in futures]
    return outcomes + [interrupted_outcome(order_book_id) for _, order_book_id, *_ in calls[len(futures):]]


def _wait_all(futures):
    concurrent.futures.wait([future for _, future in futures])


# The fetch threads of each thread that runs batches (a process pool
# worker's one; a threaded executor's several, each with its own as before):
# (count, executor), made at its first batch.
_fetch_threads = threading.local()


def _forget_fetch_threads():
    """In a forked child: the parent's threads did not come along."""
    global _fetch_threads
    _fetch_threads = threading.local()


os.register_at_fork(after_in_child=_forget_fetch_threads)


def _fetch_pool(threads):
    kept = getattr(_fetch_threads, "pool", None)
    if kept is None or kept[0] != threads:
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


def _attempts(order_book_id, locate, append, options):
    """(the job's Outcome, whether its store gave the file's entry).  The counts
    come from the store's own open of the file, so that a job opens its file
    once.  Only a failed attempt, which may not have reached its file, has
    the file read again."""
    started = time.monotonic()
    try:
        workers.check_set_up()
    except errors.WorkerSetupError as exc:
        return failed(order_book_id, exc, traceback.format_exc(), None, None, 0, 0.0), False
    try:
        existed = locate() is not None
    except (OSError, ValueError, TypeError):
        existed = True     # read as `held` reads it: unreadable, and the job says why
    before = None
    attempts = 0
    while True:
        attempts += 1
        # The store tells "before" here as soon as it has opened the file, even if it then fails.
        counts = {}
        try:
            with _deadline(options.timeout):
                given = append(counts)
            break
        except Exception as exc:
            before = _first(before, counts, existed, locate)
            if attempts > options.retries or not healable(exc):
                return failed(order_book_id, exc, traceback.format_exc(), before,
                              held(locate), attempts, time.monotonic() - started), False
        # Safe to repeat: a failed job leaves its file as it was (a tick
        # file keeps the whole days written before the failure) and the
        # next attempt starts from what the file holds.
        time.sleep(backoff_delay(attempts, options.backoff))
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
