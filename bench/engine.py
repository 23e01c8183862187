"""The engine's own measurements, on record samples of the demo market.

    .venv/bin/python bench/engine.py samples                 # (re)build the sample cache
    .venv/bin/python bench/engine.py daily [--days 100] [--years 1,20] [--repeat 3]
    .venv/bin/python bench/engine.py levels [--chunks 64] [--levels 1,...,12] [--repeat 3]
    .venv/bin/python bench/engine.py chunks [--chunks 16,32,64,128,256] [--tail 1,10]

samples  builds bench/out/engine_samples/*.npy with corvane's own Python side
         (run once; the other commands build it when it is missing):
           stock   twenty years of minute bars of the longest-listed stock
           future  minute bars of a futures contract with night sessions
           index   minute bars of a market index
           dates   the per-trading-date index records of the stock file
           ticks   60 trading days of ticks of the stock, one after the other
daily    the engine's daily append alone: a file of --years of stock bars,
         then --days appends of one day, one engine call each (open,
         append_minbar, close); median, mean and 90th percentile of a call,
         best of --repeat runs per statistic (the machine is shared), and
         the cost of the longest file against the shortest.  --engine loads
         another build of corvane._engine (an earlier commit's, say).
levels   which libdeflate level matches zlib level 9: stored bytes and CPU
         time of zlib -9 and of each libdeflate level over every sample cut
         into whole chunks as HDF5 stores them (kFullChunkLevel's choice).
chunks   what each chunk size and tail level costs growing minute-bar files:
         stored size against zlib -9 over 64 KiB chunks, CPU time per MB of a
         fill, of a daily append's chunk work (median / 90th percentile over a
         year of days) and of reading one day back (kChunkTargetBytes's and
         kTailChunkLevel's choice).
Times of levels and chunks are CPU time of the measuring thread, so that
other work on the machine counts less.
"""
import argparse
import concurrent.futures
import ctypes
import ctypes.util
import importlib.util
import os
import statistics
import sys
import tempfile
import threading
import time
import warnings
import zlib

import numpy as np

import filesystem

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "out", "engine_samples")
NAMES = ("stock", "future", "index", "dates", "ticks")
ASOF = "20241231"
INDEX_DTYPE = np.dtype([("date", "<i4"), ("line_no", "<u4")])
YEAR_DAYS = 242
DAY_BARS = {"stock": 240, "future": 345}

# The engine's level for full chunks (kFullChunkLevel in chunk_compression.hpp).
ENGINE_FULL_LEVEL = 10

_lib = ctypes.CDLL(ctypes.util.find_library("deflate") or "libdeflate.so.0")
_lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
_lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
_lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
_lib.libdeflate_free_decompressor.argtypes = [ctypes.c_void_p]
_lib.libdeflate_zlib_compress.restype = ctypes.c_size_t
_lib.libdeflate_zlib_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                          ctypes.c_void_p, ctypes.c_size_t]
_lib.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
_lib.libdeflate_zlib_decompress.restype = ctypes.c_int
_lib.libdeflate_zlib_decompress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                            ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


# --- compression alone (also used by run.py's notes) ---------------------

def chunks_of(records, chunk_bytes):
    """`records` cut into whole chunks as HDF5 stores them, the last one zero-filled."""
    rows = max(1, chunk_bytes // records.dtype.itemsize)
    raw = records.tobytes()
    size = rows * records.dtype.itemsize
    raw += bytes(-len(raw) % size)
    return [raw[at:at + size] for at in range(0, len(raw), size)]


def deflate_alone(chunks, level, threads):
    """(wall seconds, bytes) of libdeflate at `level` over `chunks` on `threads` threads.

    ctypes lets go of the GIL around each call, so the threads compress at
    the same time, as the engine's do.
    """
    local = threading.local()

    def one(chunk):
        if not hasattr(local, "compressor"):
            local.compressor = _lib.libdeflate_alloc_compressor(level)
            local.out = ctypes.create_string_buffer(max(len(c) for c in chunks) + 4096)
        return _lib.libdeflate_zlib_compress(local.compressor, chunk, len(chunk),
                                             local.out, len(local.out))

    started = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        sizes = list(pool.map(one, chunks))
    return time.perf_counter() - started, sum(sizes)


def inflate_alone(streams, raw_bytes, threads):
    """(wall, CPU seconds) of libdeflate inflating the zlib `streams` of chunks of `raw_bytes`
    each, split evenly over `threads` threads as the engine's reader splits them; nothing else."""
    def part(k):
        decompressor = _lib.libdeflate_alloc_decompressor()
        out = ctypes.create_string_buffer(raw_bytes)
        for stream in streams[k::threads]:
            if _lib.libdeflate_zlib_decompress(decompressor, stream, len(stream), out, raw_bytes, None) != 0:
                raise RuntimeError("a chunk's stream does not inflate")
        _lib.libdeflate_free_decompressor(decompressor)

    started, used = time.perf_counter(), time.process_time()
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(part, range(threads)))
    return time.perf_counter() - started, time.process_time() - used


def compress(raw, level, compressors={}):
    """One zlib stream of `raw` at libdeflate `level` (compressors kept per level)."""
    if level not in compressors:
        compressors[level] = _lib.libdeflate_alloc_compressor(level)
    out = ctypes.create_string_buffer(len(raw) + 1024)
    n = _lib.libdeflate_zlib_compress(compressors[level], raw, len(raw), out, len(out))
    if n == 0:
        raise RuntimeError("libdeflate output did not fit")
    return out.raw[:n]


def cpu(job):
    """(result, CPU seconds of this thread) of `job()`."""
    started = time.thread_time()
    result = job()
    return result, time.thread_time() - started


# --- samples --------------------------------------------------------------

def _services(client):
    from corvane import bundle
    from corvane.updater.services import Services
    return Services(client=client, instrument_type=bundle.INSTRUMENT_TYPE,
                    convert_dt_to_int=bundle.convert_dt_to_int,
                    date_to_number=bundle.date_to_number, time_to_number=bundle.time_to_number,
                    ticks_loader=bundle.H5TicksLoader, echo=print,
                    equities_types=bundle.EQUITIES_INS_TYPE)


def build_samples():
    os.environ.setdefault("LUMENFEED_ASOF", ASOF)
    os.environ["LUMENFEED_TICK_DAYS"] = "60"
    import lumenfeed
    from corvane import bundle
    from corvane.updater import minbar
    from corvane.updater import tick
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    services = _services(lumenfeed)
    os.makedirs(SAMPLES, exist_ok=True)

    def bars(order_book_id, dtype):
        return minbar.fetch_bars(services, order_book_id, bundle.MIN_START_DATE,
                                 bundle.MAX_END_DATE, dtype, bundle.INDEX_DTYPE)

    dates, stock = bars("10001.HBX", bundle.EQUITIES_DTYPE)
    _, future = bars("QK2412.QFX", bundle.DERIVATIVES_DTYPE)
    _, index = bars("IX001.HBX", bundle.EQUITIES_DTYPE)
    loader = bundle.H5TicksLoader
    ticks = []
    for day in lumenfeed.get_trading_dates(20240101, ASOF)[-60:]:
        df = lumenfeed.get_price("10001.HBX", day, day, frequency="tick", adjust_type="none")
        if df is not None:
            ticks.append(tick.tick_records(services, "10001.HBX", df, list(loader.COLUMNS),
                                           list(loader.FIELDS), np.dtype(loader.DTYPES)))
    samples = {"stock": stock, "future": future, "index": index, "dates": dates,
               "ticks": np.concatenate(ticks)}
    for name, records in samples.items():
        np.save(os.path.join(SAMPLES, name + ".npy"), records)
    return samples


def load_samples():
    """{name: records}, building the cache first when it is missing."""
    if not all(os.path.exists(os.path.join(SAMPLES, n + ".npy")) for n in NAMES):
        return build_samples()
    return {n: np.load(os.path.join(SAMPLES, n + ".npy")) for n in NAMES}


def days_of(stock, dates):
    """[(index records, bar records)] one per trading date, line_no from 0."""
    lines = list(dates["line_no"]) + [len(stock)]
    out = []
    for i in range(len(dates)):
        index = np.zeros(1, INDEX_DTYPE)
        index["date"] = dates["date"][i]
        out.append((index, stock[lines[i]:lines[i + 1]]))
    return out


def cmd_samples(args):
    for name, records in build_samples().items():
        print("{:7s} {:9d} rows x {:3d} bytes = {:6.1f} MB".format(
            name, len(records), records.dtype.itemsize, records.nbytes / 1e6))


# --- daily ----------------------------------------------------------------

def load_engine(path):
    if not path:
        from corvane import _engine
        return _engine
    spec = importlib.util.spec_from_file_location("_engine", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def fill_then_append(engine, path, base, daily, durable=False):
    """Write the days `base` as one first fill, then append each day of
    `daily` in a call of its own; returns the seconds of each append."""
    index = np.concatenate([d[0] for d in base])
    index["line_no"] = np.concatenate([[0], np.cumsum([len(d[1]) for d in base])[:-1]])
    with engine.File(path) as f:
        f.append_minbar(index, np.concatenate([d[1] for d in base]))
    seconds = []
    for index, bars in daily:
        started = time.perf_counter()
        with engine.File(path, durable) as f:
            f.append_minbar(index, bars)
        seconds.append(time.perf_counter() - started)
    return seconds


def cmd_daily(args):
    engine = load_engine(args.engine)
    samples = load_samples()
    days = days_of(samples["stock"], samples["dates"])
    daily = days[-args.days:]
    medians = {}
    with tempfile.TemporaryDirectory() as folder:
        print("creating and removing a file here: {:.0f} us (see filesystem.py)".format(
            1e6 * filesystem.create_cost(folder)))
        path = os.path.join(folder, "f.h5")
        for years in args.years:
            base = days[-args.days - YEAR_DAYS * years:-args.days]
            runs = []
            for _ in range(args.repeat):
                if os.path.exists(path):
                    os.remove(path)
                runs.append(fill_then_append(engine, path, base, daily, args.durable))
            medians[years] = min(statistics.median(c) for c in runs)
            print("{}: {} appends of one day to a {}-year file{}: median {:.2f} ms, mean {:.2f} "
                  "ms, p90 {:.2f} ms; file {} bytes".format(
                      args.engine or "this build", len(daily), years,
                      " (durable)" if args.durable else "", 1e3 * medians[years],
                      1e3 * min(statistics.mean(c) for c in runs),
                      1e3 * min(float(np.percentile(c, 90)) for c in runs),
                      os.path.getsize(path)), flush=True)
    if len(medians) > 1:
        short, long = min(medians), max(medians)
        print("median of a {}-year file / a {}-year file: {:.2f}x".format(
            long, short, medians[long] / medians[short]))


# --- levels ---------------------------------------------------------------

def zlib9(chunks):
    return cpu(lambda: sum(len(zlib.compress(c, 9)) for c in chunks))


def libdeflate(chunks, level):
    """(bytes, CPU seconds) of `level` over `chunks`, one output buffer for all."""
    compressor = _lib.libdeflate_alloc_compressor(level)
    out = ctypes.create_string_buffer(max(len(c) for c in chunks) + 1024)
    try:
        started = time.thread_time()
        size = 0
        for c in chunks:
            n = _lib.libdeflate_zlib_compress(compressor, c, len(c), out, len(out))
            if n == 0:
                raise RuntimeError("libdeflate output did not fit")
            size += n
        return size, time.thread_time() - started
    finally:
        _lib.libdeflate_free_compressor(compressor)


def median_run(job, repeat):
    runs = [job() for _ in range(repeat)]
    return runs[0][0], statistics.median(r[1] for r in runs)


def cmd_levels(args):
    samples = load_samples()
    for kib in args.chunks:
        print("chunk {} KiB".format(kib))
        for name, records in samples.items():
            if args.cap:
                records = records[-int(args.cap * 1e6 // records.dtype.itemsize):]
            chunks = chunks_of(records, kib * 1024)
            raw = sum(len(c) for c in chunks)
            zsize, ztime = median_run(lambda: zlib9(chunks), args.repeat)
            print("  {:7s} {:5d} chunks, raw {:7.2f} MB; zlib-9: {:9d} B ({:.3f} of raw) "
                  "{:7.1f} ms ({:5.1f} MB/s)".format(name, len(chunks), raw / 1e6, zsize,
                                                     zsize / raw, ztime * 1e3,
                                                     raw / 1e6 / ztime))
            for level in args.levels:
                size, seconds = median_run(lambda: libdeflate(chunks, level), args.repeat)
                print("    libdeflate {:2d}: size {:.4f} of zlib-9, time {:.3f} of zlib-9 "
                      "({:6.1f} MB/s)".format(level, size / zsize, seconds / ztime,
                                               raw / 1e6 / seconds))


# --- chunks ---------------------------------------------------------------

def fill_cost(records, chunk_bytes):
    """(stored bytes, CPU seconds per raw MB) of a first fill at the full level."""
    chunks = chunks_of(records, chunk_bytes)
    size, seconds = cpu(lambda: sum(len(compress(c, ENGINE_FULL_LEVEL)) for c in chunks))
    return size, seconds / (records.nbytes / 1e6)


def append_costs(records, chunk_rows, day, tail_level, days):
    """CPU seconds of each daily append's chunk work over the last `days` days."""
    itemsize = records.dtype.itemsize
    raw = records.tobytes()
    costs = []
    tail = None  # stored stream of the partly filled last chunk
    for n in range(len(records) - days * day, len(records), day):
        def job():
            end = min(n + day, len(records))
            work = []
            if tail is not None:
                zlib.decompress(tail)  # read back through the deflate filter
            for c in range(n // chunk_rows, (end - 1) // chunk_rows + 1):
                chunk = raw[c * chunk_rows * itemsize:min((c + 1) * chunk_rows, end) * itemsize]
                full = (c + 1) * chunk_rows <= end
                chunk += bytes(chunk_rows * itemsize - len(chunk))
                work.append(compress(chunk, ENGINE_FULL_LEVEL if full else tail_level))
            return work[-1] if end % chunk_rows else None
        tail, seconds = cpu(job)
        costs.append(seconds)
    return costs


def read_costs(records, chunk_rows, day, days):
    """CPU seconds of inflating the chunks that hold each of the last `days` days."""
    itemsize = records.dtype.itemsize
    streams = [zlib.compress(c, 9) for c in chunks_of(records, chunk_rows * itemsize)]
    costs = []
    for n in range(len(records) - days * day, len(records) - day, day):
        first, last = n // chunk_rows, (n + day - 1) // chunk_rows
        _, seconds = cpu(lambda: [zlib.decompress(streams[c]) for c in range(first, last + 1)])
        costs.append(seconds)
    return costs


def cmd_chunks(args):
    samples = load_samples()
    for name in ("stock", "future"):
        records = samples[name]
        capped = records[-int(args.cap * 1e6 // records.dtype.itemsize):]
        reference = sum(len(zlib.compress(c, 9)) for c in chunks_of(capped, 65536))
        day = DAY_BARS[name]
        days = min(args.days, len(records) // day - 1)
        print("{}: {} bars a day, {:.1f} MB for size/fill, {} days of appends".format(
            name, day, capped.nbytes / 1e6, days))
        for kib in args.chunks:
            chunk_rows = kib * 1024 // records.dtype.itemsize
            size, per_mb = fill_cost(capped, chunk_rows * records.dtype.itemsize)
            read = read_costs(records, chunk_rows, day, days)
            line = "  {:3d} KiB ({:4d} rows): size {:.4f}, fill {:.3f} s/MB, read day {:.2f} ms" \
                .format(kib, chunk_rows, size / reference, per_mb, 1e3 * statistics.median(read))
            for level in args.tail:
                costs = append_costs(records, chunk_rows, day, level, days)
                line += ", append@{} {:.2f}/{:.2f} ms".format(
                    level, 1e3 * statistics.median(costs), 1e3 * float(np.percentile(costs, 90)))
            print(line, flush=True)


# --- command line -----------------------------------------------------------

def numbers(text):
    return [int(x) for x in text.split(",") if x.strip()]


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("samples", help="(re)build the record samples")
    daily = commands.add_parser("daily", help="one-day appends, one engine call each")
    daily.add_argument("--days", type=int, default=100)
    daily.add_argument("--years", type=numbers, default=[1, 20],
                       help="years of bars in the file before the appends (default 1,20)")
    daily.add_argument("--repeat", type=int, default=3)
    daily.add_argument("--durable", action="store_true", help="open the files durable")
    daily.add_argument("--engine", default="", help="path of another _engine module")
    levels = commands.add_parser("levels", help="libdeflate levels against zlib -9")
    levels.add_argument("--chunks", type=numbers, default=[64], help="chunk sizes in KiB")
    levels.add_argument("--repeat", type=int, default=3)
    levels.add_argument("--levels", type=numbers, default=list(range(1, 13)))
    levels.add_argument("--cap", type=float, default=0,
                        help="use at most this many MB of each sample (its last rows; 0: all)")
    chunks = commands.add_parser("chunks", help="chunk sizes and tail levels")
    chunks.add_argument("--chunks", type=numbers, default=[16, 32, 64, 128, 256])
    chunks.add_argument("--tail", type=numbers, default=[1, 10])
    chunks.add_argument("--cap", type=float, default=12.0,
                        help="MB of each sample for the size and fill figures (its last rows)")
    chunks.add_argument("--days", type=int, default=YEAR_DAYS)
    return parser.parse_args(argv)


COMMANDS = {"samples": cmd_samples, "daily": cmd_daily, "levels": cmd_levels,
            "chunks": cmd_chunks}


def main(argv):
    args = parse_args(argv)
    COMMANDS[args.command](args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
