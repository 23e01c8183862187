"""The order of a durable call's flushes, renames and removals, as a crash sees it.

A power loss keeps what reached the disk, in whatever order the kernel wrote
it: only a flush orders two writes. Each commit path therefore promises an
order, and a change that keeps the results but breaks the order would only
show after a crash. The calls are traced in a child process (the crash-point
sweep's fault injector, preloaded and logging) and checked here:

- in place: the file's earlier bytes flushed before they are journalled; the
  journal and its name flushed before the first original byte is overwritten;
  the file flushed before its journal goes;
- a new file, or a version written beside: flushed before it is renamed into
  place, and the directory flushed after;
- a rollback and a recovery: the restored bytes flushed before the journal goes.

Beside the order, what other processes are kept from: a second writer while a
new file is built, a file another process put in place meanwhile, a backup
restored over a file a dead writer left a journal for.
"""
import os
import select
import signal
import subprocess
import sys

import numpy as np
import pytest

from corvane import _engine
from looking import bars, write_minbar
import corvane.bundle as bundle
import crash_lab

pytestmark = pytest.mark.slow

# The injector's actions (crash_shim.c).
STOP_BEFORE, STOP_AFTER = 1, 2

# Run first in the child: the injector logs every counted call under
# `directory`, and stops at the first call `stop` names ("op path" or
# "op path offset"), then waits to be killed or for a byte on `resume`.
PRELUDE = """
import ctypes as _ctypes, os as _os, sys as _sys
_sys.path.insert(0, {tests!r})
_shim = _ctypes.CDLL(None)
_shim.crash_shim_watch.argtypes = (_ctypes.c_char_p, _ctypes.c_int)
_shim.crash_shim_arm_at.argtypes = (_ctypes.c_char_p, _ctypes.c_char_p, _ctypes.c_longlong,
                                    _ctypes.c_int, _ctypes.c_int, _ctypes.c_int)
_shim.crash_shim_resume_from.argtypes = (_ctypes.c_int,)
_shim.crash_shim_watch({directory!r}.encode(), _os.open({log!r}, _os.O_WRONLY | _os.O_CREAT | _os.O_APPEND))
if {stop!r}:
    _op, _path, *_offset = {stop!r}.split()
    _shim.crash_shim_arm_at(_op.encode(), _path.encode(), int(_offset[0]) if _offset else -1,
                            {action}, 0, {notify})
if {resume} >= 0:
    _shim.crash_shim_resume_from({resume})
"""


@pytest.fixture(scope="session")
def shim():
    return crash_lab.build_shim()


class Trace:
    """Runs Python code in a child with the injector preloaded; its calls as
    (op, path, extra): a write's offset, a rename's or link's new name."""

    def __init__(self, shim, directory):
        self.shim, self.directory = shim, os.path.realpath(str(directory))
        self.log = os.path.join(self.directory, "..", os.path.basename(self.directory) + ".trace")

    def start(self, code, kill=None, hold=None):
        """The child, stopped right after the call `kill` names (to be
        killed) or before the one `hold` names (until `resume`)."""
        self.stops, notify = os.pipe()
        resume, self.resume = os.pipe() if hold else (-1, -1)
        prelude = PRELUDE.format(tests=os.path.dirname(__file__), directory=self.directory, log=self.log,
                                 stop=kill or hold, action=STOP_AFTER if kill else STOP_BEFORE,
                                 notify=notify, resume=resume)
        try:
            return subprocess.Popen([sys.executable, "-c", prelude + code],
                                    env=dict(os.environ, LD_PRELOAD=self.shim),
                                    pass_fds=[fd for fd in (notify, resume) if fd >= 0],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        finally:
            os.close(notify)
            if resume >= 0:
                os.close(resume)

    def stopped(self):
        """Whether the child stopped where it was told, before it ended."""
        ready, _, _ = select.select([self.stops], [], [], 120)
        assert ready, "the child neither stopped nor ended"
        line = os.read(self.stops, 4096)
        os.close(self.stops)
        return line.startswith(b"stopped ")

    def run(self, code, kill=None):
        if os.path.exists(self.log):
            os.remove(self.log)
        child = self.start(code, kill=kill)
        if self.stopped():
            child.send_signal(signal.SIGKILL)
        out, err = child.communicate(timeout=120)
        assert child.returncode == (-9 if kill else 0), err
        return self.events()

    def events(self):
        with open(self.log) as f:
            calls = [line.split()[1:] for line in f]
        return [(op, path, rest[-1] if rest else "") for op, path, *rest in calls]


@pytest.fixture
def trace(shim, tmp_path):
    directory = tmp_path / "files"
    directory.mkdir()
    return Trace(shim, directory)


APPEND = """
from corvane import _engine, bundle
import looking
_engine._set_write_path({path!r})
with _engine.File({file!r}, durable=True) as h5:
    h5.append_minbar(*looking.bars(bundle.EQUITIES_DTYPE, [20250107, 20250108]))
"""


def existing(trace):
    name = os.path.join(trace.directory, "X.h5")
    write_minbar(name, bundle.EQUITIES_DTYPE)
    return name


def at(events, op, path, after=-1):
    """Index of the first `op` on `path` after index `after`; None when there is none."""
    for k in range(after + 1, len(events)):
        if events[k][:2] == (op, path):
            return k
    return None


def last(events, ops, path):
    return max(k for k, event in enumerate(events) if event[0] in ops and event[1] == path)


@pytest.mark.parametrize("path", ["automatic", "beside"])
def test_a_new_file_or_version_is_flushed_before_its_rename_and_its_directory_after(trace, path):
    name = os.path.join(trace.directory, "X.h5")
    if path == "beside":
        write_minbar(name, bundle.EQUITIES_DTYPE)
    temporary = _engine.temporary_path(name)
    events = trace.run(APPEND.format(path=path, file=name))
    renamed = at(events, "rename", temporary)
    assert renamed is not None and events[renamed][2] == name, events
    flushed = at(events, "fdatasync", temporary, last(events, ("pwrite", "ftruncate"), temporary))
    assert flushed is not None and flushed < renamed, events
    named = at(events, "fsync", trace.directory, renamed)
    assert named is not None, events
    if path == "beside":
        # The names were exchanged: the old version, now under the temporary
        # name, goes once the exchange is on disk.
        assert named < at(events, "unlink", temporary, renamed), events
        assert sorted(os.listdir(trace.directory)) == ["X.h5"]


def test_in_place_the_journal_is_on_disk_before_an_original_byte_is_overwritten(trace):
    name = existing(trace)
    size = os.path.getsize(name)
    journal = _engine.journal_path(name)
    events = trace.run(APPEND.format(path="in_place", file=name))
    journalled = at(events, "pwrite", journal)
    overwrite = next(k for k, (op, path, offset) in enumerate(events)
                     if op == "pwrite" and path == name and int(offset) < size)
    # What earlier calls left in the page cache is on disk before it is journalled as original.
    assert at(events, "fdatasync", name) < journalled, events
    journal_flushed = at(events, "fdatasync", journal, last(events[:overwrite], ("pwrite",), journal))
    assert journal_flushed is not None and journal_flushed < overwrite, events
    named = at(events, "fsync", trace.directory, journalled)
    assert named is not None and named < overwrite, events
    # The file is on disk before its journal goes, and the removal after.
    removed = at(events, "unlink", journal)
    flushed = at(events, "fdatasync", name, last(events, ("pwrite", "ftruncate"), name))
    assert flushed is not None and flushed < removed, events
    assert at(events, "fsync", trace.directory, removed) is not None, events


def test_a_rolled_back_call_is_flushed_before_its_journal_goes(trace):
    name = existing(trace)
    before = open(name, "rb").read()
    journal = _engine.journal_path(name)
    code = "from corvane import _engine\n_engine._fail_once('guarded.apply')\n" + """
try:
""" + "\n".join("    " + line for line in APPEND.format(path="in_place", file=name).splitlines()) + """
except OSError:
    pass
else:
    raise SystemExit("the injected failure did not fail the call")
"""
    events = trace.run(code)
    assert open(name, "rb").read() == before
    removed = at(events, "unlink", journal)
    flushed = at(events, "fdatasync", name, last(events, ("pwrite", "ftruncate"), name))
    assert flushed is not None and removed is not None and flushed < removed, events


def test_a_recovery_is_flushed_before_the_dead_writers_journal_goes(trace):
    name = existing(trace)
    before = open(name, "rb").read()
    journal = _engine.journal_path(name)
    # The writer dies right after its first overwrite of the file (its
    # signature blanked): the journal must undo it.
    trace.run(APPEND.format(path="in_place", file=name), kill="pwrite {} 0".format(name))
    assert os.path.exists(journal) and open(name, "rb").read() != before
    events = trace.run("from corvane import _engine\n_engine.File({!r}).abort()\n".format(name))
    assert open(name, "rb").read() == before and not os.path.exists(journal)
    removed = at(events, "unlink", journal)
    flushed = at(events, "fdatasync", name, last(events, ("pwrite", "ftruncate"), name))
    assert flushed is not None and removed is not None and flushed < removed, events


def hold_before_rename(trace, name):
    """A writer of the new file `name`, held just before its rename; the writer."""
    writer = trace.start(APPEND.format(path="automatic", file=name),
                         hold="rename " + _engine.temporary_path(name))
    # The writer's sign that it is held.
    assert trace.stopped(), ("the writer never reached its rename", writer.communicate())
    return writer


def release(trace, writer):
    os.write(trace.resume, b"go")
    os.close(trace.resume)
    out, err = writer.communicate(timeout=120)
    return writer.returncode, err


def test_a_new_file_between_its_flush_and_its_rename_keeps_other_writers_out(trace):
    name = os.path.join(trace.directory, "X.h5")
    writer = hold_before_rename(trace, name)
    try:
        # Its temporary file is unlocked now; only the writer lock keeps a second writer off.
        with pytest.raises(OSError, match="being written by another process"):
            _engine.File(name)
        assert os.path.exists(_engine.temporary_path(name))
    finally:
        status, err = release(trace, writer)
    assert status == 0, err
    with _engine.File(name) as h5:
        assert h5.length("index") == 2


def test_a_new_file_never_replaces_one_another_process_created_meanwhile(trace):
    name = os.path.join(trace.directory, "X.h5")
    writer = hold_before_rename(trace, name)
    try:
        with open(name, "wb") as f:
            f.write(b"theirs")
    finally:
        status, err = release(trace, writer)
    assert status != 0 and "created by another process meanwhile" in err
    assert open(name, "rb").read() == b"theirs"
    assert sorted(os.listdir(trace.directory)) == ["X.h5"]


@pytest.fixture
def beside():
    _engine._set_write_path("beside")
    yield
    _engine._set_write_path("automatic")


def test_a_version_written_beside_never_replaces_a_file_another_process_put_there(tmp_path, beside):
    name = str(tmp_path / "X.h5")
    write_minbar(name, bundle.EQUITIES_DTYPE)
    other = str(tmp_path / "other.h5")
    write_minbar(other, bundle.EQUITIES_DTYPE, days=[20250102])
    theirs = open(other, "rb").read()
    h5 = _engine.File(name)
    h5.append_minbar(*bars(bundle.EQUITIES_DTYPE, [20250107]))
    os.replace(other, name)   # as another process would, between our open and commit
    with pytest.raises(OSError, match="replaced by another process"):
        h5.close()
    assert open(name, "rb").read() == theirs
    assert sorted(os.listdir(tmp_path)) == ["X.h5"]


def test_a_smaller_tick_day_gives_back_the_space_of_the_larger(tmp_path):
    name = str(tmp_path / "T.h5")
    rng = np.random.default_rng(7)
    big = np.zeros(100_000, dtype=bundle.H5TicksLoader.DTYPES)
    for field in big.dtype.names:
        big[field] = rng.integers(0, 1 << 20, len(big))
    small = big[:10]
    with _engine.File(name) as h5:
        h5.write_day("20250102", big)
    grown = os.path.getsize(name)
    with _engine.File(name) as h5:
        h5.write_day("20250102", small)
    # HDF5 keeps some of the freed space inside the file; what lies past
    # its end of allocation goes.
    assert os.path.getsize(name) < 0.8 * grown


def half_written(trace, name, days):
    """`name` holding `days` of bars, left by a writer killed after blanking its signature."""
    with _engine.File(name) as h5:
        h5.append_minbar(*bars(bundle.EQUITIES_DTYPE, days, per_day=240))
    trace.run(APPEND.format(path="in_place", file=name).replace("20250107, 20250108", "20250107"),
              kill="pwrite {} 0".format(name))
    assert os.path.exists(_engine.journal_path(name))


def test_a_dead_writers_journal_is_never_applied_to_another_version_copied_over_its_file(trace):
    name = os.path.join(trace.directory, "X.h5")
    other = os.path.join(trace.directory, "Y.h5")
    days = [20200000 + 10000 * (k // 300) + k % 300 for k in range(360)]
    half_written(trace, other, days[:300])
    os.remove(_engine.journal_path(other))
    copied = open(other, "rb").read()
    half_written(trace, name, days)
    # A backup of another version, itself taken mid-write, copied over the
    # file in place: same inode, same name, but not the bytes the journal saved.
    with open(name, "r+b") as f:
        f.truncate(0)
        f.write(copied)
    try:
        _engine.File(name).abort()
    except OSError:
        pass   # the copy is half written itself; what matters is what is left
    assert open(name, "rb").read() == copied
    assert not os.path.exists(_engine.journal_path(name))


def test_a_temporary_file_someone_holds_locked_is_never_taken_for_a_dead_writers(tmp_path):
    import fcntl

    name = str(tmp_path / "X.h5")
    temporary = _engine.temporary_path(name)
    # A writer whose lock file was removed by hand meanwhile: only its
    # temporary file's own lock says it is alive.
    with open(temporary, "wb") as held:
        held.write(b"being built")
        held.flush()
        fcntl.flock(held, fcntl.LOCK_EX)
        with pytest.raises(OSError, match="being written by another process"):
            _engine.File(name)
        assert open(temporary, "rb").read() == b"being built"
    assert not os.path.exists(name)


COMMIT = """
from corvane.history import commits
commits.commit({root!r}, "minbar", {{"command": "x"}}, {{"f.h5": {{"file": "f.h5", "segments": 0}}}}, durable=True)
"""


def test_a_durable_manifest_is_flushed_before_its_rename_and_its_name_after(trace):
    events = trace.run(COMMIT.format(root=str(trace.directory)))
    (renamed,) = [k for k, event in enumerate(events) if event[0] == "rename"]
    temporary, manifest = events[renamed][1:]
    assert manifest.endswith(".jsonl") and os.path.exists(manifest), events
    flushed = at(events, "fsync", temporary, last(events, ("write",), temporary))
    assert flushed is not None and flushed < renamed, events
    assert at(events, "fsync", os.path.dirname(manifest), renamed) is not None, events


STORE_APPEND = """
from corvane import bundle
from corvane.updater import stores
import looking
with stores.open_instrument_file({file!r}, durable={durable}) as h5:
    h5.append_minbar(*looking.bars(bundle.EQUITIES_DTYPE, [20250107, 20250108]))
"""


@pytest.mark.parametrize("durable", [True, False])
def test_a_durable_store_job_flushes_its_file_and_a_plain_one_does_not(trace, durable):
    # The line between a job's --durable and the engine: each end is tested on its own elsewhere.
    name = existing(trace)
    events = trace.run(STORE_APPEND.format(file=name, durable=durable))
    flushes = [event for event in events if event[0] in ("fsync", "fdatasync")]
    assert bool(flushes) == durable, events


def test_a_version_written_beside_held_at_its_rename_never_replaces_a_file_put_there(trace):
    name = existing(trace)
    other = os.path.join(os.path.dirname(trace.directory), "other.h5")
    write_minbar(other, bundle.EQUITIES_DTYPE, days=[20250102])
    theirs = open(other, "rb").read()
    writer = trace.start(APPEND.format(path="beside", file=name), hold="rename " + _engine.temporary_path(name))
    assert trace.stopped(), ("the writer never reached its rename", writer.communicate())
    try:
        os.replace(other, name)   # another process's file, put at the name after the writer's last check
    finally:
        status, err = release(trace, writer)
    assert open(name, "rb").read() == theirs
    assert status != 0 and "replaced by another process" in err


def test_a_version_written_beside_held_at_its_rename_keeps_every_other_writer_of_the_name_out(trace):
    # So no corvane process can put a file at the name between the writer's check and its exchange.
    name = existing(trace)
    before = open(name, "rb").read()
    writer = trace.start(APPEND.format(path="beside", file=name), hold="rename " + _engine.temporary_path(name))
    assert trace.stopped(), ("the writer never reached its rename", writer.communicate())
    try:
        with pytest.raises(OSError, match="being written by another process"):
            with _engine.File(name) as h5:
                h5.append_minbar(*bars(bundle.EQUITIES_DTYPE, [20250109]))
        with pytest.raises(OSError, match="being written by another process"):
            _engine.recover(name)
        assert open(name, "rb").read() == before
    finally:
        status, err = release(trace, writer)
    assert status == 0, err
    with _engine.File(name) as h5:
        assert h5.read("index")["date"][-2:].tolist() == [20250107, 20250108]


# The child refuses the exchange of names as a file system without it does.
NO_EXCHANGE = """
import errno
_shim.crash_shim_arm_at(b"rename", {temporary!r}.encode(), -1, 3, errno.{errno}, -1)
from corvane import _engine, bundle
import looking
_engine._set_write_path("beside")
try:
    with _engine.File({file!r}) as h5:
        h5.append_minbar(*looking.bars(bundle.EQUITIES_DTYPE, [20250107, 20250108]))
except OSError as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("errno", ["EINVAL", "ENOSYS"])
def test_a_version_written_beside_where_names_cannot_be_exchanged_is_refused_as_busy(trace, errno):
    name = existing(trace)
    before = open(name, "rb").read()
    child = trace.start(NO_EXCHANGE.format(temporary=_engine.temporary_path(name), errno=errno, file=name))
    out, err = child.communicate(timeout=120)
    os.close(trace.stops)
    assert child.returncode == 0, err
    assert out.startswith("BusyError") and "cannot exchange two names" in out, out
    assert open(name, "rb").read() == before
    assert sorted(os.listdir(trace.directory)) == ["X.h5"]
