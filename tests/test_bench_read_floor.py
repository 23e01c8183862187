"""bench/read.py's floor: the chunks a read touches are exactly those holding its rows, a read as of a
version that differs from the plain one stops the bench, and a run at its tiniest prints every goal's
row with a ratio and a verdict."""
import os
import re
import subprocess
import sys
import zlib

import h5py
import numpy as np
import pandas as pd
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import read as read_bench  # noqa: E402
import read_floor  # noqa: E402


@pytest.fixture(scope="module")
def long_file(tmp_path_factory):
    h5_file = str(tmp_path_factory.mktemp("floor") / "LONG.h5")
    read_bench.write_file(h5_file, read_bench.trading_days(300), 1)
    return h5_file


@pytest.mark.parametrize("span", [(0, 1), (0, 300), (120, 121), (37, 250), (299, 300), (150, 150)])
def test_touched_chunks_hold_the_read_rows(long_file, span):
    dates = read_bench.trading_days(300)
    start, end = dates[span[0]], dates[max(span[1] - 1, span[0])]
    if span[0] == span[1]:
        start, end = end + 1, end + 1       # a range holding no stored date
    chunks = read_floor.touched(long_file, start, end)
    with h5py.File(long_file, "r") as h5:
        index, data = h5["index"][()], h5["data"]
        index_chunks = -(-len(index) // h5["index"].chunks[0])
        first, stop = np.searchsorted(index["date"], start), np.searchsorted(index["date"], end, side="right")
        rows = np.append(index["line_no"].astype(np.int64), data.shape[0])
        begin, end_row = (int(rows[first]), int(rows[stop])) if stop > first else (0, 0)
        expected = data[begin:end_row].tobytes()
        chunk_rows, itemsize = data.chunks[0], data.dtype.itemsize
    assert all(chunk.raw_bytes for chunk in chunks)
    inflated = b"".join(zlib.decompress(chunk.stream) for chunk in chunks[index_chunks:])
    at = begin % chunk_rows * itemsize if chunks[index_chunks:] else 0
    assert inflated[at:at + len(expected)] == expected
    # No chunk more than the rows need: the first holds the first row, the last the last.
    assert len(inflated) - at - len(expected) < chunk_rows * itemsize
    assert read_floor.floor_one_thread(chunks) >= 0


def test_a_stream_that_does_not_inflate_stops_the_floor(long_file):
    chunks = read_floor.touched(long_file, None, None)
    broken = chunks[:1] + [read_floor.Chunk(chunks[1].stream[:-8], chunks[1].raw_bytes)]
    floor = read_floor.Floor(2)
    try:
        with pytest.raises(RuntimeError, match="does not inflate"):
            floor.cpu(broken)
    finally:
        floor.close()


@pytest.mark.parametrize("other", [
    pd.DataFrame({"close": [1.0, 2.5]}),
    {"A": pd.DataFrame({"close": [1.0, 2.0]}), "C": pd.DataFrame({"close": [1.0, 2.0]})},
])
@pytest.mark.parametrize("which", ["as of the first version", "on one reading thread"])
def test_a_read_that_differs_from_the_plain_one_stops_the_bench(other, which):
    plain = {"A": pd.DataFrame({"close": [1.0, 2.0]}), "B": pd.DataFrame({"close": [1.0, 2.0]})} \
        if isinstance(other, dict) else pd.DataFrame({"close": [1.0, 2.0]})
    as_of, single = (lambda: other, lambda: plain) if which.startswith("as of") else (lambda: plain, lambda: other)
    with pytest.raises(RuntimeError, match="the read {} differs".format(which)):
        read_floor.measure(lambda: plain, as_of, [], None, 1, single)


@pytest.mark.slow
def test_the_tiniest_run_prints_every_goal_with_a_ratio(tmp_path):
    out = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "read.py"), "--instruments", "2",
                          "--repeat", "1", "--years", "1", "--dir", str(tmp_path)],
                         capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert out.returncode == 0, out.stderr[-2000:]
    rows = re.findall(r"^\| (\S[^|]*?) \| ([^|]+?) \| (\d+\.\d\d)x \| ([<>]= [\d.]+x) \| (met|not met) \|$",
                      out.stdout, re.MULTILINE)
    found = [(name, what) for name, what, *_ in rows]
    expected = [(name, what) for name in ("year", "1 years", "many")
                for what in ("h5py's wall / corvane's (medians)", "read CPU / one-thread inflation floor CPU",
                             "as of a version / plain read, CPU")] + [("1 years", "peak memory / the table's bytes")]
    assert found == expected
    assert out.stdout.count("floor: ") == 3 and out.stdout.count("as of a version: ") == 3
