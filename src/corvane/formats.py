"""The bundle's two file formats, and where their files lie.

A minute-bar root holds one sub-directory per kind of record ("equities",
"future", "option"); each file in it holds a growing dataset "data" of bar
records and a growing dataset "index" with one record per trading date (or
one of them, or nothing yet).  A tick directory holds the files itself; each
holds one dataset per trading day, named with the day's eight digits (or
nothing yet).  A file is named after its instrument: "{order_book_id}.h5".

The record layouts are the engine's, which writes every byte: they are read
from it here, once, and checked to be the packed little-endian records the
files have always held.  Every other module takes these names from here.
"""
import os

import numpy as np
import pandas as pd

from corvane import _engine
from corvane.errors import FormatError

__all__ = ["EQUITIES_DTYPE", "DERIVATIVES_DTYPE", "INDEX_DTYPE", "MIN_START_DATE", "MAX_END_DATE",
           "DATA", "INDEX", "MINBAR_MEMBERS", "EQUITIES_DIRECTORY", "FUTURE_DIRECTORY",
           "OPTION_DIRECTORY", "MINBAR_DIRECTORIES", "SUFFIX", "DAY_NAME", "LEFTOVERS", "bar_dtype",
           "check_order_book_id", "instrument_file", "order_book_id_of", "directories", "locate",
           "companion_paths", "lock_path", "owner_of", "day_number", "is_day_name",
           "check_minbar_members", "check_tick_members", "holding", "FormatError"]

# ---------------------------------------------------------------- records

def _packed(name, layout):
    """The numpy dtype of an engine layout; FormatError unless packed little-endian."""
    fields = layout["fields"]
    dtype = np.dtype({"names": [field for field, _, _ in fields],
                      "formats": [code for _, code, _ in fields],
                      "offsets": [offset for _, _, offset in fields],
                      "itemsize": layout["itemsize"]})
    packed = np.dtype([(field, code) for field, code, _ in fields])
    if dtype != packed or any(code[0] not in "<|" for _, code, _ in fields):
        raise FormatError("the engine's {} {} is not a packed little-endian record"
                          .format(name, dtype.descr))
    # The plain form: the dtype a reader of the files gets from h5py.
    return packed


_LAYOUTS = _engine.layouts()
# One minute bar of an equity-like instrument: 7 fields, 56 bytes.
EQUITIES_DTYPE = _packed("EQUITIES_DTYPE", _LAYOUTS["EQUITIES_DTYPE"])
# One minute bar of a future or an option: open_interest (<i8) after close, 64 bytes.
DERIVATIVES_DTYPE = _packed("DERIVATIVES_DTYPE", _LAYOUTS["DERIVATIVES_DTYPE"])
# One trading date of a minute-bar file: the date and the row of its first bar.
INDEX_DTYPE = _packed("INDEX_DTYPE", _LAYOUTS["INDEX_DTYPE"])
del _LAYOUTS

MIN_START_DATE = 20050104   # a file holding nothing is filled from this date
MAX_END_DATE = 29991231     # later than any data: the end of every request

# ---------------------------------------------------------------- names

# The datasets of a minute-bar file, named by the engine that writes them:
# the bar records, and their per-date index.
DATA, INDEX = _engine.minbar_members()
MINBAR_MEMBERS = (DATA, INDEX)

# The sub-directories of a minute-bar root, by the record type their files hold.
EQUITIES_DIRECTORY = "equities"
FUTURE_DIRECTORY = "future"
OPTION_DIRECTORY = "option"
MINBAR_DIRECTORIES = (EQUITIES_DIRECTORY, FUTURE_DIRECTORY, OPTION_DIRECTORY)

SUFFIX = ".h5"
# A tick dataset's name: the trading day's eight digits.
DAY_NAME = "%Y%m%d"

_SEPARATORS = tuple(dict.fromkeys(sep for sep in ("/", os.sep, os.altsep, "\0") if sep))


def bar_dtype(directory):
    """The record type of DATA in the minute-bar sub-directory `directory`."""
    return EQUITIES_DTYPE if directory == EQUITIES_DIRECTORY else DERIVATIVES_DTYPE


def check_order_book_id(order_book_id):
    """Refuse an identifier that would name a file outside its directory.

    Identifiers come from the client; one holding a separator, or being
    ".." and the like, would otherwise write elsewhere in the file system.
    """
    if not isinstance(order_book_id, str):
        raise TypeError("order_book_id must be a string, not {!r}".format(order_book_id))
    if order_book_id in ("", ".", ".."):
        raise ValueError("unsafe order_book_id for a file name: {!r}".format(order_book_id))
    for sep in _SEPARATORS:
        if sep in order_book_id:
            raise ValueError("unsafe order_book_id for a file name: {!r}".format(order_book_id))


def instrument_file(path, order_book_id, file_name=None):
    """The path of an instrument's file in directory `path`."""
    check_order_book_id(order_book_id)
    return os.path.join(path, file_name if file_name else order_book_id + SUFFIX)


def order_book_id_of(h5_file):
    return os.path.basename(h5_file)[:-len(SUFFIX)]


def directories(path, kind):
    """The directories of a bundle of `kind` ("minbar" or "tick") that hold instrument files."""
    if kind == "tick":
        return [path]
    return [os.path.join(path, name) for name in MINBAR_DIRECTORIES]


def locate(path, order_book_id, kind):
    """The file of `order_book_id` in the bundle of `kind` at `path`; None when it has none.

    Anything at the file's name counts (a directory, a dangling link): the
    job that opens it then says what is wrong with it.
    """
    check_order_book_id(order_book_id)
    name = order_book_id + SUFFIX
    for prefix in _prefixes(path, kind):
        # instrument_file's name, joined as os.path.join joins a plain name.
        h5_file = prefix + name
        if _lexists(h5_file):
            return h5_file
    return None


def _lexists(path):
    """os.path.lexists, without the exception a missing name raises inside it."""
    try:
        return os.access(path, os.F_OK, follow_symlinks=False)
    except ValueError:
        return False


# {(root, kind): its directories, each as the prefix of a file's path in it}: every job of a run asks of one root.
_located = {}


def _prefixes(path, kind):
    key = (path, kind) if type(path) is str else None
    found = _located.get(key)
    if found is None:
        found = tuple(os.path.join(directory, "") for directory in directories(path, kind))
        if key is not None:
            if len(_located) >= 64:
                _located.clear()
            _located[key] = found
    return found


# ---------------------------------------------------------------- companions

# The hidden files an interrupted update may leave beside its file: the
# rollback journal, and the temporary file a new version is built in.  The
# writer's lock file is no leftover of its own: it goes with its holder.
LEFTOVERS = ("journal", "temporary")


def companion_paths(h5_file):
    """{kind: path} of the leftovers (LEFTOVERS) an interrupted update of `h5_file` may leave."""
    companions = _engine.companions(h5_file)
    return {kind: companions[kind] for kind in LEFTOVERS}


def lock_path(h5_file):
    """The writers' lock file of `h5_file`, there only while a writer works."""
    return _engine.lock_path(h5_file)


def owner_of(entry):
    """The bundle file name a hidden leftover `entry` belongs to, or None (the engine's names)."""
    found = _engine.companion_of(entry, SUFFIX)
    return found[1] if found is not None and found[0] in LEFTOVERS else None


# ---------------------------------------------------------------- what a file may hold

def day_number(name):
    """The integer YYYYMMDD of a real date written as eight ASCII digits; None otherwise."""
    text = str(name)
    # ASCII only: str.isdigit also takes other scripts' digits.
    if not (len(text) == 8 and text.isascii() and text.isdigit()):
        return None
    try:
        pd.Timestamp(text)
    except ValueError:
        return None
    return int(text)


def is_day_name(name):
    """Whether a tick dataset's name is a real date written YYYYMMDD."""
    return day_number(name) is not None


# How many foreign names a refusal quotes; the count says the rest.
_QUOTED = 5


def check_minbar_members(h5_file, members):
    """Refuse a file at `h5_file` whose root `members` are not minute bars.

    A file of the other kind, or one holding anything else, is refused
    whole: writing into it would mix two formats in one file.
    """
    if not set(members) <= set(MINBAR_MEMBERS):
        raise ValueError("{} is not a minute-bar file: it holds {}; left unchanged"
                         .format(h5_file, holding(members)))


def check_tick_members(h5_file, members):
    """Refuse a file at `h5_file` whose root `members` are not tick days."""
    if not all(is_day_name(name) for name in members):
        raise ValueError("{} is not a tick file: it holds {}; left unchanged"
                         .format(h5_file, holding(members)))


def holding(members):
    """What the root `members` of a file are, in a few words."""
    bars = [name for name in members if name in MINBAR_MEMBERS]
    days = sorted(name for name in members if is_day_name(name))
    other = [name for name in members if name not in MINBAR_MEMBERS and not is_day_name(name)]
    parts = []
    if bars:
        parts.append("the minute-bar dataset{} {}".format("s" if len(bars) > 1 else "", _quoted(bars)))
    if days:
        parts.append("{} tick day{} ({} to {})".format(len(days), "s" if len(days) > 1 else "",
                                                      days[0], days[-1]))
    if other:
        parts.append("{} other member{} {}".format(len(other), "s" if len(other) > 1 else "",
                                                   _quoted(other)))
    return " and ".join(parts) if parts else "nothing"


def _quoted(names):
    shown = ", ".join('"{}"'.format(name) for name in names[:_QUOTED])
    return shown + (", ..." if len(names) > _QUOTED else "")
