"""Reads for research: longer bars by session, coverage and strict reads, `corvane status`,
streaming and Arrow, on small bundles written by the engine and on the demo market."""
import json
import os
import sys
import time

import numpy as np
import pandas as pd
import pytest

import corvane.bundle as bundle
from corvane import _engine
from corvane.read import arrow
from corvane.read import calendars
from corvane.read import gaps
from corvane.history import layout as history
from corvane import read
from corvane.read import tables
from corvane.layout import BundleError
from looking import invoke, make_bundle

# ---------------------------------------------------------------- the demo market

DEMO_ASOF = "20240726"
DEMO_FROM = 20240710
AGG = {"trading_date": "first", "open": "first", "high": "max", "low": "min", "close": "last",
       "volume": "sum", "total_turnover": "sum", "open_interest": "last"}


@pytest.fixture(scope="module")
def demo_root(tmp_path_factory):
    """Every instrument of the demo market, from DEMO_FROM to the as-of date."""
    saved = os.environ.get("LUMENFEED_ASOF")
    os.environ["LUMENFEED_ASOF"] = DEMO_ASOF
    try:
        bundle.init_lumenfeed_with_warnings_catch()
        root = str(tmp_path_factory.mktemp("demo") / "minbar")
        for order_book_id in sorted(bundle._merge_tags(["all"], True)):
            bundle._append_h5(order_book_id, root, min_start_date=DEMO_FROM)
    finally:
        if saved is None:
            os.environ.pop("LUMENFEED_ASOF", None)
        else:
            os.environ["LUMENFEED_ASOF"] = saved
    return root


def demo_ids(root):
    listing = read.listing(root)
    return listing.loc[listing["rows"] > 0, "order_book_id"].tolist()


def session_keys(table):
    breaks = table.index.to_series().diff() > pd.Timedelta("5min")
    return (breaks | (table["trading_date"].diff() != 0)).cumsum().to_numpy()


def pandas_bars(table, freq, each_session=False):
    """Longer bars the plain pandas way: grouped by session and by right-closed buckets of the
    clock (or each session resampled on its own), empty buckets dropped."""
    agg = {name: how for name, how in AGG.items() if name in table.columns}
    if freq == "1D":
        out = table.groupby("trading_date").agg(agg)
        out.index = pd.to_datetime(out.index.astype(str)).astype("datetime64[ns]").rename("datetime")
    elif each_session:
        out = table.groupby(session_keys(table)).resample(freq, closed="right", label="right").agg(agg)
        out = out.dropna(subset=["open"]).droplevel(0)
    else:
        buckets = pd.Grouper(freq=freq, closed="right", label="right")
        out = table.groupby([session_keys(table), buckets]).agg(agg).droplevel(0)
    out["trading_date"] = out["trading_date"].astype(table["trading_date"].dtype)
    return out[table.columns]


def test_the_demo_market_holds_night_sessions_and_breaks(demo_root):
    # What the comparison below rests on: both kinds of session are stored.
    table = read.bars(demo_root, "QK2409.QFX")
    assert (table.index.hour >= 21).any() and len(np.unique(session_keys(table))) > 3 * len(set(table["trading_date"]))


@pytest.mark.parametrize("freq", ["1min", "5min", "60min", "1D"])
def test_longer_bars_equal_pandas_by_session_on_every_demo_instrument(demo_root, freq):
    ids = demo_ids(demo_root)
    assert len(ids) > 50
    ours = read.bars_many(demo_root, ids, freq=freq)
    for order_book_id in ids:
        expected = pandas_bars(read.bars(demo_root, order_book_id), freq)
        pd.testing.assert_frame_equal(ours[order_book_id], expected, check_dtype=False, check_freq=False,
                                      obj=order_book_id)


@pytest.mark.parametrize("block_rows", [1, 2000])
@pytest.mark.parametrize("freq", ["5min", "1D"])
def test_longer_bars_gathered_a_block_of_dates_at_a_time_are_the_same(demo_root, monkeypatch, freq, block_rows):
    ids = demo_ids(demo_root)
    whole = read.bars_many(demo_root, ids, freq=freq)
    monkeypatch.setattr(tables, "BLOCK_ROWS", block_rows)
    for order_book_id, table in read.bars_many(demo_root, ids, freq=freq).items():
        pd.testing.assert_frame_equal(table, whole[order_book_id], obj=order_book_id)


@pytest.mark.parametrize("freq", ["5min", "1D"])
@pytest.mark.parametrize("order_book_id, start, end, fields", [
    ("QK2409.QFX", 20240715, 20240715, ["close", "volume"]),   # one date and its night
    ("QK2409.QFX", 20240712, 20240716, ["open_interest", "high", "open"]),
    ("QK2409.QFX", 20240713, 20240714, None),                  # a weekend: nothing stored
])
def test_longer_bars_of_some_dates_and_fields_equal_pandas(demo_root, freq, order_book_id, start, end, fields):
    ours = read.bars(demo_root, order_book_id, start, end, columns=fields, freq=freq)
    minutes = read.bars(demo_root, order_book_id, start, end, columns=fields)
    assert list(ours.columns) == list(minutes.columns) and ours.index.dtype == minutes.index.dtype
    if len(minutes):
        pd.testing.assert_frame_equal(ours, pandas_bars(minutes, freq), check_dtype=False, check_freq=False)
    else:
        assert ours.empty and ours.dtypes.equals(minutes.dtypes)


def test_minutes_not_dividing_an_hour_count_from_each_sessions_midnight(demo_root):
    table = read.bars(demo_root, "QK2409.QFX")
    pd.testing.assert_frame_equal(read.bars(demo_root, "QK2409.QFX", freq="7min"), pandas_bars(table, "7min", True),
                                  check_dtype=False, check_freq=False)


# ---------------------------------------------------------------- small hand-made bundles

DAYS = [20250102, 20250103, 20250106, 20250107]
NIGHT = [2101 + k for k in range(10)]                        # on the evening before
DAY = [901 + k for k in range(20)] + [1331 + k for k in range(10)]
EQUITY = [931 + k for k in range(29)] + [1000 + k for k in range(60)] + [1100 + k for k in range(31)] + \
    [1301 + k for k in range(59)] + [1400 + k for k in range(60)] + [1500]


def stamps(day, evening, night, minutes):
    return [evening * 1000000 + hhmm * 100 for hhmm in night] + [day * 1000000 + hhmm * 100 for hhmm in minutes]


def write_bars(root, directory, order_book_id, days):
    """A file of `days` [(trading date, [bar stamps YYYYMMDDhhmmss])], bar k of the file priced k."""
    dtype = bundle.EQUITIES_DTYPE if directory == "equities" else bundle.DERIVATIVES_DTYPE
    times = [stamp for _, day_stamps in days for stamp in day_stamps]
    data = np.zeros(len(times), dtype=dtype)
    data["datetime"] = times
    close = 10.0 + np.arange(len(times))
    data["open"], data["close"], data["high"], data["low"] = close - 0.5, close, close + 1, close - 1
    data["volume"], data["total_turnover"] = 1.0, close
    if "open_interest" in dtype.names:
        data["open_interest"] = np.arange(len(times))
    index = np.zeros(len(days), dtype=bundle.INDEX_DTYPE)
    index["date"] = [day for day, _ in days]
    index["line_no"] = np.cumsum([0] + [len(day_stamps) for _, day_stamps in days[:-1]])
    os.makedirs(os.path.join(root, directory), exist_ok=True)
    with _engine.File(os.path.join(root, directory, order_book_id + ".h5")) as h5:
        h5.append_minbar(index, data)


def future_days(days=DAYS, cut=None, without_night=()):
    """[(date, stamps)] of the future's sessions on `days`; `cut` ends the last day at that hhmm."""
    evenings = [int((pd.Timestamp(str(days[0])) - pd.Timedelta(days=1)).strftime("%Y%m%d"))] + list(days[:-1])
    out = []
    for day, evening in zip(days, evenings):
        minutes = [hhmm for hhmm in DAY if cut is None or day != days[-1] or hhmm <= cut]
        out.append((day, stamps(day, evening, [] if day in without_night else NIGHT, minutes)))
    return out


@pytest.fixture
def shaky(tmp_path):
    """A venue QQ of futures, whole and in every way short, and a venue EQ of one stock."""
    root = str(tmp_path / "minbar")
    write_bars(root, "future", "FULL.QQ", future_days())
    write_bars(root, "future", "HOLE.QQ", [day for day in future_days() if day[0] != 20250103])
    write_bars(root, "future", "OLD.QQ", future_days(DAYS[:3]))
    write_bars(root, "future", "CUT.QQ", future_days(cut=910))
    write_bars(root, "future", "NONIGHT.QQ", future_days(without_night=(20250106,)))
    # The afternoon without the morning: a session missing in the middle is short too.
    write_bars(root, "future", "GAP.QQ", future_days()[:3] + [
        (20250107, stamps(20250107, 20250106, NIGHT, DAY[20:]))])
    write_bars(root, "equities", "ONE.EQ", [(20250102, stamps(20250102, 0, [], EQUITY))])
    return root


def test_hourly_bars_close_on_the_clock_and_stop_at_the_lunch_break(shaky):
    table = read.bars(shaky, "ONE.EQ", freq="60min")
    assert [stamp.strftime("%H:%M") for stamp in table.index] == ["10:00", "11:00", "12:00", "14:00", "15:00"]
    assert table["volume"].tolist() == [30, 60, 30, 60, 60]
    minutes = read.bars(shaky, "ONE.EQ")
    assert table["open"].tolist() == minutes["open"].iloc[[0, 30, 90, 120, 180]].tolist()
    assert table["close"].tolist() == minutes["close"].iloc[[29, 89, 119, 179, 239]].tolist()
    assert table["high"].tolist() == minutes["high"].iloc[[29, 89, 119, 179, 239]].tolist()
    assert table["low"].tolist() == minutes["low"].iloc[[0, 30, 90, 120, 180]].tolist()


def test_night_bars_stay_with_their_trading_date_and_apart_from_the_morning(shaky):
    table = read.bars(shaky, "FULL.QQ", 20250103, 20250103, freq="5min")
    assert [stamp.strftime("%m%d %H:%M") for stamp in table.index] == [
        "0102 21:05", "0102 21:10", "0103 09:05", "0103 09:10", "0103 09:15", "0103 09:20",
        "0103 13:35", "0103 13:40"]
    assert set(table["trading_date"]) == {20250103}
    assert table["open_interest"].tolist() == (read.bars(shaky, "FULL.QQ", 20250103, 20250103)["open_interest"]
                                               .iloc[4::5].tolist())
    daily = read.bars(shaky, "FULL.QQ", freq="1D")
    assert daily.index.strftime("%Y%m%d").astype(int).tolist() == DAYS
    assert daily["volume"].tolist() == [40.0] * 4


@pytest.mark.parametrize("days, hourly_bars", [
    ([(20250102, [20250102093100]), (20250103, [20250103093100]), (20250106, [20250106150000])], 3),  # a bar a day
    ([(20250102, [20250102093100, 20250102093600, 20250102094100])], 1),   # gaps of 5 minutes: one session
    ([(20250102, [20250102093100, 20250102093600, 20250102094200])], 2),   # a gap of 6: two
    # No gap, but the next trading date: a night session starting as the day ends.
    ([(20250102, [20250102145700, 20250102145800]), (20250103, [20250102145900, 20250102150000])], 2),
])
def test_a_session_ends_at_a_gap_of_more_than_five_minutes_or_a_new_trading_date(tmp_path, days, hourly_bars):
    root = str(tmp_path / "minbar")
    write_bars(root, "future", "EDGE.QQ", days)
    assert len(read.bars(root, "EDGE.QQ", freq="60min")) == hourly_bars
    minutes = read.bars(root, "EDGE.QQ")
    for freq in ("60min", "1D"):
        pd.testing.assert_frame_equal(read.bars(root, "EDGE.QQ", freq=freq), pandas_bars(minutes, freq),
                                      check_dtype=False, check_freq=False)


@pytest.mark.parametrize("freq", ["5", "0min", "1.5min", "1H", "5 minutes", 5, "-5min"])
def test_a_frequency_other_than_whole_minutes_or_a_day_is_refused_before_reading(shaky, freq):
    with pytest.raises(BundleError, match="freq is a whole number of minutes") as error:
        read.bars(shaky, "FULL.QQ", freq=freq)
    assert "\n" not in str(error.value)


@pytest.mark.parametrize("order_book_id, missing, short, stale", [
    ("FULL.QQ", [], [], False),
    ("HOLE.QQ", [20250103], [], False),
    ("OLD.QQ", [], [], True),
    ("CUT.QQ", [], [20250107], False),
    ("NONIGHT.QQ", [], [], False),
    ("GAP.QQ", [], [20250107], False),
    ("ONE.EQ", [], [], False),    # its own venue ends where it does
])
def test_coverage_names_missing_short_and_stale_files(shaky, order_book_id, missing, short, stale):
    row = read.coverage(shaky).set_index("order_book_id").loc[order_book_id]
    assert (row["missing"], row["short"], row["stale"]) == (missing, short, stale)


def test_coverage_keeps_to_the_range_and_takes_a_given_calendar_and_ends(shaky):
    table = read.coverage(shaky, ["HOLE.QQ", "CUT.QQ"], 20250106, None).set_index("order_book_id")
    assert table.loc["HOLE.QQ", "missing"] == [] and table.loc["HOLE.QQ", "expected"] == 2
    assert table.loc["CUT.QQ", "short"] == [20250107]
    given = read.coverage(shaky, ["OLD.QQ", "FULL.QQ"], calendar=DAYS + [20250108],
                          ends={"OLD.QQ": 20250106}).set_index("order_book_id")
    assert given["stale"].to_dict() == {"OLD.QQ": False, "FULL.QQ": True}
    assert given.loc["FULL.QQ", "venue_last"] == 20250108
    with pytest.raises(BundleError, match="no file for NOPE"):
        read.coverage(shaky, ["FULL.QQ", "NOPE"])


def test_tables_say_what_they_cover(shaky):
    attrs = read.bars(shaky, "HOLE.QQ", 20250102, 20250110, columns=["close"], freq="5min").attrs
    assert attrs == {"order_book_id": "HOLE.QQ", "first": 20250102, "last": 20250107, "venue_last": 20250107,
                     "start": 20250102, "end": 20250110, "freq": "5min", "missing": (20250103,),
                     "version": None}
    assert read.bars(shaky, "OLD.QQ").attrs["last"] == 20250106
    assert read.bars_many(shaky, ["OLD.QQ"])["OLD.QQ"].attrs["venue_last"] == 20250107


def grow_full(root):
    """FULL.QQ grows the date 20250108, appended in place by the engine."""
    more = os.path.join(root, "more")
    write_bars(more, "future", "FULL.QQ", future_days([20250107, 20250108])[1:])
    with _engine.File(os.path.join(root, "future", "FULL.QQ.h5")) as h5:
        h5.append_minbar(*read_records(os.path.join(more, "future", "FULL.QQ.h5")))


def age_directories(root, seconds=3600):
    old = time.time_ns() - seconds * 10 ** 9
    for name in os.listdir(root):
        os.utime(os.path.join(root, name), ns=(old, old))


def grown_in_place(root):
    grow_full(root)


def grown_within_one_tick_of_the_directorys_clock(root):
    # The directory changed just now: its time may be the same after another change.
    directory = os.path.join(root, "future")
    before = os.stat(directory)
    grow_full(root)
    os.utime(directory, ns=(before.st_atime_ns, before.st_mtime_ns))


def a_file_added(root):
    write_bars(root, "future", "NEW.QQ", future_days(DAYS[1:] + [20250108]))


@pytest.mark.parametrize("settled, change, next_process", [
    (False, grown_in_place, False), (True, grown_in_place, False),
    (False, grown_within_one_tick_of_the_directorys_clock, False), (True, a_file_added, False),
    (True, grown_in_place, True), (True, a_file_added, True)])
def test_what_a_table_covers_follows_the_venues_files_changed_since_the_last_read(
        shaky, monkeypatch, settled, change, next_process):
    if next_process:
        os.makedirs(history.history_dir(shaky))     # where a settled calendar is kept for the next process
    if settled:
        age_directories(shaky)
    assert read.bars(shaky, "OLD.QQ").attrs["venue_last"] == 20250107
    if settled:
        # A settled bundle is not looked at again until its directory changes.
        def looked(*args):
            raise AssertionError("the venue's files were looked at")

        with monkeypatch.context() as patched:
            if next_process:
                patched.setattr(calendars, "_CALENDARS", {})
            patched.setattr(calendars, "_venue_files", looked)
            assert read.bars(shaky, "OLD.QQ").attrs["venue_last"] == 20250107
    change(shaky)
    if next_process:
        monkeypatch.setattr(calendars, "_CALENDARS", {})
    attrs = read.bars(shaky, "OLD.QQ").attrs
    assert (attrs["last"], attrs["venue_last"]) == (20250106, 20250108)
    assert read.coverage(shaky, "OLD.QQ")["venue_last"].tolist() == [20250108]


@pytest.mark.parametrize("damage", [
    lambda record: "{" + json.dumps(record)[:40],
    lambda record: json.dumps(dict(record, calendar=[20250103, 20250110, 20250109])),
    lambda record: json.dumps(dict(record, venue="EQ", calendar=[20250102])),
])
def test_a_kept_calendar_that_is_not_what_it_should_be_is_passed_over(shaky, monkeypatch, damage):
    os.makedirs(history.history_dir(shaky))
    age_directories(shaky)
    assert read.bars(shaky, "OLD.QQ").attrs["venue_last"] == 20250107
    kept = os.path.join(history.history_dir(shaky), "calendar-QQ.json")
    with open(kept) as text:
        record = json.load(text)
    with open(kept, "w") as out:
        out.write(damage(record))
    monkeypatch.setattr(calendars, "_CALENDARS", {})
    assert read.bars(shaky, "OLD.QQ").attrs["venue_last"] == 20250107


def test_a_reader_that_cannot_keep_the_calendar_reads_as_before_and_leaves_nothing(shaky, monkeypatch):
    # A bundle mounted read-only: the kept calendar's rename fails.
    def read_only(*args):
        raise OSError(30, "Read-only file system")

    os.makedirs(history.history_dir(shaky))
    age_directories(shaky)
    monkeypatch.setattr(os, "replace", read_only)
    assert read.bars(shaky, "OLD.QQ").attrs["venue_last"] == 20250107
    assert os.listdir(history.history_dir(shaky)) == []


def read_records(h5_file):
    import h5py

    with h5py.File(h5_file, "r") as h5:
        return h5["index"][()], h5["data"][()]


@pytest.mark.parametrize("order_book_id, start, end, refusal", [
    ("HOLE.QQ", None, None, r"1 trading date\(s\) missing \(20250103\)"),
    ("OLD.QQ", 20250103, None, "stored to 20250106, the bundle to 20250107"),
    ("CUT.QQ", 20250106, 20250107, r"1 short day\(s\) \(20250107\)"),
    ("HOLE.QQ", 20250106, None, None), ("OLD.QQ", 20250102, 20250106, None),
    ("CUT.QQ", None, 20250106, None), ("NONIGHT.QQ", None, None, None),
])
def test_a_strict_read_reads_a_range_held_whole_and_refuses_any_other(shaky, order_book_id, start, end, refusal):
    if refusal is None:
        assert read.bars(shaky, order_book_id, start, end, strict=True).equals(
            read.bars(shaky, order_book_id, start, end))
        return
    with pytest.raises(gaps.CoverageError, match=refusal):
        read.bars(shaky, order_book_id, start, end, strict=True)
    with pytest.raises(gaps.CoverageError, match=refusal):
        list(read.iter_bars(shaky, ["FULL.QQ", order_book_id], start, end, strict=True))


def test_status_names_what_is_wrong_and_exits_one(shaky):
    result = invoke("status", shaky)
    assert result.exit_code == 1
    lines = result.output.splitlines()
    assert lines[:-1] == ["CUT.QQ: 1 short day(s): 20250107", "GAP.QQ: 1 short day(s): 20250107",
                          "HOLE.QQ: 1 trading date(s) missing: 20250103",
                          "OLD.QQ: stale: stored to 20250106, the venue to 20250107"]
    assert lines[-1].startswith("corvane status: 4 of 7 instrument(s) under")


def test_a_damaged_file_is_named_and_its_neighbours_still_read(shaky):
    with open(os.path.join(shaky, "future", "BAD.QQ.h5"), "wb") as damaged:
        damaged.write(b"not a bundle file" * 10)
    assert read.bars(shaky, "FULL.QQ").attrs["venue_last"] == 20250107
    row = read.coverage(shaky).set_index("order_book_id").loc["BAD.QQ"]
    assert row["error"] and not row["stale"]
    result = invoke("status", shaky)
    assert result.exit_code == 1
    assert [line for line in result.output.splitlines() if line.startswith("BAD.QQ: unreadable: ")]
    assert "5 of 8 instrument(s)" in result.output


@pytest.mark.parametrize("field, error", [("line_no", "does not hold in order"), ("date", "dates out of order")])
def test_an_index_out_of_order_is_unreadable_not_read(shaky, field, error):
    import h5py

    with h5py.File(os.path.join(shaky, "future", "HOLE.QQ.h5"), "r+") as h5:
        index = h5["index"][()]
        index[field] = index[field][::-1]
        h5["index"][...] = index
    row = read.coverage(shaky).set_index("order_book_id").loc["HOLE.QQ"]
    assert error in row["error"]


def test_status_of_a_whole_bundle_exits_zero(tmp_path):
    root = str(tmp_path / "minbar")
    write_bars(root, "future", "FULL.QQ", future_days())
    write_bars(root, "future", "NONIGHT.QQ", future_days(without_night=(20250106,)))
    result = invoke("status", root, "--from", "20250103")
    assert (result.exit_code, result.output.count("\n")) == (0, 1)
    assert invoke("status", tmp_path / "nothing").exit_code == 2


def test_status_with_the_client_knows_expired_contracts_from_stale_files(demo_root, monkeypatch):
    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    alone = invoke("status", demo_root)
    assert alone.exit_code == 1
    assert "HXI2407.QFX: stale: stored to 20240719, the venue to 20240726" in alone.output.splitlines()
    assert "QK2409.QFX" not in alone.output
    with_client = invoke("status", demo_root, "--client")
    assert with_client.exit_code == 0, with_client.output
    assert with_client.output.startswith("corvane status: 0 of {} instrument(s)".format(len(read.listing(demo_root))))


# ---------------------------------------------------------------- streaming and Arrow

@pytest.mark.parametrize("batch_days, freq", [(1, None), (3, "5min"), (250, "1D")])
def test_iter_bars_gives_each_instrument_in_blocks_of_dates_in_order(shaky, batch_days, freq):
    ids = ["HOLE.QQ", "ONE.EQ", "FULL.QQ"]
    blocks = list(read.iter_bars(shaky, ids, None, 20250106, freq=freq, batch_days=batch_days))
    whole = read.bars_many(shaky, ids, None, 20250106, freq=freq)
    assert [order_book_id for order_book_id, _ in blocks] == [
        order_book_id for order_book_id in ids for _ in range(-(-len(set(whole[order_book_id]["trading_date"])) // batch_days))]
    for order_book_id in ids:
        parts = [table for name, table in blocks if name == order_book_id]
        assert all(len(set(part["trading_date"])) <= batch_days for part in parts)
        pd.testing.assert_frame_equal(pd.concat(parts), whole[order_book_id])


@pytest.mark.parametrize("batch_days", [0, -1, 2.5, "3"])
def test_iter_bars_refuses_a_batch_that_is_no_whole_number_of_dates(shaky, batch_days):
    with pytest.raises(BundleError, match="batch_days"):
        next(read.iter_bars(shaky, ["FULL.QQ"], batch_days=batch_days))


def test_arrow_tables_share_the_columns_of_the_read(shaky):
    frame = read.bars(shaky, "FULL.QQ")
    table = arrow.table_of(frame)
    assert table.column_names == ["datetime"] + list(frame.columns)
    for name in frame.columns:
        assert table.column(name).chunks[0].buffers()[1].address == frame[name].to_numpy().ctypes.data
    assert table.column("datetime").chunks[0].buffers()[1].address == frame.index.values.ctypes.data
    pd.testing.assert_frame_equal(table.to_pandas().set_index("datetime"), frame, check_dtype=False)
    straight = read.bars(shaky, "HOLE.QQ", 20250102, 20250106, to="arrow")
    frame = read.bars(shaky, "HOLE.QQ", 20250102, 20250106)
    assert straight.equals(arrow.table_of(frame))
    assert json.loads(straight.schema.metadata[b"corvane"]) == dict(frame.attrs, missing=[20250103])
    assert read.bars_many(shaky, ["FULL.QQ"], freq="5min", to="arrow")["FULL.QQ"].equals(
        arrow.table_of(read.bars(shaky, "FULL.QQ", freq="5min")))


def test_ticks_say_what_they_cover_and_come_as_arrow(tmp_path):
    made = make_bundle(tmp_path)
    path = os.path.dirname(made["ticks"])
    frame = read.ticks(path, "ST1", 20250103)
    assert frame.attrs == {"order_book_id": "ST1", "first": 20250102, "last": 20250103,
                           "start": 20250103, "end": None, "version": None}
    table = read.ticks(path, "ST1", 20250103, to="arrow")
    assert table.equals(arrow.table_of(frame)) and table.num_rows == len(frame) > 0
    assert json.loads(table.schema.metadata[b"corvane"]) == frame.attrs
    with pytest.raises(BundleError, match="freq gathers minute bars"):
        read.export(path, "ST1", str(tmp_path / "out.csv"), freq="5min")


def test_export_writes_the_longer_bars(shaky, tmp_path):
    out = tmp_path / "five.csv"
    result = invoke("export", shaky, "FULL.QQ", "--freq", "5min", "-o", out)
    assert result.exit_code == 0, result.output
    written = pd.read_csv(out, index_col="datetime", parse_dates=True)
    expected = read.bars(shaky, "FULL.QQ", freq="5min")
    assert written.index.tolist() == expected.index.tolist()
    assert written["volume"].tolist() == expected["volume"].tolist()
    assert invoke("export", shaky, "FULL.QQ", "--freq", "5m", "-o", out).exit_code == 2


def test_arrow_without_pyarrow_is_one_line_saying_what_to_install(shaky, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ModuleNotFoundError, match=r"^to=\"arrow\" needs pyarrow: pip install 'corvane\[arrow\]'$"):
        read.bars(shaky, "FULL.QQ", to="arrow")
    with pytest.raises(BundleError, match="to is one of"):
        read.bars(shaky, "FULL.QQ", to="polars")


def test_dask_bars_without_dask_say_what_to_install(shaky, monkeypatch):
    monkeypatch.setitem(sys.modules, "dask.dataframe", None)
    with pytest.raises(ModuleNotFoundError, match=r"^dask_bars needs Dask's dataframes: pip install 'corvane\[dask\]'"):
        read.dask_bars(shaky, "FULL.QQ")
