"""A small, scripted market-data client and framework services for the store tests.

The fake client keeps every call it receives (name, positional args, keyword
items in the order given), so tests can check exactly what was asked.
"""
import datetime
import enum
from typing import NamedTuple

import numpy as np
import pandas as pd

from corvane.updater.services import Services

# The record types of the files, without the platform the module surface needs.
from corvane.formats import DERIVATIVES_DTYPE, EQUITIES_DTYPE, INDEX_DTYPE  # noqa: F401


class InsType(enum.Enum):
    """A plain enumeration: no `str`, but equal to and hashing like its text,
    which is all the framework promises of its instrument types."""

    CS = "CS"
    FUTURE = "FUTURE"
    OPTION = "OPTION"
    ETF = "ETF"
    LOF = "LOF"
    INDX = "INDX"
    CONVERTIBLE = "CONVERTIBLE"
    REPO = "REPO"

    def __eq__(self, other):
        if isinstance(other, InsType):
            return self is other
        return self.value == other if isinstance(other, str) else NotImplemented

    def __hash__(self):
        return hash(self.value)


# The fake framework's own members: the services' enumeration is InsType.
EQUITIES_INS_TYPE = [InsType.CS, InsType.ETF, InsType.LOF, InsType.INDX, InsType.CONVERTIBLE]


class Instrument(NamedTuple):
    order_book_id: str
    type: InsType


def to_timestamp(date):
    """A client-style date argument (int, 8-digit text, date) as a Timestamp."""
    if isinstance(date, (int, np.integer)):
        date = str(int(date))
    return pd.Timestamp(date)


def next_weekday(date):
    day = to_timestamp(date).date() + datetime.timedelta(days=1)
    while day.weekday() >= 5:
        day += datetime.timedelta(days=1)
    return day


# -- framework conversions, counting their calls ------------------------------------------

class Counted:
    def __init__(self, fn):
        self.fn = fn
        self.calls = []

    def __call__(self, value):
        self.calls.append(value)
        return self.fn(value)


# Written from the conversions' promise alone: one date or timestamp in,
# read through its attributes; anything else is a TypeError.

def one_date(value, timestamp=False):
    if not isinstance(value, datetime.datetime if timestamp else datetime.date) or value is pd.NaT:
        raise TypeError("one {} expected, got {!r}".format("timestamp" if timestamp else "date", value))
    return value


def convert_dt_to_int(dt):
    dt = one_date(dt, timestamp=True)
    return ((dt.year * 100 + dt.month) * 100 + dt.day) * 1000000 + (dt.hour * 100 + dt.minute) * 100 + dt.second


def date_to_number(d):
    d = one_date(d)
    return d.year * 10000 + d.month * 100 + d.day


def time_to_number(dt):
    dt = one_date(dt, timestamp=True)
    return ((dt.hour * 100 + dt.minute) * 100 + dt.second) * 1000 + dt.microsecond // 1000


class TicksLoader:
    COLUMNS = ["date", "time", "open", "last", "high", "low", "prev_close", "volume",
               "total_turnover", "open_interest", "limit_up", "limit_down", "a1", "b1", "a1_v", "b1_v"]
    FIELDS = (("open", np.int32, 10000), ("last", np.int32, 10000), ("high", np.int32, 10000),
              ("low", np.int32, 10000), ("prev_close", np.int32, 10000), ("limit_up", np.int32, 10000),
              ("limit_down", np.int32, 10000), ("a1", np.int32, 10000), ("b1", np.int32, 10000))
    DTYPES = np.dtype([("date", "<u4"), ("time", "<u4"), ("open", "<i4"), ("last", "<i4"),
                       ("high", "<i4"), ("low", "<i4"), ("prev_close", "<i4"), ("volume", "<i8"),
                       ("total_turnover", "<f8"), ("open_interest", "<i8"), ("limit_up", "<i4"),
                       ("limit_down", "<i4"), ("a1", "<i4"), ("b1", "<i4"), ("a1_v", "<i8"),
                       ("b1_v", "<i8")])


def make_services(client, ticks_loader=TicksLoader):
    return Services(client=client, instrument_type=InsType,
                    convert_dt_to_int=Counted(convert_dt_to_int),
                    date_to_number=Counted(date_to_number),
                    time_to_number=Counted(time_to_number),
                    ticks_loader=ticks_loader, echo=print, equities_types=EQUITIES_INS_TYPE)


# -- data builders -------------------------------------------------------------------------

def day_bars(trading_date, count, start="09:31", night=0):
    """Timestamps of `count` one-minute bars of a trading date, after `night`
    bars of the evening before (21:01 on, calendar date of the previous day)."""
    day = to_timestamp(trading_date)
    stamps = []
    if night:
        evening = day - pd.Timedelta(days=1) + pd.Timedelta(hours=21)
        stamps += list(pd.date_range(evening + pd.Timedelta(minutes=1), periods=night, freq="min"))
    stamps += list(pd.date_range(day + pd.Timedelta(start + ":00"), periods=count, freq="min"))
    return stamps


def minute_bars(order_book_id, days, derivatives=False, night=0):
    """The client's bar table for `days`: a list of (trading_date, bar count)."""
    stamps, trading = [], []
    for trading_date, count in days:
        stamps_of_day = day_bars(trading_date, count, night=night)
        stamps += stamps_of_day
        trading += [to_timestamp(trading_date)] * len(stamps_of_day)
    n = len(stamps)
    base = 10.0 + np.arange(n) * 0.01
    table = {"open": base, "high": base + 0.05, "low": base - 0.05, "close": base + 0.01,
             "volume": np.arange(n) * 100.0 + 100.0, "total_turnover": base * 1000.0}
    if derivatives:
        table["open_interest"] = np.arange(n, dtype=np.int64) + 5000
        table["trading_date"] = trading
    index = pd.MultiIndex.from_arrays([[order_book_id] * n, stamps], names=["order_book_id", "datetime"])
    return pd.DataFrame(table, index=index)


def day_ticks(trading_date, count, open_interest=True):
    """The client's tick table of one day: `count` ticks three seconds apart."""
    stamps = pd.date_range(to_timestamp(trading_date) + pd.Timedelta("09:30:00"), periods=count, freq="3s")
    last = 10.0 + np.arange(count) * 0.01
    table = {"open": np.full(count, 10.0), "last": last, "high": last + 0.02, "low": last - 0.02,
             "prev_close": np.full(count, 9.9), "volume": np.arange(count, dtype=np.int64) * 100,
             "total_turnover": last * 100.0 * np.arange(count), "limit_up": np.full(count, 10.89),
             "limit_down": np.full(count, 8.91), "a1": last + 0.01, "b1": last - 0.01,
             "a1_v": np.full(count, 300, dtype=np.int64), "b1_v": np.full(count, 200, dtype=np.int64)}
    if open_interest:
        table["open_interest"] = np.arange(count, dtype=np.int64) + 7000
    return pd.DataFrame(table, index=pd.DatetimeIndex(stamps, name="datetime"))


# -- the client ------------------------------------------------------------------------------

class FakeClient:
    """Serves scripted instruments, minute bars, trading-day listings and ticks.

    `bars[id]`: the full bar table (see `minute_bars`); `get_price` at "1m"
    returns its rows whose trading date lies in the range.  `days[id]`: the
    instrument's trading days; `ticks[(id, date)]`: a day's tick table or None.
    """

    def __init__(self, types=None):
        self.types = dict(types or {})
        self.bars = {}
        self.days = {}
        self.ticks = {}
        self.no_listing = False
        self.calls = []

    def instruments(self, order_book_id):
        self.calls.append(("instruments", (order_book_id,), []))
        if order_book_id not in self.types:
            return None
        return Instrument(order_book_id, self.types[order_book_id])

    def get_next_trading_date(self, date):
        self.calls.append(("get_next_trading_date", (date,), []))
        return next_weekday(date)

    def get_price(self, *args, **kwargs):
        self.calls.append(("get_price", args, list(kwargs.items())))
        frequency = kwargs.get("frequency", "1d")
        if frequency == "1m":
            return self._minute_bars(args[0], kwargs["start_date"], kwargs["end_date"])
        if frequency == "tick":
            table = self.ticks.get((args[0], to_timestamp(args[1]).date()))
            return None if table is None else table.copy()
        return self._listing(*args)

    def _minute_bars(self, order_book_id, start, end):
        table = self.bars.get(order_book_id)
        if table is None:
            return None
        if "trading_date" in table.columns:
            trading = pd.DatetimeIndex(table["trading_date"])
        else:
            trading = pd.DatetimeIndex(table.index.get_level_values(1)).normalize()
        rows = table[(trading >= to_timestamp(start)) & (trading <= to_timestamp(end))]
        return rows if len(rows) else None

    def _listing(self, order_book_id, start, end):
        if self.no_listing:
            return None
        days = [d for d in self.days.get(order_book_id, [])
                if to_timestamp(start) <= to_timestamp(d) <= to_timestamp(end)]
        return pd.DataFrame({"close": np.ones(len(days))},
                            index=pd.DatetimeIndex([to_timestamp(d) for d in days], name="date"))

    def calls_of(self, name):
        return [call for call in self.calls if call[0] == name]


def tick_market(days, counts=None):
    """A client listing one stock, S1, traded on `days` with `counts` ticks each (3)."""
    client = FakeClient({"S1": InsType.CS})
    client.days["S1"] = list(days)
    for day, count in zip(days, counts or [3] * len(days)):
        client.ticks[("S1", day)] = day_ticks(day, count)
    return client


def assert_bundle_storage(h5_file):
    """Every member a 1-D, resizable, chunked, deflate-9 dataset, no shuffle, no attributes."""
    import h5py
    with h5py.File(h5_file, "r") as f:
        assert not f.attrs.keys()
        for name, member in f.items():
            assert isinstance(member, h5py.Dataset), name
            assert member.ndim == 1 and member.maxshape == (None,), name
            assert member.chunks is not None, name
            assert (member.compression, member.compression_opts, member.shuffle) == ("gzip", 9, False), name
            assert not member.attrs.keys(), name
