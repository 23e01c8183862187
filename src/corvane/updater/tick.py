"""The tick store: brings one instrument's tick file up to date.

A tick file holds one dataset per trading day, named with the day's eight
digits, of the tick reader's record type.  Each call lists the trading days
from the latest stored day (written again, since it may have been partial,
but only with ticks) or from `min_start_date`, and writes every listed day the
client has a table for.
"""
import bisect
import concurrent.futures
import contextlib
import math
import os

import numpy as np
import pandas as pd

from corvane import quality as checks
from corvane.updater import revisit as revisits
from corvane.formats import DAY_NAME, check_tick_members, instrument_file
from corvane.history.layout import tail_digest
from corvane.updater.stores import Found, Held, Stored, committed_in_time, open_instrument_file, per_date, per_stamp, to_field, version_entry

__all__ = ["append_h5_tick", "tick_records"]


def _check_layout(columns, fields, dtypes):
    """The (column name, scale) of every FIELDS entry; refuses a tick layout
    whose parts do not fit together.

    An entry may be any sequence of three items and its scale any number
    that `float()` takes (a Decimal, a numpy number); text is no number.
    """
    if len(dtypes.names or ()) != len(columns):
        raise ValueError("tick record type has {} fields for {} columns"
                         .format(len(dtypes.names or ()), len(columns)))
    scaled = []
    for entry in fields:
        try:
            if isinstance(entry, (str, bytes)) or len(entry) != 3:
                raise TypeError
            name, scale = entry[0], entry[2]
        except (TypeError, LookupError):
            raise ValueError("tick FIELDS entry {!r} is not a (name, type, scale) triple"
                             .format(entry)) from None
        scale = _scale(entry, scale)
        if name not in columns:
            raise ValueError("tick FIELDS entry {!r}: {!r} is not a tick column".format(entry, name))
        scaled.append((columns.index(name), scale))
    return scaled


def _scale(entry, scale):
    """`scale` as a finite float; a NaN scale would store every value as 0."""
    try:
        if isinstance(scale, (str, bytes)):
            raise TypeError
        value = float(scale)
    except (TypeError, ValueError):
        raise ValueError("tick FIELDS entry {!r}: scale is not a number".format(entry)) from None
    if not math.isfinite(value):
        raise ValueError("tick FIELDS entry {!r}: scale is not a finite number".format(entry))
    return value


def tick_records(services, order_book_id, df, columns, fields, dtypes):
    """One record of `dtypes` per row of the day's table `df`, in row order."""
    scaled = _check_layout(columns, fields, dtypes)
    stamps = pd.DatetimeIndex(df.index)
    if stamps.hasnans:
        raise ValueError("ticks of {!r}: a tick has no timestamp".format(order_book_id))
    # A new table: the caller's keeps its own columns.
    df = df.assign(date=per_date(services.date_to_number, stamps),
                   time=per_stamp(services.time_to_number, stamps))
    if "open_interest" not in df.columns:
        df = df.assign(open_interest=0)
    missing = [name for name in columns if name not in df.columns]
    if missing:
        raise KeyError("ticks of {!r} lack column(s) {}".format(order_book_id, missing))
    df = df[columns]
    matrix = df.to_numpy(dtype=np.float64)
    for column, scale in scaled:
        matrix[:, column] *= scale
    ticks = np.zeros(len(df), dtype=dtypes)
    for column, field in enumerate(dtypes.names):
        ticks[field] = to_field(matrix[:, column], dtypes[field], field)
    return ticks


class _DayWriter:
    """Writes one day's records in a thread while the caller builds the next day's.

    The engine lets go of the interpreter while it compresses, so fetching and
    converting day N+1 overlaps the compression of day N.  At most one write
    is pending, and the file is used by one thread at a time: every other use
    of it waits for the pending write first.
    """

    def __init__(self, h5):
        self.h5 = h5
        self._thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="corvane-tick")
        self._pending = None

    def write(self, name, ticks):
        self.wait()
        self._pending = self._thread.submit(self.h5.write_day, name, ticks)

    def wait(self):
        """Wait for the pending write; its failure is raised here."""
        pending, self._pending = self._pending, None
        if pending is not None:
            pending.result()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        # Never leave the file to its `with` while a write is still running.
        self._thread.shutdown(wait=True)


@contextlib.contextmanager
def _keeping_written_days(writer, deadline=None):
    """On a failure of the client or of a conversion, keep the days written.

    Each day is written whole, so the days before the failing one are
    complete; the file is closed normally (committed) before the failure goes
    on, and the next run resumes after them.  A failing write, by contrast,
    leaves the `with` of the file by an exception, which undoes the call;
    it wins over a client failure that comes while it is pending.  Past the
    job's `deadline` nothing is committed: the file's `with` rolls it back.
    """
    try:
        yield
    except BaseException:
        writer.wait()
        with contextlib.nullcontext() if deadline is None else deadline.committing(final=False):
            writer.h5.close()
        raise


def _day_ticks(services, order_book_id, trading_date, columns, fields, dtypes, stored):
    """The records of one listed day, or None when there is nothing to write.

    A day already `stored` is only replaced by a table with ticks: an empty
    answer for it is a glitch of the client (no trading day loses its ticks
    afterwards), and writing it would throw the stored ticks away.  A day not
    stored yet is written even when empty, so the file records it was listed.
    """
    df = services.client.get_price(order_book_id, trading_date, trading_date,
                                   frequency="tick", adjust_type="none")
    if df is None or (stored and len(df) == 0):
        return None
    return tick_records(services, order_book_id, df, columns, fields, dtypes)


def _stored_as(h5, name, ticks):
    """Whether day `name` is stored holding exactly `ticks`.

    The latest stored day is listed again on every run; written again only
    when it changed, a run with nothing new leaves the file untouched.
    """
    stored = h5.read(name)
    return (stored.dtype.names == ticks.dtype.names and len(stored) == len(ticks)
            and all(np.array_equal(stored[field], ticks[field], equal_nan=stored[field].dtype.kind == "f")
                    for field in ticks.dtype.names))


def append_h5_tick(services, order_book_id, path, file_name, min_start_date, max_end_date,
                   durable=False, delisted=None, revisit=0, entry=False, deadline=None, counted=False,
                   quality="warn"):
    """Bring the tick file of `order_book_id` in `path` up to date; a Stored.

    `durable`: its writes are on disk before this returns.  `delisted`:
    YYYYMMDD the caller's listing says the instrument ended; a file whose
    latest stored day is later is left as it is, without asking the client.
    (The day it ended is still asked again: it may have been stored while
    it was being traded.)  `revisit`: that many last stored days are asked
    again (the latest always is), ended instruments included.  A stored day
    written again has its stored ticks moved to the side store first.
    `entry`: the Stored carries the file's line in the run's version,
    `path` being the root it is of.  `counted`: the Stored gives the ticks
    and days before and after (always with `entry`; without either, None:
    counting every day of a long file is not free).  A failure after the
    file is open tells what it held (`stores.found_before`).  `deadline`:
    the job's Deadline (`corvane.updater.deadlines`): nothing is written or committed
    past it.  `quality`: "off" skips the checks of the days written
    (`corvane.quality`); otherwise the Stored carries their findings, and
    every tick is written.
    """
    h5_file = instrument_file(path, order_book_id, file_name)
    os.makedirs(path, exist_ok=True)
    loader = services.ticks_loader
    layout = (list(loader.COLUMNS), list(loader.FIELDS), np.dtype(loader.DTYPES))
    counting = counted or entry

    with Found() as found, committed_in_time(open_instrument_file(h5_file, durable), deadline) as h5, \
            _DayWriter(h5) as writer:
        # Outside the keeping scope: a refused file is rolled back, not closed.
        members = h5.members()
        check_tick_members(h5_file, members)
        lengths = {name: h5.length(name) for name in members} if counting else None
        before = found.held(_held(lengths))
        if members and delisted is not None and delisted < int(max(members)) and not revisit:
            return Stored(before, before)
        with _keeping_written_days(writer, deadline):
            # Day names are eight digits, so the greatest text is the latest day.
            start_date = revisits.first_tick_day(members, revisit) if members else min_start_date
            listing = services.client.get_price(order_book_id, start_date, max_end_date)
            if listing is None:
                raise LookupError("no trading-day listing for {!r} from {} to {}"
                                  .format(order_book_id, start_date, max_end_date))
        stored = set(members)
        findings = [] if quality != "off" else None
        written, revised = _write_days(services, order_book_id, listing, layout, writer,
                                       revisits.side_store(path, h5_file), stored, lengths, deadline, findings)
        writer.wait()
        after = _held(lengths)
        taken = None
        if entry and (after != before or written):
            # Still inside the file's `with`: the call holds the file while its line is taken.
            tails = {"days": written, "inserted": revisits.inserted(stored, written), "revised": revised,
                     "quality": checks.as_json(findings or ())}
            taken = version_entry(path, h5_file, "tick", h5, before, after, tails)
        return Stored(before, after, tuple(revised), taken, tuple(findings or ()))


def _day_before(held, written, name):
    """YYYYMMDD of the latest day before `name` stored (`held`, in order) or `written` (in the
    listing's order, the latest last); None: none."""
    at = bisect.bisect_left(held, name)
    earlier = [day for day in (held[at - 1] if at else None, next(reversed(written), None))
               if day is not None and day < name]
    return int(max(earlier)) if earlier else None


def _held(lengths):
    """Held of the file's {day: ticks}; None when not counted."""
    return None if lengths is None else Held(sum(lengths.values()), len(lengths))


def _write_days(services, order_book_id, listing, layout, writer, side, stored, lengths, deadline=None,
                findings=None):
    """Write each listed day the client has a table for; ({day: [ticks, last tick's digest]}
    written, [YYYYMMDD of the stored days written again]).  `lengths` ({day: ticks}, or
    None: not counted) follows what is written.  No day is handed to the engine past `deadline`.
    `findings` (None: not checked) gets the quality checks' findings of each day written."""
    h5 = writer.h5
    written = {}
    revised = []
    held = sorted(stored)
    for trading_date in pd.DatetimeIndex(listing.index).date:
        name = trading_date.strftime(DAY_NAME)
        with _keeping_written_days(writer, deadline):
            ticks = _day_ticks(services, order_book_id, trading_date, *layout, name in stored)
        if ticks is None or (name in stored and _stored_as(h5, name, ticks)):
            continue
        if deadline is not None:
            deadline.check()
        if findings is not None:
            findings.extend(checks.tick_findings(int(name), ticks, _day_before(held, written, name)))
        if name in stored:
            writer.wait()
            revised.append(revisits.tick_changed(h5, side, name, ticks))
        else:
            writer.write(name, ticks)
        if lengths is not None:
            lengths[name] = len(ticks)
        written[name] = [len(ticks), tail_digest(ticks[-1]) if len(ticks) else None]
    return written, revised
