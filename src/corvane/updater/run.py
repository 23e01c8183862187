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
import contextlib
import dataclasses
import importlib
import os
import shutil
import uuid

from corvane import errors, formats
from corvane import layout
from corvane.updater import drivers
from corvane.updater import first_fill
from corvane.updater import host
from corvane.updater import market_client
from corvane.updater import selection
from corvane.history import commits
from corvane.updater import jobs as jobs_module
from corvane.updater import outcomes
from corvane.updater.drivers import COMMANDS
from corvane.errors import NothingSelected, SetupRefused
from corvane.updater.jobs import minbar_job, tick_job
from corvane.updater.outcomes import Listed
from corvane.updater.options import UpdateOptions
from corvane.updater.report import Failure, Report, brief, now
from corvane.updater.pool import batch_sizes, process_pool, run_jobs


JOBS = {"minbar": minbar_job, "tick": tick_job}
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
        layout.check_update_root(path, kind)
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

    recorder = commits.Recorder(where, kind, options.durable)

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
        version = recorder.commit(commits.run_line(report, kind), report.outcomes)
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
    start = jobs_module.start_date(options, outcomes.NOTHING_LISTED)
    # A file filled from the bundle's first date needs no record: an
    # unrecorded file is filled from there anyway.
    fresh = {} if start == formats.MIN_START_DATE else {
        order_book_id: start for order_book_id in chosen
        if order_book_id not in ledger and formats.locate(path, order_book_id, kind) is None}
    first_fill.record(path, fresh, options.durable)
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


def dask_support():
    try:
        return importlib.import_module("corvane.updater.cluster")
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
