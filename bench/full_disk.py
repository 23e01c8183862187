"""Full-disk sweep: updates into a real 1 MiB file system with little room left.

    .venv/bin/python bench/full_disk.py [--rounds 1] [--out DIR]      (as root)

The trials of tests/test_crash.py's full-disk test: a tmpfs of 1 MiB is
mounted, the bundle before the update (the first fill, or an append of the
next trading day, of two minute-bar files and one tick file) is put on it,
the file system is filled until 0 to 480 KiB are left, and the update runs;
then the space is freed and the update runs again.  Prints, per amount of
free space and in all: trials, how many writers crashed (died by a signal),
raised OSError, left every file readable by h5py, and converged after the
space was freed (the files as a run that never failed wrote them, nothing
hidden left).
"""
import argparse
import collections
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import test_crash as crash  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=1,
                        help="sweeps over the free space (21 trials each)")
    parser.add_argument("--out", help="work here (default: a temporary directory)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        parser.error("mounting the small tmpfs needs root")

    root = args.out or tempfile.mkdtemp(prefix="corvane-full-disk-")
    mount = os.path.join(root, "tmpfs")
    os.makedirs(mount, exist_ok=True)
    writer = crash.Writer(os.path.join(root, "writer"))
    os.makedirs(writer.workdir, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount], check=True)
    started = time.time()
    try:
        reference = crash.Reference(writer, os.path.join(root, "reference"))
        trials = []
        for _ in range(args.rounds):
            trials += crash.full_disk_sweep(writer, reference, mount)
    finally:
        writer.close()
        subprocess.run(["umount", "-l", mount], check=False)
    report(trials, time.time() - started)
    bad = [t for t in trials if t["crashed"] or t["died"] or not t["readable"]
           or t["outcome"] != "converged"]
    for t in bad:
        print("trial:", t, file=sys.stderr)
    return 1 if bad else 0


def report(trials, seconds):
    print("full disk: {} trials, {:.0f} s".format(len(trials), seconds))
    header = "{:<14}{:>8}{:>9}{:>8}{:>10}{:>11}"
    print(header.format("free KiB", "trials", "crashed", "raised", "readable", "converged"))
    by_free = collections.defaultdict(list)
    for t in trials:
        by_free[t["free"]].append(t)
    rows = [(str(free // 1024), group) for free, group in sorted(by_free.items())] + [("all", trials)]
    for name, group in rows:
        print(header.format(name, len(group), sum(t["crashed"] for t in group),
                            sum(t["raised"] for t in group), sum(t["readable"] for t in group),
                            sum(t["outcome"] == "converged" for t in group)))


if __name__ == "__main__":
    sys.exit(main())
