"""Updates that report what each instrument did.

`update` goes through the update pipeline the drivers of `corvane.bundle`
use (`corvane.drivers`): it selects instruments, prints the same start line,
runs one job per instrument (in the framework's process
pool, or on a Dask cluster) and returns a `Report`: for each instrument the
rows its file held before and after, the seconds and attempts taken and, on
failure, the exception with the worker's traceback.

    from corvane import run
    report = run.update("minbar", "bundle/minbar", ["stock"], jobs=4)
    print(report)                  # the closing summary
    sys.exit(report.exit_status)   # 0, 1 or 130

The jobs are module-level functions of this module, so that any executor
can ship them to its workers by reference.
"""
import concurrent.futures
import contextlib
import functools
import importlib
import json
import os
import random
import shutil
import signal
import sys
import threading
import time
import traceback
import uuid
from typing import NamedTuple, Optional

from corvane import _engine, bundle_files, drivers, errors, formats, market_client, selection, workers
from corvane.formats import DATA, INDEX
from corvane.workers import SetupRefused

COMMANDS = {"minbar": "update-minbar", "tick": "update-tick"}
# "not_run": selected, but the run failed outside the jobs before reaching it.
# "lost": handed to a Dask cluster whose scheduler was lost before the job's
# outcome came back (its file is whole: as before the job, or after it).
STATUSES = ("new", "updated", "up_to_date", "failed", "interrupted", "not_run", "lost")
# First wait before a retry, doubled at each further attempt, with jitter.
BACKOFF_SECONDS = 1.0
# Failures shown with their worker's traceback under --verbose.
FULL_TRACEBACKS = 5
# Without a terminal, a progress line at most this often.
PROGRESS_SECONDS = 30.0

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
# The engine's failures are reported under the name callers have always
# seen: its classes are for deciding, the message says what happened.
ENGINE_OS_ERRORS = (errors.FileError, errors.IoError)

# Set in a worker once Ctrl-C reached it: jobs already handed to it start
# no more.
_interrupted = False


class NothingSelected(ValueError):
    """The words select no instrument at all."""

    def __init__(self, message, unresolved=()):
        super().__init__(message)
        self.unresolved = sorted(unresolved)


class NotStarted(KeyboardInterrupt):
    """A job handed to a worker after Ctrl-C reached it; it touched nothing."""


class Held(NamedTuple):
    """What an instrument's file holds: rows (ticks: over all days) and days."""
    rows: Optional[int]
    days: Optional[int]


UNREADABLE = Held(None, None)


class Outcome(NamedTuple):
    """What one job did to one instrument's file."""
    order_book_id: str
    status: str
    before: Optional[Held] = None   # None: there was no file
    after: Optional[Held] = None
    attempts: int = 0
    seconds: float = 0.0
    error_type: Optional[str] = None
    error_message: Optional[str] = None
    traceback: Optional[str] = None
    # A worker died under the job (the job was run again elsewhere, or failed for it).
    worker_lost: bool = False

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


# --- the jobs (run in the workers) --------------------------------------------

def minbar_job(order_book_id, path, min_start_date=None, retries=2, durable=False,
               backoff=BACKOFF_SECONDS, timeout=None, marks=None):
    """Bring one minute-bar file up to date; its Outcome.

    `marks`: a directory where each job leaves a mark as it starts, so that
    a job the cluster runs again after its worker died knows it.
    """
    from corvane import bundle
    start = bundle.MIN_START_DATE if min_start_date is None else min_start_date
    return _job(order_book_id, lambda: formats.locate(path, order_book_id, "minbar"),
                functools.partial(bundle._store_minbar, **store_options(durable)),
                (order_book_id, path, None, start, formats.MAX_END_DATE), retries, backoff, timeout, marks)


def tick_job(order_book_id, path, min_start_date=None, retries=2, durable=False,
             backoff=BACKOFF_SECONDS, timeout=None, marks=None):
    """Bring one tick file up to date; its Outcome."""
    from corvane import bundle
    start = bundle.MIN_START_DATE if min_start_date is None else min_start_date
    return _job(order_book_id, lambda: formats.locate(path, order_book_id, "tick"),
                functools.partial(bundle._store_tick, **store_options(durable)),
                (order_book_id, path, None, start, formats.MAX_END_DATE), retries, backoff, timeout, marks)


def store_options(durable):
    """The per-run options a job passes its store, as keywords.

    Only those that differ from the store's defaults: a plain run calls the
    store exactly as the module's own jobs do.
    """
    return {"durable": True} if durable else {}


def held(locate):
    """What the file `locate()` names holds; None when there is no file.

    Asked of the engine without a lock or a write.  Minute-bar files count
    their bar records and the days of their index; tick files every dataset.
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
    return Held(sum(lengths.values()), len(lengths))


def _job(order_book_id, locate, append, args, retries, backoff, timeout=None, marks=None):
    global _interrupted
    if _interrupted:
        raise NotStarted(order_book_id)
    try:
        rerun = started_before(marks, order_book_id)
        outcome = _attempts(order_book_id, locate, append, args, retries, backoff, timeout)
        return outcome._replace(worker_lost=True) if rerun else outcome
    except KeyboardInterrupt:
        _interrupted = True
        raise


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


def _attempts(order_book_id, locate, append, args, retries, backoff, timeout=None):
    started = time.monotonic()
    try:
        workers.check_set_up()
    except workers.WorkerSetupError as exc:
        return _failed(order_book_id, exc, traceback.format_exc(), None, None, 0, 0.0)
    before = held(locate)
    attempts = 0
    while True:
        attempts += 1
        try:
            with _deadline(timeout):
                append(*args)
            break
        except Exception as exc:
            if attempts > retries or not healable(exc):
                return _failed(order_book_id, exc, traceback.format_exc(), before,
                               held(locate), attempts, time.monotonic() - started)
        # Safe to repeat: a failed job leaves its file as it was (a tick
        # file keeps the whole days written before the failure) and the
        # next attempt starts from what the file holds.
        time.sleep(backoff_delay(attempts, backoff))
    after = held(locate)
    return Outcome(order_book_id, status_of(before, after), before, after, attempts,
                   time.monotonic() - started)


class JobTimeout(TimeoutError):
    """An attempt of a job ran past --timeout; tried again like any other passing failure."""


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
        raise JobTimeout("gave up after --timeout {:g} s (the client or the file took longer)"
                         .format(seconds))

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _failed(order_book_id, exc, worker_traceback, before, after, attempts, seconds):
    return Outcome(order_book_id, "failed", before, after, attempts, seconds,
                   "OSError" if isinstance(exc, ENGINE_OS_ERRORS) else type(exc).__name__, str(exc),
                   worker_traceback)


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


# --- the run (in the calling process) -----------------------------------------

JOBS = {"minbar": minbar_job, "tick": tick_job}


def update(kind, path, words, with_derivatives=False, jobs=None, retries=2, durable=False,
           since=None, scheduler=None, executor=None, timeout=None):
    """Update the `kind` ("minbar" or "tick") files under `path`; a Report.

    The client must be ready in this process (it selects the instruments).
    `jobs`: worker processes (default: the CPUs), never more than
    instruments.  `since`: YYYYMMDD from which a file without data is
    filled.  `scheduler`: run on Dask, "tcp://host:port" or "local:N";
    `executor`: any concurrent.futures executor of the caller's, used as
    is and not shut down.  Raises NothingSelected when the words select no
    instrument; failures of single jobs are in the Report.  `timeout`:
    seconds after which an attempt of a job fails (and is retried); process
    pools only.
    """
    from corvane import bundle
    if kind not in JOBS:
        raise ValueError("kind must be 'minbar' or 'tick', not {!r}".format(kind))
    try:
        bundle_files.check_update_root(path, kind)
    except bundle_files.BundleError as error:
        raise SetupRefused(str(error)) from None
    if timeout and scheduler and executor is None:
        raise SetupRefused("--timeout works with the process pool only, not with --scheduler")
    cluster = dask_support() if scheduler and executor is None else None
    words = [str(word) for word in words]
    bundle.click.echo(market_client.line(bundle.lumenfeed))

    def fan_out(chosen):
        """(outcomes, why the run failed outside the jobs or None)."""
        # Workers on other machines have other working directories.
        job_path = os.path.abspath(path) if cluster else path
        calls = [(JOBS[kind], order_book_id, job_path, since, retries, durable, BACKOFF_SECONDS, timeout)
                 for order_book_id in sorted(chosen)]
        if executor is not None:
            return run_jobs(executor, calls, own=False), None
        if cluster is None:
            return run_jobs(process_pool(bundle, jobs, len(calls)), calls, own=True), None
        with cluster.executor(scheduler, path, bundle.click.echo) as dask_executor, \
                start_marks(job_path) as marks:
            outcomes = run_jobs(dask_executor, [call + (marks,) for call in calls], own=False,
                                lost=dask_executor.scheduler_lost)
        lost = sum(outcome.status == "lost" for outcome in outcomes)
        if not lost:
            return outcomes, None
        return outcomes, "SchedulerLost: lost the Dask scheduler {}; {} of {} instruments have no outcome".format(
            scheduler, lost, len(outcomes))

    # A failure outside the jobs carries the instruments it kept from running
    # (`not_reached`), for the caller's report.
    unresolved, (outcomes, error) = drivers.update(
        lambda: select(bundle, words, with_derivatives), bundle.click.echo, kind, path, fan_out)
    return Report(COMMANDS[kind], path, words, sorted(unresolved), outcomes, error)


@contextlib.contextmanager
def start_marks(path):
    """A hidden directory in `path` for the jobs' start marks (see `started_before`), removed after."""
    marks = os.path.join(path, ".corvane-marks-{}".format(uuid.uuid4().hex))
    os.makedirs(marks)
    try:
        yield marks
    finally:
        shutil.rmtree(marks, ignore_errors=True)


def process_pool(bundle, jobs, count):
    """The framework's pool, with no more workers than jobs, which leave when this process dies."""
    return bundle.ProgressedProcessPoolExecutor(
        max_workers=min(jobs or os.cpu_count() or 1, count),
        initializer=functools.partial(workers.pool_worker, bundle.init_lumenfeed_with_warnings_catch,
                                      os.getpid()))


def dask_support():
    try:
        return importlib.import_module("corvane.cluster")
    except ImportError as error:
        raise SetupRefused("--scheduler needs Dask's distributed: pip install 'corvane[dask]' "
                           "({})".format(error)) from None


def select(bundle, words, with_derivatives):
    """(identifiers, unresolved words), the message printed as the drivers do."""
    chosen, unresolved = selection.select(bundle._services(), bundle.TAG_MAP, words, with_derivatives)
    if not chosen:
        raise NothingSelected("no instrument matches {}".format(" ".join(words)), unresolved)
    return chosen, unresolved


def run_jobs(executor, calls, own, lost=None):
    """Outcomes of `calls`, in their order.

    `own`: the executor is this run's pool, entered as its scope (which
    waits with its bar) on a terminal, shut down here otherwise.  Ctrl-C
    cancels what has not started; what runs ends as the engine allows
    (rolled back or committed) and the rest is reported interrupted.
    `lost()`: whether the executor lost its scheduler; the jobs whose
    outcome did not come back are then reported lost.
    """
    futures = {}
    interrupted = False
    own_scope = own and sys.stderr.isatty()
    try:
        with executor if own_scope else contextlib.nullcontext():
            for fn, order_book_id, *args in calls:
                futures[order_book_id] = executor.submit(fn, order_book_id, *args)
            if not own_scope:
                wait_with_progress(list(futures.values()), len(calls))
    except KeyboardInterrupt:
        interrupted = True
        for future in futures.values():
            future.cancel()
    finally:
        if own and not own_scope:
            with contextlib.suppress(KeyboardInterrupt):
                executor.shutdown(wait=True)
    scheduler_lost = lost is not None and lost()
    return [outcome_of(order_book_id, futures.get(order_book_id), interrupted, scheduler_lost)
            for _, order_book_id, *_ in calls]


def wait_with_progress(futures, total, stream=None):
    """Wait for `futures`: a bar on a terminal, a plain line now and then otherwise."""
    stream = stream or sys.stderr
    done = concurrent.futures.as_completed(futures)
    if stream.isatty():
        from tqdm import tqdm
        with tqdm(total=total, file=stream, unit="job", desc="jobs") as bar:
            for _ in done:
                bar.update(1)
        return
    last = time.monotonic()
    for count, _ in enumerate(done, 1):
        if time.monotonic() - last >= PROGRESS_SECONDS and count < total:
            print("corvane: {} of {} jobs done".format(count, total), file=stream, flush=True)
            last = time.monotonic()


# The exceptions of a job whose worker process died under it.
WORKER_LOST_ERRORS = ("BrokenProcessPool", "KilledWorker")


def outcome_of(order_book_id, future, interrupted, scheduler_lost=False):
    """The job's Outcome; failures outside the job (its worker) made into one."""
    if scheduler_lost and not (future is not None and future.done() and not future.cancelled()
                               and future.exception() is None):
        return Outcome(order_book_id, "lost", error_type="SchedulerLost",
                       error_message="the Dask scheduler was lost before the job's outcome came back")
    # Interrupted jobs that never started count no attempt.
    if future is None or future.cancelled():
        return Outcome(order_book_id, "interrupted")
    if not future.done():
        return Outcome(order_book_id, "interrupted", attempts=1)
    exc = future.exception()
    if exc is None:
        return future.result()
    if interrupted or isinstance(exc, KeyboardInterrupt):
        return Outcome(order_book_id, "interrupted", attempts=0 if isinstance(exc, NotStarted) else 1)
    failed = _failed(order_book_id, exc, worker_traceback(exc), None, None, 0, 0.0)
    return failed._replace(worker_lost=type(exc).__name__ in WORKER_LOST_ERRORS)


def worker_traceback(exc):
    """The traceback of a failure outside the job (a job reports its own).

    That is the executor's: a worker lost, a job never run.  Dask rebuilds
    the worker's frames into the exception.
    """
    return "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


# --- the report ----------------------------------------------------------------

class Report(NamedTuple):
    command: str
    path: str
    words: list
    unresolved: list
    outcomes: list
    # Why the run failed outside the jobs ("Type: message"), or None.
    error: Optional[str] = None

    @property
    def counts(self):
        counts = {status: 0 for status in STATUSES}
        for outcome in self.outcomes:
            counts[outcome.status] += 1
        counts["instruments"] = len(self.outcomes)
        counts["rows_added"] = sum(outcome.rows_added for outcome in self.outcomes)
        return counts

    @property
    def failed(self):
        return [outcome for outcome in self.outcomes if outcome.status == "failed"]

    @property
    def exit_status(self):
        """0 all went well; 1 a job failed, a word matched nothing or the run failed; 130 interrupted."""
        if any(outcome.status == "interrupted" for outcome in self.outcomes):
            return 130
        return 1 if self.failed or self.unresolved or self.error else 0

    def summary(self, verbose=False):
        """The closing summary: counts, then one line per failed instrument."""
        counts = self.counts
        line = ("corvane: {instruments} instruments: {new} new, {updated} updated, "
                "{up_to_date} up to date, {failed} failed".format(**counts))
        if counts["interrupted"]:
            not_started = sum(1 for o in self.outcomes if o.status == "interrupted" and not o.attempts)
            line += ", {} interrupted ({} not started)".format(counts["interrupted"], not_started)
        if counts["lost"]:
            line += ", {} lost".format(counts["lost"])
        line += "; {} rows added".format(counts["rows_added"])
        if self.unresolved:
            line += "; matched nothing: {}".format(" ".join(self.unresolved))
        lines = [line]
        for outcome in self.failed:
            message = outcome.error_message if verbose else brief(outcome.error_message)
            lines.append("failed {}: {}: {}".format(outcome.order_book_id, outcome.error_type, message))
        if verbose:
            for outcome in self.failed[:FULL_TRACEBACKS]:
                lines.append("--- {}\n{}".format(outcome.order_book_id, (outcome.traceback or "").rstrip()))
        return "\n".join(lines)

    def __str__(self):
        return self.summary()

    def as_json(self, exit_status=None):
        return {
            "command": self.command,
            "path": self.path,
            "words": list(self.words),
            "unresolved": list(self.unresolved),
            "error": self.error,
            "exit_status": self.exit_status if exit_status is None else exit_status,
            "counts": self.counts,
            "instruments": [outcome_json(outcome) for outcome in self.outcomes],
        }

    def write_json(self, file_name, exit_status=None):
        """Replace `file_name` with the report as a whole, never a part of it.

        Monitoring reads the file at any moment: it is written beside under a
        hidden name and renamed over the old one.
        """
        text = json.dumps(self.as_json(exit_status), ensure_ascii=False, indent=1) + "\n"
        directory, name = os.path.split(os.path.abspath(file_name))
        temporary = os.path.join(directory, ".{}.{}.tmp".format(name, os.getpid()))
        try:
            # 0o666 less the umask, as a plain open() would make it.
            with open(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666), "w",
                      encoding="utf-8") as out:
                out.write(text)
            os.replace(temporary, file_name)
        except BaseException:
            with contextlib.suppress(OSError):
                os.remove(temporary)
            raise


def failed_run(command, path, words, error, not_reached=(), unresolved=()):
    """The Report of a run that failed outside the jobs, with the instruments it did not reach."""
    return Report(command, path, list(words), list(unresolved),
                  [Outcome(oid, "not_run") for oid in sorted(not_reached)], error)


def outcome_json(outcome):
    before, after = outcome.before or Held(0, 0), outcome.after or Held(0, 0)
    if outcome.status in ("interrupted", "not_run", "lost"):
        before = after = UNREADABLE
    return {
        "order_book_id": outcome.order_book_id,
        "status": outcome.status,
        "rows_before": before.rows,
        "rows_after": after.rows,
        "days_before": before.days,
        "days_after": after.days,
        "attempts": outcome.attempts,
        "retries": max(outcome.attempts - 1, 0),
        "worker_lost": outcome.worker_lost,
        "seconds": round(outcome.seconds, 3),
        "error": outcome.error,
    }


def brief(message):
    """`message` on one line, an HDF5 chain in it cut to its root cause.

    The engine words a file failure as "what failed 'FILE' (a: b: cause)";
    the chain is for --verbose.
    """
    lines = (message or "").strip().splitlines()
    line = lines[0] if lines else ""
    # After the quoted file name, when there is one: the name may hold " (".
    quoted = line.find("' (")
    start = quoted + 1 if quoted >= 0 else line.find(" (")
    end = line.rfind(")")
    if start < 0 or end < start:
        return line
    return line[:start + 2] + line[start + 2:end].split(": ")[-1] + line[end:]
