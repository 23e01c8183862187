"""The engine writes its own compressed chunks: any HDF5 reader must decode them.

h5py and h5dump are the independent readers; h5stat measures the space that
rewritten last chunks leave behind.
"""
import re
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
INDEX = np.dtype([("date", "<i4"), ("line_no", "<u4")])
TICKS = np.dtype([("date", "<u4"), ("time", "<u4"), ("last", "<i4"), ("volume", "<i8"),
                  ("bid", "<i4", ), ("ask", "<i4")])
DAY = 240


def bars(rows, first=0, dtype=EQUITIES):
    """Records that compress like market data: slow drifts and counters."""
    out = np.zeros(rows, dtype)
    n = np.arange(first, first + rows)
    for i, name in enumerate(dtype.names):
        if dtype[name].kind == "f":
            out[name] = np.round(10.0 + 0.01 * ((n * (i + 7)) % 211), 2)
        else:
            out[name] = 20240102093000 + n if dtype[name].itemsize == 8 else n * (i + 1)
    return out


def one_day(day):
    index = np.zeros(1, INDEX)
    index["date"] = 20200101 + day
    return index, bars(DAY, first=day * DAY)


def daily_file(path, days):
    for day in range(days):
        with _engine.File(path) as f:
            f.append_minbar(*one_day(day))


def assert_declared_storage(dataset):
    assert (dataset.compression, dataset.compression_opts, dataset.shuffle) == ("gzip", 9, False)
    assert dataset.chunks is not None and dataset.maxshape == (None,)


@pytest.mark.parametrize("batches", [
    [10000],                      # one large write: many chunks, several threads
    [1, 5000, 1169, 1],           # batches that end inside, on and past chunk boundaries
    [0, DAY, DAY, 3 * 1170 - 2 * DAY, DAY],
], ids=["one_write", "odd_batches", "from_empty_to_boundary"])
def test_written_chunks_read_back_equal_through_the_deflate_filter(tmp_path, batches):
    path = tmp_path / "f.h5"
    records = bars(sum(batches))
    with _engine.File(path) as f:
        f.create_dataset("d", records[:batches[0]])
        start = batches[0]
        for n in batches[1:]:
            f.append("d", records[start:start + n])
            start += n
    with h5py.File(path, "r") as h5:
        assert_declared_storage(h5["d"])
        assert h5["d"][...].tobytes() == records.tobytes()


def test_a_file_of_another_writer_is_extended_readably(tmp_path):
    """A file the usual way: h5py's own chunk size, level 9 through HDF5."""
    path = tmp_path / "f.h5"
    first = bars(3000)
    with h5py.File(path, "w") as h5:
        h5.create_dataset("d", data=first, chunks=True, maxshape=(None,), compression="gzip",
                          compression_opts=9, shuffle=False)
    more = bars(700, first=3000)
    with _engine.File(path) as f:
        f.append("d", more)
    with h5py.File(path, "r") as h5:
        assert h5["d"][...].tobytes() == np.concatenate([first, more]).tobytes()


def test_shrink_then_append_reads_back_equal(tmp_path):
    path = tmp_path / "f.h5"
    records = bars(4000)
    with _engine.File(path) as f:
        f.create_dataset("d", records)
        f.shrink("d", 1500)
        f.append("d", records[1500:1600])
    with h5py.File(path, "r") as h5:
        assert h5["d"][...].tobytes() == records[:1600].tobytes()


@pytest.mark.parametrize("damage", ["segment", "checksum"])
def test_nothing_is_appended_behind_a_last_chunk_that_does_not_inflate(tmp_path, damage):
    """A daily append extends the stored last chunk's stream without
    inflating it; a bit flipped in the stream, or in its checksum, must not
    get new rows appended behind it, where no reader could inflate them."""
    path = tmp_path / "f.h5"
    daily_file(path, 2)
    with h5py.File(path, "r") as h5:
        data = h5["data"]
        last = data.id.get_chunk_info(data.id.get_num_chunks() - 1)
    raw = bytearray(path.read_bytes())
    if damage == "segment":
        raw[last.byte_offset + last.size // 3] ^= 0x10
    else:
        raw[last.byte_offset + last.size - 1] ^= 0x01
    path.write_bytes(raw)
    with pytest.raises(OSError):
        with _engine.File(path) as f:
            f.append_minbar(*one_day(2))
    assert path.read_bytes() == raw


@pytest.mark.skipif(shutil.which("h5dump") is None, reason="h5dump is not installed")
def test_h5dump_decodes_the_chunks(tmp_path):
    path = tmp_path / "f.h5"
    daily_file(path, 7)  # one created and six rewritten last chunks
    with _engine.File(path) as f:
        f.write_day("20240102", bars(3000, dtype=TICKS))
    for name, rows in (("data", 7 * DAY), ("index", 7), ("20240102", 3000)):
        done = subprocess.run(["h5dump", "-d", "/" + name, "-s", str(rows - 1), "-c", "1",
                               str(path)], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert "error" not in (done.stdout + done.stderr).lower()
    done = subprocess.run(["h5dump", "-p", "-H", "-d", "/data", str(path)], capture_output=True,
                          text=True)
    assert "DEFLATE" in done.stdout and "LEVEL 9" in done.stdout and "SHUFFLE" not in done.stdout


@pytest.mark.skipif(shutil.which("h5stat") is None, reason="h5stat is not installed")
def test_daily_appends_leave_no_unreachable_space(tmp_path):
    path = tmp_path / "f.h5"
    daily_file(path, 60)
    text = subprocess.run(["h5stat", "-S", str(path)], capture_output=True, text=True,
                          check=True).stdout
    unaccounted = int(re.search(r"Unaccounted space:\s*(\d+)", text).group(1))
    size = path.stat().st_size
    assert unaccounted < 0.10 * size, text
    with h5py.File(path, "r") as h5:
        assert h5["data"][...].tobytes() == bars(60 * DAY).tobytes()
        assert h5["index"]["line_no"].tolist() == [DAY * d for d in range(60)]
