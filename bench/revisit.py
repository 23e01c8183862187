"""What --revisit costs: client calls, time and bytes written, beside a plain update.

    .venv/bin/python bench/revisit.py [--repeat 5] [--kind minbar|tick|both] [--since 20261101]

Fills the demo market once (as of 20261204), then alternates, each `--repeat`
times, an update of the unchanged market without and with `--revisit 1`:
client calls per instrument, the median wall time of each and their ratio,
and whether every file stayed byte for byte as it was (goal: yes, and the
same number of calls). Then one revising update (as of 20261207, 20261203
corrected, `--revisit 2`) beside a plain one on copies of the same bundle:
calls, time, days revised and segments made.
"""
import argparse
import concurrent.futures
import hashlib
import os
import shutil
import statistics
import sys
import tempfile
import time
import warnings

import corvane.bundle as bundle
from corvane.updater import run
from corvane.updater.options import UpdateOptions

WORDS = ["stock", "index", "fund"]


def ready(asof, revised=None):
    os.environ["LUMENFEED_ASOF"] = asof
    os.environ.pop("LUMENFEED_REVISED", None)
    if revised:
        os.environ["LUMENFEED_REVISED"] = revised
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        bundle.init_lumenfeed_with_warnings_catch()


class Counting:
    """Counts the client's get_price calls made through it."""

    def __init__(self):
        self.calls = 0
        self.served = bundle.lumenfeed.get_price
        bundle.lumenfeed.get_price = self

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.served(*args, **kwargs)


def digest(root):
    found = {}
    for directory, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(directory, name), "rb") as f:
                found[os.path.relpath(os.path.join(directory, name), root)] = hashlib.sha1(f.read()).hexdigest()
    return found


def timed_update(kind, path, since, revisit, counter):
    counter.calls = 0
    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(2) as executor:
        report = run.update(kind, path, WORDS, options=UpdateOptions(since=since), executor=executor,
                            revisit=revisit)
    return time.perf_counter() - started, counter.calls, report


def unchanged(kind, root, since, repeat, counter):
    before = digest(root)
    seconds, calls, same = {0: [], 1: []}, {}, True
    for _ in range(repeat):
        for days in (0, 1):
            took, calls[days], report = timed_update(kind, root, since, days, counter)
            seconds[days].append(took)
            same &= digest(root) == before
    plain, revisit = statistics.median(seconds[0]), statistics.median(seconds[1])
    files = len(report.outcomes)
    print("{:<7} unchanged market, {} files: calls {} vs {} (goal: equal); {:.3f} s vs {:.3f} s, "
          "ratio {:.2f}; every file byte for byte as before: {}".format(
              kind, files, calls[0], calls[1], plain, revisit, revisit / plain, "yes" if same else "NO"))


def revising(kind, root, since, counter, work):
    ready("20261207", revised="20261203")
    figures = {}
    for days in (0, 2):
        copy = os.path.join(work, "{}-{}".format(kind, days))
        shutil.copytree(root, copy)
        took, calls, report = timed_update(kind, copy, since, days, counter)
        segments = sum(len(names) for directory, _, names in os.walk(os.path.join(copy, ".corvane")))
        figures[days] = (took, calls, report.counts["days_revised"], segments)
    (plain, plain_calls, plain_days, plain_segments), (took, calls, days, segments) = figures[0], figures[2]
    print("{:<7} a revising day: calls {} vs {}; {:.3f} s vs {:.3f} s, ratio {:.2f}; days revised {} vs {}, "
          "segments {} vs {}".format(kind, plain_calls, calls, plain, took, took / plain, plain_days, days,
                                     plain_segments, segments))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--kind", choices=["minbar", "tick", "both"], default="both")
    parser.add_argument("--since", type=int, default=20261101)
    args = parser.parse_args(argv)
    os.environ.setdefault("LUMENFEED_TICK_DAYS", "5")
    kinds = ["minbar", "tick"] if args.kind == "both" else [args.kind]
    work = tempfile.mkdtemp(prefix="corvane-revisit-")
    try:
        for kind in kinds:
            ready("20261204")
            counter = Counting()
            root = os.path.join(work, kind)
            timed_update(kind, root, args.since, 0, counter)
            unchanged(kind, root, args.since, args.repeat, counter)
            revising(kind, root, args.since, counter, work)
            bundle.lumenfeed.get_price = counter.served
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
