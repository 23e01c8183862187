"""The options of one update run, as one value from the command to the jobs."""
import datetime
import math
import numbers
from dataclasses import dataclass
from typing import Optional

from corvane.errors import SetupRefused

__all__ = ["UpdateOptions", "BACKOFF_SECONDS", "QUALITY_MODES", "BadOption"]

# First wait before a retry, doubled at each further attempt, with jitter.
BACKOFF_SECONDS = 1.0
# What the quality checks of a run do: nothing, report, or fail the run as well.
QUALITY_MODES = ("off", "warn", "error")


class BadOption(SetupRefused, ValueError):
    """An option of the run holds a value it cannot take: a usage error to the command line,
    a ValueError to a caller in Python."""


@dataclass(frozen=True)
class UpdateOptions:
    """How every job of a run works on its file; a value it cannot take is refused (BadOption).

    `since`: YYYYMMDD from which a file without data is filled (None: the
    bundle's first date).  `retries`: further attempts after a failure that
    may heal.  `durable`: each file is on disk (fsync) before its job ends.
    `timeout`: seconds after which an attempt fails (None: no limit; process
    pools only); with fetch threads, seconds after which the whole job,
    retries included, is given up.  `backoff`: the first wait before a retry, in seconds.
    `fetch_threads`: instruments each worker works on at once, on threads,
    so that many client calls are in flight without a process each (1: one
    job at a time, on the worker's main thread).  `revisit`: the last
    stored days of each file asked again, and replaced where the client's
    answer changed (0 or None: only new days are asked for).  `quality`: the
    checks of the rows each job writes (`corvane.quality`): "warn" reports
    their findings, "error" also fails the run on them, "off" skips them;
    never is a row dropped for one.
    """
    since: Optional[int] = None
    retries: int = 2
    durable: bool = False
    timeout: Optional[float] = None
    backoff: float = BACKOFF_SECONDS
    fetch_threads: int = 1
    revisit: int = 0
    quality: str = "warn"

    def __post_init__(self):
        if self.since is not None and not _is_day(self.since):
            _refuse("since", "a date YYYYMMDD", self.since)
        if not _is_whole(self.retries, 0):
            _refuse("retries", "a whole number, 0 or more", self.retries)
        if not isinstance(self.durable, bool):
            _refuse("durable", "True or False", self.durable)
        if self.timeout is not None and not (_is_number(self.timeout) and self.timeout > 0):
            _refuse("timeout", "a number of seconds above 0, or None", self.timeout)
        if not (_is_number(self.backoff) and self.backoff >= 0):
            _refuse("backoff", "a number of seconds, 0 or more", self.backoff)
        if not _is_whole(self.fetch_threads, 1):
            _refuse("fetch_threads", "a whole number, 1 or more", self.fetch_threads)
        if self.revisit is not None and not _is_whole(self.revisit, 0):
            _refuse("revisit", "a whole number of days, 0 or more", self.revisit)
        if self.quality not in QUALITY_MODES:
            _refuse("quality", " or ".join(repr(mode) for mode in QUALITY_MODES), self.quality)


def _refuse(name, wanted, value):
    raise BadOption("UpdateOptions: {} must be {}, not {!r}".format(name, wanted, value))


def _is_whole(value, least):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool) and value >= least


def _is_number(value):
    # NaN compares false to every bound; an infinite wait is None.
    return isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value)


def _is_day(value):
    """Whether `value` is the integer YYYYMMDD of a real date."""
    if not _is_whole(value, 0):
        return False
    try:
        datetime.datetime.strptime("{:08d}".format(int(value)), "%Y%m%d")
    except ValueError:
        return False
    return 10000101 <= value <= 99991231
