"""What a read cannot go below, and what a read as of a version adds: bench/read.py's floor rows.

The floor of a read is the CPU of inflating exactly the chunks it touched,
with libdeflate, and nothing else.  The chunks are found from the file
(h5py's chunk queries): every chunk of "index", which a read loads whole,
and the chunks of "data" holding the rows it returns.  Their stored streams
are read once, before any clock.  They are inflated by the libdeflate the
engine links (the system's libdeflate.so.0, called through ctypes as
bench/engine.py does; ctypes lets go of the GIL around each call): on one
thread (that thread's CPU, time.thread_time), and split over the reader's
threads (the process's CPU, time.process_time, the threads kept from run
to run as the engine keeps its own).

The versioned root: the files of bench/read.py, a version committed, then
a trading date more appended to every file (the last one's bars again, a
weekday later) and a second version committed.  A read as of the first
version returns the same rows as the plain read of the dates up to the
one before the added date, which is what bench/read.py reads.
"""
import collections
import concurrent.futures
import ctypes
import json
import os
import resource
import statistics
import time

import h5py
import numpy as np

import engine as bench_engine

Chunk = collections.namedtuple("Chunk", "stream raw_bytes")
# One row's medians of a side-by-side loop: the read's CPU (process, all threads) and wall, the floor's
# CPU on one thread and on the reader's threads, the read as of a version's CPU and wall; seconds.
# The read's CPU splits into user and system (the kernel's: mostly faulting in the table's fresh memory,
# which the floor, inflating into one kept buffer, never pays), with its minor page faults.
# The same read on one reading thread (single_cpu, single_wall) tells the read's own work from what running
# on the reader's threads costs beside it.
Measured = collections.namedtuple("Measured", "read_cpu read_wall floor_one floor_threads threads asof_cpu asof_wall "
                                              "chunks read_sys read_faults single_cpu single_wall")
ASOF_FILE = "read_floor_versions.json"


# ---------------------------------------------------------------- chunks

def _chunks(dataset, begin, stop):
    """The stored streams of `dataset`'s chunks holding rows `begin` to `stop`."""
    rows = dataset.chunks[0]
    raw_bytes = rows * dataset.dtype.itemsize
    found = []
    for k in range(begin // rows, -(-stop // rows)):
        mask, stream = dataset.id.read_direct_chunk((k * rows,))
        if mask:
            raise RuntimeError("{}: chunk {} of {} skipped its deflate filter; the floor counts inflated chunks "
                               "only".format(dataset.file.filename, k, dataset.name))
        found.append(Chunk(stream, raw_bytes))
    return found


def touched(h5_file, start, end):
    """The chunks a read of trading dates `start` to `end` (None: the first or last) of `h5_file` touches."""
    from corvane.read.tables import date_span
    with h5py.File(h5_file, "r") as h5:
        index, data = h5["index"], h5["data"]
        stored = index[()]
        first, stop = date_span(stored["date"], start, end)
        line_no = stored["line_no"].astype(np.int64)
        stops = np.append(line_no[1:], data.shape[0])
        begin, end_row = (int(line_no[first]), int(stops[stop - 1])) if first < stop else (0, 0)
        return _chunks(index, 0, len(stored)) + _chunks(data, begin, end_row)


# ---------------------------------------------------------------- inflating

def _inflate(chunks):
    lib = bench_engine._lib
    decompressor = lib.libdeflate_alloc_decompressor()
    out = ctypes.create_string_buffer(max(chunk.raw_bytes for chunk in chunks))
    try:
        for stream, raw_bytes in chunks:
            if lib.libdeflate_zlib_decompress(decompressor, stream, len(stream), out, raw_bytes, None) != 0:
                raise RuntimeError("a chunk's stream does not inflate to its {} bytes".format(raw_bytes))
    finally:
        lib.libdeflate_free_decompressor(decompressor)


def floor_one_thread(chunks):
    """CPU seconds of this thread inflating `chunks` one after another."""
    used = time.thread_time()
    _inflate(chunks)
    return time.thread_time() - used


class Floor:
    """The chunks inflated on `threads` threads, each taking every threads-th chunk; the threads stay."""

    def __init__(self, threads):
        self.threads = threads
        self.pool = concurrent.futures.ThreadPoolExecutor(threads)

    def cpu(self, chunks):
        """CPU seconds of the process while its threads inflate `chunks`."""
        used = time.process_time()
        list(self.pool.map(_inflate, [chunks[k::self.threads] for k in range(self.threads) if chunks[k::self.threads]]))
        return time.process_time() - used

    def close(self):
        self.pool.shutdown()


def _check_same(plain, other, what):
    """Stops the bench unless the `other` read (`what` it is) returned the plain read's tables."""
    pairs = zip(plain.values(), other.values()) if isinstance(plain, dict) else [(plain, other)]
    if (isinstance(plain, dict) and list(plain) != list(other)) or not all(a.equals(b) for a, b in pairs):
        raise RuntimeError("the read {} differs from the plain read of the same dates".format(what))


def measure(read, as_of, chunks, floor, repeat, single):
    """The plain read, the floor on one thread, on the reader's threads, the read as of a version and the
    plain read on one reading thread (`single`), one after another `repeat` times (each once untimed
    first): their medians (Measured)."""
    _check_same(read(), as_of(), "as of the first version")
    _check_same(read(), single(), "on one reading thread")
    floor_one_thread(chunks), floor.cpu(chunks)
    runs = collections.defaultdict(list)
    for _ in range(repeat):
        for name, work in (("read", read), ("asof", as_of), ("single", single)):
            began, used, usage = time.perf_counter(), time.process_time(), resource.getrusage(resource.RUSAGE_SELF)
            work()
            runs[name + "_wall"].append(time.perf_counter() - began)
            runs[name + "_cpu"].append(time.process_time() - used)
            after = resource.getrusage(resource.RUSAGE_SELF)
            if name == "read":
                runs["read_sys"].append(after.ru_stime - usage.ru_stime)
                runs["read_faults"].append(after.ru_minflt - usage.ru_minflt)
                runs["floor_one"].append(floor_one_thread(chunks))
                runs["floor_threads"].append(floor.cpu(chunks))
    medians = {name: statistics.median(values) for name, values in runs.items()}
    return Measured(threads=floor.threads, chunks=len(chunks), **medians)


# ---------------------------------------------------------------- the versioned root

def _next_day(h5_file):
    """(index, data) of one trading date after the last of `h5_file`: the last date's bars again, a weekday on."""
    import pandas as pd

    from corvane import _engine
    with _engine.Reader(h5_file) as reader:
        index = reader.read("index")
        data = reader.read("data", int(index["line_no"][-1]))
    last = int(index["date"][-1])
    day = pd.Timestamp(str(last)) + pd.offsets.BDay()
    date = day.year * 10000 + day.month * 100 + day.day
    data["datetime"] += (date - last) * 1000000
    added = index[-1:].copy()
    added["date"], added["line_no"] = date, 0
    return added, data


def versioned(root, ids):
    """{"as_of": the first version's id, "added": the date appended after it} of the root holding the
    files of `ids`, made the first time (see the module's text), read back after."""
    from corvane import _engine
    from corvane.history import commits
    from corvane.history import states

    record = os.path.join(root, ASOF_FILE)
    if os.path.exists(record):
        with open(record) as text:
            return json.load(text)
    files = [os.path.join(root, "equities", order_book_id + ".h5") for order_book_id in ids]

    def commit():
        entries = {"equities/" + os.path.basename(h5_file): states.file_state(root, h5_file, "minbar")
                   for h5_file in files}
        return commits.commit(root, "minbar", {"command": "bench", "words": [], "counts": {}}, entries)

    first = commit()
    for h5_file in files:
        index, data = _next_day(h5_file)
        with _engine.File(h5_file) as h5:
            h5.append_minbar(index, data)
    commit()
    found = {"as_of": first, "added": int(index["date"][0])}
    with open(record, "w") as out:
        json.dump(found, out)
    return found
