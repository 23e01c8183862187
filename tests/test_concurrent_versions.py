"""Two update runs on one root at once: each version reads back exactly what it recorded.

Run A's job writes its file; run B then changes the same file (revises the
day A wrote, or appends after it) the moment A's store has let the file go,
before A's run commits.  The commits land in either order.
"""
import concurrent.futures
import datetime
import os
import threading

import pytest

import corvane.bundle as bundle
import fake_market as fm
from corvane.history import asof
from corvane.updater import minbar
from corvane import read
from corvane.updater import run
from corvane.updater import tick
from corvane.history import check as version_check
from corvane.history import commits
from corvane.history import versions
from corvane.updater.options import UpdateOptions

STOCK = "10001.HBX"
SINCE = 20261201
WAIT = 120      # seconds before a sign that never comes fails the test instead of hanging it

# ([the runs before, each (as of, the days served corrected, revisit)], run A's as of, run B)
SCENARIOS = {
    "revised in place": ([("20261204", None, 0)], "20261207", ("20261207", "20261207", 1)),
    "revised shorter": ([("20261203", None, 0)], "20261204", ("20261204T1030", None, 1)),
    "appended after": ([("20261203", None, 0)], "20261204", ("20261207", None, 0)),
    "revised again": ([("20261204T1030", None, 0), ("20261204", None, 1)], "20261207", ("20261207", "20261207", 1)),
}


@pytest.fixture
def market(monkeypatch):
    """at(asof, revised): the demo client serves the market as of `asof`."""
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "3")

    def at(asof_day, revised=None):
        monkeypatch.setenv("LUMENFEED_ASOF", asof_day)
        if revised:
            monkeypatch.setenv("LUMENFEED_REVISED", revised)
        else:
            monkeypatch.delenv("LUMENFEED_REVISED", raising=False)
        bundle.init_lumenfeed_with_warnings_catch()
    return at


def update(kind, root, revisit=0):
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        report = run.update(kind, str(root), [STOCK], options=UpdateOptions(since=SINCE, revisit=revisit),
                            executor=executor)
    assert report.exit_status == 0, report.summary()
    return report


def held(kind, root, as_of=None):
    if kind == "tick":
        return read.ticks(str(root), STOCK, as_of=as_of)
    return read.bars(str(root), STOCK, as_of=as_of)


class Interleaving:
    """Run B, started the moment run A's store has returned (its file let go), before A commits.

    `b_first`: B commits before A's run goes on; else B's job runs then, and
    its commit waits for A's to land.  `a_left`: the file as A's store left it.
    """

    def __init__(self, monkeypatch, kind, root, b_first, start_b):
        self.kind, self.root, self.b_first, self.start_b = kind, root, b_first, start_b
        self.a_left = None
        self.b_thread = None
        self.b_error = []
        self.b_stored, self.a_committed = threading.Event(), threading.Event()
        module, name = (tick, "append_h5_tick") if kind == "tick" else (minbar, "append_h5")
        self.store = getattr(module, name)
        self.commit = commits.commit
        monkeypatch.setattr(module, name, self._store)
        monkeypatch.setattr(commits, "commit", self._commit)

    def _store(self, *args, **keywords):
        given = self.store(*args, **keywords)
        if self.a_left is not None:     # run B's
            self.b_stored.set()
            return given
        self.a_left = held(self.kind, self.root)
        if self.b_first:
            self._run_b()               # on this thread: B ends, committed, before A goes on
        else:
            self.b_thread = threading.Thread(target=self._run_b)
            self.b_thread.start()
            assert self.b_stored.wait(WAIT), "run B's store never returned"
        return given

    def _run_b(self):
        try:
            self.start_b()
        except BaseException as error:
            self.b_error.append(error)
            self.b_stored.set()

    def _commit(self, *args, **keywords):
        if self.b_thread is not None and threading.current_thread() is self.b_thread:
            assert self.a_committed.wait(WAIT), "run A never committed"
            return self.commit(*args, **keywords)
        version_id = self.commit(*args, **keywords)
        self.a_committed.set()
        return version_id

    def join(self):
        if self.b_thread is not None:
            self.b_thread.join(WAIT)
            assert not self.b_thread.is_alive(), "run B never ended"
        assert not self.b_error, self.b_error


@pytest.mark.parametrize("order", ["B commits first", "A commits first"])
@pytest.mark.parametrize("scenario", list(SCENARIOS))
@pytest.mark.parametrize("kind", ["minbar", "tick"])
def test_two_runs_at_once_commit_versions_that_each_read_back_exactly(market, monkeypatch, tmp_path,
                                                                      kind, scenario, order):
    runs_before, a_at, (b_at, b_revised, b_revisit) = SCENARIOS[scenario]
    root = tmp_path / kind
    expected = {}
    for at, revised, revisit in runs_before:
        market(at, revised)
        update(kind, root, revisit)
        expected[versions.version_ids(root)[-1]] = held(kind, root)

    def start_b():
        market(b_at, b_revised)
        update(kind, root, b_revisit)

    b_first = order == "B commits first"
    interleaving = Interleaving(monkeypatch, kind, root, b_first, start_b)
    market(a_at)
    update(kind, root)
    interleaving.join()

    now = held(kind, root)
    assert not now.equals(interleaving.a_left), "run B changed nothing after run A"
    earlier, later = versions.version_ids(root)[len(expected):]
    # The version committed last holds the file as it is; one committed first, what its run left.
    expected.update({later: now, earlier: now if b_first else interleaving.a_left})
    for version_id, frame in expected.items():
        assert held(kind, root, as_of=version_id).equals(frame), version_id
    assert version_check.check_log(str(root), kind) == ([], [])


def test_a_day_one_run_filled_in_stays_out_of_earlier_versions_when_another_run_commits_first(tmp_path):
    days = [datetime.date(2024, 1, d) for d in (2, 3, 4, 5)]
    client = fm.tick_market(days, [4] * len(days))
    client.days["S1"] = days[:3]
    served_late = client.ticks.pop(("S1", days[1]))     # not served to the first run
    services, root = fm.make_services(client), str(tmp_path)

    def store(**keywords):
        return tick.append_h5_tick(services, "S1", root, None, 20050104, 29991231, entry=True, **keywords)

    def commit(entry, since=""):
        return commits.commit(root, "tick", {"command": "x", "since": since}, {"S1.h5": entry})

    first = commit(store().entry.line)
    since = versions.version_ids(root)[-1]             # run A starts: the newest version then
    client.ticks[("S1", days[1])] = served_late
    filled_in = store(revisit=3)                        # A fills in the day below the latest
    client.days["S1"] = days                            # run B appends a day after it, and commits first
    appended = commit(store().entry.line)
    last = commit(filled_in.entry.line, since)
    assert filled_in.entry.line["inserted"] == ["20240103"]
    expected = {first: ["20240102", "20240104"], appended: ["20240102", "20240103", "20240104", "20240105"]}
    expected[last] = expected[appended]
    for version_id, members in expected.items():
        with asof.Version(root, version_id).open(os.path.join(root, "S1.h5")) as view:
            assert view.members() == members, version_id
    assert version_check.check_log(root, "tick") == ([], [])
