"""Benchmark: a whole market, corvane beside the plain h5py implementation, in one run.

    .venv/bin/python bench/market.py [--quick] [--only daily,fill,ticks] [--jobs 2,8,32]
                                     [--latency 0,50] [--scale full|F] [--fill-scale F]
                                     [--profile] [--out DIR] [--keep-trash]

The stand-in client serves a user's market (LUMENFEED_MARKET, a factor of the
full one) and answers every call after LUMENFEED_LATENCY_MS. Workloads:

- daily: the daily update of every instrument (`all`, with derivatives),
  from bundles filled with the four to eight trading days before (prepared
  once per implementation and scale, copied afresh for every run; see
  `prep_start`);
- fill: the first fill of a year of the market (`--fill-scale` of it);
- ticks: one day of LUMENFEED_TICK_RATE=70000 ticks written to a new file,
  then read back, three times each, in one process per implementation.

Every (workload, latency, jobs) runs once per implementation, each in a fresh
process, the two alternating; the table gives wall time per file, CPU per
file in the parent and in all workers together (and in the workers outside
the client's calls, that is corvane's own work), the parent's peak, the
workers' peaks (largest and sum), the largest sum of all processes'
proportional set sizes, files per second and, with latency, the client's
requests per second against the bound of `jobs` requests in flight. The
stand-in's own cost per call is measured first, in a process of its own.
`--profile` adds one daily run of corvane under cProfile, parent and one
worker, and prints their top lines; the profiles count CPU time, not the
wall clock, which on a shared machine mostly measures the wait for a core.
"""
import argparse
import contextlib
import cProfile
import datetime
import functools
import io
import json
import multiprocessing.util
import os
import pstats
import random
import resource
import shutil
import statistics
import subprocess
import sys
import threading
import time
import warnings
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import filesystem  # noqa: E402

ASOF = "20261207"          # a Monday: the daily update adds it
PREP_ASOF = "20261204"     # the prepared bundles end on the Friday before
SINCE = 20261201           # and start here or up to PREP_PHASES - 1 trading days before
PREP_PHASES = 5            # (both updates fill an empty file from SINCE)
FILL_SINCE = 20251208      # the first fill: a year before ASOF
CLIENT_CALLS = ("init", "all_instruments", "instruments", "get_next_trading_date", "get_price")
MB = 1024.0 * 1024.0


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: market 0.005, jobs 2, latency 0 and 20 ms, fills of a month")
    parser.add_argument("--only", default="daily,fill",
                        help="comma-separated workloads among daily, fill, ticks (default: %(default)s)")
    parser.add_argument("--jobs", default="2,8,32", help="worker counts (default: %(default)s)")
    parser.add_argument("--fetch-threads", default="1",
                        help="corvane's --fetch-threads, comma-separated (default: %(default)s); "
                             "the baseline has one job per worker")
    parser.add_argument("--latency", default="0,50", help="ms per client call (default: %(default)s)")
    parser.add_argument("--impl", default="baseline,corvane",
                        help="implementations to run (default: %(default)s); corvane alone for its rows "
                             "against the round-trip bound, which need no baseline")
    parser.add_argument("--scale", default="full", help="the market of the daily runs: full or a factor")
    parser.add_argument("--fill-scale", default="0.02", help="the market of the first fills (default: %(default)s)")
    parser.add_argument("--fill-since", type=int, default=FILL_SINCE,
                        help="where the first fills start (default: %(default)s, a year)")
    parser.add_argument("--profile", action="store_true",
                        help="also profile one daily run of corvane (first jobs and latency given)")
    parser.add_argument("--out", default=os.path.join(HERE, "out", "market"))
    parser.add_argument("--keep-trash", action="store_true", help="see bench/README.md")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--spec", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.quick:
        args.scale, args.fill_scale, args.fill_since = "0.005", "0.005", 20261102
        args.jobs, args.latency = "2", "0,20"
    args.out = os.path.abspath(args.out)  # the children run in bench/
    args.only = [w.strip() for w in args.only.split(",") if w.strip()]
    args.jobs = [int(j) for j in args.jobs.split(",")]
    args.fetch_threads = [int(t) for t in args.fetch_threads.split(",")]
    args.latency = [float(ms) for ms in args.latency.split(",")]
    args.impl = [i.strip() for i in args.impl.split(",") if i.strip()]
    if set(args.impl) - {"baseline", "corvane"} or not args.impl:
        parser.error("--impl takes baseline and/or corvane")
    bad = set(args.only) - {"daily", "fill", "ticks"}
    if bad:
        parser.error("unknown workload(s) {}".format(sorted(bad)))
    return args


# --- measuring, in the child ------------------------------------------------

def status_kb(pid, field):
    try:
        with open("/proc/{}/status".format(pid)) as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def pss_kb(pid):
    try:
        with open("/proc/{}/smaps_rollup".format(pid)) as rollup:
            for line in rollup:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_delay(pid="self"):
    """Seconds the threads of a process (those alive now) waited for a core."""
    total = 0
    try:
        for task in os.listdir("/proc/{}/task".format(pid)):
            with contextlib.suppress(OSError, ValueError, IndexError):
                with open("/proc/{}/task/{}/schedstat".format(pid, task)) as text:
                    total += int(text.read().split()[1])
    except OSError:
        pass
    return total / 1e9


def children(pid):
    found = []
    try:
        for task in os.listdir("/proc/{}/task".format(pid)):
            with open("/proc/{}/task/{}/children".format(pid, task)) as text:
                found += [int(p) for p in text.read().split()]
    except OSError:
        pass
    return found


class Sampler(threading.Thread):
    """The largest sum of this process's and its children's proportional set
    sizes, sampled; its own CPU time is kept apart from the parent's."""

    def __init__(self, interval=0.5):
        super().__init__(daemon=True)
        self.interval = interval
        self.peak_pss_kb = 0
        self.cpu = 0.0
        self._halt = threading.Event()

    def run(self):
        me = os.getpid()
        while not self._halt.wait(self.interval):
            self.peak_pss_kb = max(self.peak_pss_kb, sum(pss_kb(p) for p in [me] + children(me)))
        self.cpu = time.thread_time()

    def stop(self):
        self._halt.set()
        self.join()


class Counted:
    """The client's calls in a worker: how many, and the time inside them
    (CPU: the calling thread's, as a worker may call on several threads)."""

    def __init__(self):
        self.calls = 0
        self.wall = 0.0
        self.cpu = 0.0
        self._lock = threading.Lock()

    def wrap(self, fn):
        @functools.wraps(fn)
        def call(*args, **kwargs):
            wall, cpu = time.perf_counter(), time.thread_time()
            try:
                return fn(*args, **kwargs)
            finally:
                wall, cpu = time.perf_counter() - wall, time.thread_time() - cpu
                with self._lock:
                    self.calls += 1
                    self.wall += wall
                    self.cpu += cpu
        return call


# The implementation's own worker initialiser, set before the pool starts.
INITS = {}

# The engine's calls that write rows, the compression with them: their CPU is counted in a run
# (ENGINE["counted"], a Counted made afresh in each process; a forked worker keeps the wrappers).
ENGINE_WRITES = ("append_minbar", "revise_minbar", "append", "write_day")
ENGINE = {"counted": None}


def count_engine_writes():
    """From now on, the CPU of the calling thread in each of the engine's writes, in a new ENGINE["counted"]."""
    from corvane import _engine
    ENGINE["counted"] = Counted()
    if getattr(_engine.File, "_bench_counted", False):
        return

    def counting(name, original):
        def call(*args, **kwargs):
            return ENGINE["counted"].wrap(original)(*args, **kwargs)
        call.__name__ = name
        return call

    for name in ENGINE_WRITES:
        setattr(_engine.File, name, counting(name, getattr(_engine.File, name)))
    _engine.File._bench_counted = True


def worker_setup(impl, stats_dir, profile):
    """A worker's set-up: the client's calls counted, its figures written when
    it leaves; the first worker to start is profiled when asked."""
    import lumenfeed
    from corvane.updater import workers
    workers.exit_with_parent(os.getppid())  # a bench stopped leaves no worker writing behind
    counted = Counted()
    for name in CLIENT_CALLS:
        setattr(lumenfeed, name, counted.wrap(getattr(lumenfeed, name)))
    if impl == "corvane":
        count_engine_writes()
    profiler = None
    if profile:
        try:
            os.close(os.open(os.path.join(stats_dir, "profiled"), os.O_CREAT | os.O_EXCL | os.O_WRONLY))
            profiler = cProfile.Profile(time.process_time)
        except FileExistsError:
            pass

    def leave():
        if profiler is not None:
            profiler.disable()
            profiler.dump_stats(os.path.join(stats_dir, "worker.prof"))
        times = os.times()
        figures = {"pid": os.getpid(), "hwm_kb": status_kb("self", "VmHWM"), "calls": counted.calls,
                   "client_wall": counted.wall, "client_cpu": counted.cpu, "cpu": times.user + times.system,
                   "run_delay": run_delay()}
        if ENGINE["counted"] is not None:
            figures.update(engine_cpu=ENGINE["counted"].cpu, engine_calls=ENGINE["counted"].calls)
        with open(os.path.join(stats_dir, "w{}.json".format(os.getpid())), "w") as out:
            json.dump(figures, out)

    multiprocessing.util.Finalize(None, leave, exitpriority=10)
    INITS[impl]()
    if profiler is not None:
        profiler.enable()


def top_lines(stats_source, count=22):
    text = io.StringIO()
    stats = pstats.Stats(stats_source, stream=text)
    stats.sort_stats("tottime").print_stats(count)
    stats.sort_stats("cumulative").print_stats(count)
    return text.getvalue()


def selected(words=("all",)):
    from corvane import bundle
    return sorted(bundle._merge_tags(list(words), True))


def run_corvane(path, jobs, since, stats_dir, profile, threads=1):
    from corvane import bundle
    from corvane.updater import run
    from corvane.updater.options import UpdateOptions
    INITS["corvane"] = bundle.init_lumenfeed_with_warnings_catch
    bundle.init_lumenfeed_with_warnings_catch = functools.partial(worker_setup, "corvane", stats_dir, profile)
    report = run.update("minbar", path, ["all"], with_derivatives=True, jobs=jobs,
                        options=UpdateOptions(since=since, fetch_threads=threads))
    counts = report.counts
    return counts["instruments"], counts["rows_added"], counts["failed"]


def run_baseline(path, jobs, since, stats_dir, profile, threads=1):
    import baseline
    import lumenfeed
    baseline.CLIENT = lumenfeed
    order_book_ids = selected()
    INITS["baseline"] = baseline.init_worker
    init = functools.partial(worker_setup, "baseline", stats_dir, profile)
    baseline.update_minbar(path, order_book_ids, jobs, since, initializer=init)
    return len(order_book_ids), None, None


def child_update(spec):
    """One update run in this fresh process: its figures."""
    import lumenfeed
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    # The stand-in's market is made before the clock starts: its generation
    # (seconds for the full market) is no client's cost, and the same for both.
    lumenfeed.all_instruments()
    stats_dir = spec["stats"]
    os.makedirs(stats_dir, exist_ok=True)
    # The parent's own client calls (the run's listing and calendar) and engine writes, counted as the workers'.
    parent_client = Counted()
    for name in CLIENT_CALLS:
        setattr(lumenfeed, name, parent_client.wrap(getattr(lumenfeed, name)))
    if spec["impl"] == "corvane":
        count_engine_writes()
    go = run_corvane if spec["impl"] == "corvane" else run_baseline
    profiler = cProfile.Profile(time.process_time) if spec.get("profile") else None
    sampler = Sampler()
    sampler.start()
    wall, cpu = time.perf_counter(), time.process_time()
    if profiler is not None:
        files, rows, failed = profiler.runcall(go, spec["path"], spec["jobs"], spec["since"], stats_dir, True,
                                               spec["threads"])
    else:
        files, rows, failed = go(spec["path"], spec["jobs"], spec["since"], stats_dir, False, spec["threads"])
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    sampler.stop()
    workers = []
    for name in os.listdir(stats_dir):
        if name.startswith("w") and name.endswith(".json"):
            with open(os.path.join(stats_dir, name)) as figures:
                workers.append(json.load(figures))
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = {"files": files, "rows": rows, "failed": failed, "wall": wall,
              "parent_cpu": cpu - sampler.cpu, "parent_hwm_kb": status_kb("self", "VmHWM"),
              "workers_cpu": usage.ru_utime + usage.ru_stime, "workers": workers,
              "peak_pss_kb": sampler.peak_pss_kb, "parent_client_cpu": parent_client.cpu,
              "parent_engine_cpu": ENGINE["counted"].cpu if ENGINE["counted"] is not None else 0.0}
    if profiler is not None:
        result["profile_parent"] = top_lines(profiler)
        prof = os.path.join(stats_dir, "worker.prof")
        result["profile_worker"] = top_lines(prof) if os.path.exists(prof) else "(no worker profile)"
    return result


def prep_start(order_book_id, days):
    """Where an instrument's prepared file starts: up to four trading days
    before the others, so that the files' last chunks stand at different
    fill levels (as in a bundle grown over years) and the measured day fills
    a chunk in about one file in five, not in all."""
    return days[-1 - zlib.crc32(order_book_id.encode()) % PREP_PHASES]


def child_prep(spec):
    """The bundle the daily runs start from: every instrument filled up to
    PREP_ASOF from a start of its own, by the implementation's own job."""
    import lumenfeed
    from vesper.data.bundle import ProgressedProcessPoolExecutor
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    days = [int(day.strftime("%Y%m%d")) for day in lumenfeed.get_trading_dates(20261101, SINCE)]
    order_book_ids = selected()
    if spec["impl"] == "corvane":
        from corvane import bundle
        job, init = bundle._append_h5, bundle.init_lumenfeed_with_warnings_catch
        calls = [(oid, spec["path"], None, prep_start(oid, days)) for oid in order_book_ids]
    else:
        import baseline
        baseline.CLIENT = lumenfeed
        job, init = baseline.minbar_job, baseline.init_worker
        calls = [(oid, spec["path"], prep_start(oid, days)) for oid in order_book_ids]
    wall = time.perf_counter()
    with ProgressedProcessPoolExecutor(max_workers=2, initializer=init) as executor:
        for call in calls:
            executor.submit(job, *call)
    if spec["impl"] == "corvane":
        # A bundle in daily use has versions: the daily run commits its own, not the bundle's first.
        from corvane.history import commits
        commits.commit(spec["path"], "minbar", {"command": "prepared"}, {})
    return {"files": len(calls), "wall": time.perf_counter() - wall}


def child_standin(spec):
    """The stand-in's own CPU per call, no latency: median and mean over a sample."""
    import lumenfeed
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    started = time.perf_counter()
    ids = list(lumenfeed.all_instruments()["order_book_id"])
    listing = time.perf_counter() - started
    sample = random.Random(7).sample(ids, min(400, len(ids)))
    day = datetime.date(2026, 12, 7)
    calls = {
        "instruments": lambda oid: lumenfeed.instruments(oid),
        "get_next_trading_date": lambda oid: lumenfeed.get_next_trading_date(20261204),
        "get_price 1m, one day": lambda oid: lumenfeed.get_price(
            oid, start_date=day, end_date=29991231, frequency="1m", adjust_type="none", expect_df=True),
        "get_price 1m, a year": lambda oid: lumenfeed.get_price(
            oid, start_date=FILL_SINCE, end_date=29991231, frequency="1m", adjust_type="none", expect_df=True),
        "get_price 1d, a year": lambda oid: lumenfeed.get_price(oid, FILL_SINCE, 29991231),
        "get_price tick, one day": lambda oid: lumenfeed.get_price(oid, day, day, frequency="tick",
                                                                   adjust_type="none"),
    }
    out = {"instruments listed": len(ids), "listing": listing}
    for name, call in calls.items():
        seconds = []
        for oid in (sample if "year" not in name and "tick" not in name else sample[:100]):
            cpu = time.process_time()
            call(oid)
            seconds.append(time.process_time() - cpu)
        out[name] = (statistics.median(seconds), statistics.mean(seconds))
    return out


def child_ticks(spec):
    """One 70,000-tick day: written to a new file, then read back, three times each;
    wall and CPU seconds (all threads of the process) of each."""
    import h5py
    import lumenfeed
    import numpy as np
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    import baseline
    from fakeclient import FakeClient
    from corvane import bundle
    from corvane import read
    from corvane.updater import tick
    from corvane.updater.services import Services
    from vesper.const import INSTRUMENT_TYPE
    oid, day = "10001.HBX", datetime.date(2026, 12, 7)
    listing = lumenfeed.get_price(oid, 20261207, 29991231)
    frame = lumenfeed.get_price(oid, day, day, frequency="tick", adjust_type="none")
    times = {"write": [], "read": [], "write_cpu": [], "read_cpu": []}

    def timed(name, call):
        wall, cpu = time.perf_counter(), time.process_time()
        out = call()
        times[name].append(time.perf_counter() - wall)
        times[name + "_cpu"].append(time.process_time() - cpu)
        return out

    def figures():
        return dict({"ticks": len(frame)}, **{name: statistics.median(values) for name, values in times.items()})

    profiler = cProfile.Profile(time.process_time) if spec.get("profile") and spec["impl"] == "corvane" else None
    for n in range(4 if profiler else 3):
        client = FakeClient({oid: lumenfeed.instruments(oid)}, [20261204, 20261207])
        client.put(oid, "1d", 20261207, listing.copy())
        client.put(oid, "tick", 20261207, frame.copy())
        folder = os.path.join(spec["path"], str(n))
        os.makedirs(folder)
        if spec["impl"] == "baseline":
            timed("write", lambda: baseline.append_h5_tick(client, oid, folder, None, 20261207, 29991231))
        else:
            services = Services(client=client, instrument_type=INSTRUMENT_TYPE,
                                convert_dt_to_int=bundle.convert_dt_to_int, date_to_number=bundle.date_to_number,
                                time_to_number=bundle.time_to_number, ticks_loader=bundle.H5TicksLoader,
                                echo=print, equities_types=bundle.EQUITIES_INS_TYPE)
            write = functools.partial(tick.append_h5_tick, services, oid, folder, None, 20261207, 29991231)
            if n == 3:  # the untimed fourth write, profiled
                profiler.runcall(write)
                return dict(figures(), profile=top_lines(profiler, 15))
            timed("write", write)
        if spec["impl"] == "baseline":
            def read_back():
                with h5py.File(os.path.join(folder, oid + ".h5"), "r") as h5:
                    records = h5["20261207"][...]
                return baseline_tick_table(records, np)
        else:
            def read_back():
                return read.ticks(folder, oid)
        assert len(timed("read", read_back)) == len(frame)
    return figures()


def baseline_tick_table(records, np):
    """What a user writes to read a tick day back: records to a table indexed
    by the tick's time, scales undone."""
    import pandas as pd
    from vesper_mod_tollbay_data.data_sources.data_store import H5TicksLoader
    table = pd.DataFrame(records)
    for name, _, scale in H5TicksLoader.FIELDS:
        table[name] = table[name] / float(scale)
    date, hhmmssmmm = table.pop("date").to_numpy(), table.pop("time").to_numpy()
    days = pd.to_datetime(pd.DataFrame({"year": date // 10000, "month": date // 100 % 100, "day": date % 100}))
    ms = (hhmmssmmm // 10000000 * 3600 + hhmmssmmm // 100000 % 100 * 60 + hhmmssmmm // 1000 % 100) * 1000 \
        + hhmmssmmm % 1000
    table.index = pd.DatetimeIndex(days.to_numpy() + ms.astype("timedelta64[ms]"), name="datetime")
    return table


def child_main(args):
    with open(args.spec) as text:
        spec = json.load(text)
    result = {"update": child_update, "prep": child_prep, "standin": child_standin,
              "ticks": child_ticks}[args.child](spec)
    with open(spec["result"], "w") as out:
        json.dump(result, out)


# --- running the children ---------------------------------------------------

def market_env(scale, latency, asof=ASOF, tick_rate=None):
    env = dict(os.environ)
    env.update(LUMENFEED_MARKET=scale, LUMENFEED_LATENCY_MS="{:g}".format(latency), LUMENFEED_ASOF=asof)
    env.pop("LUMENFEED_REVISED", None)
    if tick_rate:
        env["LUMENFEED_TICK_RATE"] = str(tick_rate)
    else:
        env.pop("LUMENFEED_TICK_RATE", None)
    return env


def run_child(args, kind, name, spec, env):
    logs = os.path.join(args.out, "logs")
    os.makedirs(logs, exist_ok=True)
    stem = os.path.join(logs, name)
    spec = dict(spec, result=stem + ".json")
    with open(stem + ".spec", "w") as out:
        json.dump(spec, out)
    if os.path.exists(spec["result"]):
        os.remove(spec["result"])
    with open(stem + ".log", "w") as log:
        code = subprocess.call([sys.executable, os.path.abspath(__file__), "--child", kind, "--spec", stem + ".spec"],
                               stdout=log, stderr=subprocess.STDOUT, env=env, cwd=HERE)
    if code != 0 or not os.path.exists(spec["result"]):
        with open(stem + ".log") as log:
            print("  {} failed (exit {}); end of its log:\n{}".format(name, code, log.read()[-3000:]),
                  file=sys.stderr)
        return None
    with open(spec["result"]) as result:
        return json.load(result)


def trash(args):
    return os.path.join(args.out, filesystem.TRASH)


def fresh_dir(args, path):
    filesystem.discard(path, trash(args))
    os.makedirs(path)
    return path


def prepared(args, impl, scale):
    """The bundle the daily runs start from, made once per implementation and scale."""
    path = os.path.join(args.out, "prep", "{}-{}-phased{}".format(impl, scale, "-versioned" if impl == "corvane" else ""))
    done = path + ".done"
    if os.path.exists(done):
        with open(done) as text:
            return path, json.load(text)
    fresh_dir(args, path)
    result = run_child(args, "prep", "prep-{}-{}".format(impl, scale), {"impl": impl, "path": path},
                       market_env(scale, 0, PREP_ASOF))
    if result is None:
        return None, None
    with open(done, "w") as out:
        json.dump(result, out)
    return path, result


def copy_of(args, source, impl):
    path = os.path.join(args.out, "run", impl)
    filesystem.discard(path, trash(args))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    shutil.copytree(source, path)
    return path


def one_run(args, workload, impl, scale, latency, jobs, profile=False, threads=1):
    name = "{}-{}-{}-{}ms-j{}{}{}".format(workload, impl, scale, "{:g}".format(latency), jobs,
                                          "-t{}".format(threads) if threads > 1 else "",
                                          "-profile" if profile else "")
    stats = fresh_dir(args, os.path.join(args.out, "stats", name))
    if workload == "daily":
        source, _ = prepared(args, impl, scale)
        if source is None:
            return None
        path = copy_of(args, source, impl)
        since = SINCE
    else:
        path = fresh_dir(args, os.path.join(args.out, "run", impl))
        since = args.fill_since
    spec = {"impl": impl, "path": path, "jobs": jobs, "since": since, "stats": stats, "profile": profile,
            "threads": threads}
    result = run_child(args, "update", name, spec, market_env(scale, latency))
    if result is not None:
        result["tree"] = path
    return result


# --- the table ----------------------------------------------------------------

def ms(value):
    return "{:.2f}".format(value * 1e3)


def row_of(workload, scale, latency, jobs, threads, impl, r):
    files = max(r["files"], 1)
    workers = r["workers"]
    client_cpu = sum(w["client_cpu"] for w in workers)
    client_wall = sum(w["client_wall"] for w in workers)
    calls = sum(w["calls"] for w in workers)
    rate = files / r["wall"]
    in_flight = jobs * threads
    bound = "{:.0f}/{:.0f}".format(rate, 0.8 * in_flight / (latency / 1e3)) if latency else "-"
    # The run's wall time less the client's: its calls overlap `in_flight` at a time.
    outside = max(r["wall"] - client_wall / in_flight, 0.0)
    return [workload, scale, "{:g}".format(latency), str(jobs), str(threads), impl, str(r["files"]),
            "{:.1f}".format(r["wall"]), ms(r["wall"] / files), ms(outside / files), ms(r["parent_cpu"] / files),
            ms(r["workers_cpu"] / files), ms((r["workers_cpu"] - client_cpu) / files),
            ms(client_cpu / files), ms(client_wall / files),
            ms(sum(w.get("run_delay", 0.0) for w in workers) / files), "{:.0f}".format(r["parent_hwm_kb"] / 1024.0),
            "{:.0f}/{:.0f}".format(max((w["hwm_kb"] for w in workers), default=0) / 1024.0,
                                   sum(w["hwm_kb"] for w in workers) / 1024.0),
            "{:.0f}".format(r["peak_pss_kb"] / 1024.0), "{:.1f}".format(rate),
            "{:.1f}".format(calls / files) if workers else "-", bound]


HEADER = ["work", "market", "ms", "jobs", "thr", "impl", "files", "wall s", "wall/file", "wall/f less client",
          "parent cpu/f", "workers cpu/f", "outside client/f", "client cpu/f", "client wall/f", "no core/f", "parent MB",
          "workers MB max/sum", "PSS MB", "files/s", "calls/f", "files/s / bound"]


def render(rows):
    widths = [max(len(str(r[i])) for r in rows + [HEADER]) for i in range(len(HEADER))]
    lines = []
    for n, row in enumerate([HEADER] + rows):
        lines.append("  ".join(str(c).rjust(w) for c, w in zip(row, widths)).rstrip())
        if n == 0:
            lines.append("-" * len(lines[0]))
    return "\n".join(lines)


def ratio_line(workload, scale, latency, jobs, results, key):
    base, corv = results.get("baseline"), results.get(key)
    if key == "baseline" or not base or not corv:
        return None
    return "{} {} {:g} ms jobs {}: baseline / {} wall time {:.2f}x".format(
        workload, scale, latency, jobs, key, base["wall"] / corv["wall"])


def check_trees(base_root, corv_root, sample=300):
    """Records of a sample of files, baseline against corvane."""
    import run as bench_run
    base, corv = bench_run.h5_files(base_root), bench_run.h5_files(corv_root)
    problems = []
    if set(base) != set(corv):
        problems.append("files differ: only baseline {}, only corvane {}".format(
            sorted(set(base) - set(corv))[:3], sorted(set(corv) - set(base))[:3]))
    names = sorted(set(base) & set(corv))
    for rel in random.Random(3).sample(names, min(sample, len(names))):
        for problem in bench_run.compare_files(base[rel], corv[rel]):
            if "compression" not in problem and "chunked" not in problem:
                problems.append(rel + ": " + problem)
    return problems


def compressed_by_rule(before_root, after_root, whole, sample=300):
    """CPU ms per file that the engine's compression rule alone costs for what a run wrote.

    A chunk that the run filled goes in at libdeflate level 10, and so does
    every chunk of a file written whole (`whole`: a first fill); the rows a
    daily append leaves in a partly filled last chunk go in at level 1. Each
    such piece of a sample of the run's files is compressed again here, alone,
    on one thread: what corvane's run cannot do below, whatever else it saves.
    """
    import engine as bench_engine
    import h5py
    import run as bench_run
    before, after = bench_run.h5_files(before_root) if before_root else {}, bench_run.h5_files(after_root)
    names = random.Random(5).sample(sorted(after), min(sample, len(after)))
    spent = {10: 0.0, 1: 0.0}
    for rel in names:
        with h5py.File(after[rel], "r") as h5:
            if "data" not in h5:
                continue
            data = h5["data"]
            rows_after, chunk_rows = data.shape[0], data.chunks[0]
            rows_before = 0
            if rel in before:
                with h5py.File(before[rel], "r") as old:
                    rows_before = old["data"].shape[0] if "data" in old else 0
            first_full = 0 if whole else rows_before // chunk_rows
            full_end = -(-rows_after // chunk_rows) if whole else rows_after // chunk_rows
            pieces = [(10, data[k * chunk_rows:(k + 1) * chunk_rows].tobytes()) for k in range(first_full, full_end)]
            tail_from = max(rows_before, full_end * chunk_rows)
            if not whole and tail_from < rows_after:
                pieces.append((1, data[tail_from:rows_after].tobytes()))
        for level, raw in pieces:
            started = time.process_time()
            bench_engine.compress(raw, level)
            spent[level] += time.process_time() - started
    return {level: seconds * 1e3 / max(len(names), 1) for level, seconds in spent.items()}


OWN_GOAL_MS = 1.0       # corvane's own CPU a file of the daily run, at LUMENFEED_MARKET=0.25
OWN_GOAL_MARKET = "0.25"


def split_of(r):
    """CPU ms a file of a run: the run's (parent and workers), the client's, the engine's writes, the rest."""
    files = max(r["files"], 1)
    run_cpu = r["parent_cpu"] + r["workers_cpu"]
    client = r.get("parent_client_cpu", 0.0) + sum(w["client_cpu"] for w in r["workers"])
    engine = r.get("parent_engine_cpu", 0.0) + sum(w.get("engine_cpu", 0.0) for w in r["workers"])
    per_file = {name: value * 1e3 / files for name, value in
                (("run", run_cpu), ("client", client), ("engine", engine), ("own", run_cpu - client - engine))}
    per_file["engine calls"] = (sum(w.get("engine_calls", 0) for w in r["workers"])) / files
    return per_file


def floor_line(workload, scale, jobs, results, before_root):
    """What the run's CPU went to, measured, and how fast corvane could be at best, the client's CPU and the
    compression rule left alone."""
    base, corv = results.get("baseline"), results.get("corvane")
    if not corv:
        return None
    spent = compressed_by_rule(before_root, corv["tree"], whole=workload == "fill")
    split = split_of(corv)
    cores = min(jobs, os.cpu_count() or 1)
    floor_cpu = spent[10] + spent[1] + split["client"]
    goal = ""
    if workload == "daily":
        met = split["own"] <= OWN_GOAL_MS
        goal = " (goal <={:g} ms at LUMENFEED_MARKET={}: {}{})".format(
            OWN_GOAL_MS, OWN_GOAL_MARKET, "met" if met else "not met",
            "" if scale == OWN_GOAL_MARKET else "; this run's market is " + scale)
    text = ("{} {} jobs {}: CPU ms a file, measured in the run: the run's {:.2f} (parent and workers, rusage) = "
            "the client's {:.2f} (its calls timed in each process, thread CPU) + the engine's writes {:.2f} "
            "({:.2f} calls a file of {}, each timed in the run, thread CPU: compression and the writes it goes "
            "with) + corvane's own {:.2f}{}. The compression rule alone (300 files' pieces compressed again, "
            "one thread): level 10 {:.2f}, level 1 {:.2f}; with the client's, no run takes less than {:.2f} ms "
            "of CPU a file, {:.2f} of wall on {} cores (corvane now {:.2f})".format(
                workload, scale, jobs, split["run"], split["client"], split["engine"], split["engine calls"],
                "/".join(ENGINE_WRITES), split["own"], goal, spent[10], spent[1], floor_cpu, floor_cpu / cores,
                cores, corv["wall"] * 1e3 / max(corv["files"], 1)))
    if base:
        base_wall = base["wall"] * 1e3 / max(base["files"], 1)
        # CPU against CPU holds on a loaded machine too, where the wall clock measures the wait for a core.
        base_cpu = (base["parent_cpu"] + base["workers_cpu"]) * 1e3 / max(base["files"], 1)
        text += "; at best {:.2f}x the baseline's CPU ({:.2f}), {:.2f}x its wall ({:.2f})".format(
            base_cpu / floor_cpu, base_cpu, base_wall / (floor_cpu / cores), base_wall)
    return text


def standin_lines(args, scale):
    result = run_child(args, "standin", "standin-{}".format(scale), {}, market_env(scale, 0))
    if result is None:
        return ["stand-in cost: failed"]
    lines = ["stand-in's own cost per call, market {} ({} instruments listed, listing built in {:.2f} s), "
             "no latency, CPU median / mean:".format(scale, result.pop("instruments listed"), result.pop("listing"))]
    for name, (median, mean) in result.items():
        lines.append("  {:<26} {} / {} ms".format(name, ms(median), ms(mean)))
    return lines


def tick_lines(args):
    results = {}
    for impl in ("baseline", "corvane"):
        path = fresh_dir(args, os.path.join(args.out, "ticks", impl))
        results[impl] = run_child(args, "ticks", "ticks-" + impl, {"impl": impl, "path": path,
                                                                    "profile": args.profile},
                                  market_env("demo", 0, tick_rate=70000))
    if not all(results.values()):
        return ["ticks: failed"]
    b, c = results["baseline"], results["corvane"]
    if "profile" in c:
        with open(os.path.join(args.out, "profile-ticks.txt"), "w") as out:
            out.write(c["profile"])
        print("profile of corvane writing the tick day:\n" + c["profile"])
    return ["ticks: one day of {} ticks, medians of 3, wall (CPU of all threads) in ms: write baseline {} ({}), "
            "corvane {} ({}): {:.2f}x ({:.2f}x); read back baseline {} ({}), corvane {} ({}): {:.2f}x ({:.2f}x)".format(
                c["ticks"], ms(b["write"]), ms(b["write_cpu"]), ms(c["write"]), ms(c["write_cpu"]),
                b["write"] / c["write"], b["write_cpu"] / c["write_cpu"],
                ms(b["read"]), ms(b["read_cpu"]), ms(c["read"]), ms(c["read_cpu"]),
                b["read"] / c["read"], b["read_cpu"] / c["read_cpu"])]


def main(argv):
    args = parse_args(argv)
    if args.child:
        return child_main(args)
    os.makedirs(args.out, exist_ok=True)
    load = open("/proc/loadavg").read().split()[:3]
    print("corvane market bench: {} cores, load {} (1, 5, 15 min), creating and removing a file {:.0f} us"
          .format(os.cpu_count(), " ".join(load), 1e6 * filesystem.create_cost(trash(args))), flush=True)
    lines, rows = [], []
    scales = ([args.scale] if "daily" in args.only else []) + ([args.fill_scale] if "fill" in args.only else [])
    for scale in dict.fromkeys(scales):
        lines += standin_lines(args, scale)
        print("\n".join(lines[-7:]), flush=True)
    for workload in ("daily", "fill"):
        if workload not in args.only:
            continue
        scale = args.scale if workload == "daily" else args.fill_scale
        for latency in args.latency:
            for jobs in args.jobs:
                results = {}
                order = ([("baseline", 1)] if "baseline" in args.impl else []) + \
                    ([("corvane", t) for t in args.fetch_threads] if "corvane" in args.impl else [])
                for impl, threads in order if len(rows) % 4 == 0 else order[::-1]:
                    key = impl if threads == 1 else "{} t{}".format(impl, threads)
                    results[key] = one_run(args, workload, impl, scale, latency, jobs, threads=threads)
                    if results[key] is not None:
                        rows.append(row_of(workload, scale, latency, jobs, threads, impl, results[key]))
                        print(render(rows[-1:]), flush=True)
                for key in results:
                    line = ratio_line(workload, scale, latency, jobs, results, key)
                    if line:
                        problems = check_trees(results["baseline"]["tree"], results[key]["tree"])
                        lines.append(line + ("; records of 300 files checked: {}".format(
                            "OK" if not problems else "MISMATCH " + "; ".join(problems[:3]))))
                        print(lines[-1], flush=True)
                if latency == 0 and "corvane" in results:
                    before = prepared(args, "corvane", scale)[0] if workload == "daily" else None
                    line = floor_line(workload, scale, jobs, results, before)
                    if line:
                        lines.append(line)
                        print(line, flush=True)
    if "ticks" in args.only:
        lines += tick_lines(args)
    table = render(rows) + "\n\n" + "\n".join(lines)
    print("\n" + table)
    print("\nper file (/f) in ms; workers cpu: all workers' CPU; outside client: workers' CPU less the "
          "time inside client calls; PSS: the largest sum over all processes, sampled every 0.5 s; "
          "wall/f less client: the wall time less the workers' time in client calls over the requests in "
          "flight (jobs x threads); no core/f: the workers' threads' time waiting for a core (a loaded "
          "machine; the fetch threads are counted, which stay for the run); files/s / bound: files per second against 0.8 x jobs x threads / latency")
    with open(os.path.join(args.out, "table.txt"), "w") as out:
        out.write(table + "\n")
    if args.profile and "daily" in args.only:
        result = one_run(args, "daily", "corvane", args.scale, args.latency[0], args.jobs[0], profile=True,
                         threads=args.fetch_threads[0])
        if result is not None:
            text = "profile of the parent:\n{}\nprofile of one worker:\n{}".format(
                result["profile_parent"], result["profile_worker"])
            with open(os.path.join(args.out, "profile.txt"), "w") as out:
                out.write(text)
            print("\n" + text)
    if not args.keep_trash:
        shutil.rmtree(trash(args), ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
