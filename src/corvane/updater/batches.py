"""A worker's batch of jobs on its fetch threads: that many instruments in
flight in one process, each job's deadline watched, and after Ctrl-C no
job still waiting started.

Apart from the jobs: a job is the same function on a fetch thread as on
its worker's main thread; the threads, the waiting and the giving up are
all here.
"""
import concurrent.futures
import contextlib
import functools
import multiprocessing
import os
import sys
import threading
import traceback

from corvane.updater.options import UpdateOptions
from corvane.updater import jobs
from corvane.updater.deadlines import Deadline
from corvane.updater.outcomes import failed, interrupted_outcome


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
        jobs.note_interrupted()
        for _, future in futures:
            future.cancel()
        _wait_all(futures)
    outcomes = [given_up[position] if position in given_up else _settled(order_book_id, future)
                for position, (order_book_id, future) in enumerate(futures)]
    return outcomes + [interrupted_outcome(order_book_id) for _, order_book_id, *_ in calls[len(futures):]]


def _deadline_of(call):
    """A Deadline for the job of `call` (as `corvane.updater.run` makes them) when its options set a timeout, else None."""
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


def _forget_fetch_threads():
    """In a forked child: the parent's threads did not come along."""
    global _fetch_threads
    _fetch_threads = threading.local()


# The fetch threads of each thread that runs batches (a process pool
# worker's one; a threaded executor's several, each with its own as before):
# (count, executor), made at its first batch.
_fetch_threads = threading.local()




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


def _settled(order_book_id, future):
    if future.cancelled():
        return interrupted_outcome(order_book_id)
    try:
        return future.result()
    except KeyboardInterrupt as stop:
        return interrupted_outcome(order_book_id, stop)
    except Exception as exc:
        return failed(order_book_id, exc, traceback.format_exc(), None, None, 0, 0.0)


# Threads of jobs given up, which may hang in the client for good.
_hanging = []


os.register_at_fork(after_in_child=_forget_fetch_threads)
