"""Crash soak: hundreds of writers killed at random moments, each update then run again.

    .venv/bin/python bench/crash_soak.py [--trials 240] [--second-kill 0.2] [--seed N] [--out DIR]

The trials of tests/test_crash.py, by the hundred: the update of one step
(first fills, or appends of the next trading day, of two minute-bar files and
one tick file from the stand-in market) is killed with SIGKILL at a moment
drawn uniformly from the time its files are open, optionally the run that
follows is killed too, then the update runs again without faults and the
files are compared with a run that never crashed.  Prints how many trials
converged, and how many left a file corrupt (h5py cannot read it), stuck (the
rerun fails) or diverged (other records, or a journal or temporary file left).
"""
import argparse
import collections
import os
import random
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import test_crash as crash  # noqa: E402

OUTCOMES = ("converged", "corrupt", "stuck", "diverged")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=240)
    parser.add_argument("--second-kill", type=float, default=0.2,
                        help="share of trials whose recovering run is killed as well")
    parser.add_argument("--seed", type=int, default=crash.SEED)
    parser.add_argument("--out", help="keep the trial directories here (default: a temporary one)")
    args = parser.parse_args()

    root = args.out or tempfile.mkdtemp(prefix="corvane-soak-")
    os.makedirs(root, exist_ok=True)
    writer = crash.Writer(os.path.join(root, "writer"))
    os.makedirs(writer.workdir, exist_ok=True)
    started = time.time()
    try:
        reference = crash.Reference(writer, os.path.join(root, "reference"))
        rng = random.Random(args.seed)
        trials = []
        for i in range(args.trials):
            directory = os.path.join(root, "trial{}".format(i))
            step = i % len(crash.ASOFS)
            trial = crash.crash_trial(writer, reference, step, rng, directory,
                                      second_kill=rng.random() < args.second_kill)
            trials.append(trial)
            if trial["outcome"] == "converged" and not args.out:
                shutil.rmtree(directory)
            else:
                print("trial {}: {}".format(i, trial), file=sys.stderr)
    finally:
        writer.close()
    report(trials, time.time() - started, root if args.out else None)
    if not args.out:
        shutil.rmtree(root, ignore_errors=True)
    return 0 if all(t["outcome"] == "converged" for t in trials) else 1


def report(trials, seconds, kept):
    kills = sum(t["kills"] for t in trials)
    by_step = collections.defaultdict(list)
    for t in trials:
        by_step[t["step"]].append(t)
    print("crash soak: {} trials, {} kills, {:.0f} s".format(len(trials), kills, seconds))
    header = "{:<24}{:>8}{:>8}{:>11}{:>14}" + "{:>11}" * len(OUTCOMES)
    print(header.format("step", "trials", "kills", "mid-write", "unreadable*", *OUTCOMES))
    rows = [("{} {}".format(step, "first fill" if step == 0 else "append " + crash.ASOFS[step]), group)
            for step, group in sorted(by_step.items())] + [("all", trials)]
    for name, group in rows:
        counts = collections.Counter(t["outcome"] for t in group)
        print(header.format(name, len(group), sum(t["kills"] for t in group),
                            sum(t["interrupted"] for t in group),
                            sum(not t["readable_after_kill"] for t in group),
                            *(counts[o] for o in OUTCOMES)))
    print("mid-write: the kill left a journal or a temporary file (a write was under way).")
    print("* unreadable by h5py between the kill and the next update, which rolls it back.")
    if kept:
        print("trial directories kept under", kept)


if __name__ == "__main__":
    sys.exit(main())
