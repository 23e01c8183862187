"""Updates that report what each instrument did.

`update` goes through the update pipeline the drivers of `corvane.bundle`
use (`corvane.drivers`): it selects instruments, announces them, runs one
job per instrument (`corvane.jobs`; in the framework's process pool, or on
a Dask cluster) and returns a `Report` (`corvane.report`).  It prints
nothing unless given an `echo`.

    from corvane import run
    report = run.update("minbar", "bundle/minbar", ["stock"], jobs=4, echo=print)
    print(report)                  # the closing summary
    sys.exit(report.exit_status)   # 0, 1 or 130
"""
import concurrent.futures
import contextlib
import functools
import dataclasses
import importlib
import os
import shutil
import sys
import time
import traceback
import uuid

from corvane import (_engine, bundle_files, drivers, errors, first_fill, formats, host, market_client, selection,
                     versions, workers)
from corvane import jobs as jobs_module
from corvane.drivers import COMMANDS
# Names callers have found here.
from corvane.errors import NothingSelected, SetupRefused  # noqa: F401
from corvane.jobs import (  # noqa: F401
    BACKOFF_SECONDS, UNREADABLE, Held, Listed, NotStarted, Outcome, backoff_delay, failed, healable, held,
    interrupted_outcome, minbar_job, started_before, status_of, tick_job)
from corvane.options import UpdateOptions
from corvane.report import STATUSES, Failure, Report, brief, failed_run, now, outcome_json  # noqa: F401

__all__ = ["update", "Report", "Outcome", "Failure", "UpdateOptions", "COMMANDS", "JOBS", "failed_run", "brief", "now"]

JOBS = {"minbar": minbar_job, "tick": tick_job}
# Without a terminal, a progress line at most this often.
PROGRESS_SECONDS = 30.0
# After Ctrl-C, how long running jobs have to end before their workers are killed.
STOP_SECONDS = 2.0


def _quiet(*args, **kwargs):
    pass


def update(kind, path, words, with_derivatives=False, jobs=None, options=UpdateOptions(),
           scheduler=None, executor=None, services=None, echo=None, revisit=None):
    """Update the `kind` ("minbar" or "tick") files under `path`; a Report.

    The client must be ready in this process (it selects the instruments).
    `jobs`: worker processes (default: the CPUs), never more than
    instruments.  `options`: an UpdateOptions (since, retries, durable,
    timeout).  `scheduler`: run on Dask, "tcp://host:port" or "local:N";
    `executor`: any concurrent.futures executor of the caller's, used as
    is and not shut down.  `services`: the platform (default: as
    `corvane.bundle` binds it).  `echo`: where the client line, the
    unmatched words and the start line go (default: nowhere).  Raises
    NothingSelected when the words select no instrument; failures of
    single jobs are in the Report.  `revisit`: as UpdateOptions.revisit,
    over the one in `options` when given.
    """
    if kind not in JOBS:
        raise ValueError("kind must be 'minbar' or 'tick', not {!r}".format(kind))
    try:
        bundle_files.check_update_root(path, kind)
    except errors.BundleError as error:
        raise SetupRefused(str(error)) from None
    if options.timeout and scheduler and executor is None:
        raise SetupRefused("--timeout works with the process pool only, not with --scheduler")
    if revisit is not None:
        options = dataclasses.replace(options, revisit=revisit)
    if not isinstance(options.revisit, int) or options.revisit < 0:
        raise SetupRefused("revisit must be a whole number of days, 0 or more, not {!r}".format(options.revisit))
    if options.fetch_threads < 1:
        raise SetupRefused("--fetch-threads must be 1 or more, not {}".format(options.fetch_threads))
    cluster = dask_support() if scheduler and executor is None else None
    services = host.platform() if services is None else services
    echo = echo or _quiet
    words = [str(word) for word in words]
    started = now()
    client = market_client.describe(services.client)
    echo(market_client.line(services.client))

    # Every worker, and every path a job is handed, sees the one directory
    # this process means: on a cluster a relative path would be resolved in
    # each worker's own working directory.
    where = os.path.abspath(path)
    existed = os.path.lexists(where)

    recorder = versions.Recorder(where, kind, options.durable)

    def jobs_of(chosen, marks=None):
        known = prepare(facts, kind, where, chosen, options)
        recorder.begin(chosen)
        return [(JOBS[kind], order_book_id, where, services, options, marks, known[order_book_id])
                for order_book_id in sorted(chosen)]

    def fan_out(chosen):
        """(outcomes, why the run failed outside the jobs or None)."""
        threads = options.fetch_threads
        if executor is not None:
            return run_jobs(executor, jobs_of(chosen), own=False, threads=threads), None
        if cluster is None:
            calls = jobs_of(chosen)
            workers = min(jobs or os.cpu_count() or 1, len(calls))
            sizes = batch_sizes(threads, len(calls), workers)
            # Batched, fewer workers than instruments may do the work.
            pool = process_pool(services, workers, len(sizes))
            return run_jobs(pool, calls, own=True, threads=threads, sizes=sizes), None
        with cluster.executor(scheduler, where, echo, services.initializer) as dask_executor, \
                start_marks(where) as marks:
            outcomes = run_jobs(dask_executor, jobs_of(chosen, marks), own=False,
                                lost=dask_executor.scheduler_lost, threads=threads)
        lost = sum(outcome.status == "lost" for outcome in outcomes)
        if not lost:
            return outcomes, None
        return outcomes, Failure("SchedulerLost", "lost the Dask scheduler {}; {} of {} instruments have no "
                                 "outcome".format(scheduler, lost, len(outcomes)))

    # A failure outside the jobs carries the instruments it kept from running
    # (`not_reached`), for the caller's report.
    listing = {}

    def selected():
        found = select(services, words, with_derivatives, echo, listing)
        facts.update(selection.listed(listing["table"]))
        return found

    facts = {}
    try:
        unresolved, (outcomes, error) = drivers.update(selected, echo, kind, where, fan_out)
    except SetupRefused:
        recorder.close()
        if not existed:
            # A refused run leaves no directory of its own behind (only an empty one is removed).
            with contextlib.suppress(OSError):
                os.rmdir(where)
        raise
    except BaseException:
        # A run that ends without its version leaves its marker to the next.
        recorder.close()
        raise
    report = Report(COMMANDS[kind], path, words, sorted(unresolved), outcomes, error, started, now(), client)
    return committed(report, recorder, kind, echo)


def committed(report, recorder, kind, echo):
    """`report` naming the version its run committed, or why it could commit none.

    A run whose files changed but whose version failed has not done all it
    was asked: its exit status says so, and the report gives the failure.
    """
    try:
        version = recorder.commit(versions.run_line(report, kind), report.outcomes)
    except Exception as failure:
        failure = errors.out_of_space(failure)
        echo("corvane: no version committed ({}); the next run's version covers this one's files".format(failure))
        return report._replace(version_error=Failure(type(failure).__name__, brief(failure)))
    finally:
        recorder.close()
    return report._replace(version=version)


def prepare(facts, kind, path, chosen, options):
    """{order_book_id: Listed} for the jobs; records the start of the files about to be made.

    The first-fill ledger is written before any job runs, so that no file
    exists without its record, whatever stops the run.
    """
    ledger = first_fill.read(path)
    start = jobs_module.start_date(options, jobs_module.NOTHING_LISTED)
    # A file filled from the bundle's first date needs no record: an
    # unrecorded file is filled from there anyway.
    fresh = {} if start == formats.MIN_START_DATE else {
        order_book_id: start for order_book_id in chosen
        if order_book_id not in ledger and formats.locate(path, order_book_id, kind) is None}
    first_fill.record(path, fresh)
    ledger.update(fresh)
    return {order_book_id: Listed(ledger.get(order_book_id), *facts.get(order_book_id, (None, None)))
            for order_book_id in chosen}


@contextlib.contextmanager
def start_marks(path):
    """A hidden directory in `path` for the jobs' start marks (see `started_before`), removed after."""
    marks = os.path.join(path, ".corvane-marks-{}".format(uuid.uuid4().hex))
    os.makedirs(marks)
    try:
        yield marks
    finally:
        shutil.rmtree(marks, ignore_errors=True)


def process_pool(services, jobs, count):
    """The framework's pool, with no more workers than jobs, which leave when this process dies."""
    return services.pool(
        max_workers=min(jobs or os.cpu_count() or 1, count),
        initializer=functools.partial(workers.pool_worker, services.initializer, os.getpid()))


def dask_support():
    try:
        return importlib.import_module("corvane.cluster")
    except ImportError as error:
        raise SetupRefused("--scheduler needs Dask's distributed: pip install 'corvane[dask]' "
                           "({})".format(error)) from None


def select(services, words, with_derivatives, echo, listing=None):
    """(identifiers, unresolved words), the latter named in the module's message and,
    in English, the whole vocabulary.

    Words are taken in any case and the obvious plurals, as a user types them.
    """
    chosen, unresolved = selection.select(services, services.tag_map, words, with_derivatives, lenient=True,
                                          listing=listing)
    if unresolved:
        echo(selection.unresolved_message(services.tag_map, sorted(unresolved)))
        echo(selection.vocabulary_line(services.tag_map))
    if not chosen:
        raise NothingSelected("no instrument matches {}".format(" ".join(words)), unresolved)
    return chosen, unresolved


def run_jobs(executor, calls, own, lost=None, threads=1, sizes=None):
    """Outcomes of `calls`, in their order.

    `own`: the executor is this run's pool, entered as its scope (which
    waits with its bar) on a terminal, shut down here otherwise.  Ctrl-C
    cancels what has not started; what runs ends as the engine allows
    (rolled back or committed) and the rest is reported interrupted.
    `lost()`: whether the executor lost its scheduler; the jobs whose
    outcome did not come back are then reported lost.  `threads` > 1: the
    calls go in batches, each worker running `threads` of them at once.
    `sizes`: instruments per batch, in turn (default: one job each with
    one thread, else FOREIGN_ROUNDS rounds of the threads).
    """
    futures = {}
    interrupted = False
    own_scope = own and sys.stderr.isatty()
    try:
        with executor if own_scope else contextlib.nullcontext():
            try:
                submit_all(executor, calls, threads, futures, sizes)
                if not own_scope:
                    wait_with_progress(list(futures.values()), len(calls))
            except KeyboardInterrupt:
                interrupted = True
                for future in futures.values():
                    future.cancel()
                if own:
                    # Before the pool's scope ends: it would wait for them.
                    stop_running(executor, futures, calls)
                raise
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


# A batch saves the pool's round trip of all but one of its jobs, and its
# fetch threads stay busy but for its last round: a batch holds up to
# BATCH_ROUNDS rounds of `threads` jobs (one thread: up to BATCH_MOST jobs).
# Batches shrink as the run nears its end, to a share of what is left
# (1 / (workers x BATCH_SHARES)), so that the workers finish close together.
BATCH_ROUNDS = 16
BATCH_MOST = 32
BATCH_SHARES = 4
# On an executor of the caller's or a cluster, whose workers this run does not count.
FOREIGN_ROUNDS = 4


class Part(concurrent.futures.Future):
    """One job's future within a batch; cancelled only with its whole batch, before it runs."""

    def __init__(self, whole):
        super().__init__()
        self.whole = whole

    def cancel(self):
        return self.whole.cancel()


def submit_all(executor, calls, threads, futures, sizes=None):
    """Submit `calls`, one future per instrument into `futures`; in batches of `sizes`."""
    if sizes is None:
        # An executor of unknown size: one job each, or a few rounds of the threads.
        size = 1 if threads <= 1 else threads * FOREIGN_ROUNDS
        sizes = [size] * -(-len(calls) // size)
    if max(sizes, default=1) <= 1:
        for fn, order_book_id, *args in calls:
            futures[order_book_id] = executor.submit(fn, order_book_id, *args)
        return
    first = 0
    for size in sizes:
        batch = calls[first:first + size]
        first += size
        whole = executor.submit(jobs_module.batch_job, batch, threads)
        parts = [Part(whole) for _ in batch]
        for call, part in zip(batch, parts):
            futures[call[1]] = part
        whole.add_done_callback(functools.partial(_settle_parts, parts))


def batch_sizes(threads, count, workers=1):
    """Instruments per batch, in submission order, for `count` instruments on
    `workers` workers of `threads` fetch threads: large while much is left,
    then smaller, never below one round of the threads."""
    least = threads
    most = threads * BATCH_ROUNDS if threads > 1 else BATCH_MOST
    sizes = []
    left = count
    while left > 0:
        size = min(max(-(-left // (workers * BATCH_SHARES)), least), most, left)
        sizes.append(size)
        left -= size
    return sizes


def _settle_parts(parts, whole):
    if whole.cancelled():
        for part in parts:
            concurrent.futures.Future.cancel(part)
        return
    error = whole.exception()
    for position, part in enumerate(parts):
        if error is not None:
            part.set_exception(error)
        else:
            part.set_result(whole.result()[position])


def stop_running(executor, futures, calls, grace=STOP_SECONDS):
    """After Ctrl-C: the pool's running jobs given `grace` seconds, then their workers killed.

    A job in the client or in the engine may not see the interrupt for
    minutes.  Its worker is killed instead of waited for, and what it left
    beside its file is rolled back through the engine here, as the file's
    next open would.  A second Ctrl-C ends the grace at once.
    """
    running = [future for future in futures.values() if not future.done()]
    if not running:
        # A worker that died of the interrupt broke the pool, which ended the
        # others mid-job: what they left goes now, not to the next verify.
        if any(lost_worker(future) for future in futures.values()):
            with contextlib.suppress(KeyboardInterrupt):
                settle_leftovers(calls, futures)
        return
    print("corvane: interrupted; stopping {} running job(s)".format(len(running)),
          file=sys.stderr, flush=True)
    with contextlib.suppress(KeyboardInterrupt):
        concurrent.futures.wait(running, timeout=grace)
    stubborn = [future for future in running if not future.done()]
    if not stubborn:
        return
    # A process pool's workers (concurrent.futures keeps them by pid), taken
    # before the pool lets go of them.
    processes = list((getattr(executor, "_processes", None) or {}).values())
    with contextlib.suppress(KeyboardInterrupt):
        forget_cancelled(executor, grace)
    for process in processes:
        with contextlib.suppress(OSError, ValueError, KeyboardInterrupt):
            process.kill()
    with contextlib.suppress(KeyboardInterrupt):
        concurrent.futures.wait(stubborn, timeout=grace)
    # Even after one more Ctrl-C: a killed job's lock and journal are not left for verify to find.
    with contextlib.suppress(KeyboardInterrupt):
        settle_leftovers(calls, futures)


def forget_cancelled(executor, grace=STOP_SECONDS):
    """Have a process pool drop the jobs Ctrl-C cancelled, before its workers are killed.

    A pool that loses a worker fails every job it still holds; failing one
    already cancelled raises in the pool's own thread, which prints a
    traceback and skips the rest of the pool's clean-up.  Shut down with its
    pending jobs cancelled, the thread drops them, and says it has by
    clearing the pool's request (waited for here, up to `grace` seconds).
    """
    thread = getattr(executor, "_executor_manager_thread", None)
    if thread is None or not hasattr(executor, "_cancel_pending_futures"):
        return
    executor.shutdown(wait=False, cancel_futures=True)
    deadline = time.monotonic() + grace
    while executor._cancel_pending_futures and thread.is_alive() and time.monotonic() < deadline:
        time.sleep(0.005)


def settle_leftovers(calls, futures):
    """Roll back, through the engine, what jobs that did not end left beside their files."""
    for fn, order_book_id, path, *_ in calls:
        future = futures.get(order_book_id)
        if future is None or future.cancelled() or (future.done() and future.exception() is None):
            continue
        kind = "tick" if fn is tick_job else "minbar"
        for directory in formats.directories(path, kind):
            with contextlib.suppress(OSError, ValueError, TypeError):
                _engine.recover(formats.instrument_file(directory, order_book_id))


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


def lost_worker(future):
    """Whether `future` ended because its worker process died."""
    return (future.done() and not future.cancelled() and future.exception() is not None
            and type(future.exception()).__name__ in WORKER_LOST_ERRORS)


def outcome_of(order_book_id, future, interrupted, scheduler_lost=False):
    """The job's Outcome; failures outside the job (its worker) made into one."""
    if scheduler_lost and not (future is not None and future.done() and not future.cancelled()
                               and future.exception() is None):
        return Outcome(order_book_id, "lost", error_type="SchedulerLost",
                       error_message="the Dask scheduler was lost before the job's outcome came back")
    # Interrupted jobs that never started count no attempt.
    if future is None or future.cancelled():
        return interrupted_outcome(order_book_id)
    if not future.done():
        return Outcome(order_book_id, "interrupted", attempts=1)
    exc = future.exception()
    if exc is None:
        return future.result()
    if interrupted or isinstance(exc, KeyboardInterrupt):
        return interrupted_outcome(order_book_id, exc)
    outcome = failed(order_book_id, exc, worker_traceback(exc), None, None, 0, 0.0)
    return outcome._replace(worker_lost=type(exc).__name__ in WORKER_LOST_ERRORS)


def worker_traceback(exc):
    """The traceback of a failure outside the job (a job reports its own).

    That is the executor's: a worker lost, a job never run.  Dask rebuilds
    the worker's frames into the exception.
    """
    return "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
