"""Process pool used to build data bundles: progress on stderr, failures reported.

Jobs and the initializer cross to the workers by pickling, so module-level
functions travel by reference (module and name) and are resolved in the
worker.  The pool uses the platform's default start method.
"""
import concurrent.futures
import os
import reprlib
import sys
import traceback

from tqdm import tqdm

# How many failed jobs are shown with their full traceback at scope end.
FULL_REPORTS = 5

# Set in a worker process whose initializer raised; every job it takes then
# fails with WorkerInitializerError instead of the pool breaking or hanging.
_initializer_failure = None

_args_repr = reprlib.Repr()
_args_repr.maxstring = 120
_args_repr.maxother = 120


class WorkerInitializerError(RuntimeError):
    """A job was not run because its worker's initializer had failed."""


def _initialize_worker(initializer, initargs):
    global _initializer_failure
    if initializer is None:
        return
    try:
        initializer(*initargs)
    except Exception as exc:  # reported through the jobs of this worker
        _initializer_failure = (_callable_name(initializer), exc)


def _run_job(fn, args, kwargs):
    if _initializer_failure is not None:
        name, exc = _initializer_failure
        raise WorkerInitializerError("worker initializer {} failed: {!r}".format(name, exc)) from exc
    return fn(*args, **kwargs)


def _callable_name(fn):
    return getattr(fn, "__qualname__", None) or getattr(fn, "__name__", None) or repr(fn)


def _describe_call(fn, args, kwargs):
    parts = [_args_repr.repr(arg) for arg in args]
    parts += ["{}={}".format(key, _args_repr.repr(value)) for key, value in kwargs.items()]
    return "{}({})".format(_callable_name(fn), ", ".join(parts))


def _format_failure(exc):
    """The worker-side traceback when the pool kept one, else the local one."""
    remote = getattr(exc.__cause__, "tb", None)
    if isinstance(remote, str) and remote.strip('\n"'):
        return remote.strip('\n"') + "\n"  # the pool wraps the text in triple quotes
    return "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


class _Job:
    __slots__ = ("future", "fn", "args", "kwargs")

    def __init__(self, future, fn, args, kwargs):
        self.future = future
        self.fn = fn
        self.args = args
        self.kwargs = kwargs


class ProgressedProcessPoolExecutor(concurrent.futures.ProcessPoolExecutor):
    """A process pool whose scope shows progress and reports failed jobs.

    - Jobs always run in worker processes, at most `max_workers` at a time
      (None: `os.cpu_count()`); `submit` returns its Future at once.
    - The initializer runs once in each worker before its first job.  When it
      raises, that worker's jobs fail with `WorkerInitializerError` (chained
      to the initializer's exception) and are reported like other failures.
    - Leaving the `with` scope waits for every submitted job while a tqdm bar
      of finished jobs runs on stderr, then writes one report of every failed
      job to stderr: its call and exception, the first `FULL_REPORTS` with
      the worker's traceback.  Failures are reported, not raised; the exit
      never swallows an exception raised inside the scope.
    """

    def __init__(self, max_workers=None, initializer=None, initargs=()):
        if max_workers is None:
            max_workers = os.cpu_count() or 1
        super().__init__(max_workers=max_workers, initializer=_initialize_worker,
                         initargs=(initializer, tuple(initargs)))
        self._jobs = []

    def submit(self, fn, /, *args, **kwargs):
        future = super().submit(_run_job, fn, args, kwargs)
        self._jobs.append(_Job(future, fn, args, kwargs))
        return future

    def __exit__(self, exc_type, exc_val, exc_tb):
        try:
            self._wait_with_progress()
        except BaseException:  # interrupted while waiting: drop what has not started
            for job in self._jobs:
                job.future.cancel()
            self.shutdown(wait=True)
            raise
        self.shutdown(wait=True)
        self._report_failures()
        return False

    def _wait_with_progress(self):
        futures = [job.future for job in self._jobs]
        if not futures:
            return
        with tqdm(total=len(futures), file=sys.stderr, unit="job", desc="jobs") as bar:
            for _ in concurrent.futures.as_completed(futures):
                bar.update(1)

    def _report_failures(self):
        failed = []
        cancelled = 0
        for job in self._jobs:
            if job.future.cancelled():
                cancelled += 1
            elif job.future.exception() is not None:
                failed.append(job)
        if not failed and not cancelled:
            return
        lines = ["{} of {} jobs failed".format(len(failed), len(self._jobs))
                 + (", {} cancelled".format(cancelled) if cancelled else "")]
        for number, job in enumerate(failed[:FULL_REPORTS], 1):
            exc = job.future.exception()
            lines.append("--- failed job {}: {}".format(number, _describe_call(job.fn, job.args, job.kwargs)))
            lines.append(_format_failure(exc).rstrip("\n"))
        rest = failed[FULL_REPORTS:]
        if rest:
            lines.append("... and {} more:".format(len(rest)))
            for job in rest:
                exc = job.future.exception()
                lines.append("  {}: {}".format(_describe_call(job.fn, job.args, job.kwargs),
                                               "".join(traceback.format_exception_only(type(exc), exc)).strip()))
        sys.stderr.write("\n".join(lines) + "\n")
        sys.stderr.flush()
