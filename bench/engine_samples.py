"""Record samples from the stand-in demo market, for the engine's own measurements.

    .venv/bin/python bench/engine_samples.py      # builds bench/out/engine_samples/*.npy

Each sample is the record array corvane writes for one kind of data, built by
corvane's own Python side from the stand-in client, and cached as .npy so
that the measurement scripts (bench/engine_*.py) time compression and
writing only:
  stock   twenty years of minute bars of the longest-listed stock
  future  minute bars of a futures contract with night sessions
  index   minute bars of a market index
  dates   the per-trading-date index records of the stock file
  ticks   60 trading days of ticks of the stock, one after the other
"""
import os
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "out", "engine_samples")
NAMES = ("stock", "future", "index", "dates", "ticks")
ASOF = "20241231"
INDEX_DTYPE = np.dtype([("date", "<i4"), ("line_no", "<u4")])


def _services(client):
    from corvane import bundle
    from corvane.services import Services
    return Services(client=client, instrument_type=bundle.INSTRUMENT_TYPE,
                    convert_dt_to_int=bundle.convert_dt_to_int,
                    date_to_number=bundle.date_to_number, time_to_number=bundle.time_to_number,
                    ticks_loader=bundle.H5TicksLoader, echo=print)


def build():
    os.environ.setdefault("LUMENFEED_ASOF", ASOF)
    os.environ["LUMENFEED_TICK_DAYS"] = "60"
    import lumenfeed
    from corvane import bundle, minbar, tick
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
    days = lumenfeed.get_trading_dates(20240101, ASOF)[-60:]
    ticks = []
    for day in days:
        df = lumenfeed.get_price("10001.HBX", day, day, frequency="tick", adjust_type="none")
        if df is not None:
            ticks.append(tick.tick_records(services, "10001.HBX", df, list(loader.COLUMNS),
                                           list(loader.FIELDS), np.dtype(loader.DTYPES)))
    samples = {"stock": stock, "future": future, "index": index, "dates": dates,
               "ticks": np.concatenate(ticks)}
    for name, records in samples.items():
        np.save(os.path.join(SAMPLES, name + ".npy"), records)
    return samples


def days_of(stock, dates):
    """[(index records, bar records)] one per trading date, line_no from 0."""
    lines = list(dates["line_no"]) + [len(stock)]
    out = []
    for i in range(len(dates)):
        index = np.zeros(1, INDEX_DTYPE)
        index["date"] = dates["date"][i]
        out.append((index, stock[lines[i]:lines[i + 1]]))
    return out


def load():
    """{name: records}, building the cache first when it is missing."""
    if not all(os.path.exists(os.path.join(SAMPLES, n + ".npy")) for n in NAMES):
        return build()
    return {n: np.load(os.path.join(SAMPLES, n + ".npy")) for n in NAMES}


if __name__ == "__main__":
    for name, records in build().items():
        print("{:7s} {:9d} rows x {:3d} bytes = {:6.1f} MB".format(
            name, len(records), records.dtype.itemsize, records.nbytes / 1e6))
    sys.exit(0)


def fill_then_append(engine, path, base, daily):
    """Write the days `base` as one first fill, then append each day of
    `daily` in a call of its own; returns the seconds of each append."""
    index = np.concatenate([d[0] for d in base])
    index["line_no"] = np.concatenate([[0], np.cumsum([len(d[1]) for d in base])[:-1]])
    with engine.File(path) as f:
        f.append_minbar(index, np.concatenate([d[1] for d in base]))
    seconds = []
    for index, bars in daily:
        started = time.perf_counter()
        with engine.File(path) as f:
            f.append_minbar(index, bars)
        seconds.append(time.perf_counter() - started)
    return seconds
