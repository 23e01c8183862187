"""The quality checks: each kind found on hand-made rows, clean demo data passes, and the
update's gate keeps the findings (version, report, summary) without dropping a row."""
import concurrent.futures
import json
import os

import h5py
import numpy as np
import pytest

import corvane.bundle as bundle
from corvane import quality
from corvane.formats import EQUITIES_DTYPE, INDEX_DTYPE, MAX_END_DATE
from corvane.look import verify
from corvane import layout
from corvane.history import versions
from corvane.updater import minbar, run
from corvane.updater.options import BadOption, UpdateOptions
import looking

DAYS = (20240103, 20240104)
STOCK = "10001.HBX"


def bars(per_day=30):
    """(data, index) of two clean days of rising bars."""
    data = np.zeros(len(DAYS) * per_day, dtype=EQUITIES_DTYPE)
    data["datetime"] = [day * 1000000 + 93100 + minute * 100 for day in DAYS for minute in range(per_day)]
    close = 10.0 + 0.01 * (np.arange(len(data)) % 7)
    data["open"], data["close"], data["high"], data["low"] = close, close, close + 0.02, close - 0.02
    data["volume"], data["total_turnover"] = 100.0, 1000.0
    index = np.zeros(len(DAYS), dtype=INDEX_DTYPE)
    index["date"], index["line_no"] = DAYS, np.arange(len(DAYS)) * per_day
    return data, index


def ticks(count=40):
    records = np.zeros(count, dtype=bundle.H5TicksLoader.DTYPES)
    records["date"] = DAYS[1]
    records["time"] = 93000000 + 3000 * np.arange(count)
    last = 100000 + 100 * (np.arange(count) % 5)
    records["last"], records["open"], records["high"], records["low"] = last, 100000, 100500, 99500
    records["a1"], records["b1"] = last + 100, last - 100
    records["volume"] = np.arange(count) * 10
    return records


def spoil(data, kind, row):
    if kind == "price":
        data["close"][row] = np.nan
    elif kind == "high-low":
        data["high"][row] = data["low"][row] - 1
    elif kind == "volume":
        data["total_turnover"][row] = -1
    elif kind == "order":
        data["datetime"][row] = data["datetime"][row - 1]
    elif kind == "session":
        data["datetime"][row] += 1000000     # the calendar day after
    elif kind == "jump":
        data["close"][row] *= 10    # a wrong decimal
        data["high"][row] = data["close"][row]
    elif kind == "crossed":
        data["b1"][row] = data["a1"][row]
    elif kind == "last":
        data["last"][row] = data["high"][row] + 1


BAR_KINDS = ("price", "high-low", "volume", "order", "session", "jump")
TICK_KINDS = ("price", "high-low", "volume", "order", "session", "crossed", "last")


@pytest.mark.parametrize("kind", BAR_KINDS)
def test_each_check_finds_its_kind_in_bars_and_nothing_else(kind):
    data, index = bars()
    assert quality.bar_findings(data, index, previous=20240102) == []
    row = 45 if kind != "session" else 59     # the second day; the session fault on its last bar
    spoil(data, kind, row)
    found = quality.bar_findings(data, index, previous=20240102)
    assert [(f.kind, f.date, f.count) for f in found] == [(kind, DAYS[1], 1)]
    assert found[0].example.startswith("row {} at ".format(row))


@pytest.mark.parametrize("previous", [20240102, None])
def test_the_engines_pass_over_a_day_lets_through_only_bars_the_checks_find_nothing_in(previous, monkeypatch):
    data, index = bars()
    day, index = data[:30].copy(), index[:1]
    assert quality._passes_at_once(day, index, previous)
    for kind in BAR_KINDS:
        spoilt = day.copy()
        spoil(spoilt, kind, 17)
        assert not quality._passes_at_once(spoilt, index, previous), kind
    rng = np.random.default_rng(11)
    passed = []
    for _ in range(300):
        # Mild faults too, near each bound: a move near the smallest jump bar, a day's edge.
        spoilt, row = day.copy(), int(rng.integers(0, len(day)))
        field = str(rng.choice(["open", "high", "low", "close", "volume", "total_turnover"]))
        spoilt[field][row] *= rng.choice([1.0, 0.975, 1.02, 1.03, 1.5, 2.0, 2.5, 0.4, 0.0, -1.0, np.nan])
        spoilt["datetime"][row] += int(rng.choice([0, 0, -1000000, 1000000, -14000000, -20000000]))
        passed.append(quality._passes_at_once(spoilt, index, previous))
        with monkeypatch.context() as checks_alone:
            checks_alone.setattr(quality, "_passes_at_once", lambda *args: False)
            found = quality.bar_findings(spoilt, index, previous)
        assert not (passed[-1] and found), found
    assert any(passed) and not all(passed)


def test_the_engines_pass_reads_a_record_type_renamed_in_place_by_its_new_names():
    data, index = bars()
    dtype = np.dtype(EQUITIES_DTYPE.descr)
    day = data[:30].astype(dtype)
    assert quality._passes_at_once(day, index[:1], 20240102)
    # "open" and "close" swap places: the bad price now lies in the field named "open".
    dtype.names = tuple({"open": "close", "close": "open"}.get(name, name) for name in dtype.names)
    day["open"][7] = -1.0
    assert not quality._passes_at_once(day, index[:1], 20240102)
    assert [f.kind for f in quality.bar_findings(day, index[:1], 20240102)] == ["price"]
    # Neither a strided view nor a byte-swapped copy is read in place; both are still screened.
    assert quality._passes_at_once(data[:30:2], index[:1], 20240102)
    assert quality._passes_at_once(data[:30].astype(data.dtype.newbyteorder(">")), index[:1], 20240102)


@pytest.mark.parametrize("closes, spiked", [
    ([10.0, 10.01, 100.2, 10.02, 10.03], [2]),       # a wrong decimal, and back
    ([10.0, 10.01, 1.002, 10.02, 10.03], [2]),       # down, and back
    ([10.0, 10.01, 15.0, 10.02, 10.03], []),         # a thin contract's bounce: half as high again
    ([10.0, 10.01, 100.2, 100.3, 100.4], []),        # a step that stays is no spike
    ([10.0, 10.01, 100.2, 1002.0, 1003.0], []),      # nor a climb by two steps, each a factor
    ([10.0, 10.01, 10.02, 10.03, 100.3], [4]),       # the day's last close, with nothing after it
])
def test_a_jump_is_a_spike_a_factor_away_and_back(closes, spiked):
    quiet = [10.0 + 0.01 * (k % 3) for k in range(40)]   # a day of ordinary moves before
    data, index = bars(per_day=len(quiet) + len(closes))
    data = data[:len(quiet) + len(closes)]
    index = index[:1]
    close = np.array(quiet + closes)
    data["open"], data["close"], data["high"], data["low"] = close, close, close, close
    found = quality.bar_findings(data, index, previous=20240102)
    assert [int(f.example.split()[1]) - len(quiet) for f in found if f.kind == "jump"] == spiked[:1]
    assert sum(f.count for f in found if f.kind == "jump") == len(spiked)


@pytest.mark.parametrize("kind", TICK_KINDS)
def test_each_check_finds_its_kind_in_ticks_and_nothing_else(kind):
    records = ticks()
    assert quality.tick_findings(DAYS[1], records, DAYS[0]) == []
    if kind == "session":
        records["date"][-1] = DAYS[1] + 1
    elif kind == "order":
        records["time"][20] = records["time"][19]
    elif kind == "high-low":
        records["high"][20] = records["low"][20] - 1
    elif kind == "price":
        records["last"][20] = 0
    elif kind == "volume":
        records["volume"][20] = -5
    else:
        spoil(records, kind, 20)
    found = quality.tick_findings(DAYS[1], records, DAYS[0])
    assert [(f.kind, f.date, f.count) for f in found] == [(kind, DAYS[1], 1)]


def test_a_night_row_on_the_evening_before_is_inside_and_one_before_that_is_not():
    records = ticks()
    records["date"][:3] = DAYS[0]          # the night session of the evening before
    assert quality.tick_findings(DAYS[1], records, DAYS[0]) == []
    records["date"][0] = DAYS[0] - 1
    assert [f.kind for f in quality.tick_findings(DAYS[1], records, DAYS[0])] == ["session"]


# ---------------------------------------------------------------- the demo market

@pytest.fixture
def demo(monkeypatch):
    return looking.demo_at(monkeypatch, "LUMENFEED_FAULTS")


def test_the_demo_markets_whole_history_is_clean(demo):
    demo("20261207")
    from corvane.updater import host
    services = host.platform()
    for order_book_id in (STOCK, "IX001.HBX", "51001.HBX", "11001.HBX"):
        index, data = minbar.fetch_bars(services, order_book_id, 20050104, MAX_END_DATE, EQUITIES_DTYPE, INDEX_DTYPE)
        assert len(index) > 300
        assert quality.bar_findings(data, index) == [], order_book_id


@pytest.fixture
def inline():
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        yield executor


# The as-of week: its last day is 20240112 (a Friday); ticks on its last three days.
FAULT_DAY = {"minbar": 20240110, "tick": 20240111}


def gated(kind, path, executor, mode, report_file):
    report = run.update(kind, str(path), [STOCK], options=UpdateOptions(since=20240108, quality=mode),
                        executor=executor)
    report.write_json(str(report_file))
    return report, json.loads(report_file.read_text())


@pytest.mark.parametrize("kind, fault", [("minbar", "price"), ("minbar", "high-low"), ("minbar", "volume"),
                                         ("minbar", "jump"), ("tick", "crossed"), ("tick", "last"),
                                         ("tick", "session"), ("tick", "order"), ("tick", "price")])
@pytest.mark.parametrize("mode", ["warn", "error"])
def test_the_gate_keeps_what_it_finds_and_drops_nothing(demo, inline, tmp_path, kind, fault, mode):
    day = FAULT_DAY[kind]
    demo("20240112", "{}:{}:{}".format(STOCK, day, fault))
    report, as_json = gated(kind, tmp_path / "b", inline, mode, tmp_path / "report.json")
    assert report.exit_status == (1 if mode == "error" else 0)
    assert as_json["quality"] == mode and as_json["exit_status"] == report.exit_status
    (instrument,) = as_json["instruments"]
    assert [(f[0], f[1]) for f in instrument["quality"]] == [(fault, day)]
    assert "quality: 1 findings in 1 instruments ({})".format(fault) in report.summary()
    if mode == "error":
        assert "quality {}: {} on {}".format(STOCK, fault, day) in report.summary()
    # Kept in the version, per file and day.
    (entry,) = versions.read_entries(str(tmp_path / "b"), report.version).values()
    assert [found[0] for found in entry["quality"][str(day)]] == [fault]
    # Nothing dropped: the file holds what was served.
    h5_file = os.path.join(str(tmp_path / "b"), "equities", STOCK + ".h5") if kind == "minbar" else \
        os.path.join(str(tmp_path / "b"), STOCK + ".h5")
    with h5py.File(h5_file, "r") as h5:
        if kind == "minbar":
            assert len(h5["data"]) == instrument["rows_after"]
        else:
            served = bundle_client_ticks(day)
            assert len(h5[str(day)]) == served
    # verify --data flags the same kind on that day.
    checked = verify.verify(str(tmp_path / "b"), kind, verify.Options(layout.layouts(), data=True))
    assert fault in {f.check for f in checked.findings}


def bundle_client_ticks(day):
    import lumenfeed
    import datetime
    when = datetime.date(day // 10000, day // 100 % 100, day % 100)
    return len(lumenfeed.get_price(STOCK, when, when, frequency="tick", adjust_type="none"))


def test_quality_off_checks_nothing_and_a_mode_it_cannot_take_is_refused(demo, inline, tmp_path):
    demo("20240112", "{}:{}:price".format(STOCK, FAULT_DAY["minbar"]))
    report, as_json = gated("minbar", tmp_path / "b", inline, "off", tmp_path / "report.json")
    assert report.exit_status == 0 and as_json["instruments"][0]["quality"] == []
    with pytest.raises(BadOption, match="quality must be"):
        UpdateOptions(quality="loud")


def test_a_fault_the_client_cannot_read_is_refused_in_one_line(demo, monkeypatch):
    demo("20240112")
    import lumenfeed
    monkeypatch.setenv("LUMENFEED_FAULTS", "{}:2024011:price".format(STOCK))
    with pytest.raises(ValueError, match="LUMENFEED_FAULTS must be"):
        lumenfeed.get_price(STOCK, start_date=20240108, end_date=20240112, frequency="1m", adjust_type="none")


@pytest.mark.parametrize("mode, status", [("error", 1), ("warn", 0), ("loud", 2)])
def test_the_update_commands_take_the_gates_mode(demo, tmp_path, mode, status):
    from click.testing import CliRunner

    from corvane.cli import main

    demo("20240112", "{}:{}:price".format(STOCK, FAULT_DAY["minbar"]))
    result = CliRunner().invoke(main, ["update-minbar", str(tmp_path / "b"), STOCK, "--since", "20240108",
                                       "--jobs", "1", "--quality", mode, "--json"])
    assert result.exit_code == status, result.output
    if status != 2:
        assert json.loads(result.stdout)["quality"] == mode


@pytest.mark.parametrize("field, value", [("open", 10.5), ("low", 10.3), ("close", 9.0)])
def test_a_bar_that_does_not_hold_together_is_found_whichever_price_breaks_it(field, value):
    data, index = bars()
    data["open"][45], data["high"][45], data["low"][45], data["close"][45] = 10.1, 10.2, 10.0, 10.1
    data[field][45] = value
    found = quality.bar_findings(data, index, previous=20240102)
    assert [(f.kind, f.count) for f in found] == [("high-low", 1)]
