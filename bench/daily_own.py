"""Benchmark: corvane's own CPU a file of the daily update, in one process, and where it goes.

    .venv/bin/python bench/daily_own.py [--reps 3] [--limit N] [--steps] [--profile N]

The daily run of `market.py` (`--only daily`, `LUMENFEED_MARKET=0.25`, no
latency) with its jobs run one after another in this process instead of a
pool, on a fresh copy of the bundle `market.py` prepared (make it once with
`market.py --only daily --impl corvane --jobs 2 --scale 0.25 --latency 0`).
Per file: the run's CPU, the client's, the engine's writes and the rest,
corvane's own, split as `market.py`'s floor line splits it; no pool, so the
parent's share of a pooled run (the calls and outcomes sent between
processes) is not in it.  `--steps`: the CPU of each step of a job
(thread CPU, per file and per call), the engine's calls among them.
`--profile N`: cProfile's top N lines of one run, on the same clock.  The
copy is made before the clock starts; the file system's cost of creating
files after many were deleted (see README.md) is in every run alike.
"""
import argparse
import concurrent.futures
import cProfile
import io
import os
import pstats
import shutil
import sys
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
os.environ.update(LUMENFEED_MARKET="0.25", LUMENFEED_LATENCY_MS="0", LUMENFEED_ASOF="20261207")
os.environ.pop("LUMENFEED_REVISED", None)

import market  # noqa: E402

PREPARED = os.path.join(HERE, "out", "market", "prep", "corvane-0.25-phased-versioned")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3, help="runs, each on a fresh copy (default: 3)")
    parser.add_argument("--limit", type=int, default=0, help="the first N instruments selected only")
    parser.add_argument("--steps", action="store_true", help="the CPU of each step of a job")
    parser.add_argument("--profile", type=int, default=0, metavar="N", help="cProfile's top N lines")
    parser.add_argument("--prepared", default=PREPARED, help="the bundle market.py prepared")
    parser.add_argument("--work", default=os.path.join(HERE, "out", "daily_own"), help="where the copy goes")
    return parser.parse_args(argv)


class InTurn(concurrent.futures.Executor):
    """Runs each job as it is handed over, in this thread."""

    def submit(self, fn, *args, **kwargs):
        future = concurrent.futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except BaseException as error:
            future.set_exception(error)
        return future


class Steps:
    """Thread CPU of named calls, wrapped in place: {name: [calls, seconds]}."""

    def __init__(self):
        self.spent = {}

    def wrap(self, owner, attribute, name=None):
        original = getattr(owner, attribute)
        counted = self.spent.setdefault(name or attribute, [0, 0.0])

        def call(*args, **kwargs):
            started = time.thread_time()
            try:
                return original(*args, **kwargs)
            finally:
                counted[0] += 1
                counted[1] += time.thread_time() - started
        setattr(owner, attribute, call)

    def lines(self, files):
        for name, (calls, seconds) in sorted(self.spent.items(), key=lambda item: -item[1][1]):
            if calls:
                yield "  {:30s} {:6d} calls  {:.3f} ms/f  {:7.1f} us/call".format(
                    name, calls, seconds * 1e3 / files, seconds * 1e6 / calls)
        for counted in self.spent.values():
            counted[:] = [0, 0.0]


def watch_steps():
    """A Steps over a job's steps: the engine's calls outside its writes, and corvane's own."""
    from corvane import _engine, quality
    from corvane.history import states
    from corvane.updater import jobs, minbar
    steps = Steps()
    for name in ("minbar_held", "members", "length", "read_last", "__exit__"):
        steps.wrap(_engine.File, name, "engine File." + name)
    steps.wrap(minbar, "open_instrument_file", "engine File()")
    steps.wrap(quality, "bar_findings")
    steps.wrap(minbar, "per_stamp")
    for name in ("_bar_timestamps", "_date_index", "_bar_records", "_stored", "minbar_tails", "version_entry"):
        steps.wrap(minbar, name)
    steps.wrap(states, "segment_count")
    steps.wrap(jobs.formats, "locate")
    return steps


def one_run(args, words, counted, profile_lines):
    """{part: ms a file} of one run on a fresh copy; cProfile's lines when asked."""
    from corvane.updater import run
    from corvane.updater.options import UpdateOptions
    if os.path.exists(args.work):
        shutil.rmtree(args.work)
    shutil.copytree(args.prepared, args.work)
    counted.calls, counted.cpu = 0, 0.0
    engine = market.ENGINE["counted"]
    engine.calls, engine.cpu = 0, 0.0
    profiler = cProfile.Profile(time.process_time) if profile_lines else None
    cpu = time.process_time()
    if profiler is not None:
        profiler.enable()
    report = run.update("minbar", args.work, words, with_derivatives=True, executor=InTurn(),
                        options=UpdateOptions(since=market.SINCE))
    if profiler is not None:
        profiler.disable()
    cpu = time.process_time() - cpu
    files = max(report.counts["instruments"], 1)
    if report.counts["failed"]:
        print("  {} jobs failed".format(report.counts["failed"]), file=sys.stderr)
    spent = {"files": files, "run": cpu, "client": counted.cpu, "engine writes": engine.cpu,
             "own": cpu - counted.cpu - engine.cpu}
    if profiler is not None:
        text = io.StringIO()
        pstats.Stats(profiler, stream=text).sort_stats("tottime").print_stats(profile_lines)
        print(text.getvalue())
    return {name: (value if name == "files" else value * 1e3 / files) for name, value in spent.items()}


def main(argv=None):
    args = parse_args(argv)
    if not os.path.isdir(args.prepared):
        sys.exit("no prepared bundle at {}: run market.py's daily run once (see --help)".format(args.prepared))
    import lumenfeed
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    lumenfeed.all_instruments()     # the stand-in's market, made before any clock starts
    counted = market.Counted()
    for name in market.CLIENT_CALLS:
        setattr(lumenfeed, name, counted.wrap(getattr(lumenfeed, name)))
    market.count_engine_writes()
    words = market.selected()[:args.limit] if args.limit else ["all"]
    steps = watch_steps() if args.steps else None
    owns = []
    for rep in range(args.reps):
        spent = one_run(args, words, counted, args.profile if rep == 0 else 0)
        owns.append(spent["own"])
        print("run {}: {} files, CPU ms a file: the run's {:.3f} = the client's {:.3f} + the engine's writes {:.3f}"
              " + corvane's own {:.3f}".format(rep + 1, spent["files"], spent["run"], spent["client"],
                                               spent["engine writes"], spent["own"]))
        if steps is not None:
            print("\n".join(steps.lines(spent["files"])))
    owns.sort()
    print("corvane's own, median of {} runs: {:.3f} ms a file".format(len(owns), owns[len(owns) // 2]))
    shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    main()
