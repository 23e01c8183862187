"""What a bundle holds: per kind, per file.  Reads through the engine's reader,
as `corvane.read` does, so both count the same rows and days."""
import os
from typing import NamedTuple

import numpy as np

from corvane import _engine
from corvane import bundle_files as files
from corvane import formats
from corvane.formats import DATA, INDEX

__all__ = ["FileFacts", "read_facts", "file_facts", "bundle_facts", "summary_lines", "summary_json",
           "file_lines", "file_json", "table_json"]

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


def _minbar_facts(reader):
    """(rows, days, first, last, raw bytes, chunk) of an open minute-bar file."""
    if INDEX not in reader or DATA not in reader:
        return 0, 0, 0, 0, 0, (0, 0)
    rows, dtype = reader.length(DATA), reader.dtype(DATA)
    dates = reader.read(INDEX, threads=1)["date"]
    first, last = (int(dates[0]), int(dates[-1])) if len(dates) else (0, 0)
    return rows, len(dates), first, last, rows * dtype.itemsize, _chunk(reader, DATA, dtype)


def _tick_facts(reader):
    # A tick file's days are its datasets named by a date, as `corvane.read` counts them.
    days = sorted(name for name in reader.members() if formats.is_day_name(name))
    lengths = {day: reader.length(day) for day in days}
    raw = sum(lengths[day] * reader.dtype(day).itemsize for day in days)
    first, last = (int(days[0]), int(days[-1])) if days else (0, 0)
    return (sum(lengths.values()), len(days), first, last, raw,
            _chunk(reader, days[-1], reader.dtype(days[-1])) if days else (0, 0))


def _chunk(reader, name, dtype):
    rows = reader.chunk_rows(name) if hasattr(reader, "chunk_rows") else 0
    return rows, rows * dtype.itemsize


def read_facts(h5_file, label):
    """FileFacts of one instrument's file; OSError (or KeyError, ValueError) when damaged."""
    with _engine.Reader(h5_file) as reader:
        facts = _tick_facts(reader) if label == files.TICK_KIND else _minbar_facts(reader)
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

def table_json(table):
    out = table.reset_index()
    out["datetime"] = out["datetime"].dt.strftime("%Y-%m-%d %H:%M:%S.%f").str[:-3]
    return out.to_dict(orient="records")
