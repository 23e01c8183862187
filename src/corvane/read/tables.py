"""One bundle file's rows as tables, checked before they are trusted.

What a read relies on is checked before a row is read: the stored record
types member by member against the store's, the index (each date once,
ascending, its rows ascending from row 0 and all in "data"), and each tick
day's first and last ticks against the day its name says.  The engine's
reader checks every chunk as it inflates it.  A file that fails a check
raises DamagedFileError naming it; `corvane.read` is the public face.
"""
import collections
import functools
import os

import numpy as np
import pandas as pd

from corvane import _engine
from corvane import layout as files
from corvane import formats
from corvane.read import arrow
from corvane.read import gaps
from corvane.errors import DamagedFileError
from corvane.formats import DATA, INDEX

try:
    # pandas 3 builds a table from its columns as they are, skipping the constructor's look at
    # each (most of the CPU of a year's table); older pandas through the constructor.
    from pandas.api.internals import create_dataframe_from_blocks
except ImportError:  # pragma: no cover
    create_dataframe_from_blocks = None

__all__ = ["BarColumns", "bar_columns", "bar_blocks", "BarFolds", "bar_folds", "table_columns", "frame", "bars_table",
           "bars_of_file", "ticks_of_file", "index_of_file", "date_span", "columns_of"]


def date_span(dates, start, end):
    """(first, stop) positions of the ascending `dates` from `start` to `end`."""
    first = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
    stop = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
    return first, max(first, stop)


def columns_of(known, columns, what):
    if columns is None:
        return list(known)
    columns = [columns] if isinstance(columns, str) else list(columns)
    unknown = [name for name in columns if name not in known]
    if unknown:
        raise files.BundleError("no field {} in {} records; they hold {}".format(
            ", ".join(map(repr, unknown)), what, ", ".join(known)))
    return columns


def _bar_fields(dtype, columns):
    return columns_of([name for name in dtype.names if name != "datetime"], columns, "bar")


def _damaged(h5_file, what):
    return DamagedFileError("{}: {}; `corvane verify` tells what is wrong".format(h5_file, what))


def _check_records(reader, h5_file, name, dtype):
    """Refuse `name` unless its stored records are `dtype`'s, member by member, before a row is read."""
    stored = reader.dtype(name)
    if stored != dtype:
        raise _damaged(h5_file, "\"{}\" holds records {} where {} belong".format(name, stored.descr, dtype.descr))
    return stored


def _read_index(reader, h5_file):
    """(the index, the rows of DATA, DATA's record type), checked before a row is read."""
    if INDEX not in reader or DATA not in reader:
        raise files.BundleError("{} holds no bars".format(h5_file))
    _check_records(reader, h5_file, INDEX, formats.INDEX_DTYPE)
    stored = _check_records(reader, h5_file, DATA, formats.bar_dtype(os.path.basename(os.path.dirname(h5_file))))
    # A few small chunks: not worth a thread.
    index = reader.read(INDEX, threads=1)
    rows = reader.length(DATA)
    # What a read relies on: each date once, ascending, its rows after the previous date's, all in DATA.
    dates, line_no = index["date"], index["line_no"]
    if len(index) and (line_no[0] != 0 or line_no[-1] >= rows
                       or (dates[1:] <= dates[:-1]).any() or (line_no[1:] <= line_no[:-1]).any()):
        raise _damaged(h5_file, "its \"{}\" is not ascending dates of ascending rows of \"{}\" from row 0"
                       .format(INDEX, DATA))
    return index, rows, stored


# What `bar_columns` reads of a minute-bar file: its stored dates (all of them), the
# positions `first` to `stop` of those read, the rows of each, the bar times (None when
# not asked for) and {field: column}.
BarColumns = collections.namedtuple("BarColumns", "dates first stop per_day times columns")
# Rows a block of `bar_blocks`: about 4 MB of a stock's bars, a few hundred trading dates.
BLOCK_ROWS = 1 << 16


def _span(reader, h5_file, start, end):
    """(stored dates, first and stop of `start` to `end` among them, its first row, rows a date,
    DATA's record type), checked."""
    index, rows, stored = _read_index(reader, h5_file)
    dates = index["date"]
    first, stop = date_span(dates, start, end)
    # Where each date read starts, and where the last one ends: only those are looked at.
    bounds = np.empty(stop - first + 1, dtype=np.int64)
    bounds[:-1] = index["line_no"][first:stop]
    bounds[-1] = index["line_no"][stop] if stop < len(index) else rows
    per_day = bounds[1:] - bounds[:-1]
    begin, end_row = (int(bounds[0]), int(bounds[-1])) if first < stop else (0, 0)
    if begin > end_row or end_row > rows or (per_day < 0).any():
        raise files.BundleError("{}: its index names rows {} to {} of {} in \"{}\"; "
                                "`corvane verify` tells what is wrong".format(h5_file, begin, end_row, rows, DATA))
    return dates, first, stop, begin, per_day, stored


def _read_rows(reader, begin, count, times, columns, threads):
    """`count` rows from `begin` on of "data" into `columns` ({field: array}) and `times` (or None)."""
    wanted = [(name, values, "") for name, values in columns.items()]
    if times is not None:
        # The bar time decoded as the engine inflates it.
        wanted.insert(0, ("datetime", times, "bar_time"))
    if wanted and count:
        reader.read_into(DATA, begin, begin + count, wanted, threads)


def fresh_columns(dtypes, rows):
    """An empty array of `rows` of each of `dtypes`, all cut from one block of memory."""
    # One block a table, not one a column: the allocator keeps a freed table's block for the next
    # table, where it gives a freed column's back to the system, and each read would fault in every
    # page of its table again (a third of the CPU of inflating a year of bars).  Each column starts
    # on a cache line of its own.
    starts = np.cumsum([0] + [-(-rows * np.dtype(kind).itemsize // 64) * 64 for kind in dtypes]).tolist()
    memory = np.empty(starts[-1], dtype=np.uint8)
    return [memory[at:at + rows * np.dtype(kind).itemsize].view(kind) for at, kind in zip(starts, dtypes)]


def _arrays(dtype, fields, rows, times):
    # Each field straight into its own column: no record array in between.
    kinds = [dtype[name].newbyteorder("=") for name in fields]
    arrays = fresh_columns((["datetime64[ns]"] if times else []) + kinds, rows)
    return (arrays.pop(0) if times else None), dict(zip(fields, arrays))


def bar_columns(h5_file, start, end, fields, threads=0, times=True, opener=_engine.Reader):
    """The bars of trading dates `start` to `end` of one file as columns, checked (see BarColumns).

    `opener`: what opens the file (a version's reader for a read as of it).
    """
    with opener(h5_file) as reader:
        dates, first, stop, begin, per_day, dtype = _span(reader, h5_file, start, end)
        count = int(per_day.sum())
        bar_times, columns = _arrays(dtype, _bar_fields(dtype, fields), count, times)
        _read_rows(reader, begin, count, bar_times, columns, threads)
    return BarColumns(dates, first, stop, per_day, bar_times, columns)


def bar_blocks(h5_file, start, end, fields, threads=0, times=True, block_rows=None, opener=_engine.Reader):
    """`bar_columns` a block of whole trading dates (at most `block_rows` rows, by default
    BLOCK_ROWS, or one longer date alone) at a time, each read into the arrays of the one
    before: a block is gone once the next is asked for.  At least one block, empty when the
    range holds no stored date."""
    with opener(h5_file) as reader:
        dates, first, stop, begin, per_day, dtype = _span(reader, h5_file, start, end)
        fields = _bar_fields(dtype, fields)
        block_rows = block_rows or BLOCK_ROWS
        # Where each date's rows start, counted from `begin`, and where the last one's end.
        bounds = np.append(0, np.cumsum(per_day))
        cuts = [0]
        while cuts[-1] < len(per_day):
            at = cuts[-1]
            cuts.append(max(at + 1, int(np.searchsorted(bounds, bounds[at] + block_rows, side="right")) - 1))
        pairs = list(zip(cuts, cuts[1:])) or [(0, 0)]
        bar_times, columns = _arrays(dtype, fields, int(np.diff(bounds[cuts]).max(initial=0)), times)
        for a, b in pairs:
            rows = int(bounds[b] - bounds[a])
            block_times = bar_times[:rows] if times else None
            block = {name: values[:rows] for name, values in columns.items()}
            _read_rows(reader, begin + int(bounds[a]), rows, block_times, block, threads)
            yield BarColumns(dates, first + a, first + b, per_day[a:b], block_times, block)


# What `bar_folds` gives: the file's stored dates (all of them), the trading date of each longer
# bar, the end of its bucket in ns (empty for bars of a day) and {field: column}.
BarFolds = collections.namedtuple("BarFolds", "dates bar_dates ends columns")


def bar_folds(h5_file, start, end, fields, ways, minutes, threads=0, opener=_engine.Reader):
    """The longer bars of trading dates `start` to `end` of one file, gathered by the engine as it
    inflates each chunk (see BarFolds): one a date (`minutes` 0) or one a bucket of `minutes`
    (dividing a day) of each session.  `ways(field)` names how a field is gathered ("first",
    "max", "min", "last" or "sum").  Checked as `bar_columns` reads; `opener` as there: a
    version's reader folds each of its pieces the same way."""
    with opener(h5_file) as folding:
        dates, first, stop, begin, per_day, dtype = _span(folding, h5_file, start, end)
        fields = _bar_fields(dtype, fields)
        ends, days, columns = folding.fold_bars(DATA, begin, per_day.tolist(), [(name, ways(name)) for name in fields],
                                                minutes=minutes, threads=threads)
    return BarFolds(dates, dates[first:stop][days], ends, dict(zip(fields, columns)))


def table_columns(read):
    """{name: column} of the table of what `bar_columns` read, its trading dates first."""
    columns = {"trading_date": np.repeat(read.dates[read.first:read.stop], read.per_day)}
    columns.update(read.columns)
    return columns


@functools.lru_cache(maxsize=64)
def _column_names(names):
    # Inferring the names' dtype costs more than the rest of a table: once a set of names.
    return pd.Index(list(names))


def frame(columns, index):
    """The DataFrame of `columns` ({name: 1-D array}, each the table's alone) on `index`, each
    column its own block as `pd.DataFrame(columns, index=index, copy=False)` makes it."""
    if create_dataframe_from_blocks is None:
        return pd.DataFrame(columns, index=index, copy=False)
    blocks = [(values.reshape(1, -1), np.array([at])) for at, values in enumerate(columns.values())]
    # A copy of the names: a table's names are its own to rename.
    return create_dataframe_from_blocks(blocks, index, _column_names(tuple(columns)).copy())


def bars_table(read):
    """The DataFrame of what `bar_columns` read, indexed by the bar time."""
    # pandas copies an array into an index unless told not to: this one is ours alone.
    return frame(table_columns(read), pd.DatetimeIndex(read.times, name="datetime", copy=False))


def bars_of_file(h5_file, start, end, fields, threads=0, opener=_engine.Reader):
    return bars_table(bar_columns(h5_file, start, end, fields, threads, opener=opener))


def _tick_days(reader, h5_file):
    members = reader.members()
    try:
        formats.check_tick_members(h5_file, members)
    except ValueError as error:  # it names the file
        raise DamagedFileError("{}; `corvane verify` tells what is wrong".format(str(error).split(";")[0])) from None
    return members


def _check_tick_dates(h5_file, day, first, last):
    # The first and last dates are where a day moved to another's name shows, at no cost:
    # a day ends on its date (night ticks before it are dated the evening before).
    if first > int(day) or last != int(day):
        raise _damaged(h5_file, "the ticks stored as {} end on {}".format(day, last))


def _tick_day_rows(reader, h5_file, day, dtype):
    """The number of ticks of day `day`, refused unless their type is `dtype` and their
    first and last dates fit the day's, read from two rows."""
    _check_records(reader, h5_file, day, dtype)
    rows = reader.length(day)
    if rows:
        _check_tick_dates(h5_file, day, reader.read(day, 0, 1, threads=1)[0]["date"],
                          reader.read(day, rows - 1, rows, threads=1)[0]["date"])
    return rows


def _tick_targets(dtype, scales, columns, rows):
    """The tick times, their dates and {name: column} of `rows` ticks, as the table holds them,
    and what fills each column: (field, decode, what the field is read into first or None, what
    makes the column of that)."""
    intos = [np.dtype(np.float64) if name in scales or dtype[name].kind == "f" else dtype[name].newbyteorder("=")
             for name in columns]
    times, *arrays = fresh_columns(["datetime64[ns]"] + intos, rows)
    # The dates are only checked: not in the block that the table keeps.
    dates, targets, plans = np.empty(rows, dtype=np.uint32), dict(zip(columns, arrays)), []
    for name in columns:
        field = dtype[name]
        if name in scales and field == np.dtype("<i4"):
            plans.append((name, float(scales[name]), None, None))
        elif field.newbyteorder("=") == targets[name].dtype:
            plans.append((name, "", None, None))
        else:
            # Numbers the engine does not decode: as stored, then converted here.
            scale = float(scales.get(name, 1.0))
            plans.append((name, "", field.newbyteorder("="), lambda stored, scale=scale: stored / scale))
    return times, dates, targets, plans


def _read_tick_day(reader, day, begin, stop, times, dates, targets, plans):
    """Ticks `begin` to `stop` of the table from day `day`, decoded into their columns."""
    wanted = [("date", times[begin:stop], "tick_time"), ("date", dates[begin:stop], "")]
    later = []
    for name, decode, stored, convert in plans:
        if stored is None:
            wanted.append((name, targets[name][begin:stop], decode))
        else:
            held = np.empty(stop - begin, dtype=stored)
            wanted.append((name, held, ""))
            later.append((name, held, convert))
    reader.read_into(day, 0, stop - begin, wanted)
    for name, held, convert in later:
        targets[name][begin:stop] = convert(held)


def ticks_of_file(h5_file, order_book_id, start, end, columns, to="pandas", opener=_engine.Reader, version_id=None):
    arrow.check_format(to)
    layouts = files.layouts()
    columns = columns_of([name for name in layouts.ticks.names if name not in ("date", "time")], columns, "tick")
    with opener(h5_file) as reader:
        stored = _tick_days(reader, h5_file)
        days = [day for day in stored
                if (start is None or int(day) >= start) and (end is None or int(day) <= end)]
        for day in days:
            _check_records(reader, h5_file, day, layouts.ticks)
        counts = [reader.length(day) for day in days]
        bounds = np.append(0, np.cumsum(counts, dtype=np.int64))
        times, dates, targets, plans = _tick_targets(layouts.ticks, layouts.tick_scales, columns, int(bounds[-1]))
        for day, begin, stop in zip(days, bounds.tolist(), bounds[1:].tolist()):
            _read_tick_day(reader, day, begin, stop, times, dates, targets, plans)
            if stop > begin:
                _check_tick_dates(h5_file, day, dates[begin], dates[stop - 1])
    if np.isnat(times).any():
        at = int(np.argmax(np.isnat(times)))
        raise _damaged(h5_file, "a tick of {} is dated {}, no day".format(
            days[int(np.searchsorted(bounds, at, side="right")) - 1], dates[at]))
    table = {"trading_date": np.repeat(np.array([int(day) for day in days], dtype=np.int32), counts)}
    table.update(targets)
    # Each column stays the array it was read into.
    table = pd.DataFrame(table, index=pd.DatetimeIndex(times, name="datetime", copy=False), copy=False)
    table.attrs.update(gaps.tick_covers(order_book_id, stored, start, end), version=version_id)
    return arrow.shaped(table, to)


def index_of_file(h5_file, label, opener=_engine.Reader):
    with opener(h5_file) as reader:
        if label == files.TICK_KIND:
            days, dtype = _tick_days(reader, h5_file), files.layouts().ticks
            return pd.DataFrame({"date": np.array([int(day) for day in days], dtype=np.int32),
                                 "rows": np.array([_tick_day_rows(reader, h5_file, day, dtype) for day in days],
                                                  dtype=np.int64)})
        stored, rows, _ = _read_index(reader, h5_file)
    line_no = stored["line_no"].astype(np.int64)
    return pd.DataFrame({"date": stored["date"], "line_no": stored["line_no"],
                         "rows": np.append(line_no[1:], rows) - line_no})
