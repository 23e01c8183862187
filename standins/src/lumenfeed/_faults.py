"""Faults served on chosen days: LUMENFEED_FAULTS="ID:YYYYMMDD:kind[,ID:YYYYMMDD:kind...]".

Each names an instrument, a trading day and one kind of fault, which changes
the values served for that day, never the calls or their forms: a client
that a vendor's glitch made wrong, for the checks of what an update stores.
One row of the day carries it (the middle one, or the last for "session"):

- price: its close (a tick: its last) is 0;
- high-low: its high lies below its low;
- volume: its volume is negative;
- order: it carries the stamp of the row before it;
- session: the day's last row is stamped at the midnight after the day
  (a night session's next bars then come before it too);
- jump: its close is ten times as high, a wrong decimal (a bar's high follows it);
- crossed: a tick's best bid is its best ask (a day with no book is unchanged);
- last: a tick's last lies above the day's high it carries.

Minute bars carry the kinds of bars (price to jump), ticks the rest and
the kinds both have; a kind of the other's leaves it unchanged.
"""
import functools
import os

import numpy as np
import pandas as pd

FAULTS_ENV = "LUMENFEED_FAULTS"
KINDS = ("price", "high-low", "volume", "order", "session", "jump", "crossed", "last")
_BARS = ("price", "high-low", "volume", "order", "session", "jump")
_TICKS = ("price", "high-low", "volume", "order", "session", "crossed", "last")
_DAY_NS = 24 * 3600 * 10 ** 9


def faults():
    """{(order_book_id, datetime64[D]): kind} of env LUMENFEED_FAULTS, read on every call."""
    return _parsed(os.environ.get(FAULTS_ENV, "").strip())


@functools.lru_cache(maxsize=8)
def _parsed(text):
    found = {}
    for part in filter(None, (part.strip() for part in text.split(","))):
        pieces = part.split(":")
        try:
            order_book_id, day, kind = pieces
            if not (len(day) == 8 and day.isdigit() and kind in KINDS and order_book_id):
                raise ValueError(part)
            found[(order_book_id, np.datetime64("{}-{}-{}".format(day[:4], day[4:6], day[6:]), "D"))] = kind
        except ValueError:
            raise ValueError("{} must be ID:YYYYMMDD:kind[,...] with kind one of {}, got {!r}"
                             .format(FAULTS_ENV, ", ".join(KINDS), part)) from None
    return found


def on_bars(frame, order_book_id):
    """The minute-bar table `frame` (index: id, stamp) with the faults of its days, or itself."""
    chosen = {day: kind for (oid, day), kind in faults().items() if oid == order_book_id and kind in _BARS}
    if frame is None or not len(frame) or not chosen:
        return frame
    stamps = frame.index.get_level_values(-1).values.astype("datetime64[ns]")
    days = (frame["trading_date"].to_numpy() if "trading_date" in frame.columns else stamps) \
        .astype("datetime64[D]")
    frame = frame.copy()
    stamps = stamps.copy()
    for day, kind in chosen.items():
        rows = np.flatnonzero(days == day)
        if len(rows):
            _spoil(frame, stamps, rows, kind, "close")
    frame.index = pd.MultiIndex.from_arrays([frame.index.get_level_values(0), pd.DatetimeIndex(stamps)],
                                            names=frame.index.names)
    return frame


def on_ticks(frame, order_book_id, day):
    """One day's tick table `frame` (index: stamp) with the fault of that day, or itself."""
    kind = faults().get((order_book_id, np.datetime64(day, "D")))
    if frame is None or not len(frame) or kind not in _TICKS:
        return frame
    frame = frame.copy()
    stamps = frame.index.values.astype("datetime64[ns]").copy()
    _spoil(frame, stamps, np.arange(len(frame)), kind, "last")
    frame.index = pd.DatetimeIndex(stamps, name=frame.index.name)
    return frame


def _spoil(frame, stamps, rows, kind, price):
    """Give the day's `rows` of `frame` (and of `stamps`, changed in place) the fault `kind`."""
    row = rows[len(rows) // 2]
    if kind == "session":
        last = rows[-1]
        stamps[last] = (stamps[last].astype("datetime64[D]") + 1).astype("datetime64[ns]")
        return
    if kind == "order":
        row = max(row, rows[0] + 1) if len(rows) > 1 else row
        stamps[row] = stamps[row - 1] if row > 0 else stamps[row]
        return
    column = {"price": price, "high-low": "high", "volume": "volume", "jump": "close", "crossed": "b1",
              "last": "last"}[kind]
    values = frame[column].to_numpy(dtype=np.float64).copy()
    if kind == "price":
        values[row] = 0.0
    elif kind == "high-low":
        values[row] = frame["low"].to_numpy(dtype=np.float64)[row] * 0.9
    elif kind == "volume":
        values[row] = -1.0 - abs(values[row])
    elif kind == "jump":
        values[row] *= 10
        high = frame["high"].to_numpy(dtype=np.float64).copy()
        high[row] = max(high[row], values[row])
        frame["high"] = high.astype(frame["high"].dtype)
    elif kind == "crossed":
        values[row] = frame["a1"].to_numpy(dtype=np.float64)[row] if values[row] > 0 else values[row]
    else:
        values[row] = frame["high"].to_numpy(dtype=np.float64)[row] * 1.05
    frame[column] = values.astype(frame[column].dtype)
