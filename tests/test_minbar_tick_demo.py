"""Round trips with the stand-in demo market: what the client serves is what the files hold."""
import datetime
import warnings

import h5py
import numpy as np
import pandas as pd
import pytest

lumenfeed = pytest.importorskip("lumenfeed")
bundle = pytest.importorskip("corvane.bundle")

from corvane.updater import minbar  # noqa: E402
from corvane.updater import tick  # noqa: E402
from corvane.updater.services import Services  # noqa: E402

FIRST_ASOF, LATER_ASOF = "20240308", "20240314"


@pytest.fixture
def demo(monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", FIRST_ASOF)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    return Services(client=lumenfeed, instrument_type=bundle.INSTRUMENT_TYPE,
                    convert_dt_to_int=bundle.convert_dt_to_int, date_to_number=bundle.date_to_number,
                    time_to_number=bundle.time_to_number, ticks_loader=bundle.H5TicksLoader,
                    echo=print, equities_types=bundle.EQUITIES_INS_TYPE)


def trading_days(first, last):
    return [int(d.strftime("%Y%m%d")) for d in lumenfeed.get_trading_dates(first, last)]


def pick(ins_type, trading_from):
    """An instrument of `ins_type` trading over the whole test window, one
    with a night session first (its bars cross calendar dates)."""
    listed = lumenfeed.all_instruments()
    # Cell by cell: a pyarrow-backed string column refuses to compare with an enum member.
    listed = listed[[cell == ins_type for cell in listed["type"]]]
    night = listed.get("trading_hours", pd.Series("", index=listed.index)).astype(str).str.startswith("21")
    for row in pd.concat([listed[night], listed[~night]]).itertuples():
        if pd.Timestamp(row.listed_date) <= pd.Timestamp(str(trading_from)) and (
                pd.isna(row.de_listed_date) or pd.Timestamp(row.de_listed_date) > pd.Timestamp("20240401")):
            return row.order_book_id
    pytest.skip("the demo market has no {} trading over the window".format(ins_type))


def append_minbar(services, order_book_id, path, min_start_date):
    minbar.append_h5(services, order_book_id, str(path), None, min_start_date, bundle.MAX_END_DATE)


def served_bars(order_book_id, start_date, dtype):
    """What the client serves from `start_date` on, as the store should record it."""
    df = lumenfeed.get_price(order_book_id, start_date=start_date, end_date=bundle.MAX_END_DATE,
                             frequency="1m", adjust_type="none", expect_df=True)
    stamps = df.index.get_level_values(1)
    dates = df["trading_date"] if "trading_date" in df.columns else stamps
    trading = np.array([bundle.date_to_number(d) for d in dates])
    fields = {name: df[name].to_numpy() for name in dtype.names if name != "datetime"}
    fields["datetime"] = np.array([bundle.convert_dt_to_int(t) for t in stamps])
    first_days, first_rows = np.unique(trading, return_index=True)
    return fields, first_days.tolist(), sorted(first_rows.tolist())


def assert_stored(data, index, served, offset=0):
    fields, days, first_rows = served
    assert len(data) == len(fields["datetime"])
    for name, values in fields.items():
        np.testing.assert_array_equal(data[name], values, err_msg=name)
    assert index["date"].tolist() == days
    assert index["line_no"].tolist() == [row + offset for row in first_rows]


def read(h5_file):
    with h5py.File(h5_file, "r") as f:
        return f["data"][()], f["index"][()]


@pytest.mark.parametrize("ins_type, sub_dir", [("CS", "equities"), ("FUTURE", "future")])
def test_new_instrument_then_update_appends_exactly_the_new_days(demo, monkeypatch, tmp_path,
                                                                  ins_type, sub_dir):
    first_day = trading_days("20240301", FIRST_ASOF)[2]
    order_book_id = pick(getattr(bundle.INSTRUMENT_TYPE, ins_type), first_day)
    h5_file = tmp_path / sub_dir / "{}.h5".format(order_book_id)
    append_minbar(demo, order_book_id, tmp_path, first_day)
    data, index = read(h5_file)
    dtype = data.dtype
    assert_stored(data, index, served_bars(order_book_id, first_day, dtype))
    assert index["date"].tolist() == trading_days(first_day, FIRST_ASOF)

    monkeypatch.setenv("LUMENFEED_ASOF", LATER_ASOF)
    append_minbar(demo, order_book_id, tmp_path, first_day)
    new_data, new_index = read(h5_file)
    assert new_data[:len(data)].tobytes() == data.tobytes()
    assert new_index[:len(index)].tobytes() == index.tobytes()
    new_days = trading_days(FIRST_ASOF, LATER_ASOF)[1:]
    assert_stored(new_data[len(data):], new_index[len(index):],
                  served_bars(order_book_id, new_days[0], dtype), offset=len(data))
    assert new_index["date"].tolist()[len(index):] == new_days


def test_ticks_read_back_by_the_tick_reader_equal_the_clients(demo, tmp_path):
    days = trading_days("20240301", FIRST_ASOF)[-2:]
    order_book_id = pick(bundle.INSTRUMENT_TYPE.FUTURE, days[0])
    tick.append_h5_tick(demo, order_book_id, str(tmp_path), None, days[0], bundle.MAX_END_DATE)
    loader = bundle.H5TicksLoader(str(tmp_path))
    scaled = {entry[0] for entry in bundle.H5TicksLoader.FIELDS}
    for day in days:
        calendar_day = datetime.datetime.strptime(str(day), "%Y%m%d").date()
        served = lumenfeed.get_price(order_book_id, calendar_day, calendar_day, frequency="tick",
                                     adjust_type="none")
        stored = loader.get_ticks(order_book_id, day)
        assert len(stored) == len(served) > 0
        assert stored["date"].tolist() == [bundle.date_to_number(t) for t in served.index]
        assert stored["time"].tolist() == [bundle.time_to_number(t) for t in served.index]
        for name in served.columns:
            if name in scaled:
                np.testing.assert_allclose(stored[name], served[name], rtol=0, atol=1e-9, err_msg=name)
            else:
                np.testing.assert_array_equal(stored[name], served[name], err_msg=name)
