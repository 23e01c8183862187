"""`corvane.read`: bars and ticks back as tables, on bundles written by the engine."""
import datetime
import os

import numpy as np
import pandas as pd
import pytest

import corvane.bundle as bundle
from corvane import _engine, read
from corvane.bundle_files import BundleError
from looking import BARS_PER_DAY, DAYS, SCALES, TICK_DAYS, bars, make_bundle, ticks, write_minbar


@pytest.fixture
def made(tmp_path):
    return make_bundle(tmp_path)


@pytest.fixture
def minbar(tmp_path, made):
    return str(tmp_path / "minbar")


@pytest.mark.parametrize("start, end, days", [
    (None, None, DAYS),
    (DAYS[1], None, DAYS[1:]),
    (None, DAYS[1], DAYS[:2]),
    (DAYS[1], DAYS[1], DAYS[1:2]),
    (datetime.date(2025, 1, 3), "20250106", DAYS[1:]),
    (pd.Timestamp("2025-01-04"), datetime.datetime(2025, 1, 5), []),  # a weekend holds nothing
    (20240101, 20241231, []),
])
def test_bars_of_a_date_range(minbar, start, end, days):
    table = read.bars(minbar, "ST1", start, end)
    _, data = bars(bundle.EQUITIES_DTYPE)
    stored = [k for k, day in enumerate(np.repeat(DAYS, BARS_PER_DAY)) if day in days]
    expected = data[stored]
    assert list(table.columns) == ["trading_date", "open", "high", "low", "close", "volume", "total_turnover"]
    assert table.index.name == "datetime"
    assert table["trading_date"].tolist() == [day for day in days for _ in range(BARS_PER_DAY)]
    for name in ("open", "high", "low", "close", "volume", "total_turnover"):
        assert table[name].tolist() == expected[name].tolist()
    assert [stamp.strftime("%Y%m%d%H%M%S") for stamp in table.index] == [str(v) for v in expected["datetime"]]


def test_derivative_bars_keep_open_interest_integer(minbar):
    table = read.bars(minbar, "FU1", fields=["close", "open_interest"])
    assert list(table.columns) == ["trading_date", "close", "open_interest"]
    assert table["open_interest"].dtype == np.int64
    assert len(table) == len(DAYS) * BARS_PER_DAY


def test_trading_date_comes_from_the_index_not_the_bar_time(tmp_path):
    # A night session: bars of the evening before belong to the next trading date.
    index, data = bars(bundle.DERIVATIVES_DTYPE, [20250102, 20250103], per_day=2)
    data["datetime"] = [20250102093100, 20250102093200, 20250102210100, 20250103090100]
    index["line_no"] = [0, 2]
    path = tmp_path / "minbar" / "future" / "NI1.h5"
    os.makedirs(path.parent)
    with _engine.File(str(path)) as h5:
        h5.append_minbar(index, data)
    table = read.bars(str(tmp_path / "minbar"), "NI1", 20250103, 20250103)
    assert table["trading_date"].tolist() == [20250103, 20250103]
    assert table.index.tolist() == [pd.Timestamp("2025-01-02 21:01"), pd.Timestamp("2025-01-03 09:01")]


@pytest.mark.parametrize("call, message", [
    (lambda p: read.bars(p, "NOPE"), "no file for NOPE"),
    (lambda p: read.bars(p, "ST1", 20250106, 20250102), "after end"),
    (lambda p: read.bars(p, "ST1", "2025-01-02"), "YYYYMMDD"),
    (lambda p: read.bars(p, "ST1", 20251301), "YYYYMMDD"),
    (lambda p: read.bars(p, "ST1", fields=["close", "bid"]), "no field 'bid'"),
    (lambda p: read.bars(p, "../ST1"), "unsafe"),
])
def test_bad_requests_are_refused_in_one_line(minbar, call, message):
    with pytest.raises(ValueError, match=message) as error:
        call(minbar)
    assert "\n" not in str(error.value)


def test_a_file_without_bars_is_refused(minbar):
    with _engine.File(os.path.join(minbar, "equities", "EMPTY.h5")) as h5:
        h5.create_dataset("other", np.zeros(1, dtype=bundle.INDEX_DTYPE))
    with pytest.raises(BundleError, match="holds no bars"):
        read.bars(minbar, "EMPTY")


def test_bars_of_a_tick_directory_are_refused(tmp_path, made):
    with pytest.raises(BundleError):
        read.bars(str(tmp_path / "tick"), "ST1")


def test_many_instruments_read_as_each_alone(minbar):
    write_minbar(os.path.join(minbar, "equities", "ST2.h5"), bundle.EQUITIES_DTYPE, DAYS[1:])
    many = read.bars_many(minbar, ["ST2", "ST1", "FU1"], DAYS[1], DAYS[2], threads=3)
    assert list(many) == ["ST2", "ST1", "FU1"]
    for order_book_id, table in many.items():
        pd.testing.assert_frame_equal(table, read.bars(minbar, order_book_id, DAYS[1], DAYS[2]))


@pytest.mark.parametrize("start, end, days", [
    (None, None, TICK_DAYS),
    (TICK_DAYS[1], None, TICK_DAYS[1:]),
    (None, 20250102, TICK_DAYS[:1]),
    (20250104, None, []),
])
def test_ticks_are_divided_back_and_dated(tmp_path, made, start, end, days):
    table = read.ticks(str(tmp_path / "tick"), "ST1", start, end)
    stored = np.concatenate([ticks(day) for day in days]) if days else ticks(TICK_DAYS[0])[:0]
    assert table["trading_date"].tolist() == [int(day) for day in days for _ in range(len(ticks(day)))]
    for name, scale in SCALES.items():
        assert table[name].tolist() == (stored[name] / scale).tolist()
    assert table["volume"].tolist() == stored["volume"].tolist()
    assert "date" not in table and "time" not in table
    if days:
        assert table.index[1] == pd.Timestamp("{} 09:30:03".format(days[0]))


def test_index_of_each_kind(tmp_path, made):
    minbar = read.index(str(tmp_path / "minbar"), "ST1")
    assert minbar.to_dict("list") == {"date": DAYS, "line_no": [0, 4, 8], "rows": [BARS_PER_DAY] * 3}
    tick = read.index(str(tmp_path / "tick"), "ST1")
    assert tick.to_dict("list") == {"date": [int(day) for day in TICK_DAYS], "rows": [5, 5]}


def test_listing_says_what_inspect_counts(tmp_path, made):
    table = read.listing(str(tmp_path / "minbar"))
    assert table[["order_book_id", "kind", "rows", "days", "first", "last"]].values.tolist() == [
        ["ST1", "equities", len(DAYS) * BARS_PER_DAY, len(DAYS), DAYS[0], DAYS[-1]],
        ["FU1", "future", len(DAYS) * BARS_PER_DAY, len(DAYS), DAYS[0], DAYS[-1]],
    ]
    assert read.listing(str(tmp_path / "tick"))["kind"].tolist() == ["ticks"]
