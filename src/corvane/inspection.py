"""What a bundle holds: per kind, per file, per day.  Reads with h5py only."""
import os
from typing import NamedTuple

import h5py
import numpy as np

from corvane import bundle_files as files
from corvane import formats
from corvane.errors import DamagedFileError
from corvane.formats import DATA, INDEX

OLDEST_SHOWN = 10


class FileFacts(NamedTuple):
    file: str
    label: str         # equities, future, option or ticks
    rows: int
    days: int          # trading days (tick days)
    first: int         # first stored date, 0 when none
    last: int
    disk_bytes: int
    raw_bytes: int     # rows times the record size
    chunk_rows: int    # of the bar records, or of the latest tick day; 0 when none
    chunk_bytes: int
    readable: bool = True


def _chunk(dataset):
    rows = dataset.chunks[0] if dataset.chunks else 0
    return rows, rows * dataset.dtype.itemsize


def _minbar_facts(h5):
    """(rows, days, first, last, raw bytes, chunk) of an open minute-bar file."""
    if INDEX not in h5 or DATA not in h5:
        return 0, 0, 0, 0, 0, (0, 0)
    data, dates = h5[DATA], h5[INDEX].fields("date")[()]
    first, last = (int(dates[0]), int(dates[-1])) if len(dates) else (0, 0)
    return len(data), len(dates), first, last, data.size * data.dtype.itemsize, _chunk(data)


def _tick_facts(h5):
    days = sorted(name for name, member in h5.items() if isinstance(member, h5py.Dataset))
    rows = sum(len(h5[name]) for name in days)
    raw = sum(h5[name].size * h5[name].dtype.itemsize for name in days)
    dated = [name for name in days if formats.is_day_name(name)]
    first, last = (int(dated[0]), int(dated[-1])) if dated else (0, 0)
    return rows, len(days), first, last, raw, (_chunk(h5[days[-1]]) if days else (0, 0))


def _refuse_damaged_chunks(h5_file, members):
    damaged = members and files.damaged_chunk(h5_file, members)
    if damaged:
        raise DamagedFileError(damaged[-1])


# What h5py raises of a damaged file besides OSError: its library's failures
# and names that are not text.
_H5PY_DAMAGE = (RuntimeError, TypeError, UnicodeDecodeError)


def read_facts(h5_file, label):
    """FileFacts of one instrument's file; OSError (or KeyError, ValueError) when damaged."""
    _refuse_damaged_chunks(h5_file, [] if label == files.TICK_KIND else [INDEX])
    try:
        with h5py.File(h5_file, "r") as h5:
            facts = _tick_facts(h5) if label == files.TICK_KIND else _minbar_facts(h5)
    except _H5PY_DAMAGE as error:
        raise DamagedFileError("{}: {}".format(h5_file, error)) from None
    return _facts(h5_file, label, facts, True)


def file_facts(h5_file, label):
    """FileFacts of one instrument's file; an unreadable file holds nothing."""
    try:
        return read_facts(h5_file, label)
    except (OSError, KeyError, ValueError):  # damaged; `corvane verify` says how
        return _facts(h5_file, label, (0, 0, 0, 0, 0, (0, 0)), False)


def _facts(h5_file, label, facts, readable):
    rows, days, first, last, raw, (chunk_rows, chunk_bytes) = facts
    return FileFacts(h5_file, label, rows, days, first, last, os.path.getsize(h5_file), raw,
                     chunk_rows, chunk_bytes, readable)


def bundle_facts(path, kind):
    """FileFacts of every file in the bundle."""
    return [file_facts(h5_file, label)
            for label, directory in files.directories(path, kind)
            for h5_file in files.instrument_paths(directory) if os.path.isfile(h5_file)]


def kind_totals(facts):
    """{label: totals} over the files of each kind."""
    totals = {}
    for fact in facts:
        entry = totals.setdefault(fact.label, {"files": 0, "rows": 0, "disk_bytes": 0, "raw_bytes": 0,
                                               "first": 0, "last": 0})
        entry["files"] += 1
        for name in ("rows", "disk_bytes", "raw_bytes"):
            entry[name] += getattr(fact, name)
        if fact.first:
            entry["first"] = min(entry["first"] or fact.first, fact.first)
            entry["last"] = max(entry["last"], fact.last)
    return totals


def oldest(facts, count=OLDEST_SHOWN):
    """The files whose last stored day is oldest (files holding nothing first)."""
    return sorted(facts, key=lambda fact: (fact.last, fact.file))[:count]


def size(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return "{:.0f} {}".format(count, unit) if unit == "B" else "{:.1f} {}".format(count, unit)
        count /= 1024


def _ratio(disk, raw):
    return "{:.2f}".format(disk / raw) if raw else "-"


def summary_lines(path, kind, facts):
    lines = ["{} bundle {}".format(kind, path),
             "{:<10} {:>6} {:>12} {:>11} {:>11} {:>6} {:>9} {:>9}".format(
                 "kind", "files", "rows", "on disk", "raw", "ratio", "first", "last")]
    for label, entry in kind_totals(facts).items():
        lines.append("{:<10} {:>6} {:>12} {:>11} {:>11} {:>6} {:>9} {:>9}".format(
            label, entry["files"], entry["rows"], size(entry["disk_bytes"]), size(entry["raw_bytes"]),
            _ratio(entry["disk_bytes"], entry["raw_bytes"]), entry["first"] or "-", entry["last"] or "-"))
    lines.append("files whose last day is oldest:")
    lines += ["  {:>10}  {}".format(fact.last or ("empty" if fact.readable else "unreadable"),
                                     os.path.relpath(fact.file, path))
              for fact in oldest(facts)]
    return lines


def summary_json(path, kind, facts):
    return {"path": path, "kind": kind, "kinds": kind_totals(facts),
            "oldest": [_plain(fact) for fact in oldest(facts)]}


def _plain(fact):
    return {name: (int(value) if isinstance(value, (int, np.integer)) else value)
            for name, value in fact._asdict().items()}


def file_lines(fact):
    day_word = "tick days" if fact.label == files.TICK_KIND else "trading days"
    return [
        "{} ({})".format(fact.file, fact.label),
        "  rows          {}".format(fact.rows),
        "  {:<13} {}".format(day_word, fact.days),
        "  first, last   {}, {}".format(fact.first or "-", fact.last or "-"),
        "  on disk       {} ({} bytes) against {} raw ({} bytes): ratio {}".format(
            size(fact.disk_bytes), fact.disk_bytes, size(fact.raw_bytes), fact.raw_bytes,
            _ratio(fact.disk_bytes, fact.raw_bytes)),
        "  chunk         {} records, {}".format(fact.chunk_rows, size(fact.chunk_bytes)),
    ]


def file_json(fact):
    return _plain(fact)


# ---------------------------------------------------------------- one day

def day_table(h5_file, label, day, layouts):
    """The bars or ticks of one stored day as a table; BundleError when it is not stored."""
    _refuse_damaged_chunks(h5_file, ["{:08d}".format(day)] if label == files.TICK_KIND else [INDEX, DATA])
    try:
        return _day_table(h5_file, label, day, layouts)
    except _H5PY_DAMAGE as error:
        raise DamagedFileError("{}: {}".format(h5_file, error)) from None


def _day_table(h5_file, label, day, layouts):
    with h5py.File(h5_file, "r") as h5:
        if label == files.TICK_KIND:
            name = "{:08d}".format(day)
            if name not in h5:
                raise files.BundleError("{} holds no ticks of {}".format(h5_file, name))
            return files.ticks_table(h5[name][()], layouts.tick_scales)
        index = h5[INDEX][()] if INDEX in h5 else np.zeros(0, dtype=formats.INDEX_DTYPE)
        rows = files.day_rows(index, len(h5[DATA]) if DATA in h5 else 0, day)
        if rows is None:
            raise files.BundleError("{} holds no bars of {}".format(h5_file, day))
        return files.bars_table(h5[DATA][rows[0]:rows[1]])


def table_json(table):
    out = table.reset_index()
    out["datetime"] = out["datetime"].dt.strftime("%Y-%m-%d %H:%M:%S.%f").str[:-3]
    return out.to_dict(orient="records")
