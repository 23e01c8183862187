"""The three stores bench/peers.py compares, each behind the same few calls.

Every store is handed the client's own frames (order_book_id x datetime,
the six bar columns) and keeps them its own way; a read gives one table per
instrument indexed by the bar's time, with the trading date as a column.
`fill` and `daily` return the job to time: what they do before that (copies
of the frames, priming the stand-in) is no store's cost.
"""
import concurrent.futures
import gc
import os

import numpy as np
import pandas as pd

from fakeclient import FakeClient

INSTALL = ".venv/bin/pip install --no-deps -r bench/requirements-peers.txt"


def missing(module):
    """None when `module` imports, else the one line saying what to install."""
    try:
        __import__(module)
    except ImportError as error:
        return "{} is not installed ({}): {}".format(module, error, INSTALL)
    return None


def bars_table(frame):
    """The client's frame of one instrument as the peers store it."""
    table = frame.droplevel(0)
    stamps = table.index
    table.insert(0, "trading_date", np.asarray(stamps.year * 10000 + stamps.month * 100 + stamps.day, np.int64))
    return table


def day_range(start, end):
    """The timestamps bounding the trading days start..end (YYYYMMDD), both ends kept."""
    first = pd.Timestamp(str(start))
    return first, pd.Timestamp(str(end)) + pd.Timedelta(days=1) - pd.Timedelta(nanoseconds=1)


class Inline(concurrent.futures.Executor):
    """Runs each job as it is handed over, in the calling thread: no pool to start or wait for."""

    def submit(self, fn, /, *args, **kwargs):
        future = concurrent.futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except BaseException as error:   # the run reads the job's failure from its future
            future.set_exception(error)
        return future


class Corvane:
    """corvane's own update run (selection, jobs, its version committed), the
    stand-in's answers fetched before the clock starts and served in process."""

    name = "corvane"

    def __init__(self, records, calendar, listing):
        self.records, self.calendar, self.listing = records, calendar, listing

    def _update(self, root, frames, since):
        from corvane import bundle
        from corvane.updater import run
        from corvane.updater.options import UpdateOptions
        client = FakeClient({oid: self.records[oid] for oid in frames}, self.calendar, self.listing)
        for oid, frame in frames.items():
            first = int(frame.index.get_level_values(1)[0].strftime("%Y%m%d"))
            client.put(oid, "1m", since or first, frame.copy(deep=True))

        def job():
            bundle.lumenfeed = client
            report = run.update("minbar", root, sorted(frames), executor=Inline(),
                                options=UpdateOptions(since=since))
            counts = report.counts
            if report.exit_status or counts["new"] + counts["updated"] != len(frames) or not report.version:
                errors = {o.order_book_id: o.error_message for o in report.outcomes if o.error_type}
                raise RuntimeError("corvane's update failed: {} {}".format(counts, errors))
            return report.version
        return job

    def fill(self, root, frames, since):
        return self._update(root, frames, since)

    def daily(self, root, frames):
        return self._update(root, frames, None)

    def read(self, root, oid, start=None, end=None):
        from corvane import read
        return read.bars(root, oid, start, end)

    def read_many(self, root, oids, start=None, end=None, as_of=None):
        from corvane import read
        return read.bars_many(root, oids, start, end, as_of=as_of)


class ArcticDB:
    """One LMDB library per root, a symbol per instrument; the batch calls
    for many instruments.  A reader keeps its library open, as a user does;
    a writer opens it, as an update run would."""

    name = "ArcticDB"

    def __init__(self):
        self._open = {}

    @staticmethod
    def _library(root):
        import arcticdb
        os.makedirs(root, exist_ok=True)
        return arcticdb.Arctic("lmdb://" + root).get_library("bars", create_if_missing=True)

    def reader(self, root):
        if root not in self._open:
            self._open[root] = self._library(root)
        return self._open[root]

    def release(self):
        """Closes the readers' libraries (the directories may move after)."""
        self._open.clear()
        gc.collect()

    def fill(self, root, frames, since):
        def job():
            from arcticdb.version_store.library import WritePayload
            library = self._library(root)
            results = library.write_batch([WritePayload(oid, bars_table(frame)) for oid, frame in frames.items()])
            _checked(results)
            return 0
        return job

    def daily(self, root, frames):
        def job():
            from arcticdb.version_store.library import WritePayload
            library = self._library(root)
            _checked(library.append_batch([WritePayload(oid, bars_table(frame)) for oid, frame in frames.items()]))
        return job

    def read(self, root, oid, start=None, end=None):
        window = day_range(start, end) if start else None
        return self.reader(root).read(oid, date_range=window).data

    def read_many(self, root, oids, start=None, end=None, as_of=None):
        from arcticdb.version_store.library import ReadRequest
        window = day_range(start, end) if start else None
        results = self.reader(root).read_batch([ReadRequest(oid, as_of=as_of, date_range=window) for oid in oids])
        return {oid: item.data for oid, item in zip(oids, _checked(results))}


def _checked(results):
    for item in results:
        if not hasattr(item, "symbol") or type(item).__name__ == "DataError":
            raise RuntimeError("ArcticDB refused a batch item: {}".format(item))
    return results


class Parquet:
    """A zstd Parquet file an instrument (pyarrow's defaults otherwise).
    The daily append either rewrites the file (`days=False`: read, add the
    day, write beside it and rename over it) or adds one file a day to the
    instrument's folder (`days=True`)."""

    name = "Parquet"

    def __init__(self, days=False):
        self.days = days

    def _path(self, root, oid):
        return os.path.join(root, oid, "fill.parquet") if self.days else os.path.join(root, oid + ".parquet")

    @staticmethod
    def _write(table, path):
        import pyarrow as pa
        import pyarrow.parquet as pq
        pq.write_table(table if isinstance(table, pa.Table) else pa.Table.from_pandas(table), path,
                       compression="zstd")

    def fill(self, root, frames, since):
        def job():
            os.makedirs(root, exist_ok=True)
            for oid, frame in frames.items():
                self._write(bars_table(frame), os.path.join(root, oid + ".parquet"))
        return job

    def as_days(self, root):
        """The layout of a file a day, from the rewritten one (not timed)."""
        for name in sorted(os.listdir(root)):
            folder = os.path.join(root, name[:-len(".parquet")])
            os.makedirs(folder)
            os.rename(os.path.join(root, name), os.path.join(folder, "fill.parquet"))

    def daily(self, root, frames):
        def job():
            import pyarrow as pa
            import pyarrow.parquet as pq
            for oid, frame in frames.items():
                day = pa.Table.from_pandas(bars_table(frame))
                if self.days:
                    self._write(day, os.path.join(root, oid, "{:%Y%m%d}.parquet".format(
                        frame.index.get_level_values(1)[0])))
                    continue
                path = self._path(root, oid)
                whole = pa.concat_tables([pq.read_table(path), day])
                self._write(whole, path + ".new")
                os.replace(path + ".new", path)
        return job

    def read(self, root, oid, start=None, end=None):
        import pyarrow.parquet as pq
        filters = None
        if start:
            first, last = day_range(start, end)
            filters = [("datetime", ">=", first), ("datetime", "<=", last)]
        return pq.read_table(self._path(root, oid), filters=filters).to_pandas()

    def read_many(self, root, oids, start=None, end=None, as_of=None):
        return {oid: self.read(root, oid, start, end) for oid in oids}
