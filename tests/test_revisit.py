"""Revisits: stored days asked again, changed ones replaced, what they replace kept whole."""
import concurrent.futures
import hashlib
import os

import h5py
import numpy as np
import pytest

import corvane.bundle as bundle
from corvane import _engine
from corvane.history import layout as history
from corvane.updater import outcomes
from corvane.updater import revisit
from corvane.updater import run
from corvane.history import versions
from corvane.formats import EQUITIES_DTYPE, INDEX_DTYPE
from corvane.updater.options import UpdateOptions
from corvane.updater import report as reports
import looking

STOCK, INDEX = "10001.HBX", "IX001.HBX"
SINCE = 20261125


@pytest.fixture
def demo(monkeypatch):
    return looking.demo_at(monkeypatch, "LUMENFEED_REVISED")


@pytest.fixture
def inline():
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as executor:
        yield executor


def update(kind, path, executor, revisit=None):
    return run.update(kind, str(path), [STOCK, INDEX] if kind == "minbar" else [STOCK],
                      options=UpdateOptions(since=SINCE), executor=executor, revisit=revisit)


def minbar_file(root, order_book_id):
    return os.path.join(str(root), "equities", order_book_id + ".h5")


def datasets(h5_file):
    with h5py.File(h5_file, "r") as h5:
        return {name: h5[name][()] for name in h5}, dict(h5.attrs)


def days_of(h5_file):
    """{date: bars} of a minute-bar file."""
    content, _ = datasets(h5_file)
    return revisit._by_day(content["index"], content["data"])


def segments(root, h5_file):
    return [path for _, path in history.segments(str(root), history.relative(str(root), h5_file))]


def tree_digest(root):
    """Every file under `root` with its bytes' digest."""
    found = {}
    for directory, _, names in os.walk(str(root)):
        for name in names:
            with open(os.path.join(directory, name), "rb") as f:
                found[os.path.relpath(os.path.join(directory, name), str(root))] = hashlib.sha1(f.read()).hexdigest()
    return found


def test_a_day_stored_intraday_and_a_corrected_day_are_revised_and_the_old_rows_kept(demo, inline, tmp_path):
    demo("20261204T1030")
    update("minbar", tmp_path / "minbar", inline)
    update("tick", tmp_path / "tick", inline)
    old_bars = {oid: datasets(minbar_file(tmp_path / "minbar", oid))[0] for oid in (STOCK, INDEX)}
    old_ticks, _ = datasets(str(tmp_path / "tick" / (STOCK + ".h5")))

    demo("20261207", "20261203")
    report = update("minbar", tmp_path / "minbar", inline, revisit=2)
    ticks = update("tick", tmp_path / "tick", inline, revisit=2)
    update("minbar", tmp_path / "fresh", inline)
    update("tick", tmp_path / "fresh-tick", inline)

    for outcome in report.outcomes:
        h5_file = minbar_file(tmp_path / "minbar", outcome.order_book_id)
        assert (outcome.status, outcome.revised) == ("updated", (20261203, 20261204))
        revised, fresh = days_of(h5_file), days_of(minbar_file(tmp_path / "fresh", outcome.order_book_id))
        assert sorted(revised) == sorted(fresh) and max(revised) == 20261207
        for date in fresh:
            assert revised[date].tobytes() == fresh[date].tobytes(), date
        old = old_bars[outcome.order_book_id]
        (segment,) = segments(tmp_path / "minbar", h5_file)
        content, attrs = datasets(segment)
        cut_index = list(old["index"]["date"]).index(20261203)
        cut = int(old["index"]["line_no"][cut_index])
        assert attrs == {"cut_data_row": cut, "data_rows": len(old["data"]),
                         "cut_index_row": cut_index, "index_rows": len(old["index"])}
        assert content["data"].tobytes() == old["data"][cut:].tobytes()
        assert content["index"].tobytes() == old["index"][cut_index:].tobytes()
        assert len(fresh[20261204]) > len(content["data"][content["index"]["line_no"][-1] - cut:])
    assert report.counts["days_revised"] == 4
    assert versions.log(str(tmp_path / "minbar"))[0]["counts"]["days_revised"] == 4
    assert "; 4 days revised in 2 instruments" in report.summary()
    assert reports.outcome_json(report.outcomes[0])["revised"] == [20261203, 20261204]

    (outcome,) = ticks.outcomes
    tick_file = str(tmp_path / "tick" / (STOCK + ".h5"))
    assert outcome.revised == (20261203, 20261204)
    now, _ = datasets(tick_file)
    fresh, _ = datasets(str(tmp_path / "fresh-tick" / (STOCK + ".h5")))
    for day in fresh:
        assert now[day].tobytes() == fresh[day].tobytes(), day
    kept = [datasets(path)[0] for path in segments(tmp_path / "tick", tick_file)]
    assert [list(segment) for segment in kept] == [["20261203"], ["20261204"]]
    for segment in kept:
        for day, records in segment.items():
            assert records.tobytes() == old_ticks[day].tobytes() != now[day].tobytes()


def test_an_unchanged_market_revisited_leaves_every_file_byte_for_byte(demo, inline, tmp_path, monkeypatch):
    demo("20261204")
    update("minbar", tmp_path / "minbar", inline)
    update("tick", tmp_path / "tick", inline)
    before = tree_digest(tmp_path)
    calls = []
    served = bundle.lumenfeed.get_price
    monkeypatch.setattr(bundle.lumenfeed, "get_price", lambda *a, **k: calls.append(a[:1]) or served(*a, **k))
    counted = {}
    for days in (0, 1):
        calls.clear()
        for kind in ("minbar", "tick"):
            report = update(kind, tmp_path / kind, inline, revisit=days)
            assert {(o.status, o.revised) for o in report.outcomes} == {("up_to_date", ())}
            assert "revised" not in report.summary()
        counted[days] = len(calls)
        assert tree_digest(tmp_path) == before
    assert counted[1] == counted[0]


def bars(dates, per_day=3, shift=0.0):
    index = np.zeros(len(dates), INDEX_DTYPE)
    index["date"] = dates
    index["line_no"] = np.arange(len(dates)) * per_day
    data = np.zeros(len(dates) * per_day, EQUITIES_DTYPE)
    data["datetime"] = np.repeat(np.array(dates, np.int64) * 1000000, per_day) + np.tile(np.arange(per_day), len(dates))
    data["close"] = data["datetime"] % 1000 + shift
    return index, data


def changed(dates, day, shift=0.5):
    """The bars of `dates` with those of `day` given other values."""
    index, data = bars(dates)
    data["close"][np.repeat(index["date"], 3) == day] += shift
    return index, data


STORED = [20240102, 20240103, 20240105]


@pytest.mark.parametrize("answer, revised, kept", [
    (bars([20240103, 20240105, 20240108]), [], STORED + [20240108]),
    (changed([20240103, 20240105], 20240103), [20240103], STORED),
    (changed([20240103, 20240105, 20240108], 20240105), [20240105], STORED + [20240108]),
    # A stored day the answer lacks is kept, also after the cut.
    (changed([20240103], 20240103), [20240103], STORED),
    # A day the answer adds among the stored ones is a revision too.
    (bars([20240103, 20240104, 20240105]), [20240104], [20240102, 20240103, 20240104, 20240105]),
], ids=["equal", "first", "last-and-new", "gap", "inserted"])
def test_only_changed_days_are_replaced_and_stored_days_missing_from_the_answer_kept(
        tmp_path, answer, revised, kept):
    path = str(tmp_path / "f.h5")
    stored_dates = STORED
    with _engine.File(path) as h5:
        h5.append_minbar(*bars(stored_dates))
    before = open(path, "rb").read()
    with _engine.File(path) as h5:
        assert revisit.store_minbar(h5, *answer, 20240103, str(tmp_path / "side")) == revised
    days = days_of(path)
    if kept is not None:
        assert sorted(days) == kept
    expected = revisit._by_day(*answer)
    for date, records in days.items():
        source = expected.get(date, revisit._by_day(*bars(stored_dates)).get(date))
        assert records.tobytes() == source.tobytes()
    if not revised:
        assert not os.path.exists(str(tmp_path / "side"))
        if kept == STORED:
            assert open(path, "rb").read() == before
    else:
        assert len(os.listdir(str(tmp_path / "side"))) == 1


def test_revisit_is_refused_below_zero_and_without_days_asks_as_before(tmp_path):
    assert UpdateOptions().revisit == 0
    days = ["20240102", "20240103", "20240104"]
    assert [revisit.first_tick_day(days, n) for n in (0, 1, 2, 9)] == ["20240104", "20240104", "20240103", "20240102"]
    with _engine.File(str(tmp_path / "f.h5")) as h5:
        h5.append_minbar(*bars(STORED))
        assert [revisit.first_revisited(h5, n) for n in (1, 2, 9)] == [20240105, 20240103, 20240102]
    with pytest.raises(run.SetupRefused, match="revisit"):
        run.update("minbar", str(tmp_path), [STOCK], revisit=-1)
    assert "revisit" not in run.jobs_module.store_keywords("minbar", UpdateOptions(), run.jobs_module.NOTHING_LISTED)
    assert run.jobs_module.store_keywords("tick", UpdateOptions(revisit=3),
                                          run.jobs_module.NOTHING_LISTED)["revisit"] == 3


def test_a_revision_failing_after_its_segment_is_retried_and_the_leftover_segment_is_harmless(
        demo, inline, tmp_path, monkeypatch):
    monkeypatch.setattr(outcomes, "backoff_delay", lambda attempt, base: 0)
    demo("20261204T1030")
    run.update("minbar", str(tmp_path), [STOCK], options=UpdateOptions(since=SINCE), executor=inline)
    h5_file = minbar_file(tmp_path, STOCK)
    old, _ = datasets(h5_file)
    demo("20261207")
    _engine._fail_once("revision.segment")
    (outcome,) = run.update("minbar", str(tmp_path), [STOCK], options=UpdateOptions(since=SINCE),
                            executor=inline, revisit=1).outcomes
    assert (outcome.status, outcome.attempts, outcome.revised) == ("updated", 2, (20261204,))
    kept = [datasets(path) for path in segments(tmp_path, h5_file)]
    assert len(kept) == 2 and kept[0][1] == kept[1][1]
    cut = kept[0][1]["cut_data_row"]
    for content, _ in kept:
        assert content["data"].tobytes() == old["data"][cut:].tobytes()
    assert len(days_of(h5_file)[20261204]) > len(old["data"]) - cut


@pytest.mark.parametrize("days, delisted, revised", [
    (0, None, ()),                          # the latest day is asked again, equal
    (2, None, (20240103,)),
    (2, 20240102, (20240103,)),             # an ended instrument is revisited too
    (0, 20240102, ()),                      # without revisiting, it is not asked at all
])
def test_a_tick_day_corrected_in_place_is_revised_even_with_no_new_rows(tmp_path, days, delisted, revised):
    import datetime

    import fake_market as fm
    from corvane.updater import tick

    d1, d2, d3 = (datetime.date(2024, 1, d) for d in (2, 3, 4))
    client = fm.tick_market([d1, d2, d3], [4] * 3)
    services = fm.make_services(client)
    tick.append_h5_tick(services, "S1", str(tmp_path), None, 20050104, 29991231)
    corrected = fm.day_ticks(d2, 4)
    corrected["volume"] += 100
    client.ticks[("S1", d2)] = corrected
    keywords = {"revisit": days} if days else {}
    stored = tick.append_h5_tick(services, "S1", str(tmp_path), None, 20050104, 29991231, delisted=delisted,
                                 counted=True, **keywords)
    assert stored.revised == revised
    assert stored.before == stored.after
    stored, _ = datasets(str(tmp_path / "S1.h5"))
    # The first tick's volume was 0 and is 100 corrected.
    assert (stored["20240103"]["volume"][0] != 0) == bool(revised)


def test_a_run_that_only_corrects_days_reports_them_updated(demo, inline, tmp_path):
    demo("20261204")
    update("tick", tmp_path, inline)
    demo("20261204", "20261203")
    (outcome,) = update("tick", tmp_path, inline, revisit=2).outcomes
    assert outcome.before == outcome.after
    assert (outcome.status, outcome.revised) == ("updated", (20261203,))
