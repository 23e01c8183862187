"""`corvane verify`: a sound bundle passes, each kind of damage is found and named."""
import fcntl
import json
import os

import h5py
import numpy as np
import pytest

from corvane import _engine, formats
from corvane import layout
from corvane.look import verify
from looking import DAYS, bars, daily_listing, interrupt_update, invoke, make_bundle, ticks, write_minbar


@pytest.fixture
def made(tmp_path):
    return make_bundle(tmp_path)


def root_of(files, name):
    return os.path.dirname(files[name]) if name == "ticks" else os.path.dirname(os.path.dirname(files[name]))


def checks(report):
    return {(os.path.basename(f.file), f.check) for f in report.findings}


def run(path, data=False, repair=False, jobs=1, client=None, kind=None):
    options = verify.Options(layout.layouts(), data=data, repair=repair)
    source = None if client is None else (lambda: client)
    return verify.verify(str(path), kind, options, jobs, source)


@pytest.mark.parametrize("name", ["stock", "ticks"])
def test_a_sound_bundle_passes_with_status_0(made, name):
    result = invoke("verify", root_of(made, name), "--data")
    assert result.exit_code == 0, result.output
    assert result.output.splitlines()[-1].endswith(": 0 finding(s) in 0 file(s)")


def test_the_folder_holding_both_bundles_has_each_checked(made, tmp_path):
    result = invoke("verify", tmp_path)
    assert result.exit_code == 0, result.output
    summaries = [line for line in result.output.splitlines() if line.startswith("corvane verify: ")]
    assert summaries == [
        "corvane verify: 2 minbar files checked under {}: 0 finding(s) in 0 file(s)".format(tmp_path / "minbar"),
        "corvane verify: 1 tick files checked under {}: 0 finding(s) in 0 file(s)".format(tmp_path / "tick")]
    truncate(made["ticks"])
    damaged = invoke("verify", tmp_path, "--json")
    assert damaged.exit_code == 1
    assert [(b["kind"], len(b["findings"]) > 0) for b in json.loads(damaged.output)["bundles"]] == [
        ("minbar", False), ("tick", True)]


@pytest.mark.parametrize("args, message", [
    (["{root}/minbar", "--kind", "tick"], "is a minute-bar root (it holds equities/, future/), not a tick"),
    (["{root}/tick", "--kind", "minbar"], "is a tick directory"),
    (["{root}/minbar"], "mixes both kinds: minute-bar sub-directories and 1 .h5 file(s) at its top"),
    (["{root}/minbar/equities"], "is a sub-directory of a minute-bar root"),
])
def test_a_root_of_the_other_kind_or_of_both_is_refused_in_one_line(made, tmp_path, args, message):
    if "--kind" not in args and args[0].endswith("minbar"):
        # Tick files where the minute-bar sub-directories stand.
        os.link(made["ticks"], tmp_path / "minbar" / "TK1.h5")
    result = invoke("verify", *[arg.format(root=tmp_path) for arg in args])
    assert result.exit_code == 2
    (line,) = result.stderr.splitlines()
    assert message in line, line


# ---------------------------------------------------------------- damage

def truncate(path):
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) // 2)


def edits(member):
    """Makes `change(records, h5)` a damage: `member` is read whole, the
    copy changed in place and written back over the stored rows."""
    def wrap(change):
        def damage(path):
            with h5py.File(path, "r+") as h5:
                records = h5[member][()]
                change(records, h5)
                h5[member][...] = records
        return damage
    return wrap


@edits("index")
def line_no_past_end(index, h5):
    index["line_no"][-1] = len(h5["data"]) + 5


@edits("data")
def datetime_out_of_order(data, h5):
    data["datetime"][[1, 2]] = data["datetime"][[2, 1]]


@edits("data")
def repeated_datetime(data, h5):
    data["datetime"][2] = data["datetime"][1]


@edits("index")
def index_dates_out_of_order(index, h5):
    index["date"][[0, 1]] = index["date"][[1, 0]]


@edits("index")
def index_date_off_its_bars(index, h5):
    index["date"][0] = 20241231  # still ascending, but its bars lie after it


@edits("index")
def index_date_repeated(index, h5):
    index["date"][1] = index["date"][0]


@edits("index")
def index_not_from_row_0(index, h5):
    index["line_no"][0] = 1


def drop_index(path):
    with h5py.File(path, "r+") as h5:
        del h5["index"]


def records_of_another_type(path):
    with h5py.File(path, "r+") as h5:
        data = h5["data"][()]
        del h5["data"]
        h5.create_dataset("data", data=data.astype([(n, "<f8") for n in data.dtype.names]),
                          chunks=True, maxshape=(None,), compression="gzip")


def contiguous_data(path):
    with h5py.File(path, "r+") as h5:
        data = h5["data"][()]
        del h5["data"]
        h5.create_dataset("data", data=data)


def chunked_uncompressed_data(path):
    with h5py.File(path, "r+") as h5:
        data = h5["data"][()]
        del h5["data"]
        h5.create_dataset("data", data=data, chunks=True, maxshape=(None,))


@edits("index")
def bars_before_the_previous_date(index, h5):
    # Still ascending, but the second date's bars (20250103) lie before
    # the first date: further back than a night session reaches.
    index["date"] = [20250104, 20250105, 20250106]


@edits("20250103")
def ticks_back_across_dates(records, h5):
    records["date"][-1] = 20250102  # the day's last tick stamped the evening before
    records["time"][-1] = 210000000


def tick_day_not_a_date(path):
    with h5py.File(path, "r+") as h5:
        h5.move("20250103", "20250132")


def ticks_out_of_order(path):
    with h5py.File(path, "r+") as h5:
        records = h5["20250103"][()]
        h5["20250103"][...] = records[::-1]


def a_group_among_days(path):
    with h5py.File(path, "r+") as h5:
        h5.create_group("notes")


@pytest.mark.parametrize("name, damage, check", [
    ("stock", truncate, "unreadable"),
    ("ticks", truncate, "unreadable"),
    ("stock", line_no_past_end, "line-no"),
    ("future", datetime_out_of_order, "datetime-order"),
    ("stock", repeated_datetime, "datetime-order"),
    ("stock", index_dates_out_of_order, "index-order"),
    ("stock", index_date_off_its_bars, "index-bars"),
    ("stock", index_date_repeated, "index-order"),
    ("stock", index_not_from_row_0, "line-no"),
    ("future", drop_index, "missing-dataset"),
    ("stock", records_of_another_type, "record-type"),
    ("future", contiguous_data, "storage"),
    ("stock", chunked_uncompressed_data, "storage"),
    ("stock", bars_before_the_previous_date, "index-bars"),
    ("ticks", ticks_back_across_dates, "tick-order"),
    ("ticks", tick_day_not_a_date, "day-name"),
    ("ticks", ticks_out_of_order, "tick-order"),
    ("ticks", a_group_among_days, "unexpected-member"),
])
def test_each_kind_of_damage_is_found_and_named(made, name, damage, check):
    damage(made[name])
    report = run(root_of(made, name))
    assert (os.path.basename(made[name]), check) in checks(report)
    assert {f.file for f in report.findings} == {made[name]}  # the sound file has none


def test_a_line_no_at_the_end_of_data_is_named_and_the_rest_still_checked(made):
    with h5py.File(made["stock"], "r+") as h5:
        index = h5["index"][()]
        index["line_no"][-1] = len(h5["data"])
        h5["index"][...] = index
    found = checks(run(root_of(made, "stock")))
    assert ("ST1.h5", "line-no") in found
    assert ("ST1.h5", "unreadable") not in found


def test_a_night_session_opening_a_tick_day_is_in_order(made):
    with h5py.File(made["ticks"], "r+") as h5:
        records = h5["20250103"][()]
        # The evening session of 20250102 opens trading date 20250103.
        records["date"][:2] = 20250102
        records["time"][:2] = [210000000, 210003000]
        h5["20250103"][...] = records
    assert run(root_of(made, "ticks")).findings == []


def test_a_tick_directory_holding_only_a_first_fills_leftover_names_it(tmp_path):
    directory = tmp_path / "tick"
    directory.mkdir()
    interrupt_update(directory / "ST9.h5")
    report = run(directory)
    assert report.kind == "tick"
    assert [(os.path.basename(f.file), f.check) for f in report.findings] == [("ST9.h5", "temporary")]
    assert invoke("verify", directory).exit_code == 1


def test_damage_gives_status_1_one_line_per_finding_and_json(made):
    line_no_past_end(made["stock"])
    truncate(made["future"])
    result = invoke("verify", root_of(made, "stock"))
    assert result.exit_code == 1
    *lines, last = result.output.splitlines()
    assert len(lines) == 2 and all(line.startswith(made["stock"]) or line.startswith(made["future"])
                                   for line in lines)
    assert "2 finding(s) in 2 file(s)" in last
    found = json.loads(invoke("verify", root_of(made, "stock"), "--json").output)
    assert {(f["file"], f["check"]) for f in found["findings"]} == {
        (made["stock"], "line-no"), (made["future"], "unreadable")}


def test_more_processes_find_the_same(made):
    datetime_out_of_order(made["future"])
    drop_index(made["stock"])
    assert run(root_of(made, "stock"), jobs=2).findings == run(root_of(made, "stock")).findings


# ---------------------------------------------------------------- values

def set_bar(path, row, **values):
    with h5py.File(path, "r+") as h5:
        data = h5["data"][()]
        for field, value in values.items():
            data[field][row] = value
        h5["data"][...] = data


@pytest.mark.parametrize("values, check", [
    ({"high": 5.0, "low": 20.0}, "high-low"),
    ({"close": np.nan}, "price"),
    ({"open": -1.0}, "price"),
    ({"volume": -3.0}, "volume"),
    ({"close": 30.0, "open": 29.9, "high": 30.1, "low": 29.8}, "jump"),
    ({"high": 9.0}, "high-low"),                                          # high below open and close
    ({"close": 5.0, "open": 5.01, "high": 5.02, "low": 4.99}, "jump"),    # a fall, not a rise
    ({"close": 5.0, "open": 5.01, "high": 5.02, "low": 4.99}, "move"),    # past --max-jump, falling
])
def test_data_finds_bad_values_at_their_row(made, values, check):
    set_bar(made["stock"], 5, **values)
    assert run(root_of(made, "stock")).findings == []  # structure alone does not look
    found = [f for f in run(root_of(made, "stock"), data=True).findings if f.check == check]
    assert [f.where for f in found] == ["row 5"]


def test_an_option_near_its_smallest_price_step_is_measured_against_its_own_moves(made):
    option = os.path.join(root_of(made, "stock"), "option", "OP1.h5")
    write_minbar(option, layout.layouts().derivatives)
    with h5py.File(option, "r+") as h5:
        data = h5["data"][()]
        # One step up, one step up, two steps down: moves of +100%, +50%, -67%.
        close = 0.0001 * (1 + np.arange(len(data)) % 3)
        for field in ("open", "high", "low", "close"):
            data[field] = close
        h5["data"][...] = data
    assert run(root_of(made, "stock"), data=True).findings == []

    set_bar(option, 5, open=0.1, high=0.1, low=0.1, close=0.1)  # a price from elsewhere
    found = [f for f in run(root_of(made, "stock"), data=True).findings if f.check == "jump"]
    assert [(os.path.basename(f.file), f.where) for f in found] == [("OP1.h5", "row 5")]


def spoil_chunk(path, dataset_name, chunk):
    """Overwrite the middle of one stored chunk so that it no longer inflates."""
    with h5py.File(path, "r") as h5:
        info = h5[dataset_name].id.get_chunk_info(chunk)
    with open(path, "r+b") as f:
        f.seek(info.byte_offset + info.size // 4)
        f.write(b"\xff" * (info.size // 2))


@pytest.mark.parametrize("data", [False, True])
@pytest.mark.parametrize("name, dataset_name, where", [
    ("stock", "data", "data rows {}..{}"),
    ("ticks", "20250103", "day 20250103 rows {}..{}"),
])
def test_a_chunk_that_does_not_inflate_is_named_with_its_rows(made, name, dataset_name, where, data):
    if name == "stock":  # enough bars for several chunks; the second is spoilt
        os.remove(made[name])
        with _engine.File(made[name]) as h5:
            h5.append_minbar(*bars(layout.layouts().equities, DAYS, per_day=3000))
    chunk = 1 if name == "stock" else 0
    with h5py.File(made[name], "r") as h5:
        dataset = h5[dataset_name]
        rows, total = dataset.chunks[0], len(dataset)
    assert total > rows * chunk
    spoil_chunk(made[name], dataset_name, chunk)
    found = run(root_of(made, name), data=data).findings
    assert [(f.check, f.where) for f in found] == [
        ("chunk", where.format(rows * chunk, min(rows * (chunk + 1), total) - 1))]


def test_data_finds_ticks_dated_after_their_trading_day(made):
    with h5py.File(made["ticks"], "r+") as h5:
        records = ticks("20250103")
        records["date"][0] = 20250102     # a night tick of the evening before: sound
        records["date"][3:] = 20250106
        h5["20250103"][...] = records
    assert run(root_of(made, "ticks")).findings == []
    found = run(root_of(made, "ticks"), data=True).findings
    # Dated after its day is outside the day's session (the quality checks').
    assert [(f.check, f.where) for f in found] == [("session", "day 20250103 row 3")]
    assert "1 more row" in found[0].detail


def test_data_finds_bad_tick_prices(made):
    with h5py.File(made["ticks"], "r+") as h5:
        records = ticks("20250102")
        records["last"][2] = 0
        h5["20250102"][...] = records
    found = run(root_of(made, "ticks"), data=True).findings
    assert [(f.check, f.where) for f in found if f.check == "price"] == [("price", "day 20250102 row 2")]


class Listing:
    """The client's trading-day listing for the missing-day check."""

    def __init__(self, days, volume=None):
        self.days, self.volume, self.calls = days, volume, []

    def get_price(self, *args):
        self.calls.append(args)
        return daily_listing(self.days, self.volume)

    def get_trading_dates(self, start, end):
        return [day.date() for day in daily_listing(self.days).index if start <= int(day.strftime("%Y%m%d")) <= end]


def test_data_finds_trading_days_missing_against_the_client(made):
    listing = Listing([20250102, 20250103, 20250104, 20250106])
    found = [f for f in run(root_of(made, "stock"), data=True, client=listing).findings
             if f.check == "missing-day"]
    assert {(os.path.basename(f.file), f.where) for f in found} == {
        ("ST1.h5", "date 20250104"), ("FU1.h5", "date 20250104")}
    assert sorted(listing.calls) == [("FU1", DAYS[0], DAYS[-1]), ("ST1", DAYS[0], DAYS[-1])]


def test_data_finds_tick_days_named_for_no_trading_day(made):
    with h5py.File(made["ticks"], "r+") as h5:
        h5.move("20250103", "20250104")  # a Saturday
        h5["20250104"][...] = ticks("20250104")
    listing = Listing([20250102, 20250103, 20250106])
    found = run(root_of(made, "ticks"), data=True, client=listing).findings
    assert [(f.check, f.where) for f in found if f.check == "not-trading-day"] == [
        ("not-trading-day", "day 20250104")]
    # Without the client the name is a real date: nothing to find.
    assert run(root_of(made, "ticks"), data=True).findings == []


def test_tick_days_after_the_clients_clock_are_not_named_but_noted(made):
    # The client's clock stands at the first stored day: it lists nothing later.
    with h5py.File(made["ticks"], "r") as h5:
        first = int(min(h5))
    report = verify.verify(root_of(made, "ticks"), None,
                           verify.Options(layout.layouts(), data=True), 1, lambda: Listing([first]))
    assert [f for f in report.findings if f.check == "not-trading-day"] == []
    assert any("after the client's last trading day {}".format(first) in note for note in report.notes)


def test_a_suspended_day_is_not_missing(made):
    listing = Listing([20250102, 20250103, 20250104, 20250106], volume=[10.0, 10.0, 0.0, 10.0])
    assert run(root_of(made, "stock"), data=True, client=listing).findings == []


def test_without_a_client_missing_days_are_skipped_with_a_note(made):
    report = verify.verify(root_of(made, "stock"), None,
                           verify.Options(layout.layouts(), data=True), 1, None)
    assert report.findings == [] and "not checked" in report.notes[0]


# ---------------------------------------------------------------- leftovers and repair

def test_a_leftover_journal_is_named_and_repair_rolls_it_back(made):
    path = made["stock"]
    with h5py.File(path, "r") as h5:
        before = h5["data"][()], h5["index"][()]
    interrupt_update(path)
    journal = formats.companion_paths(path)["journal"]
    assert os.path.exists(journal)
    found = run(root_of(made, "stock")).findings
    assert [(f.check, os.path.basename(journal) in f.detail) for f in found] == [("journal", True)]

    report = run(root_of(made, "stock"), repair=True)
    assert report.findings == [] and [file for file, _ in report.repaired] == [path]
    assert not os.path.exists(journal)
    with h5py.File(path, "r") as h5:
        assert h5["data"][()].tobytes() == before[0].tobytes()
        assert h5["index"][()].tobytes() == before[1].tobytes()


def test_repair_keeps_an_update_past_its_commit_point_and_drops_its_journal(made):
    path = made["stock"]
    h5 = _engine.File(path)
    h5.append_minbar(*bars(formats.EQUITIES_DTYPE, [20250107]))
    _engine._fail_once("guarded.committed")  # fails after the signature landed
    with pytest.raises(OSError, match="in place with this call's changes"):
        h5.close()
    journal = formats.companion_paths(path)["journal"]
    assert os.path.exists(journal)
    report = run(root_of(made, "stock"), repair=True)
    assert report.findings == []
    assert report.repaired == [(path, "journal {} removed (its update had committed)".format(
        os.path.basename(journal)))]
    with h5py.File(path, "r") as h5:
        assert h5["index"][-1]["date"] == 20250107


def test_repair_removes_a_dead_temporary_and_creates_nothing(tmp_path):
    made = make_bundle(tmp_path)
    new = os.path.join(os.path.dirname(made["stock"]), "ST2.h5")
    interrupt_update(new)
    temporary = formats.companion_paths(new)["temporary"]
    assert os.path.exists(temporary) and not os.path.exists(new)
    assert [f.check for f in run(root_of(made, "stock")).findings] == ["temporary"]

    result = invoke("verify", root_of(made, "stock"), "--repair")
    assert result.exit_code == 0, result.output
    assert not os.path.exists(temporary) and not os.path.exists(new)


def test_a_stale_writer_lock_is_named_and_repair_removes_it(made):
    """A writer killed before it journalled leaves only its lock file."""
    path = made["stock"]
    before = open(path, "rb").read()
    lock = formats.lock_path(path)
    open(lock, "w").close()
    found = run(root_of(made, "stock")).findings
    assert [(f.check, os.path.basename(lock) in f.detail) for f in found] == [("lock", True)]

    report = run(root_of(made, "stock"), repair=True)
    assert report.findings == [] and report.repaired == [(path, "lock {} removed".format(os.path.basename(lock)))]
    assert not os.path.lexists(lock) and open(path, "rb").read() == before


def test_a_stale_lock_without_its_file_goes_too(made):
    new = os.path.join(os.path.dirname(made["stock"]), "ST2.h5")
    interrupt_update(new)
    lock = formats.lock_path(new)
    open(lock, "w").close()
    assert run(root_of(made, "stock"), repair=True).findings == []
    assert not os.path.lexists(lock) and not os.path.exists(new)


def test_a_lock_a_writer_holds_is_neither_reported_nor_removed(made):
    path = made["stock"]
    lock = formats.lock_path(path)
    with open(lock, "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert run(root_of(made, "stock")).findings == []
        assert run(root_of(made, "stock"), repair=True).repaired == []
        assert os.path.exists(lock)


def test_a_link_planted_at_the_lock_is_named_and_left_with_its_target(made, tmp_path):
    path = made["stock"]
    lock = formats.lock_path(path)
    target = tmp_path / "elsewhere"
    target.write_text("kept")
    os.symlink(target, lock)
    report = run(root_of(made, "stock"), repair=True)
    assert [(f.check, "remove it by hand" in f.detail) for f in report.findings] == [("lock", True)]
    assert os.path.islink(lock) and target.read_text() == "kept"


def test_repair_leaves_a_sound_bundle_byte_for_byte(made):
    before = {path: open(path, "rb").read() for path in made.values()}
    for name in ("stock", "ticks"):
        assert run(root_of(made, name), repair=True).repaired == []
    assert {path: open(path, "rb").read() for path in made.values()} == before


# ---------------------------------------------------------------- bad input

@pytest.mark.parametrize("target", ["{root}/nothing", "{root}/plain", "{root}/empty"])
def test_a_path_that_is_no_bundle_is_a_usage_error(tmp_path, target):
    (tmp_path / "plain").write_text("x")
    (tmp_path / "empty").mkdir()
    result = invoke("verify", target.format(root=tmp_path))
    assert result.exit_code == 2
    (line,) = result.stderr.splitlines()
    assert line.startswith("Error: ")


def test_kind_forces_how_the_path_is_read(made):
    report = run(root_of(made, "stock") + "/equities", kind="tick")
    assert ("ST1.h5", "record-type") in checks(report)



def test_a_file_being_written_is_not_called_damaged(made):
    from corvane import _engine
    from looking import bars

    with _engine.File(made["stock"]) as h5:
        h5.append_minbar(*bars(layout.layouts().equities, [20250107]))
        found = {f.check for f in run(root_of(made, "stock")).findings}
    # Whether a reader may open it meanwhile is the engine's choice; either way no damage.
    assert found in ({"busy"}, {"journal"}, set())


def test_a_file_a_writer_holds_is_busy_not_unreadable(made):
    # A writer landing its pages holds the file exclusively for that instant.
    with open(made["stock"], "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        found = [(f.check, f.detail) for f in run(root_of(made, "stock")).findings]
    assert found == [("busy", "an update is writing the file now; run verify again after it")]


def test_a_new_file_over_a_dead_writers_journal_drops_the_journal(tmp_path):
    path = str(tmp_path / "minbar" / "equities" / "ST1.h5")
    write_minbar(path, layout.layouts().equities)
    interrupt_update(path)
    os.remove(path)  # the file the journal guarded is gone; a first fill makes it anew
    write_minbar(path, layout.layouts().equities)
    assert sorted(os.listdir(os.path.dirname(path))) == ["ST1.h5"]
    assert run(tmp_path / "minbar").findings == []
