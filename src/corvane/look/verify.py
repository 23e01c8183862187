"""Checks that a bundle's files hang together, and optionally their values.

Nothing in the bundle is changed; what the check of the versions
(`corvane.history.check`) found sound is kept under `.corvane/` for the
next.  A finding names the file, the check, where (a row, a trading date
or a tick day) and what is wrong; a finding never stops the walk, and a
file that cannot be read is a finding.  The checks of a file's content are
`corvane.look.checks`; here are the leftovers of interrupted updates (as
the engine names and locks them), the walk, the calendar and the output.
`repair` only runs the recovery that an update's open runs anyway (roll
back a journal, remove a dead writer's temporary and the lock file no
writer holds).
"""
import concurrent.futures
import errno
import multiprocessing
import os
import warnings
from typing import NamedTuple

import h5py
import numpy as np
import pandas as pd

from corvane import _engine
from corvane import layout as files
from corvane import formats
from corvane.errors import VersionError
from corvane.history import check as version_check
from corvane.history import market
from corvane.look.checks import check_minbar, check_tick, one_line

__all__ = ["Finding", "Options", "Report", "verify", "check_file", "recover", "client_source",
           "text_lines", "as_json", "format_finding", "summary_line"]


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
    all_versions: bool = False


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


# ---------------------------------------------------------------- leftovers

def _leftovers(h5_file):
    left = {kind: path for kind, path in formats.companion_paths(h5_file).items() if os.path.lexists(path)}
    # A killed writer's lock goes with its journal or temporary, so it is
    # named only alone: what a writer killed before it journalled leaves.
    lock = formats.lock_path(h5_file)
    if not left and _engine.lock_state(h5_file) in ("stale", "foreign"):
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
    if repair and any(kind != "lock" or _engine.lock_state(h5_file) == "stale" for kind in left):
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
        elif _engine.lock_state(h5_file) == "foreign":
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

def check_file(h5_file, label, options):
    """FileResult of one instrument's file; never raises for what the file holds."""
    found, repaired = _leftover_findings(h5_file, options.repair)
    days = []
    if os.path.exists(h5_file):
        try:
            # h5py for the storage, as a second opinion; the engine's reader for the rows.
            with h5py.File(h5_file, "r") as h5, _engine.Reader(h5_file) as reader:
                if label == files.TICK_KIND:
                    more, days = check_tick(h5, reader, options)
                else:
                    more, days = check_minbar(h5, reader, label, options)
            found += more
        except OSError as error:
            if error.errno not in (errno.EAGAIN, errno.EWOULDBLOCK):
                found.append(("unreadable", "", one_line(error)))
            else:
                # A writer holds the file: its journal or temporary file is live, not left over.
                found = [("busy", "", "an update is writing the file now; run verify again after it")]
        except Exception as error:  # a damaged file is a finding, whatever h5py makes of it
            found.append(("unreadable", "", one_line(error)))
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


def missing_days(client, result, suspended=()):
    """Findings for trading days between a file's first and last stored day that it lacks, but for
    those a run found `suspended` (the client served no bars for them)."""
    stored = result.days
    if not stored:
        return []
    expected = listed_days(client, formats.order_book_id_of(result.file), stored[0], stored[-1])
    absent = sorted(set(expected) - set(stored) - set(suspended))
    if not absent:
        return []
    shown = ", ".join(str(day) for day in absent[:5]) + (", ..." if len(absent) > 5 else "")
    return [Finding(result.file, "missing-day", "date {}".format(absent[0]),
                    "{} trading day(s) between {} and {} are not stored: {}".format(
                        len(absent), stored[0], stored[-1], shown))]


def unlisted_days(client, result):
    """(findings, notes) for tick days stored under a name the client's calendar lists as no trading day.

    The client lists trading days only up to its own clock, which may stand
    before days a file holds (a file filled by a client whose clock ran
    later): those days are not judged, and a note says so.
    """
    stored = result.days
    if not stored:
        return [], []
    listed = {int(pd.Timestamp(day).strftime(formats.DAY_NAME))
              for day in client.get_trading_dates(stored[0], formats.MAX_END_DATE)}
    horizon = max(listed, default=0)
    extra = [day for day in stored if day not in listed and day <= horizon]
    later = [day for day in stored if day > horizon]
    notes = ["{}: {} stored day(s) after the client's last trading day {} not checked against its "
             "calendar".format(result.file, len(later), horizon or "(none listed)")] if later else []
    if not extra:
        return [], notes
    shown = ", ".join(str(day) for day in extra[:5]) + (", ..." if len(extra) > 5 else "")
    return [Finding(result.file, "not-trading-day", "day {}".format(extra[0]),
                    "{} stored day(s) are named for days that are not trading days: {}".format(
                        len(extra), shown))], notes


def _calendar(client_source, results, suspended=None):
    """(findings, notes) of the missing-day check against the client's listing; `suspended`:
    {order_book_id: days} the runs found the client had no bars for."""
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
            held = (suspended or {}).get(formats.order_book_id_of(result.file), ())
            found += missing_days(client, result, held)
            if result.label == files.TICK_KIND:
                more, later = unlisted_days(client, result)
                found += more
                notes += later
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
        finding = Finding(h5_file, "unreadable", "", "the reading process failed: " + one_line(error))
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
    # The log of versions against the files.
    walked = version_check.check_versions(path, options.all_versions, options.repair)
    from_log, log_repaired = version_check.check_log(path, kind, options.repair, walked)
    findings += [Finding(*finding) for finding in from_log]
    repaired += log_repaired
    notes = list(walked.notes)
    if options.data:
        more, calendar_notes = _calendar(client_source, results, _suspended(path, notes))
        findings += more
        notes += calendar_notes
    findings.sort(key=lambda finding: finding.file)
    return Report(path, kind, len(work), findings, repaired, notes)


def _suspended(path, notes):
    """{order_book_id: days} the runs on `path` found suspended; {} with a note when their record is damaged."""
    try:
        return market.facts_as_of(path).suspended
    except VersionError as error:
        notes.append("suspended days not known: {}".format(error))
        return {}


def client_source(services):
    """A function readying the platform's client as the update workers do, then giving it."""
    def ready():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            services.initializer()
        return services.client
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
