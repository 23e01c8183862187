"""Reading a bundle back: minute bars and ticks as pandas tables.

    from corvane import read

    bars = read.bars("bundle/minbar", "10001.HBX", 20240102, 20241231)
    many = read.bars_many("bundle/minbar", ["10001.HBX", "10002.HBX"], 20240102, 20241231)
    ticks = read.ticks("bundle/tick", "10001.HBX", 20250103, 20250110)

A minute-bar file is read through its "index": only the rows of the
trading dates asked for are read from "data".  Every read holds the shared
lock an HDF5 reader holds, so an update running beside it writes a new
version of the file instead of changing this one in place.
"""
import datetime
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd

from corvane import _engine
from corvane import bundle_files as files
from corvane import formats
from corvane.errors import DamagedFileError
from corvane.formats import DATA, INDEX
from corvane import inspection

# Threads of bars_many: reads wait on the disk and inflate without the GIL.
DEFAULT_THREADS = min(8, os.cpu_count() or 1)


def as_day(value):
    """An integer YYYYMMDD from an integer, a YYYYMMDD text, a date or a timestamp; None stays None."""
    if value is None:
        return None
    if isinstance(value, (datetime.date, np.datetime64)):
        stamp = pd.Timestamp(value)
        return stamp.year * 10000 + stamp.month * 100 + stamp.day
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return files.parse_day(str(int(value)))
    if isinstance(value, str):
        return files.parse_day(value)
    raise TypeError("a day is an integer YYYYMMDD, a date or a timestamp, not {!r}".format(value))


def _range(start, end):
    start, end = as_day(start), as_day(end)
    if start is not None and end is not None and start > end:
        raise files.BundleError("start {} is after end {}".format(start, end))
    return start, end


def _date_span(dates, start, end):
    """(first, stop) positions of the ascending `dates` from `start` to `end`."""
    first = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
    stop = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
    return first, max(first, stop)


# ---------------------------------------------------------------- fields

def _bar_fields(dtype, fields):
    known = [name for name in dtype.names if name != "datetime"]
    if fields is None:
        return known
    fields = [fields] if isinstance(fields, str) else list(fields)
    unknown = [name for name in fields if name not in known]
    if unknown:
        raise files.BundleError("no field {} in bar records; they hold {}".format(
            ", ".join(map(repr, unknown)), ", ".join(known)))
    return fields


# ---------------------------------------------------------------- files

def _minbar_file(path, order_book_id):
    files.require_kind(path, "minbar")
    label, h5_file = files.find_instrument(path, "minbar", order_book_id)
    return h5_file


def _tick_file(path, order_book_id):
    files.require_kind(path, "tick")
    label, h5_file = files.find_instrument(path, "tick", order_book_id)
    return h5_file


def _damaged(h5_file, what):
    return DamagedFileError("{}: {}; `corvane verify` tells what is wrong".format(h5_file, what))


def _check_records(reader, h5_file, name, dtype):
    """Refuse `name` unless its stored records are `dtype`'s, member by member, before a row is read."""
    stored = reader.dtype(name)
    if stored != dtype:
        raise _damaged(h5_file, "\"{}\" holds records {} where {} belong".format(name, stored.descr, dtype.descr))
    return stored


def _read_index(reader, h5_file):
    if INDEX not in reader or DATA not in reader:
        raise files.BundleError("{} holds no bars".format(h5_file))
    _check_records(reader, h5_file, INDEX, formats.INDEX_DTYPE)
    _check_records(reader, h5_file, DATA, formats.bar_dtype(os.path.basename(os.path.dirname(h5_file))))
    # A few small chunks: not worth a thread.
    index = reader.read(INDEX, threads=1)
    # What a read relies on: each date once, ascending, its rows after the previous date's, all in DATA.
    dates, line_no = index["date"], index["line_no"]
    if len(index) and (line_no[0] != 0 or line_no[-1] >= reader.length(DATA)
                       or (dates[1:] <= dates[:-1]).any() or (line_no[1:] <= line_no[:-1]).any()):
        raise _damaged(h5_file, "its \"{}\" is not ascending dates of ascending rows of \"{}\" from row 0"
                       .format(INDEX, DATA))
    return index


def _bars_of_file(h5_file, start, end, fields, threads=0):
    with _engine.Reader(h5_file) as reader:
        index = _read_index(reader, h5_file)
        dtype, rows = reader.dtype(DATA), reader.length(DATA)
        fields = _bar_fields(dtype, fields)
        first, stop = _date_span(index["date"], start, end)
        line_no = index["line_no"].astype(np.int64)
        stops = np.append(line_no[1:], rows)
        per_day = stops[first:stop] - line_no[first:stop]
        begin, end_row = (int(line_no[first]), int(stops[stop - 1])) if first < stop else (0, 0)
        if begin > end_row or end_row > rows or (per_day < 0).any():
            raise files.BundleError("{}: its index names rows {} to {} of {} in \"{}\"; "
                                    "`corvane verify` tells what is wrong".format(h5_file, begin, end_row, rows, DATA))
        # Each field straight into its own column: no record array in between.
        times = np.empty(end_row - begin, dtype="datetime64[ns]")
        columns = {name: np.empty(end_row - begin, dtype=dtype[name].newbyteorder("=")) for name in fields}
        reader.read_into(DATA, begin, end_row,
                         [("datetime", times, "bar_time")] + [(name, columns[name], "") for name in fields],
                         threads)
    table = {"trading_date": np.repeat(index["date"][first:stop], per_day)}
    table.update(columns)
    # pandas copies an array into an index unless told not to: this one is ours alone.
    return pd.DataFrame(table, index=pd.DatetimeIndex(times, name="datetime", copy=False), copy=False)


def bars(path, order_book_id, start=None, end=None, fields=None):
    """The minute bars of trading dates `start` to `end` (inclusive) of one instrument.

    `path` is a minute-bar root.  `start` and `end` are integer dates
    YYYYMMDD, YYYYMMDD texts, dates or timestamps; None is the first or
    last stored date.  Returns a DataFrame indexed by the bar time, with the
    column `trading_date` (YYYYMMDD; night bars belong to the next trading
    date) and the record fields (`fields`, a list, keeps only those).
    BundleError when the instrument has no file or its file no bars.
    """
    start, end = _range(start, end)
    return _bars_of_file(_minbar_file(path, order_book_id), start, end, fields)


def bars_many(path, order_book_ids, start=None, end=None, fields=None, threads=DEFAULT_THREADS):
    """{order_book_id: bars(...)} for many instruments, read in parallel."""
    start, end = _range(start, end)
    order_book_ids = list(order_book_ids)
    files.require_kind(path, "minbar")
    h5_files = [files.find_instrument(path, "minbar", order_book_id)[1] for order_book_id in order_book_ids]
    with ThreadPoolExecutor(max(1, min(threads, len(h5_files)))) as pool:
        # One thread a file: the files are the parallel work.
        tables = pool.map(lambda h5_file: _bars_of_file(h5_file, start, end, fields, 1), h5_files)
        return dict(zip(order_book_ids, tables))


def _tick_days(reader, h5_file):
    members = reader.members()
    try:
        formats.check_tick_members(h5_file, members)
    except ValueError as error:  # it names the file
        raise DamagedFileError("{}; `corvane verify` tells what is wrong".format(str(error).split(";")[0])) from None
    return members


def _check_tick_dates(h5_file, day, first, last):
    # The first and last rows are where a day moved to another's name shows, at no cost:
    # a day ends on its date (night ticks before it are dated the evening before).
    if first["date"] > int(day) or last["date"] != int(day):
        raise _damaged(h5_file, "the ticks stored as {} end on {}".format(day, last["date"]))


def _tick_day(reader, h5_file, day, dtype):
    """The records of tick day `day`, refused unless their type is `dtype` and their date is the day's."""
    _check_records(reader, h5_file, day, dtype)
    records = reader.read(day)
    if len(records):
        _check_tick_dates(h5_file, day, records[0], records[-1])
    return records


def _tick_day_rows(reader, h5_file, day, dtype):
    """The number of ticks of day `day`, checked as _tick_day checks them but reading two rows."""
    _check_records(reader, h5_file, day, dtype)
    rows = reader.length(day)
    if rows:
        _check_tick_dates(h5_file, day, reader.read(day, 0, 1, threads=1)[0],
                          reader.read(day, rows - 1, rows, threads=1)[0])
    return rows


def ticks(path, order_book_id, start=None, end=None):
    """The ticks of the stored days `start` to `end` (inclusive) of one instrument.

    `path` is a tick directory.  Returns a DataFrame indexed by the tick
    time, with the column `trading_date` (the day the ticks are stored
    under) and the tick fields, prices divided back by the tick reader's
    scales.
    """
    start, end = _range(start, end)
    h5_file = _tick_file(path, order_book_id)
    layouts = files.layouts()
    with _engine.Reader(h5_file) as reader:
        days = [day for day in _tick_days(reader, h5_file)
                if (start is None or int(day) >= start) and (end is None or int(day) <= end)]
        parts = [_tick_day(reader, h5_file, day, layouts.ticks) for day in days]
    records = np.concatenate(parts) if parts else np.zeros(0, dtype=layouts.ticks)
    trading_dates = np.repeat(np.array([int(day) for day in days], dtype=np.int32),
                              [len(part) for part in parts]).astype(np.int32)
    table = files.ticks_table(records, layouts.tick_scales)
    table.insert(0, "trading_date", trading_dates)
    return table


def index(path, order_book_id):
    """What one instrument's file holds, per day.

    Of a minute-bar file: its "index" (`date`, `line_no`) with the `rows`
    of each date; of a tick file: each stored day's `date` and `rows`.
    """
    kind = files.require_kind(path)
    label, h5_file = files.find_instrument(path, kind, order_book_id)
    with _engine.Reader(h5_file) as reader:
        if label == files.TICK_KIND:
            days, dtype = _tick_days(reader, h5_file), files.layouts().ticks
            return pd.DataFrame({"date": np.array([int(day) for day in days], dtype=np.int32),
                                 "rows": np.array([_tick_day_rows(reader, h5_file, day, dtype) for day in days],
                                                  dtype=np.int64)})
        stored = _read_index(reader, h5_file)
        rows = reader.length(DATA)
    line_no = stored["line_no"].astype(np.int64)
    return pd.DataFrame({"date": stored["date"], "line_no": stored["line_no"],
                         "rows": np.append(line_no[1:], rows) - line_no})


def listing(path):
    """One row per instrument file of the bundle at `path`: what `corvane inspect` counts.

    Columns: order_book_id, kind (equities, future, option or ticks),
    rows, days, first and last (YYYYMMDD, 0 when the file holds nothing)
    and readable.
    """
    kind = files.require_kind(path)
    facts = inspection.bundle_facts(path, kind)
    return pd.DataFrame({
        "order_book_id": [formats.order_book_id_of(fact.file) for fact in facts],
        "kind": [fact.label for fact in facts],
        "rows": np.array([fact.rows for fact in facts], dtype=np.int64),
        "days": np.array([fact.days for fact in facts], dtype=np.int64),
        "first": np.array([fact.first for fact in facts], dtype=np.int64),
        "last": np.array([fact.last for fact in facts], dtype=np.int64),
        "readable": np.array([fact.readable for fact in facts], dtype=bool),
    })


# ---------------------------------------------------------------- export

EXPORT_FORMATS = (".csv", ".parquet")


def check_export(out):
    """Refuse an output file whose format or directory cannot be written, before reading."""
    extension = files.check_output(out, EXPORT_FORMATS, "the format")
    if extension == ".parquet":
        import pyarrow  # noqa: F401  (the extra corvane[parquet]; missing: ModuleNotFoundError)


def export(path, order_book_id, out, start=None, end=None):
    """Write one instrument's bars (or ticks, from a tick directory) of `start` to `end` to `out`.

    CSV or Parquet by the extension; the time is the first column.  The
    file appears whole or not at all.  Returns the number of rows written.
    """
    check_export(out)
    kind = files.require_kind(path)
    table = ticks(path, order_book_id, start, end) if kind == "tick" else bars(path, order_book_id, start, end)
    directory, name = os.path.split(os.path.abspath(out))
    temporary = os.path.join(directory, ".{}.{}.tmp".format(name, os.getpid()))
    try:
        if out.lower().endswith(".parquet"):
            table.to_parquet(temporary, engine="pyarrow")
        else:
            table.to_csv(temporary)
        os.replace(temporary, out)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    return len(table)
