"""What `corvane plot` costs for 20 days, one year and a whole (twenty-year) file, side by side.

    .venv/bin/python bench/plot_scale.py [--root demo-bundle/minbar] [--oid 10001.HBX]
                                         [--baseline OTHER/.venv/bin/corvane] [--timeout 120]
                                         [--repeat 3]

Each range is drawn by a fresh `corvane plot` process (the command a user
runs), --repeat times; printed are the median wall-clock seconds, the
median CPU seconds (user + system: on a shared machine the wall clock
mostly measures the wait for a core) and the largest peak resident memory,
as /usr/bin/time -v gives them.  With --baseline, another checkout's
command draws the same ranges in the same run, alternating with this one;
a run beyond --timeout seconds is stopped and shown as such.  The demo
market's oldest stock (10001.HBX) holds twenty years of minute bars.
"""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import h5py

HERE = os.path.dirname(os.path.abspath(__file__))
CORVANE = os.path.join(os.path.dirname(HERE), ".venv", "bin", "corvane")


def ranges(root, oid):
    """{name: extra arguments} of the ranges drawn, from the file's stored dates."""
    for directory in ("equities", "future", "option"):
        path = os.path.join(root, directory, oid + ".h5")
        if os.path.exists(path):
            break
    else:
        sys.exit("no file for {} under {}".format(oid, root))
    with h5py.File(path, "r") as h5:
        dates = h5["index"]["date"][()]
    year = dates[max(len(dates) - 250, 0)]
    return {
        "20 days": [],
        "one year ({} days)".format(min(250, len(dates))): ["--from", str(year)],
        "whole file ({} days)".format(len(dates)): ["--from", str(dates[0])],
    }


def one_run(command, root, oid, extra, timeout):
    """(wall s, cpu s, peak KB) of one plot, or None when it ran past `timeout`."""
    out = os.path.join(tempfile.mkdtemp(prefix="plot-scale-"), "p.png")
    start = time.perf_counter()
    child = subprocess.Popen([command, "plot", root, oid, "-o", out, *extra],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    deadline = start + timeout
    while True:
        pid, status, usage = os.wait4(child.pid, os.WNOHANG)
        if pid:
            break
        if time.perf_counter() > deadline:
            os.killpg(child.pid, signal.SIGKILL)
            os.wait4(child.pid, 0)
            return None
        time.sleep(0.02)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("{} failed: {}".format(command, child.stderr.read().decode()[-500:]))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def summary(runs, timeout):
    done = [run for run in runs if run is not None]
    if not done:
        return "stopped after {} s".format(timeout)
    return "{:7.2f} s {:6.2f} s cpu {:6.0f} MB".format(
        statistics.median(r[0] for r in done), statistics.median(r[1] for r in done),
        max(r[2] for r in done) / 1024)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default="demo-bundle/minbar")
    parser.add_argument("--oid", default="10001.HBX")
    parser.add_argument("--baseline", help="another checkout's corvane command")
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    commands = {"corvane": CORVANE}
    if args.baseline:
        commands["baseline"] = args.baseline
    with open("/proc/loadavg") as f:
        print("load average at start: {}".format(" ".join(f.read().split()[:3])))
    print("{:28s}".format("range") + "".join("{:>36s}".format(name) for name in commands))
    for name, extra in ranges(args.root, args.oid).items():
        runs = {key: [] for key in commands}
        for _ in range(args.repeat):
            for key, command in commands.items():
                if runs[key] and runs[key][-1] is None:
                    continue  # it ran past the timeout once: once is enough
                runs[key].append(one_run(command, args.root, args.oid, extra, args.timeout))
        print("{:28s}".format(name) + "".join("{:>36s}".format(summary(runs[key], args.timeout))
                                              for key in commands))


if __name__ == "__main__":
    main()
