"""The Python surface of the native engine: files, exception mapping, and
living beside h5py (which bundles an HDF5 of its own) in one process."""
import os
import subprocess
import sys

import h5py
import numpy as np
import pytest

from corvane import _engine

RECORD = np.dtype([("date", "<i4"), ("line_no", "<u4")])


def records(rows):
    out = np.zeros(rows, RECORD)
    out["date"] = 20240102 + np.arange(rows)
    out["line_no"] = np.arange(rows) * 240
    return out


@pytest.mark.parametrize("content", [b"not an HDF5 file\n" * 100, b""], ids=["text", "empty"])
def test_foreign_file_raises_oserror_and_stays_byte_for_byte(tmp_path, content):
    path = tmp_path / "x.h5"
    path.write_bytes(content)
    with pytest.raises(OSError) as raised:
        _engine.File(path)
    assert str(path) in str(raised.value) and "signature" in str(raised.value)
    assert path.read_bytes() == content


def test_missing_directory_raises_oserror_and_creates_nothing(tmp_path):
    with pytest.raises(OSError, match="No such file or directory"):
        _engine.File(tmp_path / "missing" / "x.h5")
    assert not (tmp_path / "missing").exists()


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0,
                    reason="root ignores file permissions")
def test_unwritable_file_raises_oserror(tmp_path):
    path = tmp_path / "x.h5"
    _engine.File(path).close()
    path.chmod(0o444)
    with pytest.raises(OSError):
        _engine.File(path)


def test_file_is_created_when_absent_and_keeps_what_was_written(tmp_path):
    path = tmp_path / "x.h5"
    f = _engine.File(str(path))
    assert f.path == str(path) and f.members() == []
    f.create_dataset("b", records(2))
    f.create_dataset("a", records(0))
    f.close()
    with _engine.File(path) as again:
        assert again.members() == ["a", "b"]
        assert "a" in again and "c" not in again and "a/b" not in again


def test_close_and_abort_are_idempotent_and_end_the_file(tmp_path):
    f = _engine.File(tmp_path / "x.h5")
    f.close()
    f.close()
    f.abort()
    with pytest.raises(ValueError, match="closed"):
        f.members()


def test_leaving_the_context_by_an_exception_ends_the_file_and_reraises(tmp_path):
    with pytest.raises(RuntimeError, match="caller's own"):
        with _engine.File(tmp_path / "x.h5") as f:
            raise RuntimeError("caller's own")
    with pytest.raises(ValueError, match="closed"):
        f.members()


@pytest.mark.parametrize("call", [
    lambda f: f.length("nope"), lambda f: f.read("nope"), lambda f: f.read_last("nope"),
    lambda f: f.remove("nope"), lambda f: f.append("nope", records(1)),
    lambda f: f.shrink("nope", 0),
], ids=["length", "read", "read_last", "remove", "append", "shrink"])
def test_missing_member_raises_keyerror(tmp_path, call):
    with _engine.File(tmp_path / "x.h5") as f:
        with pytest.raises(KeyError, match="nope"):
            call(f)


@pytest.mark.parametrize("dtype, field", [
    ([("date", "<i4"), ("code", "S6")], "code"),
    ([("date", "<i4"), ("name", "U4")], "name"),
    ([("date", "<i4"), ("when", "M8[s]")], "when"),
    ([("date", "<i4"), ("obj", "O")], "obj"),
    ([("date", "<i4"), ("flag", "?")], "flag"),
    ([("date", "<i4"), ("half", "<f2")], "half"),
    ([("date", "<i4"), ("z", "<c16")], "z"),
    ([("date", "<i4"), ("inner", [("a", "<i4")])], "inner"),
    ([("date", "<i4"), ("levels", "<f8", (5,))], "levels"),
], ids=["bytes", "unicode", "datetime", "object", "bool", "float16", "complex", "nested",
        "subarray"])
def test_unsupported_field_raises_typeerror_naming_it(tmp_path, dtype, field):
    with _engine.File(tmp_path / "x.h5") as f:
        with pytest.raises(TypeError, match=f"'{field}'"):
            f.create_dataset("d", np.zeros(2, dtype))
        with pytest.raises(TypeError, match=f"'{field}'"):
            f.write_day("20240102", np.zeros(2, dtype))
        assert f.members() == []


@pytest.mark.parametrize("value", [np.zeros(3), [(1, 2)], np.zeros(3, [])],
                         ids=["plain-array", "list", "no-fields"])
def test_non_record_input_raises_typeerror(tmp_path, value):
    with _engine.File(tmp_path / "x.h5") as f:
        with pytest.raises(TypeError):
            f.create_dataset("d", value)


def test_append_of_another_layout_raises_typeerror_and_changes_nothing(tmp_path):
    with _engine.File(tmp_path / "x.h5") as f:
        f.create_dataset("d", records(3))
        with pytest.raises(TypeError):
            f.append("d", records(2).astype([("date", "<i4"), ("line_no", "<i4")]))
        assert f.read("d").tolist() == records(3).tolist()


@pytest.mark.parametrize("call", [
    lambda f: f.create_dataset("d", records(1)),
    lambda f: f.create_dataset("a/b", records(1)),
    lambda f: f.create_dataset("e", np.zeros((2, 2), RECORD)),
    lambda f: f.shrink("d", 4),
    lambda f: f.shrink("d", -1),
    lambda f: _engine._fail_once("no.such.point"),
], ids=["exists", "path-name", "two-dimensional", "shrink-grows", "negative", "failpoint"])
def test_bad_arguments_raise_valueerror(tmp_path, call):
    with _engine.File(tmp_path / "x.h5") as f:
        f.create_dataset("d", records(3))
        with pytest.raises(ValueError):
            call(f)
        assert f.members() == ["d"] and f.length("d") == 3


def test_member_that_is_not_a_dataset_raises_typeerror(tmp_path):
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as h5:
        h5.create_group("group")
    with _engine.File(path) as f:
        with pytest.raises(TypeError):
            f.length("group")


COEXIST = """
import sys
import numpy as np
if sys.argv[1] == "h5py-first":
    import h5py
    from corvane import _engine
else:
    from corvane import _engine
    import h5py
path = sys.argv[2]
dt = np.dtype([("date", "<i4"), ("line_no", "<u4")])
with _engine.File(path + ".engine.h5") as f:
    f.create_dataset("d", np.array([(20240102, 0), (20240103, 240)], dt))
with h5py.File(path + ".engine.h5", "r") as h5:
    assert h5["d"][()].tolist() == [(20240102, 0), (20240103, 240)]
    assert h5["d"].compression == "gzip"
with h5py.File(path + ".h5py.h5", "w") as h5:
    h5.create_dataset("d", data=np.array([(1, 2)], dt), maxshape=(None,))
with _engine.File(path + ".h5py.h5") as f:
    f.append("d", np.array([(3, 4)], dt))
    assert f.read("d").tolist() == [(1, 2), (3, 4)]
print("ok")
"""


@pytest.mark.parametrize("order", ["h5py-first", "engine-first"])
def test_engine_and_h5py_share_one_process_in_either_import_order(tmp_path, order):
    done = subprocess.run([sys.executable, "-c", COEXIST, order, str(tmp_path / "f")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
    assert done.stderr == ""  # HDF5 printed no error stack


@pytest.mark.parametrize("members, expected", [
    ({}, ([], 0, 0, None)),
    ({"index": records(0)}, (["index"], 0, 0, None)),
    ({"data": records(5), "index": records(3)}, (["data", "index"], 5, 3, 20240104)),
    ({"index": records(2).astype([("date", "<u8"), ("line_no", "<u4")])}, (["index"], 0, 2, 20240103)),
    ({"index": records(2).astype([("date", "<f8"), ("line_no", "<u4")])}, (["index"], 0, 2, None)),
    ({"index": records(2)[["line_no"]]}, (["index"], 0, 2, None)),
    # Another member: nothing is opened, the job refuses the file.
    ({"data": records(1), "other": records(1)}, (["data", "other"], None, None, None)),
], ids=["new", "empty-index", "bars", "unsigned-date", "float-date", "no-date", "foreign"])
def test_a_minute_bar_job_reads_members_counts_and_last_date_in_one_call(tmp_path, members, expected):
    path = tmp_path / "x.h5"
    with _engine.File(path) as f:
        for name, rows in members.items():
            f.create_dataset(name, np.ascontiguousarray(rows))
    with _engine.File(path) as f:
        held = f.minbar_held()
        assert held == expected and all(type(n) is int for n in held[1:] if n is not None)
