"""Versions: what each update run commits, reads as of a version, the log's commands and checks."""
import concurrent.futures
import datetime
import json
import os
import subprocess
import sys

import h5py
import numpy as np
import pytest
from click.testing import CliRunner

import corvane.bundle as bundle
from corvane import _engine
from corvane.history import asof
from corvane.history import layout as history
from corvane import read
from corvane.updater import revisit
from corvane.updater import run
from corvane.history import check as version_check
from corvane.history import commits
from corvane.history import keeping
from corvane.history import states
from corvane.history import versions
from corvane.cli import main
from corvane.errors import VersionError
from corvane.formats import DATA, INDEX
from corvane.updater import stores

FIRST, LATER = "20240726", "20240802"
STOCK, FUTURE = "10003.HBX", "HXI2501.QFX"
STOCK_FILE = "equities/10003.HBX.h5"


@pytest.fixture
def inline():
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        yield executor


@pytest.fixture
def market(monkeypatch, inline):
    """update(asof, kind, words): an update of the demo client at `asof`; its root."""
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "2")

    def update(root, asof_day, kind="minbar", words=(STOCK,)):
        monkeypatch.setenv("LUMENFEED_ASOF", asof_day)
        bundle.init_lumenfeed_with_warnings_catch()
        return run.update(kind, str(root), list(words), executor=inline)
    return update


def cut_minbar(root, file, from_index_row, new_index, new_data):
    """What a revision does to a minute-bar file, as the history describes it: the tail from
    index row `from_index_row` moved to the file's next segment, then the new bars appended."""
    h5_file = os.path.join(root, file)
    with _engine.File(h5_file) as h5:
        data_rows, index_rows = h5.length(DATA), h5.length(INDEX)
        cut_index = from_index_row
        cut_data = int(h5.read(INDEX, cut_index, cut_index + 1)[0]["line_no"])
        old_data, old_index = h5.read(DATA, cut_data, data_rows), h5.read(INDEX, cut_index, index_rows)
        seq = states.segment_count(root, h5_file) + 1
        path = history.segment_path(root, file, seq)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with _engine.File(path) as segment:
            segment.create_dataset(DATA, old_data)
            segment.create_dataset(INDEX, old_index)
        with h5py.File(path, "r+", locking=False) as segment:
            segment.attrs.update(cut_data_row=cut_data, cut_index_row=cut_index, data_rows=data_rows,
                                 index_rows=index_rows)
        h5.shrink(DATA, cut_data)
        h5.shrink(INDEX, cut_index)
        h5.append_minbar(new_index, new_data)
    return seq


def revise_last_days(root, days):
    """The stock's last `days` days written again, their closes corrected, as a revision does; their dates."""
    with _engine.Reader(os.path.join(root, STOCK_FILE)) as reader:
        index, data = reader.read(INDEX), reader.read(DATA)
    cut = len(index) - days
    tail = index[cut:].copy()
    tail["line_no"] -= tail["line_no"][0]
    cut_minbar(str(root), STOCK_FILE, cut, tail, changed(data[index["line_no"][cut]:], "close"))
    return [str(day) for day in index["date"][cut:]]


def rewrite_tick_day(root, file, day, records):
    """What a revision does to a tick day: the day as stored moved to the file's next segment, then written anew."""
    h5_file = os.path.join(root, file)
    with _engine.File(h5_file) as h5:
        old = h5.read(day)
        path = history.segment_path(root, file, states.segment_count(root, h5_file) + 1)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with _engine.File(path) as segment:
            segment.create_dataset(day, old)
        h5.write_day(day, records)


def commit_now(root, kind, files, command="revise"):
    entries = {}
    for file in files:
        entry = states.file_state(root, os.path.join(root, file), kind)
        entries[file] = entry
    return commits.commit(root, kind, {"command": command, "words": [], "counts": {}}, entries)


def changed(records, field):
    records = records.copy()
    records[field] = records[field] + 1
    return records


# ---------------------------------------------------------------- what a run commits

def test_each_run_that_changes_a_file_commits_what_the_job_left(market, tmp_path):
    first = market(tmp_path, FIRST, words=(STOCK, FUTURE))
    market(tmp_path, FIRST)                       # nothing new: no version
    market(tmp_path, LATER)
    ids = versions.version_ids(tmp_path)
    assert len(ids) == 2
    runs = versions.log(tmp_path)
    assert [run_["id"] for run_ in runs] == ids[::-1]
    assert runs[1]["counts"]["changed"] == 2 and runs[1]["counts"]["rows_added"] == first.counts["rows_added"]
    assert runs[1]["command"] == "update-minbar" and runs[1]["words"] == [STOCK, FUTURE]
    # The job's own entry is what the file says of itself.
    for file, entry in versions.read_entries(tmp_path, ids[-1]).items():
        assert entry == states.file_state(str(tmp_path), os.path.join(tmp_path, file), "minbar")


def test_tick_entries_name_the_days_written_with_their_last_tick(market, tmp_path):
    root = tmp_path / "tick"
    market(root, FIRST, "tick")
    market(root, LATER, "tick")
    first, later = versions.version_ids(root)
    entry = versions.read_entries(root, later)["10003.HBX.h5"]
    assert sorted(entry["days"]) == ["20240801", "20240802"]
    assert entry == states.file_state(str(root), os.path.join(root, "10003.HBX.h5"), "tick", latest_days=2)


def test_without_versions_a_run_leaves_no_history(market, monkeypatch, tmp_path):
    monkeypatch.setattr(commits, "ENABLED", False)
    market(tmp_path, FIRST)
    assert not os.path.exists(history.history_dir(tmp_path))


# ---------------------------------------------------------------- reads as of

@pytest.mark.parametrize("form", ["id", "tag", "time", "time text"])
def test_a_read_as_of_a_version_is_what_that_version_held(market, tmp_path, form):
    market(tmp_path, FIRST)
    then = {"bars": read.bars(tmp_path, STOCK), "index": read.index(tmp_path, STOCK),
            "listing": read.listing(tmp_path)}
    first = versions.version_ids(tmp_path)[0]
    keeping.tag(str(tmp_path), "paper", first)
    market(tmp_path, LATER)
    # A moment between the two commits.
    moment = (keeping.committed_at(first) + keeping.committed_at(versions.version_ids(tmp_path)[-1])) / 2
    as_of = {"id": first, "tag": "paper", "time": moment,
             "time text": datetime.datetime.fromtimestamp(moment).isoformat()}[form]      # local time
    assert len(read.bars(tmp_path, STOCK)) > len(then["bars"])
    assert read.bars(tmp_path, STOCK, as_of=as_of).equals(then["bars"])
    # What the table says it covers is the version's too (but for the venue's last date: the bundle's now).
    covers = dict(read.bars(tmp_path, STOCK, as_of=as_of).attrs, venue_last=None)
    assert covers == dict(then["bars"].attrs, venue_last=None)
    assert read.bars_many(tmp_path, [STOCK], as_of=as_of)[STOCK].equals(then["bars"])
    assert read.index(tmp_path, STOCK, as_of=as_of).equals(then["index"])
    assert read.listing(tmp_path, as_of=as_of).equals(then["listing"])
    newest = versions.version_ids(tmp_path)[-1]
    assert read.bars(tmp_path, STOCK, as_of=newest).equals(read.bars(tmp_path, STOCK))


def test_ticks_as_of_a_version(market, tmp_path):
    root = tmp_path / "tick"
    market(root, FIRST, "tick")
    then = read.ticks(root, STOCK)
    market(root, LATER, "tick")
    assert read.ticks(root, STOCK, as_of=versions.version_ids(root)[0]).equals(then)


@pytest.mark.parametrize("as_of, says", [("no-such-tag", "no version, tag or time"),
                                         ("1999-01-01", "no version committed at or before")])
def test_an_unknown_version_is_refused(market, tmp_path, as_of, says):
    market(tmp_path, FIRST)
    with pytest.raises(VersionError, match=says):
        read.bars(tmp_path, STOCK, as_of=as_of)


def test_a_revised_tail_reads_back_as_each_version_held_it(market, tmp_path):
    market(tmp_path, FIRST)
    first = versions.version_ids(tmp_path)[-1]
    before = read.bars(tmp_path, STOCK)
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    with _engine.Reader(h5_file) as reader:
        index = reader.read(INDEX)
    cut = len(index) - 3
    revise_last_days(tmp_path, 3)
    second = commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    revised = read.bars(tmp_path, STOCK, as_of=second)
    assert read.bars(tmp_path, STOCK, as_of=first).equals(before)
    assert len(revised) == len(before) and not revised.equals(before)
    # And a second cut, deeper than the first, over both.
    with _engine.Reader(h5_file) as reader:
        data = reader.read(DATA)
    one_day = index[cut - 2:cut - 1].copy()
    one_day["line_no"] = 0
    cut_minbar(str(tmp_path), STOCK_FILE, cut - 2, one_day, data[index["line_no"][cut - 2]:index["line_no"][cut - 1]])
    third = commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    assert read.bars(tmp_path, STOCK, as_of=first).equals(before)
    assert read.bars(tmp_path, STOCK, as_of=second).equals(revised)
    assert read.bars(tmp_path, STOCK, as_of=third).equals(read.bars(tmp_path, STOCK))
    assert len(read.bars(tmp_path, STOCK)) < len(before)


def test_a_rewritten_tick_day_reads_back_as_each_version_held_it(market, tmp_path):
    root = tmp_path / "tick"
    market(root, FIRST, "tick")
    first = versions.version_ids(root)[-1]
    before = read.ticks(root, STOCK)
    with _engine.Reader(os.path.join(root, "10003.HBX.h5")) as reader:
        day = reader.read("20240725")
    rewrite_tick_day(str(root), "10003.HBX.h5", "20240725", changed(day, "last"))
    second = commit_now(str(root), "tick", ["10003.HBX.h5"])
    assert read.ticks(root, STOCK, as_of=first).equals(before)
    now = read.ticks(root, STOCK, as_of=second)
    assert len(now) == len(before) and not now.equals(before)
    # The same day again: each version reads the day from the first segment cut after it.
    rewrite_tick_day(str(root), "10003.HBX.h5", "20240725", changed(changed(day, "last"), "last"))
    commit_now(str(root), "tick", ["10003.HBX.h5"])
    assert read.ticks(root, STOCK, as_of=first).equals(before)
    assert read.ticks(root, STOCK, as_of=second).equals(now)


def test_a_tick_day_filled_in_below_the_latest_is_not_in_earlier_versions(tmp_path):
    import fake_market as fm
    from corvane.updater import tick

    days = [datetime.date(2024, 1, d) for d in (2, 3, 4)]
    client = fm.tick_market(days, [4] * 3)
    served_late = client.ticks.pop(("S1", days[1]))   # the middle day is not served yet
    services, root, h5_file = fm.make_services(client), str(tmp_path), str(tmp_path / "S1.h5")

    def job(**keywords):
        stored = tick.append_h5_tick(services, "S1", root, None, 20050104, 29991231, entry=True, **keywords)
        return commits.commit(root, "tick", {"command": "x"}, {"S1.h5": stored.entry.line})

    first = job()
    client.ticks[("S1", days[1])] = served_late
    second = job(revisit=3)
    held = {}
    for version_id in (first, second):
        with asof.Version(root, version_id).open(h5_file) as view:
            held[version_id] = view.members()
    assert held == {first: ["20240102", "20240104"], second: ["20240102", "20240103", "20240104"]}
    assert version_check.check_log(root, "tick") == ([], [])


@pytest.mark.parametrize("name, field", [(DATA, None), (DATA, "volume"), (INDEX, "date")],
                         ids=["shorter", "last row", "last day's date"])
def test_a_file_changed_outside_corvane_is_refused_as_of_a_version(market, tmp_path, name, field):
    market(tmp_path, FIRST)
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    with _engine.File(h5_file) as h5:
        rows = h5.length(name)
        last = h5.read(name, rows - 1, rows)
        h5.shrink(name, rows - 1)
        if field:
            h5.append(name, changed(last, field))
    with pytest.raises(VersionError, match="changed outside corvane"):
        read.bars(tmp_path, STOCK, as_of=versions.version_ids(tmp_path)[-1])
    findings, _ = version_check.check_log(str(tmp_path), "minbar")
    assert [finding[1] for finding in findings] == ["version"]


def test_a_tick_day_changed_outside_corvane_is_refused(market, tmp_path):
    root = tmp_path / "tick"
    market(root, FIRST, "tick")
    with _engine.File(os.path.join(root, "10003.HBX.h5")) as h5:
        h5.write_day("20240726", changed(h5.read("20240726"), "volume"))
    with pytest.raises(VersionError, match="last tick of day 20240726 differs"):
        read.ticks(root, STOCK, as_of=versions.version_ids(root)[-1])


# ---------------------------------------------------------------- killed and concurrent runs

def test_a_killed_runs_files_are_covered_by_the_next_version(market, monkeypatch, tmp_path):
    market(tmp_path, FIRST, words=(STOCK, FUTURE))
    killed = commits.Recorder(str(tmp_path), "minbar")
    killed.begin([STOCK])
    killed.close()                                  # as a killed run's marker is left
    monkeypatch.setattr(commits, "ENABLED", False)
    market(tmp_path, LATER)                         # what it wrote, without a version
    monkeypatch.setattr(commits, "ENABLED", True)
    assert [path for path in keeping.leftovers(tmp_path)] == [killed.marker]
    market(tmp_path, LATER, words=(FUTURE,))        # the next run: only the future is new
    newest = versions.version_ids(tmp_path)[-1]
    assert set(versions.read_entries(tmp_path, newest)) == {STOCK_FILE, "future/HXI2501.QFX.h5"}
    assert read.bars(tmp_path, STOCK, as_of=newest).equals(read.bars(tmp_path, STOCK))
    assert keeping.leftovers(tmp_path) == []


def test_repair_covers_every_killed_run_with_one_version(market, tmp_path):
    market(tmp_path, FIRST, words=(STOCK, FUTURE))
    for order_book_id in (STOCK, FUTURE):
        killed = commits.Recorder(str(tmp_path), "minbar")
        killed.begin([order_book_id])
        killed.close()
    _, repaired = version_check.check_log(str(tmp_path), "minbar", repair=True)
    newest = versions.version_ids(tmp_path)[-1]
    assert [why for _, why in repaired] == ["files of a killed run covered by version " + newest] * 2
    assert set(versions.read_entries(tmp_path, newest)) == {STOCK_FILE, "future/HXI2501.QFX.h5"}


def test_a_live_runs_marker_is_left_alone(market, tmp_path):
    market(tmp_path, FIRST)
    live = commits.Recorder(str(tmp_path), "minbar")
    live.begin([STOCK])
    try:
        assert keeping.leftovers(tmp_path) == []
        market(tmp_path, FIRST, words=(FUTURE,))      # another run commits meanwhile
        assert commits.running_markers(tmp_path) == [live.marker]
    finally:
        live.close()
    assert keeping.leftovers(tmp_path) == [live.marker]


def test_a_run_that_commits_nothing_leaves_nothing_behind_but_what_others_keep(tmp_path):
    other = commits.Recorder(str(tmp_path), "minbar")
    other.begin([FUTURE])
    idle = commits.Recorder(str(tmp_path), "minbar")
    idle.begin([STOCK])
    assert idle.commit({"counts": {}}, []) is None
    assert commits.running_markers(tmp_path) == [other.marker]   # another run's marker stays
    other.close()

    fresh = tmp_path / "fresh"
    fresh.mkdir()
    lone = commits.Recorder(str(fresh), "minbar")
    lone.begin([STOCK])
    assert lone.commit({"counts": {}}, []) is None
    lone.close()
    assert os.listdir(fresh) == []


def test_a_run_committing_last_keeps_the_later_state_another_run_left(market, tmp_path):
    market(tmp_path, FIRST)
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    early = states.file_state(str(tmp_path), h5_file, "minbar")
    slow = commits.Recorder(str(tmp_path), "minbar")      # started before the other run
    market(tmp_path, LATER)
    late = states.file_state(str(tmp_path), h5_file, "minbar")
    version_id = commits.commit(str(tmp_path), "minbar", {"command": "x", "since": slow.since},
                                 {STOCK_FILE: early})
    assert versions.read_entries(tmp_path, version_id)[STOCK_FILE] == late


# ---------------------------------------------------------------- the commit, stopped at each step

STEPS = ["locked", "written", "synced", "renamed", "committed"]

COMMITTER = """
import os, signal, sys, time
import corvane.bundle as bundle
from corvane.history import commits
from corvane.updater import run
def stop(step):
    if step == sys.argv[2]:
        print("at " + step, flush=True)
        os.kill(os.getpid(), signal.SIGKILL)
commits._step = stop
bundle.init_lumenfeed_with_warnings_catch()
import concurrent.futures
with concurrent.futures.ThreadPoolExecutor(1) as executor:
    run.update("minbar", sys.argv[1], ["10003.HBX"], executor=executor, options=run.UpdateOptions(durable=True))
print("ended", flush=True)
"""


@pytest.mark.slow
@pytest.mark.parametrize("step", STEPS)
def test_a_commit_stopped_at_any_step_leaves_a_log_that_reads_back(market, monkeypatch, tmp_path, step):
    market(tmp_path, FIRST)
    env = dict(os.environ, LUMENFEED_ASOF=LATER, LUMENFEED_TICK_DAYS="2")
    stopped = subprocess.run([sys.executable, "-c", COMMITTER, str(tmp_path), step], env=env,
                             capture_output=True, text=True, timeout=300)
    assert stopped.stdout.splitlines() == ["at " + step], stopped.stderr
    landed = len(versions.version_ids(tmp_path)) == 2
    assert landed == (step in ("renamed", "committed"))
    market(tmp_path, LATER, words=(FUTURE,))        # the next run, another instrument
    _, repaired = version_check.check_log(str(tmp_path), "minbar", repair=True)
    findings, _ = version_check.check_log(str(tmp_path), "minbar")
    assert findings == [] and keeping.leftovers(tmp_path) == []
    newest = versions.version_ids(tmp_path)[-1]
    assert read.bars(tmp_path, STOCK, as_of=newest).equals(read.bars(tmp_path, STOCK))
    for version_id in versions.version_ids(tmp_path):
        for file in versions.read_entries(tmp_path, version_id):
            asof.Version(str(tmp_path), version_id).open(os.path.join(tmp_path, file)).close()


# ---------------------------------------------------------------- gc

def test_gc_keeps_what_recent_and_tagged_versions_need(market, tmp_path):
    market(tmp_path, FIRST)
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    for days_back in (1, 2):                        # two revisions, each of the last day(s)
        revise_last_days(tmp_path, days_back)
        commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    first, second, third = versions.version_ids(tmp_path)
    then = read.bars(tmp_path, STOCK, as_of=second)
    keeping.tag(str(tmp_path), "kept", first)
    later = keeping.committed_at(third) + 10 * 86400
    assert keeping.gc(str(tmp_path), 1, now=later) == []          # the tag needs both segments
    os.remove(os.path.join(history.history_dir(tmp_path), "tags", "kept"))
    assert keeping.gc(str(tmp_path), 30, now=later) == []         # so do the recent versions
    removed = keeping.gc(str(tmp_path), 1, now=later)
    # The newest segment stays: the next revision is numbered after it.
    assert [os.path.basename(path) for path, _ in removed] == ["000001.h5"]
    with pytest.raises(VersionError, match="removed by `corvane gc`"):
        read.bars(tmp_path, STOCK, as_of=first)
    assert read.bars(tmp_path, STOCK, as_of=second).equals(then)
    assert states.segment_count(str(tmp_path), h5_file) == 2
    # The engine's next revision is numbered after the segment gc kept.
    with _engine.File(h5_file) as h5:
        last = h5.read(INDEX, h5.length(INDEX) - 1)
        bars = changed(h5.read(DATA, int(last["line_no"][0])), "close")
        last["line_no"] = 0
        h5.revise_minbar(int(last["date"][0]), last, bars, revisit.side_store(str(tmp_path), h5_file))
    assert states.segment_count(str(tmp_path), h5_file) == 3


# ---------------------------------------------------------------- the commands

def test_log_tag_diff_and_export_as_of(market, tmp_path):
    market(tmp_path, FIRST)
    market(tmp_path, LATER)
    first, later = versions.version_ids(tmp_path)
    runner = CliRunner()
    lines = runner.invoke(main, ["log", str(tmp_path)]).output.splitlines()
    assert [line.split()[0] for line in lines] == [later, first]
    assert "update-minbar 10003.HBX  1 changed, +7200 rows, 0 days revised, exit 0" in lines[1]
    assert runner.invoke(main, ["tag", str(tmp_path), "paper", first]).exit_code == 0
    logged = json.loads(runner.invoke(main, ["log", str(tmp_path), "--json"]).output)[str(tmp_path)]
    assert [entry["tags"] for entry in logged] == [[], ["paper"]]
    result = runner.invoke(main, ["diff", str(tmp_path), "paper", later])
    assert result.output.splitlines()[1] == "  {}: +1200 rows, 5 day(s) added 20240729..20240802".format(STOCK_FILE)
    out = tmp_path / "then.csv"
    result = runner.invoke(main, ["export", str(tmp_path), STOCK, "--as-of", "paper", "-o", str(out)])
    assert result.output == "{}: 7200 rows of {}\n".format(out, STOCK)
    result = runner.invoke(main, ["tag", str(tmp_path), "bad/name"])
    assert result.exit_code == 2 and "a tag is letters" in result.output
    result = runner.invoke(main, ["gc", str(tmp_path), "--keep-days", "0"])
    assert result.output == "{}: freed 0 bytes in 0 superseded segment(s)\n".format(tmp_path)
    with open(os.path.join(history.versions_dir(tmp_path), "." + later + ".jsonl.tmp"), "w"):
        pass                                        # as a commit killed before its rename leaves it
    result = runner.invoke(main, ["verify", str(tmp_path)])
    assert result.exit_code == 1 and "temporary of a killed commit" in result.output


def test_diff_names_revised_days(market, tmp_path):
    market(tmp_path, FIRST)
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    revised = revise_last_days(tmp_path, 2)
    entry = states.file_state(str(tmp_path), h5_file, "minbar")
    entry["revised"] = revised
    commits.commit(str(tmp_path), "minbar", {"command": "x"}, {STOCK_FILE: entry})
    first, second = versions.version_ids(tmp_path)
    _, _, (change,) = asof.diff(str(tmp_path), second, first)
    assert change["days_revised"] == ["20240725", "20240726"] and change["days_added"] == []


def test_ids_of_one_second_sort_by_time():
    moments = [1700000000.000001, 1700000000.05, 1700000000.5, 1700000001.0]
    ids = [history.new_version_id(moment) for moment in moments]
    assert sorted(ids) == ids and [keeping.committed_at(i) for i in ids] == pytest.approx(moments)


def test_a_tick_file_with_a_day_filled_in_is_in_a_later_state():
    early = {"segments": 0, "days": {"20240104": [4, "0"]}, "day_count": 2}
    assert states.state_key(dict(early, day_count=3)) > states.state_key(early)


def test_a_manifest_is_found_without_parsing_it(tmp_path):
    entries = [{"file": "equities/{}.h5".format(n), "segments": 0, "data_rows": n, "index_rows": 1,
                "data_tail": "0", "index_tail": "0"} for n in range(3)]
    text = commits.manifest_text({"id": "x"}, entries)
    assert [json.loads(line) for line in text.splitlines()[1:]] == entries
    assert np.all([text.count('{"file":"equities/%d.h5",' % n) == 1 for n in range(3)])


@pytest.mark.parametrize("kind, before, after, tails, recorded", [
    ("minbar", None, None, None, False),                                   # no file
    ("minbar", (7200, 30), (7200, 30), None, False),                       # nothing written
    ("minbar", (7200, 30), (7200, 30), {"revised": [20240726]}, True),     # a day replaced, as long as before
    ("minbar", (7000, 29), (7200, 30), None, True),                        # a store that gave no tails: read
    ("tick", (9600, 2), (9600, 2), {"days": {"20240726": [4800, "0"]}}, True),   # the latest day rewritten
    ("tick", (9600, 2), (9600, 2), {"days": {}}, False),
    ("tick", (9600, 2), (9600, 2), {"days": {}, "revised": [20240725]}, True),  # a revised day: read
])
def test_which_jobs_leave_an_entry(market, tmp_path, kind, before, after, tails, recorded):
    root = tmp_path if kind == "minbar" else tmp_path / "tick"
    market(root, FIRST, kind)
    h5_file = os.path.join(root, STOCK_FILE if kind == "minbar" else "10003.HBX.h5")
    held = [None if counts is None else stores.Held(*counts) for counts in (before, after)]
    entry = states.job_state(str(root), h5_file, kind, *held, tails)
    assert (entry is not None) == recorded
    if recorded and tails is None:
        assert entry == states.file_state(str(root), h5_file, kind)
    if recorded and tails and "revised" in tails:
        assert entry["revised"] == [str(day) for day in tails["revised"]]
    if kind == "tick" and recorded and "revised" in tails:
        # The revised day and the latest, as the file holds them.
        assert entry == dict(states.file_state(str(root), h5_file, "tick"), revised=["20240725"])


def test_the_first_version_of_a_root_names_every_file_it_holds(market, monkeypatch, tmp_path):
    monkeypatch.setattr(commits, "ENABLED", False)
    market(tmp_path, FIRST, words=(STOCK, FUTURE))      # a bundle from before versions
    monkeypatch.setattr(commits, "ENABLED", True)
    before = read.bars(tmp_path, FUTURE)
    market(tmp_path, LATER, words=(STOCK,))
    (first,) = versions.version_ids(tmp_path)
    assert set(versions.read_entries(tmp_path, first)) == {STOCK_FILE, "future/HXI2501.QFX.h5"}
    market(tmp_path, LATER, words=(FUTURE,))
    # The later version holds both runs' files; the first still reads the future as it was.
    newest = versions.version_ids(tmp_path)[-1]
    assert read.bars(tmp_path, STOCK, as_of=newest).equals(read.bars(tmp_path, STOCK))
    assert read.bars(tmp_path, FUTURE, as_of=first).equals(before)


def test_a_folder_of_both_kinds_lists_the_files_of_the_root_a_version_belongs_to(market, tmp_path):
    market(tmp_path / "minbar", FIRST)
    market(tmp_path / "tick", FIRST, "tick")
    minbar_first = versions.version_ids(tmp_path / "minbar")[0]
    assert list(read.listing(tmp_path, as_of=minbar_first)["kind"]) == ["equities"]
    keeping.tag(str(tmp_path / "tick"), "ticks-then")
    assert list(read.listing(tmp_path, as_of="ticks-then")["kind"]) == ["ticks"]
    with pytest.raises(VersionError, match="no version, tag or time"):
        read.listing(tmp_path, as_of="nothing-of-either")
