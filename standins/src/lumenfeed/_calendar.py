"""Trading calendar, date parsing and the as-of date of the demo market.

Trading days are the weekdays from 2005-01-04 on, less a fixed holiday rule:
1-3 January, 1-7 February, 1-3 May and 1-7 October.
"""
import datetime
import functools
import os

import numpy as np
import pandas as pd

FIRST_TRADING_DAY = datetime.date(2005, 1, 4)
# The cached calendar reaches this far; later dates fall back to the rule.
_CACHED_UNTIL = datetime.date(2199, 12, 31)
# (month, first day, last day) of each yearly holiday.
HOLIDAYS = ((1, 1, 3), (2, 1, 7), (5, 1, 3), (10, 1, 7))

ASOF_ENV = "LUMENFEED_ASOF"
TICK_DAYS_ENV = "LUMENFEED_TICK_DAYS"
REVISED_ENV = "LUMENFEED_REVISED"
DEFAULT_TICK_DAYS = 20

DAY = np.dtype("datetime64[D]")


def is_trading_day(day):
    if day < FIRST_TRADING_DAY or day.weekday() >= 5:
        return False
    return not any(day.month == month and first <= day.day <= last for month, first, last in HOLIDAYS)


@functools.lru_cache(maxsize=None)
def trading_days():
    """Every trading day of the cached span, as a read-only datetime64[D] array."""
    days = np.arange(np.datetime64(FIRST_TRADING_DAY, "D"), np.datetime64(_CACHED_UNTIL, "D") + 1)
    weekday = (days.astype(np.int64) + 3) % 7  # 1970-01-01 was a Thursday
    month_start = days.astype("datetime64[M]")
    month = month_start.astype(np.int64) % 12 + 1
    day_of_month = (days - month_start.astype(DAY)).astype(np.int64) + 1
    keep = weekday < 5
    for hol_month, first, last in HOLIDAYS:
        keep &= ~((month == hol_month) & (day_of_month >= first) & (day_of_month <= last))
    days = days[keep]
    days.flags.writeable = False
    return days


def to_day64(day):
    return np.datetime64(day, "D")


def to_date(day64):
    return day64.astype(datetime.date)


def between(start, end):
    """Trading days from `start` to `end` inclusive (dates), as datetime64[D]."""
    days = trading_days()
    lo = np.searchsorted(days, to_day64(start), side="left")
    hi = np.searchsorted(days, to_day64(end), side="right")
    return days[lo:hi]


def next_trading_day(day, n=1):
    """The n-th trading day after `day` (a date), by the rule beyond the cache."""
    if day < _CACHED_UNTIL - datetime.timedelta(days=30 + 2 * n):
        days = trading_days()
        i = np.searchsorted(days, to_day64(day), side="right") + n - 1
        return to_date(days[i])
    while n > 0:
        day += datetime.timedelta(days=1)
        n -= is_trading_day(day)
    return day


def previous_trading_day(day, n=1):
    """The n-th trading day before `day`, or None before the first trading day."""
    days = trading_days()
    if day > _CACHED_UNTIL:
        while n > 0 and day > _CACHED_UNTIL:
            day -= datetime.timedelta(days=1)
            n -= is_trading_day(day)
        if n == 0:
            return day
    i = np.searchsorted(days, to_day64(day), side="left") - n
    return to_date(days[i]) if i >= 0 else None


def last_trading_day_on_or_before(day):
    days = trading_days()
    i = np.searchsorted(days, to_day64(min(day, _CACHED_UNTIL)), side="right") - 1
    return to_date(days[i]) if i >= 0 else None


def previous_trading_days(days):
    """For each trading day of a datetime64[D] array, the trading day before it (NaT for the first)."""
    cal = trading_days()
    i = np.searchsorted(cal, days, side="left") - 1
    out = cal[np.maximum(i, 0)].copy()
    out[i < 0] = np.datetime64("NaT")
    return out


def previous_weekdays(days):
    return np.busday_offset(days, -1, roll="forward")


def parse_date(value, what="date"):
    """A client date argument as a `datetime.date`.

    Accepts int YYYYMMDD, text "YYYYMMDD" or "YYYY-MM-DD" (or anything pandas
    reads as a timestamp), date, datetime, pandas Timestamp and datetime64.
    """
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("{} must be a date, got {!r}".format(what, value))
    if isinstance(value, (int, np.integer)):
        text = str(int(value))
        if len(text) != 8:
            raise ValueError("{} as an integer must be YYYYMMDD, got {!r}".format(what, value))
        value = text
    if isinstance(value, str):
        text = value.strip()
        try:
            if len(text) == 8 and text.isdigit():
                return datetime.date(int(text[:4]), int(text[4:6]), int(text[6:]))
            stamp = pd.Timestamp(text)
        except ValueError as exc:
            raise ValueError("{} {!r} is not a date: {}".format(what, value, exc)) from None
        if pd.isna(stamp):
            raise ValueError("{} {!r} is not a date".format(what, value))
        return stamp.date()
    if isinstance(value, datetime.datetime):  # pandas Timestamp included
        if pd.isna(value):
            raise ValueError("{} must not be NaT".format(what))
        return value.date()
    if isinstance(value, datetime.date):
        return value
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError("{} must not be NaT".format(what))
        return to_date(value.astype(DAY))
    raise TypeError("{} must be an int YYYYMMDD, a date text, a date or a timestamp, got {!r}".format(what, value))


def contract_date(value, what, forms):
    """A date argument in one of the `forms` a call promises ("int" YYYYMMDD,
    "text" "YYYYMMDD", "date" a date or datetime), as a `datetime.date`.

    Stricter than `parse_date`: a caller relying on any other form (numpy
    values, "YYYY-MM-DD", floats) would fail on a real client.
    """
    if "int" in forms and type(value) is int:
        value = str(value)
        if len(value) != 8:
            raise ValueError("{} as an integer must be YYYYMMDD, got {}".format(what, value))
        return parse_date(value, what)
    if "text" in forms and isinstance(value, str):
        if len(value) != 8 or not value.isdigit():
            raise ValueError("{} as text must be YYYYMMDD, got {!r}".format(what, value))
        return parse_date(value, what)
    if "date" in forms and isinstance(value, datetime.date) and not pd.isna(value):
        return value.date() if isinstance(value, datetime.datetime) else value
    names = {"int": "an int YYYYMMDD", "text": "a text YYYYMMDD", "date": "a date"}
    raise TypeError("{} must be {}, got {!r}".format(what, " or ".join(names[form] for form in forms), value))


def asof():
    """(as-of date, minute of that day up to which it is served or None for the
    whole session): env LUMENFEED_ASOF, read on every call; default today.

    YYYYMMDD or YYYY-MM-DD serve the day's session whole; YYYYMMDDTHHMM serves
    the bars labelled up to HH:MM and the ticks before it, as a vendor does
    while the session runs.
    """
    text = os.environ.get(ASOF_ENV, "").strip()
    if not text:
        return datetime.date.today(), None
    try:
        if len(text) == 8 and text.isdigit():
            return datetime.date(int(text[:4]), int(text[4:6]), int(text[6:])), None
        if len(text) == 13 and text[8] == "T" and (text[:8] + text[9:]).isdigit():
            hour, minute = int(text[9:11]), int(text[11:])
            if hour > 23 or minute > 59:
                raise ValueError(text)
            return datetime.date(int(text[:4]), int(text[4:6]), int(text[6:8])), hour * 60 + minute
        if len(text) != 10:
            raise ValueError(text)
        return datetime.date.fromisoformat(text), None
    except ValueError:
        raise ValueError("{} must be YYYYMMDD, YYYY-MM-DD or YYYYMMDDTHHMM, got {!r}".format(ASOF_ENV, text)) \
            from None


def asof_date():
    return asof()[0]


def revised_days():
    """The days served with corrected values: env LUMENFEED_REVISED, YYYYMMDD[,YYYYMMDD...],
    as a sorted tuple of datetime.date (empty by default)."""
    return _revised(os.environ.get(REVISED_ENV, "").strip())


@functools.lru_cache(maxsize=8)
def _revised(text):
    if not text:
        return ()
    days = set()
    for part in text.split(","):
        part = part.strip()
        try:
            if len(part) != 8 or not part.isdigit():
                raise ValueError(part)
            days.add(datetime.date(int(part[:4]), int(part[4:6]), int(part[6:])))
        except ValueError:
            raise ValueError("{} must be YYYYMMDD[,YYYYMMDD...], got {!r}".format(REVISED_ENV, text)) from None
    return tuple(sorted(days))


def tick_days():
    text = os.environ.get(TICK_DAYS_ENV, "").strip()
    if not text:
        return DEFAULT_TICK_DAYS
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise ValueError("{} must be a non-negative integer, got {!r}".format(TICK_DAYS_ENV, text))
    return value
