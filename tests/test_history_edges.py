"""The edges of a root's history: moments at a commit, tick days filled in below the
latest, the order and floor of superseded segments, the commit lock, and the flushes
that keep a revision's side store on disk."""
import concurrent.futures
import datetime
import fcntl
import os
import threading
import time

import h5py
import pandas as pd
import pytest

import fake_market as fm
import corvane.bundle as bundle
from corvane import _engine
from corvane.history import asof
from corvane.history import layout as history
from corvane import read
from corvane.updater import revisit
from corvane.updater import run
from corvane.updater import tick
from corvane.history import commits
from corvane.history import keeping
from corvane.history import versions
from corvane.errors import VersionError
from corvane.formats import DATA, INDEX
from test_flush_order import Trace, at, last
import test_versions
from test_versions import FIRST, STOCK, STOCK_FILE, commit_now, revise_last_days

ONE_MICROSECOND = 1e-6


inline, market = test_versions.inline, test_versions.market


def three_versions(root):
    """Three versions of a minute-bar root; their ids, oldest first."""
    return [commit_now(root, "minbar", [STOCK_FILE], command="c{}".format(n)) for n in range(3)]


@pytest.fixture
def versioned(market, tmp_path):
    """A minute-bar root with three versions of one file (the first run's and two more)."""
    market(tmp_path, FIRST)
    three_versions(str(tmp_path))
    return str(tmp_path)


# ---------------------------------------------------------------- naming a version by a moment

def utc(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)


@pytest.mark.parametrize("form", ["seconds", "datetime", "text"])
def test_a_moment_at_a_commit_names_that_version_and_one_just_before_names_the_one_before(versioned, form):
    ids = versions.version_ids(versioned)
    as_moment = {"seconds": float, "datetime": utc, "text": lambda s: utc(s).isoformat()}[form]
    for earlier, version_id in zip(ids, ids[1:]):
        moment = keeping.committed_at(version_id)
        assert versions.resolve(versioned, as_moment(moment)) == version_id
        assert versions.resolve(versioned, as_moment(moment - ONE_MICROSECOND)) == earlier


def test_a_moment_after_every_commit_names_the_newest(versioned):
    ids = versions.version_ids(versioned)
    assert versions.resolve(versioned, keeping.committed_at(ids[-1]) + 60) == ids[-1]


def test_a_moment_just_before_the_first_commit_names_none(versioned):
    first = versions.version_ids(versioned)[0]
    with pytest.raises(VersionError, match="no version committed at or before"):
        versions.resolve(versioned, keeping.committed_at(first) - ONE_MICROSECOND)


@pytest.fixture
def far_east(monkeypatch):
    """The process's local time nine hours ahead of UTC."""
    monkeypatch.setenv("TZ", "Asia/Tokyo")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def test_a_time_without_a_zone_is_the_users_local_time(versioned, far_east):
    ids = versions.version_ids(versioned)
    local = datetime.datetime.fromtimestamp(keeping.committed_at(ids[0])).isoformat()
    assert versions.resolve(versioned, local) == ids[0]


def test_a_tag_named_like_a_time_names_its_version_not_that_time(versioned):
    first = versions.version_ids(versioned)[0]
    keeping.tag(versioned, "2030-01-01", first)
    assert versions.resolve(versioned, "2030-01-01") == first


def test_a_tag_naming_a_version_the_log_lacks_is_refused(versioned):
    tags = os.path.join(history.history_dir(versioned), "tags")
    os.makedirs(tags, exist_ok=True)
    with open(os.path.join(tags, "lost"), "w") as out:
        out.write("20200101T000000.000000Z-abcdef\n")
    with pytest.raises(VersionError, match="which is not in the log"):
        read.bars(versioned, STOCK, as_of="lost")


# ---------------------------------------------------------------- longer bars as of a version

@pytest.mark.parametrize("freq", ["5min", "1D"])
def test_longer_bars_as_of_a_version_are_gathered_from_its_bars_not_the_files(market, tmp_path, freq):
    market(tmp_path, FIRST)
    first = versions.version_ids(tmp_path)[-1]
    then = read.bars(tmp_path, STOCK, freq=freq)
    revise_last_days(tmp_path, 2)
    commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    assert not read.bars(tmp_path, STOCK, freq=freq).equals(then)
    # The engine's fold adds up turnover in another order than a fold of rows read: the last bits differ.
    pd.testing.assert_frame_equal(read.bars(tmp_path, STOCK, freq=freq, as_of=first), then, rtol=1e-12)


# ---------------------------------------------------------------- tick days filled in, and the latest

D = [datetime.date(2024, 1, d) for d in (2, 3, 4, 5, 8)]


class TickRuns:
    """Runs of one stock's tick job on a scripted market, each committing its own version."""

    def __init__(self, root, client):
        self.root, self.client = str(root), client
        self.h5_file = os.path.join(self.root, "S1.h5")
        self.services = fm.make_services(client)

    def run(self, **keywords):
        stored = tick.append_h5_tick(self.services, "S1", self.root, None, 20050104, 29991231, entry=True,
                                     **keywords)
        return commits.commit(self.root, "tick", {"command": "x"}, {"S1.h5": stored.entry.line})

    def held(self, version_id):
        """{day: ticks} of the file as of the version."""
        with asof.Version(self.root, version_id).open(self.h5_file) as view:
            return {day: view.read(day) for day in view.members()}


def test_days_filled_in_by_two_later_runs_leave_each_version_its_own(tmp_path):
    client = fm.tick_market(D, [4] * len(D))
    late = {day: client.ticks.pop(("S1", day)) for day in (D[1], D[3])}
    runs = TickRuns(tmp_path, client)
    first = runs.run()
    client.ticks[("S1", D[1])] = late[D[1]]
    second = runs.run(revisit=5)
    client.ticks[("S1", D[3])] = late[D[3]]
    third = runs.run(revisit=5)
    names = {version_id: sorted(runs.held(version_id)) for version_id in (first, second, third)}
    assert names == {first: ["20240102", "20240104", "20240108"],
                     second: ["20240102", "20240103", "20240104", "20240108"],
                     third: ["20240102", "20240103", "20240104", "20240105", "20240108"]}


def test_a_run_that_fills_in_one_day_and_corrects_another_names_only_the_filled_in_day(tmp_path):
    client = fm.tick_market(D[:3], [4] * 3)
    late = client.ticks.pop(("S1", D[1]))
    runs = TickRuns(tmp_path, client)
    first = runs.run()
    before = runs.held(first)
    client.ticks[("S1", D[1])] = late
    corrected = fm.day_ticks(D[0], 4)
    corrected["volume"] += 100
    client.ticks[("S1", D[0])] = corrected
    second = runs.run(revisit=3)
    entry = versions.read_entries(runs.root, second)["S1.h5"]
    assert (entry["inserted"], entry["revised"]) == (["20240103"], ["20240102"])
    held = runs.held(first)
    assert sorted(held) == sorted(before) and all(held[day].tobytes() == before[day].tobytes() for day in held)


def test_the_latest_tick_day_as_of_a_version_is_the_part_of_it_stored_then(tmp_path):
    client = fm.tick_market(D[:2], [4, 2])                  # the second day stored half traded
    runs = TickRuns(tmp_path, client)
    first = runs.run()
    then = runs.held(first)
    client.ticks[("S1", D[1])] = fm.day_ticks(D[1], 6)
    client.days["S1"] = D[:3]
    client.ticks[("S1", D[2])] = fm.day_ticks(D[2], 4)
    second = runs.run(revisit=1)
    assert versions.read_entries(runs.root, second)["S1.h5"]["revised"] == ["20240103"]
    held = runs.held(first)
    assert sorted(held) == ["20240102", "20240103"]
    assert held["20240103"].tobytes() == then["20240103"].tobytes() and len(held["20240103"]) == 2
    assert len(runs.held(second)["20240103"]) == 6


def test_a_tick_day_below_the_latest_removed_outside_corvane_is_refused(tmp_path):
    client = fm.tick_market(D, [4] * len(D))
    client.days["S1"] = D[:4]
    runs = TickRuns(tmp_path, client)
    runs.run()
    client.days["S1"] = D
    second = runs.run()
    assert list(versions.read_entries(runs.root, second)["S1.h5"]["days"]) == ["20240108"]
    with h5py.File(runs.h5_file, "r+") as h5:
        del h5["20240102"]                                  # not a day the entry names
    with pytest.raises(VersionError, match="4 days up to 20240108 where the version had 5"):
        runs.held(second)


# ---------------------------------------------------------------- superseded segments

@pytest.mark.parametrize("depths", [(2, 4), (4, 2)], ids=["deeper", "shallower"])
def test_each_version_reads_back_across_two_cuts_of_any_depth(market, tmp_path, depths):
    market(tmp_path, FIRST)
    ids = [versions.version_ids(tmp_path)[-1]]
    held = [read.bars(tmp_path, STOCK)]
    for days in depths:
        revise_last_days(tmp_path, days)
        ids.append(commit_now(str(tmp_path), "minbar", [STOCK_FILE]))
        held.append(read.bars(tmp_path, STOCK))
    assert not held[0].equals(held[1]) and not held[1].equals(held[2])
    for version_id, then in zip(ids, held):
        assert read.bars(tmp_path, STOCK, as_of=version_id).equals(then), version_id


def test_a_version_made_after_a_cut_does_not_take_that_cut_for_a_later_one(market, tmp_path):
    market(tmp_path, FIRST)
    revise_last_days(tmp_path, 2)
    after = commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    assert versions.read_entries(tmp_path, after)[STOCK_FILE]["segments"] == 1
    assert read.bars(tmp_path, STOCK, as_of=after).equals(read.bars(tmp_path, STOCK))


def test_a_segment_holding_fewer_rows_than_a_version_needs_is_refused(market, tmp_path):
    market(tmp_path, FIRST)
    first = versions.version_ids(tmp_path)[-1]
    revise_last_days(tmp_path, 2)
    commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    (_, segment), = history.segments(str(tmp_path), STOCK_FILE)
    with h5py.File(segment, "r+") as h5:
        h5[DATA].resize((len(h5[DATA]) - 1,))
    with pytest.raises(VersionError, match="a superseded segment holds fewer rows of \"data\""):
        read.bars(tmp_path, STOCK, as_of=first)


# ---------------------------------------------------------------- the commit lock

def waiting_for(lock_path):
    """Whether a process waits for a lock on `lock_path` (the kernel lists waiters with "->")."""
    inode = os.stat(lock_path).st_ino
    with open("/proc/locks") as locks:
        return any("->" in line and line.split()[-3].endswith(":{}".format(inode))
                   for line in locks if "FLOCK" in line)


def test_a_commit_waits_for_another_holding_the_commit_lock(versioned):
    lock_path = os.path.join(history.history_dir(versioned), "commit.lock")
    before = versions.version_ids(versioned)
    done = {}
    with open(lock_path, "a") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        committer = threading.Thread(target=lambda: done.update(id=commit_now(versioned, "minbar", [STOCK_FILE])))
        committer.start()
        deadline = time.monotonic() + 60
        while committer.is_alive() and not waiting_for(lock_path) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert committer.is_alive() and waiting_for(lock_path), "the commit did not wait for the lock"
        assert versions.version_ids(versioned) == before
    committer.join(60)
    assert versions.version_ids(versioned) == before + [done["id"]]


def test_no_other_process_holds_the_commit_lock_while_a_manifest_is_written(versioned, monkeypatch):
    lock_path = os.path.join(history.history_dir(versioned), "commit.lock")
    shared = []

    def step(name):
        if name == "written":
            with open(lock_path) as other:
                try:
                    fcntl.flock(other, fcntl.LOCK_SH | fcntl.LOCK_NB)
                    shared.append(True)
                except BlockingIOError:
                    shared.append(False)
    monkeypatch.setattr(commits, "_step", step)
    commit_now(versioned, "minbar", [STOCK_FILE])
    assert shared == [False]


# ---------------------------------------------------------------- a durable revision's flushes

REVISE = """
import pandas as pd
from corvane import _engine
from corvane.formats import DATA, INDEX
with _engine.File({file!r}, durable=True) as h5:
    index = h5.read(INDEX, h5.length(INDEX) - 1)
    bars = h5.read(DATA, int(index["line_no"][0]))
    bars["close"] += 1
    index["line_no"] = 0
    h5.revise_minbar(int(index["date"][0]), index, bars, {side!r})
"""


@pytest.fixture(scope="module")
def shim():
    import crash_lab
    return crash_lab.build_shim()


def test_a_durable_revision_has_its_segment_and_the_side_stores_new_directories_on_disk_before_it_lands(
        shim, tmp_path):
    import looking

    trace = Trace(shim, tmp_path / "root")
    os.mkdir(trace.directory)
    name = os.path.join(trace.directory, "X.h5")
    looking.write_minbar(name, bundle.EQUITIES_DTYPE)
    side = history.superseded_dir(trace.directory, "X.h5")
    events = trace.run(REVISE.format(file=name, side=side))
    segment = history.segment_path(trace.directory, "X.h5", 1)
    landed = next(k for k, event in enumerate(events) if event[0] == "rename" and event[2] == segment)
    # Each directory made for the segment is named on disk (its parent flushed) before the segment lands.
    made = [trace.directory, history.history_dir(trace.directory), os.path.dirname(side)]
    for parent in made:
        flushed = at(events, "fsync", parent)
        assert flushed is not None and flushed < landed, (parent, events)
    # The segment's bytes before its name, its name before the file's first byte changes.
    built = events[landed][1]
    flushed = at(events, "fdatasync", built, last(events, ("pwrite", "ftruncate"), built))
    assert flushed is not None and flushed < landed, events
    named = at(events, "fsync", side, landed)
    first_write = next(k for k, event in enumerate(events) if event[0] == "pwrite" and event[1] == name)
    assert named is not None and named < first_write, events


# ---------------------------------------------------------------- gc: the floor and the newest segment

@pytest.fixture
def four_versions(market, tmp_path):
    """A root whose file three revisions cut, a version after each: (root, ids, bars each held)."""
    market(tmp_path, FIRST)
    root = str(tmp_path)
    held = [read.bars(root, STOCK)]
    for days in (1, 2, 1):
        revise_last_days(root, days)
        commit_now(root, "minbar", [STOCK_FILE])
        held.append(read.bars(root, STOCK))
    return root, versions.version_ids(root), held


def ten_days_after(ids):
    return keeping.committed_at(ids[-1]) + 10 * 86400


def test_gc_removes_only_the_segments_below_what_the_oldest_kept_version_needs(four_versions):
    root, ids, held = four_versions
    keeping.tag(root, "kept", ids[1])                  # needs segments 2 and 3
    removed = keeping.gc(root, 1, now=ten_days_after(ids))
    assert [os.path.basename(path) for path, _ in removed] == ["000001.h5"]
    for version_id, then in zip(ids[1:], held[1:]):
        assert read.bars(root, STOCK, as_of=version_id).equals(then), version_id
    with pytest.raises(VersionError, match="removed by `corvane gc`"):
        read.bars(root, STOCK, as_of=ids[0])


def test_gc_keeps_the_newest_segment_and_the_next_revision_is_numbered_after_it(four_versions):
    root, ids, held = four_versions
    removed = keeping.gc(root, 0, now=ten_days_after(ids))
    assert sorted(os.path.basename(path) for path, _ in removed) == ["000001.h5", "000002.h5"]
    assert [seq for seq, _ in history.segments(root, STOCK_FILE)] == [3]
    h5_file = os.path.join(root, STOCK_FILE)
    with _engine.File(h5_file) as h5:                   # the engine numbers the next segment itself
        last = h5.read(INDEX, h5.length(INDEX) - 1)
        bars = h5.read(DATA, int(last["line_no"][0]))
        bars["close"] += 1
        last["line_no"] = 0
        h5.revise_minbar(int(last["date"][0]), last, bars, revisit.side_store(root, h5_file))
    newest = commit_now(root, "minbar", [STOCK_FILE])
    assert versions.read_entries(root, newest)[STOCK_FILE]["segments"] == 4
    assert read.bars(root, STOCK, as_of=ids[-1]).equals(held[-1])


# ---------------------------------------------------------------- revisits through the engine

DEMO = "10001.HBX"


def demo_update(monkeypatch, root, asof_moment, revised=None, revisit=0):
    """The demo market's update of one stock from 2026-12-01 at `asof_moment`, serving `revised` corrected."""
    from corvane.updater.options import UpdateOptions

    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "2")
    monkeypatch.setenv("LUMENFEED_ASOF", asof_moment)
    if revised:
        monkeypatch.setenv("LUMENFEED_REVISED", revised)
    else:
        monkeypatch.delenv("LUMENFEED_REVISED", raising=False)
    bundle.init_lumenfeed_with_warnings_catch()
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as inline:
        return run.update("minbar", str(root), [DEMO], options=UpdateOptions(since=20261201), executor=inline,
                          revisit=revisit)


def bars_a_day(table):
    return table.groupby("trading_date").size().to_dict()


def test_a_day_stored_half_traded_and_a_corrected_day_revisited_read_back_as_each_run_left_them(
        monkeypatch, tmp_path):
    demo_update(monkeypatch, tmp_path, "20261204T1030")
    first = versions.version_ids(tmp_path)[-1]
    then = read.bars(tmp_path, DEMO)
    assert bars_a_day(then) == {20261201: 240, 20261202: 240, 20261203: 240, 20261204: 60}
    demo_update(monkeypatch, tmp_path, "20261207", revised="20261203", revisit=2)
    second = versions.version_ids(tmp_path)[-1]
    now = read.bars(tmp_path, DEMO)
    # The half-traded day is completed and the corrected one replaced: both are revisions.
    assert bars_a_day(now) == {20261201: 240, 20261202: 240, 20261203: 240, 20261204: 240, 20261207: 240}
    assert versions.read_entries(tmp_path, second)["equities/10001.HBX.h5"]["revised"] == ["20261203", "20261204"]
    assert not now[now["trading_date"] == 20261203].equals(then[then["trading_date"] == 20261203])
    assert read.bars(tmp_path, DEMO, as_of=first).equals(then)
    assert read.bars(tmp_path, DEMO, as_of=second).equals(now)


@pytest.mark.parametrize("root, h5_file", [
    ("/r/b", "/r/b/future/X.h5"), ("/", "/x/y.h5"), ("/r/b/", "/r/b/x.h5"), ("/r/./b", "/r/b/x.h5"),
    ("/r/b", "/r/b//x.h5"), ("/r/b", "/r/b/./x.h5"), ("/r/b", "/r/b/../x.h5"), ("/r/b", "/r/bc/x.h5"),
    ("r/b", "r/b/x.h5"), ("/r/b", "/r/b/..x.h5"), ("//r", "//r/x.h5")])
def test_a_files_name_under_its_root_is_the_one_relpath_gives(root, h5_file):
    # The manifest names a file by it; the quick way for plain paths must not name any other.
    assert history.relative(root, h5_file) == os.path.relpath(h5_file, root)
