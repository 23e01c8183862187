"""Reads for research: longer bars, what a table covers, streaming, and Dask.

`read.bars` and `read.bars_many` hand their tables to `finish`; the rest are
behind `read.iter_bars` and `read.dask_bars`.
"""
import numpy as np

from corvane.history import asof
from corvane.read import arrow
from corvane.read import calendars
from corvane.read import gaps
from corvane.read import request
from corvane.read import sessions
from corvane.read import tables
from corvane.layout import BundleError

__all__ = ["BATCH_DAYS", "check_request", "venue_calendars", "finish", "iter_bars",
           "partitions", "read_part", "divisions", "dask_bars"]

# Trading dates a batch of iter_bars: about a year of one instrument.
BATCH_DAYS = 250


def check_request(freq, to):
    """Refuse a bad `freq` or `to` before anything is read."""
    if freq is not None:
        sessions.parse_freq(freq)
    arrow.check_format(to)


def venue_calendars(path, h5_files, version=None):
    """The venues' calendars of many reads, found once for them all (see `finish`)."""
    return calendars.calendars_of(path, h5_files, version)


def finish(path, h5_file, start, end, fields, freq, strict, to, threads=0, calendars=None, version=None,
           version_id=None):
    """The bars of `start` to `end` of one file: checked, gathered to `freq` straight from the
    engine's columns (no table of minute bars in between), with what they cover, as `to`.
    `version`: the one to read (`corvane.history.asof`), the file as it is when None; what the table
    covers, and `strict`, are as of it.  attrs["version"] names it: its id, else `version_id`.
    The engine gathers bars of a day, or of minutes that tile one, as it inflates."""
    opener = asof.opener(version)
    check_request(freq, to)
    if strict:
        gaps.require_whole(path, gaps.order_book_id_of(h5_file), start, end, version)
    if freq is None:
        read = tables.bar_columns(h5_file, start, end, fields, threads, opener=opener)
        if to == "arrow":
            # Straight from the engine's arrays: no DataFrame in between.
            return arrow.from_columns("datetime", read.times, tables.table_columns(read),
                                      _covers(path, h5_file, start, end, freq, calendars, read, version, version_id))
        table = tables.bars_table(read)
    elif sessions.engine_minutes(freq) is not None:
        # Each chunk folded into the longer bars as it is inflated: no column of minute bars.
        read = tables.bar_folds(h5_file, start, end, fields, sessions.way_of, sessions.engine_minutes(freq), threads,
                                opener=opener)
        table = sessions.table_of(*sessions.folded(read.bar_dates, read.ends, freq), read.columns)
    else:
        # A block of whole dates at a time into the same arrays: the minute bars are never all
        # held, and a longer bar never spans two blocks.  A day's bars are found from the index
        # alone: their times are not read.
        parts = []
        daily = sessions.parse_freq(freq) == sessions.DAILY
        for read in tables.bar_blocks(h5_file, start, end, fields, threads, not daily, opener=opener):
            parts.append(sessions.resample_columns(read.times, read.dates[read.first:read.stop], read.per_day,
                                                   read.columns, freq))
        table = sessions.joined(parts)
    table.attrs.update(_covers(path, h5_file, start, end, freq, calendars, read, version, version_id))
    return arrow.shaped(table, to)


def _covers(path, h5_file, start, end, freq, calendars, read, version, version_id):
    covered = gaps.covers(path, h5_file, start, end, freq, calendars, read.dates, version)
    covered["version"] = version.id if version is not None else version_id
    return covered


# ---------------------------------------------------------------- streaming

def date_blocks(dates, batch_days):
    """[(first, last)] of consecutive blocks of at most `batch_days` of `dates`."""
    return [(int(dates[k]), int(dates[min(k + batch_days, len(dates)) - 1]))
            for k in range(0, len(dates), batch_days)]


def iter_bars(path, order_book_ids, start, end, freq, batch_days, fields, strict, to, as_of=None):
    """(order_book_id, table) of each instrument in the order given, and within it of each block
    of `batch_days` stored trading dates in ascending order.  The request is checked and the
    version found now (`as_of`'s, else the newest: `request.pinned`), the files read from it as
    the blocks are asked for: an update beside the stream never shows in its later blocks."""
    check_request(freq, to)
    if isinstance(batch_days, bool) or not isinstance(batch_days, int) or batch_days < 1:
        raise BundleError("batch_days is a whole number of trading dates, at least 1, "
                                         "not {!r}".format(batch_days))
    order_book_ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
    version = request.pinned(path, as_of)
    found = []
    for order_book_id in order_book_ids:
        h5_file = gaps.instrument_file(path, order_book_id)
        found.append((order_book_id, h5_file, request.as_read(version, h5_file, as_of is not None)))
    # The calendars as the stream starts: every block is judged against the same.
    venues = venue_calendars(path, [h5_file for _, h5_file, _ in found], version)
    return _blocks(path, found, start, end, freq, batch_days, fields, strict, to, venues,
                   None if version is None else version.id)


def _blocks(path, found, start, end, freq, batch_days, fields, strict, to, venues, version_id):
    for order_book_id, h5_file, version in found:
        if strict:
            gaps.require_whole(path, order_book_id, start, end, version)
        stored = calendars.stored_days(h5_file, asof.opener(version))[0]
        for first, last in date_blocks(gaps.within(stored, start, end), batch_days):
            yield order_book_id, finish(path, h5_file, first, last, fields, freq, False, to, 0, venues, version,
                                        version_id)


# ---------------------------------------------------------------- Dask

def partitions(path, order_book_ids, start, end, by_year, version=None):
    """[(order_book_id, first, last)] of one instrument, or of one instrument and year, as of `version`."""
    parts = []
    for order_book_id in order_book_ids:
        h5_file = gaps.instrument_file(path, order_book_id)
        held = gaps.within(calendars.stored_days(h5_file, asof.opener(version))[0], start, end)
        if len(held) == 0:
            continue
        years = held // 10000 if by_year else np.zeros(len(held), dtype=np.int64)
        for block in np.split(held, np.flatnonzero(np.diff(years)) + 1):
            parts.append((order_book_id, int(block[0]), int(block[-1])))
    return parts


def read_part(part, bars, path, freq, fields, as_of=None):
    """One partition of `dask_bars`, read where it runs by `bars` (`read.bars`) as of the version `as_of`."""
    order_book_id, first, last = part
    table = bars(path, order_book_id, first, last, columns=fields, freq=freq, as_of=as_of)
    table.insert(0, "order_book_id", order_book_id)
    return table


def divisions(bars, path, parts, freq, fields, as_of=None):
    """The first stamp of each partition and the last of the last, when they are in order; else None."""
    if len({order_book_id for order_book_id, _, _ in parts}) != 1:
        return None
    edges = []
    for order_book_id, first, last in parts:
        head = bars(path, order_book_id, first, first, columns=fields, freq=freq, as_of=as_of).index
        tail = bars(path, order_book_id, last, last, columns=fields, freq=freq, as_of=as_of).index
        edges.append((head[0], tail[-1]))
    if any(edges[k][1] >= edges[k + 1][0] for k in range(len(edges) - 1)):
        return None
    return tuple(head for head, _ in edges) + (edges[-1][1],)


def dask_bars(bars, path, order_book_ids, start, end, freq, fields, by_year, as_of=None):
    """A dask.dataframe of the bars of `order_book_ids`, each partition read on a worker by
    `bars` (`read.bars`, shipped by reference) as of the version `as_of` names, found once
    here (its id is what the workers are given): see `read.dask_bars`."""
    try:
        import dask.dataframe as dd
    except ImportError as error:
        raise ModuleNotFoundError("dask_bars needs Dask's dataframes: pip install 'corvane[dask]' "
                                  "({})".format(error), name="dask") from None

    check_request(freq, "pandas")
    order_book_ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
    if by_year is None:
        by_year = start is None or end is None or end // 10000 > start // 10000
    version, version_id = request.version_of(path, as_of)
    parts = partitions(path, order_book_ids, start, end, by_year, version)
    if not parts:
        raise BundleError("no bars of {} from {} to {} in {}".format(
            ", ".join(order_book_ids), start, end, path))
    as_of = None if version is None else version_id
    first = parts[0]
    meta = read_part((first[0], first[1], first[1]), bars, path, freq, fields, as_of).iloc[:0]
    meta.attrs.clear()
    return dd.from_map(read_part, parts, bars=bars, path=path, freq=freq, fields=fields, as_of=as_of, meta=meta,
                       divisions=divisions(bars, path, parts, freq, fields, as_of), enforce_metadata=False)
