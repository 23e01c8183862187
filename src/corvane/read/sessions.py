"""Minute bars gathered into longer bars, one trading session at a time.

A session is a run of stored bars with no gap between two consecutive bars
longer than `SESSION_GAP`, within one trading date: a lunch break, the
pause of a morning and the night session each start a new one, and night
bars keep the trading date they are stored under.  A longer bar never spans
two sessions.

Buckets of N minutes are aligned to the clock (counted from the midnight
before the session's first bar) and closed on the right, as the stored bars
are stamped at their end: the 5-minute bar stamped 09:35 holds the bars
stamped in (09:30, 09:35] of its session.  A session's last bucket ends at
the clock's next mark even when the session stops earlier.  With the
morning ending 11:30, a one-hour bar stamped 12:00 holds 11:01 to 11:30 and
the afternoon starts again at 14:00 (13:01 to 14:00); a night session from
21:01 to 23:00 on 2 January gives 5-minute bars 21:05 to 23:00 of trading
date 3 January, before that date's 09:05.

"1D" gives one bar per trading date, night included, indexed by that date.

    open first, high max, low min, close last, volume and total_turnover
    summed, open_interest (and any other field) last.

No bucket that holds no bar is ever made.  Bars of a day, or of minutes
that tile a day, are gathered by the engine as it inflates the chunks
(`engine_minutes`); any other on the table's columns with numpy.
"""
import re

import numpy as np
import pandas as pd

from corvane.layout import BundleError

__all__ = ["SESSION_GAP", "DAILY", "GATHER", "parse_freq", "engine_minutes", "way_of", "folded", "session_starts",
           "bucket_ends", "day_starts", "group_starts", "gather", "resample_columns", "joined", "table_of",
           "resample"]

SESSION_GAP = np.timedelta64(5, "m")
DAILY = "1D"
_MINUTE_NS = 60 * 10 ** 9
_DAY_NS = 24 * 60 * _MINUTE_NS
_MINUTES = re.compile(r"^([1-9][0-9]*)\s*min$")

# How each field of a bar record is gathered; any other field keeps its last value.
FIRST, MAX, MIN, LAST, SUM = "first", "max", "min", "last", "sum"
GATHER = {"open": FIRST, "high": MAX, "low": MIN, "close": LAST,
          "volume": SUM, "total_turnover": SUM, "open_interest": LAST}


def parse_freq(freq):
    """Minutes a bar (a whole number), or DAILY; BundleError for anything else."""
    if isinstance(freq, str):
        if freq.strip().upper() == DAILY:
            return DAILY
        found = _MINUTES.match(freq.strip().lower())
        if found:
            return int(found.group(1))
    raise BundleError("freq is a whole number of minutes (\"5min\") or \"1D\", not {!r}".format(freq))


def engine_minutes(freq):
    """The minutes the engine gathers bars of `freq` by (0 for DAILY), or None when it cannot: a
    bucket that does not tile a day starts from each session's midnight."""
    minutes = parse_freq(freq)
    if minutes == DAILY:
        return 0
    return minutes if _DAY_NS % (minutes * _MINUTE_NS) == 0 else None


def way_of(field):
    """How the longer bars gather `field` (see GATHER)."""
    return GATHER.get(field, LAST)


def folded(bar_dates, ends, freq):
    """(stamps, trading dates) of the longer bars the engine gathered: of `freq` DAILY each stamped
    with its date, otherwise with its bucket's end `ends` (ns)."""
    if parse_freq(freq) == DAILY:
        return _dates(bar_dates), bar_dates
    return ends.view("datetime64[ns]"), bar_dates


def session_starts(times, firsts):
    """True at each bar that starts a session: the first of a trading date (the rows
    `firsts`), or one after a gap past SESSION_GAP."""
    starts = np.zeros(len(times), dtype=bool)
    if len(times) > 1:
        ticks = times.view("i8")
        np.greater(ticks[1:] - ticks[:-1], SESSION_GAP.astype("m8[ns]").astype("i8"), out=starts[1:])
    starts[firsts] = True
    return starts


def bucket_ends(times, starts, minutes):
    """The clock time closing each bar's bucket of `minutes`, counted from its session's midnight."""
    ticks = times.view("i8")
    step = minutes * _MINUTE_NS
    if _DAY_NS % step == 0:
        # Buckets that tile a day fall the same from any midnight.
        return -(-ticks // step) * step
    session = np.cumsum(starts) - 1
    midnight = (ticks[starts] // _DAY_NS * _DAY_NS)[session]
    return midnight + -((midnight - ticks) // step) * step


def day_starts(per_day):
    """The row where each trading date starts, of dates holding `per_day` rows each."""
    return np.append(0, np.cumsum(per_day[:-1], dtype=np.int64)) if len(per_day) else np.zeros(0, np.int64)


def group_starts(times, dates, per_day, freq):
    """(rows where each longer bar starts, its stamp as datetime64[ns], its trading date) of
    bars of the trading `dates` holding `per_day` rows each; `times` is not looked at for DAILY."""
    firsts = day_starts(per_day)
    if freq == DAILY:
        return firsts, _dates(dates), dates
    starts = session_starts(times, firsts)
    ends = bucket_ends(times, starts, freq)
    new_date = np.zeros(len(times), dtype=bool)
    new_date[firsts] = True
    starts[1:] |= ends[1:] != ends[:-1]
    rows = np.flatnonzero(starts)
    # Every date starts a longer bar: the dates of the bars count them.
    return rows, ends[rows].view("datetime64[ns]"), dates[np.cumsum(new_date[rows]) - 1]


def _dates(days):
    days = np.asarray(days, dtype=np.int64)
    months = (days // 10000 - 1970) * 12 + days // 100 % 100 - 1
    return (months.astype("datetime64[M]").astype("datetime64[D]")
            + (days % 100 - 1).astype("timedelta64[D]")).astype("datetime64[ns]")


def gather(values, rows, how):
    """One value a group of the column `values`, the groups starting at `rows`."""
    if len(rows) == 0:
        return values[:0].copy()
    if how == FIRST:
        return values[rows]
    if how == LAST:
        return values[np.append(rows[1:], len(values)) - 1]
    ufunc = {MAX: np.maximum, MIN: np.minimum, SUM: np.add}[how]
    return ufunc.reduceat(values, rows)


def resample_columns(times, dates, per_day, columns, freq):
    """(stamps, trading dates, {field: gathered column}) of the longer bars (see group_starts)."""
    rows, stamps, group_dates = group_starts(times, dates, per_day, parse_freq(freq))
    gathered = {name: gather(values, rows, way_of(name)) for name, values in columns.items()}
    return stamps, group_dates, gathered


def joined(parts):
    """The table of the longer bars of many `resample_columns` results, in order."""
    gathered = {name: np.concatenate([part[2][name] for part in parts]) for name in parts[0][2]}
    return table_of(np.concatenate([part[0] for part in parts]), np.concatenate([part[1] for part in parts]),
                    gathered)


def table_of(stamps, dates, gathered, name="datetime"):
    """The DataFrame of longer bars, as `read.bars` gives them."""
    out = {"trading_date": dates}
    out.update(gathered)
    return pd.DataFrame(out, index=pd.DatetimeIndex(stamps, name=name, copy=False), copy=False)


def resample(table, freq):
    """The longer bars of a table of minute bars as `read.bars` gives it (see the module's text)."""
    trading_dates = table["trading_date"].to_numpy()
    firsts = np.flatnonzero(np.append(True, trading_dates[1:] != trading_dates[:-1])) if len(table) else \
        np.zeros(0, np.int64)
    per_day = np.diff(np.append(firsts, len(table)))
    columns = {name: table[name].to_numpy() for name in table.columns if name != "trading_date"}
    result = table_of(*resample_columns(table.index.values, trading_dates[firsts], per_day, columns, freq),
                      name=table.index.name)
    result.attrs.update(table.attrs)
    return result
