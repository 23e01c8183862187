"""The chunk size and tail level of growing datasets: what each candidate costs.

    .venv/bin/python bench/engine_chunks.py [--chunks 16,32,64,128,256] [--tail 1,10]

For minute bars of a stock and of a futures contract (bench/engine_samples.py),
for every chunk size (KiB) and level of the partly filled last chunk:
  size    stored bytes of the whole sample at the full-chunk level (10),
          against zlib -9 over 64 KiB chunks
  fill    CPU seconds per raw MB to compress the sample at level 10
  append  CPU milliseconds of the compression work of a daily append
          (one day's bars): read the last chunk back, write it again at the
          tail level, and a chunk that fills at level 10; median and 90th
          percentile over a year of days
  read    CPU milliseconds to read one day back (inflating the chunks
          that hold it, as HDF5's filter does); median over the days
CPU time of this thread, so that other work on the machine counts less.
"""
import argparse
import statistics
import time
import zlib

import numpy as np

import engine_levels
import engine_samples

FULL_LEVEL = 10
DAY_BARS = {"stock": 240, "future": 345}


def compress(raw, level, compressors={}):
    if level not in compressors:
        compressors[level] = engine_levels._lib.libdeflate_alloc_compressor(level)
    out = bytearray(len(raw) + 1024)
    buffer = (engine_levels.ctypes.c_char * len(out)).from_buffer(out)
    n = engine_levels._lib.libdeflate_zlib_compress(compressors[level], raw, len(raw),
                                                    buffer, len(out))
    return bytes(out[:n])


def cpu(job):
    started = time.thread_time()
    result = job()
    return result, time.thread_time() - started


def fill(records, chunk_bytes):
    chunks = engine_levels.chunks_of(records, chunk_bytes)
    size, seconds = cpu(lambda: sum(len(compress(c, FULL_LEVEL)) for c in chunks))
    return size, seconds / (records.nbytes / 1e6)


def appends(records, chunk_rows, day, tail_level, days):
    """CPU seconds of each daily append's chunk work, after a year of days."""
    itemsize = records.dtype.itemsize
    raw = records.tobytes()
    start = len(records) - days * day
    costs = []
    tail = None  # stored stream of the partly filled last chunk
    for n in range(start, len(records), day):
        def job():
            first_chunk = n // chunk_rows
            end = min(n + day, len(records))
            work = []
            if tail is not None:
                zlib.decompress(tail)  # read back through the deflate filter
            for c in range(first_chunk, (end - 1) // chunk_rows + 1):
                chunk = raw[c * chunk_rows * itemsize:min((c + 1) * chunk_rows, end) * itemsize]
                full = (c + 1) * chunk_rows <= end
                chunk += bytes(chunk_rows * itemsize - len(chunk))
                work.append(compress(chunk, FULL_LEVEL if full else tail_level))
            return work[-1] if (end % chunk_rows) else None
        tail, seconds = cpu(job)
        costs.append(seconds)
    return costs


def reads(records, chunk_rows, day, days):
    itemsize = records.dtype.itemsize
    streams = [zlib.compress(c, 9) for c in engine_levels.chunks_of(records, chunk_rows * itemsize)]
    costs = []
    for n in range(len(records) - days * day, len(records) - day, day):
        first, last = n // chunk_rows, (n + day - 1) // chunk_rows
        _, seconds = cpu(lambda: [zlib.decompress(streams[c]) for c in range(first, last + 1)])
        costs.append(seconds)
    return costs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--chunks", default="16,32,64,128,256")
    parser.add_argument("--tail", default="1,10")
    parser.add_argument("--cap", type=float, default=12.0,
                        help="MB of each sample for the size and fill figures (its last rows)")
    parser.add_argument("--days", type=int, default=242)
    args = parser.parse_args()
    samples = engine_samples.load()
    for name in ("stock", "future"):
        records = samples[name]
        capped = records[-int(args.cap * 1e6 // records.dtype.itemsize):]
        reference = sum(len(zlib.compress(c, 9)) for c in engine_levels.chunks_of(capped, 65536))
        day = DAY_BARS[name]
        days = min(args.days, len(records) // day - 1)
        print("{}: {} bars a day, {:.1f} MB for size/fill, {} days of appends".format(
            name, day, capped.nbytes / 1e6, days))
        for kib in [int(x) for x in args.chunks.split(",")]:
            chunk_rows = kib * 1024 // records.dtype.itemsize
            size, per_mb = fill(capped, chunk_rows * records.dtype.itemsize)
            read = reads(records, chunk_rows, day, days)
            line = "  {:3d} KiB ({:4d} rows): size {:.4f}, fill {:.3f} s/MB, read day {:.2f} ms".format(
                kib, chunk_rows, size / reference, per_mb, 1e3 * statistics.median(read))
            for level in [int(x) for x in args.tail.split(",")]:
                costs = appends(records, chunk_rows, day, level, days)
                line += ", append@{} {:.2f}/{:.2f} ms".format(
                    level, 1e3 * statistics.median(costs), 1e3 * float(np.percentile(costs, 90)))
            print(line, flush=True)


if __name__ == "__main__":
    main()
