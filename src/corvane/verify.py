"""Checks that a bundle's files hang together, and optionally their values.

Every check reads with h5py and writes nothing.  A finding names the file,
the check, where (a row, a trading date or a tick day) and what is wrong; a
finding never stops the walk, and a file that cannot be read is a finding.
The structure checks read "index", the `datetime` column and metadata only;
`data` reads every field.  `repair` only runs the recovery that an update's
open runs anyway (roll back a journal, remove a dead writer's temporary and
the lock file no writer holds).
"""
import concurrent.futures
import errno
import fcntl
import multiprocessing
import os
import stat
import warnings
from typing import NamedTuple

import h5py
import numpy as np
import pandas as pd

from corvane import _engine
from corvane import bundle_files as files
from corvane import formats
from corvane.formats import DATA, INDEX

PRICES = ("open", "high", "low", "close")
# An option's price often sits a few steps above the smallest one, where one
# step is a move of 20% or 100%: an option's move is a jump only when it is
# also this many times its own typical (median non-zero) move.
OPTION_TYPICAL_MOVES = 500


class Finding(NamedTuple):
    file: str
    check: str
    where: str
    detail: str


class Options(NamedTuple):
    layouts: files.Layouts
    data: bool = False
    repair: bool = False
    max_jump: float = 0.2


class FileResult(NamedTuple):
    file: str
    findings: list
    repaired: list   # what the recovery did, one text per leftover
    days: list       # stored trading days (for the calendar check), when `data`
    label: str = ""  # the sub-directory, or files.TICK_KIND


class Report(NamedTuple):
    path: str
    kind: str
    files: int
    findings: list
    repaired: list   # (file, what was done)
    notes: list


# ---------------------------------------------------------------- helpers

def _rows(check, mask, describe, label="row"):
    """One finding for the rows under `mask`: the first, and how many more."""
    at = np.flatnonzero(mask)
    if not len(at):
        return []
    first = int(at[0])
    others = len(at) - 1
    more = " (and {} more {}{})".format(others, label, "s" if others > 1 else "") if others else ""
    return [(check, "{} {}".format(label, first), describe(first) + more)]


def _after(pairs):
    """A mask over rows from one over neighbouring pairs: the later row of each pair."""
    return np.r_[False, pairs]


def _difference(actual, expected):
    """The first field where two record types part, in words."""
    def fields(dtype):
        return [(name, str(dtype.fields[name][0]), dtype.fields[name][1]) for name in dtype.names or ()]
    for k, (have, want) in enumerate(zip(fields(actual), fields(expected))):
        if have != want:
            return "field {} is {} {} at offset {}, expected {} {} at offset {}".format(k, *have, *want)
    if len(fields(actual)) != len(fields(expected)):
        return "{} fields, expected {}".format(len(fields(actual)), len(fields(expected)))
    return "{} bytes a record, expected {}".format(actual.itemsize, expected.itemsize)


def _storage(name, dataset, dtype):
    """Findings on a dataset's record type and the storage the stores write."""
    found = []
    if dataset.ndim != 1:
        found.append(("storage", name, "has {} dimensions, not 1".format(dataset.ndim)))
    if dataset.dtype != dtype:
        found.append(("record-type", name,
                      "records differ from the store's: " + _difference(dataset.dtype, dtype)))
    if dataset.chunks is None:
        found.append(("storage", name, "is not chunked"))
    if dataset.compression != "gzip":
        found.append(("storage", name, "is not deflate-compressed ({})".format(dataset.compression)))
    if dataset.maxshape[:1] != (None,):
        found.append(("storage", name, "cannot grow (maximum shape {})".format(dataset.maxshape)))
    return found


def _read(where, dataset, fields=None):
    """(records, findings): a dataset read whole (only `fields` when given), or its chunks that fail.

    A chunk that does not inflate makes h5py fail the whole read without
    saying where; reading chunk by chunk names the rows it held.
    """
    try:
        return (dataset.fields(fields)[()] if fields else dataset[()]), []
    except OSError as error:
        found = _failing_chunks(where, dataset)
        if not found:
            raise error
        return None, found


def _failing_chunks(where, dataset):
    rows = dataset.chunks[0] if dataset.chunks else max(len(dataset), 1)
    failing = []
    for first in range(0, len(dataset), rows):
        stop = min(first + rows, len(dataset))
        try:
            dataset[first:stop]
        except OSError as error:
            failing.append((first, stop, error))
    if not failing:
        return []
    first, stop, error = failing[0]
    others = len(failing) - 1
    more = " (and {} more chunk{})".format(others, "s" if others > 1 else "") if others else ""
    rows = "rows {}..{}".format(first, stop - 1)
    return [("chunk", "{} {}".format(where, rows) if where else rows,
             "the chunk holding these rows does not inflate: {}{}".format(_one_line(error), more))]


def _members(h5, expected):
    """Findings on groups, datasets and attributes the stores never write."""
    found = []
    for name, member in h5.items():
        if not isinstance(member, h5py.Dataset):
            found.append(("unexpected-member", name, "is a group; the stores write datasets only"))
        elif expected is not None and name not in expected:
            found.append(("unexpected-member", name, "is not a dataset the store writes"))
    if len(h5.attrs):
        found.append(("attributes", "", "the file carries attributes {}".format(sorted(h5.attrs))))
    return found


# ---------------------------------------------------------------- minute bars

def _index_findings(index, rows):
    dates, line_no = index["date"].astype(np.int64), index["line_no"].astype(np.int64)
    found = []
    if not len(index):
        return [("index-empty", INDEX, "\"{}\" holds no rows".format(INDEX))]
    found += _rows("index-order", _after(dates[1:] <= dates[:-1]),
                   lambda k: "date {} follows {}".format(dates[k], dates[k - 1]), "index row")
    if line_no[0] != 0:
        found.append(("line-no", "index row 0", "line_no is {}, not 0".format(line_no[0])))
    found += _rows("line-no", _after(line_no[1:] <= line_no[:-1]),
                   lambda k: "line_no {} of date {} does not rise above {}".format(
                       line_no[k], dates[k], line_no[k - 1]), "index row")
    found += _rows("line-no", line_no >= rows,
                   lambda k: "line_no {} of date {} is past the end of \"data\" ({} rows)".format(
                       line_no[k], dates[k], rows), "index row")
    return found


def _bars_fit_dates(index, stamps):
    """No bar lies after its trading date, nor before the previous one.

    A night session puts a date's first bars on the evening of the previous
    trading date, and an update run that evening may have stored only those;
    so bars may precede their date, but never reach back further.
    """
    line_no = index["line_no"].astype(np.int64)
    stops = np.append(line_no[1:], len(stamps))
    dates = index["date"].astype(np.int64)
    earliest = np.r_[0, dates[:-1]]
    first_day = files.bar_dates(stamps[line_no])
    last_day = files.bar_dates(stamps[np.maximum(stops - 1, line_no)])
    return _rows("index-bars", (last_day > dates) | (first_day < earliest),
                 lambda k: "bars of date {} lie on {}..{}".format(dates[k], first_day[k], last_day[k]),
                 "index row")


def _bar_values(bars, max_jump, directory):
    """Findings on the values of minute bars of a sub-directory (an instrument type)."""
    found = []
    for name in PRICES:
        values = bars[name].astype(np.float64)
        found += _rows("price", ~(values > 0), lambda k, v=values, n=name: "{} is {}".format(n, v[k]))
    o, h, lo, c = (bars[name].astype(np.float64) for name in PRICES)
    found += _rows("high-low", (lo > np.minimum(o, c)) | (h < np.maximum(o, c)),
                   lambda k: "high {} low {} do not bound open {} and close {}".format(h[k], lo[k], o[k], c[k]))
    found += _amounts(bars)
    typical = OPTION_TYPICAL_MOVES if directory == formats.OPTION_DIRECTORY else None
    found += _jumps("jump", c, max_jump, "close", typical)
    return found


def _amounts(records):
    """Findings on negative (or undefined) volume and turnover."""
    found = []
    for name in ("volume", "total_turnover"):
        values = records[name].astype(np.float64)
        found += _rows("volume", ~(values >= 0), lambda k, v=values, n=name: "{} is {}".format(n, v[k]))
    return found


def _jumps(check, prices, max_jump, name, typical_moves=None):
    """Moves from one record to the next beyond `max_jump`, between positive prices.

    With `typical_moves`, a move must also exceed that many times the
    median of the non-zero moves of these prices.
    """
    before, after = np.r_[np.nan, prices[:-1]], prices
    usable = (before > 0) & (after > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        move = np.where(usable, after / before - 1.0, 0.0)
    beyond = np.abs(move) > max_jump
    step = np.abs(after - before)
    if typical_moves is not None and beyond.any():
        moved = step[usable & (step > 0)]
        beyond &= step > typical_moves * np.median(moved)
    return _rows(check, beyond,
                 lambda k: "{} moves {:+.1%} from {} to {}".format(name, move[k], before[k], after[k]))


def check_minbar(h5, directory, options):
    """(findings, stored trading days) of one minute-bar file open in h5py."""
    found = _members(h5, formats.MINBAR_MEMBERS)
    present = [name for name in formats.MINBAR_MEMBERS if name in h5]
    if not present:
        return found, []  # created, never filled: the next update starts it
    if present == [DATA]:
        found.append(("missing-dataset", INDEX, "\"{}\" is missing beside \"{}\" (an interrupted "
                      "first fill); the next update of this instrument fills the file again"
                      .format(INDEX, DATA)))
    elif present == [INDEX]:
        found.append(("missing-dataset", DATA, "\"{}\" is missing beside \"{}\"; updates of "
                      "this instrument fail until the file is removed".format(DATA, INDEX)))
    expected = {DATA: formats.bar_dtype(directory), INDEX: formats.INDEX_DTYPE}
    usable = True
    for name in present:
        dataset = h5[name]
        if not isinstance(dataset, h5py.Dataset):
            usable = False
            continue
        problems = _storage(name, dataset, expected[name])
        usable = usable and not any(check == "record-type" for check, _, _ in problems)
        found += problems
    if not usable or len(present) < 2:
        return found, []
    data = h5[DATA]
    index, failing = _read(INDEX, h5[INDEX])
    found += failing
    if index is None:
        return found, []
    found += _index_findings(index, len(data))
    # The values need every field; the structure only the one.
    bars, failing = _read(DATA, data, None if options.data else ["datetime"])
    found += failing
    if bars is None:
        return found, [int(day) for day in index["date"]]
    stamps = bars["datetime"]
    found += _rows("datetime-order", _after(stamps[1:] <= stamps[:-1]),
                   lambda k: "datetime {} follows {}".format(stamps[k], stamps[k - 1]))
    if len(index) and not any(check in ("line-no", "index-order") for check, _, _ in found):
        found += _bars_fit_dates(index, stamps)
    if options.data:
        found += _bar_values(bars, options.max_jump, directory)
    return found, [int(day) for day in index["date"]]


# ---------------------------------------------------------------- ticks

def check_tick(h5, options):
    """(findings, stored days) of one tick file open in h5py."""
    found = _members(h5, None)
    days = []
    for name, dataset in h5.items():
        if not isinstance(dataset, h5py.Dataset):
            continue
        if not formats.is_day_name(name):
            found.append(("day-name", name, "dataset name is not a date written YYYYMMDD"))
        else:
            days.append(int(name))
        problems = _storage(name, dataset, options.layouts.ticks)
        found += problems
        if any(check == "record-type" for check, _, _ in problems):
            continue
        day = int(name) if formats.is_day_name(name) else None
        found += [(check, "day {} {}".format(name, where), detail)
                  for check, where, detail in _tick_day(dataset, day, options)]
    return found, sorted(days)


def _tick_day(dataset, day, options):
    """Findings on one tick day stored under the name `day` (None when the name is no date)."""
    ticks, found = _read("", dataset, None if options.data else ["date", "time"])
    if ticks is None:
        return found
    date, time = ticks["date"], ticks["time"]
    key = date.astype(np.int64) * 10 ** 9 + time.astype(np.int64)
    found = _rows("tick-order", _after(key[1:] < key[:-1]),
                  lambda k: "tick at {} {} follows {} {}".format(date[k], time[k], date[k - 1], time[k - 1]))
    if options.data:
        if day is not None:
            # Night ticks are dated the evening before their trading day, never after it.
            found += _rows("tick-date", date.astype(np.int64) > day,
                           lambda k: "tick dated {} {} lies after the trading day it is stored under".format(
                               date[k], time[k]))
            if len(date) and date[-1] < day:
                found.append(("tick-date", "row {}".format(len(date) - 1),
                              "the ticks stored under {} end on {}: they are another day's".format(day, date[-1])))
        last = ticks["last"].astype(np.float64)
        found += _rows("price", ~(last > 0), lambda k: "last is {}".format(last[k]))
        found += _amounts(ticks)
        found += _jumps("jump", last, options.max_jump, "last")
    return found


# ---------------------------------------------------------------- leftovers

def _lock_state(lock):
    """None without a lock file; "live" while a writer holds it, "stale" when
    no writer does (a killed writer's), "foreign" when it is no regular file.

    Tested with a shared flock() of our own, never taken from its holder.
    """
    try:
        fd = os.open(lock, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    except OSError:
        return "foreign"  # a symbolic link planted there (ELOOP), or worse
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return "foreign"
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return "live"
        return "stale"
    finally:
        os.close(fd)


def _leftovers(h5_file):
    left = {kind: path for kind, path in formats.companion_paths(h5_file).items() if os.path.lexists(path)}
    # A killed writer's lock goes with its journal or temporary, so it is
    # named only alone: what a writer killed before it journalled leaves.
    lock = formats.lock_path(h5_file)
    if not left and _lock_state(lock) in ("stale", "foreign"):
        left["lock"] = lock
    return left


def recover(h5_file):
    """Settle what dead writers left beside `h5_file`, as an update's open does.

    The engine's own recovery: a journal rolled back, or dropped when its
    update had passed its commit point; a dead temporary or lock file
    removed. Returns what it found ({'journal': 'none' | 'rolled back' |
    'completed' | 'discarded', 'temporary': bool, 'lock': bool}). A journal
    without its file guards nothing an open could restore: it is left for
    the operator. OSError while a writer works on the file.
    """
    return _engine.recover(h5_file)


def _leftover_findings(h5_file, repair):
    """(findings, repaired) on the hidden files an interrupted update left."""
    left = _leftovers(h5_file)
    repaired, failure = [], None
    # A foreign lock file is the operator's to look at: the engine refuses it.
    if repair and any(kind != "lock" or _lock_state(path) == "stale" for kind, path in left.items()):
        journal = "rolled back"
        try:
            if recover(h5_file)["journal"] == "completed":
                journal = "removed (its update had committed)"
        except OSError as error:
            failure = str(error)
        still = _leftovers(h5_file)
        repaired = ["journal {} {}".format(os.path.basename(path), journal) if kind == "journal"
                    else "{} {} removed".format(kind, os.path.basename(path))
                    for kind, path in left.items() if kind not in still]
        left = still
    found = []
    for kind, path in left.items():
        name = os.path.basename(path)
        if kind == "journal" and not os.path.exists(h5_file):
            detail = "rollback journal {} without its file: it guards nothing; remove it by hand".format(name)
        elif kind == "journal":
            detail = ("rollback journal {} of an interrupted update (or one running now); the next "
                      "update of this instrument, or verify --repair, rolls it back".format(name))
        elif kind == "temporary":
            detail = ("temporary file {} of an interrupted first fill (or one running now); the next "
                      "update of this instrument, or verify --repair, removes it".format(name))
        elif _lock_state(path) == "foreign":
            detail = ("{} is not a writer lock file but a link or other special file where the "
                      "engine keeps its lock; remove it by hand".format(name))
        else:
            detail = ("writer lock file {} of a killed update, held by no writer; the next update "
                      "of this instrument, or verify --repair, removes it".format(name))
        if failure:
            detail += "; repair failed: " + failure
        found.append((kind, "", detail))
    return found, repaired


# ---------------------------------------------------------------- one file

def _one_line(error):
    return " ".join(str(error).split()) or type(error).__name__


def check_file(h5_file, label, options):
    """FileResult of one instrument's file; never raises for what the file holds."""
    found, repaired = _leftover_findings(h5_file, options.repair)
    days = []
    damaged = files.damaged_chunk(h5_file) if os.path.exists(h5_file) else None
    if damaged:
        name, first, stop, detail = damaged
        where = "{} rows {}..{}".format("day " + name if formats.is_day_name(name) else name, first, stop - 1)
        found.append(("chunk", where, "the chunk holding these rows cannot be read: " + detail))
    elif os.path.exists(h5_file):
        try:
            with h5py.File(h5_file, "r") as h5:
                if label == files.TICK_KIND:
                    more, days = check_tick(h5, options)
                else:
                    more, days = check_minbar(h5, label, options)
            found += more
        except OSError as error:
            if error.errno not in (errno.EAGAIN, errno.EWOULDBLOCK):
                found.append(("unreadable", "", _one_line(error)))
            else:
                # A writer holds the file: its journal or temporary file is live, not left over.
                found = [("busy", "", "an update is writing the file now; run verify again after it")]
        except Exception as error:  # a damaged file is a finding, whatever h5py makes of it
            found.append(("unreadable", "", _one_line(error)))
    findings = [Finding(h5_file, check, where, detail) for check, where, detail in found]
    return FileResult(h5_file, findings, repaired, days if options.data else [], label)


# ---------------------------------------------------------------- calendar

def listed_days(client, order_book_id, first, last):
    """Trading days of an instrument from `first` to `last` on which it traded.

    The client's day listing holds suspended days too, flat and without
    volume; they have no bars, so a day without volume is not expected.
    """
    table = client.get_price(order_book_id, first, last)
    if table is None or len(table) == 0:
        return []
    if "volume" in table.columns:
        table = table[table["volume"].to_numpy(dtype=np.float64) > 0]
    stamps = table.index.get_level_values(-1)
    return sorted({day.year * 10000 + day.month * 100 + day.day for day in stamps})


def missing_days(client, result):
    """Findings for trading days between a file's first and last stored day that it lacks."""
    stored = result.days
    if not stored:
        return []
    expected = listed_days(client, formats.order_book_id_of(result.file), stored[0], stored[-1])
    absent = sorted(set(expected) - set(stored))
    if not absent:
        return []
    shown = ", ".join(str(day) for day in absent[:5]) + (", ..." if len(absent) > 5 else "")
    return [Finding(result.file, "missing-day", "date {}".format(absent[0]),
                    "{} trading day(s) between {} and {} are not stored: {}".format(
                        len(absent), stored[0], stored[-1], shown))]


def unlisted_days(client, result):
    """Findings for tick days stored under a name the client's calendar lists as no trading day."""
    stored = result.days
    if not stored:
        return []
    listed = {int(pd.Timestamp(day).strftime(formats.DAY_NAME))
              for day in client.get_trading_dates(stored[0], stored[-1])}
    extra = [day for day in stored if day not in listed]
    if not extra:
        return []
    shown = ", ".join(str(day) for day in extra[:5]) + (", ..." if len(extra) > 5 else "")
    return [Finding(result.file, "not-trading-day", "day {}".format(extra[0]),
                    "{} stored day(s) are named for days that are not trading days: {}".format(
                        len(extra), shown))]


def _calendar(client_source, results):
    """(findings, notes) of the missing-day check against the client's listing."""
    if client_source is None:
        return [], ["missing trading days not checked: the market-data client is not available"]
    try:
        client = client_source()
    except Exception as error:
        return [], ["missing trading days not checked: the market-data client is not available ({})"
                    .format(error)]
    found, notes = [], []
    for result in results:
        try:
            found += missing_days(client, result)
            if result.label == files.TICK_KIND:
                found += unlisted_days(client, result)
        except Exception as error:
            notes.append("{}: missing trading days not checked ({})".format(result.file, error))
    return found, notes


# ---------------------------------------------------------------- the walk

def _work(path, kind):
    return [(h5_file, label)
            for label, directory in files.directories(path, kind)
            for h5_file in files.instrument_paths(directory)]


def _spawned_pool(jobs):
    # Spawned, not forked: h5py's library state must not be copied into a child.
    context = multiprocessing.get_context("spawn")
    return concurrent.futures.ProcessPoolExecutor(max_workers=jobs, mp_context=context)


class _NoProgress:
    total = 0

    def update(self, count=1):
        pass

    def refresh(self):
        pass


def _results(work, options, jobs, progress):
    progress.total = len(work)
    progress.refresh()
    if jobs <= 1 or len(work) <= 1:
        results = []
        for h5_file, label in work:
            results.append(check_file(h5_file, label, options))
            progress.update()
        return results
    with _spawned_pool(min(jobs, len(work))) as pool:
        futures = [pool.submit(check_file, h5_file, label, options) for h5_file, label in work]
        for _ in concurrent.futures.as_completed(futures):
            progress.update()
        return [_outcome(future, h5_file) for future, (h5_file, _) in zip(futures, work)]


def _outcome(future, h5_file):
    # A reader process that died (the HDF5 library crashing on a file) is a finding too.
    try:
        return future.result()
    except Exception as error:
        finding = Finding(h5_file, "unreadable", "", "the reading process failed: " + _one_line(error))
        return FileResult(h5_file, [finding], [], [])


def verify(path, kind=None, options=None, jobs=1, client_source=None, progress=None):
    """Report on the bundle at `path`; BundleError when it is not one.

    `client_source`: a function giving the ready market-data client, called
    only for the missing-day check of `options.data`.  `progress`: a bar
    (tqdm-like: `total`, `refresh()`, `update()`) advanced file by file.
    """
    kind = files.require_kind(path, kind)
    options = options or Options(files.layouts())
    work = _work(path, kind)
    results = _results(work, options, jobs, _NoProgress() if progress is None else progress)
    findings = [finding for result in results for finding in result.findings]
    repaired = [(result.file, what) for result in results for what in result.repaired]
    notes = []
    if options.data:
        more, notes = _calendar(client_source, results)
        findings += more
    findings.sort(key=lambda finding: finding.file)
    return Report(path, kind, len(work), findings, repaired, notes)


def client_source(bundle):
    """A function readying `bundle.lumenfeed` as the update commands do, then giving it."""
    def ready():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            bundle.init_lumenfeed_with_warnings_catch()
        return bundle.lumenfeed
    return ready


# ---------------------------------------------------------------- output

def format_finding(finding):
    where = " at {}".format(finding.where) if finding.where else ""
    return "{}: {}{}: {}".format(finding.file, finding.check, where, finding.detail)


def summary_line(report):
    damaged = len({finding.file for finding in report.findings})
    line = "corvane verify: {} {} files checked under {}: {} finding(s) in {} file(s)".format(
        report.files, report.kind, report.path, len(report.findings), damaged)
    if report.repaired:
        line += ", {} leftover(s) recovered".format(len(report.repaired))
    return line


def text_lines(report):
    lines = ["{}: repaired: {}".format(file, what) for file, what in report.repaired]
    lines += [format_finding(finding) for finding in report.findings]
    lines += ["note: " + note for note in report.notes]
    return lines + [summary_line(report)]


def as_json(report):
    return {
        "path": report.path,
        "kind": report.kind,
        "files": report.files,
        "findings": [finding._asdict() for finding in report.findings],
        "repaired": [{"file": file, "done": what} for file, what in report.repaired],
        "notes": report.notes,
    }
