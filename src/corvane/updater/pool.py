"""Handing a run's jobs to its executor and taking their outcomes back: the
process pool, the jobs cut into batches for the workers' fetch threads,
progress while they run, and Ctrl-C or a lost worker settled as outcomes.

Apart from `corvane.updater.run`, which decides what to run and commits
what it did: here is only how the calls reach the workers and come back,
whichever the executor (the framework's process pool or a Dask cluster).
"""
import concurrent.futures
import contextlib
import functools
import os
import sys
import time
import traceback

from corvane import _engine, formats
from corvane.updater import workers
from corvane.updater import batches
from corvane.updater.jobs import tick_job
from corvane.updater.outcomes import Outcome, failed, interrupted_outcome


# Without a terminal, a progress line at most this often.
PROGRESS_SECONDS = 30.0
# After Ctrl-C, how long running jobs have to end before their workers are killed.
STOP_SECONDS = 2.0


def process_pool(services, jobs, count):
    """The framework's pool, with no more workers than jobs, which leave when this process dies."""
    return services.pool(
        max_workers=min(jobs or os.cpu_count() or 1, count),
        initializer=functools.partial(workers.pool_worker, services.initializer, os.getpid()))


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
        whole = executor.submit(batches.batch_job, batch, threads)
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
    """Wait for `futures`: a bar on a terminal, a plain line now and then otherwise.

    The jobs of a batch end together: its one future is waited for, counting
    its jobs, not each job's (a daily run's thousands of waits and wake-ups),
    then every job's own, which its batch's end settles.
    """
    stream = stream or sys.stderr
    wholes = {}
    for future in futures:
        whole = future.whole if isinstance(future, Part) else future
        wholes[id(whole)] = (whole, wholes.get(id(whole), (None, 0))[1] + 1)
    jobs_of = {id(whole): count for whole, count in wholes.values()}
    done = (jobs_of[id(whole)] for whole in concurrent.futures.as_completed([whole for whole, _ in wholes.values()]))
    if stream.isatty():
        from tqdm import tqdm
        with tqdm(total=total, file=stream, unit="job", desc="jobs") as bar:
            for jobs in done:
                bar.update(jobs)
    else:
        last, count = time.monotonic(), 0
        for jobs in done:
            count += jobs
            if time.monotonic() - last >= PROGRESS_SECONDS and count < total:
                print("corvane: {} of {} jobs done".format(count, total), file=stream, flush=True)
                last = time.monotonic()
    concurrent.futures.wait(futures)


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
