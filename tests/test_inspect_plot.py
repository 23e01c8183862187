"""`corvane inspect` and `corvane plot` on a bundle built in the test."""
import html
import json
import os

import re

import h5py
import numpy as np
import pandas as pd
import pytest

import corvane.bundle as bundle
from corvane.look import candles
from corvane.look import plot
from corvane.errors import DamagedFileError
from looking import (BARS_PER_DAY, DAYS, SCALES, TICK_DAYS, TICKS_PER_DAY, bars, invoke, make_bundle,
                     ticks, write_minbar, write_ticks)


@pytest.fixture
def made(tmp_path):
    files = make_bundle(tmp_path)
    # An instrument that stopped trading earlier than the others.
    write_minbar(str(tmp_path / "minbar" / "equities" / "OLD.h5"), bundle.EQUITIES_DTYPE, DAYS[:1])
    return files


def inspect_json(*args):
    result = invoke("inspect", *args, "--json")
    assert result.exit_code == 0, result.output
    return json.loads(result.output)


def test_bundle_summary_counts_each_kind(tmp_path, made):
    summary = inspect_json(tmp_path / "minbar")
    equities, future = summary["kinds"]["equities"], summary["kinds"]["future"]
    assert (equities["files"], equities["rows"]) == (2, (len(DAYS) + 1) * BARS_PER_DAY)
    assert (future["files"], future["rows"]) == (1, len(DAYS) * BARS_PER_DAY)
    assert equities["raw_bytes"] == equities["rows"] * bundle.EQUITIES_DTYPE.itemsize
    assert future["raw_bytes"] == future["rows"] * bundle.DERIVATIVES_DTYPE.itemsize
    assert equities["disk_bytes"] == sum(os.path.getsize(tmp_path / "minbar" / "equities" / name)
                                         for name in ("OLD.h5", "ST1.h5"))
    assert (equities["first"], equities["last"]) == (DAYS[0], DAYS[-1])
    assert [os.path.basename(f["file"]) for f in summary["oldest"]][0] == "OLD.h5"

    ticks_summary = inspect_json(tmp_path / "tick")["kinds"]["ticks"]
    assert ticks_summary["rows"] == len(TICK_DAYS) * TICKS_PER_DAY
    assert (ticks_summary["first"], ticks_summary["last"]) == tuple(int(day) for day in TICK_DAYS)


@pytest.mark.parametrize("kind, rows, days, first, last", [
    ("minbar", len(DAYS) * BARS_PER_DAY, len(DAYS), DAYS[0], DAYS[-1]),
    ("tick", len(TICK_DAYS) * TICKS_PER_DAY, len(TICK_DAYS), int(TICK_DAYS[0]), int(TICK_DAYS[-1])),
])
def test_one_file_facts(tmp_path, made, kind, rows, days, first, last):
    facts = inspect_json(tmp_path / kind, "ST1")
    assert (facts["rows"], facts["days"], facts["first"], facts["last"]) == (rows, days, first, last)
    with h5py.File(facts["file"], "r") as h5:
        dataset = h5["data"] if kind == "minbar" else h5[TICK_DAYS[-1]]
        assert facts["chunk_rows"] == dataset.chunks[0]
    text = invoke("inspect", tmp_path / kind, "ST1").output
    assert "{}, {}".format(first, last) in text


def test_a_day_of_bars_is_decoded(tmp_path, made):
    records = inspect_json(tmp_path / "minbar", "ST1", "--day", DAYS[1])
    _, data = bars(bundle.EQUITIES_DTYPE)
    expected = data[BARS_PER_DAY:2 * BARS_PER_DAY]
    assert [r["datetime"] for r in records] == [
        "2025-01-03 09:3{}:00.000".format(1 + k) for k in range(BARS_PER_DAY)]
    assert [r["close"] for r in records] == expected["close"].tolist()
    # The columns corvane.read gives for the same day, trading date first.
    from corvane import read
    assert list(records[0]) == ["datetime"] + list(read.bars(tmp_path / "minbar", "ST1", DAYS[1], DAYS[1]).columns)
    assert {r["trading_date"] for r in records} == {DAYS[1]}


def test_tick_days_are_counted_alike_by_inspect_and_read(tmp_path, made):
    from corvane import read
    # A dataset that no day names: neither counts it as a tick day.
    with h5py.File(tmp_path / "tick" / "ST1.h5", "r+") as h5:
        h5["notaday"] = ticks(TICK_DAYS[0])
    facts = inspect_json(tmp_path / "tick", "ST1")
    assert facts["days"] == len(TICK_DAYS)
    # read refuses the file rather than drop what may be a day whose name was damaged.
    with pytest.raises(DamagedFileError, match='1 other member "notaday"'):
        read.index(tmp_path / "tick", "ST1")


def test_a_tick_day_is_decoded_and_divided_back(tmp_path, made):
    records = inspect_json(tmp_path / "tick", "ST1", "--day", TICK_DAYS[0])
    stored = ticks(TICK_DAYS[0])
    assert [r["last"] for r in records] == (stored["last"] / SCALES["last"]).tolist()
    assert records[1]["datetime"] == "2025-01-02 09:30:03.000"
    assert "date" not in records[0] and "time" not in records[0]


# ---------------------------------------------------------------- plot

def read_image(path):
    from matplotlib import image
    return image.imread(path)


@pytest.mark.parametrize("kind, extra, size", [
    ("minbar", [], (640, 480)),                              # the last 20 days: few bars, candles
    ("minbar", ["--from", DAYS[1], "--to", DAYS[2]], (300, 200)),
    ("tick", ["--day", TICK_DAYS[1]], (800, 300)),
])
def test_plot_writes_a_png_of_the_size_asked(tmp_path, made, kind, extra, size):
    out = tmp_path / "picture.png"
    result = invoke("plot", tmp_path / kind, "ST1", "-o", out, "--size", *size, *extra)
    assert result.exit_code == 0, result.output
    height, width = read_image(str(out)).shape[:2]
    assert (width, height) == size
    assert "ST1" in result.output


def test_plot_writes_svg_by_extension(tmp_path, made):
    out = tmp_path / "picture.svg"
    assert invoke("plot", tmp_path / "minbar", "ST1", "-o", out).exit_code == 0
    assert b"<svg" in out.read_bytes()[:1000]


def write_bars(root, directory, name, days, stamps_of_day, start_price=10.0):
    """A minute-bar file of `days` whose bars each day lie at `stamps_of_day(day)` (HHMMSS)."""
    from corvane import _engine
    dtype = bundle.EQUITIES_DTYPE if directory == "equities" else bundle.DERIVATIVES_DTYPE
    per_day = [stamps_of_day(day) for day in days]
    data = np.zeros(sum(len(stamps) for stamps in per_day), dtype=dtype)
    data["datetime"] = [stamp for stamps in per_day for stamp in stamps]
    rng = np.random.default_rng(7)
    close = start_price + np.cumsum(rng.normal(0, 0.01, len(data)))
    data["open"] = np.r_[start_price, close[:-1]]
    data["close"] = close
    data["high"] = np.maximum(data["open"], close) + rng.uniform(0, 0.01, len(data))
    data["low"] = np.minimum(data["open"], close) - rng.uniform(0, 0.01, len(data))
    data["volume"] = rng.integers(1, 1000, len(data)) * 100.0
    data["total_turnover"] = data["volume"] * close
    index = np.zeros(len(days), dtype=bundle.INDEX_DTYPE)
    index["date"] = days
    index["line_no"] = np.r_[0, np.cumsum([len(stamps) for stamps in per_day])[:-1]]
    path = os.path.join(root, "minbar", directory, name + ".h5")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with _engine.File(path) as h5:
        h5.append_minbar(index, data)
    return data


def stock_day(day):
    """A stock's 240 bars: 09:31..11:30 and 13:01..15:00, stamped at their end."""
    minutes = list(range(9 * 60 + 31, 11 * 60 + 31)) + list(range(13 * 60 + 1, 15 * 60 + 1))
    return [day * 1000000 + m // 60 * 10000 + m % 60 * 100 for m in minutes]


def future_day(previous):
    """A future's bars of a trading date: the night session on the evening of `previous`, then the day."""
    def stamps(day):
        night = [previous[day] * 1000000 + m // 60 * 10000 + m % 60 * 100 for m in range(21 * 60 + 1, 23 * 60 + 1)]
        return night + stock_day(day)
    return stamps


def trading_days(count, first="2024-01-02"):
    return [int(day.strftime("%Y%m%d")) for day in pd.bdate_range(first, periods=count)]


@pytest.mark.parametrize("days, per_day, width, period", [
    (1, 240, 1200, "1-minute"),
    (1, 240, 700, "5-minute"),
    (20, 240, 1200, "30-minute"),
    (4, 240, 1200, "5-minute"),
    (250, 240, 1200, "daily"),
    (1200, 240, 1200, "weekly"),
    (5000, 240, 1200, "monthly"),
    (5000, 240, 300, "yearly"),
])
def test_the_finest_period_with_few_enough_candles_is_chosen(days, per_day, width, period):
    dates = np.array(trading_days(days), dtype=np.int64)
    assert candles.choose_period(dates, np.full(days, per_day), width) == period


def expected_candles(data, dates_of_bars, period):
    """Candles by pandas, bar by bar: the reference the resampling must match."""
    frame = pd.DataFrame({name: data[name] for name in ("open", "high", "low", "close", "volume")})
    frame["date"] = dates_of_bars
    stamps = pd.to_datetime(data["datetime"].astype(str), format="%Y%m%d%H%M%S") - pd.Timedelta(minutes=1)
    if period == "30-minute":
        keys = [frame["date"], stamps.floor("30min")]
    else:
        keys = [pd.to_datetime(frame["date"].astype(str)).dt.to_period("W").astype(str)]
    grouped = frame.groupby(keys, sort=False)
    return grouped.agg(open=("open", "first"), high=("high", "max"), low=("low", "min"),
                       close=("close", "last"), volume=("volume", "sum"))


@pytest.mark.parametrize("period", ["30-minute", "weekly"])
@pytest.mark.parametrize("slice_rows", [100_000, 500])
def test_candles_match_the_bars_they_gather_also_read_slice_by_slice(tmp_path, monkeypatch, period, slice_rows):
    days = trading_days(12, "2024-12-23")   # over a year's end, a week split between slices
    data = write_bars(str(tmp_path), "equities", "ST2", days, stock_day)
    monkeypatch.setattr(candles, "SLICE_ROWS", slice_rows)
    rows = np.full(len(days), 240)
    drawn = candles.candles(str(tmp_path / "minbar"), "ST2", np.array(days), rows, period)
    expected = expected_candles(data, np.repeat(days, 240), period)
    for name in ("open", "high", "low", "close", "volume"):
        assert drawn[name].tolist() == expected[name].tolist(), name
    assert int(drawn["bars"].sum()) == len(data)


def labels_of(starts, days, minutes, width=1200):
    return [text for _, text in plot.time_labels(np.asarray(starts), np.asarray(days), minutes, width)]


def test_time_labels_sit_at_round_times_never_inside_a_break(tmp_path):
    day = 20250102
    write_bars(str(tmp_path), "equities", "ST2", [day], stock_day)
    drawn = candles.candles(str(tmp_path / "minbar"), "ST2", np.array([day]), np.array([240]), "5-minute")
    texts = labels_of(drawn["start"], drawn["date"], 5, 1200)
    assert texts and all(text.endswith(":00") or text.endswith(":30") for text in texts)
    assert "12:00" not in texts and "12:30" not in texts    # the lunch break holds no candle
    assert "13:00" in texts and "10:00" in texts


def test_time_labels_name_dates_over_several_days_and_years_over_decades():
    days = np.array(trading_days(3))
    starts = candles.day_stamps(np.repeat(days, 8)) + np.tile(np.arange(8), 3) * 30 * candles.MINUTE
    texts = labels_of(starts + 9 * 60 * candles.MINUTE, np.repeat(days, 8), 30)
    assert texts[0] == "2024-01-02" and "01-03" in texts and "01-04" in texts
    decades = np.array(trading_days(5000, "2005-01-03"))
    months = decades[np.r_[True, decades[1:] // 100 != decades[:-1] // 100]]
    texts = labels_of(candles.day_stamps(months), months, None, 1200)
    assert texts and all(len(text) == 4 and text.isdigit() for text in texts)


def plot_svg(tmp_path, order_book_id, *extra):
    out = tmp_path / "p.svg"
    result = invoke("plot", tmp_path / "minbar", order_book_id, "-o", out, *extra)
    assert result.exit_code == 0, result.output
    return result.output, out.read_text()


def test_the_night_session_is_shaded_and_named(tmp_path):
    days = trading_days(3)
    previous = dict(zip(days[1:], days[:-1]))
    previous[days[0]] = 20231229
    write_bars(str(tmp_path), "future", "FU2", days, future_day(previous), start_price=5000.0)
    write_bars(str(tmp_path), "equities", "ST2", days, stock_day)
    output, svg = plot_svg(tmp_path, "FU2")
    assert "night session" in svg
    texts = set(re.findall("<!-- ([^>]*) -->", svg))
    assert {"2024-01-02", "01-03", "01-04", "10:00", "14:00"} <= texts
    assert "night session" not in plot_svg(tmp_path, "ST2")[1]


@pytest.mark.parametrize("extra, up, down", [
    ([], plot.RED, plot.GREEN),
    (["--colours", "red-up"], plot.RED, plot.GREEN),
    (["--colours", "green-up"], plot.GREEN, plot.RED),
])
def test_candles_rise_and_fall_in_the_colours_asked_for_and_the_legend_says_which(tmp_path, made, extra, up, down):
    # Every bar of ST1 closes above its open: its candles and volumes are all `up`.
    _, svg = plot_svg(tmp_path, "ST1", *extra)
    texts = {html.unescape(text) for text in re.findall("<!-- ([^>]*) -->", svg)}
    assert {"up: close \u2265 open", "down: close < open"} <= texts
    # `down` only in the legend (its patch's fill and edge).
    assert svg.count(down) == 2 and svg.count(up) > len(DAYS) * BARS_PER_DAY


def test_an_unknown_colour_convention_is_refused_before_anything_is_read(tmp_path):
    with pytest.raises(ValueError, match="one of red-up, green-up"):
        plot.plot_bars(str(tmp_path / "nowhere"), "ST1", str(tmp_path / "p.png"), (800, 600), colours="up-red")
    assert invoke("plot", tmp_path, "ST1", "-o", tmp_path / "p.png", "--colours", "blue").exit_code == 2


def test_many_bars_become_coarser_candles_and_volume_has_thousands_separators(tmp_path):
    days = trading_days(300)
    write_bars(str(tmp_path), "equities", "ST2", days, stock_day)
    output, svg = plot_svg(tmp_path, "ST2", "--from", days[0], "--to", days[249])
    assert "daily candles, 250 trading day(s)" in output and "60,000 bars" in output
    assert re.search(r"<!-- \d{1,3}(,\d{3})+ -->", svg)   # a volume tick label
    output, _ = plot_svg(tmp_path, "ST2", "--day", "20240102")
    assert "1-minute candles, 1 trading day(s)" in output


@pytest.mark.parametrize("args", [
    ["inspect", "{root}/nowhere"],                                 # no bundle
    ["inspect", "{root}/minbar/equities"],                         # part of a bundle
    ["inspect", "{root}/minbar", "NOPE"],                          # no file for the id
    ["inspect", "{root}/minbar", "../tick/ST1"],                   # unsafe id
    ["inspect", "{root}/minbar", "ST1", "--day", "20250104"],      # not stored
    ["inspect", "{root}/minbar", "ST1", "--day", "20251301"],      # not a day
    ["inspect", "{root}/tick", "ST1", "--day", "20250106"],
    ["plot", "{root}/minbar", "ST1", "-o", "{root}/p.jpg"],        # unknown format
    ["plot", "{root}/minbar", "ST1", "-o", "{root}/no/such/dir/p.png"],
    ["plot", "{root}/minbar", "NOPE", "-o", "{root}/p.png"],
    ["plot", "{root}/minbar", "ST1", "--from", "20300101", "-o", "{root}/p.png"],
    ["plot", "{root}/tick", "ST1", "-o", "{root}/p.png"],          # a tick file needs --day
    ["plot", "{root}/tick", "ST1", "--day", "20250106", "-o", "{root}/p.png"],
    ["plot", "{root}/minbar", "ST1", "--size", "100000", "100000", "-o", "{root}/p.png"],
    ["plot", "{root}/minbar", "ST1", "--size", "9000", "9000", "-o", "{root}/p.png"],
])
def test_bad_input_is_one_line_and_status_2(tmp_path, made, args):
    result = invoke(*[a.format(root=tmp_path) for a in args])
    assert result.exit_code == 2, result.output
    (line,) = result.stderr.splitlines()
    assert line.startswith("Error: ")
    assert not (tmp_path / "p.png").exists()


@pytest.mark.parametrize("args", [
    ["inspect", "{root}/minbar", "ST1"],
    ["inspect", "{root}/minbar", "ST1", "--day", DAYS[0]],
    ["plot", "{root}/minbar", "ST1", "-o", "{root}/p.png"],
])
def test_a_damaged_file_is_one_line_not_a_traceback(tmp_path, made, args):
    with open(made["stock"], "r+b") as f:
        f.truncate(os.path.getsize(made["stock"]) // 2)
    result = invoke(*[str(a).format(root=tmp_path) for a in args])
    assert result.exit_code == 1
    (line,) = result.stderr.splitlines()
    assert "ST1" in line and "corvane verify" in line
    summary = invoke("inspect", tmp_path / "minbar").output
    assert "unreadable  equities/ST1.h5" in summary


def tick_stamps(*sessions):
    """HHMMSSmmm of a tick a minute through each (first, last) minute of the day."""
    return [m // 60 * 10000000 + m % 60 * 100000 for first, last in sessions for m in range(first, last + 1)]


@pytest.mark.parametrize("sessions, dotted, night", [
    ([(570, 690), (780, 900)], True, False),             # 09:30-11:30, lunch, 13:00-15:00
    ([(570, 900)], False, False),                        # no break
    ([(1260, 1380), (540, 690)], True, True),            # 21:00-23:00 the evening before, then the day
])
def test_a_tick_day_shows_its_breaks_and_night(tmp_path, sessions, dotted, night):
    from corvane import _engine
    stamps = tick_stamps(*sessions)
    records = ticks(TICK_DAYS[0], len(stamps))
    records["time"] = stamps
    if night:
        records["date"][:121] = 20250101     # the evening before, stored under the trading date
    os.makedirs(tmp_path / "tick")
    with _engine.File(str(tmp_path / "tick" / "TK.h5")) as h5:
        h5.write_day(TICK_DAYS[0], records)
    out = tmp_path / "t.svg"
    result = invoke("plot", tmp_path / "tick", "TK", "--day", TICK_DAYS[0], "-o", out)
    assert result.exit_code == 0, result.output
    svg = out.read_text()
    assert ("stroke-dasharray" in svg) == dotted
    assert ("night session" in svg) == night


# ---------------------------------------------------------------- as of a version

@pytest.fixture
def two_versions(tmp_path):
    """A minute-bar root and a tick directory, each committed twice; the first versions a day short,
    and the stock ST2 of the first minute-bar version left so (stale in the later one).
    {kind: (first id, later id)}."""
    from corvane import _engine
    from corvane.history import commits, states
    stock, tick_file = str(tmp_path / "minbar" / "equities" / "ST1.h5"), str(tmp_path / "tick" / "ST1.h5")
    other = str(tmp_path / "minbar" / "equities" / "ST2.h5")
    for h5_file in (stock, other):
        write_minbar(h5_file, bundle.EQUITIES_DTYPE, DAYS[:-1])
    write_ticks(tick_file, TICK_DAYS[:-1])

    def commit(kind, *h5_files):
        root = str(tmp_path / kind)
        entries = [states.file_state(root, h5_file, kind) for h5_file in h5_files]
        return commits.commit(root, kind, {"command": "test", "words": [], "counts": {}},
                              {entry["file"]: entry for entry in entries})
    first = {"minbar": commit("minbar", stock, other), "tick": commit("tick", tick_file)}
    with _engine.File(stock) as h5:
        h5.append_minbar(*bars(bundle.EQUITIES_DTYPE, DAYS[-1:]))
    with _engine.File(tick_file) as h5:
        h5.write_day(TICK_DAYS[-1], ticks(TICK_DAYS[-1]))
    return {kind: (first[kind], commit(kind, h5_file)) for kind, h5_file in (("minbar", stock), ("tick", tick_file))}


@pytest.mark.parametrize("kind, days", [("minbar", DAYS), ("tick", [int(day) for day in TICK_DAYS])])
def test_inspect_as_of_a_version_shows_what_it_held(tmp_path, two_versions, kind, days):
    first, later = two_versions[kind]
    per_day = BARS_PER_DAY if kind == "minbar" else TICKS_PER_DAY
    for as_of, held in ((first, days[:-1]), (later, days)):
        totals = next(iter(inspect_json(tmp_path / kind, "--as-of", as_of)["kinds"].values()))
        others = (len(DAYS) - 1) * per_day if kind == "minbar" else 0      # ST2, left a day short
        assert (totals["rows"], totals["last"]) == (len(held) * per_day + others, held[-1])
        facts = inspect_json(tmp_path / kind, "ST1", "--as-of", as_of)
        assert (facts["rows"], facts["days"], facts["last"]) == (len(held) * per_day, len(held), held[-1])
    for extra in ([], ["ST1"]):
        assert "as of {}".format(first) in invoke("inspect", tmp_path / kind, *extra, "--as-of", first).output
    assert len(inspect_json(tmp_path / kind, "ST1", "--day", days[-2], "--as-of", first)) == per_day
    result = invoke("inspect", tmp_path / kind, "ST1", "--day", days[-1], "--as-of", first)
    assert result.exit_code == 2 and "of {} as of {}".format(days[-1], first) in result.stderr


@pytest.mark.parametrize("kind, extra", [("minbar", []), ("tick", ["--day", TICK_DAYS[0]])])
def test_plot_as_of_a_version_draws_what_it_held(tmp_path, two_versions, kind, extra):
    first, later = two_versions[kind]
    out = tmp_path / "then.png"
    then = invoke("plot", tmp_path / kind, "ST1", "-o", out, "--as-of", first, *extra)
    now = invoke("plot", tmp_path / kind, "ST1", "-o", out, "--as-of", later, *extra)
    assert then.exit_code == now.exit_code == 0, then.output + now.output
    if kind == "minbar":
        assert "{} trading day(s) {} to {}, {} bars".format(
            len(DAYS) - 1, DAYS[0], DAYS[-2], (len(DAYS) - 1) * BARS_PER_DAY) in then.output
        assert "{} to {}".format(DAYS[0], DAYS[-1]) in now.output
    else:
        result = invoke("plot", tmp_path / kind, "ST1", "-o", out, "--as-of", first, "--day", TICK_DAYS[-1])
        assert result.exit_code == 2 and "no ticks of {} as of {}".format(TICK_DAYS[-1], first) in result.stderr


def test_status_as_of_a_version_looks_at_what_it_held(tmp_path, two_versions):
    first, later = two_versions["minbar"]
    then = invoke("status", tmp_path / "minbar", "--as-of", first, "--json")
    assert then.exit_code == 0, then.output
    assert {(row["order_book_id"], row["last"], row["venue_last"]) for row in json.loads(then.output)} == {
        ("ST1", DAYS[-2], DAYS[-2]), ("ST2", DAYS[-2], DAYS[-2])}
    now = invoke("status", tmp_path / "minbar", "--as-of", later)
    assert now.exit_code == 1
    assert now.output.splitlines()[0] == "ST2: stale: stored to {}, the venue to {}".format(DAYS[-2], DAYS[-1])


@pytest.mark.parametrize("args", [
    ["status", "{root}/minbar", "--as-of", "nosuchtag"],
    ["status", "{root}/minbar", "--as-of", "2000-01-01"],
    ["inspect", "{root}/minbar", "--as-of", "nosuchtag"],
    ["inspect", "{root}/minbar", "ST1", "--as-of", "nosuchtag"],
    ["inspect", "{root}/tick", "ST1", "--day", TICK_DAYS[0], "--as-of", "nosuchtag"],
    ["inspect", "{root}/minbar", "ST1", "--as-of", "2000-01-01"],      # before the first version
    ["plot", "{root}/minbar", "ST1", "-o", "{root}/p.png", "--as-of", "nosuchtag"],
    ["plot", "{root}/tick", "ST1", "--day", TICK_DAYS[0], "-o", "{root}/p.png", "--as-of", "nosuchtag"],
])
def test_a_bad_as_of_is_one_line_and_status_2(tmp_path, two_versions, args):
    result = invoke(*[a.format(root=tmp_path) for a in args])
    assert result.exit_code == 2, result.output
    (line,) = result.stderr.splitlines()
    assert line.startswith("Error: ") and "version" in line
    assert not (tmp_path / "p.png").exists()
