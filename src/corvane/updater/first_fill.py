"""The first-fill ledger of a bundle: the date each file was first filled from.

A file the client had nothing for stays empty, and an empty file is filled
from its run's start date.  Without a record, a run without --since would
fill a file that a first run with --since left empty from the bundle's first
date: an instrument delisted before that --since would be asked for twenty
years it never traded.  So the update's parent records the start date of
every file it is about to create, before any job runs, in one JSON file at
the root of the bundle (beside the instrument files, which it leaves as
they are: readers never see it), written whole by a rename.
"""
import json
import os

from corvane.whole_files import write_whole

__all__ = ["LEDGER", "read", "record"]

# A hidden name without the instrument files' suffix: no tool takes it for one.
LEDGER = ".corvane-first-fill.json"


def read(path):
    """{order_book_id: YYYYMMDD} recorded under the bundle root `path`; {} when none.

    A damaged ledger counts as none: it only saves calls, and the files
    themselves are what a run trusts.
    """
    try:
        with open(os.path.join(path, LEDGER)) as ledger:
            found = json.load(ledger)
    except (OSError, ValueError):
        return {}
    if not isinstance(found, dict):
        return {}
    return {key: value for key, value in found.items()
            if isinstance(key, str) and isinstance(value, int) and not isinstance(value, bool)}


def record(path, dates, durable):
    """Add {order_book_id: YYYYMMDD} `dates` to the ledger under `path`; the entries kept win.
    `durable` (an update's --durable): the ledger is on disk before any file it records is made."""
    if not dates:
        return
    ledger = read(path)
    fresh = {key: value for key, value in dates.items() if key not in ledger}
    if not fresh:
        return
    ledger.update(fresh)
    os.makedirs(path, exist_ok=True)
    write_whole(os.path.join(path, LEDGER), json.dumps(ledger, sort_keys=True, separators=(",", ":")), durable)
