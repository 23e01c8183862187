"""What `corvane inspect` shows: totals per kind, the files whose last day is
oldest, one file's facts, one day's rows; as lines or as JSON.

The facts are counted by `corvane.read.facts`, which `corvane.read` lists
too; here is only their choosing and wording for the command.
"""
import os

import numpy as np

from corvane import layout as files
from corvane.read import facts as counted


OLDEST_SHOWN = 10


def bundle_facts(path, kind, as_of=None):
    """FileFacts of every file of the bundle at `path`; of every file the version `as_of` held, as it held them."""
    if as_of is None:
        return counted.bundle_facts(path, kind)
    return counted.facts_as_of(path, kind, as_of)


def file_facts(path, h5_file, label, as_of=None):
    """FileFacts of one file (OSError, KeyError or ValueError when damaged); as the version
    `as_of` of `path` held it, reading that file alone (not every file the version names)."""
    if as_of is None:
        return counted.read_facts(h5_file, label)
    return counted.file_facts_as_of(path, h5_file, as_of)


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


def _as_of_text(as_of):
    # A version's rows may lie in segments beside the file: the size on disk is the file's now.
    return "" if as_of is None else " as of {} (on disk: the files now)".format(as_of)


def history_bytes(path):
    """What the history under `path`'s hidden directory takes on disk (`corvane.read.facts.history_bytes`)."""
    return counted.history_bytes(path)


def history_line(held):
    """One line of what the history takes: manifests, segments and the rest, as of now."""
    return "history (.corvane/, now): {} = manifests {}, superseded segments {}, other {}".format(
        size(held["total"]), size(held["manifests"]), size(held["segments"]), size(held["other"]))


def summary_lines(path, kind, facts, as_of=None):
    lines = ["{} bundle {}{}".format(kind, path, _as_of_text(as_of)),
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
    return lines + [history_line(history_bytes(path))]


def summary_json(path, kind, facts):
    return {"path": path, "kind": kind, "kinds": kind_totals(facts),
            "oldest": [_plain(fact) for fact in oldest(facts)], "history_bytes": history_bytes(path)}


def _plain(fact):
    return {name: (int(value) if isinstance(value, (int, np.integer)) else value)
            for name, value in fact._asdict().items()}


def file_lines(fact, as_of=None):
    day_word = "tick days" if fact.label == files.TICK_KIND else "trading days"
    return [
        "{} ({}){}".format(fact.file, fact.label, _as_of_text(as_of)),
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
