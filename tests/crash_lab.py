"""The crash-point sweep: every counted syscall of a write path, stopped, torn or failed.

    python crash_lab.py CASE_JSON      (run with the fault injector preloaded)

Prints one JSON line: the case's counted syscalls and, per trial, what the
readers saw.  A case is one write path ("new": a first fill; "in_place": a
daily append; "beside": the same, the new version forced beside the file;
"tick_day": the latest tick day rewritten and the next one added;
"early": a shrink, whose cut lands early in place; "revise_tail": a
minute-bar file's last day cut and written again, the next one appended;
"revise_day": a tick day written again; both move what they replace to a
segment of the side store first), one durable setting and one reader mode:
- "none":    nobody reads while the writer runs;
- "holding": an h5py reader holds the file from before the writer starts
             until after the next open, and reads it at every step;
- "polling": a reader opens the file afresh while the writer is stopped,
             and one more holds it from the writer's death through the
             next open.

The writer first runs once with every counted call logged; then, per counted
call, it is stopped before it, stopped after it, its write torn, or it fails
with EIO or ENOSPC.  A stopped writer is killed once the readers have looked.
Each look is an h5py reader in a process forked for it from this one, which
never opens a bundle file itself: "old" or "new" (every dataset byte for byte
as before the call or as a faultless call leaves it), "absent", "refused"
(the open fails), "mixed" (it opens and reads another version) or "torn"
(it opens but a read fails).  Then the next open (the engine's, as any later
update starts) and a last look, and, when the file is still old, the update
again, which must succeed.

A root's history is swept too ("revise_run", "revise_tick_run": an update run
with a revision of minute bars or of a tick day, on a root that has a
version; "repair": verify --repair of a root a run was
killed on after its revision): the run is killed before and after each
rename and unlink it makes (every counted call in the soak), then the file
must be as before or after it, every version of the log read back exactly
what it held, before and after verify --repair, the newest version after the
repair hold the file, and verify find nothing more.

Bad outcomes: a mixed or torn look; a file refused or absent after the next
open ("stuck"), or an update that fails again; a file that was seen new (or
whose call reported success) and is old after the next open ("rolled back");
a holding reader whose version changed under it; a hidden companion file left
after the next open ("litter"); a writer that neither stops nor ends ("hung");
for a revision, a file seen new without a whole segment of the rows it
replaced, or a segment that is not whole or holds other rows ("lost").
"""
import collections
import ctypes
import errno
import hashlib
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import traceback

import numpy as np

ACTIONS = {"stop_before": 1, "stop_after": 2, "fail": 3, "tear": 4, "tear_end": 5}
WRITES = ("write", "pwrite", "copy_file_range")
# A writer takes milliseconds; one that has not stopped or ended after this
# is hung, whatever the machine's load.
HUNG_AFTER = 120.0
BARS_A_DAY = 240
NAME = "10003.HBX.h5"


# --------------------------------------------------------------------------- the records

def dtype_of(name):
    from corvane import _engine

    layout = _engine.layouts()[name]
    fields = layout["fields"]
    return np.dtype({"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                     "offsets": [f[2] for f in fields], "itemsize": layout["itemsize"]})


def minbar_batch(first_day, days):
    """(index, bars) of `days` trading days from `first_day`, 240 bars each."""
    rng = np.random.default_rng(first_day)
    dates = np.busday_offset(np.datetime64("2024-01-02"), np.arange(first_day, first_day + days))
    bars = np.zeros(days * BARS_A_DAY, dtype_of("EQUITIES_DTYPE"))
    ymd = np.repeat([int(str(d).replace("-", "")) for d in dates], BARS_A_DAY)
    minutes = np.tile(np.arange(BARS_A_DAY), days)
    bars["datetime"] = ymd.astype(np.int64) * 1000000 + (93000 + (minutes // 60) * 10000 + (minutes % 60) * 100)
    bars["close"] = 10 + np.cumsum(rng.normal(0, 0.01, len(bars))).round(2)
    bars["volume"] = rng.integers(100, 100000, len(bars)) * 100.0
    index = np.zeros(days, dtype_of("INDEX_DTYPE"))
    index["date"] = [int(str(d).replace("-", "")) for d in dates]
    index["line_no"] = np.arange(days) * BARS_A_DAY
    return index, bars


TICK = np.dtype([("datetime", "<i8"), ("last", "<f8"), ("volume", "<f8")])


def ticks(day, rows):
    rng = np.random.default_rng(int(day))
    out = np.zeros(rows, TICK)
    out["datetime"] = int(day) * 1000000000 + np.arange(rows)
    out["last"] = 10 + np.cumsum(rng.normal(0, 0.01, rows))
    out["volume"] = rng.integers(1, 1000, rows)
    return out


def prepare(kind, path):
    """The file as it stands before the call (nothing for a first fill)."""
    from corvane import _engine

    if kind == "new":
        return
    with _engine.File(path) as h5:
        if kind in ("tick_day", "early", "revise_day"):
            h5.write_day("20240102", ticks("20240102", 3000))
            h5.write_day("20240103", ticks("20240103", 2000))
        else:
            h5.append_minbar(*minbar_batch(0, 5))


def update(kind, path, durable, beside=False):
    """The call under test."""
    from corvane import _engine

    _engine._set_write_path("beside" if beside else "automatic")
    with _engine.File(path, durable=durable) as h5:
        if kind == "tick_day":
            h5.write_day("20240103", ticks("20240104", 2500))
            h5.write_day("20240104", ticks("20240104", 1000))
        elif kind == "early":
            h5.remove("20240103")
        elif kind == "revise_tail":
            h5.revise_minbar(int(minbar_batch(4, 1)[0]["date"][0]), *minbar_batch(4, 2), side_of(path))
        elif kind == "revise_day":
            h5.revise_days([("20240103", ticks("20240105", 2000))], side_of(path))
        else:
            days = 5 if kind == "new" else 1
            first = 0 if kind == "new" else 5
            if "index" in h5:
                h5.read_last("index")
            h5.append_minbar(*minbar_batch(first, days))


def side_of(path):
    """The side store of the file at `path`, where a revision moves what it replaces."""
    return os.path.join(os.path.dirname(path), HIDDEN, "superseded", os.path.basename(path))


def side_state(path):
    """(digest of each segment as look_once gives it, hidden names left beside them)."""
    side = side_of(path)
    names = sorted(os.listdir(side)) if os.path.isdir(side) else []
    segments = [forked(look_once, os.path.join(side, name)) for name in names if not name.startswith(".")]
    return segments, [name for name in names if name.startswith(".")]


def settle_side(path):
    """What the next revision of the file does first in its side store: a dead
    writer's companions of a segment settled."""
    from corvane import _engine

    side = side_of(path)
    for name in os.listdir(side) if os.path.isdir(side) else []:
        found = _engine.companion_of(name, ".h5")
        if found is not None:
            _engine.recover(os.path.join(side, found[1]))


def next_open(path):
    """What any later update does first: open the file (recovering it) and read;
    a file that is not there yet is begun and abandoned."""
    from corvane import _engine

    h5 = _engine.File(path)
    try:
        for name in h5.members():
            h5.length(name)
    finally:
        h5.abort()


# --------------------------------------------------------------------------- readers

def digest(h5):
    content = hashlib.sha1()
    for name in sorted(h5):
        content.update(name.encode())
        content.update(h5[name][()].tobytes())
    return content.hexdigest()


def look_once(path):
    import h5py

    try:
        h5 = h5py.File(path, "r")
    except FileNotFoundError:
        return "absent"
    except OSError as exc:
        return "refused: " + str(exc).splitlines()[0][:160]
    try:
        with h5:
            return digest(h5)
    except Exception as exc:  # noqa: BLE001  (whatever HDF5 makes of a torn file)
        return "torn: " + str(exc).splitlines()[0][:160]


def forked(target, *args):
    """Runs target(*args) in a forked process; its return value (a str)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            answer = target(*args)
        except BaseException:  # noqa: BLE001
            answer = "error: " + traceback.format_exc().strip().splitlines()[-1][:200]
        os.write(write_end, answer.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as answer:
        text = answer.read().decode()
    os.waitpid(pid, 0)
    return text


class Holder:
    """An h5py reader in a process of its own that holds the file open and
    reads it again whenever asked."""

    def __init__(self, path):
        to_child, self._to_child = os.pipe()
        self._from_child, from_child = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(self._to_child)
            os.close(self._from_child)
            self._serve(path, to_child, from_child)
        os.close(to_child)
        os.close(from_child)
        self._commands = os.fdopen(self._to_child, "w")
        self._answers = os.fdopen(self._from_child, "r")
        self.first = self._answers.readline().strip()

    @staticmethod
    def _serve(path, commands, answers):
        import h5py

        out = os.fdopen(answers, "w")
        inbox = os.fdopen(commands, "r")
        try:
            h5 = h5py.File(path, "r")
        except OSError as exc:
            out.write(("absent" if not os.path.exists(path) else
                       "refused: " + str(exc).splitlines()[0][:160]) + "\n")
            out.flush()
            os._exit(0)
        out.write(look_held(h5) + "\n")
        out.flush()
        for _ in inbox:
            out.write(look_held(h5) + "\n")
            out.flush()
        os._exit(0)

    def look(self):
        if not self.holds:
            return self.first
        self._commands.write("look\n")
        self._commands.flush()
        return self._answers.readline().strip()

    @property
    def holds(self):
        return not (self.first == "absent" or self.first.startswith("refused"))

    def close(self):
        self._commands.close()
        self._answers.close()
        os.waitpid(self.pid, 0)


def look_held(h5):
    try:
        return digest(h5)
    except Exception as exc:  # noqa: BLE001
        return "torn: " + str(exc).splitlines()[0][:160]


# --------------------------------------------------------------------------- the writer

def shim():
    lib = ctypes.CDLL(None)
    lib.crash_shim_watch.argtypes = (ctypes.c_char_p, ctypes.c_int)
    lib.crash_shim_arm.argtypes = (ctypes.c_long, ctypes.c_int, ctypes.c_int, ctypes.c_int)
    lib.crash_shim_resume_from.argtypes = (ctypes.c_int,)
    lib.crash_shim_count.restype = ctypes.c_long
    return lib


def start_writer(case, path, point=0, action=0, error=0, log=False, resume=None):
    """Forks the writer; (pid, read end): its log lines, then its last line
    ("stopped N NAME", "ok" or "error: ..."). With `resume` (a pipe's read
    end), a stopped writer goes on when a byte arrives there."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        lib = shim()
        lib.crash_shim_watch(os.path.dirname(path).encode(), write_end if log else -1)
        lib.crash_shim_arm(point, action, error, write_end)
        if resume is not None:
            lib.crash_shim_resume_from(resume)
        child_reports(lib, write_end, lambda: update(case["path"], path, case["durable"],
                                                     beside=case["path"] == "beside"))
    os.close(write_end)
    return pid, read_end


def child_reports(lib, write_end, work):
    """In a forked writer: run `work`, stop watching, report "ok" or its error on `write_end`, exit."""
    try:
        work()
        result = "ok\n"
    except Exception as exc:  # noqa: BLE001
        result = "error: " + " ".join(str(exc).split())[:200] + "\n"
    lib.crash_shim_watch(b"", -1)
    os.write(write_end, result.encode())
    os._exit(0)


def wait_writer(pid, read_end):
    """Lines until the writer stops or ends: (log lines, last line)."""
    lines = []
    buffered = b""
    while True:
        ready, _, _ = select.select([read_end], [], [], HUNG_AFTER)
        if not ready:
            return lines, "hung"
        chunk = os.read(read_end, 65536)
        if not chunk:
            return lines, "hung" if not lines else lines[-1]
        buffered += chunk
        while b"\n" in buffered:
            line, buffered = buffered.split(b"\n", 1)
            text = line.decode()
            if text.startswith(("stopped ", "ok", "error: ")):
                return lines, text
            lines.append(text)


def end_writer(pid, read_end, stopped):
    if stopped:
        os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    os.close(read_end)


# --------------------------------------------------------------------------- one trial

def classify(seen, versions):
    if seen in versions:
        return versions[seen]
    if seen in ("absent",) or seen.startswith(("refused", "torn")):
        return seen.split(":")[0]
    return "mixed"


def trial(case, template, work, versions, point, action, error):
    """What the readers saw when the writer was stopped or failed at `point`."""
    path = os.path.join(work, NAME)
    for old in (work, work + MOVED):
        if os.path.exists(old):
            shutil.rmtree(old)
    if os.path.exists(template):
        shutil.copytree(template, work)
    else:
        os.mkdir(work)
    mode = case["mode"]
    look = lambda: classify(forked(look_once, path), versions)  # noqa: E731
    seen = {}
    holder = Holder(path) if mode == "holding" else None
    disturbance = case.get("disturb")
    resume, go = os.pipe() if disturbance else (None, None)
    pid, read_end = start_writer(case, path, point, ACTIONS[action], error, resume=resume)
    _, last = wait_writer(pid, read_end)
    stopped = last.startswith("stopped")
    if disturbance:
        os.close(resume)
        if stopped:
            work, path = disturb(disturbance, work)
            look = lambda: classify(forked(look_once, path), versions)  # noqa: E731
            os.write(go, b"x")
            _, last = wait_writer(pid, read_end)
            stopped = last.startswith("stopped")
        os.close(go)
    seen["writer"] = "ok" if last == "ok" else ("stopped" if stopped else last.split(":")[0])
    if stopped and mode == "polling":
        seen["moment"] = look()
    if holder is not None:
        seen["holder at the moment"] = classify(holder.look(), versions)
    end_writer(pid, read_end, stopped)
    if mode == "none":
        seen["after"] = look()
    else:
        if holder is None:
            holder = Holder(path)
            seen["after"] = classify(holder.first, versions)
        else:
            seen["holder after"] = classify(holder.look(), versions)
    opened = forked(lambda: next_open(path) or "ok")
    seen["next open"] = "ok" if opened == "ok" else "error"
    if holder is not None:
        seen["holder after next open"] = classify(holder.look(), versions)
        holder.close()
    seen["final"] = look()
    seen["litter"] = leftovers(work)
    if disturbance == "moved" and os.path.exists(work[:-len(MOVED)]):
        seen["litter"] += ["the old directory: " + " ".join(os.listdir(work[:-len(MOVED)]))]
    if seen["final"] == "old":
        redone = forked(lambda: update(case["path"], path, case["durable"],
                                       beside=case["path"] == "beside") or "ok")
        seen["redo"] = "ok" if redone == "ok" else "error: " + redone[:160]
        seen["litter"] += leftovers(work)
    if case["path"] in REVISIONS:
        forked(lambda: settle_side(path) or "ok")
        seen["segments"], hidden = side_state(path)
        seen["litter"] += hidden
    return seen, judge(seen, opened, versions)


MOVED = "-moved"


def disturb(how, work):
    """What another process does while the writer is stopped: "moved", the
    file's directory renamed. (work, path) after it."""
    assert how == "moved"
    os.rename(work, work + MOVED)
    return work + MOVED, os.path.join(work + MOVED, NAME)


def leftovers(work):
    return sorted(name for name in os.listdir(work) if name not in (NAME, HIDDEN))


def judge(seen, opened, versions):
    """The bad outcomes of one trial: [(kind, detail)]."""
    bad = []
    for where, what in seen.items():
        if where in ("writer", "next open", "litter", "redo"):
            continue
        if what in ("mixed", "torn"):
            bad.append((what, where))
    if seen["writer"] == "hung":
        bad.append(("hung", "writer"))
    if seen["next open"] != "ok" or seen["final"] in ("refused", "torn") or (
            seen["final"] == "absent" and "absent" not in versions):
        bad.append(("stuck", "next open: " + opened[:160] if opened != "ok" else seen["final"]))
    if seen.get("redo", "ok") != "ok":
        bad.append(("stuck", "update again: " + seen["redo"]))
    shown_new = seen["writer"] == "ok" or "new" in (seen.get("moment"), seen.get("after"),
                                                     seen.get("holder at the moment"))
    if shown_new and seen["final"] != "new":
        bad.append(("rolled back", "seen new, then {}".format(seen["final"])))
    held = [seen[k] for k in ("holder at the moment", "holder after", "holder after next open")
            if k in seen]
    if seen.get("after") in ("old", "new") and "holder after next open" in seen:
        held = [seen["after"]] + held
    if len(set(held)) > 1:
        bad.append(("changed under a holder", " -> ".join(held)))
    if seen["litter"]:
        bad.append(("litter", " ".join(sorted(set(seen["litter"])))))
    if "segments" in seen:
        segment = versions["segment"]
        if any(found != segment for found in seen["segments"]):
            bad.append(("lost", "a segment holds other rows: {}".format(seen["segments"])))
        elif seen["final"] == "new" and not seen["segments"]:
            bad.append(("lost", "new without the segment of what it replaced"))
    return bad


# --------------------------------------------------------------------------- the sweep

def versions_of(case, root):
    """{digest: "old"/"new"}: the file before the call and after a faultless one."""
    template = os.path.join(root, "template")
    os.mkdir(template)
    path = os.path.join(template, NAME)
    forked(lambda: prepare(case["path"], path) or "ok")
    versions = {forked(look_once, path): "old"}
    scratch = os.path.join(root, "scratch")
    shutil.copytree(template, scratch)
    pid, read_end = start_writer(case, os.path.join(scratch, NAME), log=True)
    log, last = wait_writer(pid, read_end)
    end_writer(pid, read_end, False)
    if last != "ok":
        raise RuntimeError("the faultless call failed: " + last)
    versions[forked(look_once, os.path.join(scratch, NAME))] = "new"
    if case["path"] in REVISIONS:
        versions["segment"], = side_state(os.path.join(scratch, NAME))[0]
    shutil.rmtree(scratch)
    return template, versions, [line.split(" ")[1:] for line in log]


SECTOR = 512


def tearable(call):
    """Whether a logged call is a write that crosses a sector boundary: one
    within a sector lands whole or not at all."""
    if call[0] not in WRITES:
        return False
    if call[0] == "copy_file_range":
        return True
    size, offset = int(call[-2]), int(call[-1])
    return offset // SECTOR != (offset + size - 1) // SECTOR


def plan(calls, actions):
    """(point, action, errno) of every trial: each counted call stopped before
    and after it ("stop_after_last": after the last one only, since stopping
    after one call differs from stopping before the next only by the calls
    that are not counted), each write torn at a sector boundary, each call
    failed with each errno."""
    trials = []
    for point, call in enumerate(calls, 1):
        for action in actions:
            if action.startswith("tear") and not tearable(call):
                continue
            if action == "stop_after_last":
                if point == len(calls):
                    trials.append((point, "stop_after", 0))
            elif action.startswith("fail:"):
                trials.append((point, "fail", getattr(errno, action.split(":")[1])))
            else:
                trials.append((point, action, 0))
    return trials


def sweep(case):
    root = tempfile.mkdtemp(prefix="corvane-sweep-", dir=case.get("dir"))
    try:
        template, versions, calls = versions_of(case, root)
        outcomes = collections.Counter()
        bad = []
        trials = plan(calls, case["actions"])
        for point, action, error in trials:
            seen, faults = trial(case, template, os.path.join(root, "trial"), versions, point, action, error)
            outcomes["final " + seen["final"]] += 1
            for kind, detail in faults:
                outcomes["bad: " + kind] += 1
                bad.append({"point": point, "call": " ".join(calls[point - 1]), "action": action,
                            "errno": errno.errorcode.get(error, ""), "kind": kind,
                            "detail": detail, "seen": seen})
        return {"calls": [call[0] for call in calls], "trials": len(trials), "outcomes": dict(outcomes),
                "bad": bad}
    finally:
        shutil.rmtree(root, ignore_errors=True)


# --------------------------------------------------------------------------- driving it

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REVISIONS = ("revise_tail", "revise_day")
PATHS = ("new", "in_place", "beside", "tick_day", "early") + REVISIONS
# A revision names its side store by path: one whose directory is renamed
# mid-call makes its segment at the old place (a known limit).
MOVABLE = PATHS[:-len(REVISIONS)]
HIDDEN = ".corvane"
MODES = ("none", "holding", "polling")
# The quick sweep of the suite; the soak adds every stop after a call and ENOSPC.
QUICK = ("stop_before", "stop_after_last", "tear", "tear_end", "fail:EIO")
FULL = ("stop_before", "stop_after", "tear", "tear_end", "fail:EIO", "fail:ENOSPC")


def cases():
    """(path, durable, mode) of every case; a first fill has no file to hold."""
    return [(path, durable, mode) for path in PATHS for durable in (False, True) for mode in MODES
            if not (path == "new" and mode == "holding")]


# Another process's doing while the writer is stopped before a call, after
# which the writer goes on: the file's directory renamed. (A file replaced
# meanwhile has no such check: replaced after the writer's last look at its
# identity, the old copy rightly stands over a call that reported success.)
DISTURBANCES = ("moved",)


def build_shim():
    """The fault injector, built by CMake in the checkout's build directory."""
    build = os.path.join(ROOT, "build", "crash-shim")
    cmake = os.path.join(os.path.dirname(sys.executable), "cmake")
    cmake = cmake if os.path.exists(cmake) else "cmake"
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run([cmake, "-S", os.path.join(ROOT, "native", "tests", "crash_shim"), "-B", build,
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", build], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "libcorvane_crash_shim.so")


def scratch_dir():
    """Where trials run: memory when there is some (a durable call's flushes
    then cost nothing; what a flush orders is not what the sweep looks at)."""
    return "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None


def swept(shim, case):
    """The sweep of `case`, in a process of its own with the injector preloaded."""
    env = dict(os.environ, LD_PRELOAD=shim)
    done = subprocess.run([sys.executable, os.path.abspath(__file__), json.dumps(case)], env=env,
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError("the sweep of {} failed:\n{}".format(case, done.stderr))
    return json.loads(done.stdout)


def run_case(shim, path, durable, mode, actions, disturb=None):
    """The sweep of one case, in a process of its own with the injector preloaded."""
    case = {"path": path, "durable": durable, "mode": mode, "actions": list(actions),
            "dir": scratch_dir(), "disturb": disturb}
    return swept(shim, case)


def summary(path, durable, mode, result):
    """One line of counts: calls, trials, final versions, bad outcomes by kind."""
    outcomes = result["outcomes"]
    bad = ", ".join("{} {}".format(v, k[5:]) for k, v in sorted(outcomes.items()) if k.startswith("bad: "))
    return "{:<16}{:<8}{:<8}{:>6}{:>7}{:>6}{:>6}  {}".format(
        path, "durable" if durable else "-", mode, len(result["calls"]), result["trials"],
        outcomes.get("final old", 0), outcomes.get("final new", 0), bad or "none")


HEADER = "{:<16}{:<8}{:<8}{:>6}{:>7}{:>6}{:>6}  {}".format("path", "flush", "readers", "calls",
                                                          "trials", "old", "new", "bad outcomes")


# --------------------------------------------------------------------------- a root's history

# "revise_run": an update run on a root with a version: its marker, a revision
# of its file's last day (a segment to the side store, the file's journal),
# its version committed, its marker removed; "revise_tick_run": the same on a
# tick directory, a stored tick day written again.  "repair": verify --repair
# of a root a run was killed on after its revision, before its version.  Each is
# killed at each rename and unlink it makes (a segment, a journal, a
# manifest, a marker landing or going), before the call and after it.
HISTORY = ("revise_run", "revise_tick_run", "repair")
HISTORY_CALLS = ("rename", "unlink")
HISTORY_ACTIONS = ("stop_before", "stop_after")
STOCK = "10003.HBX"


class _Outcome(collections.namedtuple("_Outcome", "state")):
    """What a job hands a run's recorder: the entry of the file it changed."""


def kind_of(case_path):
    return "tick" if case_path == "revise_tick_run" else "minbar"


def history_file(root):
    """The root's one file: a minute-bar file under equities/, or a tick file."""
    equities = os.path.join(root, "equities", NAME)
    return equities if os.path.isdir(os.path.dirname(equities)) else os.path.join(root, NAME)


def revise_history_file(root, durable):
    """The file's last stored day (a minute-bar file) or a stored tick day written again, what
    it replaces moved to the side store first; the day."""
    from corvane import _engine
    from corvane.updater import revisit

    h5_file = history_file(root)
    with _engine.File(h5_file, durable=durable) as h5:
        side = revisit.side_store(root, h5_file)
        if "index" not in h5.members():
            h5.revise_days([("20240103", ticks("20240105", 2000))], side)
            return "20240103"
        index, bars = minbar_batch(4, 2)
        h5.revise_minbar(int(index["date"][0]), index, bars, side)
    return str(index["date"][0])


def history_prepare(case_path, root):
    """A root holding one version of its file; for "repair", then a run killed after its
    revision, before its version."""
    from corvane import _engine
    from corvane.history import commits

    kind = kind_of(case_path)
    h5_file = os.path.join(root, NAME) if kind == "tick" else os.path.join(root, "equities", NAME)
    os.makedirs(os.path.dirname(h5_file))
    with _engine.File(h5_file) as h5:
        if kind == "tick":
            h5.write_day("20240102", ticks("20240102", 3000))
            h5.write_day("20240103", ticks("20240103", 2000))
        else:
            h5.append_minbar(*minbar_batch(0, 5))
    commits.commit(root, kind, {"command": "fill", "words": [STOCK], "counts": {}}, {})
    if case_path == "repair":
        killed = commits.Recorder(root, kind)
        killed.begin([STOCK])
        revise_history_file(root, False)
        killed.close()      # its lock goes with the process; its marker stays


def history_update(case_path, root, durable):
    """The run under test."""
    from corvane.history import check as version_check
    from corvane.history import commits
    from corvane.history import states

    kind = kind_of(case_path)
    if case_path == "repair":
        version_check.check_log(root, kind, repair=True)
        return
    recorder = commits.Recorder(root, kind, durable)
    recorder.begin([STOCK])
    day = revise_history_file(root, durable)
    entry = dict(states.file_state(root, history_file(root), kind), revised=[day])
    recorder.commit({"command": "update-" + kind, "words": [STOCK], "kind": kind, "exit_status": 0,
                     "counts": {}}, [_Outcome(states.Entry(entry))])


def engine_digest(reader):
    """The digest of every dataset as `reader` (the engine's, or a version's) gives them."""
    content = hashlib.sha1()
    for name in sorted(reader.members()):
        content.update(name.encode())
        content.update(reader.read(name).tobytes())
    return content.hexdigest()


def history_look(root, kind):
    """What a later process finds (JSON): the file after its next open, each version of the
    log read back, then verify --repair and verify, and each version read back again."""
    from corvane import _engine
    from corvane.history import asof
    from corvane.history import check as version_check
    from corvane.history import versions

    h5_file = history_file(root)
    next_open(h5_file)
    with _engine.Reader(h5_file) as reader:
        found = {"file": engine_digest(reader)}

    def each_version():
        held = {}
        for version_id in versions.version_ids(root):
            try:
                with asof.Version(root, version_id).open(h5_file) as view:
                    held[version_id] = engine_digest(view)
            except Exception as exc:  # noqa: BLE001  (whatever a read as of it raises)
                held[version_id] = "unreadable: " + " ".join(str(exc).split())[:160]
        return held

    found["versions"] = each_version()
    try:
        version_check.check_log(root, kind, repair=True)
        findings, _ = version_check.check_log(root, kind)
        found["findings"] = [" ".join(map(str, finding))[:200] for finding in findings]
    except Exception as exc:  # noqa: BLE001
        found["findings"] = ["verify --repair failed: " + " ".join(str(exc).split())[:160]]
    found["repaired"] = each_version()
    found["newest"] = versions.version_ids(root)[-1]
    with _engine.Reader(h5_file) as reader:
        found["file after repair"] = engine_digest(reader)
    return json.dumps(found)


def history_judge(seen, expected):
    """The bad outcomes of one trial of a root's history: [(kind, detail)]."""
    bad = []
    file = expected.get(seen["file"])
    if file is None:
        bad.append(("mixed", "the file is neither before nor after the run"))
    if seen["file after repair"] != seen["file"]:
        bad.append(("changed by repair", "verify --repair changed the file"))
    for when in ("versions", "repaired"):
        for version_id, digest in seen[when].items():
            # The prepared versions read as before the run; a later one (the run's, or the
            # repair's covering what a killed run wrote) as the file now is.
            want = expected["before"].get(version_id, seen["file"])
            if digest != want:
                bad.append(("lost", "version {} {}: {}".format(version_id, when, digest[:80])))
    if seen["repaired"].get(seen["newest"]) != seen["file"]:
        bad.append(("uncovered", "the newest version after repair does not hold the file"))
    if seen["findings"]:
        bad.append(("findings", "; ".join(seen["findings"])[:300]))
    return bad


def history_sweep(case):
    """Every rename and unlink of the run, the run killed before and after it."""
    root = tempfile.mkdtemp(prefix="corvane-history-", dir=case.get("dir"))
    try:
        template = os.path.join(root, "template")
        forked(lambda: history_prepare(case["path"], template) or "ok")
        # A look repairs what it finds: it looks at a copy.
        scratch = os.path.join(root, "scratch")
        shutil.copytree(template, scratch)
        before = json.loads(forked(history_look, scratch, kind_of(case["path"])))
        shutil.rmtree(scratch)
        shutil.copytree(template, scratch)
        log, last = history_writer(case, scratch, log=True)
        if last != "ok":
            raise RuntimeError("the faultless run failed: " + last)
        after = json.loads(forked(history_look, scratch, kind_of(case["path"])))
        expected = {before["file"]: "old", after["file"]: "new", "before": before["versions"]}
        calls = [line.split(" ")[1:] for line in log]
        stops = case.get("calls") or sorted({call[0] for call in calls})
        points = [point for point, call in enumerate(calls, 1) if call[0] in stops]
        outcomes, bad = collections.Counter(), []
        for point in points:
            for action in HISTORY_ACTIONS:
                work = os.path.join(root, "trial")
                shutil.rmtree(work, ignore_errors=True)
                shutil.copytree(template, work)
                _, last = history_writer(case, work, point, ACTIONS[action])
                seen = json.loads(forked(history_look, work, kind_of(case["path"])))
                outcomes["final " + expected.get(seen["file"], "other")] += 1
                for kind, detail in history_judge(seen, expected):
                    outcomes["bad: " + kind] += 1
                    bad.append({"point": point, "call": " ".join(calls[point - 1]), "action": action, "errno": "",
                                "kind": kind, "detail": detail, "seen": {"writer": last.split(":")[0]}})
        return {"calls": [call[0] for call in calls], "trials": 2 * len(points),
                "stopped at": sorted({calls[point - 1][0] + " " + os.path.relpath(calls[point - 1][1], scratch)
                                      for point in points}),
                "outcomes": dict(outcomes), "bad": bad}
    finally:
        shutil.rmtree(root, ignore_errors=True)


def history_writer(case, root, point=0, action=0, log=False):
    """The run on `root`, in a forked process watched by the injector; (log lines, last line),
    killed once stopped."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        lib = shim()
        lib.crash_shim_watch(root.encode(), write_end if log else -1)
        lib.crash_shim_arm(point, action, 0, write_end)
        child_reports(lib, write_end, lambda: history_update(case["path"], root, case["durable"]))
    os.close(write_end)
    lines, last = wait_writer(pid, read_end)
    end_writer(pid, read_end, last.startswith("stopped"))
    return lines, last


def run_history_case(shim, path, durable, calls=HISTORY_CALLS):
    """The sweep of a root's history, in a process of its own with the injector preloaded;
    killed at each call of the families `calls` (None: at every counted call)."""
    case = {"path": path, "durable": durable, "mode": "none", "actions": list(HISTORY_ACTIONS),
            "dir": scratch_dir(), "calls": list(calls) if calls else None}
    return swept(shim, case)


def main():
    import h5py  # noqa: F401  (imported once, before every fork)
    from corvane import _engine  # noqa: F401

    case = json.loads(sys.argv[1])
    if case["path"] in HISTORY:
        # What a look at a root's history runs: imported once, before every fork.
        import corvane.updater.revisit  # noqa: F401
        import corvane.look.verify  # noqa: F401
        print(json.dumps(history_sweep(case)))
    else:
        print(json.dumps(sweep(case)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
