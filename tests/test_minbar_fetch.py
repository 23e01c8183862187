"""Fetching minute bars from the client and turning them into index and records."""
import datetime

import numpy as np
import pandas as pd
import pytest

import fake_market as fm
from corvane.updater import minbar


def fetch(client, start_date=20050104, dtypes=fm.EQUITIES_DTYPE, order_book_id="S1"):
    services = fm.make_services(client)
    index, data = minbar.fetch_bars(services, order_book_id, start_date, 29991231, dtypes, fm.INDEX_DTYPE)
    return services, index, data


def stock_client(days):
    client = fm.FakeClient({"S1": fm.InsType.CS})
    client.bars["S1"] = fm.minute_bars("S1", days)
    return client


def test_asks_the_client_with_exactly_the_agreed_keywords():
    client = stock_client([(20240102, 3)])
    fetch(client, start_date=20240102)
    assert client.calls == [("get_price", ("S1",), [
        ("start_date", 20240102), ("end_date", 29991231), ("frequency", "1m"),
        ("adjust_type", "none"), ("expect_df", True)])]


@pytest.mark.parametrize("answer", [None, fm.minute_bars("S1", [(20240102, 1)]).iloc[:0]])
def test_no_bars_gives_none_pair_without_further_calls(monkeypatch, answer):
    client = fm.FakeClient({"S1": fm.InsType.CS})
    monkeypatch.setattr(client, "_minute_bars", lambda *args: answer)
    services, index, data = fetch(client)
    assert (index, data) == (None, None)
    assert len(client.calls) == 1
    assert not (services.convert_dt_to_int.calls or services.date_to_number.calls)


def test_three_dates_give_first_row_of_each_date():
    client = stock_client([(20240102, 240), (20240103, 240), (20240104, 10)])
    _, index, data = fetch(client)
    assert len(data) == 490 and data.dtype == fm.EQUITIES_DTYPE
    assert index.dtype == fm.INDEX_DTYPE
    assert index["date"].tolist() == [20240102, 20240103, 20240104]
    assert index["line_no"].tolist() == [0, 240, 480]


def test_records_hold_the_client_values_and_framework_datetime():
    client = fm.FakeClient({"F1": fm.InsType.FUTURE})
    bars = client.bars["F1"] = fm.minute_bars("F1", [(20240102, 4)], derivatives=True)
    services, _, data = fetch(client, dtypes=fm.DERIVATIVES_DTYPE, order_book_id="F1")
    stamps = bars.index.get_level_values(1)
    assert data["datetime"].tolist() == [fm.convert_dt_to_int(t) for t in stamps]
    for name in ("open", "high", "low", "close", "volume", "total_turnover", "open_interest"):
        np.testing.assert_array_equal(data[name], bars[name].to_numpy())
    # the client's trading dates are converted once each, not once per bar
    assert len(services.date_to_number.calls) == 1


def test_night_session_bars_count_under_the_clients_trading_date():
    client = fm.FakeClient({"F1": fm.InsType.FUTURE})
    client.bars["F1"] = fm.minute_bars("F1", [(20240103, 5), (20240104, 5)], derivatives=True, night=3)
    _, index, data = fetch(client, dtypes=fm.DERIVATIVES_DTYPE, order_book_id="F1")
    assert index["date"].tolist() == [20240103, 20240104]
    # the 20240104 record points at its first night bar, on the evening of 20240103
    assert index["line_no"].tolist() == [0, 8]
    assert data["datetime"][8] == 20240103210100


def test_equity_trading_date_is_the_bars_calendar_date():
    client = stock_client([(20240102, 2), (20240103, 2)])
    services, index, _ = fetch(client)
    assert index["date"].tolist() == [20240102, 20240103]
    assert len(services.date_to_number.calls) == 2


def test_a_trading_date_that_comes_back_gets_no_second_record():
    client = fm.FakeClient({"F1": fm.InsType.FUTURE})
    bars = fm.minute_bars("F1", [(20240102, 2), (20240103, 2), (20240104, 2)], derivatives=True)
    bars["trading_date"] = pd.to_datetime(["2024-01-02"] * 2 + ["2024-01-03"] * 2 + ["2024-01-02"] * 2)
    client.bars["F1"] = bars
    _, index, _ = fetch(client, dtypes=fm.DERIVATIVES_DTYPE, order_book_id="F1")
    assert index.tolist() == [(20240102, 0), (20240103, 2)]


def test_undefined_open_interest_is_stored_as_zero():
    client = fm.FakeClient({"F1": fm.InsType.FUTURE})
    bars = fm.minute_bars("F1", [(20240102, 3)], derivatives=True)
    bars["open_interest"] = [np.nan, 12.0, np.nan]
    client.bars["F1"] = bars
    _, _, data = fetch(client, dtypes=fm.DERIVATIVES_DTYPE, order_book_id="F1")
    assert data["open_interest"].tolist() == [0, 12, 0]


@pytest.mark.parametrize("rows, message", [
    ([0, 1, 2, 2], "repeated timestamp"),
    ([0, 0, 1, 2], "repeated timestamp"),
    ([2, 1, 0], "not in ascending order"),
    ([0, 2, 1], "not in ascending order"),
    ([0, 1, 2, 0], "not in ascending order"),   # repeated, but apart
])
def test_bars_out_of_time_order_raise_naming_the_instrument(rows, message):
    client = stock_client([(20240102, 3)])
    client.bars["S1"] = client.bars["S1"].iloc[rows]
    with pytest.raises(ValueError, match="S1.*" + message):
        fetch(client)


def test_missing_column_raises_naming_it():
    client = stock_client([(20240102, 3)])
    client.bars["S1"] = client.bars["S1"].drop(columns="total_turnover")
    with pytest.raises(KeyError, match="total_turnover"):
        fetch(client)


@pytest.mark.parametrize("values, dtype, expected", [
    ([100000.99999999, -2.5, 3.5], "<i4", [100001, -2, 4]),   # nearest, ties to even
    ([np.nan, 7.0], "<i8", [0, 7]),
    ([1.25, np.nan], "<f8", [1.25, np.nan]),
])
def test_to_field_rounds_integers_and_zeroes_undefined(values, dtype, expected):
    np.testing.assert_array_equal(minbar.to_field(np.array(values), dtype, "x"), expected)


@pytest.mark.parametrize("value", [np.inf, 2.0 ** 31, -(2.0 ** 31) - 1])
def test_to_field_refuses_values_outside_the_integer_field(value):
    with pytest.raises(ValueError, match="'x'"):
        minbar.to_field(np.array([value]), "<i4", "x")


@pytest.mark.parametrize("order_book_id", ["", ".", "..", "a/b", "/abs", "x\0y"])
def test_instrument_file_refuses_unsafe_identifiers(order_book_id):
    with pytest.raises(ValueError, match="unsafe order_book_id"):
        minbar.instrument_file("/bundle", order_book_id)


@pytest.mark.parametrize("file_name, expected", [(None, "S1.h5"), ("", "S1.h5"), ("mine.h5", "mine.h5")])
def test_instrument_file_name(file_name, expected):
    assert minbar.instrument_file("/bundle", "S1", file_name) == "/bundle/" + expected


@pytest.mark.parametrize("slice_rows", [1, 3, 7, 100])
def test_per_stamp_converts_every_stamp_across_slices(slice_rows):
    stamps = pd.date_range("2024-01-02 09:31", periods=7, freq="min")
    out = np.full(7, -1, dtype=np.int64)
    minbar.per_stamp(fm.convert_dt_to_int, stamps, out=out, slice_rows=slice_rows)
    assert out.tolist() == [fm.convert_dt_to_int(s) for s in stamps]


@pytest.mark.parametrize("tz", [None, "Asia/Shanghai"])
def test_per_stamp_gives_the_conversion_wall_clock_datetimes(tz):
    stamps = pd.DatetimeIndex(["2024-01-02 09:31:00.250", "2024-01-02 21:05:07"]).tz_localize(tz)
    seen = []
    minbar.per_stamp(lambda dt: seen.append(dt) or 0, stamps)
    assert [type(dt) for dt in seen] == [datetime.datetime] * 2
    assert [(dt.hour, dt.minute, dt.second, dt.microsecond) for dt in seen] == [(9, 31, 0, 250000), (21, 5, 7, 0)]
    assert [dt.utcoffset() for dt in seen] == [stamp.utcoffset() for stamp in stamps]


def fetch_served(table, order_book_id="F1", dtypes=fm.DERIVATIVES_DTYPE):
    """Fetch with a client that serves `table` as it is, whatever the range."""
    client = fm.FakeClient()
    client._minute_bars = lambda *args: table
    return fetch(client, dtypes=dtypes, order_book_id=order_book_id)


def _trading_date_as(form, column):
    """The client's "trading_date" column in one of the forms a client may use."""
    stamps = pd.DatetimeIndex(column)
    if form == "datetime64":
        return stamps
    if form == "Timestamps":
        return pd.Series(list(stamps), dtype=object, index=column.index)
    if form == "dates":
        return pd.Series([stamp.date() for stamp in stamps], dtype=object, index=column.index)
    if form == "datetimes":
        return pd.Series(list(stamps.to_pydatetime()), dtype=object, index=column.index)
    if form == "datetime64[s]":
        return stamps.as_unit("s")
    return stamps.tz_localize(form)


# The plug-in promises to take one date or timestamp: a numpy value, however
# its column holds it, is neither (the strict fake reads `.year` and friends).
@pytest.mark.parametrize("form", ["datetime64", "datetime64[s]", "Timestamps", "dates", "datetimes",
                                  "Asia/Shanghai"])
@pytest.mark.parametrize("bar_tz", [None, "Asia/Shanghai"])
def test_night_session_trading_dates_in_any_form_reach_the_plug_in_as_dates(form, bar_tz):
    bars = fm.minute_bars("F1", [(20240103, 5), (20240104, 5)], derivatives=True, night=3)
    wall_clock = bars.index.get_level_values(1)
    bars.index = pd.MultiIndex.from_arrays([bars.index.get_level_values(0), wall_clock.tz_localize(bar_tz)])
    services, index, data = fetch_served(bars.assign(trading_date=_trading_date_as(form, bars["trading_date"])))
    assert index.tolist() == [(20240103, 0), (20240104, 8)]
    assert data["datetime"].tolist() == [fm.convert_dt_to_int(t) for t in wall_clock]
    seen = services.date_to_number.calls + services.convert_dt_to_int.calls
    assert {type(value) for value in seen} <= {datetime.date, datetime.datetime, pd.Timestamp}
    assert len(services.date_to_number.calls) == 2


@pytest.mark.parametrize("change, error, message", [
    (lambda bars: bars.assign(trading_date=["20240102"] * len(bars)), TypeError, "'20240102' is not a date"),
    (lambda bars: bars.assign(trading_date=[20240102] * len(bars)), TypeError, "20240102.* is not a date"),
    (lambda bars: bars.assign(trading_date=pd.to_datetime(["2024-01-02", None, "2024-01-02"])),
     ValueError, "no trading_date"),
    (lambda bars: bars.assign(trading_date=pd.Series([pd.Timestamp("2024-01-02"), None, None],
                                                     dtype=object, index=bars.index)),
     ValueError, "no trading_date"),
    (lambda bars: bars.set_axis(pd.MultiIndex.from_arrays(
        [bars.index.get_level_values(0), pd.to_datetime([None, "2024-01-02 09:31", "2024-01-02 09:32"])]),
        axis=0), ValueError, "no timestamp"),
])
def test_bars_the_plug_in_cannot_take_are_refused_naming_the_instrument(change, error, message):
    with pytest.raises(error, match="'F1'.*" + message):
        fetch_served(change(fm.minute_bars("F1", [(20240102, 3)], derivatives=True)))
