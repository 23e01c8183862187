"""Readers beside the writer: h5py readers poll a file while its daily updates run back to back.

    .venv/bin/python bench/readers_beside.py [--seconds 30] [--readers 2] [--holders 0]
                                             [--oid 10003.HBX] [--write-path automatic]
                                             [--out DIR]

One stock's minute-bar file is filled from the stand-in market, then its daily
update (the job `corvane.bundle` runs per instrument) runs again and again,
the market's clock moved one trading day further each time, for --seconds.
Meanwhile --readers processes poll the file as a live process does (open it
with h5py, read "index" and the last 240 rows of "data", close) and --holders
processes keep it open for a second at a time, reading it again every few
milliseconds.  Counted: updates that appended a day (and how many of them
replaced the file by a new version written beside it), updates refused,
other update failures; reader opens, reader errors by message, and torn reads: an
open file that HDF5 cannot read, an index naming bars that are not there or
bars out of order, fewer rows than an earlier open saw, or a held file whose
contents changed under its reader.  --write-path picks one of the engine's
measurement paths (automatic, in_place, beside); an engine without the
switch runs its one path.
"""
import argparse
import collections
import multiprocessing
import os
import shutil
import sys
import tempfile
import time
import warnings

import numpy as np

TAIL = 240


def short(exc):
    """The first line of an error, without the file name, for counting."""
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    return "{}: {}".format(type(exc).__name__, text[:110])


def snapshot(f):
    """(index, row count, last rows) of an open minute-bar file."""
    index = f["index"][:]
    data = f["data"]
    rows = data.shape[0]
    return index, rows, data[max(0, rows - TAIL):rows]


def torn(index, rows, tail, rows_before):
    """Why a snapshot is not a whole file, or None."""
    lines = index["line_no"].astype(np.int64)
    if len(index) == 0 or rows == 0:
        return "empty index or data"
    if (np.diff(lines) <= 0).any() or (np.diff(index["date"]) <= 0).any():
        return "index out of order"
    if lines[-1] >= rows:
        return "index names bars past the end"
    stamps = tail["datetime"].astype(np.int64)
    if (np.diff(stamps) <= 0).any():
        return "bars out of order"
    if stamps[-1] // 1000000 != int(index["date"][-1]):
        return "last bar not of the last indexed date"
    if rows < rows_before:
        return "fewer rows than seen before"
    return None


def poll(path, stop, out):
    import h5py

    counts = collections.Counter()
    rows_before = 0
    while not stop.is_set():
        counts["opens"] += 1
        try:
            f = h5py.File(path, "r")
        except Exception as exc:  # noqa: BLE001  (counted by message)
            counts["error " + short(exc)] += 1
            time.sleep(0.001)
            continue
        try:
            with f:
                index, rows, tail = snapshot(f)
        except Exception as exc:  # noqa: BLE001
            counts["torn: unreadable after open: " + short(exc)] += 1
            continue
        why = torn(index, rows, tail, rows_before)
        if why:
            counts["torn: " + why] += 1
        rows_before = max(rows_before, rows)
    out.put(("poll", counts))


def hold(path, stop, out, seconds=1.0):
    import h5py

    counts = collections.Counter()
    while not stop.is_set():
        counts["opens"] += 1
        try:
            f = h5py.File(path, "r")
        except Exception as exc:  # noqa: BLE001
            counts["error " + short(exc)] += 1
            time.sleep(0.001)
            continue
        try:
            with f:
                first = snapshot(f)
                why = torn(*first, 0)
                if why:
                    counts["torn: " + why] += 1
                until = time.monotonic() + seconds
                while time.monotonic() < until and not stop.is_set():
                    time.sleep(0.005)
                    again = snapshot(f)
                    counts["held reads"] += 1
                    if (again[1] != first[1] or not np.array_equal(again[0], first[0])
                            or not np.array_equal(again[2], first[2])):
                        counts["torn: held file changed under its reader"] += 1
        except Exception as exc:  # noqa: BLE001
            counts["torn: unreadable while held: " + short(exc)] += 1
    out.put(("hold", counts))


def update_loop(directory, path, oid, seconds, first_asof):
    import lumenfeed

    from corvane import bundle

    counts = collections.Counter()
    day = lumenfeed.get_next_trading_date(first_asof)
    started = time.monotonic()
    while time.monotonic() - started < seconds:
        os.environ["LUMENFEED_ASOF"] = day.strftime("%Y%m%d")
        inode = os.stat(path).st_ino
        try:
            bundle._append_h5(oid, directory)
            counts["beside"] += os.stat(path).st_ino != inode
        except OSError as exc:
            if "being written" in str(exc):
                counts["refused"] += 1
            else:
                counts["failed " + short(exc)] += 1
        else:
            counts["appended"] += 1  # a refused day comes with the next one
        day = lumenfeed.get_next_trading_date(day)
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--readers", type=int, default=2, help="polling readers")
    parser.add_argument("--holders", type=int, default=0, help="readers holding the file a second at a time")
    parser.add_argument("--oid", default="10003.HBX")
    parser.add_argument("--asof", default="20240726", help="the first fill's as-of date")
    parser.add_argument("--write-path", default="automatic", choices=("automatic", "in_place", "beside"))
    parser.add_argument("--out", help="working directory (default: a temporary one)")
    args = parser.parse_args()

    import lumenfeed

    from corvane import _engine, bundle
    from corvane.updater import minbar

    if hasattr(_engine, "_set_write_path"):
        _engine._set_write_path(args.write_path)
    else:
        args.write_path = "the engine's one path"

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    root = tempfile.mkdtemp(prefix="corvane-readers-", dir=args.out)
    try:
        os.environ["LUMENFEED_ASOF"] = args.asof
        bundle._append_h5(args.oid, root)
        ins_dir = os.path.join(root, "equities")
        path = minbar.instrument_file(ins_dir, args.oid)
        context = multiprocessing.get_context("fork")
        stop, out = context.Event(), context.Queue()
        workers = ([context.Process(target=poll, args=(path, stop, out)) for _ in range(args.readers)]
                   + [context.Process(target=hold, args=(path, stop, out)) for _ in range(args.holders)])
        for worker in workers:
            worker.start()
        time.sleep(0.5)  # the readers are polling before the first update
        updates = update_loop(root, path, args.oid, args.seconds, args.asof)
        stop.set()
        results = [out.get() for _ in workers]
        for worker in workers:
            worker.join()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    report(args, updates, results)
    return 0


def report(args, updates, results):
    print("readers beside the writer: {} s of daily updates of {} ({}), {} polling reader(s), "
          "{} holding reader(s)".format(args.seconds, args.oid, args.write_path, args.readers, args.holders))
    print("updates: appended {} ({} beside), refused {}, failed {}".format(
        updates["appended"], updates["beside"], updates["refused"],
        sum(v for k, v in updates.items() if k.startswith("failed"))))
    for key, value in sorted(updates.items()):
        if key.startswith("failed"):
            print("  {:>6}  {}".format(value, key))
    for kind in ("poll", "hold"):
        total = collections.Counter()
        for which, counts in results:
            if which == kind:
                total.update(counts)
        if not total:
            continue
        errors = sum(v for k, v in total.items() if k.startswith("error"))
        tears = sum(v for k, v in total.items() if k.startswith("torn"))
        extra = ", held re-reads {}".format(total["held reads"]) if kind == "hold" else ""
        print("{} readers: opens {}, errors {}, torn reads {}{}".format(
            "polling" if kind == "poll" else "holding", total["opens"], errors, tears, extra))
        for key, value in sorted(total.items()):
            if key.startswith(("error", "torn")):
                print("  {:>6}  {}".format(value, key))


if __name__ == "__main__":
    sys.exit(main())
