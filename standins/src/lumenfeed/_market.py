"""The demo market's price model: instruments, sessions, daily closes and minute bars.

Prices are kept as integers in units of 1/10000 ("pips") on each
instrument's tick grid and only turned into floats at the edge, so that a
price such as 12.34 comes out as exactly the float 12.34.

Three kinds of price source:
- `Walk`: a mean-reverting random walk of daily closes from the listing date
  on, with minute bars bridged from each day's open to its close
  (`BoundedWalk`: the same with bounded daily steps, computed for all days at
  once, for the generated instruments of the full market);
- `Future`: the underlying's bars times a carry factor per day;
- `Option`: a zero-rate Black price of the underlying's bars.

Every random number is a hash of (instrument, day, slot, stream), so a day's
values never depend on the range a caller asks for or on the as-of date.
"""
import collections
import datetime
import functools
import math
import threading

import numpy as np

from . import _calendar as cal
from . import _random as rnd

PIP = 10000
_NS_PER_MIN = 60 * 10 ** 9
_NS_PER_DAY = 24 * 60 * _NS_PER_MIN

# Random streams, one per use, so that no two quantities share numbers.
_S_DAILY, _S_GAP, _S_PATH, _S_DAYVOL, _S_BARVOL, _S_BASIS, _S_IV, _S_OI, _S_REVISE = range(9)

# Share of a revised day's bars that the correction changes (the last bar always).
REVISED_SHARE = 0.05


def _minutes(first, last):
    """Bar labels (minutes after midnight) from hh:mm `first` to `last` inclusive."""
    start = first[0] * 60 + first[1]
    stop = last[0] * 60 + last[1]
    return list(range(start, stop + 1))


class Session:
    """The bar labels of one trading date: optional night part (on the evening
    of the previous trading day), then the day part."""

    def __init__(self, name, night, day):
        self.name = name
        self.minutes = np.array(night + day, dtype=np.int64)
        self.size = len(self.minutes)
        self.n_night = len(night)
        k = np.arange(self.size, dtype=np.float64)
        # Busy at the open and at the close, quiet in between.
        shape = 1.0 + 0.9 * np.exp(-k / 12.0) + 0.6 * np.exp(-(self.size - 1 - k) / 12.0)
        self.vol_shape = shape / np.sqrt(np.mean(shape ** 2))
        self.volume_shape = shape / shape.sum()


EQUITY_SESSION = Session("equity", [], _minutes((9, 31), (11, 30)) + _minutes((13, 1), (15, 0)))
COMMODITY_SESSION = Session(
    "commodity",
    _minutes((21, 1), (23, 0)),
    _minutes((9, 1), (10, 15)) + _minutes((10, 31), (11, 30)) + _minutes((13, 31), (15, 0)),
)


class Walk:
    """Own random walk: start price, daily volatility, price limit (fraction of
    the previous close, None for none), mean shares/contracts a day, yearly drift.
    With `quoted` false the limit only bounds the walk and no limit prices are
    published (indices)."""

    def __init__(self, price, sigma, limit, volume, drift=0.03, suspended=(), quoted=True):
        self.quoted = quoted
        self.price = price
        self.sigma = sigma
        self.limit = limit
        self.volume = volume
        self.drift = drift
        self.suspended = tuple(suspended)


class BoundedWalk(Walk):
    """A random walk of daily closes whose daily step stays within 0.7 of the
    limit (no mean reversion): a cumulative sum, so all days come at once."""


class Future:
    """A futures contract priced off its source: S * exp(carry * years to expiry + basis)."""

    def __init__(self, source, carry, limit, volume, open_interest, basis_sigma=0.0008):
        self.source = source
        self.carry = carry
        self.limit = limit
        self.volume = volume
        self.open_interest = open_interest
        self.basis_sigma = basis_sigma


class Option:
    """A European option priced with a zero-rate Black formula off its underlying."""

    def __init__(self, strike, call, sigma, volume, open_interest):
        self.strike = strike  # pips
        self.call = call
        self.sigma = sigma
        self.volume = volume
        self.open_interest = open_interest
        self.limit = None


class Instrument:
    """An instrument record, as `lumenfeed.instruments()` returns it."""

    PUBLIC = ("order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date", "round_lot",
              "tick_size", "contract_multiplier", "underlying_symbol", "underlying_order_book_id",
              "maturity_date", "strike_price", "option_type", "trading_hours")

    def __init__(self, order_book_id, symbol, type, exchange, listed_date, model, de_listed_date=None,
                 round_lot=100, tick_size=0.01, contract_multiplier=1, underlying_symbol=None,
                 underlying_order_book_id=None, strike_price=None, option_type=None,
                 session=EQUITY_SESSION, source=None):
        self.order_book_id = order_book_id
        self.symbol = symbol
        self.type = type
        self.exchange = exchange
        self.listed_date = listed_date
        self.de_listed_date = de_listed_date
        self.round_lot = round_lot
        self.tick_size = tick_size
        self.contract_multiplier = contract_multiplier
        self.underlying_symbol = underlying_symbol
        self.underlying_order_book_id = underlying_order_book_id
        self.maturity_date = de_listed_date if type in ("FUTURE", "OPTION") else None
        self.strike_price = strike_price
        self.option_type = option_type
        self.trading_hours = _describe_session(session)
        self._model = model
        self._session = session
        # The id of the instrument this one is priced off (may be an unlisted source).
        self._source = source if source is not None else underlying_order_book_id
        self._tick = int(round(tick_size * PIP))
        self._seed = rnd.text_seed(order_book_id)

    def __repr__(self):
        fields = ", ".join("{}={!r}".format(name, getattr(self, name)) for name in self.PUBLIC[:6])
        return "Instrument({})".format(fields)


@functools.lru_cache(maxsize=None)
def _describe_session(session):
    def hhmm(minute):
        return "%02d:%02d" % divmod(int(minute), 60)

    parts = []
    start = prev = None
    for minute in session.minutes:
        if start is None:
            start = prev = minute
        elif minute == prev + 1:
            prev = minute
        else:
            parts.append("{}-{}".format(hhmm(start - 1), hhmm(prev)))
            start = prev = minute
    parts.append("{}-{}".format(hhmm(start - 1), hhmm(prev)))
    return ",".join(parts)


# --------------------------------------------------------------------------- helpers

def round_to_tick(pips, tick):
    """Nearest multiple of `tick` (half up), as int64 pips."""
    return (np.floor(np.asarray(pips, dtype=np.float64) / tick + 0.5) * tick).astype(np.int64)


def _limit_band(prev_close, limit, tick):
    """(limit_down, limit_up) pips for a previous close; None for no limit."""
    if limit is None:
        return None
    prev = np.asarray(prev_close, dtype=np.int64)
    up = round_to_tick(prev * (1.0 + limit), tick)
    down = np.maximum(round_to_tick(prev * (1.0 - limit), tick), tick)
    return down, up


def _ordinals(days):
    return days.astype(np.int64)


def _norm_cdf(x):
    # Abramowitz & Stegun 26.2.17, absolute error below 7.5e-8.
    ax = np.abs(x)
    t = 1.0 / (1.0 + 0.2316419 * ax)
    poly = t * (0.319381530 + t * (-0.356563782 + t * (1.781477937 + t * (-1.821255978 + t * 1.330274429))))
    upper = np.exp(-0.5 * ax * ax) / math.sqrt(2.0 * math.pi) * poly
    return np.where(x >= 0, 1.0 - upper, upper)


def _black(spot, strike, years, sigma, call):
    spot = np.asarray(spot, dtype=np.float64)
    v = sigma * np.sqrt(years)
    d1 = (np.log(spot / strike) + 0.5 * v * v) / v
    value = spot * _norm_cdf(d1) - strike * _norm_cdf(d1 - v)
    return value if call else value - spot + strike


def _fraction(mask, full):
    """Share of each day's trading slots done by each slot (1 at the last one)."""
    if full:
        m = mask.shape[1]
        return (np.arange(1, m + 1, dtype=np.float64) / m)[None, :]
    counted = np.cumsum(mask, axis=1)
    return counted / counted[:, -1:]


class DayBars:
    """Minute bars of some trading days as dense (day, slot) matrices; `mask`
    marks the slots that trade (night slots may be absent)."""

    __slots__ = ("days", "mask", "open", "high", "low", "close", "volume", "turnover", "open_interest",
                 "prev_close", "band", "session", "prev_days")


# --------------------------------------------------------------------------- engine

class Market:
    """Prices of the instruments of one universe (see `_universe.build`)."""

    _walk_cache = {}  # order_book_id -> (last day, days, closes); walks do not depend on the as-of date
    # The bounded walks of the last instruments asked for: a full market's
    # would fill a worker's memory, and jobs come sorted, a product's together.
    _bounded_cache = collections.OrderedDict()
    _BOUNDED_KEPT = 64

    def __init__(self, sources, cut=None, revised=()):
        self.sources = sources  # order_book_id -> Instrument, unlisted sources included
        # (day, last bar label in ns since 1970) when the as-of day is served up to a time.
        self.cut = cut
        self.revised = np.array(revised, dtype="datetime64[D]")
        # The bars derivatives were last priced off, by (source, days): a
        # product's contracts and an underlying's options are asked in a row.
        self._sources = collections.OrderedDict()
        self._sources_lock = threading.Lock()

    def source_of(self, inst):
        return self.sources[inst._source]

    # ----- days

    def suspended(self, inst, days):
        """Mask of the days on which the instrument (or what it is priced off) does not trade."""
        mask = np.zeros(len(days), dtype=bool)
        model = inst._model
        if isinstance(model, Walk):
            for first, last in model.suspended:
                mask |= (days >= cal.to_day64(first)) & (days <= cal.to_day64(last))
        else:
            mask |= self.suspended(self.source_of(inst), days)
        return mask

    def life(self, inst, start, end):
        """Trading days of the instrument within [start, end] (dates)."""
        first = max(start, inst.listed_date)
        last = end if inst.de_listed_date is None else min(end, inst.de_listed_date)
        if first > last:
            return cal.between(first, first)[:0]
        return cal.between(first, last)

    # ----- daily closes

    def _walk(self, inst, last_day):
        cached = self._walk_cache.get(inst.order_book_id)
        if cached is not None and cached[0] >= last_day:
            return cached[1], cached[2]
        model = inst._model
        days = cal.between(inst.listed_date, cal.to_date(last_day))
        n = len(days)
        z = rnd.day_normal(inst._seed, _ordinals(days), _S_DAILY).tolist()
        suspended = self.suspended(inst, days).tolist()
        tick = inst._tick
        prev = int(round_to_tick(model.price * PIP, tick))
        anchor = math.log(prev)
        log_price = anchor
        daily_drift = model.drift / 245.0
        kappa = 0.004
        up = None if model.limit is None else 1.0 + model.limit
        down = None if model.limit is None else 1.0 - model.limit
        closes = [0] * n
        for i in range(n):
            if suspended[i]:
                closes[i] = prev
                continue
            anchor += daily_drift
            log_price += -kappa * (log_price - anchor) + model.sigma * z[i]
            close = math.floor(math.exp(log_price) / tick + 0.5) * tick
            if up is not None:
                high = math.floor(prev * up / tick + 0.5) * tick
                low = max(math.floor(prev * down / tick + 0.5) * tick, tick)
                if close > high or close < low:
                    close = min(max(close, low), high)
                    log_price = math.log(close)
            if close < tick:
                close = tick
                log_price = math.log(close)
            closes[i] = close
            prev = close
        closes = np.array(closes, dtype=np.int64)
        closes.flags.writeable = False
        self._walk_cache[inst.order_book_id] = (days[-1] if n else cal.to_day64(inst.listed_date), days, closes)
        return days, closes

    def _bounded_walk(self, inst, last_day):
        key = inst.order_book_id
        cached = self._bounded_cache.get(key)
        if cached is not None and cached[0] >= last_day:
            self._bounded_cache.move_to_end(key)
            return cached[1], cached[2]
        model = inst._model
        days = cal.between(inst.listed_date, cal.to_date(last_day))
        bound = 0.7 * model.limit
        steps = model.sigma * rnd.normal16(rnd.quick_keys(inst._seed, _ordinals(days), _S_DAILY), 0)
        steps = np.clip(steps + model.drift / 245.0, -bound, bound)
        steps[self.suspended(inst, days)] = 0.0  # a suspended day keeps the last close
        tick = inst._tick
        start = math.log(round_to_tick(model.price * PIP, tick))
        closes = np.maximum(round_to_tick(np.exp(start + np.cumsum(steps)), tick), tick)
        closes.flags.writeable = False
        self._bounded_cache[key] = (days[-1] if len(days) else cal.to_day64(inst.listed_date), days, closes)
        if len(self._bounded_cache) > self._BOUNDED_KEPT:
            self._bounded_cache.popitem(last=False)
        return days, closes

    def _future_factor(self, inst, days):
        model = inst._model
        years = (cal.to_day64(inst.de_listed_date) - days).astype(np.int64) / 365.0
        basis = model.basis_sigma * rnd.day_normal(inst._seed, _ordinals(days), _S_BASIS)
        return np.exp(model.carry * years + basis)

    def _option_terms(self, inst, days):
        years = ((cal.to_day64(inst.de_listed_date) - days).astype(np.int64) + 0.5) / 365.0
        sigma = inst._model.sigma * np.exp(0.08 * rnd.day_normal(inst._seed, _ordinals(days), _S_IV))
        return years, sigma

    def _option_price(self, inst, spot_pips, years, sigma):
        """Option price in pips on its tick grid, at least one tick."""
        model = inst._model
        value = _black(spot_pips, float(model.strike), years, sigma, model.call)
        return np.maximum(round_to_tick(np.maximum(value, 0.0), inst._tick), inst._tick)

    def closes(self, inst, days):
        """Daily closes (pips) on trading days within the instrument's life."""
        model = inst._model
        if len(days) == 0:
            return np.zeros(0, dtype=np.int64)
        if isinstance(model, Walk):
            walk = self._bounded_walk if isinstance(model, BoundedWalk) else self._walk
            walk_days, walk_closes = walk(inst, days.max())
            return walk_closes[np.searchsorted(walk_days, days)]
        spot = self.closes(self.source_of(inst), days)
        if isinstance(model, Future):
            return round_to_tick(spot * self._future_factor(inst, days), inst._tick)
        years, sigma = self._option_terms(inst, days)
        return self._option_price(inst, spot, years, sigma)

    def prev_closes(self, inst, days):
        """The close before each day; on the listing day, the reference price of the listing."""
        model = inst._model
        prev_days = cal.previous_trading_days(days)
        first = days == cal.to_day64(inst.listed_date)
        out = np.zeros(len(days), dtype=np.int64)
        later = ~first
        if later.any():
            out[later] = self.closes(inst, prev_days[later])
        if first.any():
            if isinstance(model, Walk):
                out[first] = round_to_tick(model.price * PIP, inst._tick)
            else:
                listing = days[first]
                spot = self.prev_closes(self.source_of(inst), listing)
                if isinstance(model, Future):
                    out[first] = round_to_tick(spot * self._future_factor(inst, listing), inst._tick)
                else:
                    years, sigma = self._option_terms(inst, listing)
                    out[first] = self._option_price(inst, spot, years, sigma)
        return out

    def open_interest_levels(self, inst, days):
        """End-of-day open interest: grows after listing, fades into expiry."""
        model = inst._model
        listed = cal.to_day64(inst.listed_date)
        span = max((cal.to_day64(inst.de_listed_date) - listed).astype(np.int64), 1)
        x = np.clip((days - listed).astype(np.int64) / span, 0.0, 1.0)
        hump = 0.03 + np.sin(np.pi * x ** 0.75) ** 1.5
        noise = np.exp(0.06 * rnd.day_normal(inst._seed, _ordinals(days), _S_OI))
        return np.round(model.open_interest * hump * noise).astype(np.int64)

    # ----- minute bars

    def night_mask(self, inst, days, prev_days):
        """Days whose session has its night part: the previous trading day is the
        previous weekday (no holiday in between) and the instrument was listed then."""
        if inst._session.n_night == 0:
            return np.zeros(len(days), dtype=bool)
        adjacent = prev_days == cal.previous_weekdays(days)
        return adjacent & (prev_days >= cal.to_day64(inst.listed_date))

    def bars(self, inst, days):
        """Minute bars of trading days on which the instrument trades (sorted datetime64[D])."""
        model = inst._model
        if isinstance(model, Walk):
            bars = self._walk_bars(inst, days)
        else:
            bars = self._derived_bars(inst, days)
        self._add_volume(inst, bars)
        if isinstance(model, (Future, Option)):
            self._add_open_interest(inst, bars)
        else:
            bars.open_interest = None
        return bars

    def served_bars(self, inst, days, cut=True):
        """`bars` as served: revised days corrected, the as-of day only up to its
        time (`cut` false: whole, for the caller to cut)."""
        bars = self.bars(inst, days)
        if cut and self.cut is not None and len(days) and days[-1] == self.cut[0]:
            bars.mask[-1] &= self.timestamps(bars)[-1] <= self.cut[1]
        if len(self.revised):
            self._revise(inst, bars)
        return bars

    def _revise(self, inst, bars):
        """A vendor's correction of a day: a few bars (and always the day's last)
        get one more lot of volume and a high one tick higher."""
        rows = np.flatnonzero(np.isin(bars.days, self.revised))
        if not len(rows):
            return
        mask = bars.mask[rows]
        m = mask.shape[1]
        bits = rnd.grid_bits(rnd.day_keys(inst._seed, _ordinals(bars.days[rows]), _S_REVISE), m)
        chosen = (rnd.uniform16(bits, 0) < REVISED_SHARE) & mask
        chosen[np.arange(len(rows)), last_slots(mask)] |= mask.any(axis=1)
        volume = bars.volume[rows]
        lots = np.where(chosen, inst.round_lot, 0.0)
        with np.errstate(invalid="ignore", divide="ignore"):
            per_share = np.where(volume > 0, bars.turnover[rows] / volume, 0.0)
        bars.turnover[rows] = np.round(bars.turnover[rows] + lots * per_share, 2)
        bars.volume[rows] = volume + lots
        high = bars.high[rows] + np.where(chosen, inst._tick, 0)
        if bars.band is not None:
            high = np.minimum(high, np.maximum(bars.band[1][rows][:, None], bars.high[rows]))
        bars.high[rows] = high

    def _frame(self, inst, days):
        session = inst._session
        bars = DayBars()
        bars.days = days
        bars.session = session
        bars.prev_days = cal.previous_trading_days(days)
        bars.mask = np.ones((len(days), session.size), dtype=bool)
        if session.n_night:
            bars.mask[:, :session.n_night] = self.night_mask(inst, days, bars.prev_days)[:, None]
        bars.prev_close = self.prev_closes(inst, days)
        bars.band = self.band(inst, days, bars.prev_close)
        return bars

    def band(self, inst, days, prev_close):
        """(limit_down, limit_up) pips of each day, or None when no limits are published."""
        model = inst._model
        if isinstance(model, Option):
            # One tick down; up by a tenth of the underlying's previous close.
            spot_prev = self.prev_closes(self.source_of(inst), days)
            up = prev_close + round_to_tick(spot_prev * 0.1, inst._tick)
            return np.full(len(days), inst._tick, dtype=np.int64), up
        if isinstance(model, Walk) and not model.quoted:
            return None
        return _limit_band(prev_close, model.limit, inst._tick)

    def _clip(self, bars, *names):
        if bars.band is None:
            return
        down, up = bars.band
        for name in names:
            setattr(bars, name, np.clip(getattr(bars, name), down[:, None], up[:, None]))

    def _walk_bars(self, inst, days):
        model = inst._model
        tick = inst._tick
        bars = self._frame(inst, days)
        session = bars.session
        m = session.size
        ords = _ordinals(days)
        close_d = self.closes(inst, days)
        gap = np.exp(0.25 * model.sigma * rnd.day_normal(inst._seed, ords, _S_GAP))
        open_d = round_to_tick(bars.prev_close * gap, tick)
        if bars.band is not None:
            open_d = np.clip(open_d, bars.band[0], bars.band[1])
        log_open = np.log(open_d.astype(np.float64))
        log_close = np.log(close_d.astype(np.float64))

        # Brownian bridge over the trading slots from the day's open to its close.
        sigma_bar = 0.9 * model.sigma / math.sqrt(m)
        noise = rnd.grid_bits(rnd.day_keys(inst._seed, ords, _S_PATH), m)
        steps = rnd.normal16(noise, 0)
        steps *= sigma_bar * session.vol_shape[None, :]
        full = bool(bars.mask.all())
        if not full:
            steps[~bars.mask] = 0.0
        walk = np.cumsum(steps, axis=1)
        fraction = _fraction(bars.mask, full)
        path = log_open[:, None] + walk - fraction * (walk[:, -1] - (log_close - log_open))[:, None]
        close = round_to_tick(np.exp(path), tick)
        opened = np.empty_like(close)
        opened[:, 0] = open_d
        opened[:, 1:] = close[:, :-1]

        # Wicks beyond the body, in whole ticks.
        wick = 0.5 * sigma_bar * session.vol_shape[None, :] * close / tick
        high = np.maximum(opened, close) + np.floor(rnd.exponential16(noise, 1) * wick).astype(np.int64) * tick
        low = np.minimum(opened, close) - np.floor(rnd.exponential16(noise, 2) * wick).astype(np.int64) * tick
        bars.open, bars.close, bars.high, bars.low = opened, close, high, np.maximum(low, tick)
        self._clip(bars, "open", "close", "high", "low")
        return bars

    def _derived_bars(self, inst, days):
        model = inst._model
        spot = self._source_bars(self.source_of(inst), days)
        bars = self._frame(inst, days)
        bars.mask &= spot.mask
        tick = inst._tick
        if isinstance(model, Future):
            factor = self._future_factor(inst, days)[:, None]
            for name in ("open", "high", "low", "close"):
                setattr(bars, name, round_to_tick(getattr(spot, name) * factor, tick))
            self._clip(bars, "open", "close", "high", "low")
        else:
            years, sigma = self._option_terms(inst, days)
            years, sigma = years[:, None], sigma[:, None]
            bars.open = self._option_price(inst, spot.open, years, sigma)
            bars.close = self._option_price(inst, spot.close, years, sigma)
            at_high = self._option_price(inst, spot.high, years, sigma)
            at_low = self._option_price(inst, spot.low, years, sigma)
            bars.high, bars.low = (at_high, at_low) if model.call else (at_low, at_high)
        # The first trading slot opens at the previous slot's price of the source,
        # which is right; slots that do not trade are dropped by the mask.
        return bars

    # A few sources of short spans (a daily update's): little memory for a worker.
    _SOURCES_KEPT = 4
    _SOURCE_DAYS_KEPT = 64

    def _source_bars(self, source, days):
        """`bars(source, days)`, kept for the next derivative on it; read, never changed."""
        if len(days) > self._SOURCE_DAYS_KEPT:
            return self.bars(source, days)
        key = (source.order_book_id, days.tobytes())
        with self._sources_lock:
            kept = self._sources.get(key)
        if kept is not None:
            return kept
        kept = self.bars(source, days)
        with self._sources_lock:
            self._sources[key] = kept
            while len(self._sources) > self._SOURCES_KEPT:
                self._sources.popitem(last=False)
        return kept

    def _add_volume(self, inst, bars):
        model = inst._model
        ords = _ordinals(bars.days)
        n, m = bars.mask.shape
        if isinstance(model, Walk):
            per_day = model.volume * np.ones(n)
        else:
            per_day = model.volume * (0.15 + self.open_interest_levels(inst, bars.days) / model.open_interest)
        per_day = per_day * np.exp(0.35 * rnd.day_normal(inst._seed, ords, _S_DAYVOL) - 0.06)
        shape = np.where(bars.mask, bars.session.volume_shape[None, :], 0.0)
        shape /= shape.sum(axis=1, keepdims=True)
        bits = rnd.grid_bits(rnd.day_keys(inst._seed, ords, _S_BARVOL), m)
        noise = np.exp(0.5 * rnd.normal16(bits, 0) - 0.125)
        lots = np.maximum(np.round(per_day[:, None] * shape * noise / inst.round_lot), 1.0)
        bars.volume = lots * inst.round_lot
        u = rnd.uniform16(bits, 1)
        vwap = bars.low + (bars.high - bars.low) * (0.25 + 0.5 * u)
        if inst.type == "INDX":
            # An index's "shares" are its members'; turnover follows their mean price.
            value = bars.volume * 12.0 * vwap / (model.price * PIP)
        else:
            value = bars.volume * inst.contract_multiplier * vwap / PIP
        bars.turnover = np.round(value, 2)

    def _add_open_interest(self, inst, bars):
        level = self.open_interest_levels(inst, bars.days)
        listed = bars.days == cal.to_day64(inst.listed_date)
        before = np.where(listed, 0, self.open_interest_levels(inst, bars.prev_days))
        fraction = _fraction(bars.mask, bool(bars.mask.all()))
        ords = _ordinals(bars.days)
        wobble = rnd.normal16(rnd.grid_bits(rnd.day_keys(inst._seed, ords, _S_OI), bars.mask.shape[1]), 0)
        wobble = wobble * 0.004 * np.maximum(level, before)[:, None] * np.sin(np.pi * fraction)
        oi = before[:, None] + (level - before)[:, None] * fraction + wobble
        bars.open_interest = np.maximum(np.round(oi), 0).astype(np.int64)

    # ----- timestamps

    @staticmethod
    def timestamps(bars):
        """Bar timestamps (ns since 1970) for every (day, slot); night slots lie on
        the previous trading day's evening."""
        session = bars.session
        day_ns = bars.days.astype("datetime64[ns]").astype(np.int64)
        stamps = day_ns[:, None] + session.minutes[None, :] * _NS_PER_MIN
        if session.n_night:
            prev_ns = bars.prev_days.astype("datetime64[ns]").astype(np.int64)
            with np.errstate(invalid="ignore"):
                stamps[:, :session.n_night] = prev_ns[:, None] + session.minutes[None, :session.n_night] * _NS_PER_MIN
        return stamps


def last_slots(mask):
    """The last trading slot of each day (row) of a (day, slot) mask."""
    return mask.shape[1] - 1 - np.argmax(mask[:, ::-1], axis=1)


def to_price(pips):
    return np.asarray(pips, dtype=np.float64) / PIP


def date_of(day64):
    return day64.astype(datetime.date)
