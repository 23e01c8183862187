"""The jobs of an update run: one instrument's file brought up to date, in a worker.

Each job is a module-level function, so that any executor can ship it to
its workers by reference, and returns an `Outcome`
(`corvane.updater.outcomes`): the rows its file held before and after, the
seconds and attempts taken and, on failure, the exception's precise class,
message and traceback.
"""
import contextlib
import functools
import os
import time
import traceback

from corvane import _engine, errors, formats
from corvane.updater import host
from corvane.updater import minbar
from corvane.updater import tick
from corvane.history import commits
from corvane.history import states
from corvane.updater import workers
from corvane.formats import DATA, INDEX
from corvane.updater.options import UpdateOptions
# Held is the stores' own count; callers have found it here.
from corvane.updater.stores import Held, Stored, found_before
from corvane.updater.deadlines import _deadline
from corvane.updater import outcomes
from corvane.updater.outcomes import NOTHING_LISTED, NotStarted, Outcome, UNREADABLE, failed, healable, status_of


# Set in a worker once Ctrl-C reached it: jobs already handed to it start
# no more.
_interrupted = False


def note_interrupted():
    global _interrupted
    _interrupted = True


# Jobs run in frames of this module, or of the batches that run them a few at a time.
workers.hand_interrupts_to((__name__, "corvane.updater.batches"), note_interrupted)


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
    # Counted: the Outcome gives the ticks and days, which the module's own calls go without.
    store = functools.partial(tick.append_h5_tick, counted=True)
    return _job(order_book_id, path, "tick", store, services, options, marks, listed, deadline)


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
    if options.quality != "warn":
        keywords["quality"] = options.quality
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

    # The store takes the file's line in the version while it still holds the file.
    append = functools.partial(store, services, order_book_id, path, None, start, formats.MAX_END_DATE,
                               entry=commits.ENABLED, **keywords)
    try:
        rerun = started_before(marks, order_book_id)
        locate = functools.partial(formats.locate, path, order_book_id, kind)
        finish = functools.partial(_with_state, path=path, kind=kind, locate=locate)
        outcome = _attempts(order_book_id, locate, append, options, deadline, finish)
        return outcome._replace(worker_lost=True) if rerun else outcome
    except KeyboardInterrupt:
        _interrupted = True
        raise


def _with_state(outcome, path, kind, locate):
    """`outcome` carrying the manifest entry of its file, when it changed it.

    An outcome whose store gave the entry, taken while it held the file,
    has it already.  A job that failed, or a store that gives none (a
    stand-in's), has its file read now, after it was let go.
    """
    revised = outcome.revised
    if (outcome.state is not None or not commits.ENABLED or outcome.after is None
            or (outcome.after == outcome.before and not revised)):
        return outcome
    try:
        return outcome._replace(state=states.job_entry(path, locate(), kind, outcome.before, outcome.after,
                                                         {"revised": list(revised)} if revised else None))
    except (OSError, ValueError, TypeError):
        return outcome      # an unreadable file: the job's own outcome says why


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
    """The job's Outcome, given to `finish` when the file must be read for its entry.

    The counts come from the store's own open of the file (its Stored, or
    what a failure tells: `found_before`), so that a job opens its file
    once.  Only a failed attempt, which may not have reached its file, has
    the file read again.  `deadline`: the job's Deadline, whose `settle` is
    given the Outcome of the job given up now (through `finish`).
    """
    started = time.monotonic()
    # What the job knows so far, also to the Outcome of it given up meanwhile.
    before, existed, attempts = None, True, 0
    if deadline is not None:
        deadline.start()

        def given_up():
            # What the job's own failure would say, read while its thread may still hang.
            return finish(failed(order_book_id, deadline.error(), deadline.where(),
                                 _first(before, None, existed, locate), held(locate), attempts,
                                 time.monotonic() - started))
        deadline.settle = given_up
    try:
        workers.check_set_up()
    except errors.WorkerSetupError as exc:
        return failed(order_book_id, exc, traceback.format_exc(), None, None, 0, 0.0)
    try:
        existed = locate() is not None
    except (OSError, ValueError, TypeError):
        existed = True     # read as `held` reads it: unreadable, and the job says why
    while True:
        attempts += 1
        try:
            with _deadline(options.timeout) if deadline is None else contextlib.nullcontext():
                given = append()
            break
        except Exception as exc:
            before = _first(before, found_before(exc), existed, locate)
            delay = None if attempts > options.retries or not healable(exc) else \
                outcomes.backoff_delay(attempts, options.backoff)
            if delay is None or (deadline is not None and deadline.left() <= delay):
                # A deadline with no time for another attempt ends the job with this one's failure.
                return finish(failed(order_book_id, exc, traceback.format_exc(), before,
                                     held(locate), attempts, time.monotonic() - started))
        # Safe to repeat: a failed job leaves its file as it was (a tick
        # file keeps the whole days written before the failure) and the
        # next attempt starts from what the file holds.
        time.sleep(delay)
    seconds = time.monotonic() - started
    if not isinstance(given, Stored):
        # A store that returns no Stored (a stand-in's): its file read now.
        before = _first(before, None, existed, locate)
        after = held(locate)
        return finish(Outcome(order_book_id, status_of(before, after), before, after, attempts, seconds))
    return _stored_outcome(order_book_id, given, _first(before, given.before, existed, locate), attempts, seconds)


def _stored_outcome(order_book_id, given, before, attempts, seconds):
    """The Outcome of a job whose store returned `given` (a Stored); `before`: as the job's first
    attempt found the file."""
    after = given.after
    status = "updated" if given.revised else status_of(before, after)
    # The store's days count from what its own attempt found, which the job's before must be.
    days = given.days if before == given.before else None
    return Outcome(order_book_id, status, before, after, attempts, seconds,
                   revised=given.revised, state=given.entry, findings=tuple(given.findings), days=days)


def _first(before, found, existed, locate):
    """What the file held before the job: known from an earlier attempt, else
    as this attempt's store found it (`found`), else (it never opened the file) read now."""
    if before is not None or not existed:
        return before
    if found is not None:
        return found
    return held(locate)
