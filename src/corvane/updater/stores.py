"""What the two stores share: opening an instrument's file, and turning the
client's values into record fields.
"""
import contextlib
import datetime
import sys
import threading
import time
from typing import NamedTuple, Optional

import numpy as np
import pandas as pd

from corvane import _engine
from corvane.history import states

__all__ = ["Held", "Stored", "Found", "found_before", "open_instrument_file", "next_trading_date", "committed_in_time", "engine_times", "version_entry", "to_field", "per_stamp", "per_date", "WallClock", "wall_clock",
           "run_starts"]


class Held(NamedTuple):
    """What an instrument's file holds: rows (ticks: over all days) and days."""
    rows: Optional[int]
    days: Optional[int]


class Stored(NamedTuple):
    """What one call of a store did to its file.

    `before`, `after`: what the file held as the call found and left it
    (minute bars: bar records and index records); `after` is `before` when
    it wrote nothing.  `revised`: YYYYMMDD of the stored days it replaced.
    `entry`: the file's line in the run's version (`corvane.history.states`) when
    asked for and the file changed, else None.  `findings`: what the quality
    checks (`corvane.quality`) found in the rows written, kept all the same.
    `days` (minute bars): YYYYMMDD of the file's index rows as the call left
    them, from the last one it held before (the first, when it held none) to
    its end, so that the run's parent need not read them back; None when not
    known.
    """
    before: Optional[Held]
    after: Optional[Held]
    revised: tuple = ()
    entry: Optional[states.Entry] = None
    findings: tuple = ()
    days: Optional[tuple] = None


class Found:
    """The `with` of a store's call around its file: a failure leaving it carries what the
    file held as the call found it (`found_before`), once `held` was told.

    A call that fails may have written part of its work (a tick file keeps
    its whole days), so what the file holds afterwards is no longer what
    the job found.
    """

    def __init__(self):
        self._before = None

    def held(self, before):
        """`before`, now what any failure of the call tells."""
        self._before = before
        return before

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if error is not None and self._before is not None:
            error.corvane_found = self._before
        return False


def found_before(error):
    """What the file held as the store's call that raised `error` found it (`Found`);
    None when the call failed before reading it."""
    return vars(error).get("corvane_found")


def open_instrument_file(h5_file, durable=False):
    """The engine's file of one job.

    Durable: the job's writes are on disk (fsync) before it ends, so that even
    a power loss leaves the file as before or after the job.
    """
    return _engine.File(h5_file, durable=durable)


# A day's next trading date, as the client gave it, kept for a minute: every
# file of a daily update asks it of the same last stored day, and each ask is
# a round trip to the client's server.
NEXT_DAY_SECONDS = 60.0
_next_days = {}
_next_days_lock = threading.Lock()


def next_trading_date(client, day):
    """`client.get_next_trading_date(day)`, answered from the last minute's asks when it can."""
    ask = client.get_next_trading_date
    key = (ask, day)
    with _next_days_lock:
        known = _next_days.get(key)
    if known is not None and time.monotonic() - known[1] < NEXT_DAY_SECONDS:
        return known[0]
    answer = ask(day)
    with _next_days_lock:
        if len(_next_days) >= 64:
            _next_days.clear()
        _next_days[key] = (answer, time.monotonic())
    return answer


def committed_in_time(h5, deadline):
    """The open file `h5` as the `with` of a job with `deadline` (a `corvane.updater.deadlines.Deadline`;
    None: `h5` itself): committed only within the job's time, rolled back past it."""
    return h5 if deadline is None else _committed_in_time(h5, deadline)


@contextlib.contextmanager
def _committed_in_time(h5, deadline):
    # The commit is the `with`'s normal end: it runs within the deadline's
    # commit scope, whose refusal ends the `with` by JobTimeout instead.
    with contextlib.ExitStack() as commit:
        with h5:
            yield h5
            commit.enter_context(deadline.committing())


def version_entry(root, h5_file, kind, h5, before, after, tails):
    """The file's line in the run's version (an Entry), taken from `h5` while the call still holds it.

    Once the file is let go another run may revise it before a read of it
    here, and the line would pair this call's rows with that run's segments:
    a version that never reads back.  None when the call changed nothing, or
    when the file cannot be read (the job's outcome says why).
    """
    try:
        return states.job_entry(root, h5_file, kind, before, after, tails, h5=h5)
    except (OSError, ValueError, TypeError):
        return None


def to_field(values, dtype, name):
    """Convert float64 `values` to the type of field `name` (`dtype`).

    Integer fields get the nearest integer: a scaled price such as
    10.0001 * 10000 lands just below 100001 and must not be cut to 100000.
    A value the client left undefined (NaN) has no integer, so it is stored
    as 0 (open interest of a bar without one, for instance).
    """
    dtype = np.dtype(dtype)
    values = np.asarray(values, dtype=np.float64)
    if dtype.kind not in "iu":
        return values.astype(dtype)
    values = np.rint(values)
    values[np.isnan(values)] = 0.0
    info = np.iinfo(dtype)
    # float(info.max) + 1 is exact for every integer width (a power of two).
    fits = (values >= float(info.min)) & (values < float(info.max) + 1.0)
    if not fits.all():
        bad = values[~fits][0]
        raise ValueError("value {!r} does not fit field {!r} ({})".format(bad, name, dtype))
    return values.astype(dtype)


def _datetimes(stamps):
    """`stamps` as a list of plain datetimes, the one form the framework's
    conversions promise to take.

    numpy makes them an order of magnitude faster than pandas does, but only
    for wall-clock times without a time zone (it would give UTC otherwise).
    """
    if stamps.hasnans:
        # NaT is no datetime a conversion could read; callers name the instrument.
        raise ValueError("a timestamp is missing (NaT)")
    if stamps.tz is None:
        return stamps.values.astype("datetime64[us]").tolist()
    return list(stamps.to_pydatetime())


# At most this many dates are turned to YYYYMMDD one by one in Python: cheaper than numpy's calendar
# for a fetch's few dates, each a run of its bars.
_FEW_DATES = 16


def _ymd(days):
    """YYYYMMDD of datetime64[D] values."""
    if len(days) > _FEW_DATES:
        starts = run_starts(days)
        if len(starts) > _FEW_DATES:
            return _calendar_ymd(days)
        return np.repeat(_ymd(days[starts]), np.diff(np.append(starts, len(days))))
    listed = days.tolist()
    # Dates outside years 1-9999 (and NaT) are no datetime.date: numpy's calendar gives theirs.
    if all(type(day) is datetime.date for day in listed):
        return np.array([(day.year * 100 + day.month) * 100 + day.day for day in listed], dtype=np.int64)
    return _calendar_ymd(days)


def _calendar_ymd(days):
    months = days.astype("datetime64[M]")
    years = months.astype("datetime64[Y]").astype(np.int64) + 1970
    month = months.astype(np.int64) % 12 + 1
    day = (days - months).astype(np.int64) + 1
    return (years * 100 + month) * 100 + day


def _dt_ints(values):
    days = values.astype("datetime64[D]")
    seconds = (values - days).astype(np.int64) // 1_000_000_000
    # HHMMSS of s seconds into the day is s + 40 x its minutes + 4000 x its hours.
    hhmmss = seconds + seconds // 60 * 40 + seconds // 3600 * 4000
    if len(days) and days[0] == days[-1] and (days == days[0]).all():
        return hhmmss + _ymd(days[:1])[0] * 1000000     # one day's stamps (a daily update)
    return _ymd(days) * 1000000 + hhmmss


def _time_ints(values):
    # The time of day alone: no date is made of the stamps.
    ns = (values - values.astype("datetime64[D]")).astype(np.int64)
    millis = ns // 1_000_000
    seconds = millis // 1000
    return ((seconds // 3600 * 100 + seconds // 60 % 60) * 100 + seconds % 60) * 1000 + millis % 1000


def _date_ints(values):
    return _ymd(values.astype("datetime64[D]"))


# The framework's own conversions, by name: the module that defines them and
# the same integers computed for a whole array at once.
_ARRAY_FORMS = {
    "convert_dt_to_int": ("vesper.utils.datetime_func", _dt_ints),
    "date_to_number": ("vesper_mod_tollbay_data.data_sources.data_store", _date_ints),
    "time_to_number": ("vesper_mod_tollbay_data.data_sources.data_store", _time_ints),
}


def array_form(convert):
    """The array form of `convert` when it is the framework's own conversion, else None.

    Only the framework's functions themselves (not a host's replacement,
    however named) are computed on whole arrays; any other conversion is
    called once per value, as it promises to be called.
    """
    module_name, form = _ARRAY_FORMS.get(getattr(convert, "__name__", None), (None, None))
    module = sys.modules.get(module_name) if module_name else None
    return form if module is not None and getattr(module, convert.__name__, None) is convert else None


_NANOSECONDS = np.dtype("datetime64[ns]")


class WallClock:
    """A fetch's bar timestamps as `per_stamp` and `per_date` read them, without the
    DatetimeIndex pandas makes of an index level: wall-clock datetime64[ns], none missing."""

    __slots__ = ("values",)
    tz = None
    hasnans = False

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, rows):
        return WallClock(self.values[rows])


def wall_clock(index):
    """The second level of `index` as a WallClock when it holds plain datetime64[ns] stamps,
    none missing; None otherwise (pandas then makes the level's values)."""
    if not isinstance(index, pd.MultiIndex) or index.nlevels < 2:
        return None
    # The index's own levels: its public `levels` makes a renamed copy of each.
    levels = getattr(index, "_levels", None)
    level, codes = (index.levels if levels is None else levels)[1], index.codes[1]
    if not isinstance(level, pd.DatetimeIndex) or level.dtype != _NANOSECONDS or (len(codes) and codes.min() < 0):
        return None
    return WallClock(level.values[codes])


def engine_times(convert, stamps, dtypes):
    """Whether the engine fills records of `dtypes` with `convert` of each of `stamps` in place
    (`_engine.fill_bars`, as `_dt_ints` computes them): the framework's own YYYYMMDDhhmmss of
    wall-clock stamps (a WallClock: none missing), into a record type of numbers alone in the
    machine's byte order whose "datetime" is an int64."""
    return isinstance(stamps, WallClock) and array_form(convert) is _dt_ints and _plain_type(dtypes)


_plain = {}


def _plain_type(dtypes):
    plain = _plain.get(dtypes)
    if plain is None:
        plain = _plain[dtypes] = bool(dtypes.names and "datetime" in dtypes.names and dtypes.isnative
                                      and dtypes["datetime"] == np.int64
                                      and all(dtypes[name].kind in "iuf" for name in dtypes.names))
    return plain


def per_stamp(convert, stamps, out=None, slice_rows=65536):
    """`convert` (a framework conversion) of every timestamp, as int64.

    The framework's own conversions of wall-clock stamps are computed on the
    whole array (`array_form`); any other is called once per value.  Plain datetimes
    are far cheaper to make and to convert than pandas Timestamps; making
    them a slice at a time keeps a 20-year file from holding a second copy of
    its timestamps as Python objects.
    """
    if out is None:
        out = np.empty(len(stamps), dtype=np.int64)
    form = array_form(convert)
    if form is not None and stamps.tz is None and not stamps.hasnans:
        values = stamps.values.astype("datetime64[ns]", copy=False)
        for first in range(0, len(values), slice_rows):
            out[first:first + slice_rows] = form(values[first:first + slice_rows])
        return out
    for first in range(0, len(stamps), slice_rows):
        # A day's stamps fit one slice: no slicing, which pandas makes costly.
        chunk = _datetimes(stamps if len(stamps) <= slice_rows else stamps[first:first + slice_rows])
        out[first:first + len(chunk)] = np.fromiter(map(convert, chunk), dtype=np.int64, count=len(chunk))
    return out


def per_date(date_to_number, stamps):
    """`date_to_number` of every timestamp's calendar date, as int64.

    The conversion is a pure function of the date, so each calendar date is
    converted once, given a real timestamp of that date, and mapped back.
    numpy finds the dates of wall-clock stamps far faster than pandas'
    normalize does.
    """
    if stamps.tz is None and not stamps.hasnans:
        values = stamps.values
        first, codes = _date_runs(values.astype("datetime64[D]"))
        # The same plain datetimes as per_stamp makes, without pandas' take.
        firsts = values[first].astype("datetime64[us]").tolist()
        return np.fromiter(map(date_to_number, firsts), dtype=np.int64, count=len(firsts))[codes]
    codes, _ = pd.factorize(stamps.normalize())
    first = np.unique(codes, return_index=True)[1]
    return per_stamp(date_to_number, stamps.take(first))[codes]


def _date_runs(days):
    """(row of each date's first stamp, date number of every row) for `days`.

    Stamps in time order hold each date in one run, found without sorting
    (a twenty-year fetch keeps no sorted copies); any other order is sorted.
    """
    starts = run_starts(days)
    if (days[starts[1:]] > days[starts[:-1]]).all():
        return starts, np.repeat(np.arange(len(starts)), np.diff(np.append(starts, len(days))))
    _, first, codes = np.unique(days, return_index=True, return_inverse=True)
    return first, codes


def run_starts(values):
    """Row of the first value of every run of equal neighbours in `values`."""
    if len(values) == 0:
        return np.zeros(0, dtype=np.intp)
    return np.concatenate(([0], np.flatnonzero(values[1:] != values[:-1]) + 1))
