"""lumenfeed: a market-data client serving a deterministic demo market.

Call `init()` first in every process.  The market is invented (venues HBX and
QFX, see `lumenfeed._universe`) and computed on demand: the same question
always gets the same answer, and moving the as-of date forward only adds
days, it never changes the old ones.

Configuration, read on every call:
- LUMENFEED_ASOF: the as-of date, YYYYMMDD or YYYY-MM-DD (default: today).
  Data run up to and including the as-of date's session, taken as closed.
  YYYYMMDDTHHMM serves that day only up to HH:MM, as a vendor serves a
  session still running: the bars labelled up to then, the ticks before.
- LUMENFEED_TICK_DAYS: how many trading days, up to the as-of date, have
  ticks (default 20).
- LUMENFEED_MARKET: "demo" (default) serves the demo market; "full" adds
  the generated instruments of a user's market (about 5,000 stocks, 1,000
  funds, 500 indices, 800 live futures contracts, 4,500 options, see
  `lumenfeed._full`); a factor in (0, 1] keeps that share of each kind.
- LUMENFEED_LATENCY_MS: every call sleeps this many milliseconds first, as a
  client answering over a network would (default 0).
- LUMENFEED_TICK_RATE: about this many ticks a day (default 20 a minute).
- LUMENFEED_REVISED: YYYYMMDD[,YYYYMMDD...], days served corrected: a few
  bars of each instrument (always its last of the day) carry one more lot
  of volume and a high one tick higher, and the day's ticks follow them.
- LUMENFEED_FAULTS: ID:YYYYMMDD:kind[,...], one row of that instrument's
  day served wrong, one kind of fault each (see `lumenfeed._faults`).

The calls take exactly the argument forms the bundle updater is promised
(see each call); anything else raises TypeError or ValueError, so that code
leaning on a form a real client need not take fails here first.  The extra
calendar helpers (`get_trading_dates` and the like) are conveniences for
scripts and take any date form.
"""
import datetime
import functools
import os
import time
import warnings

import numpy as np
import pandas as pd

from vesper.const import INSTRUMENT_TYPE

from . import _calendar as cal
from . import _faults, _full, _universe
from ._market import PIP, Future, Option, last_slots, to_price
from ._ticks import day_ticks

__all__ = ["NotInitializedError", "init", "all_instruments", "instruments", "get_price", "get_next_trading_date",
           "get_previous_trading_date", "get_trading_dates", "is_trading_date"]

FREQUENCIES = ("1d", "1m", "tick")
ADJUST_TYPES = ("pre", "post", "none", "pre_volume", "post_volume")


class NotInitializedError(RuntimeError):
    """A client call was made before `lumenfeed.init()` in this process."""


_initialized = False


def init(*args, **kwargs):
    """Set the client up in this process.  Idempotent; warns, like a client
    without an account would, that it serves the demo market.  Arguments (user
    names, addresses) are accepted and ignored."""
    global _initialized
    _round_trip()
    warnings.warn("lumenfeed: no account configured, serving the built-in demo market (synthetic prices)",
                  UserWarning, stacklevel=2)
    _initialized = True


LATENCY_ENV = "LUMENFEED_LATENCY_MS"


def _round_trip():
    """Sleep LUMENFEED_LATENCY_MS, as the call would wait for a server."""
    text = os.environ.get(LATENCY_ENV, "").strip()
    if not text:
        return
    try:
        ms = float(text)
    except ValueError:
        ms = -1.0
    if not 0 <= ms < float("inf"):
        raise ValueError("{} must be a non-negative number of milliseconds, got {!r}".format(LATENCY_ENV, text))
    if ms:
        time.sleep(ms / 1000.0)


def _require(name):
    if not _initialized:
        raise NotInitializedError("lumenfeed.{}() called before lumenfeed.init(); "
                                  "call lumenfeed.init() once in this process first".format(name))
    _round_trip()


@functools.lru_cache(maxsize=4)
def _universe_as_of(asof, cut, factor, revised):
    return _universe.build(asof, cut, factor, revised)


def _universe_now():
    day, minute = cal.asof()
    return _universe_as_of(day, minute, _full.factor(), cal.revised_days())


# --------------------------------------------------------------------------- calendar

def get_next_trading_date(date):
    """The trading date after `date`, a plain int YYYYMMDD, as a datetime.date
    (the calendar rule holds beyond the as-of date too)."""
    _require("get_next_trading_date")
    return cal.next_trading_day(cal.contract_date(date, "date", ("int",)))


def get_previous_trading_date(date, n=1):
    """The n-th trading date before `date`, or None before the first trading date."""
    _require("get_previous_trading_date")
    if int(n) < 1:
        raise ValueError("n must be at least 1, got {!r}".format(n))
    return cal.previous_trading_day(cal.parse_date(date), int(n))


def is_trading_date(date):
    _require("is_trading_date")
    return cal.is_trading_day(cal.parse_date(date))


def get_trading_dates(start_date, end_date):
    """Trading dates from start to end inclusive, as datetime.date, up to the as-of date."""
    _require("get_trading_dates")
    start = cal.parse_date(start_date, "start_date")
    end = cal.parse_date(end_date, "end_date")
    last = _universe_now().last_day
    if last is None:
        return []
    return [cal.to_date(day) for day in cal.between(start, min(end, last))]


# --------------------------------------------------------------------------- instruments

_LISTING_COLUMNS = ("order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date", "round_lot",
                    "tick_size", "contract_multiplier", "underlying_symbol", "underlying_order_book_id",
                    "maturity_date", "strike_price", "option_type", "trading_hours")


def _listing(universe):
    if universe._table is None:
        rows = universe.listed
        columns = {}
        for name in _LISTING_COLUMNS:
            values = [getattr(inst, name) for inst in rows]
            if name == "type":
                # The types' text in a string column: equal to the
                # INSTRUMENT_TYPE members, but not the members themselves.
                columns[name] = pd.Series([value.value for value in values], dtype="string")
            elif name in ("listed_date", "de_listed_date", "maturity_date"):
                columns[name] = pd.to_datetime(pd.Series([pd.NaT if v is None else v for v in values],
                                                         dtype=object))
            else:
                columns[name] = pd.Series(values, dtype=object if name.startswith("underlying") else None)
        universe._table = pd.DataFrame(columns, columns=list(_LISTING_COLUMNS))
    return universe._table


def all_instruments(type=None):
    """One row per listed instrument (order_book_id, symbol, type, exchange,
    listed_date, de_listed_date, round_lot, tick_size, contract_multiplier,
    underlying_symbol, underlying_order_book_id, maturity_date, strike_price,
    option_type, trading_hours).  `type`: one INSTRUMENT_TYPE member, to keep
    only that type.  `type` holds the types' text (string dtype), equal to
    the members; de_listed_date is NaT while listed."""
    _require("all_instruments")
    table = _listing(_universe_now())
    if type is not None:
        if not isinstance(type, INSTRUMENT_TYPE):
            raise TypeError("type must be an INSTRUMENT_TYPE member, got {!r}".format(type))
        table = table[(table["type"] == type.value).to_numpy(dtype=bool)]
    return table.reset_index(drop=True)


def instruments(order_book_id):
    """The record of one instrument (None when unknown); its `type` is an
    INSTRUMENT_TYPE member."""
    _require("instruments")
    if not isinstance(order_book_id, str):
        raise TypeError("order_book_id must be one identifier, got {!r}".format(order_book_id))
    return _universe_now().by_id.get(order_book_id)


# --------------------------------------------------------------------------- prices

# Date forms each frequency takes: (start_date, end_date).
_DATE_FORMS = {
    "1d": (("int", "text"), ("int",)),   # the trading-day listing
    "1m": (("int", "date"), ("int",)),   # from a date or the next trading date
    "tick": (("date",), ("date",)),      # one listed day, twice
}


def get_price(order_book_id, start_date, end_date, frequency="1d", adjust_type="pre", expect_df=False):
    """Prices of one instrument between two dates (inclusive).

    - "1d" (no keywords): the trading-day listing, one row per trading day of
      the instrument in the range (suspended days too, flat at the previous
      close with no volume), indexed by the day at midnight; a table with no
      rows when there is none.  Dates: int YYYYMMDD, or text for the start.
    - "1m": one row per minute bar, labelled by the bar's end (09:31 for
      09:30-09:31); futures and their options add `open_interest` and
      `trading_date`, and trade a night session 21:00-23:00 on the evening
      before the trading date.  None when the range lies outside the
      instrument's life; a table with no rows when the instrument was
      suspended throughout it.  Start: int YYYYMMDD or a date; end: int.
    - "tick": the ticks of one day (a date, given as start and end), only for
      the last LUMENFEED_TICK_DAYS trading days up to the as-of date, indexed
      by tick timestamp; None when the day has no ticks.

    The demo market has no corporate actions, so every `adjust_type` gives
    the same prices.  With `expect_df` the index is (order_book_id, timestamp),
    otherwise single-level.
    """
    _require("get_price")
    if not isinstance(order_book_id, str):
        raise TypeError("order_book_id must be one identifier, got {!r}".format(order_book_id))
    if frequency not in FREQUENCIES:
        raise ValueError("frequency must be one of {}, got {!r}".format(FREQUENCIES, frequency))
    if adjust_type not in ADJUST_TYPES:
        raise ValueError("adjust_type must be one of {}, got {!r}".format(ADJUST_TYPES, adjust_type))
    start_forms, end_forms = _DATE_FORMS[frequency]
    start = cal.contract_date(start_date, "start_date", start_forms)
    end = cal.contract_date(end_date, "end_date", end_forms)
    if start > end:
        raise ValueError("start_date {} is after end_date {}".format(start, end))
    if frequency == "tick" and start != end:
        raise ValueError("ticks are served one day at a time, got {} to {}".format(start, end))
    universe = _universe_now()
    if order_book_id not in universe.by_id:
        raise ValueError("unknown order_book_id: {!r}".format(order_book_id))
    inst = universe.by_id[order_book_id]
    # Nothing is served beyond the as-of date's session.
    last = universe.last_day if universe.last_day is not None else cal.FIRST_TRADING_DAY - datetime.timedelta(1)
    end = min(end, last)
    frame = {"1d": _daily, "1m": _minutes, "tick": _ticks}[frequency](universe, inst, start, end)
    if frame is None or expect_df:
        return frame
    return frame.droplevel(0)


def _with_id(order_book_id, stamps, name):
    n = len(stamps)
    return pd.MultiIndex(levels=[pd.Index([order_book_id], dtype=object), pd.DatetimeIndex(stamps)],
                         codes=[np.zeros(n, dtype=np.int64), np.arange(n, dtype=np.int64)],
                         names=["order_book_id", name], verify_integrity=False)


def _is_derivative(inst):
    return isinstance(inst._model, (Future, Option))


def _take(matrix, mask, full):
    return matrix.ravel() if full else matrix[mask]


_BAR_COLUMNS = ("open", "high", "low", "close", "volume", "total_turnover")
_BAR_NAMES = pd.Index(_BAR_COLUMNS)


def _no_bars(inst):
    columns = {name: np.zeros(0) for name in _BAR_COLUMNS}
    if _is_derivative(inst):
        columns["open_interest"] = np.zeros(0, dtype=np.int64)
        columns["trading_date"] = np.zeros(0, dtype="datetime64[ns]")
    return pd.DataFrame(columns, index=_with_id(inst.order_book_id, np.zeros(0, "datetime64[ns]"), "datetime"))


def _minutes(universe, inst, start, end):
    market = universe.market
    days = market.life(inst, start, end)
    if not len(days):
        return None  # the range lies outside the instrument's life
    days = days[~market.suspended(inst, days)]
    if not len(days):
        return _no_bars(inst)  # listed, but suspended throughout
    bars = market.served_bars(inst, days)
    mask = bars.mask
    full = bool(mask.all())
    stamps = _take(market.timestamps(bars), mask, full).astype("datetime64[ns]")
    # The float columns as one block, made at once: a table built column by
    # column costs as much as the bars themselves.
    block = np.empty((len(_BAR_COLUMNS), len(stamps)))
    for row, values in enumerate((bars.open, bars.high, bars.low, bars.close)):
        block[row] = _take(values, mask, full)
    block[:4] /= PIP
    block[4] = _take(bars.volume, mask, full)
    block[5] = _take(bars.turnover, mask, full)
    frame = pd.DataFrame(block.T, index=_with_id(inst.order_book_id, stamps, "datetime"), columns=_BAR_NAMES,
                         copy=False)
    if _is_derivative(inst):
        frame["open_interest"] = _take(bars.open_interest, mask, full)
        frame["trading_date"] = np.repeat(days.astype("datetime64[ns]"), mask.sum(axis=1))
    return _faults.on_bars(frame, inst.order_book_id)


_DAILY_COLUMNS = ("open", "high", "low", "close", "prev_close", "limit_up", "limit_down", "volume",
                  "total_turnover")


def _daily(universe, inst, start, end):
    market = universe.market
    days = market.life(inst, start, end)
    if not len(days):
        columns = list(_DAILY_COLUMNS) + (["open_interest"] if _is_derivative(inst) else [])
        return pd.DataFrame({name: np.zeros(0) for name in columns},
                            index=_with_id(inst.order_book_id, np.zeros(0, "datetime64[ns]"), "date"))
    suspended = market.suspended(inst, days)
    n = len(days)
    prev_close = market.prev_closes(inst, days)
    flat = market.closes(inst, days)  # a suspended day stays at its last close
    price = {name: flat.copy() for name in ("open", "high", "low", "close")}
    volume = np.zeros(n)
    turnover = np.zeros(n)
    open_interest = np.zeros(n, dtype=np.int64)
    trading = ~suspended
    served = np.ones(n, dtype=bool)
    if trading.any():
        bars = market.served_bars(inst, days[trading])
        mask = bars.mask
        rows = np.arange(mask.shape[0])
        last = last_slots(mask)
        served[trading] = mask.any(axis=1)  # the as-of day before its first bar is not served yet
        price["open"][trading] = bars.open[rows, mask.argmax(axis=1)]
        price["close"][trading] = bars.close[rows, last]
        price["high"][trading] = np.where(mask, bars.high, np.iinfo(np.int64).min).max(axis=1)
        price["low"][trading] = np.where(mask, bars.low, np.iinfo(np.int64).max).min(axis=1)
        volume[trading] = np.where(mask, bars.volume, 0.0).sum(axis=1)
        turnover[trading] = np.round(np.where(mask, bars.turnover, 0.0).sum(axis=1), 2)
        if _is_derivative(inst):
            open_interest[trading] = bars.open_interest[rows, last]
    if _is_derivative(inst) and suspended.any():
        open_interest[suspended] = market.open_interest_levels(inst, days[suspended])
    band = market.band(inst, days, prev_close)
    columns = {
        "open": to_price(price["open"]),
        "high": to_price(price["high"]),
        "low": to_price(price["low"]),
        "close": to_price(price["close"]),
        "prev_close": to_price(prev_close),
        "limit_up": to_price(band[1]) if band is not None else np.full(n, np.nan),
        "limit_down": to_price(band[0]) if band is not None else np.full(n, np.nan),
        "volume": volume,
        "total_turnover": turnover,
    }
    if _is_derivative(inst):
        columns["open_interest"] = open_interest
    if not served.all():
        columns = {name: values[served] for name, values in columns.items()}
        days = days[served]
    return pd.DataFrame(columns, index=_with_id(inst.order_book_id, days.astype("datetime64[ns]"), "date"))


def _tick_window(universe):
    count = cal.tick_days()
    last = universe.last_day
    if count == 0 or last is None:
        return None
    days = cal.trading_days()
    hi = np.searchsorted(days, cal.to_day64(last), side="right")
    return days[max(hi - count, 0):hi]


def _ticks(universe, inst, start, end):
    window = _tick_window(universe)
    if window is None:
        return None
    market = universe.market
    days = market.life(inst, start, end)
    days = days[(days >= window[0]) & ~market.suspended(inst, days)]
    frames = [frame for frame in (_faults.on_ticks(day_ticks(market, inst, day), inst.order_book_id, day)
                                  for day in days) if frame is not None]
    if not frames:
        return None
    frame = frames[0] if len(frames) == 1 else pd.concat(frames)
    index = frame.index
    frame.index = _with_id(inst.order_book_id, index.values, "datetime")
    return frame
