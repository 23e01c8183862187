"""Files that lie: each lie a damaged or hostile file can tell the reader is refused in one line.

The bundle is bench/fuzz.py's (several chunks per dataset); the lies are
told with h5py, one at a time, and read back through corvane.read.
"""
import datetime
import fcntl
import hashlib
import os
import re
import subprocess
import sys
import threading
import zlib

import h5py
import numpy as np
import pandas as pd
import pytest

import fake_market
from corvane import _engine, formats
from corvane import layout
from corvane.updater import minbar
from corvane import read
from corvane.updater import tick
from corvane.errors import BusyError, DamagedFileError

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import fuzz  # noqa: E402
from looking import invoke  # noqa: E402

EQUITY_CHUNK_ROWS = 65520 // 56


@pytest.fixture
def made(tmp_path):
    return fuzz.make_bundle(str(tmp_path))


def minbar_root(made):
    return os.path.dirname(os.path.dirname(made["stock"]))


def rewrite_chunk(path, member, k, stream, mask=0):
    with h5py.File(path, "r+") as h5:
        dataset = h5[member]
        dataset.id.write_direct_chunk((k * dataset.chunks[0],), stream, mask)


def raw_chunk(path, member, k):
    with h5py.File(path, "r") as h5:
        dataset = h5[member]
        return zlib.decompress(dataset.id.read_direct_chunk((k * dataset.chunks[0],))[1])


LYING_CHUNKS = {
    "inflates short": (lambda raw: zlib.compress(raw[:-1000]), 0, "does not inflate to its 65520 bytes"),
    "inflates long": (lambda raw: zlib.compress(raw + raw[:56]), 0, "does not inflate to its 65520 bytes"),
    "a wrong checksum": (lambda raw: zlib.compress(raw)[:-1] + b"\x00", 0, "does not inflate"),
    "a bomb": (lambda raw: zlib.compress(bytes(64 << 20), 9), 0, "does not inflate"),
    "deflate skipped, short": (lambda raw: raw[:30000], 1, "holds 30000 bytes, not 65520"),
    "deflate skipped, a stream": (lambda raw: zlib.compress(raw), 1, "holds"),
    "stored larger than it can be": (lambda raw: zlib.compress(raw) + bytes(70000), 0,
                                     "is stored larger than a chunk can be"),
}


@pytest.mark.parametrize("lie", LYING_CHUNKS)
def test_a_chunk_that_is_not_exactly_its_rows_is_refused_naming_dataset_and_rows(made, lie):
    make, mask, says = LYING_CHUNKS[lie]
    rewrite_chunk(made["stock"], "data", 1, make(raw_chunk(made["stock"], "data", 1)), mask)
    rows = "rows {} to {}".format(EQUITY_CHUNK_ROWS, 2 * EQUITY_CHUNK_ROWS)
    with pytest.raises(DamagedFileError, match="the chunk of {} of 'data' in '.*ST1.h5' cannot be read: it {}"
                       .format(rows, says)):
        read.bars(minbar_root(made), "ST1")
    # The chunks around it read as before.
    assert len(read.bars(minbar_root(made), "ST1", fuzz.DAYS[2])) == fuzz.BARS_PER_DAY


def test_a_raw_chunk_whose_deflate_was_skipped_reads_the_same(made):
    expected = read.bars(minbar_root(made), "ST1")
    rewrite_chunk(made["stock"], "data", 1, raw_chunk(made["stock"], "data", 1), 1)
    pd.testing.assert_frame_equal(read.bars(minbar_root(made), "ST1"), expected)


def test_rows_past_the_last_stored_chunk_are_refused_not_filled(made):
    with h5py.File(made["stock"], "r+") as h5:
        h5["data"].resize((len(h5["data"]) + EQUITY_CHUNK_ROWS,))
    for reading in (read.bars, read.index):
        with pytest.raises(DamagedFileError, match="'data' in '.*ST1.h5' holds 10170 rows, but not the chunk of row"):
            reading(minbar_root(made), "ST1")


def test_a_chunk_missing_below_the_length_is_refused(tmp_path):
    index, data = fuzz.bars(formats.EQUITIES_DTYPE, per_day=EQUITY_CHUNK_ROWS)
    path = tmp_path / "minbar" / "equities" / "GAP.h5"
    os.makedirs(path.parent)
    with h5py.File(path, "w") as h5:
        h5.create_dataset("index", data=index)
        stored = h5.create_dataset("data", shape=data.shape, dtype=data.dtype, chunks=(EQUITY_CHUNK_ROWS,),
                                   compression="gzip", maxshape=(None,))
        for k in (0, 2):  # the middle chunk never written
            rows = data[k * EQUITY_CHUNK_ROWS:(k + 1) * EQUITY_CHUNK_ROWS]
            stored.id.write_direct_chunk((k * EQUITY_CHUNK_ROWS,), zlib.compress(rows.tobytes()))
    assert len(read.bars(str(tmp_path / "minbar"), "GAP", fuzz.DAYS[0], fuzz.DAYS[0])) == EQUITY_CHUNK_ROWS
    with pytest.raises(DamagedFileError, match="rows 1170 to 2340 of 'data' .* cannot be read: it is not stored"):
        read.bars(str(tmp_path / "minbar"), "GAP", fuzz.DAYS[1], fuzz.DAYS[1])


def write_minbar_file(path, data, index=None, **storage):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with h5py.File(path, "w") as h5:
        h5.create_dataset("index", data=fuzz.bars(formats.EQUITIES_DTYPE, per_day=10)[0] if index is None else index)
        if isinstance(data, np.ndarray):
            h5.create_dataset("data", data=data, **storage)
        else:
            data(h5)


def narrow_datetime(h5):
    """"data" whose `datetime` member keeps 32 of its 64 bits."""
    dtype = formats.EQUITIES_DTYPE
    compound = h5py.h5t.create(h5py.h5t.COMPOUND, dtype.itemsize)
    for name in dtype.names:
        member = h5py.h5t.py_create(dtype[name]).copy()
        if name == "datetime":
            member.set_precision(32)
        compound.insert(name.encode(), dtype.fields[name][1], member)
    space = h5py.h5s.create_simple((30,))
    h5py.h5d.create(h5.id, b"data", compound, space)


@pytest.mark.parametrize("stored", [
    np.zeros(30, dtype=[(n, "<f8") for n in formats.EQUITIES_DTYPE.names]),          # datetime as float64
    np.zeros(30, dtype=[(n, "<i4" if n == "datetime" else "<f8") for n in formats.EQUITIES_DTYPE.names]),
    np.zeros(30, dtype=list(zip(["open", "datetime"] + list(formats.EQUITIES_DTYPE.names[2:]),
                                ["<i8"] + ["<f8"] * 6))),                            # two names swapped
    narrow_datetime,
])
def test_records_of_another_type_than_the_stores_are_refused_before_any_row_is_read(tmp_path, stored):
    path = tmp_path / "minbar" / "equities" / "ODD.h5"
    write_minbar_file(str(path), stored)
    with pytest.raises(DamagedFileError, match="ODD.h5"):
        read.bars(str(tmp_path / "minbar"), "ODD")


def test_big_endian_records_read_the_same(made, tmp_path):
    index, data = fuzz.bars(formats.EQUITIES_DTYPE, per_day=10)
    path = tmp_path / "minbar" / "equities" / "BE.h5"
    write_minbar_file(str(path), data.astype(data.dtype.newbyteorder(">")), index, chunks=(7,), fletcher32=True,
                      shuffle=True, compression="gzip")
    write_minbar_file(str(tmp_path / "minbar" / "equities" / "LE.h5"), data, index)
    pd.testing.assert_frame_equal(read.bars(str(tmp_path / "minbar"), "BE"),
                                  read.bars(str(tmp_path / "minbar"), "LE"))


def test_a_fletcher32_chunk_that_does_not_match_is_refused(tmp_path):
    index, data = fuzz.bars(formats.EQUITIES_DTYPE, per_day=10)
    path = tmp_path / "minbar" / "equities" / "F.h5"
    write_minbar_file(str(path), data, index, chunks=(7,), fletcher32=True)
    with h5py.File(path, "r") as h5:
        chunk = h5["data"].id.get_chunk_info_by_coord((7,))
    with open(path, "r+b") as raw:
        raw.seek(chunk.byte_offset + 3)
        raw.write(b"\x01")
    with pytest.raises(DamagedFileError, match="rows 7 to 14 of 'data' .* does not match its checksum"):
        read.bars(str(tmp_path / "minbar"), "F")


@pytest.mark.parametrize("lie", ["dates swapped", "date repeated", "first line_no past 0",
                                 "last line_no past data", "line_no descending"])
def test_an_index_that_lies_is_refused(made, lie):
    with h5py.File(made["stock"], "r+") as h5:
        index = h5["index"][()]
        if lie == "dates swapped":
            index["date"][[0, 1]] = index["date"][[1, 0]]
        elif lie == "date repeated":
            index["date"][1] = index["date"][0]
        elif lie == "first line_no past 0":
            index["line_no"][0] = 5
        elif lie == "last line_no past data":
            index["line_no"][-1] = len(h5["data"])
        else:
            index["line_no"][[1, 2]] = index["line_no"][[2, 1]]
        h5["index"][...] = index
    for reading in (read.bars, read.index):
        with pytest.raises(DamagedFileError, match="ST1.h5: its \"index\" is not ascending dates"):
            reading(minbar_root(made), "ST1")


def test_unchunked_data_declaring_more_rows_than_its_file_holds_is_refused_at_once(tmp_path):
    path = tmp_path / "minbar" / "equities" / "BIG.h5"
    index = np.array([(20250102, 0)], dtype=formats.INDEX_DTYPE)
    write_minbar_file(str(path), lambda h5: h5.create_dataset("data", shape=(1 << 26,), dtype=formats.EQUITIES_DTYPE),
                      index)
    assert os.path.getsize(path) < 1 << 20
    with pytest.raises(DamagedFileError, match="'data' in '.*BIG.h5' declares 67108864 rows, more than its file"):
        read.bars(str(tmp_path / "minbar"), "BIG")
    # Before any buffer is sized by it.
    with _engine.Reader(str(path)) as reader, pytest.raises(DamagedFileError, match="declares"):
        reader.length("data")


def rename_day(path, old, new):
    with h5py.File(path, "r+") as h5:
        h5.move(old, new)


@pytest.mark.parametrize("new", ["20250107", "20250101"])
def test_a_tick_day_under_another_days_name_is_refused_and_verify_names_it(made, new):
    rename_day(made["ticks"], "20250106", new)
    tick = os.path.dirname(made["ticks"])
    for reading in (read.ticks, read.index):
        with pytest.raises(DamagedFileError, match="ST1.h5: the ticks stored as {} end on 20250106".format(new)):
            reading(tick, "ST1")
    from corvane.look import verify

    report = verify.verify(tick, None, verify.Options(layout.layouts(), data=True))
    found = [f for f in report.findings if f.check in ("tick-date", "session")]
    assert found and all(f.where.startswith("day " + new) for f in found)


def test_a_tick_member_that_is_no_date_is_refused_not_dropped(made):
    rename_day(made["ticks"], "20250103", "2025010x")
    with pytest.raises(DamagedFileError, match="ST1.h5 is not a tick file: it holds"):
        read.ticks(os.path.dirname(made["ticks"]), "ST1")


def test_tick_days_of_another_record_type_are_refused(made):
    with h5py.File(made["ticks"], "r+") as h5:
        records = h5["20250103"][()]
        del h5["20250103"]
        h5.create_dataset("20250103", data=records.astype([(n, "<i8") for n in records.dtype.names]))
    with pytest.raises(DamagedFileError, match="\"20250103\" holds records"):
        read.ticks(os.path.dirname(made["ticks"]), "ST1")


def test_a_tick_dated_no_day_is_refused(made):
    with h5py.File(made["ticks"], "r+") as h5:
        records = h5["20250103"][()]
        records["date"][len(records) // 2] = 20250230
        h5["20250103"][...] = records
    with pytest.raises(DamagedFileError, match="ST1.h5: a tick of 20250103 is dated 20250230, no day"):
        read.ticks(os.path.dirname(made["ticks"]), "ST1")


def test_a_member_name_that_is_not_utf8_makes_a_damaged_file(made):
    with h5py.File(made["ticks"], "r+") as h5:
        h5[b"\xff\xfe2025"] = np.zeros(3)
    with _engine.Reader(made["ticks"]) as reader:
        with pytest.raises(DamagedFileError, match="a member name of '.*ST1.h5' is not UTF-8 text"):
            reader.members()
    facts = read.listing(os.path.dirname(made["ticks"]))
    assert facts["readable"].tolist() == [False]


def test_a_forked_child_does_not_keep_a_readers_lock(made):
    reader = _engine.Reader(made["stock"])
    go, wait = os.pipe()
    started, running = os.pipe()
    pid = os.fork()
    if pid == 0:  # its code runs once the fork handlers have
        os.write(running, b"r")
        os.read(go, 1)
        os._exit(0)
    try:
        assert os.read(started, 1) == b"r"
        reader.close()
        with open(made["stock"], "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)  # nobody shares it any longer
    finally:
        os.write(wait, b"x")
        os.waitpid(pid, 0)


HOLD_READER = """
import sys
from corvane import _engine
with _engine.Reader(sys.argv[1]):
    print("holding", flush=True)
    sys.stdin.read()
"""


def test_a_hard_linked_file_a_reader_holds_is_refused_as_busy(made):
    os.link(made["stock"], made["stock"] + ".link")
    holder = subprocess.Popen([sys.executable, "-c", HOLD_READER, made["stock"]], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "holding\n"
        with pytest.raises(BusyError, match="has 2 hard links"):
            with _engine.File(made["stock"]) as h5:
                h5.append_minbar(*fuzz.bars(formats.EQUITIES_DTYPE, days=[20250107], per_day=10))
    finally:
        holder.communicate("")


def _descriptors_on(path):
    path = os.path.realpath(path)
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(os.path.join("/proc/self/fd", fd)) == path
        except OSError:
            pass
    return count


def test_a_reader_waits_out_a_writer_landing_its_pages(made):
    path, outcome = made["stock"], {}

    def read_length():
        try:
            with _engine.Reader(path) as reader:
                outcome["rows"] = reader.length("data")
        except Exception as error:  # noqa: BLE001  (what the assertion shows)
            outcome["error"] = error

    with open(path, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # as a writer landing its pages in place holds it
        thread = threading.Thread(target=read_length)
        thread.start()
        # The sign that the reader tries: its own descriptor on the file.
        while thread.is_alive() and _descriptors_on(path) < 2:
            pass
        fcntl.flock(held, fcntl.LOCK_UN)
    thread.join()
    assert outcome == {"rows": len(fuzz.DAYS) * fuzz.BARS_PER_DAY}


# ---------------------------------------------------------------- what HDF5 itself may write

def copy_in_format(source, target, libver):
    """`source`'s members written anew by h5py in the file format `libver`."""
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with h5py.File(source, "r") as old, h5py.File(target, "w", libver=libver) as new:
        for name, dataset in old.items():
            new.create_dataset(name, data=dataset[()], chunks=dataset.chunks, maxshape=(None,), compression="gzip")


def md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def refused_by_update(kind, root):
    client = fake_market.tick_market([datetime.date(2025, 1, 6), datetime.date(2025, 1, 7)])
    client.bars["S1"] = fake_market.minute_bars("S1", [(20250106, 3), (20250107, 2)])
    services = fake_market.make_services(client)
    with pytest.raises(DamagedFileError) as refused:
        if kind == "stock":
            minbar.append_h5(services, "S1", root, None, 20050104, 29991231)
        else:
            tick.append_h5_tick(services, "S1", root, None, 20050104, 29991231, counted=True)
    return str(refused.value)


NEWER_FORMAT = ("stored in a newer HDF5 format than corvane reads or writes "
                r"\(HDF5 1\.10\.\d+: bad version number for datatype message\); corvane writes HDF5 1.10's format")


@pytest.mark.parametrize("kind", ["stock", "ticks"])
def test_a_file_in_hdf5s_newest_format_is_refused_as_such_by_read_verify_inspect_and_update(made, kind):
    from corvane.look import verify

    root = minbar_root(made) if kind == "stock" else os.path.dirname(made["ticks"])
    h5_file = os.path.join(os.path.dirname(made[kind]), "S1.h5")
    copy_in_format(made[kind], h5_file, "latest")
    says = r"member '\w+' in '{}' is {}".format(h5_file, NEWER_FORMAT)
    with pytest.raises(DamagedFileError, match=says):
        (read.bars if kind == "stock" else read.ticks)(root, "S1")
    report = verify.verify(root, None, verify.Options(layout.layouts(), data=True))
    found = [f for f in report.findings if f.file == h5_file]
    assert [f.check for f in found] == ["unreadable"] and re.search(says, found[0].detail)
    shown = invoke("inspect", root, "S1")
    assert shown.exit_code != 0 and re.search(says, shown.output) and len(shown.output.splitlines()) == 1
    before = md5(h5_file)
    assert re.search(says, refused_by_update(kind, root))
    assert md5(h5_file) == before
    assert sorted(os.listdir(os.path.dirname(h5_file))) == sorted(["S1.h5", os.path.basename(made[kind])])


@pytest.mark.parametrize("libver", ["v108", "v110"])
@pytest.mark.parametrize("kind", ["stock", "ticks"])
def test_files_h5py_writes_in_the_formats_corvane_reads_read_the_same(made, kind, libver):
    root = minbar_root(made) if kind == "stock" else os.path.dirname(made["ticks"])
    copy_in_format(made[kind], os.path.join(os.path.dirname(made[kind]), "S1.h5"), libver)
    reading = read.bars if kind == "stock" else read.ticks
    pd.testing.assert_frame_equal(reading(root, "S1"), reading(root, "ST1"))


def rename_in_bytes(path, old, new):
    """The link name `old` made `new` in the file's own bytes, as damage would: no HDF5 call checks it."""
    with open(path, "r+b") as raw:
        content = raw.read()
        assert content.count(old.encode()) == 1
        raw.seek(content.index(old.encode()))
        raw.write(new.encode())


@pytest.mark.parametrize("old, new", [("20250106", "20250103"), ("20250102", "20250103")])
def test_two_tick_days_under_one_name_are_refused_by_read_and_update_and_found_by_verify(made, old, new):
    from corvane.look import verify

    rename_in_bytes(made["ticks"], old, new)
    tick_dir = os.path.dirname(made["ticks"])
    says = "'{}' is damaged: two of its members are named '{}'".format(made["ticks"], new)
    for reading in (read.ticks, read.index):
        with pytest.raises(DamagedFileError, match=re.escape(says)):
            reading(tick_dir, "ST1")
    report = verify.verify(tick_dir, None, verify.Options(layout.layouts(), data=True))
    assert [(f.check, f.where) for f in report.findings] == [("duplicate-member", new)]
    os.rename(made["ticks"], os.path.join(tick_dir, "S1.h5"))
    before = md5(os.path.join(tick_dir, "S1.h5"))
    assert refused_by_update("ticks", tick_dir) == says.replace("ST1.h5", "S1.h5")
    assert md5(os.path.join(tick_dir, "S1.h5")) == before
