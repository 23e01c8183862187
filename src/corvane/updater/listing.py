"""What a run keeps of what the client said of the market (`corvane.history.market`).

The client's listing of each instrument the run updated, as plain values,
and its suspensions: the trading days of the venue, within the
instrument's life and the range its job asked for (past the last day its
file held before, to the venue's last or the instrument's end), on which
the client served it no bars.  Only minute-bar runs find suspensions: a
tick run asks for its own few days.
"""
import bisect
import datetime
import math
import numbers

import numpy as np
import pandas as pd

from corvane import _engine, formats
from corvane.formats import INDEX
from corvane.history import market
from corvane.history import versions

__all__ = ["plain", "listing_of", "trading_days", "suspensions", "kept"]

# Jobs whose range was not served whole: what their file lacks is no answer of the client's.
_UNSERVED = ("failed", "interrupted", "lost")


def plain(name, value):
    """A listing's cell as JSON holds it: a date column's as YYYYMMDD (None when missing), a
    number's or text's as is, anything else (a type's member) as its text."""
    if type(value) in (str, int) and not name.endswith("_date"):
        return value    # most cells: taken as they are, before the checks below
    if value is None or (isinstance(value, float) and math.isnan(value)) or value is pd.NaT:
        return None
    if name.endswith("_date"):
        return _day(value)
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, str):
        return value
    return str(getattr(value, "value", value))


def _day(value):
    if type(value) is datetime.date:
        return value.year * 10000 + value.month * 100 + value.day    # a calendar's day: as Timestamp gives it
    if isinstance(value, (datetime.date, np.datetime64, pd.Timestamp)):
        stamp = pd.Timestamp(value)
        return None if pd.isna(stamp) else stamp.year * 10000 + stamp.month * 100 + stamp.day
    digits = str(value)[:10].replace("-", "")
    return int(digits) if len(digits) == 8 and digits.isdigit() and int(digits) >= 19000101 else None


def listing_of(table, chosen):
    """{order_book_id: {column: plain value}} of the rows of the client's listing `table` that name `chosen`."""
    if table is None or "order_book_id" not in table:
        return {}
    wanted = set(chosen)
    names = list(table.columns)
    if len(set(names)) != len(names):
        return _rows_of(table, wanted, names)
    # Column by column, as a row's iteration gives each cell: one pass a column, not a dict a cell.
    ids = list(table["order_book_id"])
    rows = [position for position, order_book_id in enumerate(ids) if order_book_id in wanted]
    texts = [str(name) for name in names if name != "order_book_id"]
    columns = [_plain_column(text, table[name], rows, len(ids))
               for name, text in zip((name for name in names if name != "order_book_id"), texts)]
    cells = zip(*columns) if columns else ((),) * len(rows)
    return {ids[position]: dict(zip(texts, row)) for position, row in zip(rows, cells)}


def _rows_of(table, wanted, names):
    """listing_of, row by row: a listing naming a column twice (its last cell counts)."""
    columns = [(name, str(name)) for name in names if name != "order_book_id"]
    found = {}
    for row in table.itertuples(index=False, name=None):
        record = dict(zip(names, row))
        if record["order_book_id"] in wanted:
            found[record["order_book_id"]] = {text: plain(text, record[name]) for name, text in columns}
    return found


def _plain_column(text, column, rows, count):
    """`plain` of the cells at `rows` of `column` (`count` rows), named `text`."""
    if text.endswith("_date") and isinstance(column.dtype, np.dtype) and column.dtype.kind == "M":
        days = _plain_days(column.to_numpy()[rows])
        if days is not None:
            return days
    # A text column's cells as its iteration gives them, without a Python step a cell.
    cells = column.to_numpy(dtype=object).tolist() if isinstance(column.dtype, pd.StringDtype) else list(column)
    if len(rows) != count:
        cells = [cells[position] for position in rows]
    if text.endswith("_date"):
        return [plain(text, value) for value in cells]
    # What `plain` makes of text, integers, None and floats, without a call a cell.
    return [value if type(value) in _AS_IS or (type(value) is float and math.isfinite(value))
            else None if value is None or type(value) is float else plain(text, value) for value in cells]


# Cells `plain` keeps as they are, outside date columns.
_AS_IS = (str, int)


def _plain_days(values):
    """YYYYMMDD of datetime64 `values` as `plain` gives them (None for NaT); None when a year lies
    outside 1 to 9999, which only a Timestamp of its own may say."""
    days = values.astype("datetime64[D]")
    missing = np.isnat(days)
    months = days.astype("datetime64[M]")
    years = months.astype("datetime64[Y]").astype(np.int64) + 1970
    if not ((years[~missing] >= 1) & (years[~missing] <= 9999)).all():
        return None
    ymd = ((years * 100 + months.astype(np.int64) % 12 + 1) * 100 + (days - months).astype(np.int64) + 1).tolist()
    return [None if gone else day for day, gone in zip(ymd, missing.tolist())]


def trading_days(client, first=formats.MIN_START_DATE):
    """The client's trading days from `first` (YYYYMMDD) up to its latest, as YYYYMMDD; none from a client
    without a calendar."""
    if not callable(getattr(client, "get_trading_dates", None)):
        return np.zeros(0, dtype=np.int64)
    return np.array([_day(day) for day in client.get_trading_dates(first, formats.MAX_END_DATE)], dtype=np.int64)


def _asked(h5_file, before, after):
    """(the last day the file held before the job, or None when it was new; its days from then on)."""
    first = min(max(before.days - 1, 0), after.days - 1) if before is not None and before.days else 0
    with _engine.Reader(h5_file) as reader:
        dates = reader.read(INDEX, first, after.days, threads=1)["date"].astype(np.int64).tolist()
    if before is not None and before.days:
        return dates[0], dates
    return None, dates


def _served(root, outcome):
    """(the last day its file held before the job or None, the days from then on) of a job that was
    served whole; None when there is nothing to look at.  The days come with the outcome from the
    store that wrote them; only an outcome without them has its file read."""
    after, before = outcome.after, outcome.before
    if outcome.status in _UNSERVED or after is None or not after.days or (before and before.days is None):
        return None
    if outcome.days is not None:
        dates = [int(day) for day in outcome.days]
        found = (dates[0] if before is not None and before.days and dates else None, dates)
        return found if dates else None
    try:
        h5_file = formats.locate(root, outcome.order_book_id, "minbar")
        found = None if h5_file is None else _asked(h5_file, before, after)
    except (OSError, ValueError, TypeError, KeyError):
        return None     # an unreadable file is its job's to report
    return found if found is not None and len(found[1]) else None


def suspensions(root, outcomes, listing, calendar):
    """{order_book_id: [YYYYMMDD, ...]} of the days in the range each minute-bar job of `outcomes`
    asked for that the venue traded and the client served none of, within the instrument's life as
    `listing` has it.  `calendar(first)`: the venue's days from YYYYMMDD `first` to its last,
    ascending, asked once, from the first day any job asked for, and only when needed."""
    asked = []
    for outcome in outcomes:
        served = _served(root, outcome)
        if served is None:
            continue
        held_before, dates = served
        fields = listing.get(outcome.order_book_id, {})
        end = market.ended(fields)
        if end is not None and end <= dates[-1]:
            continue    # nothing can follow its end: the client need not be asked
        listed = fields.get("listed_date") if isinstance(fields.get("listed_date"), int) else 0
        asked.append((outcome.order_book_id, max(dates[0] if held_before is None else held_before + 1, listed),
                      end, dates))
    if not asked:
        return {}
    # A daily run asks for its last few days: the calendar before them is never sliced.
    days = np.asarray(calendar(min(low for _, low, _, _ in asked)), dtype=np.int64).tolist()
    found = {}
    for order_book_id, low, end, dates in asked:
        high = days[-1] if days else 0
        high = high if end is None else min(high, end)
        # The calendar ascends: the days due are one slice of it, a few of them after a daily run.
        due = days[bisect.bisect_left(days, low):bisect.bisect_right(days, high)]
        served = set(dates)
        lacking = [day for day in due if day not in served]
        if lacking:
            found[order_book_id] = lacking
    return found


def kept(root, kind, client, table, chosen, outcomes):
    """(listing, suspended) for the run's version when they say something its root does not know yet;
    None otherwise, or when there is nothing to keep them with (no version, nor a file changed)."""
    listing = listing_of(table, chosen)
    if not listing:
        return None
    suspended = suspensions(root, outcomes, listing, lambda first: trading_days(client, first)) if kind == "minbar" else {}
    if not any(outcome.state is not None for outcome in outcomes) and not versions.version_ids(root):
        return None
    if not market.is_new(market.facts_as_of(root), listing, suspended):
        return None
    return listing, suspended
