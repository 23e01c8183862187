"""The plug-in's conversions and its tick reader, proved against files written with h5py."""
import datetime
import warnings

import h5py
import numpy as np
import pandas as pd
import pytest

import lumenfeed
from vesper.const import INSTRUMENT_TYPE
from vesper.utils.datetime_func import convert_dt_to_int, convert_int_to_datetime
from vesper_mod_tollbay_data.data_sources.data_store import H5TicksLoader, date_to_number, time_to_number

STAMP = datetime.datetime(2026, 12, 4, 21, 0, 3, 250000)


@pytest.mark.parametrize("value", [STAMP, pd.Timestamp(STAMP), pd.Timestamp(STAMP, tz="Asia/Shanghai")])
def test_conversions(value):
    assert date_to_number(value) == 20261204
    assert time_to_number(value) == 210003250
    assert convert_dt_to_int(value) == 20261204210003
    assert convert_int_to_datetime(20261204210003) == STAMP.replace(microsecond=0)


def test_conversions_of_a_plain_date():
    day = datetime.date(2005, 1, 4)
    assert (date_to_number(day), convert_dt_to_int(day)) == (20050104, 20050104000000)
    with pytest.raises(TypeError):
        time_to_number(day)  # a date has no time of day


NOT_ONE_DATE = [
    np.datetime64(STAMP), np.datetime64("2026-12-04"), pd.DatetimeIndex([STAMP]), pd.Series([STAMP]),
    np.array([STAMP], dtype="datetime64[us]"), 20261204, np.int64(20261204), "20261204", "2026-12-04",
    None, pd.NaT,
]


@pytest.mark.parametrize("conversion", [date_to_number, time_to_number, convert_dt_to_int])
@pytest.mark.parametrize("value", NOT_ONE_DATE, ids=lambda value: type(value).__name__)
def test_conversions_take_one_date_or_timestamp_only(conversion, value):
    with pytest.raises(TypeError):
        conversion(value)


def test_instrument_types_equal_their_text_without_being_text():
    assert INSTRUMENT_TYPE.CS == "CS" and "CS" == INSTRUMENT_TYPE.CS and INSTRUMENT_TYPE.CS != "ETF"
    assert hash(INSTRUMENT_TYPE.OPTION) == hash("OPTION") and "OPTION" in {INSTRUMENT_TYPE.OPTION}
    assert {"FUTURE": 1}[INSTRUMENT_TYPE.FUTURE] == 1 and "%s" % INSTRUMENT_TYPE.ETF == "ETF"
    assert not isinstance(INSTRUMENT_TYPE.CS, str) and INSTRUMENT_TYPE("CS") is INSTRUMENT_TYPE.CS


def test_record_layout():
    dtype = H5TicksLoader.DTYPES
    assert list(dtype.names) == list(H5TicksLoader.COLUMNS)
    assert dtype.itemsize == sum(dtype.fields[name][0].itemsize for name in dtype.names)  # packed
    assert all(dtype.fields[name][0].str[0] in "<|" for name in dtype.names)  # little-endian
    for name, _, scale in H5TicksLoader.FIELDS:
        assert name in H5TicksLoader.COLUMNS and float(scale) == 10000.0
        assert dtype.fields[name][0] == np.dtype("<i4")
    # Triples of more than one kind, scales that are no plain int or float.
    assert {type(entry) for entry in H5TicksLoader.FIELDS} == {tuple, list}
    assert not any(type(entry[2]) in (int, float) for entry in H5TicksLoader.FIELDS)


def write_day(path, key, frame):
    """What a tick writer does: scale, round to the nearest integer, undefined -> 0."""
    scales = {name: float(scale) for name, _, scale in H5TicksLoader.FIELDS}
    records = np.zeros(len(frame), dtype=H5TicksLoader.DTYPES)
    for name in H5TicksLoader.COLUMNS:
        values = frame[name].to_numpy(dtype=np.float64) * scales.get(name, 1.0)
        if records.dtype.fields[name][0].kind in "iu":
            values = np.where(np.isnan(values), 0.0, np.round(values))
        records[name] = values
    with h5py.File(path, "a") as h5:
        h5.create_dataset(key, data=records, maxshape=(None,), compression="gzip")


def demo_day(oid, day):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    ticks = lumenfeed.get_price(oid, day, day, frequency="tick", adjust_type="none")
    ticks = ticks.assign(date=[date_to_number(t) for t in ticks.index], time=[time_to_number(t) for t in ticks.index])
    if "open_interest" not in ticks:
        ticks["open_interest"] = 0
    return ticks[H5TicksLoader.COLUMNS].reset_index(drop=True)


@pytest.mark.parametrize("oid", ["10001.HBX", "IX001.HBX", "QK2703.QFX"])
def test_reader_returns_what_was_written(tmp_path, monkeypatch, oid):
    monkeypatch.setenv("LUMENFEED_ASOF", "20261207")
    ticks = demo_day(oid, datetime.date(2026, 12, 7))
    write_day(tmp_path / (oid + ".h5"), "20261207", ticks)
    read = H5TicksLoader(str(tmp_path)).get_ticks(oid, 20261207)
    assert list(read.columns) == H5TicksLoader.COLUMNS
    expected = ticks.fillna(0)  # an index has no order book: NaN is stored as 0
    for name in H5TicksLoader.COLUMNS:  # prices come back as the very floats the client gave
        assert (read[name].to_numpy(dtype=np.float64) == expected[name].to_numpy(dtype=np.float64)).all(), name
    assert read["time"].iloc[0] in (93000000, 210000000)


def test_reader_undoes_scales_and_finds_days(tmp_path):
    frame = pd.DataFrame({name: [0.0, 0.0] for name in H5TicksLoader.COLUMNS})
    frame["date"] = [20261207, 20261207]
    frame["time"] = [93000000, 93003000]
    frame["last"] = [12.34, 214748.3647]     # the largest price the record holds
    frame["a1"] = [0.0001, np.nan]          # undefined -> 0
    frame["volume"] = [100, 300]
    frame["total_turnover"] = [1234.0, 0.5]
    write_day(tmp_path / "X.h5", "20261207", frame)
    write_day(tmp_path / "X.h5", "20261204", frame.iloc[:0])
    loader = H5TicksLoader(tmp_path)
    read = loader.get_ticks("X", datetime.date(2026, 12, 7))
    assert read["last"].tolist() == [12.34, 214748.3647] and read["a1"].tolist() == [0.0001, 0.0]
    assert read["volume"].tolist() == [100, 300] and read["total_turnover"].tolist() == [1234.0, 0.5]
    assert read["date"].tolist() == [20261207] * 2
    assert len(loader.get_ticks("X", "2026-12-04")) == 0
    assert loader.available_dates("X") == [20261204, 20261207]
    assert loader.get_ticks("X", 20261203) is None and loader.get_ticks("Y", 20261207) is None


def test_reader_refuses_records_without_a_column(tmp_path):
    with h5py.File(tmp_path / "X.h5", "w") as h5:
        h5.create_dataset("20261207", data=np.zeros(3, dtype=[("date", "<u4"), ("time", "<u4")]))
    with pytest.raises(ValueError, match="lack the fields"):
        H5TicksLoader(tmp_path).get_ticks("X", 20261207)
