"""Integer encodings of dates and times used across the framework."""
import datetime

import numpy as np
import pandas as pd


def _as_datetime(dt):
    if isinstance(dt, np.datetime64):
        return pd.Timestamp(dt)
    if isinstance(dt, datetime.datetime):  # pandas.Timestamp included
        return dt
    if isinstance(dt, datetime.date):
        return datetime.datetime(dt.year, dt.month, dt.day)
    raise TypeError("expected a datetime, date, Timestamp or datetime64, got {!r}".format(dt))


def convert_dt_to_int(dt):
    """A timestamp as the integer YYYYMMDDHHMMSS (sub-second part dropped)."""
    dt = _as_datetime(dt)
    return ((dt.year * 100 + dt.month) * 100 + dt.day) * 1000000 + dt.hour * 10000 + dt.minute * 100 + dt.second


def convert_date_to_int(dt):
    """A date or timestamp as the integer YYYYMMDD000000 (time of day dropped)."""
    dt = _as_datetime(dt)
    return ((dt.year * 100 + dt.month) * 100 + dt.day) * 1000000


def convert_int_to_datetime(value):
    """The inverse of `convert_dt_to_int`."""
    value = int(value)
    date, time = divmod(value, 1000000)
    year, md = divmod(date, 10000)
    month, day = divmod(md, 100)
    hour, ms = divmod(time, 10000)
    minute, second = divmod(ms, 100)
    return datetime.datetime(year, month, day, hour, minute, second)
