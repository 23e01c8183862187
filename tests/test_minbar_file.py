"""The minute-bar file of one instrument: where it lies, how it starts and grows."""
import h5py
import numpy as np
import pytest

import fake_market as fm
from corvane import _engine
from corvane.updater import minbar


def append(client, path, order_book_id="S1", file_name=None, min_start_date=20050104):
    minbar.append_h5(fm.make_services(client), order_book_id, str(path), file_name, min_start_date,
                     29991231)


def read(h5_file):
    with h5py.File(h5_file, "r") as f:
        return {name: f[name][()] for name in f}


def same(stored, expected):
    return stored.keys() == expected.keys() and all(
        stored[name].dtype == expected[name].dtype and stored[name].tobytes() == expected[name].tobytes()
        for name in expected)


def stock(days, ins_type=fm.InsType.CS, order_book_id="S1"):
    client = fm.FakeClient({order_book_id: ins_type})
    client.bars[order_book_id] = fm.minute_bars(order_book_id, days)
    return client


@pytest.mark.parametrize("ins_type, sub_dir, dtype", [
    (fm.InsType.CS, "equities", fm.EQUITIES_DTYPE),
    (fm.InsType.INDX, "equities", fm.EQUITIES_DTYPE),
    (fm.InsType.CONVERTIBLE, "equities", fm.EQUITIES_DTYPE),
    (fm.InsType.FUTURE, "future", fm.DERIVATIVES_DTYPE),
    (fm.InsType.OPTION, "option", fm.DERIVATIVES_DTYPE),
])
def test_file_lies_under_the_type_directory_with_its_record_type(tmp_path, ins_type, sub_dir, dtype):
    client = fm.FakeClient({"X1": ins_type})
    client.bars["X1"] = fm.minute_bars("X1", [(20240102, 3)], derivatives=dtype is fm.DERIVATIVES_DTYPE)
    append(client, tmp_path, "X1")
    stored = read(tmp_path / sub_dir / "X1.h5")
    fm.assert_bundle_storage(tmp_path / sub_dir / "X1.h5")
    assert sorted(stored) == ["data", "index"]
    assert stored["data"].dtype == dtype and stored["index"].dtype == fm.INDEX_DTYPE
    assert stored["data"]["datetime"].tolist() == [20240102093100, 20240102093200, 20240102093300]


@pytest.mark.parametrize("ins_type, shown", [(fm.InsType.REPO, "REPO"), ("SPOT", "SPOT")])
def test_unsupported_type_names_instrument_and_type_before_anything_is_created(tmp_path, ins_type, shown):
    client = stock([(20240102, 3)], ins_type=ins_type, order_book_id="RP001.HBX")
    with pytest.raises(NotImplementedError, match=r"'RP001\.HBX' .*{}.* no minute-bar store".format(shown)):
        append(client, tmp_path / "bundle", "RP001.HBX")
    assert list(tmp_path.iterdir()) == []


def test_no_bars_leaves_an_empty_file_that_a_later_call_initialises(tmp_path):
    client = fm.FakeClient({"S1": fm.InsType.CS})
    append(client, tmp_path)
    h5_file = tmp_path / "equities" / "S1.h5"
    assert read(h5_file) == {}
    client.bars["S1"] = fm.minute_bars("S1", [(20240102, 2)])
    append(client, tmp_path)
    assert len(read(h5_file)["data"]) == 2
    starts = [dict(kw)["start_date"] for _, _, kw in client.calls_of("get_price")]
    assert starts == [20050104, 20050104]
    assert client.calls_of("get_next_trading_date") == []


def test_update_appends_the_following_dates_with_line_no_in_the_whole_file(tmp_path):
    client = stock([(20240102, 240), (20240103, 240), (20240104, 10)])
    append(client, tmp_path)
    h5_file = tmp_path / "equities" / "S1.h5"
    first = read(h5_file)
    assert len(first["data"]) == 490
    assert first["index"]["line_no"].tolist() == [0, 240, 480]

    client.bars["S1"] = fm.minute_bars("S1", [(20240102, 240), (20240103, 240), (20240104, 240),
                                             (20240105, 240), (20240108, 240)])
    append(client, tmp_path)
    (_, (latest,), _), = client.calls_of("get_next_trading_date")
    assert type(latest) is int and latest == 20240104
    assert dict(client.calls_of("get_price")[-1][2])["start_date"] == fm.next_weekday(20240104)
    stored = read(h5_file)
    assert len(stored["data"]) == 970
    assert stored["index"].tolist() == [(20240102, 0), (20240103, 240), (20240104, 480),
                                        (20240105, 490), (20240108, 730)]
    # the bars of 20240104 that came after the first run are never added
    assert stored["data"][:490].tobytes() == first["data"].tobytes()
    assert stored["data"]["datetime"][490] == 20240105093100


def test_nothing_newer_leaves_the_file_as_it_was(tmp_path):
    client = stock([(20240102, 5)])
    append(client, tmp_path)
    h5_file = tmp_path / "equities" / "S1.h5"
    before = read(h5_file)
    append(client, tmp_path)
    assert len(client.calls_of("get_price")) == 2
    assert same(read(h5_file), before)


@pytest.mark.parametrize("file_name, stored_as", [("", "S1.h5"), ("other.h5", "other.h5")])
def test_file_name(tmp_path, file_name, stored_as):
    append(stock([(20240102, 2)]), tmp_path, file_name=file_name)
    assert [p.name for p in (tmp_path / "equities").iterdir()] == [stored_as]


def test_failed_index_append_leaves_the_file_as_before(tmp_path):
    client = stock([(20240102, 240)])
    append(client, tmp_path)
    h5_file = tmp_path / "equities" / "S1.h5"
    before = read(h5_file)
    client.bars["S1"] = fm.minute_bars("S1", [(20240102, 240), (20240103, 240)])
    _engine._fail_once("minbar.index_append")
    with pytest.raises((OSError, RuntimeError)):
        append(client, tmp_path)
    assert same(read(h5_file), before)
    # and the next run brings the missing date in properly
    append(client, tmp_path)
    assert read(h5_file)["index"].tolist() == [(20240102, 0), (20240103, 240)]


def test_failed_first_index_write_leaves_no_orphan_data(tmp_path):
    client = stock([(20240102, 3)])
    _engine._fail_once("minbar.index_create")
    with pytest.raises((OSError, RuntimeError)):
        append(client, tmp_path)
    # A first fill that fails leaves no file (nor a temporary one) behind.
    assert list((tmp_path / "equities").iterdir()) == []


def test_orphan_data_without_index_is_initialised_afresh(tmp_path):
    h5_file = tmp_path / "equities" / "S1.h5"
    h5_file.parent.mkdir()
    with h5py.File(h5_file, "w") as f:
        f.create_dataset("data", data=np.zeros(7, dtype=fm.EQUITIES_DTYPE), maxshape=(None,))
    done = minbar.append_h5(fm.make_services(stock([(20240102, 3)])), "S1", str(tmp_path), None, 20050104, 29991231)
    stored = read(h5_file)
    assert len(stored["data"]) == 3 and stored["index"].tolist() == [(20240102, 0)]
    # What the store says it left is what the file holds: the orphan bars went.
    assert (done.before, done.after) == ((7, 0), (3, 1))


@pytest.mark.parametrize("order_book_id", ["", ".", "..", "../S1", "a/b", "x\0y"])
def test_unsafe_identifier_raises_before_anything_is_created(tmp_path, order_book_id):
    client = stock([(20240102, 3)], order_book_id=order_book_id)
    with pytest.raises(ValueError, match="unsafe order_book_id"):
        append(client, tmp_path / "bundle", order_book_id)
    assert list(tmp_path.iterdir()) == []


def test_foreign_file_raises_oserror_and_stays_as_it_was(tmp_path):
    h5_file = tmp_path / "equities" / "S1.h5"
    h5_file.parent.mkdir()
    h5_file.write_bytes(b"not a bundle file\n" * 10)
    with pytest.raises(OSError):
        append(stock([(20240102, 3)]), tmp_path)
    assert h5_file.read_bytes() == b"not a bundle file\n" * 10
