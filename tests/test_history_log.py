"""The log's edges: tags that name no version, leftovers judged beside a live commit,
what a run killed while writing its marker leaves, and ids when the clock steps back."""
import errno
import fcntl
import os
import threading
import time
import types

import pytest
from click.testing import CliRunner

from corvane.history import layout as history
from corvane import read
from corvane.history import check as version_check
from corvane.history import commits
from corvane.history import keeping
from corvane.history import states
from corvane.history import versions
from corvane.cli import main
from corvane.errors import VersionError
import test_versions
from test_versions import FIRST, LATER, STOCK, STOCK_FILE, commit_now, revise_last_days

WAIT = 60   # seconds a sign may take before the test gives up: never slept


inline, market = test_versions.inline, test_versions.market


@pytest.fixture
def revised(market, tmp_path):
    """A minute-bar root with three versions, the last two each a revision: (root, ids)."""
    market(tmp_path, FIRST)
    for days_back in (1, 2):
        revise_last_days(tmp_path, days_back)
        commit_now(str(tmp_path), "minbar", [STOCK_FILE])
    return str(tmp_path), versions.version_ids(tmp_path)


def tag_file(root, name, text):
    directory = os.path.join(history.history_dir(root), "tags")
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "w") as out:
        out.write(text)
    return os.path.join(directory, name)


def segment_files(root):
    return sorted(path for path, _ in history.segments(root, STOCK_FILE))


# ---------------------------------------------------------------- tags

MALFORMED = {
    "note after the id": ("paper", lambda first: first + "  before the fix\n", "not one version id"),
    "empty": ("paper", lambda first: "", "is empty"),
    "no newline": ("paper", lambda first: first, "not one version id"),
    "two ids": ("paper", lambda first: first + "\n" + first + "\n", "not one version id"),
    "not in the log": ("paper", lambda first: "20200101T000000.000000Z-abcdef\n", "not in the log"),
    "bad name": ("-paper", lambda first: first + "\n", "not a tag's name"),
}


@pytest.mark.parametrize("case", sorted(MALFORMED))
def test_a_tag_that_names_no_version_stops_gc_is_a_finding_and_is_refused_as_of(revised, case):
    root, (first, _, third) = revised
    name, text, says = MALFORMED[case]
    path = tag_file(root, name, text(first))
    held = segment_files(root)
    later = keeping.committed_at(third) + 10 * 86400
    with pytest.raises(VersionError, match="tag '{}'.*{}".format(name, says)):
        keeping.gc(root, 0, now=later)
    assert segment_files(root) == held
    findings, _ = version_check.check_log(root, "minbar")
    assert [(file, check) for file, check, _, _ in findings] == [(path, "tag")]
    assert says in findings[0][3] and repr(name) in findings[0][3]
    with pytest.raises(VersionError, match="tag '{}'.*{}".format(name, says)):
        read.bars(root, STOCK, as_of=name)
    # Mended, the tag keeps what its version needs.
    os.remove(path)
    keeping.tag(root, "paper", first)
    assert keeping.gc(root, 0, now=later) == []
    assert version_check.check_log(root, "minbar") == ([], [])


def test_a_tag_as_written_is_one_id_and_a_newline(revised):
    root, (first, _, _) = revised
    assert keeping.tag(root, "paper", first) == first
    with open(os.path.join(history.history_dir(root), "tags", "paper")) as text:
        assert text.read() == first + "\n"
    assert versions.read_tags(root) == ({"paper": first}, {})


def test_the_commands_name_a_malformed_tag(revised):
    root, (first, _, _) = revised
    tag_file(root, "paper", first + " the run before the fix\n")
    runner = CliRunner()
    result = runner.invoke(main, ["gc", root, "--keep-days", "0"])
    assert result.exit_code != 0 and "tag 'paper'" in result.output and "removed" not in result.output
    result = runner.invoke(main, ["verify", root])
    assert result.exit_code == 1 and "tags/paper: tag: tag 'paper' holds" in result.output


# ---------------------------------------------------------------- leftovers beside a live commit

class Paused:
    """A commit or tag stopped at its temporary, in a thread, until `go`; `judging` is set when
    the checker reaches the commit lock (or ends without it)."""

    def __init__(self, monkeypatch, write):
        self.at_temporary, self.released, self.judging = (threading.Event() for _ in range(3))
        self.result, self.error = None, None
        monkeypatch.setattr(commits, "_step", self.step)
        self.thread = threading.Thread(target=self.run, args=(write,))
        self.thread.start()
        assert self.at_temporary.wait(WAIT)

    def step(self, name):
        if name == "written" and threading.current_thread() is self.thread:
            self.at_temporary.set()
            assert self.released.wait(WAIT)
        elif name == "judging":
            self.judging.set()

    def run(self, write):
        try:
            self.result = write()
        except BaseException as error:
            self.error = error

    def go(self):
        self.released.set()
        self.thread.join(WAIT)
        assert not self.thread.is_alive()


@pytest.mark.parametrize("repair", [False, True])
@pytest.mark.parametrize("writer", ["commit", "tag"])
def test_verify_beside_a_live_commit_leaves_its_temporary_alone(revised, monkeypatch, writer, repair):
    root, ids = revised
    write = {"commit": lambda: commit_now(root, "minbar", [STOCK_FILE]),
             "tag": lambda: keeping.tag(root, "paper", ids[0])}[writer]
    paused = Paused(monkeypatch, write)
    checked = {}

    def check():
        checked["result"] = version_check.check_log(root, "minbar", repair=repair)
        paused.judging.set()
    checker = threading.Thread(target=check)
    checker.start()
    try:
        assert paused.judging.wait(WAIT)
    finally:
        paused.go()
    checker.join(WAIT)
    assert paused.error is None
    assert checked["result"] == ([], [])
    if writer == "commit":
        assert versions.version_ids(root) == ids + [paused.result]
    else:
        assert versions.tags(root) == {"paper": ids[0]}


def test_a_run_whose_commit_fails_leaves_no_temporary(market, monkeypatch, tmp_path):
    market(tmp_path, FIRST)

    def full(name):
        if name == "written":
            raise OSError(errno.ENOSPC, "No space left on device")
    monkeypatch.setattr(commits, "_step", full)
    market(tmp_path, LATER)
    monkeypatch.setattr(commits, "_step", None)
    assert len(versions.version_ids(tmp_path)) == 1
    left = keeping.leftovers(tmp_path)
    # Its marker stays for the next run to cover; nothing looks like a killed commit.
    assert [os.path.basename(os.path.dirname(path)) for path in left] == ["running"]
    findings, _ = version_check.check_log(str(tmp_path), "minbar")
    assert all("killed commit" not in detail for _, _, _, detail in findings)


# ---------------------------------------------------------------- a run killed writing its marker

def marker_temporary(root, text=b'{"kind": "min'):
    directory = os.path.join(history.history_dir(root), "running")
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, ".20261209T101500.000000Z-0badc0de.json.tmp")
    with open(path, "wb") as out:
        out.write(text)
    return path


def test_a_marker_temporary_of_a_killed_run_is_named_and_removed_by_the_next_run(market, tmp_path):
    market(tmp_path, FIRST)
    path = marker_temporary(tmp_path)
    findings, _ = version_check.check_log(str(tmp_path), "minbar")
    assert findings == [(path, "leftover", "", "marker temporary of a killed run; verify --repair removes it")]
    recorder = commits.Recorder(str(tmp_path), "minbar")
    recorder.begin([STOCK])
    recorder.close()
    assert not os.path.exists(path)
    path = marker_temporary(tmp_path)
    _, repaired = version_check.check_log(str(tmp_path), "minbar", repair=True)
    assert (path, "marker temporary of a killed run removed") in repaired and not os.path.exists(path)


def test_a_committing_run_removes_a_marker_temporary_left_while_it_worked(market, tmp_path):
    market(tmp_path, FIRST)
    recorder = commits.Recorder(str(tmp_path), "minbar")
    recorder.begin([STOCK])
    path = marker_temporary(tmp_path, b"")
    state = states.file_state(str(tmp_path), os.path.join(tmp_path, STOCK_FILE), "minbar")
    assert recorder.commit({"command": "c", "counts": {}}, [types.SimpleNamespace(state=states.Entry(state))])
    assert not os.path.exists(path) and keeping.leftovers(tmp_path) == []


def test_a_marker_temporary_its_writer_holds_is_left_alone(market, tmp_path):
    market(tmp_path, FIRST)
    path = marker_temporary(tmp_path)
    with open(path) as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert version_check.check_log(str(tmp_path), "minbar", repair=True) == ([], [])
        market(tmp_path, LATER)
        assert os.path.exists(path)
    assert keeping.leftovers(tmp_path) == [path]


def test_a_marker_taken_for_dead_before_its_lock_is_made_again(tmp_path, monkeypatch):
    made = []
    create = commits._create

    def create_then_lose(directory, temporary):
        fd = create(directory, temporary)
        made.append(temporary)
        if len(made) == 1:
            os.remove(temporary)        # as another run does, finding it unlocked
        return fd
    monkeypatch.setattr(commits, "_create", create_then_lose)
    recorder = commits.Recorder(str(tmp_path), "minbar")
    recorder.begin([STOCK])
    try:
        assert len(made) == 2 and commits.running_markers(tmp_path) == [recorder.marker]
        assert keeping.leftovers(tmp_path) == []
    finally:
        recorder.close()


# ---------------------------------------------------------------- ids when the clock steps back

@pytest.fixture
def clock(monkeypatch):
    """The clock versions read, set by the test: [seconds since the epoch]."""
    now = [time.time()]
    fake = types.SimpleNamespace(time=lambda: now[0], gmtime=time.gmtime, strftime=time.strftime,
                                 strptime=time.strptime)
    monkeypatch.setattr(history, "time", fake)
    for module in (commits, keeping):
        monkeypatch.setattr(module, "time", fake)
    return now


def test_ids_sort_in_commit_order_when_the_clock_steps_back(revised, clock):
    root, ids = revised
    clock[0] = keeping.committed_at(ids[-1]) - 3600
    stepped = commit_now(root, "minbar", [STOCK_FILE])
    again = commit_now(root, "minbar", [STOCK_FILE])
    assert versions.version_ids(root) == ids + [stepped, again]
    assert history.stamp_micros(stepped) == history.stamp_micros(ids[-1]) + 1
    assert history.stamp_micros(again) == history.stamp_micros(stepped) + 1
    # The clock's own time stays beside the id.
    assert versions.read_run(root, stepped)["committed"].startswith(
        time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(int(clock[0]))))
    # A moment names versions by their ids' stamps, as gc ages them.
    assert versions.resolve(root, keeping.committed_at(stepped)) == stepped
    assert versions.resolve(root, keeping.committed_at(ids[-1])) == ids[-1]
    assert versions.log(root)[0]["id"] == again


def test_a_run_started_before_the_clock_stepped_back_keeps_the_later_state_another_committed(market, tmp_path, clock):
    market(tmp_path, FIRST)
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    early = states.file_state(str(tmp_path), h5_file, "minbar")
    clock[0] += 60
    slow = commits.Recorder(str(tmp_path), "minbar")
    clock[0] -= 3600
    market(tmp_path, LATER)
    late = states.file_state(str(tmp_path), h5_file, "minbar")
    version_id = slow.commit({"command": "slow", "counts": {}}, [types.SimpleNamespace(state=states.Entry(early))])
    assert versions.read_entries(tmp_path, version_id)[STOCK_FILE] == late


@pytest.mark.parametrize("moment, after, stamp", [
    (1700000000.9999996, None, "20231114T221321.000000Z"),
    (1700000000.5, "20231114T221300.000000Z-abcdef", "20231114T221320.500000Z"),
    (1700000000.5, "20231114T221321.000000Z-abcdef", "20231114T221321.000001Z"),
    (1700000000.5, "20231114T221320.999999Z-abcdef", "20231114T221321.000000Z"),
])
def test_a_new_id_is_its_moment_or_just_after_the_one_it_follows(moment, after, stamp):
    made = history.new_version_id(moment) if after is None else history.new_version_id(moment, after=after)
    assert made.split("-")[0] == stamp and history.is_version_id(made)


def test_a_run_commits_past_a_damaged_manifest_that_landed_while_it_worked(market, tmp_path, clock):
    market(tmp_path, FIRST)
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    slow = commits.Recorder(str(tmp_path), "minbar")
    market(tmp_path, LATER)
    with open(versions.history.manifest_path(tmp_path, versions.version_ids(tmp_path)[-1]), "ab") as landed:
        landed.write(b'{"file": cut')
    ours = states.file_state(str(tmp_path), h5_file, "minbar")
    version_id = slow.commit({"command": "slow", "counts": {}}, [types.SimpleNamespace(state=states.Entry(ours))])
    assert versions.read_entries(tmp_path, version_id)[STOCK_FILE] == ours
