"""A bundle's files: where they lie, what they hold, and their records as tables.

The stores write these files through the engine; the tools that look at a
bundle (`corvane verify`, `inspect`, `plot`) read them with h5py.  Both take
the file names and record layouts from here, so neither has to know the
other.
"""
import os
from typing import NamedTuple

import numpy as np
import pandas as pd

from corvane import _engine

# The sub-directories of a minute-bar root, by instrument type.
EQUITIES_DIRECTORY = "equities"
FUTURE_DIRECTORY = "future"
OPTION_DIRECTORY = "option"
MINBAR_DIRECTORIES = (EQUITIES_DIRECTORY, FUTURE_DIRECTORY, OPTION_DIRECTORY)
TICK_KIND = "ticks"
SUFFIX = ".h5"

_SEPARATORS = tuple(sep for sep in ("/", os.sep, os.altsep, "\0") if sep)


class BundleError(ValueError):
    """A path, identifier or day that names nothing in the bundle."""


def check_order_book_id(order_book_id):
    """Refuse an identifier that would name a file outside its directory.

    Identifiers come from the client; one holding a separator, or being
    ".." and the like, would otherwise write elsewhere in the file system.
    """
    if not isinstance(order_book_id, str):
        raise TypeError("order_book_id must be a string, not {!r}".format(order_book_id))
    if order_book_id in ("", ".", "..") or any(sep in order_book_id for sep in _SEPARATORS):
        raise ValueError("unsafe order_book_id for a file name: {!r}".format(order_book_id))


def instrument_file(path, order_book_id, file_name=None):
    """The path of an instrument's file in directory `path`."""
    check_order_book_id(order_book_id)
    return os.path.join(path, file_name if file_name else "{}{}".format(order_book_id, SUFFIX))


class Layouts(NamedTuple):
    """The record types of a bundle's files, and the tick reader's scales."""
    equities: np.dtype
    derivatives: np.dtype
    index: np.dtype
    ticks: np.dtype
    tick_scales: dict  # scaled tick field -> the number it was multiplied by


def layouts():
    """The record types as `corvane.bundle` and its tick reader define them now.

    Imported here, not at load: the module surface needs the platform, which
    the rest of this module does not.
    """
    from corvane import bundle

    loader = bundle.H5TicksLoader
    return Layouts(
        equities=np.dtype(bundle.EQUITIES_DTYPE),
        derivatives=np.dtype(bundle.DERIVATIVES_DTYPE),
        index=np.dtype(bundle.INDEX_DTYPE),
        ticks=np.dtype(loader.DTYPES),
        tick_scales={name: float(scale) for name, _, scale in loader.FIELDS},
    )


def bar_dtype(layouts, directory):
    """The record type of "data" in a minute-bar sub-directory."""
    return layouts.equities if directory == EQUITIES_DIRECTORY else layouts.derivatives


# ---------------------------------------------------------------- leftovers

def _affixes(companion):
    """(prefix, suffix) the engine puts around a file name for a companion."""
    probe = "probe" + SUFFIX
    return tuple(os.path.basename(companion(probe)).split(probe))


def leftover_names():
    """{kind: (prefix, suffix)} of the hidden files an interrupted update leaves."""
    return {"journal": _affixes(_engine.journal_path), "temporary": _affixes(_engine.temporary_path)}


def companion_paths(h5_file):
    """{kind: path} of the journal and temporary file that belong to `h5_file`."""
    return {"journal": _engine.journal_path(h5_file), "temporary": _engine.temporary_path(h5_file)}


def owner_of(entry, names):
    """The bundle file name a hidden leftover `entry` belongs to, or None."""
    for prefix, suffix in names.values():
        stem = entry[len(prefix):len(entry) - len(suffix)]
        if entry.startswith(prefix) and entry.endswith(suffix) and stem.endswith(SUFFIX):
            return stem
    return None


# ---------------------------------------------------------------- locating files

def _entries(directory):
    try:
        return sorted(os.listdir(directory))
    except FileNotFoundError:
        return []


def bundle_kind(path):
    """"minbar" for a minute-bar root, "tick" for a tick directory, None otherwise."""
    if not os.path.isdir(path):
        return None
    if any(os.path.isdir(os.path.join(path, name)) for name in MINBAR_DIRECTORIES):
        return "minbar"
    names = leftover_names()
    if any(name.endswith(SUFFIX) or owner_of(name, names) for name in _entries(path)):
        return "tick"
    return None


def directories(path, kind):
    """[(label, directory)] holding instrument files: the sub-directories, or the tick directory."""
    if kind == "tick":
        return [(TICK_KIND, path)]
    return [(name, os.path.join(path, name)) for name in MINBAR_DIRECTORIES]


def instrument_paths(directory):
    """Every bundle file in `directory` that exists or that a leftover names, sorted."""
    names = leftover_names()
    found = set()
    for entry in _entries(directory):
        owner = owner_of(entry, names)
        if owner:
            found.add(owner)
        elif entry.endswith(SUFFIX) and os.path.isfile(os.path.join(directory, entry)):
            found.add(entry)
    return [os.path.join(directory, name) for name in sorted(found)]


def order_book_id_of(h5_file):
    return os.path.basename(h5_file)[:-len(SUFFIX)]


def require_kind(path, kind=None):
    """The kind of bundle at `path` (or `kind` when given); BundleError when it is none."""
    if not os.path.isdir(path):
        raise BundleError("{} is not a directory".format(path))
    found = kind or bundle_kind(path)
    if found is None:
        raise BundleError("{} is not a bundle: no {} sub-directory and no {} file".format(
            path, "/".join(MINBAR_DIRECTORIES), SUFFIX))
    name = os.path.basename(os.path.normpath(path))
    if kind is None and found == "tick" and name in MINBAR_DIRECTORIES:
        raise BundleError("{} is a sub-directory of a minute-bar root: give the root {}".format(
            path, os.path.dirname(os.path.normpath(path)) or "."))
    return found


def find_instrument(path, kind, order_book_id):
    """(label, file) of an instrument's file in the bundle; BundleError when there is none."""
    try:
        check_order_book_id(order_book_id)
    except ValueError as error:
        raise BundleError(str(error)) from None
    for label, directory in directories(path, kind):
        h5_file = instrument_file(directory, order_book_id)
        if os.path.isfile(h5_file):
            return label, h5_file
    raise BundleError("no file for {} in {}".format(order_book_id, path))


# ---------------------------------------------------------------- records as tables

def parse_day(text):
    """A day given as YYYYMMDD as that integer; BundleError otherwise."""
    text = str(text)
    try:
        # ASCII only: str.isdigit also takes other scripts' digits.
        day = pd.Timestamp(text) if len(text) == 8 and text.isascii() and text.isdigit() else None
    except ValueError:
        day = None
    if day is None:
        raise BundleError("{!r} is not a day written YYYYMMDD".format(text))
    return int(text)


def is_day_name(name):
    """Whether a tick dataset's name is a real date written YYYYMMDD."""
    try:
        parse_day(name)
    except BundleError:
        return False
    return True


def _stamps(date, hhmmss, extra_ns=0):
    """Timestamps from integer YYYYMMDD dates and integer HHMMSS times."""
    date = np.asarray(date, dtype=np.int64)
    hhmmss = np.asarray(hhmmss, dtype=np.int64)
    days = pd.to_datetime(pd.DataFrame({"year": date // 10000, "month": date // 100 % 100, "day": date % 100}))
    seconds = hhmmss // 10000 * 3600 + hhmmss // 100 % 100 * 60 + hhmmss % 100
    return pd.DatetimeIndex(days.to_numpy() + (seconds * 10 ** 9 + extra_ns).astype("timedelta64[ns]"))


def bar_times(values):
    """Bar `datetime` integers (YYYYMMDDHHMMSS) as timestamps."""
    values = np.asarray(values, dtype=np.int64)
    return _stamps(values // 1000000, values % 1000000)


def bar_dates(values):
    """The calendar date YYYYMMDD of bar `datetime` integers."""
    return np.asarray(values, dtype=np.int64) // 1000000


def bars_table(records):
    """Bar records as a table indexed by their decoded time."""
    table = pd.DataFrame({name: records[name] for name in records.dtype.names if name != "datetime"})
    table.index = bar_times(records["datetime"])
    table.index.name = "datetime"
    return table


def tick_times(records):
    """Tick `date` (YYYYMMDD) and `time` (HHMMSSmmm) fields as timestamps."""
    time = np.asarray(records["time"], dtype=np.int64)
    return _stamps(records["date"], time // 1000, time % 1000 * 10 ** 6)


def ticks_table(records, scales):
    """Tick records as a table indexed by time, scaled fields divided back."""
    columns = {}
    for name in records.dtype.names:
        if name in ("date", "time"):
            continue
        values = records[name]
        columns[name] = values / scales[name] if name in scales else values
    table = pd.DataFrame(columns)
    table.index = tick_times(records)
    table.index.name = "datetime"
    return table


def day_rows(index, rows, day):
    """(first, stop) rows of "data" that belong to trading date `day`, or None."""
    at = np.flatnonzero(index["date"] == day)
    if not len(at):
        return None
    k = int(at[0])
    stop = int(index["line_no"][k + 1]) if k + 1 < len(index) else rows
    return int(index["line_no"][k]), stop
