"""What the minute-bar files of a bundle cover, and where they fall short.

The calendar is the bundle's own: the union of the trading dates that the
files of one venue (the part of the identifier after its last ".") hold,
unless the caller hands one in (the client's trading dates, say).  Against
it, for each instrument and a range of dates:

- missing: trading dates between the file's first and last stored dates
  (within the range) that it does not hold, but for those the client had
  no data for (kept with the versions, `corvane.history.market`);
- suspended: those, the days the client served no bars for while the
  venue traded;
- short: stored dates with fewer bars than the instrument's usual count
  for one of its sessions, or ending before its usual last session (a day
  fetched before the vendor had it whole).  The usual day is the latest
  one holding the file's most common number of bars; a day that only lacks
  a session at its start (no night session after a holiday) is not short;
- stale: the file's last date is behind the venue's (or behind the
  instrument's own end, its de-listing or maturity, as the client's listing
  kept with the versions or the caller has it), by a day it was not
  suspended.

Only the index of each file is read, and the bars of the usual day and of
the days holding fewer bars than it.
"""
import os

import numpy as np
import pandas as pd

from corvane import _engine
from corvane.read import sessions
from corvane import layout as files
from corvane.errors import CoverageError, VersionError
from corvane.formats import DATA, MAX_END_DATE, MIN_START_DATE, order_book_id_of
from corvane.history import asof
from corvane.history import market
from corvane.read.calendars import calendar_as_of, venue_calendar, venue_of
from corvane.read.calendars import _union, readable_days, stored_days


COLUMNS = ["order_book_id", "kind", "first", "last", "venue_last", "expected", "missing", "suspended", "short",
           "stale", "error"]


def instrument_file(path, order_book_id):
    """The file of one instrument in the minute-bar root `path`; BundleError when it has none."""
    files.require_kind(path, "minbar")
    return files.find_instrument(path, "minbar", order_book_id)[1]


def bundle_files(path, version=None):
    """[(kind, file)] of every instrument file of the minute-bar root `path`, or that `version` held."""
    files.require_kind(path, "minbar")
    if version is not None:
        return [(file.split("/")[0], os.path.join(path, *file.split("/")))
                for file, entry in sorted(version.files().items()) if "days" not in entry]
    return [(label, h5_file) for label, directory in files.directories(path, "minbar")
            for h5_file in files.instrument_paths(directory) if os.path.isfile(h5_file)]


def within(dates, start, end):
    """The ascending `dates` from `start` to `end` (None: no bound), as a view."""
    first = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
    stop = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
    return dates[first:max(first, stop)]


def missing_days(dates, calendar, start, end):
    """The calendar's dates between the file's first and last stored dates, in range, not stored."""
    if len(dates) == 0:
        return np.zeros(0, dtype=np.int64)
    first, last = max(int(dates[0]), start or 0), int(dates[-1]) if end is None else min(int(dates[-1]), end)
    expected = within(calendar, first, last)
    # Both ascending: a binary search each, no sort.
    place = np.minimum(np.searchsorted(dates, expected), len(dates) - 1)
    return expected[dates[place] != expected]


# ---------------------------------------------------------------- short days

def _day_sessions(h5_file, first, stop, opener):
    """[(first minute of the day, last minute, bars)] of each session of one stored day."""
    times = np.empty(stop - first, dtype="datetime64[ns]")
    with opener(h5_file) as reader:
        reader.read_into(DATA, first, stop, [("datetime", times, "bar_time")], 1)
    starts = sessions.session_starts(times, np.zeros(min(len(times), 1), dtype=np.int64))
    rows = np.flatnonzero(starts)
    lasts = np.append(rows[1:], len(times)) - 1
    minutes = ((times - times.astype("datetime64[D]")).astype("timedelta64[m]")).astype(np.int64)
    return list(zip(minutes[rows].tolist(), minutes[lasts].tolist(), (lasts - rows + 1).tolist()))


def _falls_short(day, usual):
    """True when a session of `day` holds fewer bars than the usual one at its time of day, or
    the day lacks a usual session after its first one (it may lack only sessions at its start)."""
    places = []
    for begin, _, bars in day:
        place = next((k for k, (first, last, _) in enumerate(usual) if first <= begin <= last), None)
        if place is None:
            continue
        if bars < usual[place][2]:
            return True
        places.append(place)
    return not places or sorted(set(places)) != list(range(min(places), len(usual)))


def short_days(h5_file, dates, rows, start=None, end=None, opener=_engine.Reader):
    """The stored dates in range whose bars fall short of the file's usual day."""
    if len(dates) == 0:
        return np.zeros(0, dtype=np.int64)
    values, counts = np.unique(rows, return_counts=True)
    usual_rows = values[np.argmax(counts)]
    line_no = np.append(0, np.cumsum(rows))
    usual_day = int(np.flatnonzero(rows == usual_rows)[-1])
    in_range = np.isin(dates, within(dates, start, end))
    candidates = np.flatnonzero(in_range & (rows < usual_rows))
    if len(candidates) == 0:
        return np.zeros(0, dtype=np.int64)
    usual = _day_sessions(h5_file, line_no[usual_day], line_no[usual_day + 1], opener)
    short = [dates[k] for k in candidates
             if _falls_short(_day_sessions(h5_file, line_no[k], line_no[k + 1], opener), usual)]
    return np.array(short, dtype=np.int64)


# ---------------------------------------------------------------- per instrument

def _calendars(path, found, calendar, days, every_file, version):
    """{venue: calendar} of the venues of `found` [(kind, file)], whose `days` are read."""
    venues = {venue_of(order_book_id_of(h5_file)) for _, h5_file in found}
    if calendar is not None:
        given = np.unique(np.asarray(list(calendar), dtype=np.int64))
        return {venue: given for venue in venues}
    if every_file:
        # Their own dates make the calendars: no file is read twice.
        return {venue: _union([days[h5_file][0] for _, h5_file in found
                               if venue_of(order_book_id_of(h5_file)) == venue
                               and not isinstance(days[h5_file], str)]) for venue in venues}
    return {venue: calendar_as_of(path, venue, version) for venue in venues}


def instrument_row(kind, h5_file, calendar, start, end, ended=None, with_short=True, days=None,
                   opener=_engine.Reader, suspended=()):
    """One row of `coverage` for one file, against its venue's `calendar`; `ended`, the
    instrument's last listed date when known, keeps a de-listed instrument from being stale;
    `days`, the file's (dates, bars a date) when read already; `opener` opens the file;
    `suspended`, the days the client had no data for it: not missing, and not behind."""
    dates, rows = days if days is not None else stored_days(h5_file, opener)
    due = within(calendar, None, ended)
    venue_last = int(due[-1]) if len(due) else 0
    last = int(dates[-1]) if len(dates) else 0
    expected = within(due, max(int(dates[0]), start or 0), end) if len(dates) else due[:0]
    suspended = np.asarray(sorted(suspended), dtype=np.int64)
    lacking = missing_days(dates, calendar, start, end)
    # Behind the venue only by a day the client served: the days after the last stored one.
    behind = within(due, last + 1, None)
    return {
        "order_book_id": order_book_id_of(h5_file),
        "kind": kind,
        "first": int(dates[0]) if len(dates) else 0,
        "last": last,
        "venue_last": venue_last,
        "expected": len(expected),
        "missing": lacking[~np.isin(lacking, suspended)].tolist(),
        "suspended": lacking[np.isin(lacking, suspended)].tolist()
        + within(behind, start, end)[np.isin(within(behind, start, end), suspended)].tolist(),
        "short": short_days(h5_file, dates, rows, start, end, opener).tolist() if with_short else [],
        # A file holding nothing yet has nothing to be behind.
        "stale": 0 < last < venue_last and not np.isin(behind, suspended).all(),
        "error": "",
    }


def unreadable_row(kind, h5_file, reason):
    return dict({name: None for name in COLUMNS}, order_book_id=order_book_id_of(h5_file), kind=kind,
                first=0, last=0, venue_last=0, expected=0, missing=[], suspended=[], short=[], stale=False,
                error=reason)


def coverage(path, order_book_ids=None, start=None, end=None, calendar=None, ends=None, version=None):
    """One row per instrument of the minute-bar root `path` (or of `order_book_ids`): what it covers.

    Columns: order_book_id, kind, first and last (stored dates, 0 when
    none), venue_last (the venue's last date), expected (trading dates of
    the range from the file's first date on), missing, suspended and short
    (lists of dates), stale, and error (why the file cannot be read, empty
    when it can).  `calendar`, a sequence of trading dates, replaces the
    bundle's own; `ends`, {order_book_id: last listed date}, names the
    instruments that stopped trading, over those the client's listing kept
    with the versions names (else an expired contract is stale).  `version`
    (`corvane.history.asof`): the files, their days, the calendar and what
    the client said of the market as of it.
    """
    found = bundle_files(path, version)
    if order_book_ids is not None:
        order_book_ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
        by_id = {order_book_id_of(h5_file): (kind, h5_file) for kind, h5_file in found}
        for order_book_id in order_book_ids:
            if order_book_id not in by_id:
                files.find_instrument(path, "minbar", order_book_id)   # the one-line refusal
                raise VersionError("{} had no file as of version {} of {}".format(order_book_id, version.id, path))
        found = [by_id[order_book_id] for order_book_id in order_book_ids]
    opener = asof.opener(version)
    days = {h5_file: readable_days(h5_file, opener) for _, h5_file in found}
    calendars = _calendars(path, found, calendar, days, order_book_ids is None, version)
    kept = market.facts_as_of(path, None if version is None else version.id)
    ends = dict(kept_ends(kept), **(ends or {}))
    rows = []
    for kind, h5_file in found:
        if isinstance(days[h5_file], str):
            rows.append(unreadable_row(kind, h5_file, days[h5_file]))
            continue
        try:
            order_book_id = order_book_id_of(h5_file)
            rows.append(instrument_row(kind, h5_file, calendars[venue_of(order_book_id)], start, end,
                                       ends.get(order_book_id), days=days[h5_file], opener=opener,
                                       suspended=kept.suspended.get(order_book_id, ())))
        except (OSError, ValueError) as error:
            rows.append(unreadable_row(kind, h5_file, " ".join(str(error).split())))
    return pd.DataFrame(rows, columns=COLUMNS)


def covers(path, h5_file, start, end, freq, calendars, dates, version=None):
    """What a table read from `h5_file`, whose stored dates are `dates`, covers, for its
    `attrs`: small plain values only, as pandas copies them along with the table.
    `calendars` ({venue: calendar}, or None) saves a look at the venue's directories;
    `version`: the one read (None: the files as they are), whose calendar it is."""
    order_book_id = order_book_id_of(h5_file)
    venue = venue_of(order_book_id)
    calendar = calendars[venue] if calendars and venue in calendars else calendar_as_of(path, venue, version)
    return {"order_book_id": order_book_id, "first": int(dates[0]) if len(dates) else 0,
            "last": int(dates[-1]) if len(dates) else 0, "venue_last": int(calendar[-1]) if len(calendar) else 0,
            "start": start, "end": end, "freq": freq,
            "missing": tuple(missing_days(dates, calendar, start, end).tolist())}


def tick_covers(order_book_id, stored, start, end):
    """What a table of ticks covers, for its `attrs`: the stored days' first and last, the range asked."""
    return {"order_book_id": order_book_id, "first": int(min(stored)) if stored else 0,
            "last": int(max(stored)) if stored else 0, "start": start, "end": end}


def require_whole(path, order_book_id, start, end, version=None):
    """CoverageError unless the file holds every trading date of the range, each whole, as of
    `version` (None: as it is).  Which dates the venue traded is no fact of one version: a
    version is judged against the dates its files held and those the bundle learned since, so
    one that stopped before `end` is refused as a file now behind its venue is."""
    h5_file = instrument_file(path, order_book_id)
    calendar = calendar_as_of(path, venue_of(order_book_id), version)
    if version is not None:
        calendar = _union([calendar, venue_calendar(path, venue_of(order_book_id))])
    kept = market.facts_as_of(path, None if version is None else version.id)
    row = instrument_row(None, h5_file, calendar, start, end, market.ended(kept.listing.get(order_book_id, {})),
                         opener=asof.opener(version), suspended=kept.suspended.get(order_book_id, ()))
    wants = "{} to {}".format(start or "the first date", end or "the last date")
    problems = []
    if row["stale"] and (end is None or end > row["last"]):
        problems.append("stored to {}, the bundle to {}".format(row["last"], row["venue_last"]))
    if row["missing"]:
        problems.append("{} trading date(s) missing ({})".format(len(row["missing"]), _few(row["missing"])))
    if row["short"]:
        problems.append("{} short day(s) ({})".format(len(row["short"]), _few(row["short"])))
    if problems:
        held = "" if version is None else " as of version {}".format(version.id)
        raise CoverageError("{}: {} is not whole{}: {}".format(order_book_id, wants, held, "; ".join(problems)))
    return row


def _few(dates, shown=5):
    text = ", ".join(str(date) for date in dates[:shown])
    return text + (", ..." if len(dates) > shown else "")


# ---------------------------------------------------------------- status

def order_book_ids(path):
    return [order_book_id_of(h5_file) for _, h5_file in bundle_files(path)]


def kept_ends(kept):
    """{order_book_id: YYYYMMDD its life ended} of the instruments the Market `kept` lists as ended."""
    ends = {order_book_id: market.ended(fields) for order_book_id, fields in kept.listing.items()}
    return {order_book_id: day for order_book_id, day in ends.items() if day is not None}


def from_client(client, order_book_ids):
    """(calendar, ends) from the market-data client: its trading dates up to its latest, and
    each instrument's end, its de-listing or maturity (absent while it trades)."""
    calendar = [int(pd.Timestamp(day).strftime("%Y%m%d"))
                for day in client.get_trading_dates(MIN_START_DATE, MAX_END_DATE)]
    ends = {}
    for order_book_id in order_book_ids:
        record = client.instruments(order_book_id)
        days = [getattr(record, name, None) for name in market.ENDING]
        days = [int(pd.Timestamp(day).strftime("%Y%m%d")) for day in days if day is not None and not pd.isna(day)]
        if days:
            ends[order_book_id] = min(days)
    return calendar, ends


def findings(table):
    """Lines naming each instrument that is stale, missing days or short, and what is wrong."""
    lines = []
    for row in table.itertuples(index=False):
        if row.error:
            lines.append("{}: unreadable: {}".format(row.order_book_id, row.error))
            continue
        problems = []
        if row.stale:
            problems.append("stale: stored to {}, the venue to {}".format(row.last, row.venue_last))
        if row.missing:
            problems.append("{} trading date(s) missing: {}".format(len(row.missing), _few(row.missing)))
        if row.short:
            problems.append("{} short day(s): {}".format(len(row.short), _few(row.short)))
        if problems:
            lines.append("{}: {}".format(row.order_book_id, "; ".join(problems)))
    return lines


def summary(path, table, found):
    return "corvane status: {} of {} instrument(s) under {} stale, missing days, short or unreadable".format(
        found, len(table), path)
