"""Integer encodings of dates and times used across the framework."""
import datetime

import pandas as pd


def _one_date(dt):
    """`dt` itself when it is one date or datetime (a pandas Timestamp is one).

    Only the attributes are read.  numpy values, arrays, integers and text are
    refused: the framework promises to take one date or timestamp, nothing else.
    """
    if not isinstance(dt, datetime.date) or dt is pd.NaT:
        raise TypeError("expected one date or timestamp, got {!r}".format(dt))
    return dt


def convert_dt_to_int(dt):
    """A timestamp (or a date, at midnight) as the integer YYYYMMDDHHMMSS,
    sub-second part dropped."""
    dt = _one_date(dt)
    if not isinstance(dt, datetime.datetime):
        return ((dt.year * 100 + dt.month) * 100 + dt.day) * 1000000
    return ((dt.year * 100 + dt.month) * 100 + dt.day) * 1000000 + dt.hour * 10000 + dt.minute * 100 + dt.second


def convert_date_to_int(dt):
    """A date or timestamp as the integer YYYYMMDD000000 (time of day dropped)."""
    dt = _one_date(dt)
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
