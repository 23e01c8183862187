"""Crash soak: hundreds of writers killed at random moments, each update then run again.

    .venv/bin/python bench/crash_soak.py [--trials 240] [--second-kill 0.2] [--seed N] [--readers N]
                                         [--out DIR]
    .venv/bin/python bench/crash_soak.py --sweep [--quick]

The trials of tests/test_crash.py, by the hundred: the update of one step
(first fills, or appends of the next trading day, of two minute-bar files and
one tick file from the stand-in market) is killed with SIGKILL at a moment
drawn uniformly from the time its files are open, optionally the run that
follows is killed too, then the update runs again without faults and the
files are compared with a run that never crashed.  Prints how many trials
converged, and how many left a file corrupt (h5py cannot read it), stuck (the
rerun fails) or diverged (other records, or a journal or temporary file left).
With --readers, that many h5py readers open every file of the soak over and
over meanwhile, holding every other one for 50 ms, and count their opens,
refused opens and torn reads (an open file HDF5 cannot read whole, or an
index naming bars that are not there).

With --sweep, instead: the crash-point sweep of tests/test_crash_sweep.py
with every action (each counted syscall stopped before and after, each
write torn at a sector boundary, each call failed with EIO and ENOSPC; with
--quick only what the suite runs), and a table of its counts per path,
flush setting and reader mode (and with the directory renamed while the
writer is stopped): calls counted, trials, the version the file ended in,
and the bad outcomes by kind.  Then a root's history: an update run with a
revision, and verify --repair after a killed one, each killed before and
after every counted call (with --quick: each rename and unlink, as the
suite), every version then read back and verify run with --repair.
"""
import argparse
import collections
import multiprocessing
import os
import random
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import crash_lab as lab  # noqa: E402
import test_crash as crash  # noqa: E402

OUTCOMES = ("converged", "corrupt", "stuck", "diverged")


def read_everything(root, stop, out):
    """A reader of every bundle file under `root`, until `stop`."""
    import h5py

    counts = collections.Counter()
    while not stop.is_set():
        paths = [os.path.join(folder, name) for folder, _, names in os.walk(root)
                 for name in names if name.endswith(".h5") and not name.startswith(".")]
        for i, path in enumerate(paths):
            counts["opens"] += 1
            try:
                f = h5py.File(path, "r")
            except FileNotFoundError:
                continue  # a trial's directory went
            except OSError as exc:
                if not os.path.exists(path):
                    continue  # went while HDF5 was opening it
                if "unable to lock file" in str(exc):
                    counts["refused"] += 1
                else:
                    counts["unopenable"] += 1
                    counts["unopenable: {}: {}".format(os.path.basename(path), str(exc)[:120])] += 1
                continue
            try:
                with f:
                    arrays = {name: f[name][:] for name in f}
                    if "index" in arrays and len(arrays["index"]) and (
                            arrays["index"]["line_no"][-1] >= len(arrays.get("data", ()))):
                        counts["torn"] += 1
                    if i % 2:
                        time.sleep(0.05)
            except Exception:  # noqa: BLE001  (whatever HDF5 makes of a half-written file)
                counts["torn"] += 1
    out.put(counts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=240)
    parser.add_argument("--second-kill", type=float, default=0.2,
                        help="share of trials whose recovering run is killed as well")
    parser.add_argument("--seed", type=int, default=crash.SEED)
    parser.add_argument("--readers", type=int, default=0, help="h5py readers of every file meanwhile")
    parser.add_argument("--out", help="keep the trial directories here (default: a temporary one)")
    parser.add_argument("--sweep", action="store_true", help="the crash-point sweep instead, every action")
    parser.add_argument("--quick", action="store_true", help="with --sweep: only the suite's actions")
    args = parser.parse_args()
    if args.sweep:
        return sweep(lab.QUICK if args.quick else lab.FULL, args.quick)

    root = args.out or tempfile.mkdtemp(prefix="corvane-soak-")
    os.makedirs(root, exist_ok=True)
    context = multiprocessing.get_context("fork")
    stop, out = context.Event(), context.Queue()
    readers = [context.Process(target=read_everything, args=(root, stop, out)) for _ in range(args.readers)]
    for reader in readers:
        reader.start()
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
        stop.set()
        seen = collections.Counter()
        for _ in readers:
            seen.update(out.get())
        for reader in readers:
            reader.join()
    report(trials, time.time() - started, root if args.out else None)
    if readers:
        print("{} readers: {} opens, {} refused (unable to lock file), {} failed otherwise, {} torn "
              "reads".format(len(readers), seen["opens"], seen["refused"], seen["unopenable"], seen["torn"]))
        for key in sorted(k for k in seen if k.startswith("unopenable: ")):
            print("  {:>5}  {}".format(seen[key], key))
    if not args.out:
        shutil.rmtree(root, ignore_errors=True)
    return 0 if all(t["outcome"] == "converged" for t in trials) else 1


def sweep(actions, quick=False):
    shim = lab.build_shim()
    started = time.time()
    print("crash-point sweep: " + ", ".join(actions))
    print(lab.HEADER)
    total = collections.Counter()
    for path, durable, mode in lab.cases():
        result = lab.run_case(shim, path, durable, mode, actions)
        print(lab.summary(path, durable, mode, result), flush=True)
        total["trials"] += result["trials"]
        total["bad"] += len(result["bad"])
        for b in result["bad"]:
            print("    call {point} ({call}) {action} {errno}: {kind}: {detail}".format(**b), file=sys.stderr)
    for disturbance in lab.DISTURBANCES:
        for path in lab.MOVABLE:
            result = lab.run_case(shim, path, False, "none", ("stop_before",), disturbance)
            print(lab.summary(path, False, "dir " + disturbance, result), flush=True)
            total["trials"] += result["trials"]
            total["bad"] += len(result["bad"])
            for b in result["bad"]:
                print("    call {point} ({call}): {kind}: {detail}".format(**b), file=sys.stderr)
    # A root's history, killed before and after every counted call (the suite: each rename and unlink).
    for path in lab.HISTORY:
        for durable in (False, True):
            result = lab.run_history_case(shim, path, durable, lab.HISTORY_CALLS if quick else None)
            print(lab.summary(path, durable, "history", result), flush=True)
            total["trials"] += result["trials"]
            total["bad"] += len(result["bad"])
            for b in result["bad"]:
                print("    call {point} ({call}) {action}: {kind}: {detail}".format(**b), file=sys.stderr)
    print("{} trials, {} bad outcomes, {:.0f} s".format(total["trials"], total["bad"], time.time() - started))
    return 1 if total["bad"] else 0


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
