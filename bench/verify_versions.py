"""What `verify` of the log of versions costs at a market's scale: the full walk against the check since the last.

    .venv/bin/python bench/verify_versions.py [--files 3000] [--versions 250] [--dir DIR]
                                              [--before-src DIR] [--before-timeout 3600]

Builds a minute-bar root of --files files and --versions versions, as daily
runs leave it: each file written once by the engine with every day's bars
(a few a day, so the files stay small), and one manifest a day naming every
file as that day's run left it (its rows up to the day, the digests of its
last records), written directly.  Then times, each in a fresh process:

  before       the log check of the code at --before-src (a checkout's
               `src` of the code before the check since the last, e.g.
               `git worktree add /tmp/verify-base dc36356`, then
               /tmp/verify-base/src), which opens every entry of every version;
  first        the check now, with no record of an earlier one;
  second       the check again after one more daily run (a day appended to
               every file, its version committed);
  all          with --all: the check now with --all-versions.

A full walk still running after --before-timeout seconds is stopped; its row
gives how many versions it walked and the whole walk's time at that pace.

Rows: seconds, and the entries opened as of their version.  The engine's
module is the installed one, for the old code too.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

import numpy as np

from corvane import _engine
from corvane.history import layout as history
from corvane.history import commits
from corvane.history import states
from corvane.bundle import EQUITIES_DTYPE, INDEX_DTYPE

BARS_A_DAY = 2
FIRST_DAY = 20240102

# Each run in a fresh process: (seconds, findings, entries opened) of one log check.
NEW_CHILD = """
import sys, time
from corvane.history import check as version_check
started = time.perf_counter()
walked = version_check.check_versions(sys.argv[1], sys.argv[2] == "all")
found, _ = version_check.check_log(sys.argv[1], "minbar", walked=walked)
print(time.perf_counter() - started, len(found), walked.opened)
"""
# The code before, from its src directory, with the installed engine's module copied in.
OLD_CHILD = """
import glob, os, shutil, sys, time
sys.meta_path[:] = [f for f in sys.meta_path if "ScikitBuild" not in type(f).__name__]
src = sys.argv[2]
for so in glob.glob(sys.argv[3]):
    target = os.path.join(src, "corvane", os.path.basename(so))
    if not os.path.exists(target):
        shutil.copy(so, target)
sys.path.insert(0, src)
from corvane import asof, versions
assert asof.__file__.startswith(src)
started = time.perf_counter()
read_entries = versions.read_entries


def counted(*args):
    # It reads one manifest a version as it walks them: how far it got, for a walk cut short.
    counted.done += 1
    print("walked", counted.done - 1, time.perf_counter() - started, flush=True)
    return read_entries(*args)


counted.done = 0
versions.read_entries = counted
found, _ = asof.check_log(sys.argv[1], "minbar")
print(time.perf_counter() - started, len(found), "-")
"""


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=3000)
    parser.add_argument("--versions", type=int, default=250)
    parser.add_argument("--dir", help="where the root goes (default: a temporary directory, removed)")
    parser.add_argument("--before-src", help="the src directory of the code before; its row is left out without it")
    parser.add_argument("--before-timeout", type=float, default=600.0,
                        help="seconds a full walk may take; one cut short is given at its pace")
    parser.add_argument("--all", action="store_true", help="also time --all-versions (a full walk)")
    return parser.parse_args(argv)


def days(count):
    """`count` weekdays from FIRST_DAY, as YYYYMMDD numbers."""
    import pandas as pd
    return [int(day.strftime("%Y%m%d")) for day in pd.bdate_range(str(FIRST_DAY), periods=count)]


def bars(dates, seed):
    """(index, data) of BARS_A_DAY bars on each of `dates`."""
    data = np.zeros(len(dates) * BARS_A_DAY, dtype=EQUITIES_DTYPE)
    data["datetime"] = [day * 1000000 + 93100 + minute * 100 for day in dates for minute in range(BARS_A_DAY)]
    close = 10.0 + seed * 0.01 + 0.01 * np.arange(len(data))
    data["open"], data["close"], data["high"], data["low"] = close - 0.005, close, close + 0.01, close - 0.01
    data["volume"], data["total_turnover"] = 100.0, 100.0 * close
    index = np.zeros(len(dates), dtype=INDEX_DTYPE)
    index["date"] = dates
    index["line_no"] = np.arange(len(dates)) * BARS_A_DAY
    return index, data


def digests(records):
    """The manifest's digest of each prefix's last record: [digest after row 0, after row 1, ...]."""
    raw = records.tobytes()
    size = records.dtype.itemsize
    return ["{:08x}".format(zlib.crc32(raw[row * size:(row + 1) * size])) for row in range(len(records))]


def build(root, files, count):
    """The root, its files holding `count` days, a version a day (the first naming the days before)."""
    dates = days(count + 20)
    directory = os.path.join(root, "equities")
    os.makedirs(directory)
    names = ["equities/{:05d}.BNX.h5".format(n) for n in range(files)]
    tails = {}
    for seed, name in enumerate(names):
        index, data = bars(dates[:-1], seed)     # the last date comes with the extra run
        with _engine.File(os.path.join(root, name)) as h5:
            h5.append_minbar(index, data)
        tails[name] = (digests(index), digests(data))
    start = time.time() - (count + 1) * 86400
    for run in range(count):
        held = 20 + run
        entries = [{"file": name, "segments": 0, "data_rows": held * BARS_A_DAY, "index_rows": held,
                    "data_tail": tails[name][1][held * BARS_A_DAY - 1], "index_tail": tails[name][0][held - 1]}
                   for name in names]
        write_version(root, entries, start + run * 86400)
    return names, dates


def write_version(root, entries, moment):
    version_id = history.new_version_id(moment)
    run = {"started": "", "ended": "", "command": "update-minbar", "words": [], "kind": "minbar",
           "exit_status": 0, "counts": {"changed": len(entries)}, "id": version_id}
    os.makedirs(history.versions_dir(root), exist_ok=True)
    with open(history.manifest_path(root, version_id), "w") as manifest:
        manifest.write(commits.manifest_text(run, entries))


def one_more_run(root, names, dates):
    """The last date appended to every file, and its version committed, as a daily run does."""
    entries = {}
    for seed, name in enumerate(names):
        index, data = bars(dates[-1:], seed)
        h5_file = os.path.join(root, name)
        with _engine.File(h5_file) as h5:
            index["line_no"] = 0
            h5.append_minbar(index, data)
        entries[name] = states.file_state(root, h5_file, "minbar")
    commits.commit(root, "minbar", {"command": "update-minbar", "words": [], "counts": {}}, entries)


def timed(root, before_src=None, all_versions=False, timeout=None):
    """(seconds, findings, entries opened) of one log check in a fresh process; None when it timed out."""
    if before_src is not None:
        engine = os.path.join(os.path.dirname(_engine.__file__), "_engine*.so")
        command = [sys.executable, "-c", OLD_CHILD, root, os.path.abspath(before_src), engine]
    else:
        command = [sys.executable, "-c", NEW_CHILD, root, "all" if all_versions else "since"]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, check=True)
    except subprocess.TimeoutExpired as error:
        return walked_so_far(error.stdout)
    except subprocess.CalledProcessError as error:
        sys.exit("bench: the check failed: " + error.stderr[-2000:])
    seconds, findings, opened = done.stdout.splitlines()[-1].split()
    return float(seconds), int(findings), opened


def walked_so_far(output):
    """(seconds, "-", versions walked) of a walk cut short by its time limit, or None."""
    text = output.decode() if isinstance(output, bytes) else (output or "")
    walked = [line.split() for line in text.splitlines() if line.startswith("walked ")]
    return (float(walked[-1][2]), "-", "cut:" + walked[-1][1]) if len(walked) > 1 else None


def row(name, result, entries, versions_count):
    if result is None:
        print("{:<8} {:>10}".format(name, "timed out"), flush=True)
        return
    seconds, findings, opened = result
    if str(opened).startswith("cut:"):
        # Cut short after `walked` whole versions: the whole walk at the same pace.
        walked = int(opened[4:])
        print("{:<8} {:>10.2f} {:>10} {:>9}  cut short after {} of {} versions; the whole walk at that "
              "pace: {:.0f} s".format(name, seconds, walked * entries // versions_count, "-", walked,
                                      versions_count, seconds * versions_count / walked), flush=True)
        return
    opened = entries if opened == "-" else opened
    print("{:<8} {:>10.2f} {:>10} {:>9}".format(name, seconds, opened, findings), flush=True)


def main(argv=None):
    args = parse_args(argv)
    base = args.dir or tempfile.mkdtemp(prefix="corvane-verify-versions-")
    root = os.path.join(base, "minbar")
    try:
        started = time.perf_counter()
        names, dates = build(root, args.files, args.versions)
        print("built {} files x {} versions in {:.0f} s under {}".format(
            args.files, args.versions, time.perf_counter() - started, root), flush=True)
        entries = args.files * args.versions
        print("{:<8} {:>10} {:>10} {:>9}".format("check", "seconds", "opened", "findings"))
        if args.before_src:
            row("before", timed(root, args.before_src, timeout=args.before_timeout), entries, args.versions)
        row("first", timed(root), entries, args.versions)
        one_more_run(root, names, dates)
        row("second", timed(root), entries, args.versions)
        if args.all:
            row("all", timed(root, all_versions=True, timeout=args.before_timeout), entries + args.files,
                args.versions + 1)
    finally:
        if not args.dir:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
