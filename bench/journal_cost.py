"""What crash safety costs the engine: the daily update and a first fill, side by side.

    .venv/bin/python bench/journal_cost.py [--files 200] [--history 250] [--fill 500]
                                          [--repeat 3] [--out DIR]

Three ways of writing the same minute-bar files, in one process, alternating:
- plain:   HDF5's own POSIX driver writing in place, no lock, temporary file
           or journal (the engine's measurement-only switch);
- journal: the default: writer lock, new files under a temporary name,
           existing files guarded by the rollback journal;
- durable: the same, fsync at every step that makes a write count.
Daily update: each of --files stock files holding --history trading days gets
one more day of 240 bars: open, read the last index row, append, close (what
a job does with the engine).  First fill: one new file of --fill days.
Records are synthetic and made before the clock starts.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

from corvane import _engine

BARS_A_DAY = 240
MODES = ("plain", "journal", "durable")


def dtype_of(name):
    layout = _engine.layouts()[name]
    fields = layout["fields"]
    return np.dtype({"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                     "offsets": [f[2] for f in fields], "itemsize": layout["itemsize"]})


BARS = dtype_of("EQUITIES_DTYPE")
INDEX = dtype_of("INDEX_DTYPE")


def trading_days(count, first=np.datetime64("2015-01-05")):
    days = np.busday_offset(first, np.arange(count), roll="forward")
    return days.astype("datetime64[D]")


def batch(days, rng):
    """(index, bars) of `days`, 240 random-walk bars each, line_no from 0."""
    n = len(days) * BARS_A_DAY
    minutes = np.tile(np.arange(BARS_A_DAY), len(days))
    stamps = np.repeat(days, BARS_A_DAY).astype("datetime64[m]") + np.timedelta64(570, "m") + minutes
    ymd = stamps.astype("datetime64[D]").astype(str)
    hm = stamps.astype(str)
    bars = np.zeros(n, BARS)
    bars["datetime"] = [int(d.replace("-", "") + t[11:13] + t[14:16] + "00") for d, t in zip(ymd, hm)]
    close = 10.0 + np.cumsum(rng.normal(0, 0.01, n)).round(2)
    bars["open"], bars["close"] = close, close + 0.01
    bars["high"], bars["low"] = close + 0.02, close - 0.02
    bars["volume"] = rng.integers(100, 100000, n) * 100.0
    bars["total_turnover"] = (bars["volume"] * close).round(2)
    index = np.zeros(len(days), INDEX)
    index["date"] = [int(str(d).replace("-", "")) for d in days]
    index["line_no"] = np.arange(len(days)) * BARS_A_DAY
    return index, bars


def write(path, index, bars, mode):
    """One job's use of the engine; seconds taken."""
    _engine._set_crash_safety(mode != "plain")
    started = time.perf_counter()
    with _engine.File(path, durable=(mode == "durable")) as h5:
        if "index" in h5:
            h5.read_last("index")
        h5.append_minbar(index, bars)
    return time.perf_counter() - started


def daily(args, root, rng):
    days = trading_days(args.history + 1)
    base = os.path.join(root, "base")
    os.makedirs(base)
    history = batch(days[:-1], rng)
    news = []
    for i in range(args.files):
        write(os.path.join(base, "S{:04d}.h5".format(i)), *history, "plain")
        news.append(batch(days[-1:], rng))
    times = {mode: [] for mode in MODES}
    for repeat in range(args.repeat):
        for mode in MODES[repeat % 3:] + MODES[:repeat % 3]:
            target = os.path.join(root, "{}{}".format(mode, repeat))
            shutil.copytree(base, target)
            os.sync()  # the copies' own writeback stays out of the timing
            for i, (index, bars) in enumerate(news):
                times[mode].append(write(os.path.join(target, "S{:04d}.h5".format(i)), index, bars, mode))
            shutil.rmtree(target)
    return times


def fill(args, root, rng):
    index, bars = batch(trading_days(args.fill), rng)
    times = {mode: [] for mode in MODES}
    for repeat in range(args.repeat):
        for mode in MODES[repeat % 3:] + MODES[:repeat % 3]:
            path = os.path.join(root, "fill-{}{}.h5".format(mode, repeat))
            times[mode].append(write(path, index, bars, mode))
            os.remove(path)
    return times


def p90(values):
    return sorted(values)[int(0.9 * (len(values) - 1))]


def table(rows):
    print("{:<34}{:>11}{:>11}{:>9}{:>11}{:>9}".format("", "plain", "journal", "ratio", "durable", "ratio"))
    for name, values in rows:
        plain = values["plain"]
        cells = ["{:>11.2f}".format(plain * 1e3)]
        for mode in ("journal", "durable"):
            cells.append("{:>11.2f}{:>8.2f}x".format(values[mode] * 1e3, values[mode] / plain))
        print("{:<34}".format(name) + "".join(cells))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--history", type=int, default=250, help="trading days each file holds")
    parser.add_argument("--fill", type=int, default=500, help="trading days of the first fill")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--out", help="working directory (default: a temporary one, on the disk of "
                                      "the system's temporary directory)")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="corvane-journal-cost-", dir=args.out)
    rng = np.random.default_rng(20240726)
    try:
        day = daily(args, root, rng)
        first = fill(args, root, rng)
    finally:
        _engine._set_crash_safety(True)
        shutil.rmtree(root, ignore_errors=True)
    print("journal cost: {} files x {} repeats, {} days held, one day (240 bars) added; "
          "first fill of {} days ({} bars) x {}; times in ms".format(
              args.files, args.repeat, args.history, args.fill, args.fill * BARS_A_DAY, args.repeat))
    table([
        ("daily update, median per file", {m: statistics.median(v) for m, v in day.items()}),
        ("daily update, p90 per file", {m: p90(v) for m, v in day.items()}),
        ("daily update, total of {} files".format(args.files),
         {m: sum(v) / args.repeat for m, v in day.items()}),
        ("first fill, median", {m: statistics.median(v) for m, v in first.items()}),
    ])
    return 0


if __name__ == "__main__":
    sys.exit(main())
