"""Reading a bundle back: minute bars and ticks as pandas tables.

    from corvane import read

    demo = read.Bundle("bundle")             # a bundle root, a minute-bar root or a tick directory
    bars = demo.bars("10001.HBX", 20240102, 20241231, columns=["close", "volume"])
    many = demo.bars_many(["10001.HBX", "10002.HBX"], 20240102, 20241231)
    ticks = demo.ticks("10001.HBX", 20250103, 20250110)

    bars = read.bars("bundle/minbar", "10001.HBX", 20240102, 20241231)   # the same, one call

A `Bundle` finds its kinds once: a minute-bar root, a tick directory, or a
folder holding one of each (as `make demo` writes it).  The module
functions are one-line conveniences over it.  A minute-bar file is read
through its "index": only the rows of the trading dates asked for are read
from "data".  Every read holds the shared lock an HDF5 reader holds, so an
update running beside it writes a new version of the file instead of
changing this one in place.
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

__all__ = ["Bundle", "bars", "bars_many", "ticks", "index", "listing", "export", "as_day"]

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


# ---------------------------------------------------------------- columns

def _wanted(columns, fields):
    """`columns`, or `fields` (its former name) when only that is given."""
    if fields is None:
        return columns
    if columns is not None:
        raise TypeError("give columns or fields (its former name), not both")
    return fields


def _columns(known, columns, what):
    if columns is None:
        return list(known)
    columns = [columns] if isinstance(columns, str) else list(columns)
    unknown = [name for name in columns if name not in known]
    if unknown:
        raise files.BundleError("no field {} in {} records; they hold {}".format(
            ", ".join(map(repr, unknown)), what, ", ".join(known)))
    return columns


def _bar_fields(dtype, columns):
    return _columns([name for name in dtype.names if name != "datetime"], columns, "bar")


# ---------------------------------------------------------------- files

_NAMES = {"minbar": "minute-bar", "tick": "tick"}


def _roots(path, kind):
    """{kind: directory} of the bundle at `path`: itself, or the bundles a folder holds."""
    if os.path.isdir(path) and not files.kinds_held(path):
        children = files.child_bundles(path)
        roots = {}
        for directory, found in children:
            if found in roots:
                raise files.BundleError("{} holds {}: give one of them".format(
                    path, " and ".join(child for child, held in children if held == found)))
            roots[found] = directory
        if roots:
            if kind is None:
                return roots
            if kind not in roots:
                raise files.BundleError("{} holds no {} bundle, only {}".format(
                    path, _NAMES[kind], " and ".join(roots.values())))
            return {kind: roots[kind]}
    return {files.require_kind(path, kind): path}


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


def _ticks_of_file(h5_file, start, end, columns):
    layouts = files.layouts()
    columns = _columns([name for name in layouts.ticks.names if name not in ("date", "time")], columns, "tick")
    with _engine.Reader(h5_file) as reader:
        days = [day for day in _tick_days(reader, h5_file)
                if (start is None or int(day) >= start) and (end is None or int(day) <= end)]
        parts = [_tick_day(reader, h5_file, day, layouts.ticks) for day in days]
    records = np.concatenate(parts) if parts else np.zeros(0, dtype=layouts.ticks)
    trading_dates = np.repeat(np.array([int(day) for day in days], dtype=np.int32),
                              [len(part) for part in parts]).astype(np.int32)
    table = files.ticks_table(records, layouts.tick_scales)[columns]
    table.insert(0, "trading_date", trading_dates)
    return table


def _index_of_file(h5_file, label):
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


# ---------------------------------------------------------------- the bundle

class Bundle:
    """A bundle to read, its path and kinds found once.

    `path` is a minute-bar root (holding equities/, future/, option/), a
    tick directory, or a folder holding one of each (its minute bars and
    ticks are then read from those).  `kind` ("minbar" or "tick") reads
    only that kind: of a folder, the bundle of that kind it holds.
    BundleError when `path` is none of these.

    Days (`start`, `end`) are integer dates YYYYMMDD, YYYYMMDD texts, dates
    or timestamps, both included; None is the first or last stored day.
    `columns` (a name or a list) keeps only those fields; `fields` is its
    former name, still accepted.
    """

    def __init__(self, path, kind=None):
        self.path = os.fspath(path)
        self.roots = _roots(self.path, kind)

    def __repr__(self):
        return "Bundle({!r})".format(self.path)

    def _root(self, kind):
        if kind in self.roots:
            return self.roots[kind]
        if len(self.roots) == 1:
            # Says what the path is instead.
            files.require_kind(next(iter(self.roots.values())), kind)
        raise files.BundleError("{} holds no {} bundle".format(self.path, _NAMES[kind]))

    def _files(self, kind, order_book_ids):
        """The file of each instrument; one BundleError naming every instrument without one."""
        root = self._root(kind)
        found, missing = [], []
        for order_book_id in order_book_ids:
            try:
                h5_file = formats.locate(root, order_book_id, kind)
            except ValueError as error:
                raise files.BundleError(str(error)) from None
            if h5_file is None or not os.path.isfile(h5_file):
                missing.append(order_book_id)
            found.append(h5_file)
        if missing:
            raise files.BundleError("no file for {} in {}".format(", ".join(map(str, missing)), root))
        return found

    def bars(self, order_book_id, start=None, end=None, columns=None, *, fields=None):
        """The minute bars of trading dates `start` to `end` of one instrument.

        A DataFrame indexed by the bar time, with the column `trading_date`
        (YYYYMMDD; night bars belong to the next trading date) and the
        record fields.  BundleError when the instrument has no file or its
        file no bars; a range holding no stored date gives an empty table.
        """
        start, end = _range(start, end)
        return _bars_of_file(self._files("minbar", [order_book_id])[0], start, end, _wanted(columns, fields))

    def bars_many(self, order_book_ids, start=None, end=None, columns=None, threads=DEFAULT_THREADS, *,
                  fields=None):
        """{order_book_id: bars(...)} for many instruments, read in parallel.

        Instruments without a file are all named in one BundleError, raised
        before anything is read (`listing()` says which instruments have one).
        """
        start, end = _range(start, end)
        columns = _wanted(columns, fields)
        order_book_ids = list(order_book_ids)
        h5_files = self._files("minbar", order_book_ids)
        with ThreadPoolExecutor(max(1, min(threads, len(h5_files)))) as pool:
            # One thread a file: the files are the parallel work.
            tables = pool.map(lambda h5_file: _bars_of_file(h5_file, start, end, columns, 1), h5_files)
            return dict(zip(order_book_ids, tables))

    def ticks(self, order_book_id, start=None, end=None, columns=None, *, fields=None):
        """The ticks of the stored days `start` to `end` of one instrument.

        A DataFrame indexed by the tick time, with the column
        `trading_date` (the day the ticks are stored under) and the tick
        fields, prices divided back by the tick reader's scales.
        """
        start, end = _range(start, end)
        return _ticks_of_file(self._files("tick", [order_book_id])[0], start, end, _wanted(columns, fields))

    def index(self, order_book_id, kind=None):
        """What one instrument's file holds, per day.

        Of a minute-bar file: its "index" (`date`, `line_no`) with the
        `rows` of each date; of a tick file: each stored day's `date` and
        `rows`.  A folder holding both kinds gives the minute-bar file's,
        or the tick file's when the instrument has only that (`kind`
        chooses).
        """
        kind = self.kind_of(order_book_id, kind)
        return _index_of_file(self._files(kind, [order_book_id])[0],
                              files.TICK_KIND if kind == "tick" else "minbar")

    def kind_of(self, order_book_id, kind=None):
        """`kind`, or the bundle's only one; of a folder holding both, "minbar" when the
        instrument has a minute-bar file, else "tick"."""
        if kind is not None:
            return kind
        if len(self.roots) == 1:
            return next(iter(self.roots))
        minbar = formats.locate(self.roots["minbar"], order_book_id, "minbar")
        return "minbar" if minbar and os.path.isfile(minbar) else "tick"

    def listing(self):
        """One row per instrument file: what `corvane inspect` counts.

        Columns: order_book_id, kind (equities, future, option or ticks),
        rows, days, first and last (YYYYMMDD, 0 when the file holds nothing)
        and readable.
        """
        facts = [fact for kind, root in sorted(self.roots.items()) for fact in inspection.bundle_facts(root, kind)]
        return pd.DataFrame({
            "order_book_id": [formats.order_book_id_of(fact.file) for fact in facts],
            "kind": [fact.label for fact in facts],
            "rows": np.array([fact.rows for fact in facts], dtype=np.int64),
            "days": np.array([fact.days for fact in facts], dtype=np.int64),
            "first": np.array([fact.first for fact in facts], dtype=np.int64),
            "last": np.array([fact.last for fact in facts], dtype=np.int64),
            "readable": np.array([fact.readable for fact in facts], dtype=bool),
        })


# ---------------------------------------------------------------- one call each

def bars(path, order_book_id, start=None, end=None, columns=None, *, fields=None):
    """`Bundle(path).bars(...)`: one instrument's minute bars as a table."""
    return Bundle(path, "minbar").bars(order_book_id, start, end, columns, fields=fields)


def bars_many(path, order_book_ids, start=None, end=None, columns=None, threads=DEFAULT_THREADS, *, fields=None):
    """`Bundle(path).bars_many(...)`: {order_book_id: bars} for many instruments, read in parallel."""
    return Bundle(path, "minbar").bars_many(order_book_ids, start, end, columns, threads,
                                                               fields=fields)


def ticks(path, order_book_id, start=None, end=None, columns=None, *, fields=None):
    """`Bundle(path).ticks(...)`: one instrument's ticks as a table."""
    return Bundle(path, "tick").ticks(order_book_id, start, end, columns, fields=fields)


def index(path, order_book_id, kind=None):
    """`Bundle(path).index(...)`: what one instrument's file holds, per day."""
    return Bundle(path).index(order_book_id, kind)


def listing(path):
    """`Bundle(path).listing()`: one row per instrument file of the bundle."""
    return Bundle(path).listing()


# ---------------------------------------------------------------- export

EXPORT_FORMATS = (".csv", ".parquet")


def check_export(out):
    """Refuse an output file whose format or directory cannot be written, before reading."""
    extension = files.check_output(out, EXPORT_FORMATS, "the format")
    if extension == ".parquet":
        import pyarrow  # noqa: F401  (the extra corvane[parquet]; missing: ModuleNotFoundError)


def export(path, order_book_id, out, start=None, end=None, kind=None):
    """Write one instrument's bars (or ticks, from a tick directory) of `start` to `end` to `out`.

    CSV or Parquet by the extension; the time is the first column.  The
    file appears whole or not at all.  Returns the number of rows written.
    Of a folder holding both kinds, `kind` chooses, as `Bundle.index`.
    """
    check_export(out)
    bound = Bundle(path, kind)
    kind = bound.kind_of(order_book_id, kind)
    table = (bound.ticks if kind == "tick" else bound.bars)(order_book_id, start, end)
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
