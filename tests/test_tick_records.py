"""Turning one day's tick table into records of the tick reader's type."""
import datetime
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import fake_market as fm
from corvane.updater import tick

Loader = fm.TicksLoader


def records(table, loader=Loader):
    services = fm.make_services(fm.FakeClient())
    return tick.tick_records(services, "S1", table, list(loader.COLUMNS), list(loader.FIELDS),
                             np.dtype(loader.DTYPES))


def test_records_follow_columns_with_scaled_prices_and_converted_stamps():
    table = fm.day_ticks(20240102, 3)
    ticks = records(table)
    assert ticks.dtype == Loader.DTYPES
    assert ticks["date"].tolist() == [20240102] * 3
    assert ticks["time"].tolist() == [93000000, 93003000, 93006000]
    assert ticks["last"].tolist() == [100000, 100100, 100200]
    assert ticks["limit_up"].tolist() == [108900] * 3
    np.testing.assert_array_equal(ticks["volume"], table["volume"])
    np.testing.assert_array_equal(ticks["open_interest"], table["open_interest"])
    np.testing.assert_array_equal(ticks["total_turnover"], table["total_turnover"])


def test_delivered_date_and_time_columns_are_replaced_and_caller_table_kept():
    table = fm.day_ticks(20240102, 2).assign(date=1, time=2)
    ticks = records(table)
    assert ticks["date"].tolist() == [20240102] * 2
    assert ticks["time"].tolist() == [93000000, 93003000]
    assert table["date"].tolist() == [1, 1]


def test_missing_open_interest_is_zero():
    ticks = records(fm.day_ticks(20240102, 2, open_interest=False))
    assert ticks["open_interest"].tolist() == [0, 0]


def test_extra_and_reordered_columns():
    table = fm.day_ticks(20240102, 2)
    table = table[table.columns[::-1]].assign(extra=99.0)
    assert records(table).tobytes() == records(fm.day_ticks(20240102, 2)).tobytes()


def test_zero_ticks_give_zero_records():
    assert len(records(fm.day_ticks(20240102, 0))) == 0


def test_missing_column_raises_naming_it():
    with pytest.raises(KeyError, match="a1_v"):
        records(fm.day_ticks(20240102, 2).drop(columns="a1_v"))


def test_scaled_prices_are_rounded_to_nearest():
    table = fm.day_ticks(20240102, 2)
    table["last"] = [10.0011, 12.3456]  # both land just below the integer when scaled
    assert records(table)["last"].tolist() == [100011, 123456]


def test_undefined_value_in_integer_field_is_zero():
    table = fm.day_ticks(20240102, 2)
    table["a1"] = [np.nan, 10.5]
    table["volume"] = [np.nan, 300.0]
    ticks = records(table)
    assert ticks["a1"].tolist() == [0, 105000]
    assert ticks["volume"].tolist() == [0, 300]


def layout(**attrs):
    return type("BadLoader", (Loader,), attrs)


@pytest.mark.parametrize("tz", [None, "Asia/Shanghai", "America/New_York"])
def test_tick_stamps_reach_the_plug_in_as_wall_clock_datetimes(tz):
    table = fm.day_ticks(20240102, 3)
    table.index = table.index.tz_localize(tz)
    services = fm.make_services(fm.FakeClient())
    ticks = tick.tick_records(services, "S1", table, list(Loader.COLUMNS), list(Loader.FIELDS),
                              np.dtype(Loader.DTYPES))
    assert ticks["date"].tolist() == [20240102] * 3
    assert ticks["time"].tolist() == [93000000, 93003000, 93006000]
    assert {type(value) for value in services.time_to_number.calls} <= {datetime.datetime, pd.Timestamp}


def test_tick_without_a_timestamp_is_refused_naming_the_instrument():
    table = fm.day_ticks(20240102, 2)
    table.index = pd.DatetimeIndex([table.index[0], pd.NaT])
    with pytest.raises(ValueError, match="'S1'.*no timestamp"):
        records(table)


def _scales(make_entry, scale):
    return layout(FIELDS=[make_entry((name, dt, scale)) for name, dt, _ in Loader.FIELDS])


# Any sequence of three items, any scale float() takes, gives the same records.
@pytest.mark.parametrize("make_entry", [tuple, list, lambda entry: np.array(entry, dtype=object)],
                         ids=["tuple", "list", "array"])
@pytest.mark.parametrize("scale", [10000, 10000.0, Decimal("10000"), Fraction(10000), np.int64(10000),
                                   np.float32(10000), np.array(10000)],
                         ids=lambda scale: type(scale).__name__)
def test_every_fields_form_the_reader_allows_gives_the_same_records(make_entry, scale):
    table = fm.day_ticks(20240102, 3)
    assert records(table, _scales(make_entry, scale)).tobytes() == records(table).tobytes()


@pytest.mark.parametrize("loader, message", [
    (layout(FIELDS=Loader.FIELDS + (("last", 10000),)), "triple"),
    (layout(FIELDS=Loader.FIELDS + ("last",)), "triple"),
    (layout(FIELDS=Loader.FIELDS + ("abc",)), "triple"),
    (layout(FIELDS=Loader.FIELDS + ({0: "last", 1: np.int32, 2: 1, 3: 0},)), "triple"),
    (layout(FIELDS=Loader.FIELDS + ({"last": 1, "x": 2, "y": 3},)), "triple"),
    (layout(FIELDS=(("last", np.int32, "10000"),)), "'last'.*not a number"),
    (layout(FIELDS=(("last", np.int32, None),)), "'last'.*not a number"),
    (layout(FIELDS=(("last", np.int32, float("nan")),)), "'last'.*not a finite number"),
    (layout(FIELDS=(("last", np.int32, np.inf),)), "'last'.*not a finite number"),
    (layout(FIELDS=(("mid", np.int32, 10000),)), "'mid' is not a tick column"),
    (layout(DTYPES=np.dtype(Loader.DTYPES.descr[:-1])), "15 fields for 16 columns"),
])
def test_inconsistent_layout_raises(loader, message):
    with pytest.raises(ValueError, match=message):
        records(fm.day_ticks(20240102, 1), loader)


# A plug-in whose record type the engine does not decode alone: a wide scaled
# price and a narrow float, converted after they are read.
WIDE = layout(DTYPES=np.dtype([(name, {"last": "<i8", "total_turnover": "<f4"}.get(name, kind))
                               for name, kind in Loader.DTYPES.descr]))


@pytest.mark.parametrize("loader", [Loader, WIDE], ids=["plain", "wide"])
@pytest.mark.parametrize("days", [[20240102], [20231229, 20240102, 20240103], []], ids=["one", "three", "none"])
def test_records_read_back_as_a_table_give_each_field_its_value_and_type_in_order(tmp_path, monkeypatch, days,
                                                                                  loader):
    from corvane import _engine
    from corvane import layout
    from corvane.read import tables

    monkeypatch.setattr(tables.files, "layouts", lambda layouts=layout.layouts(loader): layouts)
    h5_file = str(tmp_path / "S1.h5")
    frames = [fm.day_ticks(day, 4) for day in days]
    with _engine.File(h5_file) as h5:
        for day, frame in zip(days, frames):
            h5.write_day(str(day), records(frame, loader))
    read = tables.ticks_of_file(h5_file, "S1", None, None, None)
    ticks = records(pd.concat(frames) if days else fm.day_ticks(20240102, 0), loader)
    scales = {name: float(scale) for name, _, scale in loader.FIELDS}
    names = [name for name in ticks.dtype.names if name not in ("date", "time")]
    assert list(read.columns) == ["trading_date"] + names
    for name in names:
        expected = ticks[name] / scales[name] if name in scales else ticks[name]
        if expected.dtype.kind == "f":
            expected = expected.astype(np.float64)
        assert read[name].dtype == expected.dtype and read[name].tolist() == expected.tolist()
    assert read.index.name == "datetime"
    assert read.index.tolist() == [pd.Timestamp(stamp) for frame in frames for stamp in frame.index]