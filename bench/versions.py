"""What versions cost: reads as of a version, the commit of an update, the log, each beside its goal.

    .venv/bin/python bench/versions.py [--repeat 7] [--instruments 100] [--updates 5] [--dir DIR]
                                       [--only reads,update,manifest,log]

  as-of year   `read.bars(root, id, as_of=V)` of a year of one instrument
               against the plain `read.bars` of the same rows, V a version
               twenty daily runs back (its rows a prefix of the file's);
               median ratio, goal <= 1.2;
  as-of many   `read.bars_many` of --instruments one-year files as of V
               against the plain read; goal <= 1.2;
  update       the daily update of the demo market (every instrument, with
               derivatives; the stand-in without latency), from a bundle
               filled with the days before, copied afresh for every run: the
               run with versions against the same run with them switched
               off (`commits.ENABLED`, an internal switch), alternating, in
               fresh processes; goal <= 1.05;
  manifest     the commit of a version naming 20,000 changed files: seconds
               (goal <= 0.5) and bytes (goal <= 5 MB);
  log          `corvane log` of 2,500 versions, in a fresh process (its
               start included): wall and CPU seconds, goal <= 1 s; and
               `versions.log` alone.

Times are medians of --repeat runs, the two sides alternating; on a shared
machine they move from run to run.
"""
import argparse
import datetime
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from read import stock_records, trading_days  # noqa: E402  (the files of bench/read.py)

from corvane import _engine  # noqa: E402
from corvane.history import layout as history  # noqa: E402
from corvane import read  # noqa: E402
from corvane.history import commits  # noqa: E402
from corvane.history import states  # noqa: E402
from corvane.history import versions  # noqa: E402

GOALS = {"as-of year": 1.2, "as-of many": 1.2, "update": 1.05}
MANIFEST_SECONDS, MANIFEST_BYTES, LOG_SECONDS = 0.5, 5 * 1024 * 1024, 1.0
DAILY_RUNS = 20
FILL_ASOF, DAILY_ASOF, FILL_SINCE = "20240725", "20240726", 20240715


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--instruments", type=int, default=100)
    parser.add_argument("--updates", type=int, default=5, help="runs of the daily update each way")
    parser.add_argument("--dir", help="where the files go (default: a temporary directory, removed)")
    parser.add_argument("--only", default="reads,update,manifest,log", help="which of reads, update, manifest, log")
    parser.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def line(name, value, goal, unit="x", better="<="):
    ok = value <= goal
    print("{:<12} {:>10.3f} {:<3} goal {} {:g} {}: {}".format(name, value, unit, better, goal, unit,
                                                             "met" if ok else "NOT met"), flush=True)


def median_ratio(plain, versioned, repeat):
    """(median plain seconds, median versioned seconds), the two alternating."""
    times = {"plain": [], "versioned": []}
    plain(), versioned()      # each once untimed
    for _ in range(repeat):
        for name, work in (("plain", plain), ("versioned", versioned)):
            started = time.perf_counter()
            work()
            times[name].append(time.perf_counter() - started)
    return statistics.median(times["plain"]), statistics.median(times["versioned"])


# ---------------------------------------------------------------- reads

def daily_root(root, instruments):
    """A minute-bar root of `instruments` one-year files, the last DAILY_RUNS days appended one
    run at a time, each run committing a version; the version DAILY_RUNS runs back."""
    days = trading_days(242)
    directory = os.path.join(root, "equities")
    os.makedirs(directory, exist_ok=True)
    names = ["{:05d}.BNX".format(n) for n in range(instruments)]
    records = {name: stock_records(days, seed) for seed, name in enumerate(names)}
    first = len(days) - DAILY_RUNS

    def commit(low, high):
        """Append days [low, high) to every file, then commit a version naming them."""
        entries = {}
        for name in names:
            h5_file = os.path.join(directory, name + ".h5")
            index, data = records[name]
            rows = [int(row) for row in index["line_no"]] + [len(data)]
            part = index[low:high].copy()
            part["line_no"] -= part["line_no"][0]
            with _engine.File(h5_file) as h5:
                h5.append_minbar(part, data[rows[low]:rows[high]])
            entries["equities/" + name + ".h5"] = states.file_state(root, h5_file, "minbar")
        return commits.commit(root, "minbar", {"command": "bench", "words": [], "counts": {}}, entries)

    oldest = commit(0, first)
    for day in range(first, len(days)):
        commit(day, day + 1)
    return names, oldest, days


def reads(root, repeat, instruments):
    names, oldest, days = daily_root(root, instruments)
    start, end = days[0], days[-1 - DAILY_RUNS]
    one = names[0]
    assert read.bars(root, one, start, end, as_of=oldest).equals(read.bars(root, one, start, end))
    plain, versioned = median_ratio(lambda: read.bars(root, one, start, end),
                                    lambda: read.bars(root, one, start, end, as_of=oldest), repeat * 3)
    print("as-of year: plain {:.4f} s, as of a version {:.4f} s".format(plain, versioned))
    line("as-of year", versioned / plain, GOALS["as-of year"])
    plain, versioned = median_ratio(lambda: read.bars_many(root, names, start, end),
                                    lambda: read.bars_many(root, names, start, end, as_of=oldest), repeat)
    print("as-of many: plain {:.3f} s, as of a version {:.3f} s ({} instruments)".format(
        plain, versioned, len(names)))
    line("as-of many", versioned / plain, GOALS["as-of many"])


# ---------------------------------------------------------------- the update

def child(args):
    """In a fresh process: one update of the copy at args[0], versions on or off; prints its seconds."""
    path, enabled = args[0], args[1] == "on"
    import corvane.bundle as bundle
    from corvane.updater import run
    commits.ENABLED = enabled
    bundle.init_lumenfeed_with_warnings_catch()
    started = time.perf_counter()
    report = run.update("minbar", path, ["all"], with_derivatives=True, jobs=2,
                        options=run.UpdateOptions(since=int(args[2]) if len(args) > 2 else None))
    print(json.dumps({"seconds": time.perf_counter() - started, "exit": report.exit_status,
                      "counts": report.counts}))


def run_child(path, mode, asof, since=None):
    env = dict(os.environ, LUMENFEED_ASOF=asof, LUMENFEED_LATENCY_MS="0")
    command = [sys.executable, os.path.abspath(__file__), "--child", path, mode] + ([str(since)] if since else [])
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def update(root, runs):
    filled = os.path.join(root, "filled")
    # Filled with versions: the daily run's is not the root's first (which names every file).
    fill = run_child(filled, "on", FILL_ASOF, FILL_SINCE)
    print("update: the demo market filled from {} to {}: {} instruments, {} rows".format(
        FILL_SINCE, FILL_ASOF, fill["counts"]["instruments"], fill["counts"]["rows_added"]))
    times = {"on": [], "off": []}
    for number in range(runs):
        for mode in ("off", "on") if number % 2 else ("on", "off"):
            copy = os.path.join(root, "copy")
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(filled, copy)
            times[mode].append(run_child(copy, mode, DAILY_ASOF)["seconds"])
            if mode == "on":
                assert len(versions.version_ids(copy)) == 2
    off, on = statistics.median(times["off"]), statistics.median(times["on"])
    print("update: without versions {:.3f} s, with {:.3f} s (medians of {})".format(off, on, runs))
    line("update", on / off, GOALS["update"])


# ---------------------------------------------------------------- the manifest and the log

def manifest(root):
    entries = {"equities/{:06d}.XSHE.h5".format(n): {
        "file": "equities/{:06d}.XSHE.h5".format(n), "segments": 0, "data_rows": 1234560 + n,
        "index_rows": 5144, "data_tail": "{:08x}".format(n * 7919), "index_tail": "{:08x}".format(n * 104729)}
        for n in range(20000)}
    os.makedirs(history.versions_dir(root), exist_ok=True)
    # One version before, so the commit does not take the root's files as its first.
    commits.commit(root, "minbar", {"command": "bench"}, {})
    started = time.perf_counter()
    version_id = commits.commit(root, "minbar", {"command": "bench", "words": ["all"], "counts": {}}, entries,
                                 durable=True)
    seconds = time.perf_counter() - started
    size = os.path.getsize(history.manifest_path(root, version_id))
    print("manifest: 20,000 files, {:.3f} s, {:,} bytes".format(seconds, size))
    line("manifest", seconds, MANIFEST_SECONDS, "s")
    line("manifest", size / 1024 / 1024, MANIFEST_BYTES / 1024 / 1024, "MB")


def log(root):
    directory = history.versions_dir(root)
    os.makedirs(directory, exist_ok=True)
    os.makedirs(os.path.join(root, "equities"))       # a minute-bar root
    day = datetime.datetime(2016, 1, 4, 18, 0, tzinfo=datetime.timezone.utc)
    entries = [{"file": "equities/{:06d}.XSHE.h5".format(n), "segments": 0, "data_rows": n, "index_rows": 1,
                "data_tail": "0", "index_tail": "0"} for n in range(50)]
    for number in range(2500):
        moment = (day + datetime.timedelta(days=number * 365 // 250)).timestamp()
        version_id = history.new_version_id(moment)
        run = {"id": version_id, "started": moment, "ended": moment, "command": "update-minbar",
               "words": ["all"], "kind": "minbar", "exit_status": 0,
               "counts": {"instruments": 50, "rows_added": 12000, "changed": 50, "days_revised": 0}}
        with open(history.manifest_path(root, version_id), "w") as out:
            out.write(commits.manifest_text(run, entries))
    started = time.perf_counter()
    runs = versions.log(root)
    alone = time.perf_counter() - started
    command = [os.path.join(os.path.dirname(sys.executable), "corvane"), "log", root]
    walls, cpus = [], []
    for _ in range(3):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.perf_counter()
        done = subprocess.run(command, capture_output=True, text=True, check=True)
        walls.append(time.perf_counter() - started)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    assert len(runs) == 2500 and len(done.stdout.splitlines()) == 2500
    print("log: 2,500 versions: versions.log {:.3f} s; `corvane log` (its process's start included) "
          "{:.3f} s wall, {:.3f} s CPU (medians of 3)".format(alone, statistics.median(walls),
                                                             statistics.median(cpus)))
    line("log wall", statistics.median(walls), LOG_SECONDS, "s")
    # On a loaded machine the wall clock mostly measures the wait for a core.
    line("log CPU", statistics.median(cpus), LOG_SECONDS, "s")


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.child:
        return child(args.child)
    top = args.dir or tempfile.mkdtemp(prefix="corvane-versions-")
    try:
        for name, work in (("reads", lambda path: reads(path, args.repeat, args.instruments)),
                           ("update", lambda path: update(path, args.updates)),
                           ("manifest", manifest), ("log", log)):
            if name not in args.only.split(","):
                continue
            path = os.path.join(top, name)
            shutil.rmtree(path, ignore_errors=True)
            os.makedirs(path)
            work(path)
    finally:
        if not args.dir:
            shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()
