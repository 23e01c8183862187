"""Where an update's changes go, and what it costs: in place, or a new version beside the file.

    .venv/bin/python bench/write_paths.py [--files 20] [--long-files 3] [--repeat 3] [--out DIR]

One stock file of one year (250 trading days) and one of twenty years (5000
days, 1.2 million bars) get a daily update (open, read the last index row,
append one day of 240 bars, close: what a job does with the engine), along
each path the engine can take:
- auto:          the engine's way, nobody reading: in place, journalled;
- auto+reader:   the same while an h5py reader holds the file: a new
                 version is written beside it and renamed over it;
- beside:        always a new version beside the file (the measurement
                 switch), nobody reading;
- in_place+reader: in place only, the writer's exclusive lock taken at the
                 instant of writing: refused while a reader holds the file.
An engine without the switch (an older build) shows its one path, with and
without a reader.  Per update: time (median, 90th percentile) and bytes
written (the kernel's count of this process's writes, copies included).
First fill: a new file of each length (the same path for every mode).
Records are synthetic and made before the clock starts.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import h5py
import numpy as np

from corvane import _engine
from journal_cost import batch, p90, trading_days

SWITCH = hasattr(_engine, "_set_write_path")
MODES = (("auto", "automatic", False), ("auto+reader", "automatic", True),
         ("beside", "beside", False), ("in_place+reader", "in_place", True)) if SWITCH else (
    ("engine", None, False), ("engine+reader", None, True))


def written_bytes():
    with open("/proc/self/io") as io:
        return int(next(line for line in io if line.startswith("write_bytes")).split()[1])


def update(path, index, bars, write_path, reader):
    """One daily update; (seconds, bytes written, refused)."""
    if write_path:
        _engine._set_write_path(write_path)
    held = h5py.File(path, "r") if reader else None
    try:
        before = written_bytes()
        started = time.perf_counter()
        try:
            with _engine.File(path) as h5:
                h5.read_last("index")
                h5.append_minbar(index, bars)
        except OSError as exc:
            if "being written" not in str(exc) and "held open" not in str(exc):
                raise
            return time.perf_counter() - started, written_bytes() - before, True
        return time.perf_counter() - started, written_bytes() - before, False
    finally:
        if held is not None:
            held.close()
        if write_path:
            _engine._set_write_path("automatic")


def daily(root, days_held, files, repeat, rng):
    days = trading_days(days_held + 1)
    base = os.path.join(root, "base{}.h5".format(days_held))
    with _engine.File(base) as h5:
        h5.append_minbar(*batch(days[:-1], rng))
    news = [batch(days[-1:], rng) for _ in range(files)]
    results = {name: {"times": [], "bytes": [], "refused": 0} for name, _, _ in MODES}
    for r in range(repeat):
        for name, write_path, reader in MODES[r % len(MODES):] + MODES[:r % len(MODES)]:
            for i, (index, bars) in enumerate(news):
                path = os.path.join(root, "f{}.h5".format(i))
                shutil.copyfile(base, path)
                os.sync()  # the copy's own writeback stays out of the count
                seconds, written, refused = update(path, index, bars, write_path, reader)
                entry = results[name]
                if refused:
                    entry["refused"] += 1
                else:
                    entry["times"].append(seconds)
                    entry["bytes"].append(written)
                os.remove(path)
    size = os.path.getsize(base)
    os.remove(base)
    return results, size


def fill(root, days_held, repeat, rng):
    index, bars = batch(trading_days(days_held), rng)
    times = []
    for r in range(repeat):
        path = os.path.join(root, "fill{}.h5".format(r))
        started = time.perf_counter()
        with _engine.File(path) as h5:
            h5.append_minbar(index, bars)
        times.append(time.perf_counter() - started)
        os.remove(path)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=20, help="one-year files per mode and repeat")
    parser.add_argument("--long-files", type=int, default=3, help="twenty-year files per mode and repeat")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--out", help="working directory (default: a temporary one)")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="corvane-write-paths-", dir=args.out)
    rng = np.random.default_rng(20240726)
    try:
        rows = []
        for label, days_held, files in (("1 year", 250, args.files), ("20 years", 5000, args.long_files)):
            results, size = daily(root, days_held, files, args.repeat, rng)
            rows.append((label, size, results, fill(root, days_held, args.repeat, rng)))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("write paths: daily update (one day, 240 bars) of a stock file; {} repeats; "
          "engine {}".format(args.repeat, "with the write-path switch" if SWITCH else "without it"))
    print("{:<10}{:<17}{:>10}{:>10}{:>14}{:>9}".format("file", "path", "median ms", "p90 ms",
                                                      "bytes written", "refused"))
    for label, size, results, first_fill in rows:
        for name, _, _ in MODES:
            entry = results[name]
            if entry["times"]:
                cells = "{:>10.2f}{:>10.2f}{:>14,}".format(statistics.median(entry["times"]) * 1e3,
                                                          p90(entry["times"]) * 1e3,
                                                          int(statistics.median(entry["bytes"])))
            else:
                cells = "{:>10}{:>10}{:>14}".format("-", "-", "-")
            print("{:<10}{:<17}{}{:>9}".format(label, name, cells, entry["refused"]))
        print("{:<10}{:<17}{:>10.2f}{:>10}{:>14,}   (file size before the update)".format(
            label, "first fill", first_fill * 1e3, "", size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
