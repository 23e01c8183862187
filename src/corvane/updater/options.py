"""The options of one update run, as one value from the command to the jobs."""
from dataclasses import dataclass
from typing import Optional

__all__ = ["UpdateOptions", "BACKOFF_SECONDS"]

# First wait before a retry, doubled at each further attempt, with jitter.
BACKOFF_SECONDS = 1.0


@dataclass(frozen=True)
class UpdateOptions:
    """How every job of a run works on its file.

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
    answer changed (0: only new days are asked for).
    """
    since: Optional[int] = None
    retries: int = 2
    durable: bool = False
    timeout: Optional[float] = None
    backoff: float = BACKOFF_SECONDS
    fetch_threads: int = 1
    revisit: int = 0
