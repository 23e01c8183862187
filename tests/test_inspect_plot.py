"""`corvane inspect` and `corvane plot` on a bundle built in the test."""
import json
import os

import h5py
import pytest

import corvane.bundle as bundle
from looking import (BARS_PER_DAY, DAYS, SCALES, TICK_DAYS, TICKS_PER_DAY, bars, invoke, make_bundle,
                     ticks, write_minbar)


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


def test_plot_draws_many_bars_as_a_line(tmp_path):
    days = [20250102 + k for k in range(3)]
    path = tmp_path / "minbar" / "equities" / "MANY.h5"
    path.parent.mkdir(parents=True)
    from corvane import _engine
    with _engine.File(str(path)) as h5:
        h5.append_minbar(*bars(bundle.EQUITIES_DTYPE, days, per_day=200))
    result = invoke("plot", tmp_path / "minbar", "MANY", "-o", tmp_path / "p.png", "--size", 800, 400)
    assert result.exit_code == 0 and "(close)" in result.output
    assert "(candles)" in invoke("plot", tmp_path / "minbar", "MANY", "-o", tmp_path / "p.png",
                                 "--day", days[0]).output


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
