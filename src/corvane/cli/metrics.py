"""`--metrics FILE.prom`: what a command did, for an exporter's text-file collector.

The series are plain data (name, labels, value) made from a command's
report or table by the functions here; `exposition` turns them into the
text format, and `Run` writes the file whole as the command ends, on every
exit.  Every series carries the labels `command`, `kind` and `root`, so that
the files of several commands and bundles in one directory never give the
same series twice.  A name's HELP and TYPE are declared once, in FAMILIES:
the collector refuses a name whose HELP differs between two files.
"""
import functools
import math
import os
import re
import sys
import time
from collections import Counter
from typing import NamedTuple

import click

from corvane.history.layout import history_dir
from corvane.whole_files import write_whole

__all__ = ["Sample", "FAMILIES", "exposition", "run_series", "update_series", "quality_series",
           "status_series", "verify_series", "size_series", "previous_success", "exit_status_of", "Run",
           "Ended", "metrics_option", "recorded"]

PREFIX = "corvane_"
LAST_SUCCESS = PREFIX + "last_success_timestamp_seconds"

# name (without the prefix): (type, help)
FAMILIES = {
    "last_run_start_timestamp_seconds": ("gauge", "When the command's last run started (unix seconds)."),
    "last_run_end_timestamp_seconds": ("gauge", "When the command's last run ended (unix seconds)."),
    "last_success_timestamp_seconds": ("gauge", "When a run of the command last exited 0 (unix seconds); "
                                       "0 when none has."),
    "exit_status": ("gauge", "The exit status of the command's last run."),
    "bundle_bytes": ("gauge", "Bytes of the bundle's files under its root, its history left out."),
    "history_bytes": ("gauge", "Bytes of the bundle's history (.corvane under its root)."),
    "update_instruments": ("gauge", "Instruments of the last update run, by outcome."),
    "update_rows_added": ("gauge", "Rows the last update run added."),
    "update_days_revised": ("gauge", "Stored days the last update run replaced with a newer answer."),
    "update_quality_findings": ("gauge", "Quality findings in the rows the last update run wrote, by check."),
    "status_instruments": ("gauge", "Instruments the last status looked at."),
    "status_flagged_instruments": ("gauge", "Instruments the last status found stale, missing days, "
                                   "short or unreadable, by finding."),
    "status_flagged_days": ("gauge", "Trading days the last status found missing or short."),
    "verify_files": ("gauge", "Files the last verify checked."),
    "verify_damaged_files": ("gauge", "Files with at least one finding of the last verify."),
    "verify_findings": ("gauge", "Findings of the last verify, by check."),
}
_NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*\Z")
_SAMPLE = re.compile(r'(?P<name>[a-zA-Z_:][a-zA-Z0-9_:]*)\{(?P<labels>(?:[^"}]|"(?:[^"\\]|\\.)*")*)\}\s+(?P<value>\S+)')
_LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"')


class Sample(NamedTuple):
    name: str      # without the prefix: a key of FAMILIES
    labels: dict
    value: float


# ---------------------------------------------------------------- the text format

def escape(value):
    return str(value).replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')


def _unescape(value):
    return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), value)


def number(value):
    value = float(value)
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    return str(int(value)) if value.is_integer() and abs(value) < 2 ** 53 else repr(value)


def exposition(samples):
    """The text format of `samples`: each name's HELP and TYPE, then its samples; ends with a newline."""
    by_name = {}
    for sample in samples:
        by_name.setdefault(sample.name, []).append(sample)
    lines = []
    for name, group in by_name.items():
        kind, text = FAMILIES[name]
        full = PREFIX + name
        assert _NAME.match(full), full
        lines += ["# HELP {} {}".format(full, text.replace("\\", "\\\\").replace("\n", "\\n")),
                  "# TYPE {} {}".format(full, kind)]
        for sample in group:
            labels = ",".join('{}="{}"'.format(key, escape(value)) for key, value in sample.labels.items())
            lines.append("{}{{{}}} {}".format(full, labels, number(sample.value)))
    return "".join(line + "\n" for line in lines)


def previous_success(file_name, labels):
    """(root, time) of the last success a previous file gave for `labels`, its root label taken
    from the file when `labels` has none; (root, None) when it gave none or is missing, unreadable
    or garbled."""
    root = labels.get("root")
    try:
        with open(file_name, encoding="utf-8", errors="replace") as previous:
            text = previous.read(1 << 20)
    except (OSError, ValueError):
        return root, None
    for line in text.splitlines():
        found = _SAMPLE.match(line.strip())
        if not found or found.group("name") != LAST_SUCCESS:
            continue
        held = {key: _unescape(value) for key, value in _LABEL.findall(found.group("labels"))}
        if "root" not in held or held != dict(labels, root=held["root"] if root is None else root):
            continue
        try:
            value = float(found.group("value"))
        except ValueError:
            return root, None
        return held["root"], value if math.isfinite(value) and value >= 0 else None
    return root, None


# ---------------------------------------------------------------- series
# Each gives its samples with their own labels only: `Run` adds the run's.

def run_series(started, ended, status, last_success):
    """The run's own series: its times, its exit status, the last success (0: none yet)."""
    return [Sample("last_run_start_timestamp_seconds", {}, round(started, 3)),
            Sample("last_run_end_timestamp_seconds", {}, round(ended, 3)),
            Sample("last_success_timestamp_seconds", {}, round(last_success or 0, 3)),
            Sample("exit_status", {}, status)]


def _tree_bytes(top, skip=None):
    total = 0
    for directory, names, file_names in os.walk(top):
        if skip is not None:
            names[:] = [name for name in names if os.path.join(directory, name) != skip]
        for name in file_names:
            try:
                total += os.stat(os.path.join(directory, name)).st_size
            except OSError:
                continue    # gone since listed (a temporary), or a broken link
    return total


def size_series(root):
    """Bytes of the bundle at `root` and of its history; nothing when `root` is no directory."""
    if not root or not os.path.isdir(root):
        return []
    history = history_dir(root)
    return [Sample("bundle_bytes", {}, _tree_bytes(root, skip=history)),
            Sample("history_bytes", {}, _tree_bytes(history) if os.path.isdir(history) else 0)]


def quality_series(report):
    """The quality checks' findings in the rows an update wrote, by check (a finding: one check on
    one trading date of one instrument); none for a report whose outcomes hold none."""
    found = Counter(finding.kind for outcome in report.outcomes for finding in getattr(outcome, "findings", ()))
    return [Sample("update_quality_findings", {"check": kind}, count) for kind, count in sorted(found.items())]


def update_series(report):
    """An update report's series: instruments by outcome, rows added, days revised, quality."""
    from corvane.updater.report import STATUSES

    counts = report.counts
    return ([Sample("update_instruments", {"outcome": status}, counts[status]) for status in STATUSES]
            + [Sample("update_rows_added", {}, counts["rows_added"]),
               Sample("update_days_revised", {}, counts["days_revised"])]
            + quality_series(report))


def status_series(table):
    """A coverage table's series: instruments looked at, those flagged by finding, the days."""
    flagged = {"stale": 0, "missing": 0, "short": 0, "unreadable": 0}
    days = {"missing": 0, "short": 0}
    for row in table.itertuples(index=False):
        if row.error:
            flagged["unreadable"] += 1
            continue
        flagged["stale"] += bool(row.stale)
        for finding in days:
            held = len(getattr(row, finding))
            flagged[finding] += bool(held)
            days[finding] += held
    return ([Sample("status_instruments", {}, len(table))]
            + [Sample("status_flagged_instruments", {"finding": name}, count) for name, count in flagged.items()]
            + [Sample("status_flagged_days", {"finding": name}, count) for name, count in days.items()])


def verify_series(report):
    """A verify report's series: files checked, files with findings, findings by check."""
    checks = Counter(finding.check for finding in report.findings)
    return ([Sample("verify_files", {}, report.files),
             Sample("verify_damaged_files", {}, len({finding.file for finding in report.findings}))]
            + [Sample("verify_findings", {"check": check}, count) for check, count in sorted(checks.items())])


# ---------------------------------------------------------------- writing

def exit_status_of(error):
    """The exit status a command ends with on `error`, as click gives it (Ctrl-C: 1, "Aborted!")."""
    if isinstance(error, SystemExit):
        code = error.code
        return code if isinstance(code, int) else (0 if code is None else 1)
    if isinstance(error, (click.exceptions.Exit, click.ClickException)):
        return error.exit_code
    return 1


class Run:
    """One command's run, for its metrics file: started when made, written by `finish`.

    `file_name` None: nothing is written.  `kind` and `root` label every
    series, with the command.
    """

    def __init__(self, file_name, command, kind, root):
        self.file_name, self.command, self.kind, self.root = file_name, command, kind, root
        self.started = time.time()

    def finish(self, status, series=(), roots=None):
        """Write the file of a run ending with `status`, and return `status`.

        `series`: the run's samples (their own labels only).  `roots`, instead:
        [(kind, root, samples)], one set of series each (verify, over a folder
        holding a bundle of each kind).  A file that cannot be written is one
        line on standard error.
        """
        if not self.file_name:
            return status
        ended, samples = time.time(), []
        for kind, root, own in roots or [(self.kind, self.root, series)]:
            # Refused before PATH was taken: the previous run's root, so its series stay in place.
            named, last = previous_success(self.file_name, {"command": self.command, "kind": kind or "",
                                                            "root": root})
            labels = {"command": self.command, "kind": kind or "", "root": named or ""}
            last = ended if status == 0 else last
            samples += [Sample(sample.name, dict(labels, **sample.labels), sample.value)
                        for sample in run_series(self.started, ended, status, last) + size_series(root) + list(own)]
        try:
            write_whole(self.file_name, exposition(samples), durable=False)
        except OSError as error:
            click.echo("corvane: cannot write the metrics to {}: {}".format(
                self.file_name, error.strerror or error), err=True)
        return status

    def failed(self, error):
        """Write the file of a run ending on `error` (which the caller raises on)."""
        return self.finish(exit_status_of(error))


def metrics_option(function):
    return click.option(
        "--metrics", "metrics_file", type=click.Path(), metavar="FILE.prom",
        help="Write what the run did as metrics, in the text format of an exporter's text-file "
             "collector, replacing FILE whole on every exit; a file that cannot be written is a "
             "line on standard error, not a failure.")(function)


class Ended(NamedTuple):
    """How a command that `recorded` wraps ended: its exit status, and its series as `Run.finish` takes them."""
    status: int
    series: tuple = ()
    roots: list = None


def recorded(command, kind=None):
    """A command's function that returns `Ended`, made to write its --metrics on every exit and
    exit with its status.  PATH is the root; its --kind, else `kind`, the kind."""
    def wrap(function):
        @functools.wraps(function)
        def run(*args, metrics_file=None, **params):
            this = Run(metrics_file, command, params.get("kind") or kind, params.get("path"))
            try:
                ended = function(*args, **params)
            except BaseException as error:
                this.failed(error)
                raise
            sys.exit(this.finish(ended.status, ended.series, ended.roots))
        return run
    return wrap
