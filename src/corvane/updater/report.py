"""What an update run reports: the closing summary, and the JSON monitoring reads.

The JSON is versioned (`schema`); a failure is given as its precise class
and its message, so that monitoring can tell a busy file from a full disk.
A run's report file says "running" from its start, so that one a killed run
left is never taken for the last run's outcome.
"""
import datetime
import json
import os
from typing import NamedTuple, Optional

from corvane.quality import KINDS as QUALITY_KINDS
from corvane.updater.jobs import Held
from corvane.updater.outcomes import Outcome, brief, first_line
from corvane.whole_files import write_whole

__all__ = ["Report", "Failure", "STATUSES", "SCHEMA", "failed_run", "running_run", "outcome_json", "brief",
           "now"]

# The version of the report's JSON: raised whenever a field changes meaning.
# 3 added `state`, `pid`, `version` and `version_error`; no field of 2 moved.
# 4 added `quality` (the run's mode), each instrument's `quality` (what the
# checks found in the rows it wrote) and the count `quality_findings`; under
# `quality` "error" a finding makes `exit_status` 1.
SCHEMA = 4
# "not_run": selected, but the run failed outside the jobs before reaching it.
# "lost": handed to a Dask cluster whose scheduler was lost before the job's
# outcome came back (its file is whole: as before the job, or after it).
STATUSES = ("new", "updated", "up_to_date", "failed", "interrupted", "not_run", "lost")
# Failures shown with their worker's traceback under --verbose.
FULL_TRACEBACKS = 5


class Failure(NamedTuple):
    """Why a run failed outside its jobs: the exception's precise class and its message."""
    type: str
    message: str

    def __str__(self):
        return "{}: {}".format(self.type, self.message)

    def as_json(self):
        return {"type": self.type, "message": self.message}


def now():
    """The moment, as the report writes it: local time with its offset, to the second."""
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


class Report(NamedTuple):
    command: str
    path: str
    words: list
    unresolved: list
    outcomes: list
    # Why the run failed outside the jobs, or None.
    error: Optional[Failure] = None
    started: Optional[str] = None
    finished: Optional[str] = None
    client: Optional[dict] = None   # the market-data client: module, version
    # The version the run committed (its id), or None.
    version: Optional[str] = None
    # Why the run's version could not be committed, or None.
    version_error: Optional[Failure] = None
    # "running" while the run works (its exit status unknown yet), else "finished".
    state: str = "finished"
    # The run's quality mode (`UpdateOptions.quality`): under "error" a finding fails the run.
    quality: str = "warn"

    @property
    def counts(self):
        counts = {status: 0 for status in STATUSES}
        for outcome in self.outcomes:
            counts[outcome.status] += 1
        counts["instruments"] = len(self.outcomes)
        counts["rows_added"] = sum(outcome.rows_added for outcome in self.outcomes)
        counts["days_revised"] = sum(len(outcome.revised) for outcome in self.outcomes)
        counts["quality_findings"] = sum(len(outcome.findings) for outcome in self.outcomes)
        return counts

    @property
    def found(self):
        """The outcomes whose rows the quality checks found anything in."""
        return [outcome for outcome in self.outcomes if outcome.findings]

    @property
    def failed(self):
        return [outcome for outcome in self.outcomes if outcome.status == "failed"]

    @property
    def exit_status(self):
        """0 all went well; 1 a job failed, a word matched nothing or the run failed; 130 interrupted."""
        if any(outcome.status == "interrupted" for outcome in self.outcomes):
            return 130
        refused = self.quality == "error" and bool(self.found)
        return 1 if self.failed or self.unresolved or self.error or self.version_error or refused else 0

    def summary(self, verbose=False):
        """The closing summary: counts, then one line per failed instrument."""
        counts = self.counts
        line = ("corvane: {instruments} instruments: {new} new, {updated} updated, "
                "{up_to_date} up to date, {failed} failed".format(**counts))
        if counts["interrupted"]:
            not_started = sum(1 for o in self.outcomes if o.status == "interrupted" and not o.attempts)
            line += ", {} interrupted ({} not started)".format(counts["interrupted"], not_started)
        if counts["lost"]:
            line += ", {} lost".format(counts["lost"])
        line += "; {} rows added".format(counts["rows_added"])
        if counts["days_revised"]:
            line += "; {} days revised in {} instruments".format(
                counts["days_revised"], sum(1 for outcome in self.outcomes if outcome.revised))
        if counts["quality_findings"]:
            line += "; quality: {} findings in {} instruments ({})".format(
                counts["quality_findings"], len(self.found), ", ".join(_kinds(self.found)))
        if self.unresolved:
            line += "; matched nothing: {}".format(" ".join(self.unresolved))
        lines = [line] + _finding_lines(self.found, verbose or self.quality == "error")
        for outcome in self.failed:
            message = outcome.error_message
            if not verbose:
                message = outcome.error_brief or first_line(message)
            lines.append("failed {}: {}: {}".format(outcome.order_book_id, outcome.error_type, message))
        if verbose:
            for outcome in self.failed[:FULL_TRACEBACKS]:
                lines.append("--- {}\n{}".format(outcome.order_book_id, (outcome.traceback or "").rstrip()))
        return "\n".join(lines)

    def __str__(self):
        return self.summary()

    def as_json(self, exit_status=None):
        from corvane import __version__

        running = self.state == "running"
        if exit_status is None and not running:
            exit_status = self.exit_status
        return {
            "schema": SCHEMA,
            "state": self.state,
            "pid": os.getpid(),
            "command": self.command,
            "corvane": __version__,
            "client": self.client,
            "started": self.started,
            "finished": self.finished,
            "path": self.path,
            "words": list(self.words),
            "unresolved": list(self.unresolved),
            "error": self.error.as_json() if self.error else None,
            "version": self.version,
            "version_error": self.version_error.as_json() if self.version_error else None,
            "exit_status": exit_status,
            "quality": self.quality,
            "counts": self.counts,
            "instruments": [outcome_json(outcome) for outcome in self.outcomes],
        }

    def json_text(self, exit_status=None):
        return json.dumps(self.as_json(exit_status), ensure_ascii=False, indent=1) + "\n"

    def write_json(self, file_name, exit_status=None):
        """Replace `file_name` with the report as a whole, never a part of it:
        monitoring reads the file at any moment."""
        write_whole(file_name, self.json_text(exit_status), durable=False)


# Findings named one a line in the summary, past which a count says the rest.
SHOWN_FINDINGS = 10


def _kinds(found):
    """The kinds of the findings of the outcomes `found`, each once, in the checks' order."""
    kinds = {finding.kind for outcome in found for finding in outcome.findings}
    return [kind for kind in QUALITY_KINDS if kind in kinds]


def _finding_lines(found, named):
    """One line per finding of the outcomes `found` when they are `named` (up to SHOWN_FINDINGS)."""
    if not named:
        return []
    listed = [(outcome.order_book_id, finding) for outcome in found for finding in outcome.findings]
    lines = ["quality {}: {} on {}: {} row{}, first {}".format(
        order_book_id, finding.kind, finding.date, finding.count, "s" if finding.count > 1 else "", finding.example)
        for order_book_id, finding in listed[:SHOWN_FINDINGS]]
    if len(listed) > SHOWN_FINDINGS:
        lines.append("quality: {} more findings in the report".format(len(listed) - SHOWN_FINDINGS))
    return lines


def failed_run(command, path, words, error, not_reached=(), unresolved=(), started=None, client=None):
    """The Report of a run that failed outside the jobs, with the instruments it did not reach."""
    return Report(command, path, list(words), list(unresolved),
                  [Outcome(oid, "not_run") for oid in sorted(not_reached)], error,
                  started, now(), client)


def running_run(command, path, words, started=None, client=None):
    """The Report a run writes as it starts: no outcome, no exit status, nothing finished."""
    return Report(command, path, list(words or ()), [], [], None, started or now(), None, client,
                  state="running")


def outcome_json(outcome):
    """One instrument of the report; null rows for a file that did not exist or was not read."""
    before, after = outcome.before or Held(None, None), outcome.after or Held(None, None)
    error = None
    if outcome.error_type is not None:
        error = Failure(outcome.error_type, outcome.error_message).as_json()
    return {
        "order_book_id": outcome.order_book_id,
        "status": outcome.status,
        "rows_before": before.rows,
        "rows_after": after.rows,
        "days_before": before.days,
        "days_after": after.days,
        "attempts": outcome.attempts,
        "retries": max(outcome.attempts - 1, 0),
        "worker_lost": outcome.worker_lost,
        "revised": list(outcome.revised),
        "quality": [finding.as_json() for finding in outcome.findings],
        "seconds": round(outcome.seconds, 3),
        "error": error,
    }
