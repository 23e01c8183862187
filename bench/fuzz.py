"""Damaged copies of real bundle files through every way corvane reads them.

    python bench/fuzz.py [--cases N] [--seed S] [--families a,b] [--timeout S]

Each case copies a small bundle written by the engine (a stock's and a
future's minute bars, one instrument's ticks), damages one of its files with
one family of mutation (bit flips, a run of bytes, truncation, or one of the
targeted lies told with h5py below), then reads it in a forked child, under a
timeout and a memory bound: read.bars or read.ticks, read.index,
read.listing, `inspect` (the bundle, the file, a day), verify --data, export,
and an append by the engine. Outcomes, the worst over those calls:

    same        every read gave the original's data (or nothing was read)
    error       a read failed with one of corvane's errors (the file marked damaged)
    unclassed   an exception that is not one of corvane's classes (a traceback)
    different   rows unlike the original's and no error
    leak        HDF5 found identifiers left open at exit ("infinite loop closing library")
    memory      more memory than the bound, or MemoryError
    crash       the child died of a signal
    sanitizer   AddressSanitizer or UBSan reported
    hang        the timeout passed

The first two are good; the run exits 1 when any case is bad. Counts are
printed by family and outcome. Mutations are seeded: a case is repeated
with the same --seed and its number (--only K).
"""
import argparse
import collections
import ctypes
import io
import os
import random
import resource
import select
import shutil
import signal
import sys
import tempfile
import time
import traceback

import numpy as np

GOOD = ("same", "error")
BAD = ("unclassed", "different", "leak", "memory", "crash", "sanitizer", "hang")
OUTCOMES = GOOD + BAD
# Worst first: a case's outcome is the worst of its calls'.
SEVERITY = {name: rank for rank, name in enumerate(("same", "error", "unclassed", "different", "leak", "memory",
                                                    "crash", "sanitizer", "hang"))}
MEMORY_BOUND = 768 << 20   # bytes of resident memory a case may add to its parent's
DAYS = [20250102, 20250103, 20250106]
BARS_PER_DAY = 3000        # a few chunks of "data" per file
TICK_DAYS = ["20250102", "20250103", "20250106"]
TICKS_PER_DAY = 2500


# ---------------------------------------------------------------- the bundle

def bars(dtype, days=DAYS, per_day=BARS_PER_DAY):
    from corvane import formats

    data = np.zeros(len(days) * per_day, dtype=dtype)
    minutes = np.arange(per_day)
    data["datetime"] = np.concatenate([day * 1000000 + 90000 + (minutes // 60 % 15) * 10000 + minutes % 60 * 100
                                       for day in days])
    close = 10.0 + 0.01 * np.arange(len(data))
    data["open"], data["close"] = close - 0.005, close
    data["high"], data["low"] = close + 0.01, close - 0.01
    data["volume"], data["total_turnover"] = 100.0, 100.0 * close
    index = np.zeros(len(days), dtype=formats.INDEX_DTYPE)
    index["date"] = days
    index["line_no"] = np.arange(len(days)) * per_day
    return index, data


def ticks(day, dtype, count=TICKS_PER_DAY):
    records = np.zeros(count, dtype=dtype)
    records["date"] = int(day)
    records["time"] = 93000000 + 1000 * np.arange(count)
    last = 200000 + np.arange(count) % 97
    for name in ("last", "high", "low", "a1", "b1"):
        records[name] = last
    records["volume"] = np.arange(1, count + 1) * 10
    return records


def make_bundle(root):
    """{name: file} of a minute-bar root and a tick directory under `root`."""
    from corvane import _engine, formats
    from corvane import layout

    layouts = layout.layouts()
    made = {
        "stock": os.path.join(root, "minbar", "equities", "ST1.h5"),
        "future": os.path.join(root, "minbar", "future", "FU1.h5"),
        "ticks": os.path.join(root, "tick", "ST1.h5"),
    }
    for name, dtype in (("stock", formats.EQUITIES_DTYPE), ("future", formats.DERIVATIVES_DTYPE)):
        os.makedirs(os.path.dirname(made[name]), exist_ok=True)
        with _engine.File(made[name]) as h5:
            h5.append_minbar(*bars(dtype))
    os.makedirs(os.path.dirname(made["ticks"]), exist_ok=True)
    with _engine.File(made["ticks"]) as h5:
        for day in TICK_DAYS:
            h5.write_day(day, ticks(day, layouts.ticks))
    return made


# ---------------------------------------------------------------- blind damage

def bit_flips(rng, path):
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        for _ in range(rng.choice((1, 1, 2, 4, 16))):
            at = rng.randrange(size)
            f.seek(at)
            byte = f.read(1)[0]
            f.seek(at)
            f.write(bytes([byte ^ (1 << rng.randrange(8))]))


def byte_run(rng, path):
    size = os.path.getsize(path)
    length = rng.choice((2, 8, 64, 512, 4096))
    at = rng.randrange(size)
    fill = rng.choice((b"\x00", b"\xff", None))
    data = fill * length if fill else bytes(rng.randrange(256) for _ in range(length))
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(data[:max(0, size - at)])


def truncation(rng, path):
    size = os.path.getsize(path)
    os.truncate(path, rng.choice((rng.randrange(size), size - rng.randrange(1, 4096), size // 2)))


# ---------------------------------------------------------------- targeted lies

def _h5(path):
    import h5py

    return h5py.File(path, "r+")


def _chunk(dataset, k=0):
    return dataset.id.read_direct_chunk((k * dataset.chunks[0],))


def _rewrite_chunk(path, member, k, make):
    """Replaces chunk `k` of `member` by make(raw chunk bytes, stored stream) -> (stream, filter mask)."""
    import zlib

    with _h5(path) as h5:
        dataset = h5[member]
        mask, stream = _chunk(dataset, k)
        raw = zlib.decompress(stream)
        new, new_mask = make(raw, stream)
        dataset.id.write_direct_chunk((k * dataset.chunks[0],), new, new_mask)


def _first_dataset(path, rng):
    import h5py

    with h5py.File(path, "r") as h5:
        names = sorted(h5)
        data = [n for n in names if n == "data"] or [n for n in names if n != "index"]
        return data[0] if rng.random() < 0.8 else rng.choice(names)


def short_stream(rng, path):
    """A chunk whose stream inflates to less than a chunk."""
    import zlib

    cut = rng.choice((16, 1000, 30000))
    _rewrite_chunk(path, _first_dataset(path, rng), 0, lambda raw, s: (zlib.compress(raw[:-cut], 9), 0))


def long_stream(rng, path):
    """A chunk whose stream inflates to more than a chunk."""
    import zlib

    _rewrite_chunk(path, _first_dataset(path, rng), 0, lambda raw, s: (zlib.compress(raw + raw[:4096], 9), 0))


def deflate_skipped(rng, path):
    """The filter mask says deflate was skipped: the stream (or a short raw chunk) stands as the chunk."""
    choice = rng.randrange(3)
    _rewrite_chunk(path, _first_dataset(path, rng), 0,
                   lambda raw, s: (s if choice == 0 else raw[:len(raw) // 2] if choice == 1 else raw, 1))


def bomb(rng, path):
    """A stream that inflates to far more than a chunk: 64 MiB of zeros."""
    import zlib

    blob = zlib.compress(bytes(64 << 20), 9)
    _rewrite_chunk(path, _first_dataset(path, rng), 0, lambda raw, s: (blob, 0))


def bad_checksum(rng, path):
    """A chunk whose zlib checksum does not match its bytes."""
    def lie(raw, stream):
        stream = bytearray(stream)
        stream[-1] ^= 0x55
        return bytes(stream), 0
    _rewrite_chunk(path, _first_dataset(path, rng), 0, lie)


def missing_chunk(rng, path):
    """The dataset grows past its last stored chunk: rows it does not store."""
    with _h5(path) as h5:
        name = "data" if "data" in h5 else sorted(h5)[0]
        dataset = h5[name]
        # Grows by data's own means but writes nothing: HDF5 would fill.
        dataset.id.set_extent((dataset.shape[0] + dataset.chunks[0] * rng.choice((1, 3)),))
        if "index" in h5 and name == "data" and rng.random() < 0.5:
            index = h5["index"][()]
            index["line_no"][-1] = dataset.shape[0] - 10
            h5["index"][...] = index


def _retype(path, member, retyped):
    """Rewrites `member` with the record type `retyped(dtype)`, the values converted as numpy does."""
    with _h5(path) as h5:
        records = h5[member][()]
        chunks = h5[member].chunks
        del h5[member]
        new = np.zeros(len(records), dtype=retyped(records.dtype))
        for name in records.dtype.names:
            if name in new.dtype.names:
                new[name] = records[name]
        h5.create_dataset(member, data=new, chunks=chunks, maxshape=(None,), compression="gzip")


def lost_precision(rng, path):
    """`volume` (or another member) stored in fewer bits, or float64 `datetime`, or swapped names."""
    def retyped(dtype):
        descr = [(name, dtype[name].str) for name in dtype.names]
        kind = rng.randrange(4)
        if kind == 0:
            return np.dtype([(n, "<f8" if n == "datetime" else t) for n, t in descr])
        if kind == 1:
            return np.dtype([(n, "<i4" if t in ("<i8", "<u8") else t) for n, t in descr])
        if kind == 2:
            return np.dtype([(n, ">" + t[1:] if t[0] == "<" else t) for n, t in descr])
        names = [n for n, _ in descr]
        names[0], names[1] = names[1], names[0]
        return np.dtype([(n, t) for n, (_, t) in zip(names, descr)])
    _retype(path, _first_dataset(path, rng), retyped)


def day_renamed(rng, path):
    """A tick day moved to another day's name, or to a name that is no date."""
    import h5py

    with h5py.File(path, "r+") as h5:
        days = [name for name in h5 if name.isdigit()]
        if not days:
            return bit_flips(rng, path)
        old = rng.choice(days)
        new = rng.choice((str(int(old) + 1), old[:-1] + "x", "20251399"))
        if new in h5:
            del h5[new]
        h5.move(old, new)


def index_lies(rng, path):
    """The index's dates swapped or repeated, or its first line_no past 0, or past data's rows."""
    import h5py

    with h5py.File(path, "r+") as h5:
        if "index" not in h5:
            return day_renamed(rng, path)
        index = h5["index"][()]
        lie = rng.randrange(5)
        if lie == 0:
            index["date"][[0, 1]] = index["date"][[1, 0]]
        elif lie == 1:
            index["date"][1] = index["date"][0]
        elif lie == 2:
            index["line_no"][0] = 5
        elif lie == 3:
            index["line_no"][-1] = len(h5["data"]) + 7
        else:
            index["line_no"][[1, 2]] = index["line_no"][[2, 1]]
        h5["index"][...] = index


def unchunked_huge(rng, path):
    """`data` unchunked, declaring far more rows than the file holds."""
    import h5py

    with h5py.File(path, "r+") as h5:
        name = "data" if "data" in h5 else sorted(h5)[0]
        records = h5[name][()]
        del h5[name]
        h5.create_dataset(name, data=records)
    # The dataspace message is patched in place: its current size is the row count, little-endian.
    blob = bytearray(open(path, "rb").read())
    rows = len(records).to_bytes(8, "little")
    at = blob.find(rows)
    while at >= 0 and blob[at + 8:at + 16] != rows:
        at = blob.find(rows, at + 1)
    if at >= 0:
        blob[at:at + 8] = blob[at + 8:at + 16] = (1 << 26).to_bytes(8, "little")
        open(path, "wb").write(bytes(blob))


def foreign_names(rng, path):
    """A member whose name is not UTF-8."""
    import h5py

    with h5py.File(path, "r+") as h5:
        name = sorted(h5)[0]
        h5.move(name, "tmp_" + name)
    blob = bytearray(open(path, "rb").read())
    at = blob.find(("tmp_" + name).encode())
    if at >= 0:
        blob[at:at + 4] = b"\xff\xfe\xc3\x28"
        open(path, "wb").write(bytes(blob))


def mixed_tick_types(rng, path):
    """A tick day whose records have another type than the other days'."""
    import h5py

    with h5py.File(path, "r+") as h5:
        days = [name for name in h5 if name.isdigit()]
        if not days:
            return lost_precision(rng, path)
    _retype(path, rng.choice(days),
            lambda dtype: np.dtype([(n, "<i8" if dtype[n].kind == "i" else dtype[n].str) for n in dtype.names]))


BLIND = {"bit_flips": bit_flips, "byte_run": byte_run, "truncation": truncation}
LIES = {"short_stream": short_stream, "long_stream": long_stream, "deflate_skipped": deflate_skipped,
        "bomb": bomb, "bad_checksum": bad_checksum, "missing_chunk": missing_chunk,
        "lost_precision": lost_precision, "day_renamed": day_renamed, "index_lies": index_lies,
        "unchunked_huge": unchunked_huge, "foreign_names": foreign_names, "mixed_tick_types": mixed_tick_types}
FAMILIES = {**BLIND, **LIES}


# ---------------------------------------------------------------- reading it every way

def _clean_error(error):
    from corvane import errors
    from corvane import layout

    return isinstance(error, (errors.FileError, errors.IoError, layout.BundleError, Reported))


def _same(a, b):
    import pandas as pd

    if hasattr(a, "schema"):  # an Arrow table, its metadata (what it covers) included
        return hasattr(b, "schema") and a.equals(b, check_metadata=True)
    if a is None or b is None:
        return a is b
    try:
        pd.testing.assert_frame_equal(a, b, check_dtype=False)
        return True
    except AssertionError:
        return False


def _reads(root, name):
    """(label, call, original comparable) of every reading call of the damaged file's instrument."""
    from corvane import read

    minbar, tick = os.path.join(root, "minbar"), os.path.join(root, "tick")
    ident = {"stock": "ST1", "future": "FU1", "ticks": "ST1"}[name]
    where = tick if name == "ticks" else minbar
    if name == "ticks":
        reads = [("read", lambda: read.ticks(where, ident)), ("arrow", lambda: read.ticks(where, ident, to="arrow"))]
    else:
        # The longer bars are gathered by the engine's own fold as it inflates, apart from the plain read.
        reads = [("read", lambda: read.bars(where, ident)), ("arrow", lambda: read.bars(where, ident, to="arrow")),
                 ("5min", lambda: read.bars(where, ident, freq="5min")),
                 ("1D", lambda: read.bars(where, ident, freq="1D")),
                 ("iter", lambda: _joined(read.iter_bars(where, [ident], freq="60min", batch_days=2))),
                 ("coverage", lambda: _coverage(read.coverage(where), ident))]
    return reads + [("index", lambda: read.index(where, ident)), ("listing", lambda: read.listing(where))]


class Reported(Exception):
    """The instrument's row of `read.coverage` names why its file cannot be read."""


def _coverage(table, ident):
    error = table.loc[table["order_book_id"] == ident, "error"]
    if len(error) and error.iloc[0]:
        raise Reported(error.iloc[0])
    return table


def _joined(batches):
    import pandas as pd

    tables = [table for _, table in batches]
    return pd.concat(tables) if tables else None


def _commands(root, name, out):
    ident = {"stock": "ST1", "future": "FU1", "ticks": "ST1"}[name]
    where = os.path.join(root, "tick" if name == "ticks" else "minbar")
    day = str(DAYS[1])
    return [("inspect", ["inspect", where]), ("inspect-file", ["inspect", where, ident]),
            ("inspect-day", ["inspect", where, ident, "--day", day]),
            ("verify", ["verify", where, "--data"]), ("status", ["status", where]),
            ("export", ["export", where, ident, "-o", os.path.join(out, "out.csv")])]


def _update(path, name):
    from corvane import _engine, formats
    from corvane import layout

    with _engine.File(path) as h5:
        if name == "ticks":
            h5.write_day("20250107", ticks("20250107", layout.layouts().ticks))
        else:
            dtype = formats.EQUITIES_DTYPE if name == "stock" else formats.DERIVATIVES_DTYPE
            h5.append_minbar(*bars(dtype, days=[20250107], per_day=50))


def outcome_of_call(call, original, clean=()):
    try:
        got = call()
    except MemoryError:
        return "memory", "MemoryError"
    except Exception as error:  # noqa: BLE001 (each class is judged below)
        if _clean_error(error) or isinstance(error, clean):
            return "error", "{}: {}".format(type(error).__name__, error)
        return "unclassed", "".join(traceback.format_exception_only(type(error), error)).strip()
    if original is not None and not _same(got, original):
        return "different", "rows unlike the original's"
    return "same", ""


def outcome_of_command(args):
    from click.testing import CliRunner

    from corvane.cli import main

    result = CliRunner().invoke(main, args)
    if isinstance(result.exception, MemoryError):
        return "memory", "MemoryError"
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        return "unclassed", "".join(traceback.format_exception_only(type(result.exception), result.exception)).strip()
    if "Traceback" in result.output:
        return "unclassed", result.output.strip().splitlines()[-1]
    return ("same" if result.exit_code == 0 else "error"), result.output.strip().splitlines()[-1:] or ""


def check_case(root, name, originals):
    """[(call, outcome, detail)] of every reading call of the damaged copy at `root`."""
    results = []
    for label, call in _reads(root, name):
        results.append((label,) + outcome_of_call(call, originals.get(label)))
    for label, args in _commands(root, name, root):
        outcome, detail = outcome_of_command(args)
        if label == "verify" and outcome == "error":
            outcome = "same"  # findings are verify's purpose
        results.append((label, outcome, detail))
    path = os.path.join(root, *{"stock": ("minbar", "equities", "ST1.h5"), "future": ("minbar", "future", "FU1.h5"),
                                "ticks": ("tick", "ST1.h5")}[name])
    # The engine's own refusals (a layout it does not take, a member missing) end an update cleanly.
    results.append(("update",) + outcome_of_call(lambda: _update(path, name), None,
                                                 (KeyError, TypeError, ValueError, OverflowError)))
    return results


def originals_of(root):
    """{name: {call: the original's result}} of the sound bundle at `root`."""
    return {name: {label: call() for label, call in _reads(root, name) if label != "listing"}
            for name in ("stock", "future", "ticks")}


# ---------------------------------------------------------------- one case in a child

def _limit_memory():
    if "asan" in os.environ.get("LD_PRELOAD", "") or os.environ.get("ASAN_OPTIONS"):
        return  # the sanitizer's shadow memory would not fit a limit; its own bound applies
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        virtual = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (virtual + 2 * MEMORY_BOUND, hard))


def run_case(work, case, family, name, originals, timeout):
    """(outcome, detail) of one damaged copy, read in a forked child."""
    import pickle

    read_end, write_end = os.pipe()
    log = os.path.join(work, "child.log")
    parent_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the child: reads, reports, leaves without cleanup
        os.close(read_end)
        fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        os.dup2(fd, 2)
        _limit_memory()
        try:
            results = check_case(case, name, originals[name])
            payload = pickle.dumps(results)
        except BaseException as error:  # noqa: BLE001
            payload = pickle.dumps([("harness", "unclassed", repr(error))])
        os.write(write_end, payload)
        os.close(write_end)
        # The C library's exit, without Python's: HDF5 closes what is left open, and says so.
        ctypes.CDLL(None).exit(0)
    os.close(write_end)
    chunks, deadline = [], time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        ready, _, _ = select.select([read_end], [], [], max(0, left))
        if not ready:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(read_end)
            return "hang", "no answer in {} s".format(timeout)
        chunk = os.read(read_end, 1 << 16)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    _, status, usage = os.wait4(pid, 0)
    with open(log, errors="replace") as f:
        stderr = f.read()
    # Allocations past the sanitizer's bound are memory, not memory errors.
    too_much = ("failed to allocate", "out of memory", "allocation-size-too-big", "requested allocation size")
    if any("AddressSanitizer" in line and any(words in line for words in too_much) for line in stderr.splitlines()):
        return "memory", "an allocation past the sanitizer's bound"
    reports = [line for line in stderr.splitlines() if "ERROR: AddressSanitizer" in line or "runtime error:" in line
               or "ERROR: UndefinedBehaviorSanitizer" in line]
    if reports:
        return "sanitizer", reports[0].strip()
    if "infinite loop closing library" in stderr:
        return "leak", "HDF5: infinite loop closing library"
    if os.WIFSIGNALED(status) or (os.WIFEXITED(status) and os.WEXITSTATUS(status) != 0):
        return "crash", "status {:#x}: {}".format(status, stderr.strip().splitlines()[-1:] or "")
    if usage.ru_maxrss * 1024 > parent_rss + MEMORY_BOUND:
        return "memory", "{} MiB resident".format(usage.ru_maxrss >> 10)
    results = pickle.loads(b"".join(chunks))
    worst = max(results, key=lambda r: SEVERITY[r[1]])
    return worst[1], "{}: {}".format(worst[0], worst[2])


def damage(rng, family, original_root, case, name):
    if os.path.exists(case):
        shutil.rmtree(case)
    shutil.copytree(original_root, case)
    path = os.path.join(case, *{"stock": ("minbar", "equities", "ST1.h5"), "future": ("minbar", "future", "FU1.h5"),
                                "ticks": ("tick", "ST1.h5")}[name])
    quiet = io.StringIO()
    stderr, sys.stderr = sys.stderr, quiet
    try:
        FAMILIES[family](rng, path)
    finally:
        sys.stderr = stderr


def fuzz(cases, seed, families=None, timeout=120, only=None, report=print, work=None):
    """{(family, outcome): count} over `cases` damaged copies, and [(case, family, name, outcome, detail)] bad."""
    families = sorted(families or FAMILIES)
    import corvane.cli, corvane.read, corvane.look.verify, corvane.read.facts, click.testing  # noqa: F401,E401  (once, not per child)
    owned = work is None
    work = work or tempfile.mkdtemp(prefix="corvane-fuzz-")
    try:
        original = os.path.join(work, "original")
        make_bundle(original)
        originals = originals_of(original)
        counts, bad = collections.Counter(), []
        for k in range(cases) if only is None else [only]:
            rng = random.Random("{}:{}".format(seed, k))
            family = families[k % len(families)]
            name = rng.choice(("stock", "future", "ticks"))
            case = os.path.join(work, "case")
            try:
                damage(rng, family, original, case, name)
            except Exception as error:  # noqa: BLE001  (a lie the file cannot be told: none told)
                report("case {} {} {}: not damaged ({!r})".format(k, family, name, error))
            outcome, detail = run_case(work, case, family, name, originals, timeout)
            counts[family, outcome] += 1
            if outcome in BAD:
                bad.append((k, family, name, outcome, detail))
                report("case {} {} {}: {} ({})".format(k, family, name, outcome, detail[:300]))
        return counts, bad
    finally:
        if owned:
            shutil.rmtree(work, ignore_errors=True)


def table(counts):
    families = sorted({family for family, _ in counts})
    lines = ["{:<18}".format("family") + "".join("{:>10}".format(o) for o in OUTCOMES)]
    for family in families + ["all"]:
        row = [sum(n for (f, o), n in counts.items() if o == outcome and family in (f, "all"))
               for outcome in OUTCOMES]
        lines.append("{:<18}".format(family) + "".join("{:>10}".format(n) for n in row))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=1200)
    parser.add_argument("--seed", default="corvane")
    parser.add_argument("--families", help="comma-separated: " + ", ".join(sorted(FAMILIES)))
    parser.add_argument("--timeout", type=float, default=120)
    parser.add_argument("--only", type=int, help="run case K alone")
    args = parser.parse_args()
    families = args.families.split(",") if args.families else None
    started = time.monotonic()
    counts, bad = fuzz(args.cases, args.seed, families, args.timeout, args.only)
    print(table(counts))
    print("{} cases, {} bad, {:.0f} s".format(sum(counts.values()), len(bad), time.monotonic() - started))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
