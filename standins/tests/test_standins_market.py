"""The demo client's settings beyond the demo market: a user's market, latency,
tick density, a session served while it runs, and revised days."""
import datetime
import warnings

import pandas as pd
import pytest

import lumenfeed
from vesper.const import INSTRUMENT_TYPE as T

ASOF = "20261207"  # a Monday
DAY = datetime.date(2026, 12, 4)  # a Friday: QK's day session opens after Thursday night's
SETTINGS = ("LUMENFEED_MARKET", "LUMENFEED_LATENCY_MS", "LUMENFEED_TICK_RATE", "LUMENFEED_REVISED",
            "LUMENFEED_TICK_DAYS")


@pytest.fixture
def client(monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", ASOF)
    for name in SETTINGS:
        monkeypatch.delenv(name, raising=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    return lumenfeed


def bars(oid, start, end=29991231):
    return lumenfeed.get_price(oid, start_date=start, end_date=end, frequency="1m", adjust_type="none",
                               expect_df=True)


def ticks(oid, day=DAY):
    return lumenfeed.get_price(oid, day, day, frequency="tick", adjust_type="none")


def daily(oid, start, end=29991231):
    return lumenfeed.get_price(oid, start, end)


# --------------------------------------------------------------------------- a user's market

def test_full_market_has_a_users_size(client, monkeypatch):
    monkeypatch.setenv("LUMENFEED_MARKET", "full")
    table = client.all_instruments()
    counts = table["type"].value_counts()
    assert 4900 <= counts["CS"] <= 5100 and 950 <= counts["ETF"] + counts["LOF"] <= 1050
    assert 450 <= counts["INDX"] <= 550 and counts["OPTION"] >= 3000
    futures = table[table["type"] == "FUTURE"]
    live = futures["de_listed_date"] >= pd.Timestamp(ASOF)
    assert 700 <= live.sum() <= 900
    assert table["order_book_id"].is_unique
    # The demo market is part of it, unchanged.
    monkeypatch.setenv("LUMENFEED_MARKET", "demo")
    demo = client.all_instruments()
    monkeypatch.setenv("LUMENFEED_MARKET", "full")
    pd.testing.assert_frame_equal(table.iloc[:len(demo)], demo)


def test_a_smaller_market_is_part_of_a_larger_one(client, monkeypatch):
    monkeypatch.setenv("LUMENFEED_MARKET", "0.01")
    small = client.all_instruments()
    small_bars = bars(small["order_book_id"].iloc[-1], 20261201)
    monkeypatch.setenv("LUMENFEED_MARKET", "0.02")
    large = client.all_instruments()
    assert set(small["order_book_id"]) < set(large["order_book_id"])
    pd.testing.assert_frame_equal(small_bars, bars(small["order_book_id"].iloc[-1], 20261201))
    assert {T.CS, T.ETF, T.LOF, T.INDX, T.FUTURE, T.OPTION} <= set(small["type"])


def generated(table, kind):
    rows = table[(table["type"] == kind.value) & ~table["order_book_id"].isin(DEMO_IDS)]
    return rows.reset_index(drop=True)


DEMO_IDS = {"10001.HBX", "10002.HBX", "10003.HBX", "10004.HBX", "51001.HBX", "51002.HBX", "16001.HBX",
            "IX001.HBX", "IX002.HBX"}


@pytest.fixture
def market(client, monkeypatch):
    monkeypatch.setenv("LUMENFEED_MARKET", "0.05")
    return client.all_instruments()


def test_generated_futures_and_options_follow_the_demo_rules(client, market):
    futures = generated(market, T.FUTURE)
    commodity = futures[futures["order_book_id"].str.startswith("C")].iloc[-1]
    df = bars(commodity["order_book_id"], 20261203, 20261204)
    assert (df.index.get_level_values(1).hour >= 21).any()  # a night session
    assert df["trading_date"].min() == pd.Timestamp("2026-12-03")
    options = generated(market, T.OPTION)
    assert set(options["underlying_order_book_id"]) <= set(market["order_book_id"])
    on_commodities = options[options["order_book_id"].str.startswith("C")]
    series = on_commodities["order_book_id"].str.extract(r"^(.*\d{4}[CP])", expand=False)
    strikes = on_commodities.groupby(series)["order_book_id"].count()
    assert (strikes == 5).all() and len(strikes) >= 20
    expired = futures[futures["de_listed_date"] < pd.Timestamp("2026-11-01")].iloc[0]
    assert bars(expired["order_book_id"], 20261101) is None


def test_generated_delistings_and_suspensions(client, market):
    stocks = generated(market, T.CS)
    gone = stocks[stocks["de_listed_date"].notna()].iloc[0]
    last = int(gone["de_listed_date"].strftime("%Y%m%d"))
    assert bars(gone["order_book_id"], last) is not None
    assert daily(gone["order_book_id"], 20050104).index[-1] == gone["de_listed_date"]
    record = lumenfeed.instruments("20001.HBX")
    assert record.listed_date == datetime.date(2005, 1, 4) and record.de_listed_date is None
    halted = [lumenfeed.instruments(oid) for oid in stocks["order_book_id"]]
    halted = [inst for inst in halted if inst._model.suspended and inst._model.suspended[0][1] < DAY]
    first, end = halted[0]._model.suspended[0]
    listing = daily(halted[0].order_book_id, int(first.strftime("%Y%m%d")), int(end.strftime("%Y%m%d")))
    assert len(listing) and (listing["volume"] == 0).all() and listing["close"].nunique() == 1


def test_generated_daily_closes_stay_within_the_limits(client, market):
    for oid in generated(market, T.CS)["order_book_id"][:60]:
        df = daily(oid, 20050104)
        move = (df["close"] / df["prev_close"] - 1).abs()
        limit = (df["limit_up"] / df["prev_close"] - 1).max()
        assert (move <= limit + 1e-9).all(), oid
        assert (df["close"] > 0).all()


@pytest.mark.parametrize("start", [20261207, 20261101])
def test_a_derivatives_prices_do_not_depend_on_what_was_asked_before_it(client, market, monkeypatch, start):
    options = generated(market, T.OPTION)
    options = options[options["de_listed_date"] > pd.Timestamp(ASOF)]
    on_one = options[options["underlying_order_book_id"] == options["underlying_order_book_id"].iloc[-1]]
    first, second = on_one["order_book_id"].iloc[:2]
    underlying = on_one["underlying_order_book_id"].iloc[0]
    asked_in_a_row = [bars(oid, start) for oid in (underlying, first, second)]
    # A market built afresh (another as-of time) has asked nothing before.
    alone = []
    for oid, minute in ((second, "1500"), (first, "1501"), (underlying, "1502")):
        monkeypatch.setenv("LUMENFEED_ASOF", ASOF + "T" + minute)
        alone.append(bars(oid, start))
    for kept, fresh in zip(asked_in_a_row, alone[::-1]):
        pd.testing.assert_frame_equal(kept, fresh, check_exact=True)


# --------------------------------------------------------------------------- latency and density

def test_every_call_waits_the_latency(client, monkeypatch):
    waits = []
    monkeypatch.setattr(lumenfeed.time, "sleep", waits.append)
    monkeypatch.setenv("LUMENFEED_LATENCY_MS", "50")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        client.init()
    client.all_instruments()
    client.instruments("10001.HBX")
    client.get_next_trading_date(20261204)
    daily("10001.HBX", 20261201)
    assert waits == [0.05] * 5
    monkeypatch.setenv("LUMENFEED_LATENCY_MS", "0")
    client.instruments("10001.HBX")
    assert len(waits) == 5


@pytest.mark.parametrize("name, value", [
    ("LUMENFEED_MARKET", "2"), ("LUMENFEED_MARKET", "0"), ("LUMENFEED_MARKET", "large"),
    ("LUMENFEED_LATENCY_MS", "-1"), ("LUMENFEED_LATENCY_MS", "fast"), ("LUMENFEED_LATENCY_MS", "nan"),
    ("LUMENFEED_TICK_RATE", "0"), ("LUMENFEED_TICK_RATE", "7e4"),
    ("LUMENFEED_ASOF", "20261204T2460"), ("LUMENFEED_ASOF", "20261204T10"), ("LUMENFEED_ASOF", "20261204 1030"),
    ("LUMENFEED_REVISED", "2026-12-03"), ("LUMENFEED_REVISED", "20261203,x"), ("LUMENFEED_REVISED", "20261232"),
])
def test_bad_settings_are_refused_naming_the_variable(client, monkeypatch, name, value):
    monkeypatch.setenv(name, value)
    with pytest.raises(ValueError, match=name):
        ticks("10001.HBX")


@pytest.mark.parametrize("oid, minutes", [("10001.HBX", 240), ("QK2703.QFX", 345)])
def test_tick_rate_sets_the_ticks_a_day(client, monkeypatch, oid, minutes):
    monkeypatch.setenv("LUMENFEED_TICK_RATE", "70000")
    dense = ticks(oid)
    assert abs(len(dense) - 70000) <= minutes // 2 + 1
    stamps = dense.index
    assert stamps.is_unique and stamps.is_monotonic_increasing
    assert (stamps.asi8 % 10 ** 6 == 0).all()  # whole milliseconds
    day = bars(oid, 20261204, 20261204)
    assert dense["volume"].iloc[-1] == day["volume"].sum()
    assert dense["last"].iloc[-1] == day["close"].iloc[-1]
    assert (dense["high"].iloc[-1], dense["low"].iloc[-1]) == (day["high"].max(), day["low"].min())
    monkeypatch.setenv("LUMENFEED_TICK_RATE", "1")
    assert len(ticks(oid)) == 4 * minutes


# --------------------------------------------------------------------------- a session still running

@pytest.mark.parametrize("oid", ["10001.HBX", "QK2703.QFX"])
def test_asof_with_a_time_serves_the_day_up_to_it(client, monkeypatch, oid):
    whole_bars, whole_ticks, whole_daily = bars(oid, 20261203, 20261204), ticks(oid), daily(oid, 20261201, 20261204)
    monkeypatch.setenv("LUMENFEED_ASOF", "20261204T1030")
    part_bars, part_ticks, part_daily = bars(oid, 20261203), ticks(oid), daily(oid, 20261201)
    cut = pd.Timestamp("2026-12-04 10:30")
    pd.testing.assert_frame_equal(part_bars, whole_bars[whole_bars.index.get_level_values(1) <= cut])
    assert part_bars.index.get_level_values(1)[-1] == (cut if oid.startswith("1") else cut - pd.Timedelta("15min"))
    pd.testing.assert_frame_equal(part_ticks, whole_ticks[whole_ticks.index < cut])
    pd.testing.assert_frame_equal(part_daily.iloc[:-1], whole_daily.iloc[:-1])
    today = part_bars[part_bars.index.get_level_values(1) >= pd.Timestamp("2026-12-03 20:00")]
    row = part_daily.iloc[-1]
    assert row["close"] == today["close"].iloc[-1] and row["volume"] == today["volume"].sum()
    assert (row["high"], row["low"]) == (today["high"].max(), today["low"].min())
    assert part_ticks["volume"].iloc[-1] == row["volume"]


def test_asof_before_the_open_serves_nothing_of_the_day(client, monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", "20261204T0915")
    assert bars("10001.HBX", 20261204).empty
    assert ticks("10001.HBX") is None
    assert daily("10001.HBX", 20261201).index[-1] == pd.Timestamp("2026-12-03")
    night = bars("QK2703.QFX", 20261204)  # Thursday night's bars of Friday are in
    assert len(night) == 120 + 15 and daily("QK2703.QFX", 20261201).index[-1] == pd.Timestamp("2026-12-04")
    monkeypatch.setenv("LUMENFEED_ASOF", "20261204T2359")
    pd.testing.assert_frame_equal(bars("10001.HBX", 20261204), bars("10001.HBX", 20261204, 20261204))


# --------------------------------------------------------------------------- revised days

@pytest.mark.parametrize("oid", ["10001.HBX", "QK2703.QFX", "51001C2612K03500.HBX", "IX001.HBX"])
def test_revised_days_change_some_bars_and_ticks_of_those_days_only(client, monkeypatch, oid):
    before_bars, before_ticks = bars(oid, 20261202, 20261207), {d: ticks(oid, d) for d in (DAY, DAY - datetime.timedelta(1))}
    before_daily = daily(oid, 20261202)
    monkeypatch.setenv("LUMENFEED_REVISED", "20261204,20261001")
    after_bars, after_daily = bars(oid, 20261202, 20261207), daily(oid, 20261202)
    changed = (before_bars != after_bars).any(axis=1).to_numpy()
    day_of = pd.DatetimeIndex(after_bars["trading_date"] if "trading_date" in after_bars
                              else after_bars.index.get_level_values(1).normalize())
    assert changed.any() and (day_of[changed] == pd.Timestamp(DAY)).all()
    assert changed.sum() < (day_of == pd.Timestamp(DAY)).sum() / 4
    moved = set(before_bars.columns[(before_bars != after_bars).any()])
    assert moved <= {"high", "volume", "total_turnover"} and "volume" in moved
    assert (after_bars["high"] >= before_bars["high"]).all()
    assert (after_bars["volume"] - before_bars["volume"]).isin([0, lumenfeed.instruments(oid).round_lot]).all()
    differs = (before_daily != after_daily) & ~(before_daily.isna() & after_daily.isna())
    changed_days = after_daily.index[differs.any(axis=1)]
    assert list(changed_days) == [pd.Timestamp(DAY)]
    assert after_daily.loc[pd.Timestamp(DAY), "volume"] == after_bars["volume"][day_of == pd.Timestamp(DAY)].sum()
    revised_ticks = ticks(oid)
    assert not revised_ticks.equals(before_ticks[DAY])
    assert revised_ticks["volume"].iloc[-1] == after_daily.loc[pd.Timestamp(DAY), "volume"]
    pd.testing.assert_frame_equal(ticks(oid, DAY - datetime.timedelta(1)), before_ticks[DAY - datetime.timedelta(1)])
