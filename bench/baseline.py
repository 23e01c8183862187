"""The reference the benchmark compares corvane with.

This is the code a user would write for the same file format without
corvane: h5py and pandas, the conversions applied row by row, records built
from tuples, and the HDF5 deflate filter doing the compression. It writes
byte-for-byte the same records as corvane; only the chunk layout may differ.
It lives in bench/ only and is never imported by the package.
"""
import os
import warnings

import h5py
import numpy as np

from vesper.const import INSTRUMENT_TYPE
from vesper.utils.datetime_func import convert_dt_to_int
from vesper_mod_tollbay_data.data_sources.data_store import (
    H5TicksLoader, date_to_number, time_to_number)

EQUITIES_DTYPE = np.dtype([
    ("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"),
    ("close", "<f8"), ("volume", "<f8"), ("total_turnover", "<f8")])
DERIVATIVES_DTYPE = np.dtype([
    ("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"),
    ("close", "<f8"), ("open_interest", "<i8"), ("volume", "<f8"),
    ("total_turnover", "<f8")])
INDEX_DTYPE = np.dtype([("date", "<i4"), ("line_no", "<u4")])
EQUITIES_INS_TYPE = [INSTRUMENT_TYPE.CS, INSTRUMENT_TYPE.ETF, INSTRUMENT_TYPE.LOF,
                     INSTRUMENT_TYPE.INDX, INSTRUMENT_TYPE.CONVERTIBLE]
MIN_START_DATE = 20050104
MAX_END_DATE = 29991231

# The market-data client the jobs call; the benchmark points it at its
# pre-fetched data before any job (and before the pool forks its workers).
CLIENT = None

DATASET_OPTIONS = dict(compression="gzip", compression_opts=9, shuffle=False,
                       maxshape=(None,))


def _create(h5, name, records):
    h5.create_dataset(name, data=records, chunks=True, **DATASET_OPTIONS)


def _append(origin, new):
    origin_len = origin.shape[0]
    origin.resize((origin_len + new.shape[0],))
    origin[origin_len:origin_len + new.shape[0]] = new


def _get_price(client, order_book_id, start_date, max_end_date, dtypes):
    df = client.get_price(order_book_id, start_date=start_date, end_date=max_end_date,
                          frequency="1m", adjust_type="none", expect_df=True)
    if df is None or df.empty:
        return None, None
    date_index = df.index.get_level_values(1)
    if "trading_date" in df.columns:
        df["trading_date"] = df["trading_date"].apply(date_to_number)
    else:
        df["trading_date"] = date_index.map(date_to_number)
    df["datetime"] = date_index.map(convert_dt_to_int)
    df = df.reset_index(drop=True)
    data = np.array([tuple(row) for row in df[list(dtypes.names)].values], dtype=dtypes)
    first = df.drop_duplicates("trading_date")
    index = np.array([(d, n) for d, n in zip(first["trading_date"], first.index)],
                     dtype=INDEX_DTYPE)
    return index, data


def append_h5(client, order_book_id, path, file_name=None,
              min_start_date=MIN_START_DATE, max_end_date=MAX_END_DATE):
    ins = client.instruments(order_book_id)
    if ins.type in EQUITIES_INS_TYPE:
        dtypes, sub = EQUITIES_DTYPE, "equities"
    elif ins.type == INSTRUMENT_TYPE.FUTURE:
        dtypes, sub = DERIVATIVES_DTYPE, "future"
    elif ins.type == INSTRUMENT_TYPE.OPTION:
        dtypes, sub = DERIVATIVES_DTYPE, "option"
    else:
        raise NotImplementedError
    path = os.path.join(path, sub)
    os.makedirs(path, exist_ok=True)
    h5_file = os.path.join(path, file_name or "{}.h5".format(order_book_id))
    with h5py.File(h5_file, "a") as h5:
        if "index" not in h5:
            index, data = _get_price(client, order_book_id, min_start_date, max_end_date, dtypes)
            if index is None:
                return
            _create(h5, "data", data)
            h5.create_dataset("index", data=index, **DATASET_OPTIONS)
        else:
            latest_date = int(h5["index"][-1]["date"])
            start_date = client.get_next_trading_date(latest_date)
            index, data = _get_price(client, order_book_id, start_date, max_end_date, dtypes)
            if index is None:
                return
            # line_no holds the row of each date's first bar, so the batch's
            # row numbers move by the rows already stored.
            index["line_no"] += h5["data"].shape[0]
            _append(h5["index"], index)
            _append(h5["data"], data)


def append_h5_tick(client, order_book_id, path, file_name=None,
                   min_start_date=MIN_START_DATE, max_end_date=MAX_END_DATE):
    os.makedirs(path, exist_ok=True)
    h5_file = os.path.join(path, file_name or "{}.h5".format(order_book_id))
    columns, fields, dtypes = H5TicksLoader.COLUMNS, H5TicksLoader.FIELDS, H5TicksLoader.DTYPES
    with h5py.File(h5_file, "a") as h5:
        start_date = max(h5.keys()) if len(h5) else min_start_date
        trading_dates = client.get_price(order_book_id, start_date, max_end_date).index
        for trading_date in trading_dates:
            _df = client.get_price(order_book_id, trading_date, trading_date,
                                   frequency="tick", adjust_type="none")
            if _df is None:
                continue
            _df["date"] = _df.index.map(date_to_number)
            _df["time"] = _df.index.map(time_to_number)
            if "open_interest" not in _df.columns:
                _df["open_interest"] = 0
            _df = _df[columns]
            for name, _dt, scale in fields:
                # Rounded, not cut: a price like 10.01 x 10000 lands just
                # below the integer in floating point.
                _df[name] = (_df[name] * float(scale)).round()
            data = [tuple(row) for row in _df.values]
            ticks = np.array(data, dtype=dtypes)
            key = trading_date.strftime("%Y%m%d")
            if key in h5:
                del h5[key]
            _create(h5, key, ticks)


def init_worker():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        CLIENT.init()


def minbar_job(order_book_id, path, min_start_date=MIN_START_DATE):
    """Pool job: one instrument's minute-bar file, like corvane's driver submits."""
    append_h5(CLIENT, order_book_id, path, min_start_date=min_start_date)


def update_minbar(path, order_book_ids, concurrency, min_start_date=MIN_START_DATE, initializer=None):
    """The minute-bar update of `order_book_ids` as corvane's driver runs it:
    the framework's pool, one job per instrument.  `min_start_date`: where an
    empty file is filled from."""
    from vesper.data.bundle import ProgressedProcessPoolExecutor
    with ProgressedProcessPoolExecutor(max_workers=concurrency, initializer=initializer or init_worker) as executor:
        for order_book_id in order_book_ids:
            executor.submit(minbar_job, order_book_id, path, min_start_date)
