"""Small files written whole: the flushes a durable write makes, and what a failed one leaves."""
import errno
import os

import pytest

from corvane import errors, whole_files
from corvane.history import layout as history
from corvane.updater import first_fill, run
from corvane.updater.options import UpdateOptions
import test_flush_order

# The flush-order tests' tracer: a child's calls as the disk sees them.
shim, trace = test_flush_order.shim, test_flush_order.trace


@pytest.fixture
def calls(monkeypatch):
    """[(call, path)] of each fsync (the path its descriptor names) and rename, in order."""
    seen = []
    fsync, replace = os.fsync, os.replace

    def traced_fsync(fd):
        seen.append(("fsync", os.readlink("/proc/self/fd/{}".format(fd))))
        fsync(fd)

    def traced_replace(source, target):
        seen.append(("rename", os.path.realpath(target)))
        replace(source, target)
    monkeypatch.setattr(os, "fsync", traced_fsync)
    monkeypatch.setattr(os, "replace", traced_replace)
    return seen


def only_temporaries(directory, of):
    return [name for name in os.listdir(directory) if history.is_temporary(name, of)]


@pytest.mark.parametrize("durable", [True, False])
@pytest.mark.parametrize("data, held", [
    ("prix \u00e9t\u00e9\n", "prix \u00e9t\u00e9\n".encode()),
    (b"\x00\x01 bytes", b"\x00\x01 bytes"),
    (lambda temporary: open(temporary, "w").write("by a writer"), b"by a writer"),
], ids=["text", "bytes", "writer"])
def test_a_durable_write_flushes_the_file_before_its_rename_and_the_directory_after(
        tmp_path, calls, durable, data, held):
    path = os.path.realpath(str(tmp_path / "record.json"))
    (tmp_path / "record.json").write_text("old")
    steps = []
    whole_files.write_whole(path, data, durable, step=steps.append)
    assert open(path, "rb").read() == held
    assert steps == ["written", "synced", "renamed"]
    (renamed,) = [k for k, call in enumerate(calls) if call == ("rename", path)]
    flushed = [(k, target) for k, (call, target) in enumerate(calls) if call == "fsync"]
    if durable:
        # The file's bytes, under the temporary's name, then the rename, then the name itself.
        assert [k for k, _ in flushed] == [renamed - 1, renamed + 1], calls
        assert history.is_temporary(os.path.basename(flushed[0][1]), "record.json")
        assert flushed[1][1] == os.path.dirname(path)
    else:
        assert flushed == []
    assert only_temporaries(tmp_path, "record.json") == []


WRITE = """
from corvane import whole_files
whole_files.write_whole({path!r}, "sound", durable={durable})
"""


@pytest.mark.slow
@pytest.mark.parametrize("durable", [True, False])
def test_the_flushes_of_a_whole_write_as_a_crash_sees_them(trace, durable):
    path = os.path.join(trace.directory, "verified.json")
    events = trace.run(WRITE.format(path=path, durable=durable))
    (renamed,) = [k for k, event in enumerate(events) if event[0] == "rename"]
    temporary = events[renamed][1]
    assert events[renamed][2] == path and history.is_temporary(os.path.basename(temporary), "verified.json")
    flushes = [event for event in events if event[0] in ("fsync", "fdatasync")]
    if not durable:
        assert flushes == [], events
        return
    written = test_flush_order.last(events, ("write",), temporary)
    flushed = test_flush_order.at(events, "fsync", temporary, written)
    assert flushed is not None and flushed < renamed, events
    assert test_flush_order.at(events, "fsync", trace.directory, renamed) is not None, events


def fails_halfway(temporary):
    with open(temporary, "w") as out:
        out.write("half")
    raise ValueError("the table cannot be written")


def disk_full(monkeypatch):
    def full(fd):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    monkeypatch.setattr(os, "fsync", full)
    return "new", True, errors.OutOfSpaceError


@pytest.mark.parametrize("failure", ["writer", "full disk", "rename"])
def test_a_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch, failure):
    path = tmp_path / "ledger.json"
    path.write_text("old")
    if failure == "writer":
        data, durable, raised = fails_halfway, False, ValueError
    elif failure == "full disk":
        data, durable, raised = disk_full(monkeypatch)
    else:
        os.mkdir(tmp_path / "in the way")
        path = tmp_path / "in the way"
        data, durable, raised = "new", False, IsADirectoryError
    with pytest.raises(raised) as failed:
        whole_files.write_whole(str(path), data, durable)
    if failure == "full disk":
        assert str(path) in str(failed.value)       # named, though the system's own error names none
    if failure != "rename":
        assert path.read_text() == "old"
    assert only_temporaries(tmp_path, path.name) == []


@pytest.mark.parametrize("durable", [True, False])
def test_the_first_fill_ledger_is_on_disk_before_any_file_under_durable(tmp_path, calls, durable):
    ledger = os.path.join(os.path.realpath(str(tmp_path)), first_fill.LEDGER)
    # As a run prepares its jobs: the ledger records the files about to be made.
    known = run.prepare({}, "minbar", str(tmp_path), ["10003.HBX"], UpdateOptions(since=20240102, durable=durable))
    assert known["10003.HBX"].first_from == 20240102 and first_fill.read(str(tmp_path)) == {"10003.HBX": 20240102}
    flushed = [target for call, target in calls if call == "fsync"]
    if durable:
        assert len(flushed) == 2 and history.is_temporary(os.path.basename(flushed[0]), first_fill.LEDGER)
        assert flushed[1] == os.path.dirname(ledger) and calls.index(("rename", ledger)) == 1
    else:
        assert flushed == []


@pytest.mark.parametrize("name, of, taken", [
    (os.path.basename(history.temporary_path("/r/.corvane/tags/v1")), "v1", True),
    (os.path.basename(history.temporary_path("/r/x/collected", shared=False)), "collected", True),
    (".collected.tmp", "collected", True),
    (".collected.12-34.tmp", None, True),
    (".collectedx.tmp", "collected", False),     # another file's temporary
    ("collected.tmp", None, False),              # not hidden: no temporary of corvane's
    (".collected", "collected", False),
])
def test_a_temporary_is_told_by_its_name(name, of, taken):
    assert history.is_temporary(name, of) == taken
