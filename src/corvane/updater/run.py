"""Updates that report what each instrument did.

`update` goes through the update pipeline the drivers of `corvane.bundle`
use (`corvane.updater.drivers`): it selects instruments, announces them,
runs one job per instrument (`corvane.updater.jobs`, handed out by
`corvane.updater.pool`: in the framework's process pool, or on a Dask
cluster), commits the run's version and returns a `Report`
(`corvane.updater.report`).  It prints nothing unless given an `echo`.
From Python, `corvane.update` is this call with the client made ready.

    from corvane.updater import run
    report = run.update("minbar", "bundle/minbar", ["stock"], jobs=4, echo=print)
    print(report)                  # the closing summary
    sys.exit(report.exit_status)   # 0, 1 or 130
"""
import contextlib
import dataclasses
import functools
import gc
import importlib
import os
import shutil
import uuid
from typing import NamedTuple, Optional

from corvane import errors, formats
from corvane import layout
from corvane.updater import drivers
from corvane.updater import first_fill
from corvane.updater import host
from corvane.updater import market_client
from corvane.updater import listing as market_listing
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


class _Run(NamedTuple):
    """What every step of one update works with."""
    kind: str
    where: str              # the bundle directory, absolute
    services: object
    options: UpdateOptions
    jobs: Optional[int]
    scheduler: Optional[str]
    executor: object        # the caller's, or None
    cluster: object         # the Dask support (`corvane.updater.cluster`) of a run on a scheduler, else None
    echo: object
    recorder: commits.Recorder


class Selection(NamedTuple):
    """The instruments a run's words selected, and what the client's listing says of them."""
    chosen: list
    unresolved: list        # the words that selected nothing
    facts: dict             # {order_book_id: (ins_type, delisted)}
    table: object = None    # the client's full listing, kept with the version for the chosen


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
    options, cluster = checked_setup(kind, path, options, scheduler, executor, revisit)
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
    run = _Run(kind, where, services, options, jobs, scheduler, executor, cluster, echo,
               commits.Recorder(where, kind, options.durable))
    chosen, (unresolved, (done, error)) = ran(run, words, with_derivatives, existed)
    report = Report(COMMANDS[kind], path, words, sorted(unresolved), done, error, started, now(), client,
                    quality=options.quality)
    return committed(report, run.recorder, kind, echo, market_of(run, chosen, done))


def checked_setup(kind, path, options, scheduler, executor, revisit):
    """(the run's options, its Dask support or None) when it can start where it was asked to;
    SetupRefused otherwise.  Each option's own value is checked by UpdateOptions."""
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
    return options, dask_support() if scheduler and executor is None else None


def ran(run, words, with_derivatives, existed):
    """(the Selection, (unresolved words, (outcomes, why the run failed outside the jobs or None)))
    of the instruments `words` select, announced and run; `existed`: whether the bundle directory did.

    A failure outside the jobs carries the instruments it kept from running
    (`not_reached`), for the caller's report.
    """
    try:
        chosen = selected(run.services, words, with_derivatives, run.echo)
        return chosen, drivers.update(lambda: (chosen.chosen, chosen.unresolved), run.echo, run.kind, run.where,
                                      functools.partial(fan_out, run, chosen.facts))
    except SetupRefused:
        run.recorder.close()
        if not existed:
            # A refused run leaves no directory of its own behind (only an empty one is removed).
            with contextlib.suppress(OSError):
                os.rmdir(run.where)
        raise
    except BaseException:
        # A run that ends without its version leaves its marker to the next, saying it ended.
        run.recorder.end()
        raise


def selected(services, words, with_derivatives, echo):
    """The Selection of `words` (see `select`)."""
    listing = {}
    chosen, unresolved = select(services, words, with_derivatives, echo, listing)
    return Selection(chosen, unresolved, selection.listed(listing["table"]), listing["table"])


def fan_out(run, facts, chosen):
    """(outcomes, why the run failed outside the jobs or None) of one job per instrument of `chosen`."""
    if run.executor is not None:
        return run_jobs(run.executor, calls(run, facts, chosen), own=False, threads=run.options.fetch_threads), None
    if run.cluster is None:
        return _in_pool(run, calls(run, facts, chosen)), None
    return _on_cluster(run, facts, chosen)


def calls(run, facts, chosen, marks=None):
    """The jobs' calls, one per instrument of `chosen` in order; the run is marked as changing
    their files first.  `marks`: the directory of the jobs' start marks (`start_marks`), or None."""
    known = prepare(facts, run.kind, run.where, chosen, run.options)
    run.recorder.begin(chosen)
    return [(JOBS[run.kind], order_book_id, run.where, run.services, run.options, marks, known[order_book_id])
            for order_book_id in sorted(chosen)]


def _in_pool(run, handed):
    """The outcomes of the calls `handed` in a process pool of the run's own."""
    workers = min(run.jobs or os.cpu_count() or 1, len(handed))
    sizes = batch_sizes(run.options.fetch_threads, len(handed), workers)
    # What is alive now (the client's state, the listing) outlives the jobs: kept out of the
    # collector's full passes, which the jobs' outcomes would otherwise make walk it again, here
    # and in the workers forked from here.  Not when the host froze objects of its own: unfreezing
    # takes back every freeze, and the host's is not the run's to undo.
    frozen = gc.get_freeze_count() == 0
    if frozen:
        gc.freeze()
    try:
        # Batched, fewer workers than instruments may do the work.
        pool = process_pool(run.services, workers, len(sizes))
        return run_jobs(pool, handed, own=True, threads=run.options.fetch_threads, sizes=sizes)
    finally:
        if frozen:
            gc.unfreeze()


def _on_cluster(run, facts, chosen):
    """(outcomes, SchedulerLost or None) of the jobs of `chosen` on the run's Dask scheduler."""
    with run.cluster.executor(run.scheduler, run.where, run.echo, run.services.initializer) as dask_executor, \
            start_marks(run.where) as marks:
        done = run_jobs(dask_executor, calls(run, facts, chosen, marks), own=False,
                        lost=dask_executor.scheduler_lost, threads=run.options.fetch_threads)
    lost = sum(outcome.status == "lost" for outcome in done)
    if not lost:
        return done, None
    return done, Failure("SchedulerLost", "lost the Dask scheduler {}; {} of {} instruments have no "
                         "outcome".format(run.scheduler, lost, len(done)))


def market_of(run, chosen, done):
    """What the client said of the chosen instruments, to keep with the version (`updater.listing`);
    None when nothing new.  A client that cannot say costs the run nothing but this."""
    if not commits.ENABLED:
        return None
    try:
        return market_listing.kept(run.where, run.kind, run.services.client, chosen.table, chosen.chosen, done)
    except Exception as failure:
        run.echo("corvane: the client's listing is not kept with this version ({})".format(brief(failure)))
        return None


def committed(report, recorder, kind, echo, market=None):
    """`report` naming the version its run committed, or why it could commit none.
    `market`: what the client said of the instruments, kept with it (`corvane.history.market`).

    A run whose files changed but whose version failed has not done all it
    was asked: its exit status says so, and the report gives the failure.
    """
    try:
        version = recorder.commit(commits.run_line(report, kind), report.outcomes, market)
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
    unrecorded = [] if start == formats.MIN_START_DATE else [oid for oid in chosen if oid not in ledger]
    held = _held_names(path, kind) if unrecorded else None
    fresh = {order_book_id: start for order_book_id in unrecorded if not _has_file(held, path, order_book_id, kind)}
    first_fill.record(path, fresh, options.durable)
    ledger.update(fresh)
    return {order_book_id: Listed(ledger.get(order_book_id), *facts.get(order_book_id, (None, None)))
            for order_book_id in chosen}


def _held_names(path, kind):
    """The names in the bundle's instrument directories, listed once for the run (a missing one
    holds none); None when one cannot be listed (each file is then looked for)."""
    names = set()
    for directory in formats.directories(path, kind):
        try:
            names.update(os.listdir(directory))
        except FileNotFoundError:
            continue
        except OSError:
            return None
    return names


def _has_file(held, path, order_book_id, kind):
    """Whether `order_book_id` has a file in the bundle (`formats.locate`), from the names `held` when listed."""
    if held is None:
        return formats.locate(path, order_book_id, kind) is not None
    formats.check_order_book_id(order_book_id)    # an unsafe identifier is refused as locate refuses it
    return order_book_id + formats.SUFFIX in held


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
