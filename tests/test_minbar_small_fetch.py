"""A day's fetch takes numpy's short ways; they must give what pandas' ways give."""
import datetime

import numpy as np
import pandas as pd
import pytest

import fake_market as fm
from corvane.updater import minbar, stores


def stock_frame(n=5):
    return fm.minute_bars("S1", [(20240102, n)])


def with_columns(**columns):
    frame = stock_frame()
    for name, values in columns.items():
        frame[name] = values
    return frame


# Integer fields too, so that rounding and NaN go through the same path.
MIXED_DTYPE = np.dtype([("datetime", "<i8"), ("open", "<f8"), ("high", "<f4"), ("low", "<f8"),
                        ("close", "<i8"), ("volume", "<u8"), ("total_turnover", "<f8")])


@pytest.mark.parametrize("frame", [
    stock_frame(),
    stock_frame()[["total_turnover", "close", "volume", "low", "open", "high"]],
    with_columns(volume=np.arange(5, dtype=np.int64) * 100 + 2**53 + 1),
    with_columns(open=np.linspace(1.0, 2.0, 5, dtype=np.float32)),
    with_columns(volume=np.arange(5, dtype=np.uint32)),
    with_columns(note=["a", "b", "c", "d", "e"]),
    with_columns(flag=[True, False, True, False, True]),
    with_columns(close=pd.array([1.5, None, 2.5, 3.5, 4.5], dtype="Float64")),
], ids=["floats", "reordered", "big-int64", "float32", "uint32", "text-column", "bool-column",
        "nullable"])
@pytest.mark.parametrize("dtypes", [fm.EQUITIES_DTYPE, MIXED_DTYPE, fm.EQUITIES_DTYPE.newbyteorder(">")],
                         ids=["equities", "mixed", "byte-swapped"])
def test_records_of_a_small_frame_equal_those_read_column_by_column(monkeypatch, frame, dtypes):
    stamps = minbar._bar_timestamps(frame, "S1")

    def records(at=None):
        return minbar._bar_records(frame, stamps, "S1", dtypes, fm.convert_dt_to_int, at)

    small = records()
    # The columns found by the positions a fetch takes once: the same records.
    assert records(minbar._positions(frame)).tobytes() == small.tobytes()
    # Through the Series pandas hands out, not the frame's own arrays.
    monkeypatch.setattr(minbar, "_column", lambda df, name, at=None: df[name].to_numpy())
    assert small.tobytes() == records().tobytes()
    for name in ("open", "low", "total_turnover"):
        assert small[name].tolist() == frame[name].to_numpy(dtype=np.float64).tolist()
    close = frame["close"].to_numpy(dtype=np.float64, na_value=np.nan)
    expected = np.where(np.isnan(close), 0, np.rint(close)) if dtypes is MIXED_DTYPE else close
    np.testing.assert_array_equal(small["close"], expected)


def test_small_frame_with_a_repeated_column_name_is_read_as_pandas_reads_it():
    frame = stock_frame()
    frame.columns = ["open", "high", "low", "close", "close", "total_turnover"]
    frame["volume"] = 1.0
    stamps = minbar._bar_timestamps(frame, "S1")
    # pandas hands out both "close" columns: refused as before, not one picked silently
    for at in (None, minbar._positions(frame)):
        with pytest.raises((ValueError, TypeError)):
            minbar._bar_records(frame, stamps, "S1", fm.EQUITIES_DTYPE, fm.convert_dt_to_int, at)


@pytest.mark.parametrize("stamps, tz", [
    (["2024-01-02 09:31", "2024-01-02 15:00", "2024-01-03 00:00", "2024-01-03 09:31"], None),
    (["1969-12-31 23:59", "1970-01-01 00:00", "1960-06-01 12:00"], None),
    (["2024-01-03 09:31", "2024-01-02 23:59:59.999", "2024-01-03 00:00:00.001"], None),
    (["2024-01-02 07:59", "2024-01-02 08:01", "2024-01-03 01:00"], "Asia/Shanghai"),
], ids=["days", "around-1970", "unordered", "time-zone"])
@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_per_date_gives_every_stamps_own_calendar_date(stamps, tz, unit):
    stamps = pd.DatetimeIndex(stamps).as_unit(unit).tz_localize(tz)
    convert = fm.Counted(fm.date_to_number)
    numbers = minbar.per_date(convert, stamps)
    assert numbers.tolist() == [s.year * 10000 + s.month * 100 + s.day for s in stamps]
    # one call per calendar date, given a plain datetime of that date
    dates = {(s.year, s.month, s.day) for s in stamps}
    assert len(convert.calls) == len(dates)
    assert {type(c) for c in convert.calls} == {datetime.datetime}
    assert {(c.year, c.month, c.day) for c in convert.calls} == dates


@pytest.mark.parametrize("stamps", [
    ["2024-01-02 09:31", "2024-02-29 23:59:59", "2024-12-31 00:00", "2025-03-01 21:01"],
    ["1969-12-31 23:59:59.999", "1970-01-01 00:00", "1960-06-01 12:00:00.5"],
    ["2024-01-02 23:59:59.999999", "2024-01-03 00:00:00.001", "2100-02-28 13:45:07.250"],
    # Past a few dates, the dates of runs of bars, and dates one by one (many of them).
    ["2024-01-02 09:{:02d}".format(m) for m in range(30, 50)] + ["2024-01-03 09:30", "1969-12-31 23:00"],
    ["{}-{:02d}-{:02d} 10:00".format(1890 + 13 * i, 1 + i % 12, 1 + i) for i in range(20)],
    ["1965-03-01 00:00", "1965-03-01 09:31:05", "1965-03-01 23:59:59.999"],
], ids=["days", "around-1970", "sub-second", "runs-of-a-day", "many-dates", "one-day"])
@pytest.mark.parametrize("unit", ["s", "us", "ns"])
@pytest.mark.parametrize("name", ["convert_dt_to_int", "date_to_number", "time_to_number"])
def test_the_frameworks_conversions_on_whole_arrays_give_what_each_call_gives(stamps, unit, name):
    from corvane import bundle
    from corvane.updater import stores

    convert = getattr(bundle, name)
    stamps = pd.DatetimeIndex(stamps).as_unit(unit)
    expected = [convert(s) for s in stamps.values.astype("datetime64[us]").tolist()]
    assert stores.array_form(convert) is not None
    assert stores.per_stamp(convert, stamps).tolist() == expected
    # A host's own conversion, even one of the same name, is called per value.
    counted = fm.Counted(convert)
    counted.__name__ = name
    assert stores.array_form(counted) is None
    assert stores.per_stamp(counted, stamps).tolist() == expected and len(counted.calls) == len(stamps)


def test_trading_dates_through_the_frameworks_conversion_equal_its_calls_run_by_run():
    from corvane import bundle

    frame = stock_frame(6)
    # Night bars belong to the next day, and a day may come back after another began.
    frame["trading_date"] = pd.to_datetime(["2024-01-03", "2024-01-03", "2024-01-02", "2024-01-04",
                                            "2024-01-03", "1969-12-31"])
    stamps = minbar._bar_timestamps(frame, "F1")
    counted = fm.Counted(bundle.date_to_number)
    fast = minbar._trading_dates(frame, stamps, bundle.date_to_number, "F1")
    assert fast.tolist() == minbar._trading_dates(frame, stamps, counted, "F1").tolist()
    assert fast.tolist() == [20240103, 20240103, 20240102, 20240104, 20240103, 19691231]



@pytest.mark.parametrize("derivatives, trading", [
    (False, None),
    (True, None),
    (True, ["2024-01-03"] * 3 + ["2024-01-02", "2024-01-04", "2024-01-03", "2024-01-04", "2024-01-04"]),  # one back
], ids=["calendar-dates", "trading-dates", "a-date-back"])
@pytest.mark.parametrize("framework", [True, False], ids=["framework", "host"])
def test_a_fetch_from_the_index_level_itself_equals_one_through_pandas_level_values(derivatives, trading, framework):
    from corvane import bundle

    bars = fm.minute_bars("F1", [(20240103, 3), (20240104, 3)], derivatives=derivatives, night=1 if derivatives else 0)
    if trading is not None:
        bars["trading_date"] = pd.to_datetime(trading)
    client = fm.FakeClient()
    services = fm.make_services(client)
    if framework:
        services = services._replace(convert_dt_to_int=bundle.convert_dt_to_int, date_to_number=bundle.date_to_number)
    dtypes = fm.DERIVATIVES_DTYPE if derivatives else fm.EQUITIES_DTYPE

    def fetched(table):
        client._minute_bars = lambda *args: table
        index, data = minbar.fetch_bars(services, "F1", 20050104, 29991231, dtypes, fm.INDEX_DTYPE)
        return index.tolist(), data.tobytes()

    def in_unit(unit):
        table = bars.copy()
        table.index = pd.MultiIndex.from_arrays([bars.index.get_level_values(0),
                                                 bars.index.get_level_values(1).as_unit(unit)])
        return table

    # A nanosecond level is read as it is; stamps in microseconds have pandas make their values.
    fast, slow = in_unit("ns"), in_unit("us")
    assert stores.wall_clock(fast.index) is not None and stores.wall_clock(slow.index) is None
    assert fetched(fast) == fetched(slow)


@pytest.mark.parametrize("span", ["one-day", "years"])
def test_the_engines_records_of_a_fetch_hold_the_times_the_frameworks_conversion_gives(span):
    from corvane import _engine

    rng = np.random.default_rng(5)
    first, last = (np.datetime64(day, "ns").astype(np.int64) for day in ("1678-01-01", "2262-04-11"))
    for _ in range(200):
        if span == "one-day":
            day = int(rng.integers(first, last)) // 86400000000000 * 86400000000000
            ns = np.sort(day + rng.integers(0, 86400000000000, int(rng.integers(1, 300))))
        else:
            ns = np.sort(rng.integers(first, last, int(rng.integers(1, 300))))
        records = np.zeros(len(ns), dtype=fm.EQUITIES_DTYPE)
        close = rng.normal(size=len(ns))
        _engine.fill_bars(records, ns, [("close", close)])
        assert records["datetime"].tolist() == stores._dt_ints(ns.view("datetime64[ns]")).tolist()
        assert records["close"].tolist() == close.tolist() and not records["open"].any()


@pytest.mark.parametrize("records, ns, columns", [
    (np.zeros(2, fm.DERIVATIVES_DTYPE), np.zeros(2, np.int64), [("open_interest", np.zeros(2))]),
    (np.zeros(2, fm.EQUITIES_DTYPE), np.zeros(2, np.float64), []),
    (np.zeros(2, fm.EQUITIES_DTYPE), np.zeros(1, np.int64), []),
    (np.zeros(2, fm.EQUITIES_DTYPE), np.zeros(2, np.int64), [("open", np.zeros(2, np.float32))]),
    (np.zeros(2, fm.EQUITIES_DTYPE), np.zeros(2, np.int64), [("note", np.zeros(2))]),
], ids=["integer-field", "float-times", "short-times", "float32-column", "no-such-field"])
def test_the_engine_fills_no_record_it_cannot_fill_exactly(records, ns, columns):
    from corvane import _engine

    with pytest.raises((TypeError, ValueError)):
        _engine.fill_bars(records, ns, columns)
