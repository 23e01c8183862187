"""What history costs on disk: the superseded segments of a revision day, the manifest of a version.

    .venv/bin/python bench/history_growth.py [--files 1000] [--days 60] [--revised 1]
                                             [--revision-days 3] [--manifest-files 20000] [--dir DIR]

A minute-bar root of --files one-stock files (240 bars a day, `bench/read.py`'s
random walk) is filled with --days trading days less --revision-days and
committed as a version.  Then each revision day appends one new day to
every file and revises its last --revised stored days (their closes moved a
cent), as a nightly `update-minbar --revisit N` run that finds every file
corrected does: the engine's `revise_minbar` moves the cut tail whole to
the file's next segment under `.corvane/superseded/`, and a version naming
every file is committed with `commits.commit`, as a run commits it.  Printed
for each revision day: the bytes the segments grew by and the manifest's
bytes; then a segment's median size and a manifest entry's median bytes.

A manifest is one JSON line per changed file, so its size is linear in the
files a run changed: --manifest-files entries (the measured ones over again,
under other names) are committed in a root of their own, without their
files (a commit only reads the files it is not handed an entry of), and its
manifest measured.  The segments of a revision day are one per revised file,
each its own small HDF5 file: their bytes at more files are the measured
median times the files (pass --files 20000 to measure it whole).
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from read import stock_records, trading_days  # noqa: E402  (the files of bench/read.py)

from corvane import _engine  # noqa: E402
from corvane.history import commits, states  # noqa: E402
from corvane.history import layout as history  # noqa: E402
from corvane.updater import revisit  # noqa: E402


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--days", type=int, default=60, help="trading days of each file at the end")
    parser.add_argument("--revised", type=int, default=1, help="stored days revised in each file a revision day")
    parser.add_argument("--revision-days", type=int, default=3)
    parser.add_argument("--manifest-files", type=int, default=20000)
    parser.add_argument("--dir", help="work directory (default: a temporary one, removed after)")
    return parser.parse_args(argv)


def tree_bytes(top):
    """(bytes, files) of every file under `top`."""
    total = count = 0
    for directory, _, names in os.walk(top):
        for name in names:
            total += os.path.getsize(os.path.join(directory, name))
            count += 1
    return total, count


def fill(root, names, records, stored):
    """Every file with its first `stored` days, committed as the root's first version."""
    directory = os.path.join(root, "equities")
    os.makedirs(directory, exist_ok=True)
    for name in names:
        index, data = records[name]
        part = index[:stored]
        with _engine.File(os.path.join(directory, name + ".h5")) as h5:
            h5.append_minbar(part, data[:int(index["line_no"][stored]) if stored < len(index) else len(data)])
    return commits.commit(root, "minbar", {"command": "bench", "words": [], "counts": {}}, {})


def revision_day(root, names, records, day, revised):
    """Append day `day` to every file and revise its last `revised` stored days; the version committed."""
    entries = {}
    for name in names:
        index, data = records[name]
        h5_file = os.path.join(root, "equities", name + ".h5")
        low = day - revised
        rows = [int(row) for row in index["line_no"]] + [len(data)]
        part = index[low:day + 1].copy()
        part["line_no"] -= part["line_no"][0]
        bars = data[rows[low]:rows[day + 1]].copy()
        cut = rows[day] - rows[low]
        bars["close"][:cut] += 0.01      # a vendor's correction of the revised days
        with _engine.File(h5_file) as h5:
            h5.revise_minbar(int(part["date"][0]), part, bars, revisit.side_store(root, h5_file))
        entry = states.file_state(root, h5_file, "minbar")
        entry["revised"] = [str(date) for date in index["date"][low:day]]
        entries[entry["file"]] = entry
    return commits.commit(root, "minbar", {"command": "bench", "words": ["all"], "counts": {}}, entries), entries


def manifest_of_many(root, entries, count):
    """The bytes of a manifest naming `count` files, their entries the measured ones under other names."""
    os.makedirs(history.versions_dir(root), exist_ok=True)
    commits.commit(root, "minbar", {"command": "bench"}, {})
    shapes = list(entries.values())
    many = {}
    for number in range(count):
        file = "equities/{:06d}.BNX.h5".format(number)
        many[file] = dict(shapes[number % len(shapes)], file=file)
    version_id = commits.commit(root, "minbar", {"command": "bench", "words": ["all"], "counts": {}}, many)
    return os.path.getsize(history.manifest_path(root, version_id))


def main(argv=None):
    args = parse_args(argv)
    work = args.dir or tempfile.mkdtemp(prefix="corvane-growth-")
    root = os.path.join(work, "minbar")
    shutil.rmtree(root, ignore_errors=True)
    days = trading_days(args.days)
    names = ["{:05d}.BNX".format(n) for n in range(args.files)]
    records = {name: stock_records(days, seed) for seed, name in enumerate(names)}
    stored = args.days - args.revision_days
    started = time.perf_counter()
    first = fill(root, names, records, stored)
    print("{:,} files of {} days filled in {:.1f} s, the first version's manifest {:,} bytes (nothing revised); "
          "{} day(s) revised a revision day".format(args.files, stored, time.perf_counter() - started,
                                                     os.path.getsize(history.manifest_path(root, first)), args.revised))
    entries = {}
    for day in range(stored, args.days):
        before, _ = tree_bytes(history.superseded_root(root))
        version_id, entries = revision_day(root, names, records, day, args.revised)
        after, segments = tree_bytes(history.superseded_root(root))
        print("revision day {}: segments +{:,} bytes ({:,} files under superseded/), manifest {:,} bytes".format(
            days[day], after - before, segments, os.path.getsize(history.manifest_path(root, version_id))))
    sizes = [os.path.getsize(path) for name in names
             for _, path in history.segments(root, "equities/{}.h5".format(name))]
    lines = [len(commits.manifest_text({}, [entry])) - len(commits.manifest_text({}, [])) for entry in entries.values()]
    print("a segment: median {:,} bytes ({} revised day(s) of 240 bars); a manifest entry: median {} bytes".format(
        int(statistics.median(sizes)), args.revised, int(statistics.median(lines))))
    print("a revision day at {:,} files: {:,} bytes of segments (the median segment times the files)".format(
        args.manifest_files, int(statistics.median(sizes)) * args.manifest_files))
    print("a version naming {:,} files: manifest {:,} bytes".format(
        args.manifest_files, manifest_of_many(os.path.join(work, "many"), entries, args.manifest_files)))
    history_bytes, _ = tree_bytes(history.history_dir(root))
    print("under .corvane/ at the end: {:,} bytes".format(history_bytes))
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
