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

from corvane.history import asof
from corvane.history import market
from corvane import formats
from corvane import layout as files
from corvane.read import facts as file_facts
from corvane.read import gaps, request, research
from corvane.read import listed
from corvane.read import tables
from corvane.whole_files import write_whole

__all__ = ["Bundle", "bars", "bars_many", "iter_bars", "dask_bars", "coverage", "ticks", "index", "listing",
           "instruments", "export", "as_day"]

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


# ---------------------------------------------------------------- files

_NAMES = {"minbar": "minute-bar", "tick": "tick"}


def _roots(path, kind):
    """{kind: directory} of the bundle at `path`: itself, or the bundles a folder holds."""
    # Looked at once: a read of one file pays for every look at the directory.
    held = files.kinds_held(path)
    if not held and os.path.isdir(path):
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
    return {files.require_kind(path, kind, held): path}


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
    The options after the range are passed by name, in one order
    wherever they apply: columns, freq, strict, to, as_of, threads,
    batch_days (`corvane.read.request`).  `columns` (a name or a list)
    keeps only those fields; `fields`, its former name, still works with a
    DeprecationWarning.  Every table's attrs["version"] is the id of the
    version it was read as of.
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

    @request.request
    def bars(self, order_book_id, start=None, end=None, *, columns=None, freq=None, strict=False, to="pandas",
             as_of=None, threads=0):
        """The minute bars of trading dates `start` to `end` of one instrument.

        A DataFrame indexed by the bar time, with the column `trading_date`
        (YYYYMMDD; night bars belong to the next trading date) and the
        record fields.  BundleError when the instrument has no file or its
        file no bars; a range holding no stored date gives an empty table.

        `freq` ("5min", any whole number of minutes, or "1D") gathers the bars
        into longer ones, never across a break in trading (`corvane.read.sessions`).
        The table's `attrs` say what it covers: the first and last stored
        dates, the venue's last date, the range asked and the trading dates
        missing in it (`corvane.read.gaps`), and "version", the id of the
        version read (of the newest when none is asked; None when the root has
        none yet); `strict=True` raises CoverageError instead when the range
        runs past a stale file's end or holds a missing or short day.
        `to="arrow"` gives a pyarrow.Table of the same columns.

        `as_of` (a version id, a tag, or a time: the latest version committed
        at or before it; `corvane.history.versions`) reads exactly what that version
        held; VersionError when the file no longer holds it.  What the attrs
        say and what `strict` checks are then as of that version too.

        `threads`: the threads that inflate the file's chunks, 0 for one a
        core; 1 where the caller reads files on threads of its own, as
        `bars_many` does, so that its cores are not asked twice.
        """
        start, end = _range(start, end)
        request.check_threads(threads)
        h5_file = self._files("minbar", [order_book_id])[0]
        root = self._root("minbar")
        version, version_id = request.version_of(root, as_of)
        return research.finish(root, h5_file, start, end, columns, freq, strict, to, int(threads),
                               version=version, version_id=version_id)

    @request.request
    def bars_many(self, order_book_ids, start=None, end=None, *, columns=None, freq=None, strict=False,
                  to="pandas", as_of=None, threads=DEFAULT_THREADS):
        """{order_book_id: bars(...)} for many instruments, read in parallel by `threads`.

        Instruments without a file are all named in one BundleError, raised
        before anything is read (`listing()` says which instruments have one).
        """
        start, end = _range(start, end)
        research.check_request(freq, to)
        request.check_threads(threads)
        order_book_ids = list(order_book_ids)
        h5_files = self._files("minbar", order_book_ids)
        root = self._root("minbar")
        version, version_id = request.version_of(root, as_of)
        calendars = research.venue_calendars(root, h5_files, version)

        def one(h5_file):
            return research.finish(root, h5_file, start, end, columns, freq, strict, to, 1, calendars, version,
                                   version_id)

        with ThreadPoolExecutor(max(1, min(threads, len(h5_files)))) as pool:
            # One thread a file: the files are the parallel work.
            return dict(zip(order_book_ids, pool.map(one, h5_files)))

    @request.request
    def iter_bars(self, order_book_ids, start=None, end=None, *, columns=None, freq=None, strict=False,
                  to="pandas", as_of=None, batch_days=research.BATCH_DAYS):
        """The bars of `order_book_ids` a block at a time, in bounded memory: yields (order_book_id, table).

        In the order the instruments are given, and for each instrument its
        stored trading dates from `start` to `end` in ascending order, at most
        `batch_days` of them a table (a whole number of trading dates, so a
        longer bar of `freq` is never cut).  Only one block is read at a time.
        The version is found once, as the call is made: `as_of`'s, else the
        newest, and every block is read as of it, so an update running
        beside the stream (a revisit, say) never shows in its later blocks.
        The other arguments are those of `bars`.
        """
        start, end = _range(start, end)
        return research.iter_bars(self._root("minbar"), order_book_ids, start, end, freq, batch_days, columns,
                                  strict, to, as_of)

    @request.request
    def dask_bars(self, order_book_ids, start=None, end=None, *, columns=None, freq=None, as_of=None,
                  by_year=None):
        """A dask.dataframe of the bars of `order_book_ids`, read on the workers from this path.

        One partition an instrument, or an instrument and a year of trading
        dates (`by_year`; by default when the range spans more than a calendar
        year); the column `order_book_id` comes first.  Divisions are known for
        one instrument.  Every worker must see the bundle at the same path.
        `as_of` names the version every partition reads (found once, here).
        """
        start, end = _range(start, end)
        return research.dask_bars(bars, self._root("minbar"), order_book_ids, start, end, freq, columns, by_year,
                                  as_of)

    @request.request
    def coverage(self, order_book_ids=None, start=None, end=None, *, as_of=None, calendar=None, ends=None):
        """One row per instrument: what its file covers of `start` to `end` (see `corvane.read.gaps`).

        `as_of`: the files a version held, their dates and the calendar as of
        it.  attrs["version"] names the version, as `bars`.
        """
        root = self._root("minbar")
        version, version_id = request.version_of(root, as_of)
        table = gaps.coverage(root, order_book_ids, *_range(start, end), calendar=calendar, ends=ends,
                              version=version)
        table.attrs["version"] = version_id
        return table

    @request.request
    def ticks(self, order_book_id, start=None, end=None, *, columns=None, to="pandas", as_of=None):
        """The ticks of the stored days `start` to `end` of one instrument.

        A DataFrame indexed by the tick time, with the column
        `trading_date` (the day the ticks are stored under) and the tick
        fields, prices divided back by the tick reader's scales; its `attrs`
        name the first and last stored days, the range asked and the version
        read, as `bars`.  `to="arrow"` gives a pyarrow.Table of the same
        columns; `as_of` reads a version, as `bars`.
        """
        start, end = _range(start, end)
        version, version_id = request.version_of(self._root("tick"), as_of)
        return tables.ticks_of_file(self._files("tick", [order_book_id])[0], order_book_id, start, end,
                                    columns, to, asof.opener(version), version_id)

    @request.request
    def index(self, order_book_id, *, as_of=None, kind=None):
        """What one instrument's file holds, per day.

        Of a minute-bar file: its "index" (`date`, `line_no`) with the
        `rows` of each date; of a tick file: each stored day's `date` and
        `rows`.  A folder holding both kinds gives the minute-bar file's,
        or the tick file's when the instrument has only that (`kind`
        chooses).  `as_of` reads a version, as `bars`, named by attrs["version"].
        """
        kind = self.kind_of(order_book_id, kind)
        version, version_id = request.version_of(self._root(kind), as_of)
        table = tables.index_of_file(self._files(kind, [order_book_id])[0],
                                     files.TICK_KIND if kind == "tick" else "minbar", asof.opener(version))
        table.attrs["version"] = version_id
        return table

    def kind_of(self, order_book_id, kind=None):
        """`kind`, or the bundle's only one; of a folder holding both, "minbar" when the
        instrument has a minute-bar file, else "tick"."""
        if kind is not None:
            return kind
        if len(self.roots) == 1:
            return next(iter(self.roots))
        minbar = formats.locate(self.roots["minbar"], order_book_id, "minbar")
        return "minbar" if minbar and os.path.isfile(minbar) else "tick"

    @request.request
    def listing(self, *, as_of=None):
        """One row per instrument file: what `corvane inspect` counts.

        Columns: order_book_id, kind (equities, future, option or ticks),
        rows, days, first and last (YYYYMMDD, 0 when the file holds nothing)
        and readable.  `as_of`: the files a version held, as it held them.
        attrs["version"] names the version, as `bars`; of a folder holding
        both kinds, {kind: id} of the versions of each.
        """
        if as_of is not None:
            facts = file_facts.bundle_facts_as_of(self.roots, as_of)
        else:
            facts = [fact for kind, root in sorted(self.roots.items())
                     for fact in file_facts.bundle_facts(root, kind)]
        return pd.DataFrame({
            "order_book_id": [formats.order_book_id_of(fact.file) for fact in facts],
            "kind": [fact.label for fact in facts],
            "rows": np.array([fact.rows for fact in facts], dtype=np.int64),
            "days": np.array([fact.days for fact in facts], dtype=np.int64),
            "first": np.array([fact.first for fact in facts], dtype=np.int64),
            "last": np.array([fact.last for fact in facts], dtype=np.int64),
            "readable": np.array([fact.readable for fact in facts], dtype=bool),
        }).pipe(_named, request.listed_version(self.roots, as_of))


    @request.request
    def instruments(self, *, as_of=None):
        """One row per instrument the updates kept the client's listing of: what the market said.

        Columns: order_book_id, then the listing's own (type, exchange,
        listed_date, de_listed_date, maturity_date, ...; dates YYYYMMDD, 0
        when none), and suspended, the days the client served no bars for
        it while its venue traded (`corvane.history.market`).  `as_of`: the
        listing and suspensions as of that version.  attrs["version"] names
        the version, as `listing`.
        """
        version = request.listed_version(self.roots, as_of)
        ids = version if isinstance(version, dict) else {next(iter(self.roots)): version}
        # The minute bars' listing last: theirs is the wider run's.
        kept = [market.facts_as_of(self.roots[kind], ids[kind]) for kind in sorted(ids, reverse=True)
                if ids[kind] is not None]
        return listed.table(kept).pipe(_named, version)


def _named(table, version):
    table.attrs["version"] = version
    return table


# ---------------------------------------------------------------- one call each

bars = request.one_call(Bundle, Bundle.bars, "minbar")
bars_many = request.one_call(Bundle, Bundle.bars_many, "minbar")
iter_bars = request.one_call(Bundle, Bundle.iter_bars, "minbar")
dask_bars = request.one_call(Bundle, Bundle.dask_bars, "minbar")
coverage = request.one_call(Bundle, Bundle.coverage, "minbar")
ticks = request.one_call(Bundle, Bundle.ticks, "tick")
index = request.one_call(Bundle, Bundle.index, None)
listing = request.one_call(Bundle, Bundle.listing, None)
instruments = request.one_call(Bundle, Bundle.instruments, None)


# ---------------------------------------------------------------- export

EXPORT_FORMATS = (".csv", ".parquet")


def check_export(out):
    """Refuse an output file whose format or directory cannot be written, before reading."""
    extension = files.check_output(out, EXPORT_FORMATS, "the format")
    if extension == ".parquet":
        import pyarrow  # noqa: F401  (the extra corvane[parquet]; missing: ModuleNotFoundError)


def export(path, order_book_id, out, start=None, end=None, kind=None, freq=None, as_of=None):
    """Write one instrument's bars (or ticks, from a tick directory) of `start` to `end` to `out`.

    CSV or Parquet by the extension; the time is the first column.  `freq`
    gathers bars as `bars` does.  The file appears whole or not at all.
    Returns the number of rows written.  Of a folder holding both kinds,
    `kind` chooses, as `Bundle.index`.  `as_of` exports a version, as `bars`.
    """
    check_export(out)
    research.check_request(freq, "pandas")
    bound = Bundle(path, kind)
    kind = bound.kind_of(order_book_id, kind)
    if kind == "tick" and freq is not None:
        raise files.BundleError("freq gathers minute bars; {} holds ticks of {}".format(path, order_book_id))
    table = (bound.ticks(order_book_id, start, end, as_of=as_of) if kind == "tick"
             else bound.bars(order_book_id, start, end, freq=freq, as_of=as_of))
    if out.lower().endswith(".parquet"):
        write_whole(out, lambda temporary: table.to_parquet(temporary, engine="pyarrow"), durable=False)
    else:
        write_whole(out, table.to_csv, durable=False)
    return len(table)
