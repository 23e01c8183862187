"""Forks beside threaded reads: how many children hang, and what a fork costs.

    .venv/bin/python bench/fork_reads.py [--forks 1000] [--readers 3] [--threads 4]
                                         [--child-wait 5] [--quiet-forks 50]

--readers threads read one file of 400,000 rows again and again through the
engine (a new open each time, its chunks inflated on --threads threads) while
the main thread forks --forks times; each child opens a small file of its own,
reads it and exits. A child still running after --child-wait seconds is
killed and counted as hung. Printed: hung and failed children, and the
median and largest time os.fork() took in the parent, beside the same for
--quiet-forks forks with no reader running.
"""
import argparse
import os
import select
import signal
import statistics
import sys
import tempfile
import threading
import time

import numpy as np

from corvane import _engine


def rows(n):
    out = np.zeros(n, [("datetime", "<i8"), ("value", "<f8")])
    out["datetime"] = np.arange(n)
    out["value"] = out["datetime"] * 0.5
    return out


def write(path, n):
    with _engine.File(path) as h5:
        h5.create_dataset("x", rows(n))
    return path


def exit_status(pid, seconds):
    """The child's exit code, or None when it is killed after `seconds`."""
    handle = os.pidfd_open(pid)
    try:
        ready, _, _ = select.select([handle], [], [], seconds)
    finally:
        os.close(handle)
    if not ready:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return None
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def child(own, expected):
    code = 1
    try:
        with _engine.Reader(own) as reader:
            code = 0 if np.array_equal(reader.read("x", threads=2)["datetime"], expected) else 2
    finally:
        os._exit(code)


def fork_many(own, forks, child_wait):
    """(exit codes, seconds each os.fork() took in the parent)."""
    expected = rows(_engine.Reader(own).length("x"))["datetime"]
    outcomes, costs = [], []
    for _ in range(forks):
        begun = time.perf_counter()
        pid = os.fork()
        if pid == 0:
            child(own, expected)
        costs.append(time.perf_counter() - begun)
        outcomes.append(exit_status(pid, child_wait))
    return outcomes, costs


def read_until(busy, threads, stop, running, reads):
    while not stop.is_set():
        with _engine.Reader(busy) as reader:
            reader.read("x", threads=threads)
        reads.append(1)
        running.set()


def beside_readers(args, busy, own):
    stop, reads, readers, started = threading.Event(), [], [], []
    for _ in range(args.readers):
        running = threading.Event()
        readers.append(threading.Thread(target=read_until, args=(busy, args.threads, stop, running, reads)))
        readers[-1].start()
        started.append(running)
    try:
        for running in started:
            running.wait()
        begun = time.perf_counter()
        outcomes, costs = fork_many(own, args.forks, args.child_wait)
        elapsed = time.perf_counter() - begun
    finally:
        stop.set()
        for reader in readers:
            reader.join()
    return outcomes, costs, len(reads) / elapsed


def line(label, costs):
    return "{}: median {:.2f} ms, largest {:.1f} ms".format(
        label, statistics.median(costs) * 1e3, max(costs) * 1e3)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--forks", type=int, default=1000)
    parser.add_argument("--readers", type=int, default=3)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--child-wait", type=float, default=5.0)
    parser.add_argument("--quiet-forks", type=int, default=50)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        busy = write(os.path.join(tmp, "busy.h5"), 400_000)
        own = write(os.path.join(tmp, "own.h5"), 50_000)
        _, quiet = fork_many(own, args.quiet_forks, args.child_wait)
        outcomes, costs, read_rate = beside_readers(args, busy, own)
    hung = outcomes.count(None)
    failed = sum(1 for code in outcomes if code not in (0, None))
    print("forks beside {} reading threads ({} threads a read): {}".format(args.readers, args.threads, len(outcomes)))
    print("hung children: {}   failed children: {}".format(hung, failed))
    print(line("os.fork() with no reader", quiet))
    print(line("os.fork() beside the readers", costs))
    print("reads finished meanwhile: {:.0f} a second".format(read_rate))
    return 1 if hung or failed else 0


if __name__ == "__main__":
    sys.exit(main())
