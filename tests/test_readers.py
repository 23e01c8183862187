"""Readers beside the writer, and runs with nothing to write.

h5py readers in other processes hold or poll a file while it is appended to
or while a tick day is rewritten: no update is refused because of them, and
none of them ever sees half an update (a held file keeps the version its
reader opened).  A writer killed with a reader attached leaves that reader
its file; two writers of one file exclude each other, readers or not.  A run
with nothing new leaves every file byte for byte, times included, also in a
read-only directory.
"""
import contextlib
import hashlib
import multiprocessing
import os
import random
import signal
import subprocess
import time
import warnings

import h5py
import numpy as np
import pytest

from corvane import _engine

# Process-level: left out by `make test-fast`, run by `make test`.
pytestmark = pytest.mark.slow

lumenfeed = pytest.importorskip("lumenfeed")
bundle = pytest.importorskip("corvane.bundle")

BARS, INDEX = np.dtype(bundle.EQUITIES_DTYPE), np.dtype(bundle.INDEX_DTYPE)
TICK = np.dtype([("time", "<i4"), ("price", "<i8"), ("version", "<i4")])
UPDATES = 25


def day_batch(day):
    """(index, bars) of trading day number `day`: 240 bars, line_no from 0."""
    date = 20200000 + (day // 28) * 100 + 101 + day % 28
    bars = np.zeros(240, BARS)
    bars["datetime"] = date * 1000000 + 93000 + np.arange(240)
    bars["close"] = day
    index = np.zeros(1, INDEX)
    index["date"] = date
    return index, bars


def next_day(h5):
    """The day number after the last one `h5` holds."""
    stored = int(h5.read_last("index")["date"]) - 20200101
    return (stored // 100) * 28 + stored % 100 + 1


def tick_day(version):
    """A version of one day's ticks: its length and every row tell the version."""
    ticks = np.zeros(100 + 37 * version, TICK)
    ticks["time"] = np.arange(len(ticks))
    ticks["price"] = version
    ticks["version"] = version
    return ticks


# --------------------------------------------------------------------------- readers (other processes)

def whole_minbar(f):
    """Why an open minute-bar file is not a whole version, or None; and its row count."""
    index = f["index"][:]
    rows = f["data"].shape[0]
    tail = f["data"][max(0, rows - 240):rows]
    if len(index) == 0 or index["line_no"][-1] >= rows:
        return "index names bars past the end", rows
    if (np.diff(tail["datetime"].astype(np.int64)) <= 0).any() or tail["datetime"][-1] // 1000000 != index["date"][-1]:
        return "the last bars are not the last indexed day's", rows
    return None, rows


def whole_tick_day(f):
    ticks = f["20200102"][:]
    version = int(ticks["version"][0])
    if len(ticks) != len(tick_day(version)) or (ticks["version"] != version).any():
        return "a day mixing versions", version
    return None, version


def read_loop(path, kind, hold, started, stop, results):
    """Polls (or holds, a quarter second at a time) the file until `stop`."""
    check = whole_minbar if kind == "minbar" else whole_tick_day
    seen = {"holds": hold, "opens": 0, "reads": 0, "lock errors": 0, "torn": [], "replaced while held": 0}
    while not stop.is_set():
        seen["opens"] += 1
        try:
            f = h5py.File(path, "r")
        except OSError as exc:
            if "unable to lock file" not in str(exc):
                seen["torn"].append("open: {}".format(exc))
            seen["lock errors"] += 1
            continue
        try:
            with f:
                inode = os.fstat(f.id.get_vfd_handle()).st_ino
                first = check(f)
                seen["reads"] += 1
                until = time.monotonic() + (0.25 if hold else 0)
                while time.monotonic() < until and not stop.is_set():
                    started.set()
                    time.sleep(0.002)
                    if check(f) != first:
                        seen["torn"].append("a held file changed")
                    seen["reads"] += 1
                if first[0]:
                    seen["torn"].append(first[0])
                if hold and os.stat(path).st_ino != inode:
                    seen["replaced while held"] += 1
        except Exception as exc:  # noqa: BLE001  (any failure of an open file is a tear)
            seen["torn"].append("read: {}".format(exc))
        started.set()
    results.put(seen)


@contextlib.contextmanager
def readers(path, kind, holders=1, pollers=2):
    context = multiprocessing.get_context("fork")
    stop, results = context.Event(), context.Queue()
    started = [context.Event() for _ in range(holders + pollers)]
    procs = [context.Process(target=read_loop, args=(path, kind, i < holders, started[i], stop, results))
             for i in range(holders + pollers)]
    for proc in procs:
        proc.start()
    seen = []
    try:
        for event in started:
            assert event.wait(20), "a reader never got the file open"
        yield seen
    finally:
        stop.set()
        seen += [results.get(timeout=30) for _ in procs]
        for proc in procs:
            proc.join(10)


@pytest.mark.parametrize("kind", ["minbar", "tick"])
def test_readers_never_stop_an_update_and_never_see_half_of_one(tmp_path, kind):
    path = str(tmp_path / "x.h5")
    with _engine.File(path) as h5:
        if kind == "minbar":
            h5.append_minbar(*day_batch(0))
        else:
            h5.write_day("20200102", tick_day(0))
    with readers(path, kind) as seen:
        for n in range(1, UPDATES + 1):
            with _engine.File(path) as h5:  # never refused
                if kind == "minbar":
                    h5.read_last("index")
                    h5.append_minbar(*day_batch(n))
                else:
                    h5.write_day("20200102", tick_day(n))
            time.sleep(0.01)
    assert [s["torn"] for s in seen] == [[]] * len(seen)
    assert all(s["reads"] > 0 for s in seen)
    # The holder kept its version while new ones were renamed over it.
    assert [s["replaced while held"] > 0 for s in seen if s["holds"]] == [True]
    with h5py.File(path, "r") as f:
        if kind == "minbar":
            assert f["data"].shape[0] == 240 * (UPDATES + 1)
        else:
            assert whole_tick_day(f) == (None, UPDATES)
    assert sorted(os.listdir(tmp_path)) == ["x.h5"]


# --------------------------------------------------------------------------- writers and a reader

def append_forever(path):
    while True:
        with _engine.File(path) as h5:
            h5.append_minbar(*day_batch(next_day(h5)))


def fresh_open(path):
    """What a reader opening `path` now gets: a whole version, or a refusal.

    After its first update the writer has renamed a new version over the
    held one; no reader holds that, so later updates land in place, and a
    kill among their overwrites leaves a file readers refuse until the next
    writer undoes it.
    """
    try:
        with h5py.File(path, "r") as fresh:
            return whole_minbar(fresh)[0] or "whole"
    except OSError as exc:
        assert "file signature not found" in str(exc)
        assert os.path.exists(_engine.journal_path(path))
        return "refused"


def test_a_writer_killed_with_a_reader_attached_leaves_the_reader_its_file(tmp_path):
    path = str(tmp_path / "x.h5")
    with _engine.File(path) as h5:
        h5.append_minbar(*day_batch(0))
    rng = random.Random(16)
    context = multiprocessing.get_context("fork")
    for _ in range(6):
        with h5py.File(path, "r") as held:
            view = whole_minbar(held)
            writer = context.Process(target=append_forever, args=(path,))
            writer.start()
            time.sleep(rng.uniform(0.05, 0.3))
            os.kill(writer.pid, signal.SIGKILL)
            writer.join()
            assert whole_minbar(held) == view
            assert fresh_open(path) in ("whole", "refused")
        with _engine.File(path) as h5:  # the next writer undoes what the kill left
            rows = h5.length("data")
            h5.append_minbar(*day_batch(next_day(h5)))
    with h5py.File(path, "r") as f:
        assert whole_minbar(f) == (None, rows + 240)
    assert sorted(os.listdir(tmp_path)) == ["x.h5"]


@pytest.mark.parametrize("reader", [False, True])
def test_two_writers_exclude_each_other_with_or_without_a_reader(tmp_path, reader):
    path = str(tmp_path / "x.h5")
    with _engine.File(path) as h5:
        h5.append_minbar(*day_batch(0))
    with contextlib.ExitStack() as stack:
        held = stack.enter_context(h5py.File(path, "r")) if reader else None
        first = stack.enter_context(_engine.File(path))
        second = stack.enter_context(_engine.File(path))
        first.append_minbar(*day_batch(1))
        with pytest.raises(OSError, match="is being written by another process") as refused:
            second.append_minbar(*day_batch(1))
        assert path in str(refused.value)
        first.close()
        # What the second one read is no longer the file: it may not write.
        with pytest.raises(OSError, match="was changed by another process"):
            second.append_minbar(*day_batch(1))
        if held is not None:
            assert held["data"].shape[0] == 240
    with h5py.File(path, "r") as f:
        assert whole_minbar(f) == (None, 480)
    assert sorted(os.listdir(tmp_path)) == ["x.h5"]


# --------------------------------------------------------------------------- nothing to write

OID, FIRST_ASOF, LATER_ASOF = "10003.HBX", "20240726", "20240729"


@pytest.fixture
def market(monkeypatch):
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "2")
    monkeypatch.setenv("LUMENFEED_ASOF", FIRST_ASOF)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()

    def update(kind, root, asof):
        monkeypatch.setenv("LUMENFEED_ASOF", asof)
        if kind == "minbar":
            bundle._append_h5(OID, str(root))
        else:
            bundle._append_h5_tick(OID, str(root))

    return update


def fingerprint(root):
    """Every file under `root` (hidden ones too): its bytes, times and inode."""
    found = {}
    for folder, _dirs, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            st = os.stat(path)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = (hashlib.sha256(f.read()).hexdigest(),
                                                      st.st_mtime_ns, st.st_ctime_ns, st.st_ino)
    return found


@contextlib.contextmanager
def read_only(directory):
    """`directory` on a read-only bind mount of itself (root only)."""
    try:
        subprocess.run(["mount", "--bind", directory, directory], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        pytest.skip("cannot bind-mount a directory read-only here: {}".format(exc))
    try:
        subprocess.run(["mount", "-o", "remount,bind,ro", directory], check=True, capture_output=True)
        yield
    finally:
        subprocess.run(["umount", directory], check=True)


@pytest.mark.parametrize("directory", ["writable", "read-only"])
@pytest.mark.parametrize("kind", ["minbar", "tick"])
def test_a_rerun_with_nothing_new_changes_no_byte(market, tmp_path, kind, directory):
    root = tmp_path / "bundle"
    market(kind, root, FIRST_ASOF)
    market(kind, root, LATER_ASOF)  # a real append (and a rewritten tick day) first
    before = fingerprint(root)
    assert any(key.endswith(OID + ".h5") for key in before)
    with read_only(str(root)) if directory == "read-only" else contextlib.nullcontext():
        time.sleep(0.01)  # a write would show in the times
        market(kind, root, LATER_ASOF)
    assert fingerprint(root) == before
