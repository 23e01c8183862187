"""The minute-bar store: brings one instrument's minute-bar file up to date.

A minute-bar file (its format in `corvane.formats`) holds the bar records
and their per-date index; a file without the index is not initialised yet.

This module fetches the bars from the client and turns them into plain numpy
record arrays; the engine (`corvane._engine`) owns every byte written.
"""
import datetime
import os
from typing import NamedTuple

import numpy as np
import pandas as pd

from corvane import _engine
from corvane import quality as checks
from corvane.updater import revisit as revisits
from corvane.updater.tails import minbar_tails
from corvane.updater.stores import Found, Held, Stored, array_form, wall_clock, committed_in_time, engine_times, next_trading_date, open_instrument_file, per_date, per_stamp, run_starts, to_field, version_entry
from corvane.formats import (
    DATA, DERIVATIVES_DTYPE, EQUITIES_DIRECTORY, EQUITIES_DTYPE, FUTURE_DIRECTORY, INDEX, INDEX_DTYPE,
    OPTION_DIRECTORY, check_minbar_members, check_order_book_id, instrument_file)

__all__ = ["append_h5", "fetch_bars"]

def _bar_timestamps(df, order_book_id):
    """The bar timestamps (second row-index level), one per row, ascending.

    Rows must be one per distinct timestamp, in ascending time: strictly
    rising values prove both without the hash table a distinct count needs.
    """
    stamps = wall_clock(df.index)
    if stamps is not None:
        ns = stamps.values.view(np.int64)
    else:
        stamps = df.index.get_level_values(1)
        if not isinstance(stamps, pd.DatetimeIndex):
            stamps = pd.DatetimeIndex(stamps)
        if stamps.hasnans:
            raise ValueError("minute bars of {!r}: a bar has no timestamp".format(order_book_id))
        ns = stamps.asi8
    if not (ns[1:] > ns[:-1]).all():
        if (ns[1:] >= ns[:-1]).all():
            raise ValueError("minute bars of {!r}: {} rows but fewer distinct timestamps "
                             "(a repeated timestamp)".format(order_book_id, len(df)))
        raise ValueError("minute bars of {!r}: timestamps are not in ascending order"
                         .format(order_book_id))
    return stamps


def _plain_dates(values, order_book_id):
    """The client's trading dates as dates or datetimes, one by one.

    The plug-in takes one date or timestamp, nothing else: a datetime64
    column's values are numpy scalars (or bare integers once listed), so
    they become datetimes; an object column may already hold dates,
    datetimes or Timestamps, which pass as they are.
    """
    if values.dtype.kind == "M":
        values = values.astype("datetime64[us]").tolist()
    dates = []
    for value in values:
        if isinstance(value, np.datetime64):
            value = value.astype("datetime64[us]").item()
        if value is None or value is pd.NaT or value is pd.NA or (isinstance(value, float) and value != value):
            raise ValueError("minute bars of {!r}: a bar has no trading_date".format(order_book_id))
        if not isinstance(value, datetime.date):
            raise TypeError("minute bars of {!r}: trading_date {!r} is not a date"
                            .format(order_book_id, value))
        dates.append(value)
    return dates


def _trading_dates(df, stamps, date_to_number, order_book_id):
    """Integer trading date of every bar (see `_trading_date_runs`)."""
    starts, numbers = _trading_date_runs(df, stamps, date_to_number, order_book_id, _positions(df))
    return np.repeat(numbers, np.diff(np.append(starts, len(df))))


def _trading_date_runs(df, stamps, date_to_number, order_book_id, at):
    """(first row of each run of bars of one trading date, the run's integer date).

    The client's "trading_date" column wins when present (night-session bars
    belong to the next trading date); otherwise a bar's calendar date.  Each
    distinct value is converted once.  The bars are in time order, so the
    dates come in runs: working on the runs keeps a twenty-year fetch from
    holding per-bar temporaries.  `at`: the frame's `_positions`.
    """
    if "trading_date" not in (df.columns if at is None else at):
        return _calendar_date_runs(date_to_number, stamps)
    values = _column(df, "trading_date", at)
    starts = run_starts(values)
    form = array_form(date_to_number)
    if form is not None and values.dtype.kind == "M" and not np.isnat(values[starts]).any():
        return starts, form(values[starts].astype("datetime64[ns]"))
    codes, uniques = pd.factorize(values[starts], use_na_sentinel=False)
    dates = _plain_dates(np.asarray(uniques), order_book_id)
    numbers = np.array([date_to_number(day) for day in dates], dtype=np.int64)
    return starts, numbers[codes]


def _calendar_date_runs(date_to_number, stamps):
    """`_trading_date_runs` of bars without a trading date: their calendar dates (`per_date`)."""
    if stamps.tz is None and not stamps.hasnans:
        days = stamps.values.astype("datetime64[D]")
        one = days[0] == days[-1] and (days == days[0]).all()
        starts = _ONE_RUN if one else run_starts(days)
        if one or (days[starts[1:]] > days[starts[:-1]]).all():
            # per_date's conversion of each date, given its first stamp.
            firsts = stamps.values[starts].astype("datetime64[us]").tolist()
            return starts, np.fromiter(map(date_to_number, firsts), dtype=np.int64, count=len(firsts))
    dates = per_date(date_to_number, stamps)
    starts = run_starts(dates)
    return starts, dates[starts]


# The runs of a day's bars, all of one date.
_ONE_RUN = np.zeros(1, dtype=np.intp)
_ONE_RUN.flags.writeable = False


def _date_index(df, stamps, date_to_number, order_book_id, index_dtype, at=None):
    """`_first_rows` of the bars' trading dates: straight from their runs when the runs' dates
    rise (each date one run, as in every fetch in time order).  `at`: the frame's `_positions`."""
    starts, numbers = _trading_date_runs(df, stamps, date_to_number, order_book_id, at)
    if len(numbers) > 1 and not (numbers[1:] > numbers[:-1]).all():
        return _first_rows(np.repeat(numbers, np.diff(np.append(starts, len(df)))), index_dtype)
    index = np.zeros(len(starts), dtype=index_dtype)
    index["date"] = numbers
    index["line_no"] = starts
    return index


def _positions(df):
    """{column name: its position, None for a name held more than once} of `df`, from one pass over
    its names (pandas' own look-up builds a hash table of them first); None when pandas hands out
    no column arrays."""
    if getattr(df, "_get_column_array", None) is None:
        return None
    found = {}
    for position, name in enumerate(df.columns.to_numpy(dtype=object).tolist()):
        found[name] = None if name in found else position
    return found


def _column(df, name, at=None):
    """Column `name` of `df` as a numpy array, without the Series pandas makes
    for every column it hands out (which costs more than converting a day's
    bars): the frame's own array when pandas gives it (the name held once, a
    plain numpy array), else through the Series.  `at`: the frame's `_positions`, when found."""
    getter = getattr(df, "_get_column_array", None)
    if at is not None:
        position = at[name]
    else:
        # A name held once has one position (a repeated one a mask): no look at every name's uniqueness.
        position = df.columns.get_loc(name) if getter is not None else None
    if isinstance(position, int):
        values = getter(position)
        if isinstance(values, np.ndarray):
            return values
        if isinstance(getattr(values, "dtype", None), np.dtype):
            return np.asarray(values)   # plain datetimes, kept by pandas in an array of its own
    return df[name].to_numpy()


def _float_columns(df, names, at=None):
    """The columns `names` of `df` one by one, as numbers (float64 where they
    are not plain numbers already); never a copy of all columns at once."""
    for name in names:
        values = _column(df, name, at)
        yield values if values.dtype.kind in "fiu" else df[name].to_numpy(dtype=np.float64)


def _bar_records(df, stamps, order_book_id, dtypes, convert_dt_to_int, at=None):
    """One record of `dtypes` per row of `df`, in row order; `at`: the frame's `_positions`."""
    names = _value_fields(dtypes)
    held = df.columns if at is None else at
    missing = [name for name in names if name not in held]
    if missing:
        raise KeyError("minute bars of {!r} lack column(s) {}".format(order_book_id, missing))
    data = np.zeros(len(df), dtype=dtypes)
    # The framework's own times of wall-clock stamps, and the float64 columns beside them, are
    # written in place by the engine in one pass a field.
    in_place = engine_times(convert_dt_to_int, stamps, dtypes)
    if not in_place:
        per_stamp(convert_dt_to_int, stamps, out=data["datetime"])
    floats = []
    # Column by column through float64 (the values' common type): the same
    # values as one float64 matrix, without holding a copy of all columns.
    for name, values in zip(names, _float_columns(df, names, at)):
        field = dtypes[name]
        # A float64 column stored in a float64 field as it is: to_field's copy would be the same.
        if values.dtype == field == _FLOAT and in_place:
            floats.append((name, np.ascontiguousarray(values)))
        else:
            data[name] = values if values.dtype == field == _FLOAT else to_field(values, field, name)
    if in_place:
        _engine.fill_bars(data, stamps.values.view(np.int64), floats)
    return data


_FLOAT = np.dtype(np.float64)
_fields = {}


def _value_fields(dtypes):
    """The fields of record type `dtypes` taken from the client's columns (all but "datetime"),
    found once per type."""
    names = _fields.get(dtypes)
    if names is None:
        names = _fields[dtypes] = tuple(name for name in dtypes.names if name != "datetime")
    return names


def _first_rows(trading_dates, index_dtype):
    """One index record per distinct trading date: the row of its first bar.

    A date that comes back after another date has begun gets no second
    record; its later bars count under the record before them.
    """
    starts = run_starts(trading_dates)
    first = starts[np.sort(np.unique(trading_dates[starts], return_index=True)[1])]
    index = np.zeros(len(first), dtype=index_dtype)
    index["date"] = trading_dates[first]
    index["line_no"] = first
    return index


def fetch_bars(services, order_book_id, start_date, max_end_date, dtypes, index_dtype):
    """The pair (index, data) of bars from `start_date` on, or (None, None)."""
    df = services.client.get_price(order_book_id, start_date=start_date, end_date=max_end_date,
                                   frequency="1m", adjust_type="none", expect_df=True)
    if df is None or df.empty:
        return None, None
    stamps = _bar_timestamps(df, order_book_id)
    at = _positions(df)
    # The index first: its temporaries are gone before the records exist.
    index = _date_index(df, stamps, services.date_to_number, order_book_id, index_dtype, at)
    return index, _bar_records(df, stamps, order_book_id, dtypes, services.convert_dt_to_int, at)


def _store_for(services, order_book_id, ins_type):
    """(sub-directory, record type) for an instrument type."""
    if ins_type in services.equities_types:
        return EQUITIES_DIRECTORY, EQUITIES_DTYPE
    if ins_type == services.instrument_type.FUTURE:
        return FUTURE_DIRECTORY, DERIVATIVES_DTYPE
    if ins_type == services.instrument_type.OPTION:
        return OPTION_DIRECTORY, DERIVATIVES_DTYPE
    raise NotImplementedError("{!r} is of instrument type {}, which has no minute-bar store"
                              .format(order_book_id, ins_type))


def _latest_trading_date(h5):
    last = h5.read_last(INDEX)
    if last is None:
        raise ValueError("{}: \"{}\" holds no rows".format(h5.path, INDEX))
    return int(last["date"])  # the client wants a plain int, not a numpy scalar


class _Call(NamedTuple):
    """What one call of `append_h5` works with, beside its open file."""
    services: object
    order_book_id: str
    root: str
    h5_file: str
    dtypes: np.dtype
    max_end_date: int
    entry: bool
    deadline: object
    quality: str


def append_h5(services, order_book_id, path, file_name, min_start_date, max_end_date, durable=False,
              ins_type=None, delisted=None, revisit=0, entry=False, deadline=None, quality="warn"):
    """Bring the minute-bar file of `order_book_id` under `path` up to date; a Stored.

    The record types are the file format's (`corvane.formats`).  `durable`:
    its writes are on disk before this returns.  `ins_type`: the
    instrument's type as the caller's listing has it (None: asked of the
    client).  `delisted`: YYYYMMDD the listing says it ended; a file whose
    last stored date is that day or later is left as it is, without asking
    the client: no bar can come after it.  `revisit`: the last stored days
    asked again in the same call (`corvane.updater.revisit`), ended instruments
    included.  `entry`: the Stored carries the file's line in the run's
    version, `path` being the root it is of.  `deadline`: the job's
    Deadline (`corvane.updater.deadlines`): nothing is written or committed past it.
    A failure after the file is open tells what it held (`stores.found_before`).
    `quality`: "off" skips the checks of the rows written (`corvane.quality`);
    otherwise the Stored carries their findings, and every row is written.
    """
    check_order_book_id(order_book_id)
    if ins_type is None:
        ins_type = services.client.instruments(order_book_id).type
    sub_dir, dtypes = _store_for(services, order_book_id, ins_type)
    directory = os.path.join(path, sub_dir)
    if not os.path.isdir(directory):    # one stat a file, not a refused mkdir and two
        os.makedirs(directory, exist_ok=True)
    h5_file = instrument_file(directory, order_book_id, file_name)
    call = _Call(services, order_book_id, path, h5_file, dtypes, max_end_date, entry, deadline, quality)
    with Found() as found, committed_in_time(open_instrument_file(h5_file, durable), deadline) as h5:
        # The members, both counts and the last stored date in one call to the engine.
        members, rows, days, latest = h5.minbar_held()
        check_minbar_members(h5_file, members)
        before = found.held(Held(rows, days))
        if INDEX not in members:
            return _appended(call, h5, before, min_start_date, None)
        latest = _latest_trading_date(h5) if latest is None else latest
        if revisit:
            return _revisited(call, h5, before, revisit, latest)
        if delisted is not None and delisted <= latest:
            return Stored(before, before, days=(latest,))
        return _appended(call, h5, before, next_trading_date(services.client, latest), latest)


def _fetched(call, start_date):
    """(index, data) of the bars from `start_date` on, or None; None too past the call's deadline."""
    index, data = fetch_bars(call.services, call.order_book_id, start_date, call.max_end_date, call.dtypes,
                             INDEX_DTYPE)
    if index is None or data is None:
        return None
    if call.deadline is not None:
        call.deadline.check()
    return index, data


def _appended(call, h5, before, start_date, latest):
    """The Stored of the bars from `start_date` on appended to `h5`, whose last stored date is `latest`."""
    held = () if latest is None else (latest,)
    bars = _fetched(call, start_date)
    if bars is None:
        return Stored(before, before, days=held)
    # Checked before they are committed; found or not, every bar is written.
    findings = () if call.quality == "off" else checks.bar_findings(bars[1], bars[0], latest)
    # One unit: the engine offsets line_no by the rows already stored,
    # removes orphan bar records and rolls back on a failed index write.
    h5.append_minbar(*bars)
    # The engine stores the index's dates as given, after the last one held: every row of both, or
    # it raised (a failed index write cut the bars back).  A file without an index it starts
    # afresh, orphan bars dropped; any other it extends.
    grown = (0, 0) if latest is None else before
    after = Held(grown[0] + len(bars[1]), grown[1] + len(bars[0]))
    stored = _stored(h5, call.root if call.entry else None, call.h5_file, before, (), bars, findings, after)
    return stored._replace(days=held + tuple(bars[0]["date"].tolist()))


def _revisited(call, h5, before, revisit, latest):
    """The Stored of the last `revisit` stored days asked again: changed ones cut and written again,
    new ones appended, in one unit; `latest`: the last date the file held."""
    first = revisits.first_revisited(h5, revisit)
    bars = _fetched(call, first)
    if bars is None:
        return Stored(before, before, days=(latest,))
    findings = () if call.quality == "off" else checks.bar_findings(bars[1], bars[0])
    revised = revisits.store_minbar(h5, *bars, first, revisits.side_store(call.root, call.h5_file))
    # Only the days written count: those revised, and those after the last stored one.
    written = {int(day) for day in revised}
    findings = [found for found in findings if found.date in written or found.date > latest]
    stored = _stored(h5, call.root if call.entry else None, call.h5_file, before, revised, None, findings)
    return stored._replace(days=_days_from(h5, before.days, stored.after.days))


def _days_from(h5, held, days):
    """The `days` of a Stored (`stores.Stored`) read from the open file, which held `held` days
    before the call and `days` now."""
    if not days:
        return ()
    first = min(max(held - 1, 0), days - 1) if held else 0
    return tuple(h5.read(INDEX, first, days)["date"].tolist())


def _stored(h5, root, h5_file, before, revised, appended, findings=(), after=None):
    """The Stored of a call that wrote to `h5`, still open, and whose rows the quality checks
    found `findings` in: the call holds the file while its line in the version of `root`
    (None: none asked for) is taken.  `after`: what the file holds now, when the call knows
    (else read from the file)."""
    after = Held(*_counts(h5, (DATA, INDEX))) if after is None else after
    entry = None
    if root is not None and (after != before or revised):
        tails = dict(minbar_tails(h5, after, appended), revised=list(revised), quality=checks.as_json(findings))
        entry = version_entry(root, h5_file, "minbar", h5, before, after, tails)
    return Stored(before, after, tuple(revised), entry, tuple(findings))


def _counts(h5, members):
    return tuple(h5.length(name) if name in members else 0 for name in (DATA, INDEX))
