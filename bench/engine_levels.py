"""Which libdeflate level matches zlib level 9, and which chunk size to use.

    .venv/bin/python bench/engine_levels.py [--chunks 16,32,64,128,256] [--repeat 3]

For every sample (bench/engine_samples.py) and chunk size: the stored bytes
and compression time of zlib level 9 (what HDF5's deflate filter does) and
of every libdeflate level, over the sample cut into whole chunks as HDF5
stores them (the last one filled with zeros). Times are medians of
--repeat runs on one thread, in CPU time of the thread (the machine is shared:
wall-clock times are noisy).
"""
import argparse
import concurrent.futures
import ctypes
import ctypes.util
import statistics
import threading
import time
import zlib

import engine_samples

# The engine's level for full chunks (kFullChunkLevel in chunk_compression.hpp).
ENGINE_FULL_LEVEL = 10

_lib = ctypes.CDLL(ctypes.util.find_library("deflate") or "libdeflate.so.0")
_lib.libdeflate_alloc_compressor.restype = ctypes.c_void_p
_lib.libdeflate_alloc_compressor.argtypes = [ctypes.c_int]
_lib.libdeflate_free_compressor.argtypes = [ctypes.c_void_p]
_lib.libdeflate_zlib_compress.restype = ctypes.c_size_t
_lib.libdeflate_zlib_compress.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                          ctypes.c_void_p, ctypes.c_size_t]


def chunks_of(records, chunk_bytes):
    rows = max(1, chunk_bytes // records.dtype.itemsize)
    raw = records.tobytes()
    size = rows * records.dtype.itemsize
    raw += bytes(-len(raw) % size)
    return [raw[at:at + size] for at in range(0, len(raw), size)]


def zlib9(chunks):
    started = time.thread_time()
    size = sum(len(zlib.compress(c, 9)) for c in chunks)
    return size, time.thread_time() - started


def libdeflate(chunks, level):
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


def median_run(job, repeat):
    runs = [job() for _ in range(repeat)]
    return runs[0][0], statistics.median(r[1] for r in runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--chunks", default="64", help="chunk sizes in KiB (default 64)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--levels", default="1,2,3,4,5,6,7,8,9,10,11,12")
    parser.add_argument("--cap", type=float, default=0,
                        help="use at most this many MB of each sample (its last rows; 0: all)")
    args = parser.parse_args()
    samples = engine_samples.load()
    levels = [int(x) for x in args.levels.split(",")]
    for kib in [int(x) for x in args.chunks.split(",")]:
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
            for level in levels:
                size, seconds = median_run(lambda: libdeflate(chunks, level), args.repeat)
                print("    libdeflate {:2d}: size {:.4f} of zlib-9, time {:.3f} of zlib-9 "
                      "({:6.1f} MB/s)".format(level, size / zsize, seconds / ztime,
                                               raw / 1e6 / seconds))


if __name__ == "__main__":
    main()
