"""A venue's trading calendar as the bundle's own files make it, and the
trading dates a file stores.

The calendar of a venue (the part of the identifier after its last ".") is
the union of the dates its files hold; a plain one is kept, with the stamps
it was taken at, in this process and on disk, and one as of a version is
kept for the last versions read.  Apart from `corvane.read.gaps`, which
measures each file against it: reads as of a version and `strict` reads
need the calendar alone, and its keeping is most of this code.
"""
import collections
import contextlib
import hashlib
import json
import os
import stat
import time

import numpy as np

from corvane import _engine
from corvane.formats import DATA, INDEX

from corvane.history import layout as history
from corvane import layout as files
from corvane.formats import SUFFIX, order_book_id_of
from corvane.whole_files import SETTLED_NS, write_whole
from corvane.whole_files import stamp as _stamp


def venue_of(order_book_id):
    return order_book_id.rsplit(".", 1)[1] if "." in order_book_id else ""


# Each venue's calendar is kept with the stamps of the root's directories and of the
# venue's files.  Every write of the engine creates and removes its lock file beside the
# file it writes, and a new or replaced file is a new directory entry: either way the
# directory's modified time moves.  So while every directory's stamp is unchanged, and was
# settled when taken (older than SETTLED_NS: two changes within one tick of the file
# system's clock leave one time), the calendar holds without a look at any file.  A file
# changed in place by another program than the engine is seen once its directory changes.
#
# A settled calendar is also kept on disk, in the root's history directory where there is
# one, for the next process: at a whole market, reading every file's index costs seconds
# that each new process would pay again.  A kept file that cannot be read, or is not what
# it should be, is passed over, and a reader that cannot write it leaves it be.
_CALENDARS = {}


def _directory_stamps(path):
    """The stamp of each directory of the minute-bar root `path` (None for one it lacks)."""
    stamps = []
    for _, directory in files.directories(path, "minbar"):
        try:
            stamps.append(_stamp(os.stat(directory)))
        except FileNotFoundError:
            stamps.append(None)
    return tuple(stamps)


def _venue_files(path, venue):
    """{file: stamp} of the files of `venue` in the minute-bar root `path` (its callers checked it):
    one directory scan and a stat each."""
    found = {}
    for _, directory in files.directories(path, "minbar"):
        if not os.path.isdir(directory):
            continue
        with os.scandir(directory) as entries:
            for entry in entries:
                if entry.name.endswith(SUFFIX) and venue_of(entry.name[:-len(SUFFIX)]) == venue:
                    status = entry.stat()
                    if stat.S_ISREG(status.st_mode):
                        found[entry.path] = _stamp(status)
    return found


def venue_calendar(path, venue):
    """The union of the dates held by the files of `venue` in the minute-bar root `path`."""
    key = (os.path.abspath(path), venue)
    now = time.time_ns()
    # Taken before the files are looked at: a change made meanwhile moves it again.
    directories = _directory_stamps(path)
    kept = _CALENDARS.get(key) or _kept_on_disk(path, venue)
    if kept is not None and kept.settled and kept.directories == directories:
        _CALENDARS[key] = kept
        return kept.calendar
    found = _venue_files(path, venue)
    stamps = _files_digest(found.values())
    if kept is not None and kept.files == stamps:
        calendar = kept.calendar
    else:
        # A file that cannot be read adds nothing: its neighbours are still read.
        held = [readable_days(h5_file) for h5_file in sorted(found)]
        calendar = _union([days[0] for days in held if not isinstance(days, str)])
    settled = all(stamp is None or now - stamp[2] > SETTLED_NS for stamp in directories)
    _CALENDARS[key] = Kept(directories, settled, stamps, calendar)
    if settled:
        _keep_on_disk(path, venue, _CALENDARS[key])
    return calendar


def _files_digest(stamps):
    return hashlib.sha256(repr(sorted(stamps)).encode()).hexdigest()


def _kept_on_disk(path, venue):
    """The settled calendar of `venue` a process kept on disk, or None."""
    try:
        with open(history.calendar_path(path, venue), encoding="utf-8") as text:
            record = json.load(text)
        directories = tuple(None if one is None else tuple(int(value) for value in one)
                            for one in record["directories"])
        calendar = np.array(record["calendar"], dtype=np.int64)
        files_digest = record["files"]
    except (OSError, ValueError, TypeError, KeyError, OverflowError):
        return None
    if (record.get("venue") != venue or not isinstance(files_digest, str) or calendar.ndim != 1
            or (calendar[1:] <= calendar[:-1]).any()):
        return None
    return Kept(directories, True, files_digest, calendar)


def _keep_on_disk(path, venue, kept):
    """Writes `kept` whole, where the root has a history directory to hold it; a reader that
    cannot write there (a bundle mounted read-only) does without."""
    if not os.path.isdir(history.history_dir(path)):
        return
    record = {"venue": venue, "directories": kept.directories, "files": kept.files,
              "calendar": kept.calendar.tolist()}
    with contextlib.suppress(OSError):
        write_whole(history.calendar_path(path, venue), json.dumps(record), durable=False)


def calendars_of(path, h5_files, version=None):
    """{venue: calendar} of the venues of `h5_files`, each venue's files scanned once; as of
    `version` (`corvane.history.asof`) when given."""
    return {venue: calendar_as_of(path, venue, version) for venue in {venue_of(order_book_id_of(h5_file))
                                                                      for h5_file in h5_files}}


def calendar_as_of(path, venue, version):
    """`venue_calendar`, or of `version` (None: the files as they are): the union of the dates
    its files of `venue` held.  A version never changes: its calendar is kept by its id."""
    if version is None:
        return venue_calendar(path, venue)
    key = (os.path.abspath(path), version.id, venue)
    if key not in _VERSION_CALENDARS:
        held = [readable_days(os.path.join(path, *file.split("/")), version.open)
                for file, entry in sorted(version.files().items())
                if "days" not in entry and venue_of(order_book_id_of(file)) == venue]
        if len(_VERSION_CALENDARS) >= KEPT_VERSIONS:
            _VERSION_CALENDARS.pop(next(iter(_VERSION_CALENDARS)))
        _VERSION_CALENDARS[key] = _union([days[0] for days in held if not isinstance(days, str)])
    return _VERSION_CALENDARS[key]


# {(root, version id, venue): calendar}, the oldest dropped first past KEPT_VERSIONS.
_VERSION_CALENDARS = {}
KEPT_VERSIONS = 32


Kept = collections.namedtuple("Kept", "directories settled files calendar")


def readable_days(h5_file, opener=_engine.Reader):
    """stored_days(h5_file, opener), or the one-line reason it cannot be read."""
    try:
        return stored_days(h5_file, opener)
    except (OSError, ValueError) as error:
        return " ".join(str(error).split()) or type(error).__name__


def _union(date_lists):
    return np.unique(np.concatenate(date_lists)) if date_lists else np.zeros(0, dtype=np.int64)


def stored_days(h5_file, opener=_engine.Reader):
    """(dates, bars of each date) of a minute-bar file, from its index; none of a file yet empty.
    `opener`: what opens the file (a version's reader for its days as of it)."""
    with opener(h5_file) as reader:
        held = [name for name in (INDEX, DATA) if name in reader]
        if not held:
            return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
        if len(held) == 1:
            raise files.BundleError("{} holds \"{}\" alone; `corvane verify` tells what is wrong".format(
                h5_file, held[0]))
        index = reader.read(INDEX, threads=1)
        rows = reader.length(DATA)
    line_no = index["line_no"].astype(np.int64)
    per_day = np.append(line_no[1:], rows) - line_no
    if len(line_no) and (line_no[0] != 0 or (per_day < 0).any()):
        raise files.BundleError("{}: its index names rows that \"{}\" does not hold in order; "
                                "`corvane verify` tells what is wrong".format(h5_file, DATA))
    dates = index["date"].astype(np.int64)
    # Everything here looks dates up by binary search.
    if (dates[1:] <= dates[:-1]).any():
        raise files.BundleError("{}: its index holds dates out of order; `corvane verify` tells what is wrong"
                                .format(h5_file))
    return dates, per_day
