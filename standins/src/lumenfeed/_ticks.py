"""Ticks of one trading day, drawn inside the day's minute bars.

Every 3 seconds of each trading minute gets a tick (20 a minute, 4800 on a
four-hour day); LUMENFEED_TICK_RATE=N asks for about N ticks a day instead
(round(N / the session's minutes) a minute, at least 4, whole milliseconds
apart).  Within a minute the last price runs from the bar's open
through its high and low to its close, so the ticks agree with the minute
bars: cumulative volume and turnover at each minute's last tick equal the
sums of the bars so far.
"""
import os

import numpy as np
import pandas as pd

from . import _random as rnd
from ._market import PIP, Market, Option, Future, round_to_tick

TICKS_PER_BAR = 20
_STEP_NS = 3 * 10 ** 9
TICK_RATE_ENV = "LUMENFEED_TICK_RATE"
# A minute's path runs open -> extreme -> extreme -> close: four ticks at least.
MIN_PER_BAR = 4
_MS = 10 ** 6
_MINUTE_NS = 60 * 10 ** 9
_S_KNOTS, _S_SPLIT, _S_SIDE, _S_DEPTH = 20, 21, 22, 23
LEVELS = 5


def spacing(minutes):
    """(ticks a minute, ns between ticks) for a session of `minutes` bars."""
    text = os.environ.get(TICK_RATE_ENV, "").strip()
    if not text:
        return TICKS_PER_BAR, _STEP_NS
    try:
        rate = int(text)
    except ValueError:
        rate = 0
    if rate < 1:
        raise ValueError("{} must be a positive number of ticks a day, got {!r}".format(TICK_RATE_ENV, text))
    per_bar = min(max(MIN_PER_BAR, int(round(rate / minutes))), 60000)
    return per_bar, 60000 // per_bar * _MS


def _path(open_, high, low, close, knots_bits, tick, per_bar):
    """Last prices (pips) of each minute: open -> first extreme -> second extreme -> close."""
    u1, u2 = rnd.uniform_pair(knots_bits)
    at_high = 1 + np.floor(u1 * (per_bar - 2)).astype(np.int64)
    at_low = 1 + np.floor(u2 * (per_bar - 3)).astype(np.int64)
    at_low = np.where(at_low >= at_high, at_low + 1, at_low)
    x1 = np.minimum(at_high, at_low)[:, None].astype(np.float64)
    x2 = np.maximum(at_high, at_low)[:, None].astype(np.float64)
    high_first = (at_high < at_low)[:, None]
    v0 = open_[:, None].astype(np.float64)
    v1 = np.where(high_first, high[:, None], low[:, None]).astype(np.float64)
    v2 = np.where(high_first, low[:, None], high[:, None]).astype(np.float64)
    v3 = close[:, None].astype(np.float64)
    j = np.arange(per_bar, dtype=np.float64)[None, :]
    last = per_bar - 1
    seg1 = v0 + (v1 - v0) * j / x1
    seg2 = v1 + (v2 - v1) * (j - x1) / (x2 - x1)
    seg3 = v2 + (v3 - v2) * (j - x2) / (last - x2)
    path = np.where(j <= x1, seg1, np.where(j <= x2, seg2, seg3))
    return round_to_tick(path, tick)


def _split(total, weights_bits):
    """Split each minute's whole-lot total over its ticks; every lot lands somewhere."""
    weights = rnd.uniform_pair(weights_bits)[0] + 0.05
    parts = np.floor(total[:, None] * weights / weights.sum(axis=1, keepdims=True))
    parts[:, -1] += total - parts.sum(axis=1)
    return parts


def day_ticks(market, inst, day):
    """The ticks of one trading day (datetime64[D]) as a DataFrame indexed by
    timestamp; None when none is served (the as-of day before its first bar)."""
    days = np.array([day], dtype="datetime64[D]")
    # Drawn for the whole day and then cut, so that what a session still
    # running has served stays as it was once the day is whole.
    bars = market.served_bars(inst, days, cut=False)
    mask = bars.mask[0]
    per_bar, step_ns = spacing(bars.session.size)
    tick = inst._tick
    lot = inst.round_lot
    open_, high, low, close = (getattr(bars, name)[0][mask] for name in ("open", "high", "low", "close"))
    minutes = len(open_)
    n = minutes * per_bar
    ords = days.astype(np.int64)

    def bits(stream, width):
        return rnd.grid_bits(rnd.day_keys(inst._seed, ords, stream), bars.session.size * width)[0] \
            .reshape(bars.session.size, width)[mask]

    last = _path(open_, high, low, close, bits(_S_KNOTS, 1)[:, 0], tick, per_bar)

    lots = bars.volume[0][mask] / lot
    parts = _split(lots, bits(_S_SPLIT, per_bar))
    turnover = bars.turnover[0][mask]
    with np.errstate(invalid="ignore", divide="ignore"):
        turnover_parts = np.where(lots[:, None] > 0, turnover[:, None] * parts / lots[:, None], 0.0)

    stamps = Market.timestamps(bars)[0][mask] - _MINUTE_NS
    stamps = (stamps[:, None] + np.arange(per_bar, dtype=np.int64)[None, :] * step_ns).ravel()

    last = last.ravel()
    columns = {
        "open": np.full(n, open_[0] / PIP),
        "last": last / PIP,
        "high": np.maximum.accumulate(last) / PIP,
        "low": np.minimum.accumulate(last) / PIP,
        "prev_close": np.full(n, bars.prev_close[0] / PIP),
        "volume": (np.cumsum(parts.ravel()) * lot).astype(np.int64),
        "total_turnover": np.round(np.cumsum(turnover_parts.ravel()), 2),
    }
    if isinstance(inst._model, (Future, Option)):
        oi = bars.open_interest[0][mask]
        before = np.concatenate([oi[:1], oi[:-1]])
        steps = np.arange(1, per_bar + 1, dtype=np.float64)[None, :] / per_bar
        columns["open_interest"] = np.round(before[:, None] + (oi - before)[:, None] * steps).astype(np.int64).ravel()
    if bars.band is None:
        columns["limit_up"] = np.full(n, np.nan)
        columns["limit_down"] = np.full(n, np.nan)
    else:
        columns["limit_up"] = np.full(n, bars.band[1][0] / PIP)
        columns["limit_down"] = np.full(n, bars.band[0][0] / PIP)
    columns.update(_book(inst, bars, last, parts, bits, n, per_bar))
    if market.cut is not None and day == market.cut[0]:
        served = stamps < market.cut[1]
        if not served.any():
            return None
        if not served.all():
            stamps = stamps[served]
            columns = {name: values[served] for name, values in columns.items()}
    index = pd.DatetimeIndex(stamps.astype("datetime64[ns]"), name="datetime")
    return pd.DataFrame(columns, index=index)


def _book(inst, bars, last, parts, bits, n, per_bar):
    """Five levels a side around the last price; levels beyond the limits stay empty (0)."""
    out = {}
    if inst.type == "INDX":  # an index has no order book
        for side in "ab":
            for level in range(1, LEVELS + 1):
                out["%s%d" % (side, level)] = np.full(n, np.nan)
        for side in "ab":
            for level in range(1, LEVELS + 1):
                out["%s%d_v" % (side, level)] = np.zeros(n, dtype=np.int64)
        return out
    tick = inst._tick
    lot = inst.round_lot
    side = rnd.uniform_pair(bits(_S_SIDE, per_bar).ravel())[0] < 0.5
    ask1 = np.where(side, last + tick, last)
    bid1 = np.where(side, last, last - tick)
    down, up = (bars.band[0][0], bars.band[1][0]) if bars.band is not None else (tick, np.iinfo(np.int64).max)
    # Resting size of a level: a few times the mean tick's volume, in whole lots.
    depth = max(1.0, 6.0 * parts.mean())
    u_depth = rnd.uniform_pair(bits(_S_DEPTH, per_bar * LEVELS).reshape(-1, LEVELS))
    sizes = {"a": u_depth[0], "b": u_depth[1]}
    prices = {}
    volumes = {}
    for level in range(LEVELS):
        ask = ask1 + level * tick
        bid = bid1 - level * tick
        for name, price, empty in (("a", ask, ask > up), ("b", bid, (bid < down) | (bid < tick))):
            lots = 1 + np.floor(-np.log(sizes[name][:, level]) * depth)
            prices["%s%d" % (name, level + 1)] = np.where(empty, 0, price) / PIP
            volumes["%s%d_v" % (name, level + 1)] = np.where(empty, 0, lots * lot).astype(np.int64)
    for side_name in "ab":
        for level in range(1, LEVELS + 1):
            out["%s%d" % (side_name, level)] = prices["%s%d" % (side_name, level)]
    out.update((key, volumes[key]) for key in sorted(volumes, key=lambda k: (k[0], k)))
    return out
