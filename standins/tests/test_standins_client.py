"""Contract of the demo market-data client: the calls and result shapes the bundle relies on."""
import datetime
import warnings

import numpy as np
import pandas as pd
import pytest

import lumenfeed
from vesper.const import INSTRUMENT_TYPE as T
from vesper_mod_tollbay_data.data_sources.data_store import H5TicksLoader

ASOF = "20261207"  # a Monday
STORED_TYPES = {T.CS, T.FUTURE, T.ETF, T.LOF, T.INDX, T.OPTION, T.CONVERTIBLE}


@pytest.fixture
def client(monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", ASOF)
    monkeypatch.delenv("LUMENFEED_TICK_DAYS", raising=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    return lumenfeed


def minute_bars(client, oid, start, end):
    return client.get_price(oid, start_date=start, end_date=end, frequency="1m", adjust_type="none",
                            expect_df=True)


# --------------------------------------------------------------------------- init

@pytest.mark.parametrize("call", [
    lambda: lumenfeed.all_instruments(),
    lambda: lumenfeed.instruments("10001.HBX"),
    lambda: lumenfeed.get_next_trading_date(20260105),
    lambda: lumenfeed.get_price("10001.HBX", 20260105, 20260105),
])
def test_calls_before_init_raise(monkeypatch, call):
    monkeypatch.setattr(lumenfeed, "_initialized", False)
    with pytest.raises(lumenfeed.NotInitializedError, match=r"init\(\)"):
        call()
    assert issubclass(lumenfeed.NotInitializedError, RuntimeError)


def test_init_warns_every_time_and_is_idempotent(monkeypatch):
    monkeypatch.setattr(lumenfeed, "_initialized", False)
    for _ in range(2):
        with pytest.warns(UserWarning, match="demo market"):
            assert lumenfeed.init() is None
    assert lumenfeed.get_next_trading_date(20260102) == datetime.date(2026, 1, 5)


# --------------------------------------------------------------------------- listings

def test_listings(client):
    df = client.all_instruments()
    for column in ("order_book_id", "symbol", "type", "listed_date", "de_listed_date", "underlying_symbol",
                   "underlying_order_book_id"):
        assert column in df.columns
    assert df["order_book_id"].is_unique
    # The types' text in a string column, equal to (and hashing like) the
    # members, which are no str themselves.
    assert df["type"].dtype == "string" and not isinstance(T.CS, str)
    types = set(df["type"])
    assert STORED_TYPES <= types and types - STORED_TYPES  # and something the bundle does not store
    oldest = df.loc[df["listed_date"].idxmin()]
    assert (oldest["type"], oldest["listed_date"]) == (T.CS, pd.Timestamp("2005-01-04"))

    options = client.all_instruments(T.OPTION)
    futures = client.all_instruments(T.FUTURE)
    assert set(options["type"]) == {T.OPTION} and set(futures["type"]) == {T.FUTURE}
    assert set(options["order_book_id"]) | set(futures["order_book_id"]) <= set(df["order_book_id"])
    kind = dict(zip(df["order_book_id"], df["type"]))
    # Options on a fund and on a future; futures on an index, a stock, and on nothing listed.
    assert {kind[oid] for oid in options["underlying_order_book_id"]} == {T.ETF, T.FUTURE}
    futures_on = {kind.get(oid) for oid in futures["underlying_order_book_id"]}
    assert {T.INDX, T.CS, None} <= futures_on
    assert futures.groupby("underlying_symbol").size().min() >= 3


def test_instrument_record(client):
    record = client.instruments("10001.HBX")
    assert record.type == T.CS and record.type == "CS"
    assert (record.order_book_id, record.listed_date, record.de_listed_date) == \
        ("10001.HBX", datetime.date(2005, 1, 4), None)
    future = client.all_instruments(T.FUTURE).iloc[0]
    record = client.instruments(future["order_book_id"])
    assert record.type == T.FUTURE and record.underlying_symbol == future["underlying_symbol"]
    assert client.instruments("NOPE.HBX") is None


@pytest.mark.parametrize("given, expected", [
    (20261204, datetime.date(2026, 12, 7)),                       # Friday -> Monday
    (20261205, datetime.date(2026, 12, 7)),                       # from a Saturday
    (20260930, datetime.date(2026, 10, 8)),                       # over the October holiday
    (20261231, datetime.date(2027, 1, 4)),                        # beyond the as-of date, over New Year
    (20041231, datetime.date(2005, 1, 4)),
])
def test_next_trading_date(client, given, expected):
    assert client.get_next_trading_date(given) == expected


@pytest.mark.parametrize("given, error", [
    # Only a plain integer date is promised.
    ("20261204", TypeError), (datetime.date(2026, 12, 4), TypeError), (np.int64(20261204), TypeError),
    (np.datetime64("2026-12-04"), TypeError), (True, TypeError), (2026124, ValueError),
])
def test_next_trading_date_takes_only_a_plain_integer_date(client, given, error):
    with pytest.raises(error):
        client.get_next_trading_date(given)


# --------------------------------------------------------------------------- minute bars

def test_equity_minute_bars(client):
    df = minute_bars(client, "10001.HBX", 20261202, 20261204)
    assert df.index.nlevels == 2 and df.index.names == ["order_book_id", "datetime"]
    assert set(df.index.get_level_values(0)) == {"10001.HBX"}
    stamps = df.index.get_level_values(1)
    assert stamps.is_unique and stamps.is_monotonic_increasing
    assert list(df.columns) == ["open", "high", "low", "close", "volume", "total_turnover"]
    per_day = stamps.normalize().value_counts().sort_index()
    assert list(per_day) == [240, 240, 240]
    times = sorted(set(stamps.strftime("%H:%M")))
    assert (times[0], times[-1]) == ("09:31", "15:00") and "11:30" in times and "13:01" in times
    assert "11:31" not in times and "13:00" not in times
    assert (df["high"] >= df[["open", "close"]].max(axis=1)).all()
    assert (df["low"] <= df[["open", "close"]].min(axis=1)).all()
    cents = df[["open", "high", "low", "close"]].to_numpy() * 100
    assert np.allclose(cents, np.round(cents), atol=1e-6)
    assert (df["volume"] % 100 == 0).all() and (df["volume"] > 0).all()
    ratio = df["total_turnover"] / (df["volume"] * (df["high"] + df["low"]) / 2)
    assert ratio.between(0.98, 1.02).all()


def test_future_minute_bars_with_night_session(client):
    df = minute_bars(client, "QK2703.QFX", 20261007, 20261012)  # 8 Oct follows the holiday
    assert {"open_interest", "trading_date"} <= set(df.columns)
    stamps = df.index.get_level_values(1)
    assert stamps.is_unique and stamps.is_monotonic_increasing
    trading = pd.DatetimeIndex(df["trading_date"])
    counts = trading.value_counts().sort_index()
    assert list(counts.index.strftime("%Y%m%d")) == ["20261008", "20261009", "20261012"]
    assert list(counts) == [225, 345, 345]  # no night session after the holiday
    night = stamps.hour >= 21
    # Friday night's bars belong to Monday; Thursday night's to Friday.
    assert set(zip(stamps[night].strftime("%Y%m%d"), trading[night].strftime("%Y%m%d"))) == \
        {("20261008", "20261009"), ("20261009", "20261012")}
    assert stamps[night].min().strftime("%H:%M") == "21:01"
    assert (trading[~night].normalize() == stamps[~night].normalize()).all()
    assert df["open_interest"].dtype.kind == "i" and (df["open_interest"] >= 0).all()


def test_daily_listing(client):
    df = client.get_price("10003.HBX", "20250301", 20250331)
    assert isinstance(df.index, pd.DatetimeIndex) and (df.index == df.index.normalize()).all()
    expected = client.get_trading_dates(20250301, 20250331)
    assert [day.date() for day in df.index] == expected
    # The suspension (10-21 March) is listed, flat and without volume.
    halted = df.loc["2025-03-10":"2025-03-21"]
    assert len(halted) == 10 and (halted["volume"] == 0).all() and (halted["high"] == halted["low"]).all()
    two = client.get_price("10001.HBX", 20261201, 20261207, expect_df=True)
    assert two.index.names == ["order_book_id", "date"]


def test_daily_agrees_with_minute_bars(client):
    daily = client.get_price("QK2703.QFX", 20261130, 20261204)
    bars = minute_bars(client, "QK2703.QFX", 20261130, 20261204)
    by_day = bars.groupby("trading_date")
    assert np.allclose(daily["volume"].to_numpy(), by_day["volume"].sum().to_numpy())
    assert (daily["high"].to_numpy() == by_day["high"].max().to_numpy()).all()
    assert (daily["close"].to_numpy() == by_day["close"].last().to_numpy()).all()
    assert (daily["prev_close"].iloc[1:].to_numpy() == daily["close"].iloc[:-1].to_numpy()).all()


@pytest.mark.parametrize("oid, start, end, frequency, answer", [
    # Bars outside the instrument's life are none; a listed stretch without
    # bars (a suspension) is a table with no rows; listings are always tables.
    ("10002.HBX", 20230101, 20230301, "1m", None),                 # before its listing
    ("10001.HBX", 20261208, 29991231, "1m", None),                 # after the as-of date
    ("10004.HBX", 20250701, 29991231, "1m", None),                 # after its de-listing
    ("10003.HBX", 20250310, 20250321, "1m", "empty"),              # suspended throughout
    ("QK2703.QFX", datetime.date(2026, 10, 3), 20261004, "1m", None),     # a holiday weekend
    ("10002.HBX", 20230101, 20230301, "1d", "empty"),
    ("10004.HBX", 20250701, 29991231, "1d", "empty"),
    ("10001.HBX", "20261003", 20261004, "1d", "empty"),
])
def test_no_rows_is_none_or_an_empty_table(client, oid, start, end, frequency, answer):
    df = client.get_price(oid, start_date=start, end_date=end, frequency=frequency, adjust_type="none",
                          expect_df=True)
    if answer is None:
        assert df is None
    else:
        assert df.empty and df.index.nlevels == 2
        same_kind = "QK2703.QFX" if oid.endswith(".QFX") else "10001.HBX"
        full = client.get_price(same_kind, 20261201, 20261204, frequency=frequency, adjust_type="none",
                                expect_df=True)
        assert list(df.columns) == list(full.columns)


DAY = datetime.date(2026, 12, 4)


@pytest.mark.parametrize("args, kwargs, error", [
    (("NOPE.HBX", 20261201, 20261204), {}, ValueError),
    (("10001.HBX", 20261201, 20261204), dict(frequency="5s"), ValueError),
    (("10001.HBX", 20261207, 20261201), {}, ValueError),
    (("10001.HBX", 2026120, 20261204), {}, ValueError),
    (("10001.HBX", 1.5, 20261204), {}, TypeError),
    # Only the forms the updater is promised: one identifier; a listing from
    # an int or an 8-digit text; bars from an int or a date; ticks of one date.
    ((["10001.HBX"], 20261201, 20261204), {}, TypeError),
    (("10001.HBX", "2026-12-01", 20261204), {}, ValueError),
    (("10001.HBX", np.int64(20261201), 20261204), {}, TypeError),
    (("10001.HBX", DAY, 20261204), {}, TypeError),
    (("10001.HBX", 20261201, "20261204"), {}, TypeError),
    (("10001.HBX", "20261201", 20261204), dict(frequency="1m"), TypeError),
    (("10001.HBX", np.datetime64("2026-12-01"), 20261204), dict(frequency="1m"), TypeError),
    (("10001.HBX", 20261204, 20261204), dict(frequency="tick"), TypeError),
    (("10001.HBX", DAY, DAY + datetime.timedelta(1)), dict(frequency="tick"), ValueError),
    (("10001.HBX",), dict(frequency="1m"), TypeError),
    (("10001.HBX", 20261201, 20261204), dict(skip_suspended=True), TypeError),
])
def test_bad_arguments(client, args, kwargs, error):
    with pytest.raises(error):
        client.get_price(*args, **kwargs)


@pytest.mark.parametrize("call", [
    lambda: lumenfeed.all_instruments("FUTURE"),
    lambda: lumenfeed.all_instruments([T.FUTURE]),
    lambda: lumenfeed.instruments(["10001.HBX"]),
])
def test_listing_calls_take_one_member_or_identifier(client, call):
    with pytest.raises(TypeError):
        call()


# --------------------------------------------------------------------------- ticks

def test_ticks_only_recent(client):
    days = client.get_trading_dates(20261001, ASOF)
    assert client.get_price("10001.HBX", days[-21], days[-21], frequency="tick", adjust_type="none") is None
    ticks = client.get_price("10001.HBX", days[-20], days[-20], frequency="tick", adjust_type="none")
    assert isinstance(ticks.index, pd.DatetimeIndex) and ticks.index.is_monotonic_increasing
    assert len(ticks) == 4800
    assert set(ticks.columns) == set(H5TicksLoader.COLUMNS) - {"date", "time", "open_interest"}
    assert set(ticks.index.normalize()) == {pd.Timestamp(days[-20])}


def test_future_ticks_carry_open_interest_and_agree_with_bars(client):
    day = datetime.date(2026, 12, 7)
    ticks = client.get_price("QK2703.QFX", day, day, frequency="tick", adjust_type="none")
    assert set(ticks.columns) == set(H5TicksLoader.COLUMNS) - {"date", "time"}
    assert ticks.index[0] == pd.Timestamp("2026-12-04 21:00:00")  # Friday night opens Monday
    assert len(ticks) == 345 * 20
    bars = minute_bars(client, "QK2703.QFX", 20261207, 20261207)
    assert ticks["volume"].iloc[-1] == bars["volume"].sum()
    assert ticks["last"].iloc[-1] == bars["close"].iloc[-1]
    assert (ticks["high"].iloc[-1], ticks["low"].iloc[-1]) == (bars["high"].max(), bars["low"].min())
    assert (ticks["a1"] > ticks["b1"]).all() and ticks["volume"].is_monotonic_increasing


# --------------------------------------------------------------------------- as-of date

def test_asof_moves_the_end_and_keeps_old_days(client, monkeypatch):
    late = minute_bars(client, "QK2612.QFX", 20260901, 29991231)
    late_daily = client.get_price("10001.HBX", 20260901, 29991231)
    monkeypatch.setenv("LUMENFEED_ASOF", "2026-10-15")
    lumenfeed._market.Market._walk_cache.clear()  # compute afresh, as a new process would
    early = minute_bars(client, "QK2612.QFX", 20260901, 29991231)
    early_daily = client.get_price("10001.HBX", 20260901, 29991231)
    assert early_daily.index[-1] == pd.Timestamp("2026-10-15") < late_daily.index[-1]
    assert early["trading_date"].max() == pd.Timestamp("2026-10-15")
    pd.testing.assert_frame_equal(early, late.iloc[:len(early)])
    pd.testing.assert_frame_equal(early_daily, late_daily.iloc[:len(early_daily)])
    pd.testing.assert_frame_equal(early, minute_bars(client, "QK2612.QFX", 20260901, 29991231))
    # The tick window follows the as-of date, and its size comes from the environment too.
    day = datetime.date(2026, 10, 15)
    assert client.get_price("10001.HBX", day, day, frequency="tick", adjust_type="none") is not None
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "0")
    assert client.get_price("10001.HBX", day, day, frequency="tick", adjust_type="none") is None
    monkeypatch.setenv("LUMENFEED_ASOF", "15.10.2026")
    with pytest.raises(ValueError, match="LUMENFEED_ASOF"):
        client.all_instruments()
