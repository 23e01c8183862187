"""The candles a picture of minute bars draws: which trading dates, and of what period.

The period is the finest (1 minute up to a year) of which the range holds
few enough to see at the picture's width, so a picture costs the same for a
day as for twenty years.  The range is read through `corvane.read` and
gathered a slice of trading dates at a time, so memory stays that of one
slice.
"""
import numpy as np

from corvane import layout as files
from corvane import read

__all__ = ["select_days", "chosen_days", "candles", "candle_count", "choose_period", "calendar_key", "day_stamps",
           "PERIODS", "MINUTE", "DAY", "DEFAULT_DAYS", "CANDLE_PIXELS", "MARGIN_PIXELS"]

DEFAULT_DAYS = 20
# Candles while each keeps this many pixels of width.
CANDLE_PIXELS = 4
# Pixels of the figure's width that the axes' labels and margins take.
MARGIN_PIXELS = 110
# Bars read and resampled at once.
SLICE_ROWS = 200_000
PRICE_FIELDS = ["open", "high", "low", "close", "volume"]
MINUTE = np.int64(60 * 10 ** 9)
DAY = 1440 * MINUTE
# (name, minutes) of the candle periods, finest first; calendar periods have none.
PERIODS = (("1-minute", 1), ("5-minute", 5), ("15-minute", 15), ("30-minute", 30),
           ("hourly", 60), ("daily", None), ("weekly", None), ("monthly", None),
           ("quarterly", None), ("yearly", None))


def select_days(dates, start=None, end=None, count=DEFAULT_DAYS):
    """Index rows of the trading dates to draw: those from `start` to `end`, or the last `count`."""
    dates = np.asarray(dates, dtype=np.int64)
    if start is None and end is None:
        return np.arange(max(len(dates) - count, 0), len(dates))
    keep = np.ones(len(dates), dtype=bool)
    if start is not None:
        keep &= dates >= start
    if end is not None:
        keep &= dates <= end
    return np.flatnonzero(keep)


def chosen_days(path, order_book_id, start=None, end=None, as_of=None):
    """(trading dates, bars of each) to draw (of the version `as_of`); BundleError when there are none."""
    index = read.index(path, order_book_id, as_of=as_of)
    chosen = select_days(index["date"].to_numpy(), start, end)
    if not len(chosen):
        raise files.BundleError("{} holds no bars from {} to {}".format(
            order_book_id, start or "the first day", end or "the last day"))
    return (index["date"].to_numpy(dtype=np.int64)[chosen], index["rows"].to_numpy(dtype=np.int64)[chosen])


def _slices(dates, rows, most):
    """(first date, last date) of consecutive runs of trading dates holding about `most` bars."""
    ends = np.cumsum(rows)
    first = 0
    while first < len(dates):
        stop = max(first + 1, int(np.searchsorted(ends, ends[first] - rows[first] + most, side="right")))
        yield int(dates[first]), int(dates[min(stop, len(dates)) - 1])
        first = stop


def candles(path, order_book_id, dates, rows, period, as_of=None):
    """The candles of `period` over the trading dates `dates` (of the version `as_of`): a dict of arrays."""
    bundle = read.Bundle(path, "minbar")
    parts = [_resample(bundle.bars(order_book_id, first, last, columns=PRICE_FIELDS, as_of=as_of), period)
             for first, last in _slices(dates, rows, SLICE_ROWS)]
    joined = {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}
    # A calendar period (a week, a month) may span two slices.
    return _combine(joined, _changes(joined["key"], joined["date"], period))


def _changes(key, dates, period):
    """Where a new candle begins: its key changes (or, within a day, its trading date)."""
    change = key[1:] != key[:-1]
    if dict(PERIODS)[period]:
        change |= dates[1:] != dates[:-1]
    return np.flatnonzero(np.r_[True, change])


def _resample(table, period):
    stamps = table.index.to_numpy().astype("datetime64[ns]").astype(np.int64)
    dates = table["trading_date"].to_numpy(dtype=np.int64)
    minutes = dict(PERIODS)[period]
    if minutes:
        # A bar is stamped at its end: 09:31 covers 09:30 to 09:31.
        key = (stamps - MINUTE) // (minutes * MINUTE)
        start = key * minutes * MINUTE
    else:
        key = calendar_key(period, dates)
        start = day_stamps(dates)
    records = {"key": key, "start": start, "date": dates}
    records.update((name, table[name].to_numpy(dtype=np.float64)) for name in PRICE_FIELDS)
    records["bars"] = np.ones(len(dates), dtype=np.int64)
    return _combine(records, _changes(key, dates, period))


def _combine(records, starts):
    """One candle per run of records beginning at `starts`."""
    if not len(records["key"]):
        return records
    stops = np.r_[starts[1:], len(records["key"])] - 1
    return {
        "key": records["key"][starts], "start": records["start"][starts], "date": records["date"][starts],
        "open": records["open"][starts], "close": records["close"][stops],
        "high": np.maximum.reduceat(records["high"], starts),
        "low": np.minimum.reduceat(records["low"], starts),
        "volume": np.add.reduceat(records["volume"], starts),
        "bars": np.add.reduceat(records["bars"], starts),
    }


def day_stamps(dates):
    """Integer YYYYMMDD dates as nanoseconds since the epoch."""
    dates = np.asarray(dates, dtype=np.int64)
    months = ((dates // 10000 - 1970) * 12 + dates // 100 % 100 - 1).astype("datetime64[M]")
    days = months.astype("datetime64[D]") + (dates % 100 - 1).astype("timedelta64[D]")
    return days.astype("datetime64[ns]").astype(np.int64)


def calendar_key(period, dates):
    dates = np.asarray(dates, dtype=np.int64)
    if period == "daily":
        return dates
    if period == "weekly":
        # The epoch fell on a Thursday: shifting by 3 days starts weeks on Monday.
        return (day_stamps(dates) // DAY + 3) // 7
    if period == "monthly":
        return dates // 100
    if period == "quarterly":
        return dates // 10000 * 4 + (dates // 100 % 100 - 1) // 3
    return dates // 10000


def candle_count(period, dates, rows):
    """How many candles of `period` the trading dates hold, close enough to choose a period."""
    minutes = dict(PERIODS)[period]
    if minutes:
        return int(np.sum(-(-rows // minutes)))
    return len(np.unique(calendar_key(period, dates)))


def choose_period(dates, rows, width):
    """The finest period of which the dates hold few enough candles for `width` pixels."""
    most = max(1, (width - MARGIN_PIXELS) // CANDLE_PIXELS)
    for name, _ in PERIODS:
        if candle_count(name, dates, rows) <= most:
            return name
    return PERIODS[-1][0]
