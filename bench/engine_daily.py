"""The engine's daily append alone: one day of stock bars into a one-year file.

    .venv/bin/python bench/engine_daily.py [--days 100] [--repeat 3] [--engine PATH.so]

Builds a file of a year of bars (bench/engine_samples.py) with the engine,
then appends the following --days days one engine call each (open,
append_minbar, close) and prints the median, mean and 90th percentile of a
call (wall clock, best of --repeat runs per statistic: the machine is
shared). --engine loads another build of corvane._engine (for instance one
of an earlier commit) to compare with.
"""
import argparse
import importlib.util
import os
import statistics
import tempfile

import numpy as np

import engine_samples


def load_engine(path):
    if not path:
        from corvane import _engine
        return _engine
    spec = importlib.util.spec_from_file_location("_engine", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def one_run(engine, base, daily, folder):
    path = os.path.join(folder, "f.h5")
    if os.path.exists(path):
        os.remove(path)
    calls = engine_samples.fill_then_append(engine, path, base, daily)
    return calls, os.path.getsize(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--days", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--engine", default="", help="path of another _engine module")
    args = parser.parse_args()
    engine = load_engine(args.engine)
    samples = engine_samples.load()
    days = engine_samples.days_of(samples["stock"], samples["dates"])
    base, daily = days[-args.days - 242:-args.days], days[-args.days:]
    runs = []
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.repeat):
            runs.append(one_run(engine, base, daily, folder))
    stats = {
        "median": min(statistics.median(c) for c, _ in runs),
        "mean": min(statistics.mean(c) for c, _ in runs),
        "p90": min(float(np.percentile(c, 90)) for c, _ in runs),
    }
    print("{}: {} appends of one day to a one-year file: median {:.2f} ms, mean {:.2f} ms, "
          "p90 {:.2f} ms; file {} bytes".format(
              args.engine or "this build", len(daily), 1e3 * stats["median"],
              1e3 * stats["mean"], 1e3 * stats["p90"], runs[-1][1]))


if __name__ == "__main__":
    main()
