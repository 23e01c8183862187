"""What history takes on disk as inspect shows it, and how verify names what a run left
when it ended without its version (its commit failed) against what a killed run left."""
import errno
import json
import os
import signal
import subprocess
import sys

import pytest
from click.testing import CliRunner

from corvane.cli import main
from corvane.history import check as version_check
from corvane.history import commits
from corvane.history import keeping
from corvane.history import layout as history
from corvane.history import versions
from corvane.look import inspect
from corvane import whole_files
import test_versions
from test_versions import FIRST, LATER, STOCK, STOCK_FILE, commit_now, revise_last_days

inline, market = test_versions.inline, test_versions.market

ENDED = "marker of a run that ended without committing, whose files no version covers yet"
KILLED = "marker of a killed run whose files no version covers yet"


def walked(top):
    """The bytes of every file under `top`, counted here apart from the code under test."""
    return sum(os.path.getsize(os.path.join(directory, name)) for directory, _, names in os.walk(top)
               for name in names)


# ---------------------------------------------------------------- inspect's history bytes

def test_inspect_shows_the_bytes_under_the_hidden_directory_in_text_and_json(market, tmp_path):
    market(tmp_path, FIRST)
    for days_back in (1, 2):
        revise_last_days(tmp_path, days_back)
        commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    keeping.tag(str(tmp_path), "paper")
    hidden = history.history_dir(str(tmp_path))
    parts = {"manifests": walked(history.versions_dir(str(tmp_path))),
             "segments": walked(history.superseded_root(str(tmp_path)))}
    assert parts["manifests"] and parts["segments"]
    expected = dict(parts, other=walked(hidden) - sum(parts.values()), total=walked(hidden))
    assert expected["other"]        # the tag and the commit lock

    shown = CliRunner().invoke(main, ["inspect", str(tmp_path), "--json"])
    assert shown.exit_code == 0, shown.output
    assert json.loads(shown.output)["history_bytes"] == expected
    shown = CliRunner().invoke(main, ["inspect", str(tmp_path)])
    assert shown.exit_code == 0, shown.output
    assert shown.output.splitlines()[-1] == "history (.corvane/, now): {} = manifests {}, superseded segments " \
        "{}, other {}".format(*(inspect.size(expected[part]) for part in ("total", "manifests", "segments", "other")))


def test_a_bundle_without_history_shows_none(market, tmp_path, monkeypatch):
    monkeypatch.setattr(commits, "ENABLED", False)
    market(tmp_path, FIRST)
    assert inspect.history_bytes(str(tmp_path)) == {"manifests": 0, "segments": 0, "other": 0, "total": 0}


# ---------------------------------------------------------------- ended without committing, or killed

def failed_commit(market, monkeypatch, root):
    """A run whose manifest write meets a full disk, and whose temporary's removal fails too;
    (its report, the temporary it left)."""
    left = []

    def full(step):
        if step == "written":
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    remove = os.remove

    def removal_failing(path, *args, **kwargs):
        if os.path.dirname(path) == history.versions_dir(root) and history.is_temporary(os.path.basename(path)):
            left.append(path)
            raise OSError(errno.EIO, os.strerror(errno.EIO), path)
        return remove(path, *args, **kwargs)
    with monkeypatch.context() as patched:
        patched.setattr(commits, "_step", full)
        patched.setattr(whole_files.os, "remove", removal_failing)
        report = market(root, LATER)
    return report, left


def killed_run(root):
    """The marker of a run killed outright after it began."""
    code = ("import os, signal, sys\nfrom corvane.history import commits\n"
            "recorder = commits.Recorder(sys.argv[1], 'minbar')\nrecorder.begin([sys.argv[2]])\n"
            "print(recorder.marker, flush=True)\nos.kill(os.getpid(), signal.SIGKILL)\n")
    done = subprocess.run([sys.executable, "-c", code, root, STOCK], capture_output=True, text=True, timeout=120)
    assert done.returncode == -signal.SIGKILL, done.stderr
    return done.stdout.strip()


def leftover_details(root, repair=False):
    findings, repaired = version_check.check_log(root, "minbar", repair=repair)
    return {path: detail for path, check, _, detail in findings if check == "leftover"}, dict(repaired)


def test_verify_tells_a_run_that_ended_without_committing_from_a_killed_one(market, monkeypatch, tmp_path):
    root = str(tmp_path)
    market(tmp_path, FIRST)
    report, left = failed_commit(market, monkeypatch, root)
    assert report.version is None and report.version_error.type == "OutOfSpaceError"
    assert left and all(os.path.exists(path) for path in left)
    [ended] = commits.running_markers(root)
    killed = killed_run(root)
    found, _ = leftover_details(root)
    assert found[ended].startswith(ENDED) and found[killed].startswith(KILLED)
    assert set(left) < set(found)
    _, repaired = leftover_details(root, repair=True)
    newest = versions.version_ids(root)[-1]
    assert repaired[ended] == "files of a run that ended without committing, covered by version " + newest
    assert repaired[killed] == "files of a killed run covered by version " + newest


def test_the_next_run_removes_what_a_run_that_ended_without_committing_left(market, monkeypatch, tmp_path):
    root = str(tmp_path)
    market(tmp_path, FIRST)
    _, left = failed_commit(market, monkeypatch, root)
    [marker] = commits.running_markers(root)
    assert commits.run_ended(marker) and left
    report = market(tmp_path, LATER)            # nothing new: its version covers the ended run's files
    assert report.version == versions.version_ids(root)[-1]
    assert STOCK_FILE in versions.read_entries(root, report.version)
    assert keeping.leftovers(root) == [] and not any(os.path.exists(path) for path in left)
    assert not os.path.exists(history.running_dir(root))
    assert leftover_details(root) == ({}, {})


@pytest.mark.parametrize("ends", ["killed", "released"])
def test_a_marker_says_its_run_ended_only_when_the_run_recorded_it(tmp_path, ends):
    root = str(tmp_path)
    os.makedirs(os.path.join(root, "equities"))
    if ends == "killed":
        marker = killed_run(root)
    else:
        # A run that lets its marker go without a failed commit recorded nothing: as a killed one.
        recorder = commits.Recorder(root, "minbar")
        recorder.begin([STOCK])
        recorder.close()
        marker = recorder.marker
    assert os.path.exists(marker) and not commits.run_ended(marker)
    with open(marker) as text:
        assert json.load(text)["order_book_ids"] == [STOCK]


def test_a_run_stopped_before_its_commit_says_it_ended(market, monkeypatch, tmp_path):
    from corvane.updater import run

    root = str(tmp_path)
    market(tmp_path, FIRST)

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(run, "run_jobs", interrupted)     # Ctrl-C once the run has begun its marker
    with pytest.raises(KeyboardInterrupt):
        market(tmp_path, LATER)
    [marker] = commits.running_markers(root)
    assert commits.run_ended(marker)
    found, _ = leftover_details(root)
    assert found[marker].startswith(ENDED)


def test_a_later_commit_keeps_its_own_runs_findings_beside_the_newer_state(tmp_path):
    # Another run committed the file since this one began, at a later state: the version
    # takes that state, and this run's own findings (never the other run's, in their version).
    root = str(tmp_path)

    def entry(rows, quality=None):
        held = {"file": "f.h5", "segments": 0, "data_rows": rows, "index_rows": rows, "data_tail": None,
                "index_tail": None}
        return dict(held, quality=quality) if quality else held
    since = commits.commit(root, "minbar", {"command": "a"}, {"f.h5": entry(1)})
    commits.commit(root, "minbar", {"command": "b"}, {"f.h5": entry(9, {"20240105": [["jump", 1, ""]]})})
    ours = {"20240104": [["price", 1, ""]]}
    entries = {"f.h5": entry(5, ours)}
    commits._newer_states(root, since, entries)
    assert (entries["f.h5"]["data_rows"], entries["f.h5"]["quality"]) == (9, ours)
