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
from corvane.formats import DATA, INDEX
from corvane import inspection
from corvane import research

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


def _read_index(reader, h5_file):
    if INDEX not in reader or DATA not in reader:
        raise files.BundleError("{} holds no bars".format(h5_file))
    # A few small chunks: not worth a thread.
    return reader.read(INDEX, threads=1)


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


def bars(path, order_book_id, start=None, end=None, fields=None, freq=None, strict=False, to="pandas"):
    """The minute bars of trading dates `start` to `end` (inclusive) of one instrument.

    `path` is a minute-bar root.  `start` and `end` are integer dates
    YYYYMMDD, YYYYMMDD texts, dates or timestamps; None is the first or
    last stored date.  Returns a DataFrame indexed by the bar time, with the
    column `trading_date` (YYYYMMDD; night bars belong to the next trading
    date) and the record fields (`fields`, a list, keeps only those).
    BundleError when the instrument has no file or its file no bars.

    `freq` ("5min", any whole number of minutes, or "1D") gathers the bars
    into longer ones, never across a break in trading (`corvane.sessions`).
    The table's `attrs` say what it covers: the first and last stored
    dates, the venue's last date, the range asked and the trading dates
    missing in it (`corvane.coverage`); `strict=True` raises CoverageError
    instead when the range runs past a stale file's end or holds a missing
    or short day.  `to="arrow"` gives a pyarrow.Table of the same columns.
    """
    start, end = _range(start, end)
    h5_file = _minbar_file(path, order_book_id)
    return research.finish(path, h5_file, start, end, freq, strict, to,
                           lambda: _bars_of_file(h5_file, start, end, fields))


def bars_many(path, order_book_ids, start=None, end=None, fields=None, threads=DEFAULT_THREADS,
              freq=None, strict=False, to="pandas"):
    """{order_book_id: bars(...)} for many instruments, read in parallel."""
    start, end = _range(start, end)
    research.check_request(freq, to)
    order_book_ids = list(order_book_ids)
    files.require_kind(path, "minbar")
    h5_files = [files.find_instrument(path, "minbar", order_book_id)[1] for order_book_id in order_book_ids]

    calendars = research.venue_calendars(path, h5_files)

    def one(h5_file):
        return research.finish(path, h5_file, start, end, freq, strict, to,
                               lambda: _bars_of_file(h5_file, start, end, fields, 1), calendars)

    with ThreadPoolExecutor(max(1, min(threads, len(h5_files)))) as pool:
        # One thread a file: the files are the parallel work.
        tables = pool.map(one, h5_files)
        return dict(zip(order_book_ids, tables))


def iter_bars(path, order_book_ids, start=None, end=None, freq=None, batch_days=research.BATCH_DAYS,
              fields=None, strict=False, to="pandas"):
    """The bars of `order_book_ids` a block at a time, in bounded memory: yields (order_book_id, table).

    In the order the instruments are given, and for each instrument its
    stored trading dates from `start` to `end` in ascending order, at most
    `batch_days` of them a table (a whole number of trading dates, so a
    longer bar of `freq` is never cut).  Only one block is read at a time.
    The other arguments are those of `bars`.
    """
    start, end = _range(start, end)
    return research.iter_bars(_bars_of_file, path, order_book_ids, start, end, freq, batch_days, fields,
                              strict, to)


def dask_bars(path, order_book_ids, start=None, end=None, freq=None, fields=None, by_year=None):
    """A dask.dataframe of the bars of `order_book_ids`, read on the workers from `path`.

    One partition an instrument, or an instrument and a year of trading
    dates (`by_year`; by default when the range spans more than a calendar
    year); the column `order_book_id` comes first.  Divisions are known for
    one instrument.  Every worker must see the bundle at the same `path`.
    """
    start, end = _range(start, end)
    return research.dask_bars(bars, path, order_book_ids, start, end, freq, fields, by_year)


def coverage(path, order_book_ids=None, start=None, end=None, calendar=None, ends=None):
    """One row per instrument: what its file covers of `start` to `end` (see `corvane.coverage`)."""
    return research.coverage.coverage(path, order_book_ids, *_range(start, end), calendar=calendar, ends=ends)


def _tick_days(reader):
    return [name for name in reader.members() if formats.is_day_name(name)]


def ticks(path, order_book_id, start=None, end=None, to="pandas"):
    """The ticks of the stored days `start` to `end` (inclusive) of one instrument.

    `path` is a tick directory.  Returns a DataFrame indexed by the tick
    time, with the column `trading_date` (the day the ticks are stored
    under) and the tick fields, prices divided back by the tick reader's
    scales; its `attrs` name the first and last stored days and the range
    asked.  `to="arrow"` gives a pyarrow.Table of the same columns.
    """
    start, end = _range(start, end)
    research.check_request(None, to)
    h5_file = _tick_file(path, order_book_id)
    layouts = files.layouts()
    with _engine.Reader(h5_file) as reader:
        stored = _tick_days(reader)
        days = [day for day in stored
                if (start is None or int(day) >= start) and (end is None or int(day) <= end)]
        parts = [reader.read(day) for day in days]
    records = np.concatenate(parts) if parts else np.zeros(0, dtype=layouts.ticks)
    trading_dates = np.repeat(np.array([int(day) for day in days], dtype=np.int32),
                              [len(part) for part in parts]).astype(np.int32)
    table = files.ticks_table(records, layouts.tick_scales)
    table.insert(0, "trading_date", trading_dates)
    table.attrs.update(research.tick_covers(order_book_id, stored, start, end))
    return research.arrow.shaped(table, to)


def index(path, order_book_id):
    """What one instrument's file holds, per day.

    Of a minute-bar file: its "index" (`date`, `line_no`) with the `rows`
    of each date; of a tick file: each stored day's `date` and `rows`.
    """
    kind = files.require_kind(path)
    label, h5_file = files.find_instrument(path, kind, order_book_id)
    with _engine.Reader(h5_file) as reader:
        if label == files.TICK_KIND:
            days = _tick_days(reader)
            return pd.DataFrame({"date": np.array([int(day) for day in days], dtype=np.int32),
                                 "rows": np.array([reader.length(day) for day in days], dtype=np.int64)})
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


def export(path, order_book_id, out, start=None, end=None, freq=None):
    """Write one instrument's bars (or ticks, from a tick directory) of `start` to `end` to `out`.

    CSV or Parquet by the extension; the time is the first column.  `freq`
    gathers bars as `bars` does.  The file appears whole or not at all.
    Returns the number of rows written.
    """
    check_export(out)
    research.check_request(freq, "pandas")
    kind = files.require_kind(path)
    if kind == "tick" and freq is not None:
        raise files.BundleError("freq gathers minute bars; {} is a tick directory".format(path))
    table = (ticks(path, order_book_id, start, end) if kind == "tick"
             else bars(path, order_book_id, start, end, freq=freq))
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
