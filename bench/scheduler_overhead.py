"""What running the jobs on Dask costs against the process pool, on one machine.

    .venv/bin/python bench/scheduler_overhead.py [--words all] [--workers 2]
                                                 [--asof 20261204] [--repeat 1] [--out DIR]

The same first fill of the demo market (`corvane update-minbar DIR WORDS
--with-derivatives`), once with `--jobs N` and once with `--scheduler
local:N`, into fresh directories, alternating which goes first; wall time of
the whole command (the local cluster's start and stop included) and Dask's
overhead as a share of the pool's time.  Both runs must write the same rows.
The CPU seconds of each command and its workers are printed too: on a
machine shared with other work they vary less than the wall time.  So are
the CPU seconds the machine spent on anything else during each run (Linux):
a run with many of them was slowed by other work and says little.
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time


def timed_run(corvane, path, words, option, env):
    report = path + ".json"
    started, cpu, busy = time.perf_counter(), children_cpu(), machine_busy()
    subprocess.run([corvane, "update-minbar", path, *words, "--with-derivatives", *option,
                    "--report", report], check=True, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    seconds, cpu = time.perf_counter() - started, children_cpu() - cpu
    others = machine_busy() - busy - cpu if busy is not None else float("nan")
    with open(report) as source:
        rows = {entry["order_book_id"]: entry["rows_after"] for entry in json.load(source)["instruments"]}
    return seconds, cpu, others, rows


def machine_busy():
    """CPU seconds the whole machine has been busy since boot; None off Linux."""
    try:
        with open("/proc/stat") as stat:
            fields = [int(value) for value in stat.readline().split()[1:]]
    except OSError:
        return None
    idle = fields[3] + fields[4]   # idle and iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def children_cpu():
    """CPU seconds of the finished child processes (the workers are the commands' children)."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", nargs="+", default=["all"])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--asof", default="20261204")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--out", default=None)
    args = parser.parse_args()
    corvane = os.path.join(os.path.dirname(sys.executable), "corvane")
    env = dict(os.environ, LUMENFEED_ASOF=args.asof)
    options = {"pool": ["--jobs", str(args.workers)],
               "dask": ["--scheduler", "local:{}".format(args.workers)]}
    out = args.out or tempfile.mkdtemp(prefix="corvane-scheduler-")
    print("load average at start: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    times = {name: [] for name in options}
    cpus = {name: [] for name in options}
    for round_number in range(args.repeat):
        order = list(options) if round_number % 2 == 0 else list(reversed(options))
        rows = {}
        for name in order:
            path = os.path.join(out, name)
            shutil.rmtree(path, ignore_errors=True)
            seconds, cpu, others, rows[name] = timed_run(corvane, path, args.words, options[name],
                                                         env)
            times[name].append(seconds)
            cpus[name].append(cpu)
            print("{:5} {:8.1f} s  {:8.1f} CPU s  ({} instruments; other work: {:.1f} CPU s)".format(
                name, seconds, cpu, len(rows[name]), others), flush=True)
        if rows["pool"] != rows["dask"]:
            sys.exit("the two runs wrote different rows")
    pool, dask = min(times["pool"]), min(times["dask"])
    print("best: pool {:.1f} s, dask {:.1f} s, dask overhead {:+.1f}%".format(
        pool, dask, 100.0 * (dask - pool) / pool))
    pool, dask = min(cpus["pool"]), min(cpus["dask"])
    print("CPU:  pool {:.1f} s, dask {:.1f} s, dask overhead {:+.1f}%".format(
        pool, dask, 100.0 * (dask - pool) / pool))
    print("load average at end: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    if args.out is None:
        shutil.rmtree(out)


if __name__ == "__main__":
    main()
