"""What a bundle holds: per kind, per file, and what its history takes on disk.
Reads through the engine's reader, as `corvane.read` does, so both count the
same rows and days."""
import contextlib
import os
from typing import NamedTuple


from corvane import _engine
from corvane import layout as files
from corvane import formats
from corvane.formats import DATA, INDEX
from corvane.errors import VersionError
from corvane.history import asof
from corvane.history import layout as history


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


def facts_as_of(root, kind, as_of):
    """FileFacts of every file the version `as_of` of `root` held, as it held them."""
    version = asof.Version(root, as_of)
    return [_version_facts(version, os.path.join(root, *file.split("/"))) for file in sorted(version.files())]


def file_facts_as_of(root, h5_file, as_of):
    """FileFacts of one file as the version `as_of` of `root` held it, reading that file alone
    (not every file the version names); VersionError when the version did not hold it."""
    return _version_facts(asof.Version(root, as_of), h5_file)


def _version_facts(version, h5_file):
    with version.open(h5_file) as view:
        tick = isinstance(view, asof.TickView)
        held = _tick_facts(view) if tick else _minbar_facts(view)
    return _facts(h5_file, files.TICK_KIND if tick else os.path.basename(os.path.dirname(h5_file)), held, True)


def history_bytes(root):
    """{"manifests", "segments", "other", "total": bytes} under the hidden directory of `root`:
    the versions' manifests, the superseded segments (with gc's records beside them), the rest
    (tags, markers, the last check's record, calendars)."""
    found = {"manifests": 0, "segments": 0, "other": 0}
    parts = [("manifests", history.versions_dir(root)), ("segments", history.superseded_root(root))]
    for directory, _, names in os.walk(history.history_dir(root)):
        part = next((name for name, top in parts if directory == top or directory.startswith(top + os.sep)),
                    "other")
        for name in names:
            # A file a run or gc removes meanwhile is not counted.
            with contextlib.suppress(FileNotFoundError):
                found[part] += os.lstat(os.path.join(directory, name)).st_size
    return dict(found, total=sum(found.values()))


def bundle_facts_as_of(roots, as_of):
    """facts_as_of() of each of `roots` ({kind: root}); of a folder holding both kinds, an id or tag
    names a version of one of them, whose files alone are listed."""
    found, refused = [], []
    for kind, root in sorted(roots.items()):
        try:
            found += facts_as_of(root, kind, as_of)
        except VersionError as error:
            if len(roots) == 1 or not isinstance(as_of, str) or not asof.names_nothing(root, as_of):
                raise
            refused.append(error)
    if refused and len(refused) == len(roots):
        raise refused[0]
    return found
