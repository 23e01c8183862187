"""Revisits: the last stored days of a file asked of the client again, and
the days whose answer changed replaced.

A minute-bar file is revised from its first changed day on: its tail is cut
there and written again from the answer.  A tick file has each changed day
written again.  Either way the engine first moves what it replaces, whole,
to the file's next superseded segment (`corvane.history.layout`), so no stored row
is ever lost.  A day whose answer equals what is stored writes no byte.

An answer that lacks a stored day is a gap of the client, not a deletion: the
stored day is kept (written again from the file when it lies after the cut).
"""
import numpy as np

from corvane.history import layout as history
from corvane.formats import DATA, INDEX

__all__ = ["side_store", "first_revisited", "first_tick_day", "store_minbar", "tick_changed", "inserted"]


def side_store(root, h5_file):
    """The directory of `h5_file`'s superseded segments under `root`."""
    return history.superseded_dir(root, history.relative(root, h5_file))


def first_revisited(h5, days):
    """The first of the last `days` stored dates of a minute-bar file (a plain int)."""
    rows = h5.length(INDEX)
    return int(h5.read(INDEX, max(rows - days, 0), max(rows - days, 0) + 1)[0]["date"])


def first_tick_day(members, days):
    """The first of the last `days` stored days of a tick file (at least the latest)."""
    stored = sorted(members)
    return stored[-min(max(days, 1), len(stored))]


def _by_day(index, data, first_row=0):
    """{date: records of that day} of an index (line_no counted from `first_row`) over `data`."""
    starts = index["line_no"].astype(np.int64) - first_row
    ends = np.append(starts[1:], len(data))
    return {int(date): data[start:end] for date, start, end in zip(index["date"], starts, ends)}


def _same(stored, fresh):
    return len(stored) == len(fresh) and stored.tobytes() == fresh.astype(stored.dtype).tobytes()


def _changed_days(stored, fresh):
    """The stored dates the answer gives otherwise, and dates it adds among them, in order."""
    latest = max(stored)
    return sorted(date for date, records in fresh.items()
                  if date <= latest and (date not in stored or not _same(stored[date], records)))


def _batch(days, dtype, index_dtype):
    """(index, data) of {date: records}, in date order, line_no counted from 0."""
    dates = sorted(days)
    counts = [len(days[date]) for date in dates]
    index = np.zeros(len(dates), dtype=index_dtype)
    index["date"] = dates
    index["line_no"] = np.concatenate(([0], np.cumsum(counts)[:-1])) if dates else []
    data = np.concatenate([days[date].astype(dtype) for date in dates]) if dates else np.zeros(0, dtype)
    return index, data


def store_minbar(h5, index, data, first, side):
    """Store the answer (`index`, `data`) from date `first` on in a minute-bar
    file: changed days revised, new days appended, equal ones untouched.
    The revised dates, in order."""
    stored_index = h5.read(INDEX)
    kept = int(np.searchsorted(stored_index["date"], first))
    window = stored_index[kept:]
    first_row = int(window["line_no"][0])
    stored = _by_day(window, h5.read(DATA, first_row), first_row)
    fresh = _by_day(index, data)
    latest = max(stored)
    changed = _changed_days(stored, fresh)
    if changed:
        cut = changed[0]
        days = {date: records for date, records in stored.items() if date > cut}
        days.update((date, records) for date, records in fresh.items() if date >= cut)
        new_index, new_data = _batch(days, data.dtype, index.dtype)
        h5.revise_minbar(cut, new_index, new_data, side)
        return changed
    later = {date: records for date, records in fresh.items() if date > latest}
    if later:
        h5.append_minbar(*_batch(later, data.dtype, index.dtype))
    return []


def inserted(stored, written):
    """The tick days `written` that were not `stored` yet but lie below a stored day: a
    revisit filled a day the client had not served before (YYYYMMDD texts, in order)."""
    latest = max(stored, default="")
    return sorted(day for day in written if day not in stored and day < latest)


def tick_changed(h5, side, name, ticks):
    """Write stored day `name` again with `ticks`, its stored records moved to
    the side store first; its date as an int."""
    h5.revise_days([(name, ticks)], side)
    return int(name)
