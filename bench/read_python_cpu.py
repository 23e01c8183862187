"""The CPU a read spends around the engine's read of its rows: `read.bars` of a year, `read.bars_many`.

    .venv/bin/python bench/read.py --repeat 3 --dir /tmp/rbB      # writes the files once
    .venv/bin/python bench/read_python_cpu.py [--dir /tmp/rbB] [--rounds 3] [--profile year|many]

On the files bench/read.py leaves (LONG.h5, twenty years, and Y000..Y199.h5,
a year each, under DIR/equities): the CPU (time.process_time, every thread
of the process) of `read.bars(DIR, "LONG", 20250101, 20251230)`, 300 times,
and of `read.bars_many` of the 200 one-year files, 10 times, per call; and
for the year and for bars_many on one thread, the part of it outside the
engine's `Reader.read_into` of the rows (tables._read_rows, timed around
each call): opening the file, its index and checks, the table, what it
covers.  bars_many on its default threads is timed whole (its reads
overlap).  --profile prints cProfile's calls (on that clock) by cumulative
time instead: bars_many on one thread, so its reads are in the profile.
"""
import argparse
import cProfile
import pstats
import time

from corvane import read
from corvane.read import tables

YEAR = (20250101, 20251230)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default="/tmp/rbB")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--profile", choices=["year", "many"])
    args = parser.parse_args()
    ids = ["Y%03d" % k for k in range(200)]
    loops = {
        "year": (lambda: read.bars(args.dir, "LONG", *YEAR), 300),
        "many": (lambda: read.bars_many(args.dir, ids, *YEAR), 10),
        "many, 1 thread": (lambda: read.bars_many(args.dir, ids, *YEAR, threads=1), 10),
    }
    if args.profile:
        call, count = loops["year" if args.profile == "year" else "many, 1 thread"]
        call()
        profile = cProfile.Profile(time.process_time)
        profile.runcall(lambda: [call() for _ in range(count)])
        pstats.Stats(profile).sort_stats("cumulative").print_stats(40)
        return
    inside = _time_rows()
    for _ in range(args.rounds):
        for name, (call, count) in loops.items():
            call()
            inside[0] = 0.0
            start = time.process_time()
            for _ in range(count):
                call()
            total = (time.process_time() - start) / count * 1e3
            outside = "" if name == "many" else ", outside the rows' read {:.2f} ms".format(
                total - inside[0] / count * 1e3)
            print("{:15} CPU {:8.2f} ms a call{}".format(name, total, outside))


def _time_rows():
    """[seconds] of CPU spent in tables._read_rows, from now on."""
    inside = [0.0]
    rows = tables._read_rows

    def timed(*args):
        start = time.process_time()
        try:
            return rows(*args)
        finally:
            inside[0] += time.process_time() - start
    tables._read_rows = timed
    return inside


if __name__ == "__main__":
    main()
