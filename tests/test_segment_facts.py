"""The engine's own account of a superseded segment: its names, and the checked facts of one."""
import os

import h5py
import numpy as np
import pytest

from corvane import _engine
import test_revisit
from test_revisit import STOCK, minbar_file, segments, update

demo, inline = test_revisit.demo, test_revisit.inline


def tick_file(root):
    return os.path.join(str(root), STOCK + ".h5")


@pytest.mark.parametrize("kind", ["minbar", "tick"])
def test_a_revisits_segment_is_named_and_described_by_the_engine(demo, inline, tmp_path, kind):
    h5_file = minbar_file(tmp_path, STOCK) if kind == "minbar" else tick_file(tmp_path)
    demo("20261204T1030")
    update(kind, tmp_path, inline)
    with _engine.Reader(h5_file) as reader:
        before = {name: reader.read(name) for name in reader.members()}
    demo("20261207", "20261203")
    update(kind, tmp_path, inline, revisit=2)

    names = _engine.history_names()
    segment = segments(tmp_path, h5_file)[0]  # a tick revisit may write several
    first = "{:0{}d}{}".format(1, names["segment_digits"], names["segment_suffix"])
    assert os.path.basename(segment) == first
    facts = _engine.segment_facts(segment)
    if kind == "minbar":
        cut_index = list(before["index"]["date"]).index(20261203)
        assert facts == {"kind": "minbar", "members": ["data", "index"],
                         "cuts": {"data": int(before["index"]["line_no"][cut_index]), "index": cut_index}}
        with h5py.File(segment, "r") as held:
            assert {name: int(held.attrs[attribute]) for name, attribute in names["cut_attributes"].items()} \
                == facts["cuts"]
            assert set(names["row_attributes"].values()) <= set(held.attrs)
    else:
        assert facts["kind"] == "tick" and facts["days"] and facts["days"] == sorted(facts["members"])
        with _engine.Reader(segment) as held:
            for day in facts["days"]:
                assert held.read(day).tobytes() == before[day].tobytes(), day


def no_hdf5(path):
    with open(path, "wb") as f:
        f.write(b"not a segment\n" * 100)


def nothing_of_a_segment(path):
    with h5py.File(path, "w") as h5:
        h5["prices"] = np.arange(3)


def an_array_for_a_cut(path):
    with h5py.File(path, "w") as h5:
        h5["data"], h5["index"] = np.arange(3), np.arange(3)
        h5.attrs["cut_data_row"] = np.arange(1000)
        h5.attrs["cut_index_row"] = 1


@pytest.mark.parametrize("make, error, said", [
    (no_hdf5, _engine.NotBundleFileError, "not an HDF5 file"),
    (nothing_of_a_segment, _engine.DamagedFileError, "neither the cut attributes"),
    (an_array_for_a_cut, _engine.DamagedFileError, "'cut_data_row' is not a single value"),
], ids=["not-hdf5", "no-cuts-nor-days", "array-cut"])
def test_a_file_that_is_no_segment_is_refused_in_one_line_naming_it(tmp_path, make, error, said):
    path = str(tmp_path / "000001.h5")
    make(path)
    with pytest.raises(error, match="not a superseded segment") as refused:
        _engine.segment_facts(path)
    assert path in str(refused.value) and said in str(refused.value) and "\n" not in str(refused.value)
