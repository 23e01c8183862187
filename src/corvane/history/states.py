"""A file's state as a version records it: its entry (lengths, digests of its
last records, segments, the days a job revised), the order of two states,
and what `corvane gc` collected of a file.

Apart from the versions' log because a job takes its file's entry while it
still holds the file, in a worker, and the commit, its check and reads as of
a version all compare entries: each of them needs this, and no more.
"""
import os
from typing import NamedTuple

# Neither the engine nor pandas: `corvane log` reads the log alone, and starts fast.
from corvane.history import layout as history
from corvane.errors import VersionError


class Entry(NamedTuple):
    """One file's line in a run's version, as its job left the file.

    `line`: the manifest's object for the file, written as it is (its keys
    are the manifest's, which bundles already hold); `file` and `revised`
    are read from it.
    """
    line: dict

    @property
    def file(self):
        """The file's path under the root, as the manifest names it."""
        return self.line["file"]

    @property
    def revised(self):
        """YYYYMMDD text of the stored days the job replaced."""
        return tuple(self.line.get("revised", ()))


def job_entry(root, h5_file, kind, before, after, tails, h5=None):
    """job_state as an Entry; None when the job changed nothing."""
    line = job_state(root, h5_file, kind, before, after, tails, h5)
    return None if line is None else Entry(line)


def job_state(root, h5_file, kind, before, after, tails, h5=None):
    """The manifest entry of `h5_file` as its job left it, or None when the job changed nothing.

    `before`, `after`: the job's Held counts; `tails`: what the store gave of
    its last records (minute bars: "data_tail", "index_tail"; ticks: "days"
    written; "revised": the days a revision replaced; "quality": the quality
    checks' findings, kept as the entry's "quality"), None when it gave
    nothing: the file is read then.  `h5`: the job's file, still open and
    held by it, which is read (its segments counted) instead of opening the
    file: another run may change the file the moment the job lets it go.
    """
    revised = (tails or {}).get("revised")
    inserted = (tails or {}).get("inserted")
    # A tick day written again may leave the counts as they were.
    rewritten = bool((tails or {}).get("days"))
    if after is None or after.rows is None or (after == before and not revised and not rewritten):
        return None
    if (tails is None or not ("days" in tails or "data_tail" in tails)
            or (kind == "tick" and (revised or inserted))):
        # Read from the file: a tick file's revised or inserted days lie outside the latest days
        # the store counts, and the entry must name its latest day all the same.
        named = [str(day) for day in revised or ()] + list(inserted or ())
        entry = file_state(root, h5_file, kind, _changed_days(before, after), named, h5)
    else:
        file = history.relative(root, h5_file)
        entry = {"file": file, "segments": segment_count(root, h5_file, file)}
        if kind == "tick":
            entry.update(days=tails["days"], day_count=after.days)
        else:
            entry.update(data_rows=after.rows, index_rows=after.days, data_tail=tails["data_tail"],
                         index_tail=tails["index_tail"])
    if revised:
        entry["revised"] = sorted(str(day) for day in revised)
    if inserted:
        entry["inserted"] = sorted(inserted)
    if (tails or {}).get("quality"):
        # {YYYYMMDD: [[kind, rows, first example], ...]}: what the quality checks found in the rows written.
        entry["quality"] = tails["quality"]
    return entry


def _changed_days(before, after):
    """How many of a tick file's latest days a job may have written: the new ones and the one before."""
    if before is None or before.days is None or after.days is None:
        return None
    return after.days - before.days + 1


def segment_count(root, h5_file, file=None):
    """The number of the file's newest superseded segment (0: none); `file`: its path under `root`
    when known."""
    file = history.relative(root, h5_file) if file is None else file
    if not os.access(history.superseded_dir(root, file), os.F_OK):
        return 0    # no segment, nor gc's record of one: one look, not two failed opens
    found = history.segments(root, file)
    return max(found[-1][0] if found else 0, collected(root, file))


def _digest(reader, name, rows):
    if not rows:
        return None
    # The engine's writable file reads its last record as it holds it now.
    read_last = getattr(reader, "read_last", None)
    return history.tail_digest(read_last(name) if read_last else reader.read(name, rows - 1, rows, threads=1)[0])


def file_state(root, h5_file, kind, latest_days=None, named=(), h5=None):
    """The manifest entry of `h5_file` as it is now, read from the file (`h5`: from the
    engine's file a job still holds open, as the job left it).

    Of a tick file its `latest_days` newest days (None: every day) and the days `named`.
    """
    from corvane import _engine
    entry = {"file": history.relative(root, h5_file), "segments": segment_count(root, h5_file)}
    if h5 is not None:
        return _held_state(entry, h5, kind, latest_days, named)
    with _engine.Reader(h5_file) as reader:
        return _held_state(entry, reader, kind, latest_days, named)


def _held_state(entry, reader, kind, latest_days, named):
    """`entry` completed with what `reader` (the engine's Reader or File) holds; see file_state."""
    from corvane import formats
    from corvane.formats import DATA, INDEX
    members = reader.members()
    if kind == "tick":
        stored = sorted(name for name in members if formats.is_day_name(name))
        days = stored
        if latest_days is not None:
            days = stored[len(stored) - max(latest_days, 1):] if stored else []
            days = sorted(set(days) | (set(named) & set(stored)))
        entry["days"] = {day: [reader.length(day), _digest(reader, day, reader.length(day))] for day in days}
        entry["day_count"] = len(stored)
        return entry
    rows = {name: reader.length(name) if name in members else 0 for name in (DATA, INDEX)}
    entry.update(data_rows=rows[DATA], index_rows=rows[INDEX], data_tail=_digest(reader, DATA, rows[DATA]),
                 index_tail=_digest(reader, INDEX, rows[INDEX]))
    return entry


def state_key(entry):
    """An order of the states a file passes through: later states sort higher.

    Segments only grow; between two cuts a minute-bar file only grows, and a
    tick file only adds days (a revisit may fill one in below its latest) or
    writes its latest one again.
    """
    if "days" in entry:
        last = max(entry["days"]) if entry["days"] else ""
        return (entry["segments"], last, entry["days"][last][0] if last else 0, entry.get("day_count", 0))
    return (entry["segments"], entry["data_rows"], entry["index_rows"])


# ---------------------------------------------------------------- reading the log


# gc's record beside a file's segments (its name is the layout's).
COLLECTED = history.COLLECTED


def collected(root, file):
    """The newest segment number of `file` that gc removed (0: none)."""
    try:
        with open(history.collected_path(root, file)) as text:
            held = text.read()
    except (FileNotFoundError, NotADirectoryError):
        return 0
    except (OSError, UnicodeDecodeError) as error:
        raise VersionError("{}: gc's record of what it removed cannot be read ({})".format(
            history.collected_path(root, file), error)) from None
    if not held.strip():
        return 0
    if not held.strip().isdigit():
        # Taken for 0, a junk record would let a read use segments gc removed.
        raise VersionError("{}: gc's record of what it removed holds {!r}, not a segment number".format(
            history.collected_path(root, file), held[:40]))
    return int(held)

