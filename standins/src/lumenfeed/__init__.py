"""lumenfeed: a market-data client serving a deterministic demo market.

Call `init()` first in every process.  The market is invented (venues HBX and
QFX, see `lumenfeed._universe`) and computed on demand: the same question
always gets the same answer, and moving the as-of date forward only adds
days, it never changes the old ones.

Configuration, read on every call:
- LUMENFEED_ASOF: the as-of date, YYYYMMDD or YYYY-MM-DD (default: today).
  Data run up to and including the as-of date's session, taken as closed.
- LUMENFEED_TICK_DAYS: how many trading days, up to the as-of date, have
  ticks (default 20).

Dates may be given as int YYYYMMDD, text "YYYYMMDD" or "YYYY-MM-DD", date,
datetime, pandas Timestamp or numpy datetime64.
"""
import functools
import warnings

import numpy as np
import pandas as pd

from vesper.const import INSTRUMENT_TYPE

from . import _calendar as cal
from . import _universe
from ._market import Future, Option, to_price
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
    warnings.warn("lumenfeed: no account configured, serving the built-in demo market (synthetic prices)",
                  UserWarning, stacklevel=2)
    _initialized = True


def _require(name):
    if not _initialized:
        raise NotInitializedError("lumenfeed.{}() called before lumenfeed.init(); "
                                  "call lumenfeed.init() once in this process first".format(name))


@functools.lru_cache(maxsize=4)
def _universe_as_of(asof):
    return _universe.build(asof)


def _universe_now():
    return _universe_as_of(cal.asof_date())


# --------------------------------------------------------------------------- calendar

def get_next_trading_date(date, n=1):
    """The n-th trading date after `date`, as a datetime.date (the calendar rule
    holds beyond the as-of date too)."""
    _require("get_next_trading_date")
    if int(n) < 1:
        raise ValueError("n must be at least 1, got {!r}".format(n))
    return cal.next_trading_day(cal.parse_date(date), int(n))


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
                columns[name] = pd.Series(values, dtype=object)  # keep the INSTRUMENT_TYPE members
            elif name in ("listed_date", "de_listed_date", "maturity_date"):
                columns[name] = pd.to_datetime(pd.Series([pd.NaT if v is None else v for v in values],
                                                         dtype=object))
            else:
                columns[name] = pd.Series(values, dtype=object if name.startswith("underlying") else None)
        universe._table = pd.DataFrame(columns, columns=list(_LISTING_COLUMNS))
    return universe._table


def _types(type):
    wanted = [type] if isinstance(type, str) else list(type)
    out = set()
    for value in wanted:
        try:
            out.add(INSTRUMENT_TYPE(value))
        except ValueError:
            raise ValueError("unknown instrument type {!r}; known: {}".format(
                value, ", ".join(member.value for member in INSTRUMENT_TYPE))) from None
    return out


def all_instruments(type=None):
    """One row per listed instrument (order_book_id, symbol, type, exchange,
    listed_date, de_listed_date, round_lot, tick_size, contract_multiplier,
    underlying_symbol, underlying_order_book_id, maturity_date, strike_price,
    option_type, trading_hours).  `type`: an INSTRUMENT_TYPE member or its
    text, or a list of them, to keep only those types.  `type` values are
    INSTRUMENT_TYPE members; de_listed_date is NaT while listed."""
    _require("all_instruments")
    table = _listing(_universe_now())
    if type is not None:
        table = table[table["type"].isin(_types(type))]
    return table.reset_index(drop=True)


def instruments(order_book_ids):
    """The record of an instrument (None when unknown); for a list, the records
    of the known ones."""
    _require("instruments")
    by_id = _universe_now().by_id
    if isinstance(order_book_ids, str):
        return by_id.get(order_book_ids)
    return [by_id[oid] for oid in order_book_ids if oid in by_id]


# --------------------------------------------------------------------------- prices

def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None, adjust_type="pre",
              skip_suspended=False, expect_df=False):
    """Prices between two dates (inclusive), or None when there are none.

    - "1d": one row per trading day of the instrument in the range (suspended
      days too, flat at the previous close with no volume, unless
      `skip_suspended`), indexed by the day at midnight;
    - "1m": one row per minute bar, labelled by the bar's end (09:31 for
      09:30-09:31); futures and their options add `open_interest` and
      `trading_date`, and trade a night session 21:00-23:00 on the evening
      before the trading date;
    - "tick": the ticks of each day, only for the last LUMENFEED_TICK_DAYS
      trading days up to the as-of date, indexed by tick timestamp.

    Defaults: `start_date` is the first trading date (2005-01-04) for bars and
    the end date for ticks; `end_date` the as-of date.  The demo market has no
    corporate actions, so every `adjust_type` gives the same prices.  With one
    instrument and `expect_df` false the index is single-level; otherwise it
    is (order_book_id, timestamp).
    """
    _require("get_price")
    ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
    if not ids or not all(isinstance(oid, str) for oid in ids):
        raise ValueError("order_book_ids must be an identifier or a non-empty list of identifiers, got {!r}"
                         .format(order_book_ids))
    if frequency not in FREQUENCIES:
        raise ValueError("frequency must be one of {}, got {!r}".format(FREQUENCIES, frequency))
    if adjust_type not in ADJUST_TYPES:
        raise ValueError("adjust_type must be one of {}, got {!r}".format(ADJUST_TYPES, adjust_type))
    universe = _universe_now()
    unknown = [oid for oid in ids if oid not in universe.by_id]
    if unknown:
        raise ValueError("unknown order_book_id: {}".format(", ".join(map(repr, unknown))))
    end = cal.parse_date(end_date, "end_date") if end_date is not None else universe.asof
    if start_date is not None:
        start = cal.parse_date(start_date, "start_date")
    else:
        start = end if frequency == "tick" else cal.FIRST_TRADING_DAY
    if start > end:
        raise ValueError("start_date {} is after end_date {}".format(start, end))
    if universe.last_day is None:
        return None
    end = min(end, universe.last_day)

    build = {"1d": _daily, "1m": _minutes, "tick": _ticks}[frequency]
    frames = []
    for oid in ids:
        frame = build(universe, universe.by_id[oid], start, end, skip_suspended)
        if frame is not None and len(frame):
            frames.append(frame)
    if not frames:
        return None
    if fields is not None:
        wanted = [fields] if isinstance(fields, str) else list(fields)
        missing = [name for name in wanted if all(name not in frame.columns for frame in frames)]
        if missing:
            raise ValueError("unknown fields for frequency {!r}: {}".format(frequency, missing))
        frames = [frame.reindex(columns=wanted) for frame in frames]
    result = frames[0] if len(frames) == 1 else pd.concat(frames)
    if len(ids) == 1 and not expect_df:
        result = result.droplevel(0)
    return result


def _with_id(order_book_id, stamps, name):
    n = len(stamps)
    return pd.MultiIndex(levels=[pd.Index([order_book_id], dtype=object), pd.DatetimeIndex(stamps)],
                         codes=[np.zeros(n, dtype=np.int64), np.arange(n, dtype=np.int64)],
                         names=["order_book_id", name], verify_integrity=False)


def _is_derivative(inst):
    return isinstance(inst._model, (Future, Option))


def _take(matrix, mask, full):
    return matrix.ravel() if full else matrix[mask]


def _minutes(universe, inst, start, end, skip_suspended):
    market = universe.market
    days = market.life(inst, start, end)
    days = days[~market.suspended(inst, days)]
    if not len(days):
        return None
    bars = market.bars(inst, days)
    mask = bars.mask
    full = bool(mask.all())
    stamps = _take(market.timestamps(bars), mask, full).astype("datetime64[ns]")
    columns = {
        "open": to_price(_take(bars.open, mask, full)),
        "high": to_price(_take(bars.high, mask, full)),
        "low": to_price(_take(bars.low, mask, full)),
        "close": to_price(_take(bars.close, mask, full)),
        "volume": _take(bars.volume, mask, full),
        "total_turnover": _take(bars.turnover, mask, full),
    }
    if _is_derivative(inst):
        columns["open_interest"] = _take(bars.open_interest, mask, full)
        columns["trading_date"] = np.repeat(days.astype("datetime64[ns]"), mask.sum(axis=1))
    return pd.DataFrame(columns, index=_with_id(inst.order_book_id, stamps, "datetime"))


def _daily(universe, inst, start, end, skip_suspended):
    market = universe.market
    days = market.life(inst, start, end)
    suspended = market.suspended(inst, days)
    if skip_suspended:
        days, suspended = days[~suspended], suspended[~suspended]
    if not len(days):
        return None
    n = len(days)
    prev_close = market.prev_closes(inst, days)
    flat = market.closes(inst, days)  # a suspended day stays at its last close
    price = {name: flat.copy() for name in ("open", "high", "low", "close")}
    volume = np.zeros(n)
    turnover = np.zeros(n)
    open_interest = np.zeros(n, dtype=np.int64)
    trading = ~suspended
    if trading.any():
        bars = market.bars(inst, days[trading])
        mask = bars.mask
        rows = np.arange(mask.shape[0])
        price["open"][trading] = bars.open[rows, mask.argmax(axis=1)]
        price["close"][trading] = bars.close[:, -1]
        price["high"][trading] = np.where(mask, bars.high, np.iinfo(np.int64).min).max(axis=1)
        price["low"][trading] = np.where(mask, bars.low, np.iinfo(np.int64).max).min(axis=1)
        volume[trading] = np.where(mask, bars.volume, 0.0).sum(axis=1)
        turnover[trading] = np.round(np.where(mask, bars.turnover, 0.0).sum(axis=1), 2)
        if _is_derivative(inst):
            open_interest[trading] = bars.open_interest[:, -1]
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
    return pd.DataFrame(columns, index=_with_id(inst.order_book_id, days.astype("datetime64[ns]"), "date"))


def _tick_window(universe):
    count = cal.tick_days()
    last = universe.last_day
    if count == 0 or last is None:
        return None
    days = cal.trading_days()
    hi = np.searchsorted(days, cal.to_day64(last), side="right")
    return days[max(hi - count, 0):hi]


def _ticks(universe, inst, start, end, skip_suspended):
    window = _tick_window(universe)
    if window is None:
        return None
    market = universe.market
    days = market.life(inst, start, end)
    days = days[(days >= window[0]) & ~market.suspended(inst, days)]
    frames = [day_ticks(market, inst, day) for day in days]
    if not frames:
        return None
    frame = frames[0] if len(frames) == 1 else pd.concat(frames)
    index = frame.index
    frame.index = _with_id(inst.order_book_id, index.values, "datetime")
    return frame
