"""Dead space after a year of daily appends, and what each way of avoiding it costs.

    .venv/bin/python bench/engine_deadspace.py [--days 250] [--years 1]

A stock file is filled with --years of minute bars by the engine, then gets
--days daily appends (one engine call each: open, append_minbar, close).
For the engine's own file-creation properties and for HDF5's defaults (an
empty file made by h5py before the engine opens it), it prints: the file size, the unaccounted and the tracked free space
(h5stat -S), the median and 90th percentile of the appends (wall clock; the
machine is shared, so expect noise), and whether h5dump and h5py read the
file back equal to the records.
"""
import argparse
import os
import re
import statistics
import subprocess
import tempfile

import h5py
import numpy as np

import engine_samples
from corvane import _engine

# None: the engine creates the file with its own creation properties.
SETTINGS = {
    "HDF5 defaults": {},
    "engine": None,
}


def h5stat(path):
    text = subprocess.run(["h5stat", "-S", path], capture_output=True, text=True,
                          check=True).stdout
    unaccounted = int(re.search(r"Unaccounted space:\s*(\d+)", text).group(1))
    free = int(re.search(r"tracked free space:\s*(\d+)", text).group(1))
    return unaccounted, free


def run(path, fs, base, daily):
    if fs is not None:
        with h5py.File(path, "w", **fs):
            pass
    return engine_samples.fill_then_append(_engine, path, base, daily)


def check(path, bars):
    dumped = subprocess.run(["h5dump", "-H", path], capture_output=True).returncode == 0
    with h5py.File(path, "r") as h5:
        equal = h5["data"][...].tobytes() == bars.tobytes()
        settings = (h5["data"].compression, h5["data"].compression_opts, h5["data"].shuffle)
    return dumped, equal, settings


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--days", type=int, default=250)
    parser.add_argument("--years", type=int, default=1)
    args = parser.parse_args()
    samples = engine_samples.load()
    days = engine_samples.days_of(samples["stock"], samples["dates"])
    daily = days[-args.days:]
    base = days[-args.days - 242 * args.years:-args.days]
    bars = np.concatenate([d[1] for d in base + daily])
    print("{} base days ({} bars), {} daily appends".format(len(base), sum(len(d[1]) for d in base),
                                                            len(daily)))
    with tempfile.TemporaryDirectory() as tmp:
        for name, fs in SETTINGS.items():
            path = os.path.join(tmp, name.replace(" ", "_") + ".h5")
            seconds = run(path, fs, base, daily)
            unaccounted, free = h5stat(path)
            size = os.path.getsize(path)
            dumped, equal, settings = check(path, bars)
            print("{:22s} size {:9d}  unaccounted {:8d} ({:4.1f}%)  tracked free {:7d} ({:4.1f}%)"
                  "  append median {:.2f} ms p90 {:.2f} ms  h5dump {}  h5py equal {} {}".format(
                      name, size, unaccounted, 100.0 * unaccounted / size, free,
                      100.0 * free / size, 1e3 * statistics.median(seconds),
                      1e3 * float(np.percentile(seconds, 90)), "ok" if dumped else "FAILED",
                      equal, settings))


if __name__ == "__main__":
    main()
