"""Reads for research against the plain ways, each figure beside its goal.

    .venv/bin/python bench/research.py [--repeat 5] [--instruments 100] [--dir DIR] [--demo MINBAR_ROOT]
                                       [--dask] [--resample-only] [--freq 5min|1D]

On the files of bench/read.py (one twenty-year stock file, made when absent)
and --instruments copies of it:

  5min, 1D   `read.bars(..., freq=F)` of the twenty-year file against
             `read.bars` then `DataFrame.resample(F, closed="right",
             label="right").agg(...)` with empty buckets dropped (a stock has
             no night session, so both give the same table; checked);
             medians, goal >= 3x; then against h5py's read (bench/read.py's)
             then the same resample; then the gathering alone against
             `resample` alone, on a table read once; then the engine's
             folding of each chunk against the read of columns a block of
             dates at a time gathered by numpy (the way of a read as of a
             version, and of every read before the engine folded);
  iter_bars  the twenty years of all --instruments files, a year of trading
             dates a batch, each table dropped by the loop before the next
             is asked for: the process's peak memory above where it started,
             over the bytes of the largest batch, goal <= 2x (in a fresh
             process); also the same loop holding each table while the next
             is read, as `for id, table in ...: work(table)` does;
  arrow      `read.bars(..., to="arrow")` of the twenty-year file: peak
             memory over the Arrow table's bytes, goal <= 1.1x (fresh
             process), and its time against the pandas read, goal >= 1x;
  coverage   `read.coverage` of the minute-bar root --demo (a bundle of the
             demo market, e.g. made by tools/demo.sh), goal <= 1 s;
  dask       with --dask: `read.dask_bars` on a local cluster of two worker
             processes against `read.bars_many`, same values.

Timed rows also give the ratio of the CPU seconds of all the process's
threads (medians): on a machine shared with other work the wall clock
mostly measures the wait for a core, and corvane's reads run on threads.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import read as read_bench  # noqa: E402  (bench/read.py: the files)

GOALS = {"5min": 3.0, "1D": 3.0}
ITER_GOAL, ARROW_MEMORY_GOAL, ARROW_TIME_GOAL, COVERAGE_GOAL = 2.0, 1.1, 1.0, 1.0
AGG = {"trading_date": "first", "open": "first", "high": "max", "low": "min", "close": "last",
       "volume": "sum", "total_turnover": "sum"}


def resampled(table, freq):
    # A day is one bucket from midnight to midnight; a bar of minutes ends at its stamp.
    side = "left" if freq == "1D" else "right"
    out = table.resample(freq, closed=side, label=side).agg(AGG).dropna(subset=["open"])
    out["trading_date"] = out["trading_date"].astype(table["trading_date"].dtype)
    return out


CPU = {}   # the CPU seconds of the last median_pair: {"ours": median, "theirs": median}
RATIO = {}  # the last median_pair's ratio: the median over its pairs of theirs / ours


def median_pair(ours, theirs, repeat):
    """Median wall seconds of each, alternating; their CPU seconds (of all threads) go to CPU, and
    the median of the pairs' ratios to RATIO: two runs side by side share the machine's moment."""
    ours(), theirs()
    times = {"ours": [], "theirs": []}
    cpu = {"ours": [], "theirs": []}
    for _ in range(repeat):
        for name, function in (("ours", ours), ("theirs", theirs)):
            began, used = time.perf_counter(), time.process_time()
            function()
            times[name].append(time.perf_counter() - began)
            cpu[name].append(time.process_time() - used)
    CPU.update((name, statistics.median(values)) for name, values in cpu.items())
    RATIO["wall"] = statistics.median(b / a for a, b in zip(times["ours"], times["theirs"]))
    return statistics.median(times["ours"]), statistics.median(times["theirs"])


def cpu_ratio():
    return CPU["theirs"] / CPU["ours"]


_MEMORY = """
import ctypes, json, sys
from corvane import read

def vm():
    with open("/proc/self/status") as status:
        return {{line.split(":")[0]: int(line.split()[1]) * 1024 for line in status if line.startswith("Vm")}}

def reset():
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")

root, ids, which = {root!r}, {ids!r}, {which!r}
read.bars(root, ids[0], 20251230, 20251231, to="arrow")     # libraries and threads in place
next(iter(read.iter_bars(root, ids[:1], 20251201, 20251231)))
# Memory the warm-up freed goes back to the system: the peak counts every page the work touches.
ctypes.CDLL("libc.so.6").malloc_trim(0)
reset()
before = vm()["VmRSS"]
if which == "arrow":
    table = read.bars(root, ids[0], to="arrow")
    print(json.dumps({{"peak": vm()["VmHWM"] - before, "bytes": table.nbytes}}))
else:
    largest = 0
    table = None
    for order_book_id, table in read.iter_bars(root, ids, batch_days={batch_days}):
        largest = max(largest, int(table.memory_usage(index=True).sum()))
        if which == "iter, dropped":
            del table
    print(json.dumps({{"peak": vm()["VmHWM"] - before, "bytes": largest}}))
"""


def peak(root, ids, which, batch_days=250):
    script = _MEMORY.format(root=root, ids=ids, which=which, batch_days=batch_days)
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def copies(root, count):
    """`count` twenty-year files: LONG.h5 copied (the reads cost the same, the writing less)."""
    equities = os.path.join(root, "equities")
    ids = ["L{:03d}".format(k) for k in range(count)]
    for order_book_id in ids:
        h5_file = os.path.join(equities, order_book_id + ".h5")
        if not os.path.exists(h5_file):
            shutil.copyfile(os.path.join(equities, "LONG.h5"), h5_file)
    return ids


def floor_line(h5_file, theirs, repeat):
    """What inflating the file's stored chunks alone takes, on as many threads as the engine's
    reader uses, and so the best ratio any reader of these files could reach against `theirs`."""
    import engine as bench_engine
    import h5py
    with h5py.File(h5_file, "r") as h5:
        data = h5["data"]
        rows = data.chunks[0]
        streams = [data.id.read_direct_chunk((row,))[1] for row in range(0, data.shape[0], rows)]
        raw_bytes = rows * data.dtype.itemsize
    threads = os.cpu_count() or 1
    runs = [bench_engine.inflate_alone(streams, raw_bytes, threads) for _ in range(repeat + 1)][1:]
    wall, cpu = (statistics.median(run[k] for run in runs) for k in (0, 1))
    return ("{:<10} {:>11.1f} {:>13} {:>6.2f}x   (the floor: inflating the file's {} chunks alone, libdeflate on {} "
            "threads, {:.1f} ms CPU: at best)".format("", wall * 1000, "", theirs / wall, len(streams), threads,
                                                       cpu * 1000))


def dask_same(root, ids):
    import distributed

    from corvane import read

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as local, \
            distributed.Client(local):
        began = time.perf_counter()
        frame = read.dask_bars(root, ids, 20240101, 20251231).compute()
        seconds = time.perf_counter() - began
    many = read.bars_many(root, ids, 20240101, 20251231)
    expected = pd.concat([table.assign(order_book_id=order_book_id)[["order_book_id"] + list(table.columns)]
                          for order_book_id, table in many.items()])
    # Text as text: Dask and pandas each choose a string dtype of their own.
    frame, expected = (table.astype({"order_book_id": object}) for table in (frame, expected))
    for table in (frame, expected):
        table.attrs.clear()
    same = frame.reset_index().sort_values(["order_book_id", "datetime"], ignore_index=True).equals(
        expected.reset_index().sort_values(["order_book_id", "datetime"], ignore_index=True))
    return same, seconds, len(frame)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--instruments", type=int, default=100)
    parser.add_argument("--dir", help="keep the files here (made when absent) instead of a temporary directory")
    parser.add_argument("--demo", help="a minute-bar root of the demo market, for the coverage row")
    parser.add_argument("--dask", action="store_true", help="also compare dask_bars on a local cluster")
    parser.add_argument("--resample-only", action="store_true", help="only the 5min and 1D rows (no copies made)")
    parser.add_argument("--freq", choices=sorted(GOALS), action="append",
                        help="with --resample-only: only this frequency's rows (again for more)")
    args = parser.parse_args()

    from corvane import read
    from corvane.read import calendars
    from corvane.read import sessions

    root = args.dir or tempfile.mkdtemp(prefix="corvane-research-")
    try:
        read_bench.make_files(root, 0)
        ids = [] if args.resample_only else copies(root, args.instruments)
        print("{:<10} {:>11} {:>13} {:>7}   {}".format("row", "corvane ms", "baseline ms", "ratio", "goal"))
        long_file = os.path.join(root, "equities", "LONG.h5")
        for freq in args.freq or ("5min", "1D"):
            pd.testing.assert_frame_equal(read.bars(root, "LONG", freq=freq),
                                          resampled(read.bars(root, "LONG"), freq), check_dtype=False,
                                          check_freq=False)
            ours, theirs = median_pair(lambda: read.bars(root, "LONG", freq=freq),
                                       lambda: resampled(read.bars(root, "LONG"), freq), args.repeat)
            print("{:<10} {:>11.1f} {:>13.1f} {:>6.2f}x   >={:g}x read then resample: {} (cpu {:.2f}x)".format(
                freq + " 20y", ours * 1000, theirs * 1000, RATIO["wall"], GOALS[freq],
                "OK" if RATIO["wall"] >= GOALS[freq] else "MISSED", cpu_ratio()))
            print(floor_line(long_file, theirs, args.repeat))
            ours, theirs = median_pair(lambda: read.bars(root, "LONG", freq=freq),
                                       lambda: resampled(read_bench.h5py_bars(root, "LONG"), freq), args.repeat)
            print("{:<10} {:>11.1f} {:>13.1f} {:>6.2f}x   >={:g}x h5py's read then resample: {} (cpu {:.2f}x)".format(
                "", ours * 1000, theirs * 1000, RATIO["wall"], GOALS[freq],
                "OK" if RATIO["wall"] >= GOALS[freq] else "MISSED", cpu_ratio()))
            table = read.bars(root, "LONG")
            ours, theirs = median_pair(lambda: sessions.resample(table, freq), lambda: resampled(table, freq),
                                       args.repeat)
            print("{:<10} {:>11.1f} {:>13.1f} {:>6.2f}x   (the gathering alone, on a table read once; cpu {:.2f}x)"
                  .format("", ours * 1000, theirs * 1000, RATIO["wall"], cpu_ratio()))
            # The minute bars read whole, then gathered by numpy.
            ours, theirs = median_pair(
                lambda: read.bars(root, "LONG", freq=freq),
                lambda: sessions.resample(read.bars(root, "LONG"), freq),
                args.repeat)
            print("{:<10} {:>11.1f} {:>13.1f} {:>6.2f}x   (folded by the engine against read then gathered by numpy; "
                  "cpu {:.2f}x)".format("", ours * 1000, theirs * 1000, RATIO["wall"], cpu_ratio()))
        if args.resample_only:
            return
        ours, theirs = median_pair(lambda: read.bars(root, "LONG", to="arrow"), lambda: read.bars(root, "LONG"),
                                   args.repeat)
        print("{:<10} {:>11.1f} {:>13.1f} {:>6.2f}x   >={:g}x the pandas read: {} (cpu {:.2f}x)".format(
            "arrow 20y", ours * 1000, theirs * 1000, RATIO["wall"], ARROW_TIME_GOAL,
            "OK" if RATIO["wall"] >= ARROW_TIME_GOAL else "MISSED", cpu_ratio()))
        memory = peak(root, ["LONG"], "arrow")
        ratio = memory["peak"] / memory["bytes"]
        print("arrow peak {:.1f} MB for a {:.1f} MB table: {:.2f}x (goal <={:g}x: {})".format(
            memory["peak"] / 2 ** 20, memory["bytes"] / 2 ** 20, ratio, ARROW_MEMORY_GOAL,
            "OK" if ratio <= ARROW_MEMORY_GOAL else "MISSED"))
        for which in ("iter, dropped", "iter, held"):
            began = time.perf_counter()
            memory = peak(root, ids, which)
            ratio = memory["peak"] / memory["bytes"]
            # A loop holding its table while the next is read holds two batches whatever the reader does.
            verdict = "goal <={:g}x: {}".format(ITER_GOAL, "OK" if ratio <= ITER_GOAL else "MISSED") \
                if which == "iter, dropped" else "two batches held by the loop itself: no goal"
            print("{} ({} x 20 years, 250 dates a batch, {:.0f} s): peak {:.1f} MB, largest batch {:.1f} MB: "
                  "{:.2f}x ({})".format(which, len(ids), time.perf_counter() - began, memory["peak"] / 2 ** 20,
                                        memory["bytes"] / 2 ** 20, ratio, verdict))
        from corvane.read import gaps
        stored = calendars.stored_days(long_file)[0]
        ours, year = median_pair(lambda: gaps.covers(root, long_file, 20250101, 20251231, None, None, stored),
                                 lambda: read.bars(root, "LONG", 20250101, 20251231), args.repeat * 3)
        print("what a table covers (its attrs) costs {:.2f} ms a read, {} files in the venue; "
              "a year's read.bars takes {:.1f} ms with it".format(
                  ours * 1000, len(gaps.order_book_ids(root)), year * 1000))
        if args.demo:
            # The first call of a process also reads every file's index for the venues' calendars.
            times = []
            for _ in range(args.repeat + 1):
                began = time.perf_counter()
                table = read.coverage(args.demo)
                times.append(time.perf_counter() - began)
            print("coverage of {} instruments: first {:.2f} s, then {:.2f} s median (goal <={:g} s: {})".format(
                len(table), times[0], statistics.median(times[1:]), COVERAGE_GOAL,
                "OK" if times[0] <= COVERAGE_GOAL else "MISSED"))
        if args.dask:
            same, seconds, rows = dask_same(root, ids[:8])
            print("dask_bars over local:2, 8 instruments x 2 years ({} rows, {:.1f} s): same values as "
                  "bars_many: {}".format(rows, seconds, "OK" if same else "MISSED"))
    finally:
        if not args.dir:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
