"""The one update pipeline: select, announce, hand each instrument to a job.

The module's drivers (`corvane.bundle`) and the reporting run
(`corvane.updater.run`) both run their updates through `update`, so the two select, print the same
start line and make the tick directory at the same moment.  The services an
update uses (the client behind the selection, `echo`, the pool, the jobs)
come in as arguments, read by the caller at call time: this module imports
neither of its callers.
"""
import os
import reprlib

from corvane.errors import full_disk_named

__all__ = ["COMMANDS", "START_LINES", "announce", "update", "fan_out"]

# The command that updates each kind, as reports name it.
COMMANDS = {"minbar": "update-minbar", "tick": "update-tick"}

# The start lines, by kind: the number of instruments and an abbreviated set.
START_LINES = {
    "minbar": "开始更新 {} 只标的的分钟线数据：{}",
    "tick": "开始更新 {} 只标的的tick数据：{}",
}


def announce(echo, kind, path, chosen):
    """Make the tick directory, then print the start line of `chosen` with `echo`.

    After a selection that succeeded, so that a failed one leaves no
    directory behind, and before any worker starts, so that the workers
    find it in place.  A minute-bar run makes none: its jobs make their
    sub-directories.
    """
    if kind == "tick":
        with full_disk_named(path):
            os.makedirs(path, exist_ok=True)
    echo(START_LINES[kind].format(len(chosen), reprlib.repr(chosen)))


def update(select, echo, kind, path, fan_out):
    """One update of the `kind` files under `path`: (unresolved words, what `fan_out` gave).

    `select()` gives (identifiers, words that select nothing) and prints its
    message about the latter; raising there stops the update before
    anything is printed or made.  Then the start line (`announce`), then
    `fan_out(identifiers)` runs one job per identifier.  A failure after the
    selection carries the identifiers as `not_reached`: none of them has an
    outcome the caller saw.  Kept as they came, unsorted: the exception
    that propagates must be the one raised, whatever the identifiers are.
    """
    chosen, unresolved = select()
    try:
        announce(echo, kind, path, chosen)
        return unresolved, fan_out(chosen)
    except BaseException as error:
        error.not_reached = chosen
        raise


def fan_out(pool, initializer, concurrency, job, path, chosen):
    """`job(order_book_id, path)` for each of `chosen` in a `pool` of `concurrency` workers.

    The pool is entered as a scope, whose end waits for the jobs; the
    jobs' handles are dropped, so their outcomes are the pool's to report.
    """
    with pool(max_workers=concurrency, initializer=initializer) as executor:
        for order_book_id in chosen:
            executor.submit(job, order_book_id, path)
