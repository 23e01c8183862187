"""The benchmark workloads.

Each workload runs in a fresh process for one implementation ("baseline" or
"corvane"): it asks the stand-in client for its data first, then times only
the job, handing the pre-fetched frames over through `FakeClient`, and
measures the process's peak memory while the job runs. run.py starts these
processes, compares the files they leave and prints the table.
"""
import cProfile
import ctypes
import functools
import gc
import io
import multiprocessing
import os
import pstats
import resource
import shutil
import statistics
import time
import warnings
import zlib

import h5py
import numpy as np
import pandas as pd

import lumenfeed
from vesper.const import INSTRUMENT_TYPE
from vesper.data.bundle import ProgressedProcessPoolExecutor

from corvane import _engine, bundle
from corvane.updater import minbar
from corvane.updater import tick
from corvane.updater.services import Services

import baseline
import engine
import filesystem
from fakeclient import FakeClient, day_int, int_to_date

MIN_START_DATE = bundle.MIN_START_DATE
MAX_END_DATE = bundle.MAX_END_DATE
YEAR_DAYS = 242          # trading days in a year of the demo calendar, near enough
FULL_YEARS = 20
W2_VARIANTS = 25         # distinct fill levels of the last chunk among W2's files


# --- memory ---------------------------------------------------------------

def _status_kb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Memory:
    """Peak resident memory of this process over windows of work.

    The peak is reset (/proc/self/clear_refs) when a window opens, so what
    the stand-in allocated while generating data does not count; what the
    job holds (the client's frames included, as a real job holds them) does.
    """

    def __init__(self):
        try:
            self._libc = ctypes.CDLL("libc.so.6")
        except OSError:
            self._libc = None
        self.settle()
        self.interpreter_kb = _status_kb("VmRSS")
        self.input_kb = 0
        self.peak_kb = 0
        self.resettable = True

    def settle(self):
        gc.collect()
        if self._libc is not None:
            self._libc.malloc_trim(0)  # freed heap back to the system, so RSS is honest

    def start(self):
        self.settle()
        self.input_kb = _status_kb("VmRSS") - self.interpreter_kb
        try:
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")
        except OSError:
            self.resettable = False

    def stop(self):
        self.peak_kb = max(self.peak_kb, _status_kb("VmHWM") - self.interpreter_kb)


# --- the stand-in market, asked before the clock starts ------------------

def asof():
    return day_int(os.environ["LUMENFEED_ASOF"])


def calendar(start, end):
    return [day_int(d) for d in lumenfeed.get_trading_dates(start, end)]


def listing():
    return lumenfeed.all_instruments()


def oldest(ins_type):
    """The identifier of the longest-listed instrument of a type."""
    rows = listing()
    # Cell by cell: a pyarrow-backed string column refuses to compare with an enum member.
    rows = rows[[cell == ins_type for cell in rows["type"]]]
    listed = rows["listed_date"].map(day_int)
    return rows["order_book_id"].iloc[int(np.argmin(listed.to_numpy()))]


def minute_frame(order_book_id, start, end=MAX_END_DATE):
    return lumenfeed.get_price(order_book_id, start_date=start, end_date=end, frequency="1m",
                               adjust_type="none", expect_df=True)


def day_ticks(order_book_id, day):
    """One day's ticks (`day` an int YYYYMMDD); the client takes the calendar date."""
    date = int_to_date(day)
    return lumenfeed.get_price(order_book_id, date, date, frequency="tick", adjust_type="none")


def split_days(frame):
    """A stock's bar frame -> {day: that day's frame}, each as the client returns one day."""
    stamps = pd.DatetimeIndex(frame.index.get_level_values(1))
    days = stamps.year * 10000 + stamps.month * 100 + stamps.day
    out = {}
    for day in np.unique(days):
        part = frame[days == day].copy()
        part.index = part.index.remove_unused_levels()
        out[int(day)] = part
    return out


def period_start(years):
    """First trading day of the last `years` calendar years up to the as-of day."""
    first_year = asof() // 10000 - years + 1
    return calendar(first_year * 10000 + 101, asof())[0]


# --- running one implementation ----------------------------------------

def discard(path, workdir):
    """Moves `path` into the run's trash, beside the workloads' folders
    (`workdir` is out/WORKLOAD/IMPL), which run.py empties at the end: see
    filesystem.py."""
    out = os.path.dirname(os.path.dirname(os.path.abspath(workdir)))
    filesystem.discard(path, os.path.join(out, filesystem.TRASH))


class Context:
    def __init__(self, workload, impl, workdir, quick, profile):
        self.workload = workload
        self.impl = impl
        self.dir = workdir
        self.quick = quick
        self.profile = profile
        self.memory = Memory()
        self._profiler = cProfile.Profile() if profile else None
        self.result = {"workload": workload, "impl": impl, "extra": {}}
        discard(workdir, workdir)
        os.makedirs(workdir)

    def discard(self, path):
        discard(path, self.dir)

    def path(self, name):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    @property
    def files(self):
        """Where the files compared with the other implementation go."""
        return self.path("files")

    def services(self, client):
        return Services(client=client, instrument_type=INSTRUMENT_TYPE,
                        convert_dt_to_int=bundle.convert_dt_to_int,
                        date_to_number=bundle.date_to_number,
                        time_to_number=bundle.time_to_number,
                        ticks_loader=bundle.H5TicksLoader, echo=print,
                        equities_types=bundle.EQUITIES_INS_TYPE)

    def minbar(self, client, order_book_id, path, file_name, start):
        if self.impl == "baseline":
            baseline.append_h5(client, order_book_id, path, file_name, start, MAX_END_DATE)
        else:
            minbar.append_h5(self.services(client), order_book_id, path, file_name, start,
                             MAX_END_DATE)

    def tick(self, client, order_book_id, path, start):
        if self.impl == "baseline":
            baseline.append_h5_tick(client, order_book_id, path, None, start, MAX_END_DATE)
        else:
            tick.append_h5_tick(self.services(client), order_book_id, path, None, start,
                                MAX_END_DATE)

    def timed(self, job):
        """Seconds `job()` takes; profiled when asked (calls add up in one profile)."""
        started = time.perf_counter()
        if self._profiler is None:
            job()
        else:
            self._profiler.runcall(job)
        return time.perf_counter() - started

    def _profile_text(self):
        text = io.StringIO()
        stats = pstats.Stats(self._profiler, stream=text)
        stats.sort_stats("cumulative").print_stats(30)
        stats.sort_stats("tottime").print_stats(20)
        return text.getvalue()

    def finish(self, seconds, raw_bytes, calls=None):
        self.result.update(seconds=seconds, calls=calls, raw_bytes=int(raw_bytes),
                           peak_kb=self.memory.peak_kb, input_kb=self.memory.input_kb,
                           interpreter_kb=self.memory.interpreter_kb,
                           peak_resettable=self.memory.resettable, files=self.files)
        if self._profiler is not None:
            self.result["profile"] = self._profile_text()
        return self.result


def _records_bytes(frames, itemsize):
    return sum(len(frame) for frame in frames) * itemsize


def _one_client(order_book_id, start, frame, days):
    record = lumenfeed.instruments(order_book_id)
    client = FakeClient({order_book_id: record}, days)
    client.put(order_book_id, "1m", start, frame)
    return client


# --- W1, W1f: first fill of a twenty-year file ------------------------

def first_fill(ctx, record, start, frame, itemsize):
    order_book_id = record.order_book_id
    client = FakeClient({order_book_id: record}, [start])
    client.put(order_book_id, "1m", start, frame)
    raw = _records_bytes([frame], itemsize)
    bars = len(frame)
    ctx.memory.start()
    seconds = ctx.timed(functools.partial(ctx.minbar, client, order_book_id, ctx.files, None, start))
    ctx.memory.stop()
    del frame, client
    ctx.result["extra"]["bars"] = bars
    _write_alone(ctx)
    return ctx.finish(seconds, raw)


def _h5_file(root):
    for folder, _, names in os.walk(root):
        for name in names:
            return os.path.join(folder, name)


def _write_alone(ctx):
    """The write step alone, and level-9 zlib over the file's own chunks.

    Read back from the file just written, so the records are exactly the
    job's; corvane's engine (or h5py's filter, for the baseline) writes them
    again into a scratch file.
    """
    with h5py.File(_h5_file(ctx.files), "r") as h5:
        data, index = h5["data"][...], h5["index"][...]
        chunk_rows = h5["data"].chunks[0]
    scratch = os.path.join(ctx.path("scratch"), "alone.h5")
    started = time.perf_counter()
    if ctx.impl == "baseline":
        with h5py.File(scratch, "w") as h5:
            baseline._create(h5, "data", data)
            h5.create_dataset("index", data=index, **baseline.DATASET_OPTIONS)
    else:
        with _engine.File(scratch) as h5:
            h5.append_minbar(index.astype(bundle.INDEX_DTYPE), data)
    write = time.perf_counter() - started
    ctx.discard(os.path.dirname(scratch))
    ctx.result["extra"].update(chunk_rows=chunk_rows, write_alone=write,
                               zlib_alone=zlib_seconds(data, chunk_rows))
    if ctx.impl == "corvane":
        ctx.result["extra"]["deflate_alone"] = deflate_seconds([data], chunk_rows)


def deflate_seconds(datasets, chunk_rows):
    """libdeflate alone at the engine's level and thread count, over the chunks
    of `datasets` as the engine cuts them (one dataset's chunks at a time)."""
    seconds = 0.0
    for records in datasets:
        chunks = engine.chunks_of(records, chunk_rows * records.dtype.itemsize)
        seconds += engine.deflate_alone(chunks, engine.ENGINE_FULL_LEVEL,
                                               os.cpu_count() or 1)[0]
    return seconds


def zlib_seconds(records, chunk_rows):
    """Compressing `records` at level 9 in chunks of `chunk_rows`, as HDF5 stores them."""
    raw = records.tobytes()
    size = chunk_rows * records.dtype.itemsize
    raw += bytes(-len(raw) % size)  # the last chunk is stored whole, filled with zeros
    started = time.perf_counter()
    for at in range(0, len(raw), size):
        zlib.compress(raw[at:at + size], 9)
    return time.perf_counter() - started


def w1(ctx):
    order_book_id = oldest(INSTRUMENT_TYPE.CS)
    start = period_start(1 if ctx.quick else FULL_YEARS)
    frame = minute_frame(order_book_id, start)
    return first_fill(ctx, lumenfeed.instruments(order_book_id), start, frame,
                      bundle.EQUITIES_DTYPE.itemsize)


def w1f(ctx):
    import futures
    record, frame, note = futures.long_contract(1 if ctx.quick else FULL_YEARS, asof())
    ctx.result["extra"]["note"] = note
    start = day_int(frame["trading_date"].iloc[0])
    return first_fill(ctx, record, start, frame, bundle.DERIVATIVES_DTYPE.itemsize)


# --- W2, W5: daily updates ---------------------------------------------

def _year_then(n_days):
    """(a year of trading days, the `n_days` after it), ending at the as-of date."""
    days = calendar(asof() // 10000 * 10000 - 30000 + 101, asof())
    return days[-(YEAR_DAYS + n_days):-n_days], days[-n_days:]


def _timed_updates(ctx, client, order_book_id, file_names, start):
    """Seconds of one update per file name (None: the default name), memory watched."""
    calls = []
    ctx.memory.start()
    for name in file_names:
        calls.append(ctx.timed(
            lambda: ctx.minbar(client, order_book_id, ctx.files, name, start)))
    ctx.memory.stop()
    return calls


def _daily(order_book_id, base_days, extra_days):
    """A client serving a one-year base and then one frame per extra day."""
    days = base_days + extra_days
    base = minute_frame(order_book_id, base_days[0], base_days[-1])
    frames = split_days(minute_frame(order_book_id, extra_days[0], extra_days[-1]))
    return _one_client(order_book_id, base_days[0], base, days), frames


def _w2_copies(ctx, client, order_book_id, frames, folder, extra_days, variants, n_files,
               stem):
    """`n_files` copies of the prepared variants under the files' folder, the
    client primed with each one's next day; returns their names."""
    target = os.path.join(ctx.files, "equities")
    os.makedirs(target, exist_ok=True)
    names = []
    for i in range(n_files):
        v = i % variants
        names.append("%s%04d.h5" % (stem, i))
        shutil.copyfile(os.path.join(folder, "v%02d.h5" % v), os.path.join(target, names[-1]))
        client.put(order_book_id, "1m", extra_days[v], frames[extra_days[v]].copy(deep=True))
    return names


def w2(ctx):
    n_files = 20 if ctx.quick else 500
    variants = min(W2_VARIANTS, n_files)
    order_book_id = oldest(INSTRUMENT_TYPE.CS)
    base_days, extra_days = _year_then(variants)
    client, frames = _daily(order_book_id, base_days, extra_days)

    # Untimed: variant v holds the base year and v more days, so the files'
    # last chunks stand at different fill levels, as in a real bundle.
    prep = ctx.path("prep")
    ctx.minbar(client, order_book_id, prep, "v00.h5", base_days[0])
    folder = os.path.join(prep, "equities")
    for v in range(1, variants):
        shutil.copyfile(os.path.join(folder, "v%02d.h5" % (v - 1)),
                        os.path.join(folder, "v%02d.h5" % v))
        client.put(order_book_id, "1m", extra_days[v - 1], frames[extra_days[v - 1]].copy())
        ctx.minbar(client, order_book_id, prep, "v%02d.h5" % v, base_days[0])
    names = _w2_copies(ctx, client, order_book_id, frames, folder, extra_days, variants,
                       n_files, "f")
    day_bars = len(frames[extra_days[0]])
    raw = n_files * day_bars * bundle.EQUITIES_DTYPE.itemsize
    ctx.result["extra"]["day_bars"] = day_bars

    calls = _timed_updates(ctx, client, order_book_id, names, base_days[0])
    if ctx.impl == "corvane" and not ctx.profile:
        # On files of their own, after the timed pass, so that the
        # instruments cost the table's figures nothing.
        names = _w2_copies(ctx, client, order_book_id, frames, folder, extra_days, variants,
                           min(n_files, SPLIT_FILES), "s")
        ctx.result["extra"]["split"] = _split_updates(ctx, client, order_book_id, names,
                                                      base_days[0])
        for name in names:
            ctx.discard(os.path.join(ctx.files, "equities", name))
    del frames
    ctx.discard(prep)
    return ctx.finish(sum(calls), raw, calls)


# --- W2's split: where one update's time goes ---------------------------

SPLIT_FILES = 200
SPLIT_PARTS = ("get_price", "conversions", "python", "engine_open", "engine_read",
               "engine_append", "engine_close")


class _Clock(dict):
    """Seconds per part of the update under way: part -> wall, part + "_cpu" -> CPU.

    CPU time too, because on a busy machine the wall clock mostly measures
    the wait for a core.
    """

    def timed(self, part, fn, *args, **kwargs):
        wall, cpu = time.perf_counter(), time.process_time()
        try:
            return fn(*args, **kwargs)
        finally:
            self.add(part, time.perf_counter() - wall, time.process_time() - cpu)

    def add(self, part, wall, cpu):
        self[part] = self.get(part, 0.0) + wall
        self[part + "_cpu"] = self.get(part + "_cpu", 0.0) + cpu


class _SplitClient:
    """The client, its `get_price` timed."""

    def __init__(self, client, clock):
        self._client, self._clock = client, clock

    def __getattr__(self, name):
        return getattr(self._client, name)

    def get_price(self, *args, **kwargs):
        return self._clock.timed("get_price", self._client.get_price, *args, **kwargs)


class _SplitFile:
    """An engine file, each call timed under its part."""

    def __init__(self, h5_file, durable, clock):
        self._clock = clock
        self._file = clock.timed("engine_open", minbar_open, h5_file, durable)

    def __getattr__(self, name):
        return getattr(self._file, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self._clock.timed("engine_close", self._file.__exit__, *exc)

    def __contains__(self, name):
        return self._clock.timed("engine_read", self._file.__contains__, name)

    def read_last(self, name):
        return self._clock.timed("engine_read", self._file.read_last, name)

    def members(self):
        return self._clock.timed("engine_read", self._file.members)

    def append_minbar(self, index, data):
        return self._clock.timed("engine_append", self._file.append_minbar, index, data)


minbar_open = minbar.open_instrument_file


def _recording(convert, seen):
    """`convert`, its arguments kept so that the calls can be timed alone later."""
    def conversion(value):
        seen.append(value)
        return convert(value)
    return conversion


def _replay(convert, values):
    wall, cpu = time.perf_counter(), time.process_time()
    for value in values:
        convert(value)
    return time.perf_counter() - wall, time.process_time() - cpu


def _split_updates(ctx, client, order_book_id, file_names, start):
    """{part: [seconds per file]} of one update per file name, wall clock
    and (under part + "_cpu") CPU time.

    The conversions' arguments are recorded and the calls timed again alone
    (timing each call in place would cost more than the call); what recording
    adds is timed the same way and taken out of the rest of the Python work.
    """
    parts = SPLIT_PARTS + ("total",)
    split = {key: [] for part in parts for key in (part, part + "_cpu")}
    plain = ctx.services(client)
    minbar.open_instrument_file = lambda h5_file, durable=False: _SplitFile(h5_file, durable, clock)
    try:
        for name in file_names:
            clock, seen = _Clock(), {"dt": [], "date": []}
            services = plain._replace(
                client=_SplitClient(client, clock),
                convert_dt_to_int=_recording(plain.convert_dt_to_int, seen["dt"]),
                date_to_number=_recording(plain.date_to_number, seen["date"]))
            wall, cpu = time.perf_counter(), time.process_time()
            minbar.append_h5(services, order_book_id, ctx.files, name, start, MAX_END_DATE)
            clock.add("total", time.perf_counter() - wall, time.process_time() - cpu)
            pairs = ((plain.convert_dt_to_int, seen["dt"]), (plain.date_to_number, seen["date"]))
            alone = [_replay(fn, values) for fn, values in pairs]
            recorded = [_replay(_recording(fn, []), values) for fn, values in pairs]
            for n, suffix in enumerate(("", "_cpu")):
                conversions = sum(t[n] for t in alone)
                recording = sum(t[n] for t in recorded) - conversions
                clock["conversions" + suffix] = conversions
                clock["total" + suffix] -= recording
                clock["python" + suffix] = clock["total" + suffix] - sum(
                    clock.get(part + suffix, 0.0) for part in SPLIT_PARTS if part != "python")
            for key in split:
                split[key].append(clock.get(key, 0.0))
    finally:
        minbar.open_instrument_file = minbar_open
    return split


def w5(ctx):
    n_days = 20 if ctx.quick else 250
    order_book_id = oldest(INSTRUMENT_TYPE.CS)
    base_days, extra_days = _year_then(n_days)
    client, frames = _daily(order_book_id, base_days, extra_days)
    ctx.minbar(client, order_book_id, ctx.files, None, base_days[0])
    for day in extra_days:
        client.put(order_book_id, "1m", day, frames[day])
    raw = _records_bytes(frames.values(), bundle.EQUITIES_DTYPE.itemsize)
    del frames

    calls = _timed_updates(ctx, client, order_book_id, [None] * n_days, base_days[0])
    ctx.result["extra"]["appends"] = n_days
    return ctx.finish(sum(calls), raw, calls)


# --- W3: first fill of a tick file -------------------------------------

def w3(ctx):
    order_book_id = oldest(INSTRUMENT_TYPE.CS)
    n_days = int(os.environ["LUMENFEED_TICK_DAYS"])
    days = calendar(asof() // 10000 * 10000 - 10000 + 101, asof())[-(n_days + 3):]
    ticks = {day: day_ticks(order_book_id, day) for day in days}
    start = min(day for day, frame in ticks.items() if frame is not None)
    listed = lumenfeed.get_price(order_book_id, start, MAX_END_DATE)
    client = FakeClient({order_book_id: lumenfeed.instruments(order_book_id)}, days)
    client.put(order_book_id, "1d", start, listed)
    for stamp in pd.DatetimeIndex(listed.index):
        day = day_int(stamp)
        if day not in ticks:
            ticks[day] = day_ticks(order_book_id, day)
        client.put(order_book_id, "tick", day, ticks[day])
    frames = [frame for day, frame in ticks.items() if frame is not None and day >= start]
    raw = _records_bytes(frames, np.dtype(bundle.H5TicksLoader.DTYPES).itemsize)
    ctx.result["extra"].update(days=len(frames), ticks=sum(len(f) for f in frames))
    del frames, ticks

    ctx.memory.start()
    seconds = ctx.timed(lambda: ctx.tick(client, order_book_id, ctx.files, start))
    ctx.memory.stop()
    if ctx.impl == "corvane":
        with h5py.File(_h5_file(ctx.files), "r") as h5:
            days = [h5[name] for name in h5]
            chunk_rows = days[0].chunks[0]
            days = [day[...] for day in days]
        ctx.result["extra"]["deflate_alone"] = deflate_seconds(days, chunk_rows)
    return ctx.finish(seconds, raw)


# --- W4: update_minbar over the demo universe --------------------------

def _quick_tags():
    """A few recently listed stocks and futures: the whole demo is too long for --quick."""
    rows = listing()
    rows = rows.assign(listed=rows["listed_date"].map(day_int)).sort_values("listed")
    tags = []
    for ins_type in (INSTRUMENT_TYPE.CS, INSTRUMENT_TYPE.FUTURE):
        tags += list(rows[[cell == ins_type for cell in rows["type"]]]["order_book_id"].iloc[-2:])
    return tags


def baseline_update_minbar(path, tags, with_derivatives, concurrency):
    """corvane's driver with the baseline job: same selection, same pool."""
    order_book_ids = bundle._merge_tags(tags, with_derivatives)
    with ProgressedProcessPoolExecutor(max_workers=concurrency,
                                       initializer=baseline.init_worker) as executor:
        for order_book_id in order_book_ids:
            executor.submit(baseline.minbar_job, order_book_id, path)


def w4(ctx):
    tags, with_derivatives = (_quick_tags(), False) if ctx.quick else (["all"], True)
    order_book_ids = sorted(bundle._merge_tags(tags, with_derivatives))
    records = {i: lumenfeed.instruments(i) for i in order_book_ids}
    client = FakeClient(records, calendar(MIN_START_DATE, asof()), listing())
    raw = 0
    for order_book_id in order_book_ids:
        frame = minute_frame(order_book_id, MIN_START_DATE)
        if frame is not None:
            ins_type = records[order_book_id].type
            dtype = bundle.EQUITIES_DTYPE if ins_type in bundle.EQUITIES_INS_TYPE \
                else bundle.DERIVATIVES_DTYPE
            raw += len(frame) * dtype.itemsize
        client.put(order_book_id, "1m", MIN_START_DATE, frame)
    ctx.result["extra"]["instruments"] = len(order_book_ids)
    # The workers are forked from this process, so they inherit the client;
    # started any other way they would import the real one and time it too.
    ctx.result["extra"]["start_method"] = multiprocessing.get_start_method()
    bundle.lumenfeed = client
    baseline.CLIENT = client
    driver = baseline_update_minbar if ctx.impl == "baseline" else bundle.update_minbar

    ctx.memory.start()
    seconds = ctx.timed(lambda: driver(ctx.files, tags, with_derivatives, 2))
    ctx.memory.stop()
    # The jobs ran in the workers: their peak is the one that counts.
    workers_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    ctx.result["extra"]["worker_peak_kb"] = workers_kb
    return ctx.finish(seconds, raw)


WORKLOADS = {"W1": w1, "W1f": w1f, "W2": w2, "W3": w3, "W4": w4, "W5": w5}


def run(workload, impl, workdir, quick, profile=False):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    ctx = Context(workload, impl, workdir, quick, profile)
    return WORKLOADS[workload](ctx)


def per_call_summary(calls):
    calls = sorted(calls)
    return {"median": statistics.median(calls),
            "p90": calls[min(len(calls) - 1, int(round(0.9 * (len(calls) - 1))))]}
