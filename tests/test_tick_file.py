"""The tick file of one instrument: one dataset per trading day."""
import datetime

import h5py
import pandas as pd
import pytest

import fake_market as fm
from corvane.updater import tick

D1, D2, D3, D4 = (datetime.date(2024, 1, d) for d in (2, 3, 4, 5))


def append(client, path, order_book_id="S1", file_name=None):
    tick.append_h5_tick(fm.make_services(client), order_book_id, str(path), file_name, 20050104, 29991231)


def read(h5_file):
    with h5py.File(h5_file, "r") as f:
        return {name: f[name][()] for name in f}


def tick_calls(client):
    return [call for call in client.calls_of("get_price") if call[2]]


def test_new_instrument_gets_one_dataset_per_listed_day(tmp_path):
    client = fm.tick_market([D1, D2, D3], counts=[3, 4, 5])
    client.ticks[("S1", D2)] = None
    append(client, tmp_path / "ticks")
    listing = client.calls_of("get_price")[0]
    assert listing == ("get_price", ("S1", 20050104, 29991231), [])
    assert type(listing[1][1]) is int
    assert tick_calls(client) == [("get_price", ("S1", day, day), [("frequency", "tick"), ("adjust_type", "none")])
                                  for day in (D1, D2, D3)]
    stored = read(tmp_path / "ticks" / "S1.h5")
    fm.assert_bundle_storage(tmp_path / "ticks" / "S1.h5")
    assert sorted(stored) == ["20240102", "20240104"]
    assert len(stored["20240102"]) == 3 and len(stored["20240104"]) == 5
    assert stored["20240104"].dtype == fm.TicksLoader.DTYPES
    assert stored["20240104"]["date"].tolist() == [20240104] * 5


def test_update_rewrites_the_latest_day_and_adds_the_later_ones(tmp_path):
    client = fm.tick_market([D1, D2], counts=[3, 2])
    append(client, tmp_path)
    first = read(tmp_path / "S1.h5")
    client.days["S1"] += [D3]
    client.ticks[("S1", D2)] = fm.day_ticks(D2, 6)
    client.ticks[("S1", D3)] = fm.day_ticks(D3, 1)
    append(client, tmp_path)
    listing = client.calls_of("get_price")[-3]
    assert listing == ("get_price", ("S1", "20240103", 29991231), [])
    stored = read(tmp_path / "S1.h5")
    assert sorted(stored) == ["20240102", "20240103", "20240104"]
    assert stored["20240102"].tobytes() == first["20240102"].tobytes()
    assert len(stored["20240103"]) == 6 and len(stored["20240104"]) == 1


def test_latest_day_changed_in_one_field_only_is_rewritten(tmp_path):
    client = fm.tick_market([D1, D2], counts=[3, 4])
    append(client, tmp_path)
    corrected = fm.day_ticks(D2, 4)
    corrected.loc[corrected.index[2], "volume"] = 12345   # the same ticks but one late correction
    client.ticks[("S1", D2)] = corrected
    append(client, tmp_path)
    assert read(tmp_path / "S1.h5")["20240103"]["volume"].tolist() == [0, 100, 12345, 300]


@pytest.mark.parametrize("answer", [
    None,
    fm.day_ticks(D2, 0),   # the day's columns, no rows
    pd.DataFrame(),        # no columns at all
], ids=["none", "no rows", "empty table"])
def test_latest_day_without_ticks_now_is_kept_and_later_days_added(tmp_path, answer):
    client = fm.tick_market([D1, D2])
    append(client, tmp_path)
    before = read(tmp_path / "S1.h5")["20240103"]
    client.ticks[("S1", D2)] = answer
    client.days["S1"] += [D3]
    client.ticks[("S1", D3)] = fm.day_ticks(D3, 2)
    append(client, tmp_path)
    stored = read(tmp_path / "S1.h5")
    assert stored["20240103"].tobytes() == before.tobytes()
    assert len(stored["20240104"]) == 2


def test_day_without_ticks_gives_an_empty_dataset(tmp_path):
    append(fm.tick_market([D1], counts=[0]), tmp_path)
    stored = read(tmp_path / "S1.h5")
    assert len(stored["20240102"]) == 0 and stored["20240102"].dtype == fm.TicksLoader.DTYPES


def test_stored_records_follow_the_loader_columns(tmp_path):
    client = fm.tick_market([D1])
    table = fm.day_ticks(D1, 3, open_interest=False)
    client.ticks[("S1", D1)] = table[table.columns[::-1]].assign(extra=1.0)
    append(client, tmp_path)
    stored = read(tmp_path / "S1.h5")["20240102"]
    assert stored.dtype.names == tuple(fm.TicksLoader.COLUMNS)
    assert stored["open_interest"].tolist() == [0, 0, 0]
    assert stored["last"].tolist() == [100000, 100100, 100200]


@pytest.mark.parametrize("file_name, stored_as", [("", "S1.h5"), ("other.h5", "other.h5")])
def test_file_name(tmp_path, file_name, stored_as):
    append(fm.tick_market([D1]), tmp_path, file_name=file_name)
    assert [p.name for p in tmp_path.iterdir()] == [stored_as]


def test_empty_listing_leaves_an_empty_file(tmp_path):
    client = fm.tick_market([])
    append(client, tmp_path)
    assert read(tmp_path / "S1.h5") == {}
    assert tick_calls(client) == []


def test_listing_none_raises_before_any_day_is_fetched(tmp_path):
    client = fm.tick_market([D1])
    client.no_listing = True
    with pytest.raises(LookupError, match="S1"):
        append(client, tmp_path)
    assert tick_calls(client) == []
    # Nothing was written: the new file is left empty, like an empty listing.
    assert read(tmp_path / "S1.h5") == {}
    assert [p.name for p in tmp_path.iterdir()] == ["S1.h5"]


@pytest.mark.parametrize("failure", [AttributeError, KeyboardInterrupt])  # a broken table; Ctrl-C
def test_client_failing_part_way_keeps_the_days_written_before(tmp_path, monkeypatch, failure):
    client = fm.tick_market([D1, D2, D3])
    append(client, tmp_path)
    client.days["S1"].append(D4)
    client.ticks[("S1", D3)] = fm.day_ticks(D3, 7)   # the latest day, rewritten
    answer = client.get_price

    def breaking_on_the_next_day(order_book_id, *args, **kwargs):
        if kwargs and args[0] == D4:
            raise failure("the client broke")
        return answer(order_book_id, *args, **kwargs)

    monkeypatch.setattr(client, "get_price", breaking_on_the_next_day)
    with pytest.raises(failure, match="the client broke"):
        append(client, tmp_path)
    stored = read(tmp_path / "S1.h5")
    assert sorted(stored) == ["20240102", "20240103", "20240104"]
    assert len(stored["20240104"]) == 7
    # No journal left; the latest day as it was stored moved to the side store.
    assert [p.name for p in tmp_path.iterdir()] == [".corvane", "S1.h5"]
    (segment,) = (tmp_path / ".corvane" / "superseded" / "S1.h5").iterdir()
    assert list(read(segment)) == ["20240104"] and len(read(segment)["20240104"]) != 7


@pytest.mark.parametrize("then", ["client fails", "last day"])
def test_failed_write_undoes_the_call_even_when_the_client_fails_next(tmp_path, monkeypatch, then):
    # A day is written while the next one is fetched: the write's failure
    # must win, whatever happens on the next day meanwhile.
    client = fm.tick_market([D1, D2])
    append(client, tmp_path)
    before = (tmp_path / "S1.h5").read_bytes()
    client.days["S1"].append(D3)
    client.ticks[("S1", D3)] = fm.day_ticks(D3, 5)
    if then == "client fails":
        client.days["S1"].append(D4)
        client.ticks[("S1", D4)] = "not a table"

    class FailingDay:
        def __init__(self, h5):
            self.h5 = h5

        def __getattr__(self, name):
            return getattr(self.h5, name)

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return self.h5.__exit__(*exc)

        def write_day(self, name, records):
            self.h5.write_day(name, records)
            if name == "20240104":
                raise OSError("disk full")

    opened = tick.open_instrument_file
    monkeypatch.setattr(tick, "open_instrument_file", lambda path, durable=False: FailingDay(opened(path, durable)))
    with pytest.raises(OSError, match="disk full"):
        append(client, tmp_path)
    assert (tmp_path / "S1.h5").read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["S1.h5"]


@pytest.mark.parametrize("order_book_id", ["", ".", "..", "../S1", "a/b", "x\0y"])
def test_unsafe_identifier_raises_before_anything_is_created(tmp_path, order_book_id):
    with pytest.raises(ValueError, match="unsafe order_book_id"):
        append(fm.tick_market([D1]), tmp_path / "ticks", order_book_id)
    assert list(tmp_path.iterdir()) == []


def test_foreign_file_raises_oserror_and_stays_as_it_was(tmp_path):
    (tmp_path / "S1.h5").write_bytes(b"\x89HDF?" * 20)
    with pytest.raises(OSError):
        append(fm.tick_market([D1]), tmp_path)
    assert (tmp_path / "S1.h5").read_bytes() == b"\x89HDF?" * 20
