"""The minute-bar store: brings one instrument's minute-bar file up to date.

A minute-bar file (its format in `corvane.formats`) holds the bar records
and their per-date index; a file without the index is not initialised yet.

This module fetches the bars from the client and turns them into plain numpy
record arrays; the engine (`corvane._engine`) owns every byte written.
"""
import datetime
import os

import numpy as np
import pandas as pd

from corvane import revisit as revisits
from corvane.stores import open_instrument_file, per_date, per_stamp, run_starts, to_field
from corvane.formats import (
    DATA, DERIVATIVES_DTYPE, EQUITIES_DIRECTORY, EQUITIES_DTYPE, FUTURE_DIRECTORY, INDEX, INDEX_DTYPE,
    OPTION_DIRECTORY, check_minbar_members, check_order_book_id, instrument_file)

__all__ = ["append_h5", "fetch_bars"]

# Up to this many rows a frame's numbers are read as one matrix (a day of
# ticks or bars is a few thousand rows at most).
SMALL_FRAME_ROWS = 65536


def _bar_timestamps(df, order_book_id):
    """The bar timestamps (second row-index level), one per row, ascending.

    Rows must be one per distinct timestamp, in ascending time: strictly
    rising values prove both without the hash table a distinct count needs.
    """
    stamps = pd.DatetimeIndex(df.index.get_level_values(1))
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
    """Integer trading date of every bar.

    The client's "trading_date" column wins when present (night-session bars
    belong to the next trading date); otherwise a bar's calendar date.  Each
    distinct value is converted once and mapped back.  The bars are in time
    order, so the dates come in runs: working on the runs keeps a twenty-year
    fetch from holding per-bar temporaries beside the result.
    """
    if "trading_date" not in df.columns:
        return per_date(date_to_number, stamps)
    values = df["trading_date"].to_numpy()
    starts = run_starts(values)
    codes, uniques = pd.factorize(values[starts], use_na_sentinel=False)
    dates = _plain_dates(np.asarray(uniques), order_book_id)
    numbers = np.array([date_to_number(day) for day in dates], dtype=np.int64)
    return np.repeat(numbers[codes], np.diff(np.append(starts, len(values))))


def _float_columns(df, names):
    """The columns `names` of `df` one by one, as numbers.

    pandas makes a Series (index and all) for every column it hands out,
    which costs more than converting a day's bars; a small frame of numbers
    alone is read as one matrix instead.  Large frames go column by column,
    so that twenty years of bars are never copied all at once.
    """
    if len(df) <= SMALL_FRAME_ROWS and df.columns.is_unique:
        matrix = df.to_numpy()
        if matrix.dtype.kind in "fiu":
            at = {name: i for i, name in enumerate(df.columns)}
            return (matrix[:, at[name]] for name in names)
    return (df[name].to_numpy(dtype=np.float64) for name in names)


def _bar_records(df, stamps, order_book_id, dtypes, convert_dt_to_int):
    """One record of `dtypes` per row of `df`, in row order."""
    names = [name for name in dtypes.names if name != "datetime"]
    missing = [name for name in names if name not in df.columns]
    if missing:
        raise KeyError("minute bars of {!r} lack column(s) {}".format(order_book_id, missing))
    data = np.zeros(len(df), dtype=dtypes)
    per_stamp(convert_dt_to_int, stamps, out=data["datetime"])
    # Column by column through float64 (the values' common type): the same
    # values as one float64 matrix, without holding a copy of all columns.
    for name, values in zip(names, _float_columns(df, names)):
        data[name] = to_field(values, dtypes[name], name)
    return data


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
    # The index first: its temporaries are gone before the records exist.
    index = _first_rows(_trading_dates(df, stamps, services.date_to_number, order_book_id), index_dtype)
    return index, _bar_records(df, stamps, order_book_id, dtypes, services.convert_dt_to_int)


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


def append_h5(services, order_book_id, path, file_name, min_start_date, max_end_date, durable=False,
              ins_type=None, delisted=None, counts=None, revisit=0):
    """Bring the minute-bar file of `order_book_id` under `path` up to date.

    The record types are the file format's (`corvane.formats`).  `durable`:
    its writes are on disk before this returns.  `ins_type`: the
    instrument's type as the caller's listing has it (None: asked of the
    client).  `delisted`: YYYYMMDD the listing says it ended; a file whose
    last stored date is that day or later is left as it is, without asking
    the client: no bar can come after it.  `counts`: a dict given
    "before" and "after", each (bar records, index records) of the file,
    and "revised", the dates revised.  `revisit`: the last stored days asked
    again in the same call (`corvane.revisit`), ended instruments included.
    """
    check_order_book_id(order_book_id)
    root = path
    client = services.client
    if ins_type is None:
        ins_type = client.instruments(order_book_id).type
    sub_dir, dtypes = _store_for(services, order_book_id, ins_type)
    path = os.path.join(path, sub_dir)
    os.makedirs(path, exist_ok=True)
    h5_file = instrument_file(path, order_book_id, file_name)

    def _get_price(start_date):
        return fetch_bars(services, order_book_id, start_date, max_end_date, dtypes, INDEX_DTYPE)

    def _append(h5, index, data):
        # One unit: the engine offsets line_no by the rows already stored,
        # removes orphan bar records and rolls back on a failed index write.
        h5.append_minbar(index, data)

    with open_instrument_file(h5_file, durable) as h5:
        members = h5.members()
        check_minbar_members(h5_file, members)
        if counts is not None:
            counts["before"] = _counts(h5, members)
        if INDEX not in members:
            index, data = _get_price(min_start_date)
        else:
            latest = _latest_trading_date(h5)
            if revisit:
                first = revisits.first_revisited(h5, revisit)
                index, data = _get_price(first)
                if index is not None and data is not None:
                    revised = revisits.store_minbar(h5, index, data, first, revisits.side_store(root, h5_file))
                    if counts is not None:
                        counts["after"] = _counts(h5, (DATA, INDEX))
                        counts["revised"] = revised
                return
            if delisted is not None and delisted <= latest:
                return
            index, data = _get_price(client.get_next_trading_date(latest))
        if index is None or data is None:
            return
        _append(h5, index, data)
        if counts is not None:
            counts["after"] = _counts(h5, (DATA, INDEX))


def _counts(h5, members):
    return tuple(h5.length(name) if name in members else 0 for name in (DATA, INDEX))
