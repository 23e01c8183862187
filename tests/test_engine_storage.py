"""Every kind of dataset the native engine writes, read back by h5py.

h5py is the independent reader: records, dtype (names, offsets, itemsize)
and storage settings must be what any HDF5 reader sees.  The record types
are written out from the record tables here on purpose, not taken from the
code under test.
"""
import shutil
import subprocess

import h5py
import numpy as np
import pytest

from corvane import _engine

EQUITIES = np.dtype([
    ("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"),
    ("close", "<f8"), ("volume", "<f8"), ("total_turnover", "<f8"),
])
DERIVATIVES = np.dtype([
    ("datetime", "<i8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"),
    ("close", "<f8"), ("open_interest", "<i8"), ("volume", "<f8"),
    ("total_turnover", "<f8"),
])
INDEX = np.dtype([("date", "<i4"), ("line_no", "<u4")])
# A tick-like record with odd offsets, a gap and trailing padding.
TICK_LIKE = np.dtype({
    "names": ["date", "time", "flag", "last", "volume", "ratio", "level"],
    "formats": ["<u4", "<i4", "i1", "<f8", "<i8", "<f4", "<u2"],
    "offsets": [0, 4, 8, 11, 19, 27, 33],
    "itemsize": 40,
})
RECORD_TYPES = {"equities": EQUITIES, "derivatives": DERIVATIVES, "index": INDEX,
                "tick_like": TICK_LIKE}
MAX_LINE_NO = 2**32 - 1


def sample(dtype, rows, first=0):
    """`rows` distinct records of `dtype`, numbered from `first`."""
    out = np.zeros(rows, dtype)
    n = np.arange(first, first + rows, dtype=np.int64)
    for i, name in enumerate(dtype.names):
        field = dtype.fields[name][0]
        if field.kind == "f":
            out[name] = 10.0 + 0.01 * ((n * (i + 3)) % 997)
        elif field.itemsize == 1:
            out[name] = (n * (i + 1)) % 100 - (50 if field.kind == "i" else 0)
        else:
            out[name] = n * (i + 1) + 7
    return out


def day_index(bars_per_day, first_date=20240102):
    """Index rows of consecutive dates; line_no of each day's first bar, from 0."""
    index = np.zeros(len(bars_per_day), INDEX)
    index["date"] = first_date + np.arange(len(bars_per_day))
    index["line_no"] = np.concatenate([[0], np.cumsum(bars_per_day)[:-1]])
    return index


def assert_engine_dataset(h5file, name, expected):
    """`name` in the open h5py file holds `expected` with the engine's storage."""
    ds = h5file[name]
    assert ds.dtype == expected.dtype
    assert ds.dtype.names == expected.dtype.names
    assert [ds.dtype.fields[f][1] for f in ds.dtype.names] == \
        [expected.dtype.fields[f][1] for f in expected.dtype.names]
    assert ds.dtype.itemsize == expected.dtype.itemsize
    assert all(ds.dtype.fields[f][0].str[0] in "<|" for f in ds.dtype.names)
    assert ds.ndim == 1 and ds.maxshape == (None,)
    assert ds.chunks is not None
    assert (ds.compression, ds.compression_opts, ds.shuffle) == ("gzip", 9, False)
    assert len(ds.attrs) == 0
    back = ds[()]
    assert len(back) == len(expected)
    for i, (got, want) in enumerate(zip(back.tolist(), expected.tolist())):
        assert got == want, f"record {i} of {name!r}"


def written(path, steps):
    """Runs the engine `steps` on a fresh file at `path`, then closes it."""
    with _engine.File(path) as f:
        for step in steps:
            step(f)


@pytest.mark.parametrize("kind", sorted(RECORD_TYPES))
@pytest.mark.parametrize("history", ["created", "extended", "shrunk", "zero_length",
                                     "grown_from_zero"])
def test_dataset_reads_back_with_h5py(tmp_path, kind, history):
    dtype = RECORD_TYPES[kind]
    first, second = sample(dtype, 1300), sample(dtype, 900, first=1300)
    steps = {
        "created": ([lambda f: f.create_dataset("d", first)], first),
        "extended": ([lambda f: f.create_dataset("d", first), lambda f: f.append("d", second)],
                     sample(dtype, 2200)),
        "shrunk": ([lambda f: f.create_dataset("d", first), lambda f: f.shrink("d", 333)],
                   first[:333]),
        "zero_length": ([lambda f: f.create_dataset("d", first[:0])], first[:0]),
        "grown_from_zero": ([lambda f: f.create_dataset("d", first[:0]),
                             lambda f: f.append("d", second[:5])], second[:5]),
    }[history]
    path = tmp_path / "f.h5"
    written(path, steps[0])
    with h5py.File(path, "r") as h5:
        assert list(h5) == ["d"] and len(h5.attrs) == 0
        assert_engine_dataset(h5, "d", steps[1])
    with _engine.File(path) as f:
        back = f.read("d")
        assert back.dtype == dtype and back.tolist() == steps[1].tolist()


def test_reads_slices_and_last_record_in_the_stored_layout(tmp_path):
    records = sample(TICK_LIKE, 50)
    with _engine.File(tmp_path / "f.h5") as f:
        f.create_dataset("d", records)
        f.create_dataset("empty", records[:0])
        assert f.read("d", 10, 15).tolist() == records[10:15].tolist()
        assert f.read("d", -3).tolist() == records[-3:].tolist()
        assert f.read("d", 40, 10).tolist() == []
        assert f.read_last("d").tolist() == records[-1].tolist()
        assert f.read_last("d").dtype == TICK_LIKE
        assert f.read_last("empty") is None
        assert f.length("d") == 50 and f.length("empty") == 0


def test_big_endian_and_strided_input_is_stored_little_endian(tmp_path):
    big = sample(EQUITIES, 20).astype(EQUITIES.newbyteorder(">"))
    strided = sample(INDEX, 30)[::3]
    with _engine.File(tmp_path / "f.h5") as f:
        f.create_dataset("big", big)
        f.create_dataset("strided", strided)
    with h5py.File(tmp_path / "f.h5", "r") as h5:
        assert_engine_dataset(h5, "big", big.astype(EQUITIES))
        assert_engine_dataset(h5, "strided", strided)


def test_layouts_are_the_minute_bar_record_types():
    expected = {"EQUITIES_DTYPE": EQUITIES, "DERIVATIVES_DTYPE": DERIVATIVES,
                "INDEX_DTYPE": INDEX}
    layouts = _engine.layouts()
    assert set(layouts) == set(expected)
    for name, dtype in expected.items():
        assert layouts[name]["itemsize"] == dtype.itemsize
        assert layouts[name]["fields"] == [
            (f, dtype.fields[f][0].str, dtype.fields[f][1]) for f in dtype.names]


def test_layouts_match_the_bundle_record_types():
    bundle = pytest.importorskip("corvane.bundle")
    for name, layout in _engine.layouts().items():
        dtype = getattr(bundle, name)
        assert dtype.itemsize == layout["itemsize"]
        assert [(f, dtype.fields[f][0].str, dtype.fields[f][1]) for f in dtype.names] == \
            layout["fields"]


# --- the minute-bar store -------------------------------------------------

def minbar_file(path, dtype=EQUITIES, days=(240, 240, 10)):
    with _engine.File(path) as f:
        f.append_minbar(day_index(list(days)), sample(dtype, sum(days)))


@pytest.mark.parametrize("dtype", [EQUITIES, DERIVATIVES], ids=["equities", "derivatives"])
def test_minbar_batches_initialise_then_extend_with_file_row_numbers(tmp_path, dtype):
    path = tmp_path / "m.h5"
    minbar_file(path, dtype)
    batch = day_index([240, 240], first_date=20240105)
    untouched = batch.copy()
    with _engine.File(path) as f:
        f.append_minbar(batch, sample(dtype, 480, first=490))
    assert batch.tolist() == untouched.tolist()
    with h5py.File(path, "r") as h5:
        assert sorted(h5) == ["data", "index"] and len(h5.attrs) == 0
        assert_engine_dataset(h5, "data", sample(dtype, 970))
        index = day_index([240, 240, 10, 240, 240])
        assert_engine_dataset(h5, "index", index)
        assert h5["index"]["line_no"].tolist() == [0, 240, 480, 490, 730]


def test_minbar_orphan_data_is_replaced_by_a_fresh_first_write(tmp_path):
    path = tmp_path / "m.h5"
    with _engine.File(path) as f:
        f.create_dataset("data", sample(EQUITIES, 7, first=5000))
    minbar_file(path)
    with h5py.File(path, "r") as h5:
        assert_engine_dataset(h5, "data", sample(EQUITIES, 490))
        assert h5["index"]["line_no"].tolist() == [0, 240, 480]


def snapshot(path):
    with h5py.File(path, "r") as h5:
        return {name: h5[name][()].tolist() for name in h5}


def test_minbar_failed_index_append_leaves_the_file_as_before(tmp_path):
    path = tmp_path / "m.h5"
    minbar_file(path)
    before = snapshot(path)
    _engine._fail_once("minbar.index_append")
    with pytest.raises(OSError, match="minbar.index_append"):
        with _engine.File(path) as f:
            f.append_minbar(day_index([240], first_date=20240105), sample(EQUITIES, 240, 490))
    assert snapshot(path) == before
    with h5py.File(path, "r") as h5:
        assert_engine_dataset(h5, "data", sample(EQUITIES, 490))


def test_minbar_failed_index_creation_leaves_no_data(tmp_path):
    path = tmp_path / "m.h5"
    _engine._fail_once("minbar.index_create")
    with pytest.raises(OSError, match="minbar.index_create"):
        minbar_file(path)
    # The file did not exist before the call, and nothing of it is left.
    assert list(tmp_path.iterdir()) == []


def test_minbar_row_numbers_past_32_bits_raise_overflow_before_writing(tmp_path):
    # Chunks are allocated only when written, so a "data" of nearly 2**32
    # rows costs nothing on disk.
    path = tmp_path / "m.h5"
    stored = MAX_LINE_NO - 3
    with h5py.File(path, "w") as h5:
        h5.create_dataset("data", shape=(stored,), maxshape=(None,), dtype=EQUITIES,
                          chunks=(1024,), compression="gzip", compression_opts=9)
        h5.create_dataset("index", data=day_index([1]), maxshape=(None,), chunks=(1024,))
    with _engine.File(path) as f:
        with pytest.raises(OverflowError):
            f.append_minbar(day_index([5], 20240105), sample(EQUITIES, 5))
        assert f.length("data") == stored and f.length("index") == 1
        f.append_minbar(day_index([2, 2], 20240105), sample(EQUITIES, 4))
        assert f.length("data") == MAX_LINE_NO + 1
        assert f.read("index")["line_no"].tolist() == [0, stored, stored + 2]


@pytest.mark.parametrize("days, last_row", [
    (2**40, None),
    (3, (20240104, 10)),
    (3, (0, 8)),
], ids=["sparse-extent", "line-past-the-bars", "fill-date"])
def test_minbar_an_index_this_engine_cannot_have_written_takes_no_append(tmp_path, days, last_row):
    # The date check compares with the last index row: one that reads as
    # fill (a sparse extent) or names no bar would let any day through.
    path = tmp_path / "m.h5"
    with h5py.File(path, "w") as h5:
        h5.create_dataset("data", data=sample(EQUITIES, 10), maxshape=(None,), chunks=(1024,),
                          compression="gzip", compression_opts=9)
        index = h5.create_dataset("index", data=day_index([5, 5]), maxshape=(None,), chunks=(1024,))
        index.resize((days,))
        if last_row:
            index[days - 1] = last_row
    before = path.read_bytes()
    with _engine.File(path) as f:
        with pytest.raises(TypeError, match="'index' in .*not a minute-bar index"):
            f.append_minbar(day_index([5], 20240110), sample(EQUITIES, 5))
    assert path.read_bytes() == before


def altered(index, field, values):
    index = index.copy()
    index[field] = values
    return index


@pytest.mark.parametrize("index, data, error", [
    (sample(EQUITIES, 3), sample(EQUITIES, 3), TypeError),
    (day_index([3]), sample(INDEX, 3), TypeError),
    (day_index([3]).astype([("date", "<i8"), ("line_no", "<u4")]), sample(EQUITIES, 3),
     TypeError),
    (day_index([3])[:0], sample(EQUITIES, 3), ValueError),
    (day_index([3]), sample(EQUITIES, 0), ValueError),
    (day_index([2, 2])[::-1], sample(EQUITIES, 4), ValueError),
    (day_index([2, 2]), sample(EQUITIES, 2), ValueError),
    (altered(day_index([2, 2]), "line_no", [1, 3]), sample(EQUITIES, 4), ValueError),
    (altered(day_index([2, 2]), "date", [20240102, 20240102]), sample(EQUITIES, 4), ValueError),
], ids=["bars-as-index", "index-as-bars", "wide-date", "no-index", "no-bars",
        "unordered", "line-past-bars", "not-from-row-0", "date-twice"])
def test_minbar_bad_batches_are_refused_and_write_nothing(tmp_path, index, data, error):
    path = tmp_path / "m.h5"
    with _engine.File(path) as f:
        with pytest.raises(error):
            f.append_minbar(index, data)
    assert snapshot(path) == {}


def test_minbar_batch_of_another_layout_or_an_old_date_changes_nothing(tmp_path):
    path = tmp_path / "m.h5"
    minbar_file(path)
    before = snapshot(path)
    with _engine.File(path) as f:
        with pytest.raises(TypeError):
            f.append_minbar(day_index([3], 20240105), sample(DERIVATIVES, 3))
        with pytest.raises(ValueError, match="20240104"):
            f.append_minbar(day_index([3], 20240104), sample(EQUITIES, 3))
    assert snapshot(path) == before


# --- the tick store ---------------------------------------------------------

def test_write_day_replaces_only_that_day(tmp_path):
    path = tmp_path / "t.h5"
    day1, day2, fresh = sample(TICK_LIKE, 300), sample(TICK_LIKE, 200, 300), sample(TICK_LIKE, 450, 900)
    with _engine.File(path) as f:
        f.write_day("20240102", day1)
        f.write_day("20240103", day2)
        f.write_day("20240104", day2[:0])
    with _engine.File(path) as f:
        f.write_day("20240103", fresh)
        assert f.members() == ["20240102", "20240103", "20240104"]
    with h5py.File(path, "r") as h5:
        assert_engine_dataset(h5, "20240102", day1)
        assert_engine_dataset(h5, "20240103", fresh)
        assert_engine_dataset(h5, "20240104", day2[:0])


@pytest.mark.skipif(shutil.which("h5dump") is None, reason="h5dump not installed")
def test_h5dump_shows_the_deflate_filter(tmp_path):
    path = tmp_path / "m.h5"
    minbar_file(path)
    out = subprocess.run(["h5dump", "-H", "-p", str(path)], capture_output=True, text=True,
                         check=True).stdout
    for name in ("data", "index"):
        header = out.split(f'DATASET "{name}"')[1].split("DATASET")[0]
        assert "CHUNKED" in header
        assert "COMPRESSION DEFLATE { LEVEL 9 }" in header
        assert "SHUFFLE" not in header
