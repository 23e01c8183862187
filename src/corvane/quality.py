"""The quality checks of market-data rows: one definition, for the update's gate and for `verify --data`.

The rows are the records the stores write: minute bars (`formats.EQUITIES_DTYPE`,
`formats.DERIVATIVES_DTYPE`) with their per-date index, and one trading day of
ticks (the tick reader's layout: "date", "time" and the scaled prices).  Each
check finds rows of one kind:

- "price": a price (open, high, low, close; a tick's last) not positive or
  not finite;
- "high-low": open, high, low, close that do not hold together
  (low <= open <= high, low <= close <= high; a tick's open, high and low of
  the day, once the day has them: before its first trade they are 0);
- "volume": volume or turnover negative (or undefined);
- "order": a timestamp not after the row before it (out of order, or repeated);
- "session": a row outside its trading day: stamped after the trading date,
  or before the trading date before it.  The stores do not
  know an instrument's sessions when they write (the client's listing gives
  none to the jobs), so these are the bounds a day itself has: a night session
  lies on the evening of the trading date before, never earlier, and nothing
  lies after the trading date.  A bar in a lunch break is not seen;
- "jump": a close that spikes away from its neighbours and back (see the
  constants);
- "crossed": a tick whose best bid is at or above its best ask, both present;
- "last": a tick's last price outside the day's high and low it carries.

A row spoilt by one kind is not judged by the kinds built on it: the
high-low of a row with no price, or the jump of a row whose high and low do
not hold, is not asked, so one fault is one finding.  Every check works on
whole arrays; Python loops only over the findings.  One day's bars (a daily
update's) first go through the engine's single pass over them, which tells
that every check's bound is met (so none can find a row); any bar it is not
sure of sends them through the checks here, which alone say what is found.

A finding is plain data, `Finding(kind, date, count, example)`: how many rows of
that trading date have the kind, and the first of them in words.
"""
from typing import NamedTuple

import numpy as np

__all__ = ["KINDS", "Finding", "JUMP_DEVIATIONS", "JUMP_FACTOR", "JUMP_FLOOR", "MAX_NIGHT_LEAD_DAYS",
           "bar_findings", "tick_findings", "as_json", "count"]

KINDS = ("price", "high-low", "volume", "order", "session", "jump", "crossed", "last")

# A close is a jump when it spikes: it moved away from the close before it and
# comes back with the one after (the same day's), each move more than
# JUMP_DEVIATIONS of the typical one-minute move (the median absolute move of
# the rows checked, scaled by MAD_TO_SIGMA to read like a standard deviation), and it lies
# at least JUMP_FACTOR away from both neighbours.  Minute moves are
# heavy-tailed (an open, a news minute), so the bar is far beyond a normal 5;
# a move that stays (a trend, a gap) is no spike; and a thin contract's bars
# bounce by a third or a half between trades, which the factor leaves alone.
# A glitch (a wrong decimal, another instrument's price) passes all three.
# Over a month of a quarter of the full demo market (3,264 files, three
# months of history each), no clean day is flagged.
JUMP_DEVIATIONS = 25.0
JUMP_FACTOR = 2.0
MAD_TO_SIGMA = 1.4826
# A day whose closes hardly move (a locked limit, a quiet contract) has a
# deviation near 0; it is never taken below this share of the day's median
# close, so one tick on such a day is no jump.
JUMP_FLOOR = 0.001
# Rows of the first day checked, whose trading date before is not known, may
# lie this many calendar days before their date: a night session on the
# evening before the longest break (a week's holiday and its weekends).
MAX_NIGHT_LEAD_DAYS = 14


class Finding(NamedTuple):
    """Rows of one `kind` on one trading `date` (YYYYMMDD): `count` of them, the first as `example`."""
    kind: str
    date: int
    count: int
    example: str

    def as_json(self):
        return [self.kind, self.date, self.count, self.example]


def as_json(findings):
    """{YYYYMMDD text: [[kind, count, example], ...]} of `findings`, as a version keeps them."""
    out = {}
    for finding in findings:
        out.setdefault(str(finding.date), []).append([finding.kind, finding.count, finding.example])
    return out


def count(findings):
    """Rows found, over every finding."""
    return sum(finding.count for finding in findings)


# ---------------------------------------------------------------- minute bars

def bar_findings(data, index, previous=None):
    """The Findings of minute bars `data` whose per-date `index` ("date", "line_no" counted from
    `data`'s first row) says their trading dates; `previous`: the trading date stored before them."""
    data = np.asarray(data)
    if not len(data):
        return []
    if _passes_at_once(data, index, previous):
        return []
    dates = _row_dates(index, len(data))
    # Fields read in place: no copy of a column that is already of the type the checks take.
    stamps = data["datetime"].astype(np.int64, copy=False)
    stacked = _stacked(data, ("open", "high", "low", "close"))
    priced = _priced(stacked)
    o, h, lo, c = stacked
    holds = priced & (lo <= o) & (o <= h) & (lo <= c) & (c <= h) & (lo <= h)
    found = {
        "price": ~priced,
        "high-low": priced & ~holds,
        "volume": _negative(data),
        "order": _not_rising(stamps),
        "session": _outside_days(stamps // 1000000, dates, previous, _one_date(index)),
        "jump": _jumps(c, dates, holds),
    }

    def example(kind, row):
        values = ", ".join("{} {}".format(name, _number(data[name][row])) for name in _SHOWN[kind]
                           if name in data.dtype.names)
        return "row {} at {}: {}".format(row, stamps[row], values)
    return _findings(found, dates, example)


def _passes_at_once(data, index, previous):
    """Whether the engine's one pass over one day's bars (`_engine.day_passes_checks`) finds every
    check's bound met, so that the checks below can find nothing (a daily update's day, most days).
    It compares as they do, on the same values; any doubt sends the bars through them."""
    index = np.asarray(index)
    if len(index) != 1 or index.dtype.names is None or not {"date", "line_no"} <= set(index.dtype.names) \
            or index["line_no"][0] != 0:
        return False
    from corvane import _engine
    date = int(index["date"][0])
    earliest = int(previous) if previous is not None else int(_days_back([date], MAX_NIGHT_LEAD_DAYS)[0])
    try:
        return _engine.day_passes_checks(data, date, earliest, JUMP_DEVIATIONS, JUMP_FLOOR, MAD_TO_SIGMA)
    except (TypeError, ValueError):
        return False    # a record type the engine does not take: the checks say what they find


def _stacked(records, names):
    """The fields `names` of `records` as one float64 table, a row a field."""
    table = np.empty((len(names), len(records)), dtype=np.float64)
    for row, name in zip(table, names):
        row[...] = records[name]
    return table


_SHOWN = {"price": ("open", "high", "low", "close"), "high-low": ("open", "high", "low", "close"),
          "volume": ("volume", "total_turnover"), "order": ("datetime",), "session": ("datetime",),
          "jump": ("close",), "crossed": ("b1", "a1"), "last": ("last", "high", "low")}


def _row_dates(index, rows):
    """The trading date of every row, from the index's first rows."""
    index = np.asarray(index)
    starts = index["line_no"].astype(np.int64)
    if len(starts) == 1 and starts[0] == 0:
        return np.full(rows, index["date"][0], dtype=np.int64)     # one day's bars (a daily update)
    per_day = np.append(starts[1:], rows) - starts if len(starts) else starts
    if not len(starts) or starts[0] != 0 or (per_day < 0).any():
        raise ValueError("the bars' index does not start at their first row and rise")
    return np.repeat(index["date"].astype(np.int64), per_day)


def _one_date(index):
    """The trading date of an `index` of one day, as an array of it; None for any other index."""
    return index["date"].astype(np.int64) if len(index) == 1 else None


# ---------------------------------------------------------------- ticks

def tick_findings(day, ticks, previous=None):
    """The Findings of the ticks stored under trading `day` (YYYYMMDD); `previous`: the trading
    day stored before it (None: not known)."""
    ticks = np.asarray(ticks)
    if not len(ticks):
        return []
    names = ticks.dtype.names
    dates = np.full(len(ticks), int(day), dtype=np.int64)
    date, time = ticks["date"].astype(np.int64), ticks["time"].astype(np.int64)
    priced = _priced([ticks["last"].astype(np.float64)])
    found = {"price": ~priced, "volume": _negative(ticks)}
    holds = priced
    if {"open", "high", "low"} <= set(names):
        o, h, lo = (ticks[name].astype(np.float64) for name in ("open", "high", "low"))
        summed = priced & _priced([o, h, lo])
        holds = summed & (lo <= o) & (o <= h)
        found["high-low"] = summed & ~holds
    found["order"] = _not_rising(date * 10 ** 9 + time)
    found["session"] = _outside_days(date, dates, previous)
    if {"a1", "b1"} <= set(names):
        ask, bid = ticks["a1"].astype(np.float64), ticks["b1"].astype(np.float64)
        found["crossed"] = (ask > 0) & (bid > 0) & (bid >= ask)
    if {"last", "high", "low"} <= set(names):
        last, h, lo = (ticks[name].astype(np.float64) for name in ("last", "high", "low"))
        found["last"] = holds & ((last > h) | (last < lo))

    def example(kind, row):
        values = ", ".join("{} {}".format(name, _number(ticks[name][row])) for name in _SHOWN[kind]
                           if name in names and name != "datetime")
        return "row {} at {} {:09d}{}".format(row, date[row], time[row], ": " + values if values else "")
    return _findings(found, dates, example)


# ---------------------------------------------------------------- the checks

def _priced(prices):
    """True where every price is finite and above 0; `prices`: a table (a row a price) or a list of arrays."""
    if not len(prices):
        return np.zeros(0, dtype=bool)
    # All prices at once: one check of a table rather than three calls a price.
    stacked = np.asarray(prices, dtype=np.float64) if len(prices) > 1 else prices[0]
    good = np.isfinite(stacked) & (stacked > 0)
    return good.all(axis=0) if len(prices) > 1 else good


def _negative(records):
    """True where volume or turnover is below 0 or undefined."""
    good = np.ones(len(records), dtype=bool)
    for name in ("volume", "total_turnover"):
        if name in records.dtype.names:
            good &= records[name] >= 0
    return ~good


def _not_rising(keys):
    """True at each row whose key is not above the row before it."""
    return np.concatenate(([False], keys[1:] <= keys[:-1]))


def _outside_days(calendar, dates, previous, days=None):
    """True at rows outside their trading day (see the module's text): `calendar` is each
    row's calendar date YYYYMMDD, `dates` its trading date; `days`: their distinct dates, ascending,
    when known."""
    days = np.unique(dates) if days is None else days
    first = _days_back(days[:1], MAX_NIGHT_LEAD_DAYS) if previous is None else np.array([int(previous)])
    before = np.concatenate((first, days[:-1]))
    earliest = before[np.searchsorted(days, dates)]
    return (calendar > dates) | (calendar < earliest)


def _days_back(days, count):
    """YYYYMMDD `count` calendar days before each YYYYMMDD of `days`."""
    days = np.asarray(days, dtype=np.int64)
    months = ((days // 10000 - 1970) * 12 + days // 100 % 100 - 1).astype("datetime64[M]")
    back = months.astype("datetime64[D]") + (days % 100 - 1 - count).astype("timedelta64[D]")
    found = back.astype("datetime64[M]")
    year = found.astype("datetime64[Y]").astype(np.int64) + 1970
    month = found.astype(np.int64) % 12 + 1
    return (year * 100 + month) * 100 + (back - found.astype("datetime64[D]")).astype(np.int64) + 1


def _jumps(close, dates, usable):
    """True at usable closes that spike: away from the close before and back with the one after
    (of the same day, where there is one), each move more than JUMP_DEVIATIONS of the robust
    one-minute move, and JUMP_FACTOR away from both."""
    rows = np.flatnonzero(usable)
    beyond = np.zeros(len(close), dtype=bool)
    if len(rows) < 2:
        return beyond
    values, days = close[rows], dates[rows]
    if _below_every_bar(values):
        return beyond
    if (days == days[0]).all():
        codes = np.zeros(len(days), dtype=np.int64)    # one day's bars: one run
    else:
        codes = np.concatenate(([0], np.cumsum(days[1:] != days[:-1])))
    same = codes[1:] == codes[:-1]
    moves = values[1:] - values[:-1]
    # The typical move of all the rows checked: a day of a few bars holding a spike says
    # nothing of its own typical move.
    typical = _median(np.abs(moves[same])) if same.any() else 0.0
    # The engine's screen of one day (`_passes_at_once`) takes this same bar: the two change together.
    scale = np.maximum(MAD_TO_SIGMA * typical, JUMP_FLOOR * _group_median(values, codes))
    scale = np.maximum(scale, _steps(values, codes))
    bar = JUMP_DEVIATIONS * scale[codes]
    before = np.concatenate(([np.nan], np.where(same, moves, np.nan)))     # from the close before
    if not (np.abs(before) > bar).any():
        return beyond   # no move past the bar (most days): nothing can spike
    after = np.concatenate((np.where(same, moves, np.nan), [np.nan]))      # to the next close
    # Each close beside the one before and after it, the ends wrapping round (masked above).
    before_close = np.concatenate((values[-1:], values[:-1]))
    after_close = np.concatenate((values[1:], values[:1]))
    apart = np.maximum(values / before_close, before_close / values) >= JUMP_FACTOR
    apart_after = np.maximum(values / after_close, after_close / values) >= JUMP_FACTOR
    up, down = (before > bar) & apart, (before < -bar) & apart
    spiked = np.where(np.isnan(after), up | down, (up & (after < -bar) & apart_after) | (down & (after > bar) & apart_after))
    beyond[rows] = spiked
    return beyond


def _below_every_bar(values):
    """Whether no move between neighbouring `values` (prices above 0) can pass the bar of any day:
    the bar is at least JUMP_DEVIATIONS x JUMP_FLOOR x the day's median close, itself at least the
    smallest close.  Most days move far less, and are told so without the medians."""
    least = JUMP_DEVIATIONS * (JUMP_FLOOR * values.min())
    return bool(np.abs(values[1:] - values[:-1]).max() <= least)


def _median(values):
    """np.median of `values` (1-D, some, none NaN) without its general machinery: the same value."""
    ordered = np.sort(values)
    half = len(ordered) // 2
    return ordered[half] if len(ordered) % 2 else (ordered[half - 1] + ordered[half]) / 2.0


def _steps(values, codes):
    """The price step each run of equal `codes` shows: its smallest move between neighbours (0: none)."""
    moves = np.abs(values[1:] - values[:-1])
    moves[(codes[1:] != codes[:-1]) | (moves == 0)] = np.inf
    if not codes[-1]:
        # One run (a day's bars): its smallest move, without the scatter of many runs.
        smallest = np.array([moves.min(initial=np.inf)])
    else:
        smallest = np.full(codes[-1] + 1, np.inf)
        np.minimum.at(smallest, codes[1:], moves)
    return np.where(np.isfinite(smallest), smallest, 0.0)


def _group_median(values, codes):
    """The median of `values` in each run of equal `codes` (ascending), one a run."""
    if not codes[-1]:
        ordered = np.sort(values)
        return np.array([(ordered[(len(ordered) - 1) // 2] + ordered[len(ordered) // 2]) / 2.0])
    order = np.lexsort((values, codes))
    ordered, groups = values[order], codes[order]
    starts = np.flatnonzero(np.r_[True, groups[1:] != groups[:-1]])
    sizes = np.diff(np.append(starts, len(groups)))
    return (ordered[starts + (sizes - 1) // 2] + ordered[starts + sizes // 2]) / 2.0


def _findings(found, dates, example):
    """One Finding per kind and trading date of the rows under each mask of `found`."""
    out = []
    kinds = [kind for kind in KINDS if kind in found]
    # Which kinds found any row, asked of all masks at once.
    for kind, hit in zip(kinds, np.vstack([found[kind] for kind in kinds]).any(axis=1)):
        if not hit:
            continue
        mask = found[kind]
        rows = np.flatnonzero(mask)
        days, first, counts = np.unique(dates[rows], return_index=True, return_counts=True)
        out.extend(Finding(kind, int(day), int(n), example(kind, int(rows[at])))
                   for day, at, n in zip(days, first, counts))
    return sorted(out, key=lambda finding: (finding.date, KINDS.index(finding.kind)))


def _number(value):
    """A record's value in words: an integer as it is, a float shortest."""
    value = value.item() if hasattr(value, "item") else value
    return repr(value) if isinstance(value, float) else str(value)
