"""`corvane.read`: bars and ticks back as tables, on bundles written by the engine."""
import datetime
import os
import sys

import numpy as np
import pandas as pd
import pytest

import corvane.bundle as bundle
from corvane import _engine
from corvane import read
from corvane.read import tables
from corvane.layout import BundleError
from corvane.errors import DamagedFileError
from looking import BARS_PER_DAY, DAYS, SCALES, TICK_DAYS, bars, invoke, make_bundle, ticks, write_minbar


@pytest.fixture
def made(tmp_path):
    return make_bundle(tmp_path)


@pytest.fixture
def minbar(tmp_path, made):
    return str(tmp_path / "minbar")


@pytest.mark.parametrize("start, end, days", [
    (None, None, DAYS),
    (DAYS[1], None, DAYS[1:]),
    (None, DAYS[1], DAYS[:2]),
    (DAYS[1], DAYS[1], DAYS[1:2]),
    (datetime.date(2025, 1, 3), "20250106", DAYS[1:]),
    (pd.Timestamp("2025-01-04"), datetime.datetime(2025, 1, 5), []),  # a weekend holds nothing
    (20240101, 20241231, []),
])
def test_bars_of_a_date_range(minbar, start, end, days):
    table = read.bars(minbar, "ST1", start, end)
    _, data = bars(bundle.EQUITIES_DTYPE)
    stored = [k for k, day in enumerate(np.repeat(DAYS, BARS_PER_DAY)) if day in days]
    expected = data[stored]
    assert list(table.columns) == ["trading_date", "open", "high", "low", "close", "volume", "total_turnover"]
    assert table.index.name == "datetime"
    assert table["trading_date"].tolist() == [day for day in days for _ in range(BARS_PER_DAY)]
    for name in ("open", "high", "low", "close", "volume", "total_turnover"):
        assert table[name].tolist() == expected[name].tolist()
    assert [stamp.strftime("%Y%m%d%H%M%S") for stamp in table.index] == [str(v) for v in expected["datetime"]]


def test_derivative_bars_keep_open_interest_integer(minbar):
    table = read.bars(minbar, "FU1", columns=["close", "open_interest"])
    assert list(table.columns) == ["trading_date", "close", "open_interest"]
    assert table["open_interest"].dtype == np.int64
    assert len(table) == len(DAYS) * BARS_PER_DAY


def test_trading_date_comes_from_the_index_not_the_bar_time(tmp_path):
    # A night session: bars of the evening before belong to the next trading date.
    index, data = bars(bundle.DERIVATIVES_DTYPE, [20250102, 20250103], per_day=2)
    data["datetime"] = [20250102093100, 20250102093200, 20250102210100, 20250103090100]
    index["line_no"] = [0, 2]
    write_minbar_records(tmp_path / "minbar" / "future" / "NI1.h5", index, data)
    table = read.bars(str(tmp_path / "minbar"), "NI1", 20250103, 20250103)
    assert table["trading_date"].tolist() == [20250103, 20250103]
    assert table.index.tolist() == [pd.Timestamp("2025-01-02 21:01"), pd.Timestamp("2025-01-03 09:01")]


@pytest.mark.parametrize("call, message", [
    (lambda p: read.bars(p, "NOPE"), "no file for NOPE"),
    (lambda p: read.bars(p, "ST1", 20250106, 20250102), "after end"),
    (lambda p: read.bars(p, "ST1", "2025-01-02"), "YYYYMMDD"),
    (lambda p: read.bars(p, "ST1", 20251301), "YYYYMMDD"),
    (lambda p: read.bars(p, "ST1", columns=["close", "bid"]), "no field 'bid'"),
    (lambda p: read.bars(p, "../ST1"), "unsafe"),
    (lambda p: read.bars_many(p, ["ST1", "NOPE"]), "no file for NOPE"),
])
def test_bad_requests_are_refused_in_one_line(minbar, call, message):
    with pytest.raises(ValueError, match=message) as error:
        call(minbar)
    assert "\n" not in str(error.value)


def test_a_file_without_bars_is_refused(minbar):
    with _engine.File(os.path.join(minbar, "equities", "EMPTY.h5")) as h5:
        h5.create_dataset("other", np.zeros(1, dtype=bundle.INDEX_DTYPE))
    with pytest.raises(BundleError, match="holds no bars"):
        read.bars(minbar, "EMPTY")


@pytest.mark.parametrize("call", [read.bars, lambda path, name: read.bars_many(path, [name])])
def test_bars_of_a_tick_directory_are_refused(tmp_path, made, call):
    with pytest.raises(BundleError, match="not a minute-bar bundle"):
        call(str(tmp_path / "tick"), "ST1")


def test_a_large_read_of_a_derivative_gives_every_column_as_stored(tmp_path):
    days = [int(day.strftime("%Y%m%d")) for day in pd.bdate_range("2024-01-02", periods=160)]
    index, data = bars(bundle.DERIVATIVES_DTYPE, days, per_day=240)
    minutes = 9 * 60 + 31 + np.arange(240)
    data["datetime"] = np.repeat(days, 240) * 1000000 + np.tile(minutes // 60 * 10000 + minutes % 60 * 100, len(days))
    data["open_interest"] = np.arange(len(data)) * 3
    write_minbar_records(tmp_path / "minbar" / "future" / "BIG.h5", index, data)
    table = read.bars(str(tmp_path / "minbar"), "BIG", days[2], days[-3])
    rows = slice(2 * 240, (len(days) - 2) * 240)
    for name in ("open", "high", "low", "close", "open_interest", "volume", "total_turnover"):
        np.testing.assert_array_equal(table[name].to_numpy(), data[name][rows], err_msg=name)
    np.testing.assert_array_equal(table["trading_date"].to_numpy(), np.repeat(days[2:-2], 240))
    assert [stamp.strftime("%Y%m%d%H%M%S") for stamp in table.index[::997]] == \
        [str(value) for value in data["datetime"][rows][::997]]


def test_a_read_on_any_count_of_threads_is_the_same_table(tmp_path):
    # Enough chunks for five threads to share (a thread takes at least 16).
    days = [int(day.strftime("%Y%m%d")) for day in pd.bdate_range("2024-01-02", periods=400)]
    index, data = bars(bundle.EQUITIES_DTYPE, days, per_day=240)
    write_minbar_records(tmp_path / "minbar" / "equities" / "MANY.h5", index, data)
    root = str(tmp_path / "minbar")
    alone = read.bars(root, "MANY", days[1], days[-2], threads=1)
    assert len(alone) == 398 * 240
    for threads in (0, 2, 5):
        pd.testing.assert_frame_equal(read.bars(root, "MANY", days[1], days[-2], threads=threads), alone)


@pytest.mark.parametrize("threads", [-1, True, 1.5, "2", None])
@pytest.mark.parametrize("call", ["bars", "bars_many"])
def test_threads_that_are_no_count_are_refused_before_a_read(minbar, call, threads):
    ids = "ST1" if call == "bars" else ["ST1"]
    with pytest.raises(TypeError, match="threads is a whole number of threads, not"):
        getattr(read, call)(minbar, ids, threads=threads)


def write_minbar_records(path, index, data):
    os.makedirs(path.parent, exist_ok=True)
    with _engine.File(str(path)) as h5:
        h5.append_minbar(index, data)


def test_many_instruments_read_as_each_alone(minbar):
    write_minbar(os.path.join(minbar, "equities", "ST2.h5"), bundle.EQUITIES_DTYPE, DAYS[1:])
    many = read.bars_many(minbar, ["ST2", "ST1", "FU1"], DAYS[1], DAYS[2], threads=3)
    assert list(many) == ["ST2", "ST1", "FU1"]
    for order_book_id, table in many.items():
        pd.testing.assert_frame_equal(table, read.bars(minbar, order_book_id, DAYS[1], DAYS[2]))


@pytest.mark.parametrize("start, end, days", [
    (None, None, TICK_DAYS),
    (TICK_DAYS[1], None, TICK_DAYS[1:]),
    (None, 20250102, TICK_DAYS[:1]),
    (20250104, None, []),
])
def test_ticks_are_divided_back_and_dated(tmp_path, made, start, end, days):
    table = read.ticks(str(tmp_path / "tick"), "ST1", start, end)
    stored = np.concatenate([ticks(day) for day in days]) if days else ticks(TICK_DAYS[0])[:0]
    assert table["trading_date"].tolist() == [int(day) for day in days for _ in range(len(ticks(day)))]
    for name, scale in SCALES.items():
        assert table[name].tolist() == (stored[name] / scale).tolist()
    assert table["volume"].tolist() == stored["volume"].tolist()
    assert "date" not in table and "time" not in table
    if days:
        assert table.index[1] == pd.Timestamp("{} 09:30:03".format(days[0]))


def test_index_of_each_kind(tmp_path, made):
    minbar = read.index(str(tmp_path / "minbar"), "ST1")
    assert minbar.to_dict("list") == {"date": DAYS, "line_no": [0, 4, 8], "rows": [BARS_PER_DAY] * 3}
    tick = read.index(str(tmp_path / "tick"), "ST1")
    assert tick.to_dict("list") == {"date": [int(day) for day in TICK_DAYS], "rows": [5, 5]}


def test_listing_says_what_inspect_counts(tmp_path, made):
    table = read.listing(str(tmp_path / "minbar"))
    assert table[["order_book_id", "kind", "rows", "days", "first", "last"]].values.tolist() == [
        ["ST1", "equities", len(DAYS) * BARS_PER_DAY, len(DAYS), DAYS[0], DAYS[-1]],
        ["FU1", "future", len(DAYS) * BARS_PER_DAY, len(DAYS), DAYS[0], DAYS[-1]],
    ]
    assert read.listing(str(tmp_path / "tick"))["kind"].tolist() == ["ticks"]


# ---------------------------------------------------------------- export

def test_export_writes_the_bars_of_the_range_as_csv(tmp_path, minbar):
    out = tmp_path / "st1.csv"
    result = invoke("export", minbar, "ST1", "--from", DAYS[1], "--to", DAYS[2], "-o", out)
    assert result.exit_code == 0, result.output
    assert result.output == "{}: {} rows of ST1\n".format(out, 2 * BARS_PER_DAY)
    table = pd.read_csv(out, index_col="datetime", parse_dates=["datetime"])
    pd.testing.assert_frame_equal(table, read.bars(minbar, "ST1", DAYS[1], DAYS[2]), check_dtype=False,
                                  check_index_type=False, check_freq=False)


def test_export_of_a_tick_directory_writes_ticks(tmp_path, made):
    out = tmp_path / "ticks.csv"
    assert invoke("export", tmp_path / "tick", "ST1", "-o", out).exit_code == 0
    table = pd.read_csv(out, index_col="datetime", parse_dates=["datetime"])
    assert table["last"].tolist() == read.ticks(str(tmp_path / "tick"), "ST1")["last"].tolist()


@pytest.mark.parametrize("args, message, status", [
    (["NOPE", "-o", "{tmp}/x.csv"], "no file for NOPE", 2),
    (["ST1", "-o", "{tmp}/x.xlsx"], "one of .csv, .parquet", 2),
    (["ST1", "-o", "{tmp}/missing/x.csv"], "does not exist", 2),
    (["ST1", "--from", "2025-01-02", "-o", "{tmp}/x.csv"], "YYYYMMDD", 2),
    (["ST1", "--from", DAYS[2], "--to", DAYS[0], "-o", "{tmp}/x.csv"], "after end", 2),
])
def test_export_refuses_bad_input_and_writes_nothing(tmp_path, minbar, args, message, status):
    result = invoke("export", minbar, *[str(a).format(tmp=tmp_path) for a in args])
    assert result.exit_code == status
    assert message in result.output
    assert not [name for name in os.listdir(tmp_path) if name not in ("minbar", "tick")]


def test_parquet_without_its_extra_is_refused_in_one_line(tmp_path, minbar, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import fails as when absent
    result = invoke("export", minbar, "ST1", "-o", tmp_path / "x.parquet")
    assert result.exit_code == 2
    assert result.output == "corvane: corvane export needs pyarrow to write Parquet: pip install 'corvane[parquet]'\n"
    assert not (tmp_path / "x.parquet").exists()


def test_parquet_keeps_the_table(tmp_path, minbar):
    pytest.importorskip("pyarrow")
    out = tmp_path / "st1.parquet"
    assert invoke("export", minbar, "ST1", "-o", out).exit_code == 0
    pd.testing.assert_frame_equal(pd.read_parquet(out), read.bars(minbar, "ST1"))


def test_a_failed_write_leaves_no_file(tmp_path, minbar, monkeypatch):
    def fail(self, path, *args, **kwargs):
        with open(path, "w") as half:
            half.write("datetime,open\n")
        raise OSError("disk full")
    monkeypatch.setattr(pd.DataFrame, "to_csv", fail)
    with pytest.raises(OSError, match="disk full"):
        read.export(minbar, "ST1", str(tmp_path / "x.csv"))
    assert sorted(os.listdir(tmp_path)) == ["minbar", "tick"]


# ---------------------------------------------------------------- beside writers, damaged files

def test_a_reader_keeps_its_version_while_an_update_goes_beside(minbar):
    path = os.path.join(minbar, "equities", "ST1.h5")
    before = os.stat(path).st_ino
    with _engine.Reader(path) as reader:
        rows = reader.length("data")
        with _engine.File(path) as writer:  # an update of two more days, while the reader holds the file
            writer.append_minbar(*bars(bundle.EQUITIES_DTYPE, [20250107, 20250108]))
        assert os.stat(path).st_ino != before  # written beside, renamed over
        assert reader.length("data") == rows
        assert reader.read("data")["datetime"].tolist() == bars(bundle.EQUITIES_DTYPE)[1]["datetime"].tolist()
    assert read.bars(minbar, "ST1", 20250107)["trading_date"].tolist() == [20250107] * 4 + [20250108] * 4


@pytest.mark.parametrize("freq", [None, "1D", "5min", "7min"])
def test_a_chunk_that_does_not_inflate_is_named_with_its_rows(minbar, freq):
    import h5py

    path = os.path.join(minbar, "equities", "ST1.h5")
    with h5py.File(path, "r") as h5:
        chunk = h5["data"].id.get_chunk_info_by_coord((0,))
    with open(path, "r+b") as raw:
        raw.seek(chunk.byte_offset + chunk.size // 2)
        raw.write(b"\xa5" * 16)
    with pytest.raises(OSError, match=r"the chunk of rows 0 to 12 of 'data' in '.*ST1.h5' cannot be read"):
        read.bars(minbar, "ST1", freq=freq)
    # The index lies elsewhere and still reads.
    assert read.index(minbar, "ST1")["date"].tolist() == DAYS


@pytest.mark.parametrize("freq", [None, "1D", "5min"])
@pytest.mark.parametrize("storage", [{}, {"chunks": (5,), "compression": "gzip", "shuffle": True}])
def test_files_of_other_writers_read_the_same(minbar, storage, freq):
    import h5py

    index, data = bars(bundle.EQUITIES_DTYPE)
    with h5py.File(os.path.join(minbar, "equities", "H5.h5"), "w") as h5:
        h5.create_dataset("data", data=data, **storage)
        h5.create_dataset("index", data=index)
    expected = read.bars(minbar, "ST1", DAYS[1], freq=freq)
    pd.testing.assert_frame_equal(read.bars(minbar, "H5", DAYS[1], freq=freq), expected)


@pytest.mark.parametrize("line_no", [[0, 4, 13], [0, 8, 4]])
def test_an_index_naming_rows_that_are_not_there_is_refused(minbar, line_no):
    import h5py

    index, data = bars(bundle.EQUITIES_DTYPE)
    index["line_no"] = line_no
    with h5py.File(os.path.join(minbar, "equities", "BAD.h5"), "w") as h5:
        h5.create_dataset("data", data=data)
        h5.create_dataset("index", data=index)
    with pytest.raises(DamagedFileError, match="BAD.h5: its \"index\" is not ascending dates of ascending rows"):
        read.bars(minbar, "BAD")


@pytest.mark.parametrize("value, day", [
    (20250103, 20250103), (np.int32(20250103), 20250103), ("20250103", 20250103),
    (datetime.date(2025, 1, 3), 20250103), (np.datetime64("2025-01-03T10:00"), 20250103), (None, None),
])
def test_days_are_taken_in_every_form(value, day):
    assert read.as_day(value) == day


@pytest.mark.parametrize("value", [True, 2025.0103, b"20250103"])
def test_other_things_are_no_day(value):
    with pytest.raises(TypeError, match="a day is"):
        read.as_day(value)


@pytest.mark.parametrize("from_blocks", [True, False])
def test_a_table_holds_the_arrays_read_under_names_of_its_own(minbar, monkeypatch, from_blocks):
    # pandas 3 makes the table from its blocks, older pandas through the constructor: one table.
    if not from_blocks:
        monkeypatch.setattr(tables, "create_dataframe_from_blocks", None)
    columns = tables.table_columns(tables.bar_columns(os.path.join(minbar, "future", "FU1.h5"), None, None, None))
    index = pd.date_range("2025-01-02", periods=len(columns["close"]), freq="min", name="datetime")
    table = tables.frame(columns, index)
    pd.testing.assert_frame_equal(table, pd.DataFrame({k: v.copy() for k, v in columns.items()}, index=index))
    assert all(np.shares_memory(table[name].to_numpy(), values) for name, values in columns.items())
    table.columns.name = "renamed"
    assert tables.frame(columns, index).columns.name is None


def test_one_field_may_be_named_alone(minbar):
    assert list(read.bars(minbar, "ST1", columns="close").columns) == ["trading_date", "close"]


def test_the_engine_reader_refuses_arrays_that_do_not_fit(minbar):
    path = os.path.join(minbar, "equities", "ST1.h5")
    with _engine.Reader(path) as reader:
        assert reader.read("data", 2, 5)["datetime"].tolist() == bars(bundle.EQUITIES_DTYPE)[1]["datetime"][2:5].tolist()
        assert len(reader.read("data", -3)) == 3
        for columns, message in [
            ([("close", np.empty(3), "")], "must hold 4 values"),
            ([("close", np.empty(4, dtype=np.int32), "")], "must hold 4 values"),
            ([("datetime", np.empty(5, dtype="datetime64[ns]"), "bar_time")], "must hold 4 values"),
            ([("bid", np.empty(4), "")], "no field 'bid'"),
            ([("close", np.empty(4), "scaled")], "decode must be"),
        ]:
            with pytest.raises(ValueError, match=message):
                reader.read_into("data", 0, 4, columns)
        close = np.empty(4)
        reader.read_into("data", 8, 12, [("close", close, "")])
        assert close.tolist() == bars(bundle.EQUITIES_DTYPE)[1]["close"][8:12].tolist()
    with pytest.raises(ValueError, match="closed"):
        reader.members()



@pytest.mark.parametrize("rows", [0, 1, 7, 1000])
def test_a_table_s_columns_are_cut_from_one_block_apart(rows):
    kinds = ["datetime64[ns]", np.dtype("<u4"), np.dtype("<f8"), np.dtype("<i2"), np.dtype("<f8")]
    columns = tables.fresh_columns(kinds, rows)
    assert [(len(c), c.dtype) for c in columns] == [(rows, np.dtype(k)) for k in kinds]
    for at, column in enumerate(columns):
        column.view(np.uint8)[:] = at + 1
    # Each column wrote its bytes alone, each on a line of its own.
    assert all((c.view(np.uint8) == at + 1).all() for at, c in enumerate(columns))
    assert all((c.ctypes.data - columns[0].ctypes.data) % 64 == 0 for c in columns)


def test_the_engine_s_record_types_stay_as_stored_whatever_a_caller_renames(minbar):
    with _engine.Reader(os.path.join(minbar, "equities", "ST1.h5")) as reader:
        first = reader.read("data", 0, 2)
        first.dtype.names = tuple(name.upper() for name in first.dtype.names)
        assert reader.dtype("data") == bundle.EQUITIES_DTYPE
        assert reader.read("data", 0, 2).dtype == bundle.EQUITIES_DTYPE

# ---------------------------------------------------------------- one Bundle, its kinds found once

def test_a_bundle_root_reads_as_its_two_directories(tmp_path, made):
    root, minbar, tick = str(tmp_path), str(tmp_path / "minbar"), str(tmp_path / "tick")
    both = read.Bundle(root)
    assert both.roots == {"minbar": minbar, "tick": tick}
    pd.testing.assert_frame_equal(both.bars("ST1", DAYS[1]), read.bars(minbar, "ST1", DAYS[1]))
    pd.testing.assert_frame_equal(read.bars(root, "FU1"), read.bars(minbar, "FU1"))
    pd.testing.assert_frame_equal(both.ticks("ST1"), read.ticks(tick, "ST1"))
    pd.testing.assert_frame_equal(read.ticks(root, "ST1", TICK_DAYS[1]), read.ticks(tick, "ST1", TICK_DAYS[1]))
    assert read.bars_many(root, ["FU1", "ST1"]).keys() == {"FU1", "ST1"}
    # The minute-bar file's index when there is one, else the tick file's.
    pd.testing.assert_frame_equal(both.index("ST1"), read.index(minbar, "ST1"))
    pd.testing.assert_frame_equal(both.index("ST1", kind="tick"), read.index(tick, "ST1"))
    read.export(root, "ST1", str(tmp_path / "bars.csv"))
    read.export(root, "ST1", str(tmp_path / "ticks.csv"), kind="tick")
    os.remove(made["stock"])
    pd.testing.assert_frame_equal(read.index(root, "ST1"), read.index(tick, "ST1"))
    read.export(root, "ST1", str(tmp_path / "only-ticks.csv"))
    assert [len(pd.read_csv(tmp_path / name)) for name in ("bars.csv", "ticks.csv", "only-ticks.csv")] == \
        [len(DAYS) * BARS_PER_DAY, len(TICK_DAYS) * 5, len(TICK_DAYS) * 5]
    assert read.listing(root)[["order_book_id", "kind"]].values.tolist() == [["FU1", "future"], ["ST1", "ticks"]]


def test_a_bundle_finds_its_kinds_once(tmp_path, made, monkeypatch):
    bound = read.Bundle(tmp_path)
    expected = read.bars(str(tmp_path / "minbar"), "ST1")
    for name in ("kinds_held", "child_bundles", "require_kind"):
        monkeypatch.setattr(read.files, name, None)
    pd.testing.assert_frame_equal(bound.bars("ST1"), expected)
    assert len(bound.ticks("ST1")) == len(TICK_DAYS) * 5


@pytest.mark.parametrize("layout, at, call, message", [
    (["minbar"], "", lambda path: read.ticks(path, "ST1"), "holds no tick bundle, only .*minbar"),
    (["minbar"], "minbar", lambda path: read.Bundle(path).ticks("ST1"), "is a minute-bar root"),
    (["minbar", "tick", "tick2"], "", read.Bundle, "holds .*tick and .*tick2: give one of them"),
    ([], "", read.Bundle, "is not a bundle"),
])
def test_a_folder_without_the_kind_asked_for_says_what_it_holds(tmp_path, made, layout, at, call, message):
    import shutil

    if "tick2" in layout:
        shutil.copytree(tmp_path / "tick", tmp_path / "tick2")
    for name in {"minbar", "tick"} - set(layout):
        shutil.rmtree(tmp_path / name)
    with pytest.raises(BundleError, match=message):
        call(str(tmp_path / at))


@pytest.mark.parametrize("call", [
    lambda p, **kw: read.bars(p, "FU1", **kw),
    lambda p, **kw: read.bars_many(p, ["FU1"], **kw)["FU1"],
    lambda p, **kw: read.Bundle(p).bars("FU1", **kw),
])
def test_columns_and_their_former_name_fields_keep_the_same(minbar, call):
    table = call(minbar, columns=["close", "open_interest"])
    assert list(table.columns) == ["trading_date", "close", "open_interest"]
    with pytest.warns(DeprecationWarning, match="columns"):
        pd.testing.assert_frame_equal(call(minbar, fields=["close", "open_interest"]), table)
    with pytest.raises(TypeError, match="not both"), pytest.warns(DeprecationWarning):
        call(minbar, columns=["close"], fields=["close"])


def test_tick_columns_are_chosen_too(tmp_path, made):
    tick = str(tmp_path / "tick")
    table = read.ticks(tick, "ST1", columns=["last", "volume"])
    assert list(table.columns) == ["trading_date", "last", "volume"]
    assert table["last"].tolist() == read.ticks(tick, "ST1")["last"].tolist()
    with pytest.raises(BundleError, match="no field 'close' in tick records"):
        read.ticks(tick, "ST1", columns="close")


def test_many_instruments_without_files_are_named_in_one_error_before_any_read(minbar, monkeypatch):
    monkeypatch.setattr(read.tables, "bar_columns", None)
    with pytest.raises(BundleError, match=r"^no file for NOPE, GONE in .*minbar$"):
        read.bars_many(minbar, ["NOPE", "ST1", "GONE"])


def test_every_public_name_of_the_reading_modules_is_there():
    from corvane.look import plot

    for module in (read, plot):
        namespace = {}
        exec("from {} import *".format(module.__name__), namespace)
        assert set(module.__all__) <= set(namespace), module.__name__
