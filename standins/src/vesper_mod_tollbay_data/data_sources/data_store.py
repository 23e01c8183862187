"""Date and time encodings and the tick store reader of the data-source plug-in.

Tick files hold one dataset per trading day, named YYYYMMDD, each an array of
`H5TicksLoader.DTYPES` records.  Prices are stored as integers scaled by
10000; a writer rounds the scaled value to the nearest integer (so 12.34
survives a round trip exactly) and stores an undefined value (NaN) in an
integer field as 0.  The reader divides by the same scales.
"""
import datetime
import os
from decimal import Decimal

import h5py
import numpy as np
import pandas as pd

PRICE_SCALE = 10000

_PRICE_COLUMNS = (
    ["open", "last", "high", "low", "prev_close", "limit_up", "limit_down"]
    + ["a%d" % i for i in range(1, 6)]
    + ["b%d" % i for i in range(1, 6)]
)


# Stored type of every tick field: dates and times as unsigned 32-bit,
# prices scaled into signed 32-bit (up to 214748.3647), counts as 64-bit.
_STORED_TYPES = dict(
    [("date", "<u4"), ("time", "<u4"), ("volume", "<i8"), ("total_turnover", "<f8"), ("open_interest", "<i8")]
    + [(name, "<i4") for name in _PRICE_COLUMNS]
    + [("%s%d_v" % (side, i), "<i8") for side in "ab" for i in range(1, 6)]
)


def date_to_number(d):
    """One date or timestamp (a pandas Timestamp is one) as the integer YYYYMMDD.

    Only its attributes are read; numpy values, arrays, Series, integers and
    text raise TypeError.
    """
    if not isinstance(d, datetime.date) or d is pd.NaT:
        raise TypeError("date_to_number takes one date or timestamp, got {!r}".format(d))
    return d.year * 10000 + d.month * 100 + d.day


def time_to_number(dt):
    """One timestamp's time of day as the integer HHMMSSmmm (milliseconds last).

    A timestamp is a `datetime.datetime` (a pandas Timestamp is one); anything
    else, a plain date included, raises TypeError.
    """
    if not isinstance(dt, datetime.datetime) or dt is pd.NaT:
        raise TypeError("time_to_number takes one timestamp, got {!r}".format(dt))
    return ((dt.hour * 100 + dt.minute) * 100 + dt.second) * 1000 + dt.microsecond // 1000


class H5TicksLoader:
    """Reads the tick files of a tick directory: "<order_book_id>.h5", one dataset per day.

    `COLUMNS` lists a stored tick's fields in order; `DTYPES` is the stored
    record (one field per column, same order); `FIELDS` names the scaled
    columns as (name, stored type, scale).
    """

    COLUMNS = (
        ["date", "time", "open", "last", "high", "low", "prev_close", "volume", "total_turnover",
         "open_interest", "limit_up", "limit_down"]
        + ["a%d" % i for i in range(1, 6)]
        + ["b%d" % i for i in range(1, 6)]
        + ["a%d_v" % i for i in range(1, 6)]
        + ["b%d_v" % i for i in range(1, 6)]
    )

    # Any (name, type, scale) triple will do, with any scale float() takes:
    # the prices of the trade as tuples with a numpy scale, the order book's
    # as lists with a Decimal one.
    FIELDS = tuple(
        (name, np.int32, np.int64(PRICE_SCALE)) if name[0] not in "ab" else [name, np.int32, Decimal(PRICE_SCALE)]
        for name in _PRICE_COLUMNS
    )

    DTYPES = np.dtype([(name, _STORED_TYPES[name]) for name in COLUMNS])

    def __init__(self, path):
        self._path = os.fspath(path)

    def _file(self, order_book_id):
        return os.path.join(self._path, "{}.h5".format(order_book_id))

    @staticmethod
    def _day_name(date):
        if isinstance(date, (int, np.integer)):
            return "%08d" % int(date)
        if isinstance(date, str):
            return pd.Timestamp(date).strftime("%Y%m%d")
        return "%08d" % date_to_number(date)

    def available_dates(self, order_book_id):
        """The stored days of an instrument as sorted integers YYYYMMDD ([] without a file)."""
        path = self._file(order_book_id)
        if not os.path.exists(path):
            return []
        with h5py.File(path, "r") as h5:
            return sorted(int(name) for name in h5.keys())

    def get_ticks(self, order_book_id, date):
        """One stored day as a DataFrame in `COLUMNS` order, scaled columns divided back.

        `date` may be an int YYYYMMDD, text, date or Timestamp.  Returns None
        when the file or the day is absent.  Scaled columns come back as
        float64; an integer field stored as 0 for an undefined value reads
        as 0.
        """
        path = self._file(order_book_id)
        if not os.path.exists(path):
            return None
        name = self._day_name(date)
        with h5py.File(path, "r") as h5:
            if name not in h5:
                return None
            records = h5[name][()]
        stored = records.dtype.names or ()
        missing = [column for column in self.COLUMNS if column not in stored]
        if missing:
            raise ValueError("{}/{}: stored ticks lack the fields {}".format(path, name, missing))
        scales = {field[0]: float(field[2]) for field in self.FIELDS}
        columns = {}
        for column in self.COLUMNS:
            values = records[column]
            if column in scales:
                values = values.astype(np.float64) / scales[column]
            else:
                values = values.astype(values.dtype.newbyteorder("="))
            columns[column] = values
        return pd.DataFrame(columns, columns=self.COLUMNS)
