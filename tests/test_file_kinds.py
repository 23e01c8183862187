"""A file of the other kind, or holding foreign members, is refused untouched."""
import datetime
import hashlib

import h5py
import numpy as np
import pytest

import fake_market as fm
from corvane import formats
from corvane.updater import minbar
from corvane.updater import tick

D1, D2 = datetime.date(2024, 1, 2), datetime.date(2024, 1, 3)


def market():
    """Two days of ticks and two days of bars of the stock S1."""
    client = fm.FakeClient({"S1": fm.InsType.CS})
    client.days["S1"] = [D1, D2]
    for day in (D1, D2):
        client.ticks[("S1", day)] = fm.day_ticks(day, 3)
    client.bars["S1"] = fm.minute_bars("S1", [(20240102, 3), (20240103, 2)])
    return client


def tick_days(*names):
    return {name: np.zeros(2, fm.TicksLoader.DTYPES) for name in names}


def bars(*extra):
    held = {"data": np.zeros(3, fm.EQUITIES_DTYPE), "index": np.zeros(1, fm.INDEX_DTYPE)}
    held.update((name, np.zeros(1, fm.INDEX_DTYPE)) for name in extra)
    return held


def update_minbar(client, root):
    minbar.append_h5(fm.make_services(client), "S1", str(root), None, 20050104, 29991231)


def update_tick(client, root):
    tick.append_h5_tick(fm.make_services(client), "S1", str(root), None, 20050104, 29991231)


def md5(path):
    return hashlib.md5(path.read_bytes()).hexdigest()


@pytest.mark.parametrize("store, held, holds", [
    ("minbar", tick_days("20240102", "20240103", "20240104"), "3 tick days (20240102 to 20240104)"),
    ("minbar", bars("notes"), 'the minute-bar datasets "data", "index" and 1 other member "notes"'),
    ("minbar", {"index": np.zeros(1, fm.INDEX_DTYPE), "20240102": np.zeros(1, fm.INDEX_DTYPE)},
     'the minute-bar dataset "index" and 1 tick day (20240102 to 20240102)'),
    ("tick", bars(), 'the minute-bar datasets "data", "index"'),
    ("tick", tick_days("20240102", "20241332"), '1 tick day (20240102 to 20240102) and 1 other member "20241332"'),
    ("tick", tick_days("2024010", "latest", "a", "b", "c", "d"),
     '6 other members "2024010", "a", "b", "c", "d", ...'),
])
def test_file_of_another_kind_is_refused_untouched(tmp_path, store, held, holds):
    directory = tmp_path / "equities" if store == "minbar" else tmp_path
    directory.mkdir(exist_ok=True)
    h5_file = directory / "S1.h5"
    with h5py.File(h5_file, "w") as h5:
        for name, records in held.items():
            h5.create_dataset(name, data=records, maxshape=(None,))
    before = md5(h5_file)
    client = market()

    with pytest.raises(ValueError) as refused:
        (update_minbar if store == "minbar" else update_tick)(client, tmp_path)
    kind = "minute-bar" if store == "minbar" else "tick"
    assert str(refused.value) == "{} is not a {} file: it holds {}; left unchanged".format(h5_file, kind, holds)
    assert md5(h5_file) == before
    assert [p.name for p in directory.iterdir()] == ["S1.h5"]  # no journal left behind
    # Refused before the client is asked for any data.
    assert client.calls_of("get_price") == []


def test_each_store_refuses_what_the_other_wrote(tmp_path):
    client = market()
    update_tick(client, tmp_path / "tick")
    update_minbar(client, tmp_path / "minbar")
    tick_file, bar_file = tmp_path / "tick" / "S1.h5", tmp_path / "minbar" / "equities" / "S1.h5"
    tick_bytes, bar_bytes = tick_file.read_bytes(), bar_file.read_bytes()
    tick_file.write_bytes(bar_bytes)
    bar_file.write_bytes(tick_bytes)

    with pytest.raises(ValueError, match="not a minute-bar file"):
        update_minbar(client, tmp_path / "minbar")
    with pytest.raises(ValueError, match="not a tick file"):
        update_tick(client, tmp_path / "tick")
    assert (tick_file.read_bytes(), bar_file.read_bytes()) == (bar_bytes, tick_bytes)


@pytest.mark.parametrize("name, is_day", [
    ("20240229", True), ("20050104", True),
    ("20230229", False), ("20241301", False), ("20240100", False),
    ("2024010", False), ("202401021", False), ("2024010a", False), ("", False),
    ("\uff12\uff10\uff12\uff14\uff10\uff11\uff10\uff12", False),  # full-width digits
])
def test_day_names_are_real_dates_of_eight_ascii_digits(name, is_day):
    assert formats.is_day_name(name) is is_day
