"""Benchmark: corvane against the plain h5py + pandas implementation, in one run.

    .venv/bin/python bench/run.py [--quick] [--repeat N] [--only W1,W2] [--out DIR]
                                  [--profile W1]

Every workload runs once per repeat for each implementation, each time in a
fresh process (so peak memory is the workload's own), baseline and corvane
alternating. The files of the last repeat stay under --out and are compared
dataset by dataset; the table gives medians, speed-ups, file sizes and peaks.
"""
import argparse
import json
import os
import re
import statistics
import shutil
import subprocess
import sys
import time

import engine
import filesystem

HERE = os.path.dirname(os.path.abspath(__file__))
IMPLS = ("baseline", "corvane")
ORDER = ("W1", "W1f", "W2", "W3", "W4", "W5")
TITLES = {
    "W1": "stock first fill",
    "W1f": "futures first fill",
    "W2": "daily update, per file",
    "W3": "tick first fill",
    "W4": "update_minbar, 2 workers",
    "W5": "daily appends, one file",
}
DEFAULT_ASOF = "20241231"   # fixed, so every run sees the same market
MB = 1024.0 * 1024.0


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="small smoke run: 1 year, 20 files, 5 tick days, a few instruments")
    parser.add_argument("--repeat", type=int, default=None,
                        help="runs per workload and implementation (default 3, 1 with --quick)")
    parser.add_argument("--only", default=",".join(ORDER),
                        help="comma-separated workloads (default: %(default)s)")
    parser.add_argument("--out", default=os.path.join(HERE, "out"),
                        help="directory for files, logs and results (default: bench/out)")
    parser.add_argument("--profile", metavar="W", default=None,
                        help="also run corvane on workload W under cProfile and print the profile")
    parser.add_argument("--keep-trash", action="store_true",
                        help="leave the files the runs discarded in OUT/trash, for runs back "
                             "to back: deleting them slows the next run's file creation on "
                             "some file systems (bench/filesystem.py)")
    # Internal: one workload for one implementation, in this fresh process.
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--impl", help=argparse.SUPPRESS)
    parser.add_argument("--workdir", help=argparse.SUPPRESS)
    parser.add_argument("--result", help=argparse.SUPPRESS)
    parser.add_argument("--profile-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.repeat is None:
        args.repeat = 1 if args.quick else 3
    args.only = [w.strip() for w in args.only.split(",") if w.strip()]
    unknown = [w for w in args.only + ([args.profile] if args.profile else []) if w not in ORDER]
    if unknown:
        parser.error("unknown workload(s) {}; choose from {}".format(unknown, ", ".join(ORDER)))
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    return args


def child_main(args):
    sys.path.insert(0, HERE)
    import workloads
    result = workloads.run(args.child, args.impl, args.workdir, args.quick, args.profile_child)
    with open(args.result, "w") as out:
        json.dump(result, out)


# --- running the children -----------------------------------------------

def child_env(quick):
    env = dict(os.environ)
    env.setdefault("LUMENFEED_ASOF", DEFAULT_ASOF)
    env["LUMENFEED_TICK_DAYS"] = "5" if quick else "60"
    return env


def run_child(args, workload, impl, tag, profile=False):
    logs = os.path.join(args.out, "logs")
    os.makedirs(logs, exist_ok=True)
    stem = os.path.join(logs, "{}-{}-{}".format(workload, impl, tag))
    command = [sys.executable, os.path.abspath(__file__), "--child", workload, "--impl", impl,
               "--workdir", os.path.join(args.out, workload, impl), "--result", stem + ".json"]
    if args.quick:
        command.append("--quick")
    if profile:
        command.append("--profile-child")
    if os.path.exists(stem + ".json"):
        os.remove(stem + ".json")
    with open(stem + ".log", "w") as log:
        code = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT,
                               env=child_env(args.quick), cwd=HERE)
    if code != 0 or not os.path.exists(stem + ".json"):
        with open(stem + ".log") as log:
            tail = log.read()[-3000:]
        print("  {} {} failed (exit {}); end of {}.log:\n{}".format(
            workload, impl, code, stem, tail), file=sys.stderr)
        return None
    with open(stem + ".json") as result:
        return json.load(result)


# --- checks -------------------------------------------------------------

def h5_files(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith(".h5"):
                path = os.path.join(folder, name)
                found[os.path.relpath(path, root)] = path
    return found


def tree_size(root):
    return sum(os.path.getsize(p) for p in h5_files(root).values())


def storage_problems(name, dataset):
    """How a corvane dataset departs from the format's storage settings."""
    problems = []
    if dataset.chunks is None:
        problems.append("not chunked")
    if dataset.compression != "gzip" or dataset.compression_opts != 9:
        problems.append("compression {} {}".format(dataset.compression, dataset.compression_opts))
    if dataset.shuffle:
        problems.append("shuffle on")
    if dataset.maxshape != (None,):
        problems.append("maxshape {}".format(dataset.maxshape))
    if len(dataset.attrs):
        problems.append("attributes")
    return ["{}: {}".format(name, p) for p in problems]


def compare_files(base_path, corv_path):
    import h5py
    problems = []
    with h5py.File(base_path, "r") as base, h5py.File(corv_path, "r") as corv:
        if sorted(base) != sorted(corv):
            return ["members {} vs {}".format(sorted(base)[:5], sorted(corv)[:5])]
        for name in base:
            b, c = base[name], corv[name]
            problems += storage_problems(name, c)
            if b.dtype != c.dtype:
                problems.append("{}: type {} vs {}".format(name, b.dtype, c.dtype))
            elif b[...].tobytes() != c[...].tobytes():
                problems.append("{}: records differ ({} vs {} rows)".format(name, len(b), len(c)))
    return problems


def compare_trees(base_root, corv_root):
    base, corv = h5_files(base_root), h5_files(corv_root)
    if not base:
        return ["no baseline files"]
    if set(base) != set(corv):
        return ["files differ: only baseline {}, only corvane {}".format(
            sorted(set(base) - set(corv))[:3], sorted(set(corv) - set(base))[:3])]
    problems = []
    for rel in sorted(base):
        problems += [rel + ": " + p for p in compare_files(base[rel], corv[rel])]
    return problems


def unaccounted(path):
    """(unaccounted bytes, file size) from h5stat -S, or None without h5stat."""
    try:
        text = subprocess.run(["h5stat", "-S", path], capture_output=True, text=True,
                              check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    found = re.search(r"Unaccounted space:\s*(\d+)", text)
    return (int(found.group(1)), os.path.getsize(path)) if found else None


# --- the table ------------------------------------------------------------

def median_of(results, key):
    return statistics.median(r[key] for r in results)


def median_extra(results, key):
    return statistics.median(r["extra"][key] for r in results)


def pooled_calls(results):
    calls = sorted(c for r in results for c in r["calls"])
    return statistics.median(calls), calls[int(round(0.9 * (len(calls) - 1)))]


def seconds_text(value):
    return "{:.1f} ms".format(value * 1e3) if value < 1 else "{:.2f} s".format(value)


def peak_text(results, workload):
    if workload == "W4":
        # The jobs ran in forked workers, whose resident size cannot be split
        # into interpreter and job: the largest worker's whole peak is shown.
        kb = max(r["extra"]["worker_peak_kb"] for r in results)
        return "{:.0f} MB (worker)".format(kb * 1024 / MB)
    kb = max(r["peak_kb"] for r in results)
    raw = results[0]["raw_bytes"]
    return "{:.0f} MB ({:.2f}x)".format(kb * 1024 / MB, kb * 1024.0 / raw if raw else 0)


def summarise(workload, results, check):
    base, corv = results["baseline"], results["corvane"]
    rows = []
    if workload == "W2":
        (bm, b90), (cm, c90) = pooled_calls(base), pooled_calls(corv)
        times = [("median", bm, cm), ("p90", b90, c90)]
    elif workload == "W5":
        times = [("250 appends" if corv[0]["extra"]["appends"] == 250
                  else "{} appends".format(corv[0]["extra"]["appends"]),
                  median_of(base, "seconds"), median_of(corv, "seconds"))]
    else:
        times = [("", median_of(base, "seconds"), median_of(corv, "seconds"))]
    base_size, corv_size = tree_size(base[-1]["files"]), tree_size(corv[-1]["files"])
    for i, (label, b, c) in enumerate(times):
        title = TITLES[workload] + (" " + label if label else "")
        row = [workload, title, seconds_text(b), seconds_text(c), "{:.2f}x".format(b / c)]
        if i == 0:
            row += ["{:.2f} MB".format(base_size / MB), "{:.2f} MB".format(corv_size / MB),
                    "{:.3f}".format(corv_size / base_size if base_size else 0),
                    peak_text(base, workload), peak_text(corv, workload),
                    "OK" if not check else "MISMATCH"]
        else:
            row += [""] * 6
        rows.append(row)
    return rows


HEADER = ["", "workload", "baseline", "corvane", "b/c", "size base", "size corv", "c/b",
          "peak base (x raw)", "peak corv (x raw)", "check"]


def render(rows):
    widths = [max(len(str(r[i])) for r in rows + [HEADER]) for i in range(len(HEADER))]
    lines = []
    for n, row in enumerate([HEADER] + rows):
        cells = [str(c).ljust(w) if i < 2 else str(c).rjust(w)
                 for i, (c, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
        if n == 0:
            lines.append("-" * len(lines[0]))
    return "\n".join(lines)


SPLIT_LABELS = (("get_price", "client get_price"), ("conversions", "framework conversions"),
                ("python", "rest of Python"), ("engine_open", "engine open"),
                ("engine_read", "last date read"), ("engine_append", "append"),
                ("engine_close", "close"))


def split_notes(corv):
    """W2's per-file split: medians of each part over every split update,
    wall clock and CPU time."""
    runs = [r["extra"]["split"] for r in corv if "split" in r["extra"]]
    if not runs:
        return []
    pooled = {key: [s for run in runs for s in run[key]] for key in runs[0]}
    lines = []
    for suffix, clock in (("", "wall clock"), ("_cpu", "CPU time")):
        engine = [sum(parts) for parts in zip(*(pooled[part + suffix] for part, _ in SPLIT_LABELS
                                                 if part.startswith("engine")))]
        # The engine's own share of a daily update: the last date's read
        # is the caller's choice.
        writing = [sum(parts) for parts in zip(*(pooled[part + suffix] for part in
                                                  ("engine_open", "engine_append", "engine_close")))]

        def ms(values):
            return "{:.3f} ms".format(statistics.median(values) * 1e3)
        lines.append("W2 split ({}), corvane, medians over {} updates on files of their own: {}; "
                     "engine open+append+close {}, open+read+append+close {}; whole update {}".format(
                         clock, len(pooled["total"]),
                         ", ".join("{} {}".format(label, ms(pooled[part + suffix]))
                                   for part, label in SPLIT_LABELS),
                         ms(writing), ms(engine), ms(pooled["total" + suffix])))
    return lines


def notes(workload, results):
    base, corv = results["baseline"], results["corvane"]
    out = []
    if workload in ("W1", "W1f"):
        ce, be = corv[-1]["extra"], base[-1]["extra"]
        write = statistics.median(r["extra"]["write_alone"] for r in corv)
        squeeze = statistics.median(r["extra"]["zlib_alone"] for r in corv)
        h5write = statistics.median(r["extra"]["write_alone"] for r in base)
        out.append("{}: {} bars; write step alone: corvane engine {} vs zlib -9 alone over the "
                   "same {}-row chunks {} ({:.2f}x); baseline h5py filter {} ({}-row chunks, "
                   "zlib -9 alone {})".format(
                       workload, ce["bars"], seconds_text(write), ce["chunk_rows"],
                       seconds_text(squeeze), write / squeeze, seconds_text(h5write),
                       be["chunk_rows"], seconds_text(be["zlib_alone"])))
        alone = median_extra(corv, "deflate_alone")
        out.append("{}: engine write {} vs libdeflate level {} alone on {} threads over the "
                   "same chunks {} ({:.2f}x)".format(
                       workload, seconds_text(write), engine.ENGINE_FULL_LEVEL,
                       os.cpu_count(), seconds_text(alone), write / alone))
        if ce.get("note"):
            out.append("{}: {}".format(workload, ce["note"]))
    if workload == "W2":
        out.append("W2: {} files, one day ({} bars) each; totals: baseline {}, corvane {}".format(
            len(corv[-1]["calls"]), corv[-1]["extra"]["day_bars"],
            seconds_text(median_of(base, "seconds")), seconds_text(median_of(corv, "seconds"))))
        out += split_notes(corv)
    if workload == "W3":
        e = corv[-1]["extra"]
        alone = median_extra(corv, "deflate_alone")
        out.append("W3: {} days, {} ticks; libdeflate level {} alone on {} threads over the "
                   "file's chunks takes {}, {:.0%} of corvane's time".format(
                       e["days"], e["ticks"], engine.ENGINE_FULL_LEVEL, os.cpu_count(),
                       seconds_text(alone), alone / median_of(corv, "seconds")))
    if workload == "W4":
        out.append("W4: {} instruments, workers started by {}; peak = the largest worker's "
                   "resident peak, interpreter included".format(
                       corv[-1]["extra"]["instruments"], corv[-1]["extra"]["start_method"]))
    if workload == "W5":
        parts = []
        for impl in IMPLS:
            path = next(iter(h5_files(results[impl][-1]["files"]).values()))
            found = unaccounted(path)
            parts.append("{} {}".format(impl, "h5stat unavailable" if found is None else
                                        "{:.1f}% ({} of {} bytes)".format(
                                            100.0 * found[0] / found[1], found[0], found[1])))
        out.append("W5: unaccounted space after the appends (h5stat -S): " + "; ".join(parts))
    return out


def main(argv):
    args = parse_args(argv)
    if args.child:
        return child_main(args)
    os.makedirs(args.out, exist_ok=True)
    env = child_env(args.quick)
    print("corvane bench: {} run, repeat {}, as-of {}, {} tick days, {} cores, load {:.2f}, "
          "creating and removing a file {:.0f} us (see filesystem.py)".format(
              "quick" if args.quick else "full", args.repeat, env["LUMENFEED_ASOF"],
              env["LUMENFEED_TICK_DAYS"], os.cpu_count(), os.getloadavg()[0],
              1e6 * filesystem.create_cost(os.path.join(args.out, filesystem.TRASH))))
    started = time.time()
    rows, lines, everything = [], [], {}
    for workload in [w for w in ORDER if w in args.only]:
        results = {impl: [] for impl in IMPLS}
        for rep in range(args.repeat):
            # Alternate who goes first, so a change in machine load hits both sides.
            for impl in (IMPLS if rep % 2 == 0 else IMPLS[::-1]):
                result = run_child(args, workload, impl, rep)
                if result is not None:
                    results[impl].append(result)
        everything[workload] = results
        if not results["baseline"] or not results["corvane"]:
            rows.append([workload, TITLES[workload], "failed", "", "", "", "", "", "", "", "-"])
            print("{} failed (logs in {})".format(workload, os.path.join(args.out, "logs")))
            continue
        check = compare_trees(results["baseline"][-1]["files"], results["corvane"][-1]["files"])
        for problem in check[:5]:
            lines.append("{} MISMATCH {}".format(workload, problem))
        rows += summarise(workload, results, check)
        lines += notes(workload, results)
        print("{} done ({:.0f} s so far)".format(workload, time.time() - started), flush=True)

    table = render(rows) + "\n\n" + "\n".join(lines)
    print()
    print(table)
    print("\ntimes are medians over {} run(s); b/c = baseline time / corvane time; sizes are "
          "the files on disk, c/b = corvane / baseline; peak = the process's resident peak "
          "during the job above the bare interpreter, x raw = over the records' bytes"
          .format(args.repeat))
    with open(os.path.join(args.out, "table.txt"), "w") as out:
        out.write(table + "\n")
    with open(os.path.join(args.out, "results.json"), "w") as out:
        json.dump(everything, out, indent=1)

    # What the runs discarded, now that no run is timed.
    if not args.keep_trash:
        shutil.rmtree(os.path.join(args.out, filesystem.TRASH), ignore_errors=True)

    if args.profile:
        result = run_child(args, args.profile, "corvane", "profile", profile=True)
        if result is not None:
            path = os.path.join(args.out, "profile-{}-corvane.txt".format(args.profile))
            with open(path, "w") as out:
                out.write(result["profile"])
            print("\nprofile of corvane on {} (also in {}):\n{}".format(
                args.profile, path, result["profile"]))
    mismatched = any(r[-1] == "MISMATCH" or r[2] == "failed" for r in rows)
    return 1 if mismatched else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
