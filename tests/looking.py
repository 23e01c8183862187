"""Small bundles written by the engine, and ways to damage them, for the tests of
`corvane verify`, `inspect` and `plot`."""
import os
import subprocess
import sys

import numpy as np
import pandas as pd
from click.testing import CliRunner

import corvane.bundle as bundle
from corvane import _engine
from corvane.cli import main

DAYS = [20250102, 20250103, 20250106]
BARS_PER_DAY = 4
TICK_DAYS = ["20250102", "20250103"]
TICKS_PER_DAY = 5
SCALES = {name: float(scale) for name, _, scale in bundle.H5TicksLoader.FIELDS}


def invoke(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


def bars(dtype, days=DAYS, per_day=BARS_PER_DAY, start_price=10.0):
    """(index, data) of `per_day` rising one-minute bars on each day."""
    data = np.zeros(len(days) * per_day, dtype=dtype)
    data["datetime"] = [day * 1000000 + 93100 + minute * 100 for day in days for minute in range(per_day)]
    close = start_price + 0.01 * np.arange(len(data))
    data["open"], data["close"] = close - 0.005, close
    data["high"], data["low"] = close + 0.01, close - 0.01
    data["volume"], data["total_turnover"] = 100.0, 100.0 * close
    index = np.zeros(len(days), dtype=bundle.INDEX_DTYPE)
    index["date"] = days
    index["line_no"] = np.arange(len(days)) * per_day
    return index, data


def ticks(day, count=TICKS_PER_DAY):
    """One day's tick records, prices scaled as the reader expects."""
    records = np.zeros(count, dtype=bundle.H5TicksLoader.DTYPES)
    records["date"] = int(day)
    records["time"] = [93000000 + 3000 * k for k in range(count)]
    last = 20.0 + 0.01 * np.arange(count)
    for name, values in (("last", last), ("high", last + 0.02), ("low", last - 0.02),
                         ("a1", last + 0.01), ("b1", last - 0.01)):
        records[name] = np.rint(values * SCALES[name])
    records["volume"] = np.arange(1, count + 1) * 10
    return records


def write_minbar(path, dtype, days=DAYS):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with _engine.File(path) as h5:
        h5.append_minbar(*bars(dtype, days))


def write_ticks(path, days=TICK_DAYS):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with _engine.File(path) as h5:
        for day in days:
            h5.write_day(day, ticks(day))


def make_bundle(root):
    """{name: file} of a minute-bar root (a stock, a future) and a tick directory."""
    files = {
        "stock": os.path.join(root, "minbar", "equities", "ST1.h5"),
        "future": os.path.join(root, "minbar", "future", "FU1.h5"),
        "ticks": os.path.join(root, "tick", "ST1.h5"),
    }
    write_minbar(files["stock"], bundle.EQUITIES_DTYPE)
    write_minbar(files["future"], bundle.DERIVATIVES_DTYPE)
    write_ticks(files["ticks"])
    return files


def daily_listing(days, volume=None):
    """A client's trading-day listing: one row a day, indexed by the day."""
    stamps = pd.to_datetime([str(day) for day in days])
    return pd.DataFrame({"close": 10.0, "volume": volume if volume is not None else 1000.0},
                        index=pd.DatetimeIndex(stamps, name="date"))


_INTERRUPTED = """
import os, sys
import numpy as np
from corvane import _engine
sys.path.insert(0, {tests!r})
import looking
from corvane import bundle
h5 = _engine.File({path!r})
h5.append_minbar(*looking.bars(bundle.EQUITIES_DTYPE, [20250107, 20250108]))
os._exit(0)  # dies before the call ends: what it wrote is left half done
"""


def interrupt_update(path):
    """Run an update of `path` in a process that dies before it ends."""
    code = _INTERRUPTED.format(tests=os.path.dirname(__file__), path=str(path))
    subprocess.run([sys.executable, "-c", code], check=True)


def demo_at(monkeypatch, setting):
    """at(asof, value=None): the demo client ready here as of `asof`, with `value` for the
    client's `setting` (a variable such as LUMENFEED_REVISED), none unless given."""
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "3")
    monkeypatch.delenv(setting, raising=False)

    def at(asof, value=None):
        monkeypatch.setenv("LUMENFEED_ASOF", asof)
        if value:
            monkeypatch.setenv(setting, value)
        bundle.init_lumenfeed_with_warnings_catch()
    return at
