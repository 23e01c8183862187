"""What a job returns, `Outcome`, and how a failure is judged: whether a
repeat may heal it, how long to wait before the next attempt, and the
status its file's counts before and after give (new, updated, up to date).

Apart from the jobs: an outcome is plain data that the pool, the batches
and the report make too (interrupted, lost, failed) and read, none of them
needing how a job works on its file.
"""
import random
from typing import NamedTuple, Optional

from corvane import errors
from corvane.history.states import Entry
from corvane.updater.options import BACKOFF_SECONDS
from corvane.updater.stores import Held


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
    # The file's line in the run's version (`corvane.history.states`), as the job left it; None when unchanged.
    state: Optional[Entry] = None
    # What the quality checks found in the rows the job wrote (`corvane.quality.Finding`s).
    findings: tuple = ()
    # Minute bars: the index's dates from the last one `before` held on, as the job left them
    # (`stores.Stored.days`); None when not known (the file is read for them).
    days: Optional[tuple] = None

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


def interrupted_outcome(order_book_id, stop=None):
    """The Outcome of a job Ctrl-C stopped: one attempt when `stop`, what stopped it, found it begun."""
    return Outcome(order_book_id, "interrupted", attempts=int(stop is not None and not isinstance(stop, NotStarted)))


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
