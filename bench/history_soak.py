"""History soak: updates with revisits at once on one root, beside gc, tag, log, verify and readers.

    .venv/bin/python bench/history_soak.py [--rounds 20] [--readers 1] [--repairers 1] [--timeout 90]
                                           [--budget 1800] [--stagger 0.6] [--clock-step 30] [--step-every 3]
                                           [--no-ticks] [--malformed-tags] [--seed N] [--dir DIR]

A small demo market (four instruments and a future of minute bars; two
stocks of ticks) is filled once, then for each round the market's clock
moves one trading day and two `corvane update-minbar` runs with `--revisit`
go at once on the minute-bar root (one at the day's close, one at 10:30 of
it, each served other days corrected, so that they revise what the other
wrote; the second starts up to --stagger seconds after the first, so that
it reaches each file at any moment of the first's job on it), and two
`update-tick` runs on the tick root beside them (every fourth round the
clock moves two days, and the 10:30 run, served ticks of its day alone,
leaves a day for the other to fill in below the latest).  Every --step-every
rounds the 10:30 minute-bar run's clock is --clock-step seconds behind the
others' (as a machine's clock stepped back): a version a run commits must
still sort after every version committed before the run started, or it is
out of order.  All the while, in other processes: `corvane tag`,
`gc --keep-days 0`, `verify --repair` and `log --json` in a loop,
--repairers more `verify --repair` loops, and --readers readers reading
every file as of versions already committed.

Right after a run ends, its version V (named by its report, or found in
`corvane log --json` by the run's command, words and start) must be in the
log, and is read whole as of V; a digest of every file is kept.  Every
later read of V, by the readers meanwhile and by a last pass at the end,
must give the same digests.  Every other version
is tagged (and read again once tagged: while tagged, gc must keep it),
most under a few names that move on to newer versions, some for good;
versions whose replaced content gc removed while they were untagged are
counted apart, as collected by design.  A run that changed files but whose
version is not in the log, or a version that leaves the log, is lost.
Every child process (update, command, reader call) is bounded by
--timeout; one that runs out is killed and counted as a hang.

Prints a table per root (rounds, versions, exact, lost, unreadable,
mismatched, out of order, hangs, collected by design), the maintenance
commands' counts, and one line per fault; exits 1 when any version was
lost, unreadable, mismatched or out of order, anything hung, or a command
failed otherwise than by its documented exit statuses.  --malformed-tags
also leaves, from the second half of the rounds on, hand-made tags gc must
live with (one naming no version, an empty one, one not text).
"""
import argparse
import collections
import datetime
import hashlib
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CORVANE = os.path.join(os.path.dirname(sys.executable), "corvane")

FILL_SINCE, FILL_ASOF = 20261101, datetime.date(2026, 11, 13)
# Two runs per root and round: the minute-bar pair takes the same files (its words in another
# order, which tells their versions apart), so each revises days the other wrote, and is refused
# the other's writer lock (then tries again).
RUNS = {
    "minbar": [("close", ["10001.HBX", "10002.HBX", "10003.HBX", "IX001.HBX", "HXI2704.QFX"], 2),
               ("1030", ["HXI2704.QFX", "IX001.HBX", "10003.HBX", "10002.HBX", "10001.HBX"], 1)],
    "tick": [("close", ["10001.HBX", "10002.HBX"], 2), ("1030", ["10002.HBX"], 1)],
}
COMMANDS = {"minbar": "update-minbar", "tick": "update-tick"}
MARKET = {"LUMENFEED_TICK_DAYS": "3", "LUMENFEED_TICK_RATE": "2000", "LUMENFEED_MARKET": "demo",
          "LUMENFEED_LATENCY_MS": "0"}
COLLECTED = "removed by `corvane gc`"
# What a read says when a segment it listed is gone by the time it opens it: gc at work, when the
# version's later reads say it was collected (the message should have said so: counted apart).
VANISHED = ("not a superseded segment", "No such file or directory")
MALFORMED_TAGS = {"names-nothing": b"19990101T000000.000000Z-000000\n", "empty": b"", "not-text": b"\xff\xfe\x00"}
# The soak's tags: most rotate over a few names, so that gc has content it may take; some stay.
ROTATING, KEEP = 3, 5
JUMP = 4
FAULTS = ("lost", "unreadable", "mismatched", "out of order")
# A run whose clock was stepped back (as an NTP step does to a machine): the update in-process,
# its time.time() behind by the step.
STEPPED = ("import sys, time; behind = time.time; step = float(sys.argv.pop(1)); "
           "time.time = lambda: behind() - step; from corvane.cli import main; main(prog_name='corvane')")


# ---------------------------------------------------------------- the market's clock

def trading_days(first, count):
    """`count` trading days of the demo market from `first` on."""
    closed = {1: range(1, 4), 2: range(1, 8), 5: range(1, 4), 10: range(1, 8)}
    days, day = [], first
    while len(days) < count:
        if day.weekday() < 5 and day.day not in closed.get(day.month, ()):
            days.append(day)
        day += datetime.timedelta(days=1)
    return days


def day_of(number):
    """The index of round `number`'s trading day: every JUMP-th round the clock moves two days."""
    return number + number // JUMP


def clock(days, number, when, rng):
    """The environment of a run in round `number` (1 on): the clock at the day's close or at
    10:30, and some of the days before served corrected.  At 10:30 the client has ticks of that
    day alone, so a round whose clock moved two days leaves the day between for the close's
    run to fill in below the latest."""
    at = day_of(number)
    asof = days[at].strftime("%Y%m%d") + ("" if when == "close" else "T1030")
    revised = [d.strftime("%Y%m%d") for d in days[max(0, at - 3):at] if rng.random() < 0.5]
    env = dict(os.environ, LUMENFEED_ASOF=asof, **MARKET)
    if when != "close":
        env["LUMENFEED_TICK_DAYS"] = "1"
    env.pop("LUMENFEED_REVISED", None)
    if revised:
        env["LUMENFEED_REVISED"] = ",".join(revised)
    return env


# ---------------------------------------------------------------- child processes, each bounded

class Hangs:
    """How many child processes ran out of time, and which."""

    def __init__(self):
        self.lock = threading.Lock()
        self.seen = []

    def add(self, what):
        with self.lock:
            self.seen.append(what)


def run_bounded(command, timeout, hangs, env=None, what=None):
    """(exit status, stdout, stderr) of `command`; None for the status when it ran out of time
    (its process group killed)."""
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
        return process.returncode, out, err
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, err = process.communicate()
        hangs.add("{} (over {} s)".format(what or " ".join(command[1:4]), timeout))
        return None, out, err


class Reader:
    """A reader process serving reads as of a version, one at a time, each bounded."""

    def __init__(self, timeout, hangs):
        self.timeout, self.hangs = timeout, hangs
        self.process = None

    def _start(self):
        env = dict(os.environ, PYTHONWARNINGS="ignore")
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve"], env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, bufsize=1, start_new_session=True)

    def read(self, root, kind, version_id):
        """What the reader found (see `read_version`), or None when it ran out of time."""
        if self.process is None:
            self._start()
        self.process.stdin.write(json.dumps([root, kind, version_id]) + "\n")
        self.process.stdin.flush()
        ready, _, _ = select.select([self.process.stdout], [], [], self.timeout)
        answer = self.process.stdout.readline() if ready else ""
        if answer:
            return json.loads(answer)
        self.hangs.add("read of {} as of {} (over {} s)".format(root, version_id, self.timeout))
        self.close()
        return None

    def close(self):
        if self.process is not None:
            if self.process.poll() is None:
                os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
            self.process.stdin.close()
            self.process.stdout.close()
            self.process = None


def serve():
    """The reader process: one JSON request a line in, one answer a line out."""
    import warnings
    warnings.simplefilter("ignore")
    for line in sys.stdin:
        root, kind, version_id = json.loads(line)
        print(json.dumps(read_version(root, kind, version_id)), flush=True)


def table_digest(table):
    import pandas as pd
    digest = hashlib.sha1(repr((list(table.columns), [str(t) for t in table.dtypes])).encode())
    digest.update(pd.util.hash_pandas_object(table, index=True).to_numpy().tobytes())
    return digest.hexdigest()


def read_version(root, kind, version_id):
    """{"missing": True} when the log lacks the version, {"error": ...} when its files cannot be
    listed, else {"files": {file: {"rows", "digest", "disagrees"} or {"error", "collected"}}}."""
    from corvane import read
    from corvane.history import versions
    try:
        if version_id not in versions.version_ids(root):
            return {"missing": True}
        held = versions.Snapshot(root, version_id).files()
    except Exception as error:  # noqa: BLE001  (whatever it is, the version is unreadable)
        return {"error": "{}: {}".format(type(error).__name__, error)}
    found = {}
    for file, entry in sorted(held.items()):
        order_book_id = os.path.basename(file)[:-len(".h5")]
        try:
            table = (read.bars if kind == "minbar" else read.ticks)(root, order_book_id, as_of=version_id)
        except Exception as error:  # noqa: BLE001
            message = " ".join(str(error).split())
            found[file] = {"error": "{}: {}".format(type(error).__name__, message), "collected": COLLECTED in message}
            continue
        found[file] = {"rows": len(table), "digest": table_digest(table), "disagrees": disagrees(table, entry)}
    return {"files": found}


def disagrees(table, entry):
    """Why what was read cannot be what the version's manifest entry recorded, or None."""
    if "data_rows" in entry:
        return None if len(table) == entry["data_rows"] else "{} rows read, the manifest recorded {}".format(
            len(table), entry["data_rows"])
    days = table["trading_date"].value_counts()
    if "day_count" in entry and len(days) != entry["day_count"]:
        return "{} days read, the manifest recorded {}".format(len(days), entry["day_count"])
    for day, (rows, _) in entry["days"].items():
        if int(days.get(int(day), 0)) != rows:
            return "day {}: {} ticks read, the manifest recorded {}".format(day, int(days.get(int(day), 0)), rows)
    return None


# ---------------------------------------------------------------- what every version must read back

class Version:
    """One committed version: the digests read right after its commit, and what later reads found."""

    def __init__(self, version_id, kind, root, source):
        self.id, self.kind, self.root, self.source = version_id, kind, root, source
        self.baseline = None
        self.faults = []            # (lost | unreadable | mismatched, detail)
        self.collected = False      # gc removed what it needs, while it was untagged
        self.misreported = []       # reads that took a segment gc was removing for a damaged one
        self.tag = None
        self.protected = False      # tagged now, and read back whole after the tag: gc must keep it
        self.reads = 0


class Ledger:
    """Every version seen, by id; judges each read of one against what was first read."""

    def __init__(self):
        self.lock = threading.Lock()
        self.versions = {}
        self.lost_runs = []         # runs that changed files and whose version never showed

    def add(self, version_id, kind, root, source):
        with self.lock:
            if version_id in self.versions:
                return None
            version = self.versions[version_id] = Version(version_id, kind, root, source)
            return version

    def known(self, kind=None):
        with self.lock:
            return [v for v in self.versions.values() if kind is None or v.kind == kind]

    def judge(self, version, found, when):
        """Record what a read of `version` found (None: it hung, counted with the hangs)."""
        if found is None:
            return
        with self.lock:
            version.reads += 1
            if found.get("missing"):
                version.faults.append(("lost", "{}: not in the log".format(when)))
            elif "error" in found:
                version.faults.append(("unreadable", "{}: {}".format(when, found["error"])))
            else:
                self._judge_files(version, found["files"], when)

    def _judge_files(self, version, files, when):
        digests = {}
        for file, got in files.items():
            if "error" not in got:
                digests[file] = got["digest"]
                if got["disagrees"]:
                    version.faults.append(("mismatched", "{}: {}: {}".format(when, file, got["disagrees"])))
            elif got["collected"] and not version.protected:
                version.collected = True
            elif all(part in got["error"] for part in VANISHED) and not version.protected:
                version.misreported.append("{}: {}: {}".format(when, file, got["error"]))
            else:
                version.faults.append(("unreadable", "{}: {}: {}".format(when, file, got["error"])))
        if version.baseline is None:
            version.baseline = digests
            return
        for file, digest in digests.items():
            if file not in version.baseline and not version.collected:
                version.faults.append(("mismatched", "{}: {} read, not read right after the commit".format(
                    when, file)))
            elif file in version.baseline and digest != version.baseline[file]:
                version.faults.append(("mismatched", "{}: {} reads other data than right after the commit".format(
                    when, file)))

    def outcome(self, version):
        """exact, collected, or the first fault of lost, mismatched, unreadable."""
        with self.lock:
            kinds = {kind for kind, _ in version.faults}
            for kind in ("lost", "out of order", "mismatched", "unreadable"):
                if kind in kinds:
                    return kind
            if version.collected:
                return "collected"
            # A segment that vanished with no collection ever said: missing, not gc's doing.
            return "exact" if version.baseline is not None and not version.misreported else "unreadable"


# ---------------------------------------------------------------- the updates

def log_of(root, timeout, hangs):
    """`corvane log ROOT --json`: its runs, newest first, or None when it failed or hung."""
    status, out, err = run_bounded([CORVANE, "log", root, "--json"], timeout, hangs, what="log " + root)
    if status != 0:
        return None
    return json.loads(out)[root]


def manifests(root):
    """The runs of the manifests under `root`, read here: where `corvane log` fails, the soak still
    finds each run's version (the failure is counted apart)."""
    directory = os.path.join(root, ".corvane", "versions")
    runs = []
    for name in sorted(os.listdir(directory), reverse=True):
        if name.endswith(".jsonl") and not name.startswith("."):
            with open(os.path.join(directory, name), "rb") as manifest:
                runs.append(json.loads(manifest.readline()))
    return runs


def start_update(kind, root, words, revisit, env, report, durable, step=0):
    corvane = [sys.executable, "-c", STEPPED, str(step)] if step else [CORVANE]
    command = corvane + [COMMANDS[kind], root, *words, "--revisit", str(revisit), "--jobs", "1",
                         "--retries", "4", "--report", report] + (["--durable"] if durable else [])
    return subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def finish_update(process, report, timeout, hangs, what):
    """The run's report (a dict), None when it hung or wrote none; its standard output beside."""
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        hangs.add("{} (over {} s)".format(what, timeout))
        return None, ""
    try:
        with open(report) as text:
            return json.load(text), out + err
    except (OSError, ValueError):
        return None, out + err


def version_of_run(runs, kind, report):
    """The id of the version the run of `report` committed, from the log's runs, or None."""
    for run in runs or ():
        if (run.get("command") == COMMANDS[kind] and run.get("words") == report["words"]
                and run.get("started") == report["started"] and run.get("ended") == report["finished"]):
            return run["id"]
    return None


def changed_files(report):
    counts = report["counts"]
    return counts.get("new", 0) + counts.get("updated", 0) + counts.get("days_revised", 0) > 0


def settle(soak, kind, root, report, out, source):
    """After a run: its version (named by its report, else found in the log) checked in the log
    and read whole as of it at once; the Version."""
    if report is None:
        return None
    soak.count("runs")
    soak.count("failed jobs", report["counts"].get("failed", 0))
    soak.count("days revised", report["counts"].get("days_revised", 0))
    runs = log_of(root, soak.timeout, soak.hangs)
    if runs is None:
        soak.command_failure("log {} failed after a run".format(root))
        runs = manifests(root)
    version_id = report.get("version") or version_of_run(runs, kind, report)
    if version_id is None or version_id not in {run["id"] for run in runs}:
        if version_id is not None or changed_files(report):
            soak.ledger.lost_runs.append((kind, "{} {} ({}): {}".format(
                COMMANDS[kind], " ".join(report["words"]), report["started"], why_lost(version_id, report, out))))
        return None
    version = soak.ledger.add(version_id, kind, root, source)
    if version is not None:
        soak.ledger.judge(version, soak.reader.read(root, kind, version_id), "right after its commit")
    return version


def why_lost(version_id, report, out):
    if version_id is not None:
        return "its report names version {}, which is not in the log".format(version_id)
    if report.get("version_error"):
        return "its report says: {type}: {message}".format(**report["version_error"])
    return next((line for line in out.splitlines() if "no version committed" in line),
                "not in the log; the run said: " + " | ".join(out.strip().splitlines()[-2:]))


def round_of_updates(soak, number):
    """Round `number`: the runs of every root at once, each settled as it ends.  Every
    --step-every rounds the 10:30 minute-bar run's clock is --clock-step seconds behind."""
    # Every version a run of this round commits lands after these, whatever its clock says.
    before = {kind: max((v.id for v in soak.ledger.known(kind)), default="") for kind in soak.kinds}
    started = []
    for kind in soak.kinds:
        # When the clock moved two days, the 10:30 run goes first, so that it leaves a day out.
        runs = RUNS[kind][::-1] if number % JUMP == 0 else RUNS[kind]
        for order, (when, words, revisit) in enumerate(runs):
            if order:
                # Not in step: the second run reaches a file at any moment of the first's job on it.
                time.sleep(soak.rng.uniform(0, soak.stagger))
            report = os.path.join(soak.work, "report-{}-{}.json".format(kind, when))
            with_clock = clock(soak.days, number, when, soak.rng)
            step = soak.clock_step if (kind, when) == ("minbar", "1030") and soak.stepped(number) else 0
            # Durable: each manifest lingers under its temporary name while it is flushed.
            process = start_update(kind, soak.roots[kind], words, revisit, with_clock, report,
                                   durable=True, step=step)
            started.append((kind, when, process, report))
    for kind, when, process, report in started:
        found, out = finish_update(process, report, soak.timeout, soak.hangs,
                                   "{} {} of round {}".format(COMMANDS[kind], when, number))
        version = settle(soak, kind, soak.roots[kind], found, out, "round {} {}".format(number, when))
        if version is not None and version.id <= before[kind]:
            with soak.ledger.lock:
                version.faults.append(("out of order", "its id sorts before {}, committed before the run "
                                       "started".format(before[kind])))


def fill(soak):
    """The first fill of every root (not timed against anything: it must simply work)."""
    for kind in soak.kinds:
        words = sorted({word for _, run_words, _ in RUNS[kind] for word in run_words})
        env = dict(os.environ, LUMENFEED_ASOF=FILL_ASOF.strftime("%Y%m%d"), **MARKET)
        env.pop("LUMENFEED_REVISED", None)
        report = os.path.join(soak.work, "report-{}-fill.json".format(kind))
        command = [CORVANE, COMMANDS[kind], soak.roots[kind], *words, "--since", str(FILL_SINCE),
                   "--jobs", "2", "--report", report]
        status, out, err = run_bounded(command, soak.timeout, soak.hangs, env=env, what="fill " + kind)
        if status != 0:
            raise SystemExit("the first fill of {} failed ({}): {}".format(kind, status, err.strip()[-400:]))
        with open(report) as text:
            settle(soak, kind, soak.roots[kind], json.load(text), out, "fill")


# ---------------------------------------------------------------- beside the updates

def maintain(soak, stop):
    """Until `stop`: tag every other version (then read it again: from then on gc must keep
    it), gc, verify --repair and log, one after the other, so no tag lands while gc runs."""
    reader = Reader(soak.timeout, soak.hangs)
    passes = 0
    try:
        while not stop.is_set():
            tag_pending(soak, reader)
            if passes % soak.gc_every == 0:
                command(soak, ["gc", soak.top, "--keep-days", "0"], ok=(0,), name="gc")
            command(soak, ["verify", soak.top, "--repair", "--jobs", "1"], ok=(0, 1), name="verify --repair")
            watch_log(soak, reader)
            passes += 1
            stop.wait(soak.pause)
    finally:
        reader.close()


def command(soak, words, ok, name):
    """One maintenance command, counted; a status outside `ok` or a traceback is a failure."""
    status, out, err = run_bounded([CORVANE, *words], soak.timeout, soak.hangs, what=name)
    soak.count(name)
    if status is None:
        return None
    if name == "gc":
        soak.count("segments collected", sum(line.startswith("removed ") for line in out.splitlines()))
        soak.count("gc refused", status != 0)
    if name == "verify --repair":
        findings = [line for line in out.splitlines() if line.strip() and not line.startswith("corvane verify:")]
        soak.count("verify lines", len(findings))
        with soak.lock:
            soak.verify_lines.update(line.split(": ", 1)[-1][:100] for line in findings)
    # With malformed tags about, gc may refuse (saying why); it must neither crash nor hang.
    refused = name == "gc" and soak.malformed and status in (1, 2)
    if (status not in ok and not refused) or "Traceback" in err:
        soak.command_failure("{} exited {}: {}".format(name, status, (err.strip() or out.strip())[-300:]))
    return out


def tag_pending(soak, reader):
    """Every other version tagged, oldest first: under one of ROTATING names, which then moves off
    the version it named (gc may take that one's content from then on), and every KEEP-th for good."""
    for kind in soak.kinds:
        for version in sorted(soak.ledger.known(kind), key=lambda v: v.id):
            # Every other version, by its id's random tail, so the choice never moves.
            if int(version.id[-6:], 16) % 2 or version.tag is not None or version.baseline is None:
                continue
            number = soak.count("tagged " + kind)
            name = "soak-keep-{}".format(number) if number % KEEP == 0 else "soak-{}".format(number % ROTATING)
            with soak.ledger.lock:
                moved_off = soak.tagged.pop((kind, name), None)
                if moved_off is not None:
                    moved_off.protected = False
            out = command(soak, ["tag", version.root, name, version.id], ok=(0,), name="tag")
            if out is None or version.id not in out:
                continue
            version.tag = name
            soak.tagged[(kind, name)] = version
            found = reader.read(version.root, kind, version.id)
            soak.ledger.judge(version, found, "read again once tagged " + name)
            with soak.ledger.lock:
                # Collected before its tag landed: gc was entitled to; then it stays uncounted.
                version.protected = not version.collected and found is not None


def watch_log(soak, reader):
    """Every version seen must stay in the log; versions no update made (verify --repair's) are read at once."""
    for kind in soak.kinds:
        # Those known before the log is listed: one the updates add meanwhile may not be in it yet.
        known = soak.ledger.known(kind)
        runs = log_of(soak.roots[kind], soak.timeout, soak.hangs)
        if runs is None:
            soak.command_failure("log {} failed".format(soak.roots[kind]))
            continue
        listed = {run["id"]: run for run in runs}
        for version in known:
            if version.id not in listed and not any(k == "lost" for k, _ in version.faults):
                with soak.ledger.lock:
                    version.faults.append(("lost", "missing from `corvane log`"))
        for version_id, run in listed.items():
            if run.get("command") not in COMMANDS.values():
                version = soak.ledger.add(version_id, kind, soak.roots[kind], run.get("command"))
                if version is not None:
                    soak.ledger.judge(version, reader.read(version.root, kind, version_id), "right after it showed")


def repair_along(soak, stop):
    """`verify --repair` back to back until `stop`, beside the maintenance loop's own."""
    while not stop.is_set():
        command(soak, ["verify", soak.top, "--repair", "--jobs", "1"], ok=(0, 1), name="verify --repair")


def read_along(soak, stop, seed):
    """A reader: versions already read once, read again and again until `stop`."""
    reader, rng = Reader(soak.timeout, soak.hangs), random.Random(seed)
    try:
        while not stop.is_set():
            ready = [v for v in soak.ledger.known() if v.baseline is not None]
            if not ready:
                stop.wait(0.2)
                continue
            version = rng.choice(ready)
            soak.ledger.judge(version, reader.read(version.root, version.kind, version.id), "read beside the runs")
            soak.count("reads beside")
    finally:
        reader.close()


def plant_malformed_tags(soak):
    soak.malformed = True
    for kind in soak.kinds:
        directory = os.path.join(soak.roots[kind], ".corvane", "tags")
        os.makedirs(directory, exist_ok=True)
        for name, content in MALFORMED_TAGS.items():
            with open(os.path.join(directory, name), "wb") as out:
                out.write(content)


# ---------------------------------------------------------------- the soak

class Soak:
    """What the threads of one soak share."""

    def __init__(self, args, work):
        self.work, self.top = work, os.path.join(work, "bundle")
        self.kinds = ["minbar"] if args.no_ticks else ["minbar", "tick"]
        self.roots = {kind: os.path.join(self.top, kind) for kind in self.kinds}
        self.timeout, self.pause, self.gc_every = args.timeout, args.pause, args.gc_every
        self.rng = random.Random(args.seed)
        self.days = trading_days(FILL_ASOF, day_of(args.rounds) + 1)
        self.hangs, self.ledger = Hangs(), Ledger()
        self.reader = Reader(args.timeout, self.hangs)
        self.lock = threading.Lock()
        self.totals = collections.Counter()
        self.failures = []
        self.verify_lines = collections.Counter()     # what verify --repair printed beside its summary
        self.malformed = False
        self.tagged = {}        # (kind, tag name): the Version it names
        self.clock_step, self.step_every, self.stagger = args.clock_step, args.step_every, args.stagger

    def stepped(self, number):
        return bool(self.clock_step) and number % self.step_every == 0

    def count(self, what, n=1):
        with self.lock:
            self.totals[what] += n
            return self.totals[what]

    def command_failure(self, line):
        with self.lock:
            self.failures.append(line)


def soak(args, work, echo=print):
    """Run the soak in `work`; (table rows by root, totals, fault lines)."""
    state = Soak(args, work)
    fill(state)
    stop = threading.Event()
    threads = [threading.Thread(target=maintain, args=(state, stop), daemon=True)]
    threads += [threading.Thread(target=read_along, args=(state, stop, args.seed + n), daemon=True)
                for n in range(args.readers)]
    threads += [threading.Thread(target=repair_along, args=(state, stop), daemon=True)
                for _ in range(args.repairers)]
    for thread in threads:
        thread.start()
    started, rounds = time.monotonic(), 0
    try:
        for number in range(1, args.rounds + 1):
            if time.monotonic() - started > args.budget:
                echo("history soak: the budget of {} s ran out after {} rounds".format(args.budget, rounds))
                break
            if args.malformed_tags and number == args.rounds // 2 + 1:
                plant_malformed_tags(state)
            round_of_updates(state, number)
            rounds = number
            echo("round {}: {} versions so far, {} s".format(
                number, len(state.ledger.known()), round(time.monotonic() - started)))
    finally:
        stop.set()
        for thread in threads:
            thread.join(args.timeout * 4)
    last_pass(state)
    state.reader.close()
    return summarise(state, rounds)


def last_pass(state):
    """Every version read once more, after everything else stopped; the log checked once more."""
    for kind in state.kinds:
        runs = log_of(state.roots[kind], state.timeout, state.hangs)
        if runs is None:
            state.command_failure("log {} failed at the end".format(state.roots[kind]))
            runs = manifests(state.roots[kind])
        listed = {run["id"] for run in runs}
        for version_id in sorted(listed - {v.id for v in state.ledger.known(kind)}):
            # In the log, yet neither a run nor the watch of the log claimed it.
            state.count("unclaimed versions")
            state.ledger.add(version_id, kind, state.roots[kind], "unclaimed")
        for version in sorted(state.ledger.known(kind), key=lambda v: v.id):
            if listed and version.id not in listed:
                version.faults.append(("lost", "missing from `corvane log` at the end"))
            state.ledger.judge(version, state.reader.read(version.root, kind, version.id), "at the end")


def summarise(state, rounds):
    rows, faults = {}, []
    for kind in state.kinds:
        outcomes = collections.Counter()
        for version in sorted(state.ledger.known(kind), key=lambda v: v.id):
            outcome = state.ledger.outcome(version)
            outcomes[outcome] += 1
            if outcome in FAULTS:
                # The first of each kind of fault it showed, and how many reads found one.
                first = {}
                for what, detail in version.faults:
                    first.setdefault(what, detail)
                for what, detail in first.items():
                    faults.append("{} {} {} ({}{}; {} faults in {} reads): {}".format(
                        kind, version.id, what, version.source, ", tagged" if version.protected else "",
                        len(version.faults), version.reads, detail))
            if version.misreported and outcome == "collected":
                outcomes["misreported"] += 1
                faults.append("{} {} collected, but {} of {} reads said a segment was damaged: {}".format(
                    kind, version.id, len(version.misreported), version.reads, version.misreported[0]))
        lost_runs = [line for run_kind, line in state.ledger.lost_runs if run_kind == kind]
        faults += ["{} run without its version: {}".format(kind, line) for line in lost_runs]
        outcomes["lost"] += len(lost_runs)
        outcomes["versions"] = len(state.ledger.known(kind)) + len(lost_runs)
        rows[kind] = outcomes
    faults += ["hang: " + what for what in state.hangs.seen]
    faults += ["command failed: " + line for line in state.failures]
    return {"rounds": rounds, "rows": rows, "hangs": len(state.hangs.seen), "totals": dict(state.totals),
            "verify lines": state.verify_lines.most_common(8),
            "command failures": len(state.failures), "faults": faults}


COLUMNS = ("rounds", "versions", "exact", "lost", "unreadable", "mismatched", "out of order", "hangs",
           "collected by design")


def table(result):
    """The soak's table: a row per root and one for all."""
    line = "{:<8}{:>7}{:>10}{:>7}{:>6}{:>12}{:>12}{:>14}{:>7}{:>21}"
    lines = [line.format("root", *COLUMNS)]
    every = collections.Counter()
    for kind, outcomes in result["rows"].items():
        every.update(outcomes)
        lines.append(line.format(kind, result["rounds"], *(outcomes[c] for c in COLUMNS[1:7]), "",
                                 outcomes["collected"]))
    lines.append(line.format("all", result["rounds"], *(every[c] for c in COLUMNS[1:7]), result["hangs"],
                             every["collected"]))
    if every["misreported"]:
        lines.append("{} of the versions collected by design had a read racing gc say a segment was damaged "
                     "instead".format(every["misreported"]))
    return "\n".join(lines)


def failed(result, misreported=True):
    """Whether the soak found a fault; `misreported`: also a read racing gc that took the segment
    gc was removing for a damaged one."""
    every = collections.Counter()
    for outcomes in result["rows"].values():
        every.update(outcomes)
    return bool(sum(every[c] for c in FAULTS) or result["hangs"] or result["command failures"]
                or (misreported and every["misreported"]))


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--readers", type=int, default=1, help="reader processes beside the runs")
    parser.add_argument("--repairers", type=int, default=1,
                        help="more `verify --repair` loops beside the maintenance loop")
    parser.add_argument("--timeout", type=float, default=90, help="seconds any one child process may take")
    parser.add_argument("--budget", type=float, default=1800, help="no round starts after this many seconds")
    parser.add_argument("--pause", type=float, default=0.2, help="seconds between two maintenance passes")
    parser.add_argument("--gc-every", type=int, default=2, help="gc on every Nth maintenance pass")
    parser.add_argument("--no-ticks", action="store_true", help="the minute-bar root alone")
    parser.add_argument("--malformed-tags", action="store_true",
                        help="hand-made malformed tags from the second half of the rounds on")
    parser.add_argument("--stagger", type=float, default=0.6,
                        help="the second run of a root starts up to this many seconds after the first")
    parser.add_argument("--clock-step", type=float, default=30,
                        help="seconds the clock of a stepped run is behind (0: none)")
    parser.add_argument("--step-every", type=int, default=3, help="a run with its clock stepped every N rounds")
    parser.add_argument("--seed", type=int, default=20261210)
    parser.add_argument("--dir", help="work here and keep it (default: a temporary directory, removed)")
    parser.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.serve:
        return serve()
    work = args.dir or tempfile.mkdtemp(prefix="corvane-history-soak-")
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    try:
        result = soak(args, work, echo=lambda line: print(line, flush=True))
    finally:
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)
    totals = result["totals"]
    print("history soak: {} rounds, {:.0f} s; {} update runs ({} failed jobs, {} days revised); "
          "{} reads beside, {} versions no run claimed; tag {}, gc {} ({} segments collected, {} refused), verify --repair {} "
          "({} lines beside its summary)".format(
              result["rounds"], time.monotonic() - started, totals.get("runs", 0), totals.get("failed jobs", 0),
              totals.get("days revised", 0), totals.get("reads beside", 0), totals.get("unclaimed versions", 0),
              totals.get("tag", 0),
              totals.get("gc", 0), totals.get("segments collected", 0), totals.get("gc refused", 0),
              totals.get("verify --repair", 0),
              totals.get("verify lines", 0)))
    for line, times in result["verify lines"]:
        print("  verify --repair, {} times: {}".format(times, line))
    print(table(result))
    for line in result["faults"][:40]:
        print("  " + line)
    if len(result["faults"]) > 40:
        print("  ... and {} more".format(len(result["faults"]) - 40))
    return 1 if failed(result) else 0


if __name__ == "__main__":
    sys.exit(main())
