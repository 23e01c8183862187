"""The checks of one bundle file's content: its storage, its records, their values.

Rows are read through the engine's reader, the one `corvane.read` uses, so
a check sees the rows a reader gets.  The storage (chunked, deflated,
growable), the members and their record types are asked of h5py instead:
HDF5's own library is the independent second opinion on what the engine
wrote.  A finding is a triple (check, where, detail).  The values under
--data are judged by the update's own quality checks (`corvane.quality`),
one finding per kind and trading date, beside the moves past --max-jump.
"""
import h5py
import numpy as np

from corvane import layout as files
from corvane import formats
from corvane import quality
from corvane.formats import DATA, INDEX

__all__ = ["check_minbar", "check_tick", "one_line"]

PRICES = ("open", "high", "low", "close")
# An option's price often sits a few steps above the smallest one, where one
# step is a move of 20% or 100%: an option's move is a jump only when it is
# also this many times its own typical (median non-zero) move.
OPTION_TYPICAL_MOVES = 500


def one_line(error):
    return " ".join(str(error).split()) or type(error).__name__


# ---------------------------------------------------------------- helpers

def _rows(check, mask, describe, label="row"):
    """One finding for the rows under `mask`: the first, and how many more."""
    at = np.flatnonzero(mask)
    if not len(at):
        return []
    first = int(at[0])
    others = len(at) - 1
    more = " (and {} more {}{})".format(others, label, "s" if others > 1 else "") if others else ""
    return [(check, "{} {}".format(label, first), describe(first) + more)]


def _after(pairs):
    """A mask over rows from one over neighbouring pairs: the later row of each pair."""
    return np.r_[False, pairs]


def _difference(actual, expected):
    """The first field where two record types part, in words."""
    def fields(dtype):
        return [(name, str(dtype.fields[name][0]), dtype.fields[name][1]) for name in dtype.names or ()]
    for k, (have, want) in enumerate(zip(fields(actual), fields(expected))):
        if have != want:
            return "field {} is {} {} at offset {}, expected {} {} at offset {}".format(k, *have, *want)
    if len(fields(actual)) != len(fields(expected)):
        return "{} fields, expected {}".format(len(fields(actual)), len(fields(expected)))
    return "{} bytes a record, expected {}".format(actual.itemsize, expected.itemsize)


def _storage(name, dataset, dtype):
    """Findings on a dataset's record type and the storage the stores write."""
    found = []
    if dataset.ndim != 1:
        found.append(("storage", name, "has {} dimensions, not 1".format(dataset.ndim)))
    if dataset.dtype != dtype:
        found.append(("record-type", name,
                      "records differ from the store's: " + _difference(dataset.dtype, dtype)))
    if dataset.chunks is None:
        found.append(("storage", name, "is not chunked"))
    if dataset.compression != "gzip":
        found.append(("storage", name, "is not deflate-compressed ({})".format(dataset.compression)))
    if dataset.maxshape[:1] != (None,):
        found.append(("storage", name, "cannot grow (maximum shape {})".format(dataset.maxshape)))
    return found


def _read(where, reader, name):
    """(records, findings): a dataset read whole, or its chunks that fail.

    A chunk that does not inflate fails the whole read; reading chunk by
    chunk names the rows it held.
    """
    try:
        return reader.read(name), []
    except OSError as error:
        found = _failing_chunks(where, reader, name)
        if not found:
            raise error
        return None, found


def _failing_chunks(where, reader, name):
    length = reader.length(name)
    rows = reader.chunk_rows(name) or max(length, 1)
    failing = []
    for first in range(0, length, rows):
        stop = min(first + rows, length)
        try:
            reader.read(name, first, stop, threads=1)
        except OSError as error:
            failing.append((first, stop, error))
    if not failing:
        return []
    first, stop, error = failing[0]
    others = len(failing) - 1
    more = " (and {} more chunk{})".format(others, "s" if others > 1 else "") if others else ""
    rows = "rows {}..{}".format(first, stop - 1)
    return [("chunk", "{} {}".format(where, rows) if where else rows,
             "the chunk holding these rows does not inflate: {}{}".format(one_line(error), more))]


def _members(h5, expected):
    """Findings on groups, datasets and attributes the stores never write, and on a name
    two members carry (a damaged link table: a lookup by that name finds one of them)."""
    names = list(h5)
    found = [("duplicate-member", name, "{} members carry this name; the file is damaged".format(names.count(name)))
             for name in sorted(set(names)) if names.count(name) > 1]
    for name, member in _unique_items(h5):
        if not isinstance(member, h5py.Dataset):
            found.append(("unexpected-member", name, "is a group; the stores write datasets only"))
        elif expected is not None and name not in expected:
            found.append(("unexpected-member", name, "is not a dataset the store writes"))
    if len(h5.attrs):
        found.append(("attributes", "", "the file carries attributes {}".format(sorted(h5.attrs))))
    return found


def _unique_items(h5):
    """(name, member) of a file's root, each name once."""
    return [(name, h5[name]) for name in dict.fromkeys(h5)]


# ---------------------------------------------------------------- minute bars

def _index_findings(index, rows):
    dates, line_no = index["date"].astype(np.int64), index["line_no"].astype(np.int64)
    found = []
    if not len(index):
        return [("index-empty", INDEX, "\"{}\" holds no rows".format(INDEX))]
    found += _rows("index-order", _after(dates[1:] <= dates[:-1]),
                   lambda k: "date {} follows {}".format(dates[k], dates[k - 1]), "index row")
    if line_no[0] != 0:
        found.append(("line-no", "index row 0", "line_no is {}, not 0".format(line_no[0])))
    found += _rows("line-no", _after(line_no[1:] <= line_no[:-1]),
                   lambda k: "line_no {} of date {} does not rise above {}".format(
                       line_no[k], dates[k], line_no[k - 1]), "index row")
    found += _rows("line-no", line_no >= rows,
                   lambda k: "line_no {} of date {} is past the end of \"data\" ({} rows)".format(
                       line_no[k], dates[k], rows), "index row")
    return found


def _bars_fit_dates(index, stamps):
    """No bar lies after its trading date, nor before the previous one.

    A night session puts a date's first bars on the evening of the previous
    trading date, and an update run that evening may have stored only those;
    so bars may precede their date, but never reach back further.
    """
    line_no = index["line_no"].astype(np.int64)
    stops = np.append(line_no[1:], len(stamps))
    dates = index["date"].astype(np.int64)
    earliest = np.r_[0, dates[:-1]]
    first_day = files.bar_dates(stamps[line_no])
    last_day = files.bar_dates(stamps[np.maximum(stops - 1, line_no)])
    return _rows("index-bars", (last_day > dates) | (first_day < earliest),
                 lambda k: "bars of date {} lie on {}..{}".format(dates[k], first_day[k], last_day[k]),
                 "index row")


def _bar_values(bars, index, max_jump, directory):
    """Findings on the values of minute bars of a sub-directory (an instrument type)."""
    found = _quality(quality.bar_findings(bars, index))
    typical = OPTION_TYPICAL_MOVES if directory == formats.OPTION_DIRECTORY else None
    return found + _jumps("move", bars["close"].astype(np.float64), max_jump, "close", typical)


def _quality(findings):
    """The quality checks' Findings as triples: where the first row found, and how many with it."""
    found = []
    for finding in findings:
        where, _, detail = finding.example.partition(" at ")
        more = finding.count - 1
        found.append((finding.kind, where, "{} on trading date {}{}".format(
            detail, finding.date, " (and {} more row{})".format(more, "s" if more > 1 else "") if more else "")))
    return found


def _jumps(check, prices, max_jump, name, typical_moves=None):
    """Moves from one record to the next beyond `max_jump`, between positive prices.

    With `typical_moves`, a move must also exceed that many times the
    median of the non-zero moves of these prices.
    """
    before, after = np.r_[np.nan, prices[:-1]], prices
    usable = (before > 0) & (after > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        move = np.where(usable, after / before - 1.0, 0.0)
    beyond = np.abs(move) > max_jump
    step = np.abs(after - before)
    if typical_moves is not None and beyond.any():
        moved = step[usable & (step > 0)]
        beyond &= step > typical_moves * np.median(moved)
    return _rows(check, beyond,
                 lambda k: "{} moves {:+.1%} from {} to {}".format(name, move[k], before[k], after[k]))


def check_minbar(h5, reader, directory, options):
    """(findings, stored trading days) of one minute-bar file open in h5py and in the engine's reader."""
    found = _members(h5, formats.MINBAR_MEMBERS)
    present = [name for name in formats.MINBAR_MEMBERS if name in h5]
    if not present:
        return found, []  # created, never filled: the next update starts it
    if present == [DATA]:
        found.append(("missing-dataset", INDEX, "\"{}\" is missing beside \"{}\" (an interrupted "
                      "first fill); the next update of this instrument fills the file again"
                      .format(INDEX, DATA)))
    elif present == [INDEX]:
        found.append(("missing-dataset", DATA, "\"{}\" is missing beside \"{}\"; updates of "
                      "this instrument fail until the file is removed".format(DATA, INDEX)))
    expected = {DATA: formats.bar_dtype(directory), INDEX: formats.INDEX_DTYPE}
    usable = True
    for name in present:
        dataset = h5[name]
        if not isinstance(dataset, h5py.Dataset):
            usable = False
            continue
        problems = _storage(name, dataset, expected[name])
        usable = usable and not any(check == "record-type" for check, _, _ in problems)
        found += problems
    if not usable or len(present) < 2:
        return found, []
    index, failing = _read(INDEX, reader, INDEX)
    found += failing
    if index is None:
        return found, []
    found += _index_findings(index, reader.length(DATA))
    bars, failing = _read(DATA, reader, DATA)
    found += failing
    if bars is None:
        return found, [int(day) for day in index["date"]]
    stamps = bars["datetime"]
    found += _rows("datetime-order", _after(stamps[1:] <= stamps[:-1]),
                   lambda k: "datetime {} follows {}".format(stamps[k], stamps[k - 1]))
    fits = not any(check in ("line-no", "index-order") for check, _, _ in found)
    if len(index) and fits:
        found += _bars_fit_dates(index, stamps)
    if options.data and fits:
        found += _bar_values(bars, index, options.max_jump, directory)
    return found, [int(day) for day in index["date"]]


# ---------------------------------------------------------------- ticks

def check_tick(h5, reader, options):
    """(findings, stored days) of one tick file open in h5py and in the engine's reader."""
    found = _members(h5, None)
    days = []
    named = sorted(name for name in h5 if formats.is_day_name(name))
    if any(check == "duplicate-member" for check, _, _ in found):
        # A lookup by a name two members carry finds one of them: its values are no day's to judge.
        options = options._replace(data=False)
    for name, dataset in _unique_items(h5):
        if not isinstance(dataset, h5py.Dataset):
            continue
        if not formats.is_day_name(name):
            found.append(("day-name", name, "dataset name is not a date written YYYYMMDD"))
        else:
            days.append(int(name))
        problems = _storage(name, dataset, options.layouts.ticks)
        found += problems
        if any(check == "record-type" for check, _, _ in problems):
            continue
        day = int(name) if formats.is_day_name(name) else None
        earlier = named[:named.index(name)] if day is not None else []
        found += [(check, "day {} {}".format(name, where), detail)
                  for check, where, detail in _tick_day(reader, name, day, options,
                                                        int(earlier[-1]) if earlier else None)]
    return found, sorted(days)


def _tick_day(reader, name, day, options, previous=None):
    """Findings on one tick day stored as `name`, a date `day` (None when the name is no date),
    the day stored before it `previous`."""
    ticks, found = _read("", reader, name)
    if ticks is None:
        return found
    date, time = ticks["date"], ticks["time"]
    key = date.astype(np.int64) * 10 ** 9 + time.astype(np.int64)
    found = _rows("tick-order", _after(key[1:] < key[:-1]),
                  lambda k: "tick at {} {} follows {} {}".format(date[k], time[k], date[k - 1], time[k - 1]))
    if options.data:
        if day is not None:
            # A tick after its trading day, or before the one stored before it, is the quality
            # checks' "session"; ticks that all lie before it are another day's.
            if len(date) and date[-1] < day:
                found.append(("tick-date", "row {}".format(len(date) - 1),
                              "the ticks stored under {} end on {}: they are another day's".format(day, date[-1])))
            found += _quality(quality.tick_findings(day, ticks, previous))
        found += _jumps("move", ticks["last"].astype(np.float64), options.max_jump, "last")
    return found
