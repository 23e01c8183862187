"""What the market said, kept with each version: the client's listing and the days it had no bars for."""
import concurrent.futures
import json
import os
import shutil
import subprocess
import sys

import pandas as pd
import pytest

import corvane.bundle as bundle
from corvane import layout as files
from corvane import read
from corvane.errors import CoverageError, VersionError
from corvane.history import layout as history
from corvane.history import market
from corvane.history import versions
from corvane.look import verify
from corvane.read import gaps
from corvane.updater import listing as kept_listing
from corvane.updater import run
from corvane.updater.options import UpdateOptions
from corvane.updater.outcomes import Outcome
from corvane.updater.stores import Held
from looking import invoke

# 10003 is suspended 20250310-20250321; 10004 is de-listed 20250627; HXI2506 matures in June.
LIVE, SUSPENDED, DELISTED, EXPIRED = "10001.HBX", "10003.HBX", "10004.HBX", "HXI2506.QFX"
TRADING = "HXI2507.QFX"     # trades past the expired one's end, on its venue
SUSPENSION = [20250310, 20250311, 20250312, 20250313, 20250314, 20250317, 20250318, 20250319, 20250320, 20250321]
FIRST_ASOF, LATER_ASOF, SINCE = "20250314", "20250711", 20250303


def _update(root, asof, words):
    os.environ["LUMENFEED_ASOF"] = asof
    bundle.init_lumenfeed_with_warnings_catch()
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as inline:
        report = run.update("minbar", root, words, executor=inline, options=UpdateOptions(since=SINCE))
    assert report.exit_status == 0 and report.version is not None
    return report.version


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """A root updated twice: mid-suspension (two stocks), then months later (four instruments);
    the live stock's file as the first run left it; the two versions' ids."""
    saved = os.environ.get("LUMENFEED_ASOF")
    place = tmp_path_factory.mktemp("listing")
    root = str(place / "minbar")
    try:
        first = _update(root, FIRST_ASOF, [LIVE, SUSPENDED])
        early = str(place / "early.h5")
        shutil.copy(os.path.join(root, "equities", LIVE + ".h5"), early)
        later = _update(root, LATER_ASOF, [LIVE, SUSPENDED, DELISTED, EXPIRED, TRADING])
    finally:
        if saved is None:
            os.environ.pop("LUMENFEED_ASOF", None)
        else:
            os.environ["LUMENFEED_ASOF"] = saved
    return {"root": root, "early": early, "versions": (first, later)}


@pytest.fixture
def root(made, tmp_path, monkeypatch):
    """A copy of the made root, the client at the later as-of date."""
    monkeypatch.setenv("LUMENFEED_ASOF", LATER_ASOF)
    copy = str(tmp_path / "minbar")
    shutil.copytree(made["root"], copy)
    return copy


# ---------------------------------------------------------------- kept and read back

@pytest.mark.parametrize("which, ids, suspended", [
    (0, [LIVE, SUSPENDED], SUSPENSION[:5]),
    (1, sorted([LIVE, SUSPENDED, DELISTED, EXPIRED, TRADING]), SUSPENSION),
    (None, sorted([LIVE, SUSPENDED, DELISTED, EXPIRED, TRADING]), SUSPENSION),
])
def test_the_listing_is_kept_with_each_version_and_read_back_as_of_it(made, which, ids, suspended):
    as_of = None if which is None else made["versions"][which]
    table = read.instruments(made["root"], as_of=as_of)
    assert table.attrs["version"] == made["versions"][-1 if which is None else which]
    assert table["order_book_id"].tolist() == ids
    rows = table.set_index("order_book_id")
    assert list(rows.loc[SUSPENDED, "suspended"]) == suspended
    assert rows.loc[LIVE, "suspended"] == ()
    assert (rows.loc[LIVE, "type"], rows.loc[LIVE, "exchange"], rows.loc[LIVE, "listed_date"],
            rows.loc[LIVE, "de_listed_date"]) == ("CS", "HBX", 20050104, 0)
    if which != 0:
        assert rows.loc[DELISTED, "de_listed_date"] == 20250627
        assert 20250601 <= rows.loc[EXPIRED, "maturity_date"] <= 20250630


def test_the_record_is_written_whole_beside_the_manifest_and_names_its_version(made):
    for version_id in made["versions"]:
        path = history.market_path(made["root"], version_id)
        with open(path) as held:
            record = json.load(held)
        assert (record["format"], record["version"]) == (market.FORMAT, version_id)
        assert os.path.exists(history.manifest_path(made["root"], version_id))
    assert not [name for name in os.listdir(history.market_dir(made["root"])) if history.is_temporary(name)]


def test_a_record_whose_manifest_never_landed_counts_for_none(root, made):
    orphan = history.new_version_id(after=made["versions"][-1])
    with open(history.market_path(root, orphan), "w") as out:
        out.write(market.text(orphan, {"X.HBX": {"type": "CS"}}, {SUSPENDED: [20250707]}))
    table = read.instruments(root)
    assert "X.HBX" not in set(table["order_book_id"])
    assert 20250707 not in table.set_index("order_book_id").loc[SUSPENDED, "suspended"]


@pytest.mark.parametrize("content", ["{", '{"format": 9, "listing": {}, "suspended": {}}', '{"format": 1}'])
def test_a_damaged_record_is_named_in_one_line(root, made, content):
    with open(history.market_path(root, made["versions"][-1]), "w") as out:
        out.write(content)
    with pytest.raises(VersionError, match=r"market/.*\.json: the client's listing kept with the version") as raised:
        read.coverage(root)
    assert "\n" not in str(raised.value)


def test_an_update_that_learns_nothing_new_commits_no_version(root):
    before = versions.version_ids(root)
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as inline:
        report = run.update("minbar", root, [LIVE, SUSPENDED, DELISTED], executor=inline,
                            options=UpdateOptions(since=SINCE))
    assert (report.exit_status, report.version) == (0, None)
    assert versions.version_ids(root) == before


def test_a_suspension_alone_is_kept_in_a_version_naming_no_file(tmp_path, monkeypatch):
    root = str(tmp_path / "minbar")
    monkeypatch.setenv("LUMENFEED_ASOF", FIRST_ASOF)
    _update(root, "20250307", [SUSPENDED])
    version = _update(root, "20250318", [SUSPENDED])
    assert versions.read_entries(root, version) == {}
    assert read.instruments(root)["suspended"].tolist() == [tuple(SUSPENSION[:7])]
    assert invoke("status", root).exit_code == 0
    assert not verify.verify(root, "minbar").findings


# ---------------------------------------------------------------- ended is not stale, suspended is not missing

@pytest.mark.parametrize("with_client", [False, True])
def test_what_ended_is_not_stale_and_a_suspended_day_is_not_missing(root, with_client):
    calendar = ends = None
    if with_client:
        calendar, ends = gaps.from_client(bundle.lumenfeed, gaps.order_book_ids(root))
    table = read.coverage(root, calendar=calendar, ends=ends).set_index("order_book_id")
    assert not table["stale"].any(), table
    # Each stopped before its venue's last day, at its own end.
    for order_book_id, end in ((DELISTED, 20250627), (EXPIRED, 20250620)):
        assert table.loc[order_book_id, "last"] == table.loc[order_book_id, "venue_last"] == end
    assert table.loc[TRADING, "last"] > 20250620
    assert (table.loc[SUSPENDED, "missing"], table.loc[SUSPENDED, "suspended"]) == ([], SUSPENSION)
    assert all(not days for days in table["missing"])


@pytest.mark.parametrize("which, stale", [(0, False), (1, False)])
def test_coverage_as_of_a_version_uses_the_suspensions_known_then(made, which, stale):
    table = read.coverage(made["root"], as_of=made["versions"][which]).set_index("order_book_id")
    row = table.loc[SUSPENDED]
    # Mid-suspension, the file stopped before the venue's last day for the suspension alone.
    assert (bool(row["stale"]), row["missing"], row["suspended"]) == (stale, [], SUSPENSION[:5 if which == 0 else 10])
    assert (table.attrs["version"], table.loc[LIVE, "stale"]) == (made["versions"][which], False)


def test_without_the_kept_record_the_same_files_are_stale_and_missing_days(root):
    shutil.rmtree(history.market_dir(root))
    table = read.coverage(root).set_index("order_book_id")
    assert table.loc[SUSPENDED, "missing"] == SUSPENSION and table.loc[SUSPENDED, "suspended"] == []
    assert table[["stale"]].loc[[DELISTED, EXPIRED, LIVE, TRADING]].to_numpy().ravel().tolist() == [
        True, True, False, False]


@pytest.mark.parametrize("kept", [True, False])
def test_a_strict_read_across_a_suspension_is_whole(root, kept):
    if not kept:
        shutil.rmtree(history.market_dir(root))
    reading = lambda: read.bars(root, SUSPENDED, 20250303, 20250331, strict=True)  # noqa: E731
    if kept:
        assert set(reading()["trading_date"]).isdisjoint(SUSPENSION)
    else:
        with pytest.raises(CoverageError, match="10 trading date"):
            reading()


class VolumeEveryDay:
    """The demo client, whose day listing has volume on every trading day (suspended ones too)."""

    def get_price(self, order_book_id, start, end):
        table = bundle.lumenfeed.get_price(order_book_id, start, end)
        return None if table is None else table.assign(volume=1.0)

    def get_trading_dates(self, start, end):
        return bundle.lumenfeed.get_trading_dates(start, end)


@pytest.mark.parametrize("kept", [True, False])
def test_verify_data_takes_a_kept_suspended_day_for_no_missing_one(root, kept):
    if not kept:
        shutil.rmtree(history.market_dir(root))
    report = verify.verify(root, "minbar", verify.Options(files.layouts(), True, False, 0.2, False), 1, VolumeEveryDay)
    missing = [finding for finding in report.findings if finding.check == "missing-day"]
    assert [os.path.basename(finding.file) for finding in missing] == ([] if kept else [SUSPENDED + ".h5"])


# ---------------------------------------------------------------- status

@pytest.mark.parametrize("args", [(), ("--client",), ("--as-of", 0), ("--as-of", 1)])
def test_status_after_a_fresh_fill_exits_zero(root, made, args):
    args = tuple(made["versions"][arg] if isinstance(arg, int) else arg for arg in args)
    result = invoke("status", root, *args)
    assert result.exit_code == 0, result.output
    assert "corvane status: 0 of" in result.output


@pytest.mark.parametrize("args", [(), ("--client",)])
def test_a_stale_file_is_still_named(root, made, args):
    shutil.copy(made["early"], os.path.join(root, "equities", LIVE + ".h5"))
    result = invoke("status", root, *args)
    assert result.exit_code == 1
    assert "{}: stale: stored to {}".format(LIVE, FIRST_ASOF) in result.output
    assert SUSPENDED not in result.output and DELISTED not in result.output


@pytest.mark.slow
def test_the_command_keeps_the_listing_and_status_exits_zero(tmp_path):
    environment = dict(os.environ, LUMENFEED_ASOF=LATER_ASOF)
    corvane = [sys.executable, "-W", "ignore", "-m", "corvane.cli"]
    root = str(tmp_path / "minbar")
    subprocess.run(corvane + ["update-minbar", root, LIVE, SUSPENDED, DELISTED, "--since", str(SINCE), "--jobs", "1"],
                   env=environment, check=True, capture_output=True)
    assert len(read.instruments(root)) == 3
    for args in ([], ["--client"]):
        done = subprocess.run(corvane + ["status", root] + args, env=environment, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr


# ---------------------------------------------------------------- the run's side

@pytest.mark.parametrize("value, plain", [
    (pd.Timestamp("2025-06-27"), 20250627), (pd.NaT, None), (None, None), ("0000-00-00", None),
    ("2025-06-27", 20250627), (float("nan"), None)])
def test_a_listing_date_is_kept_as_yyyymmdd(value, plain):
    assert kept_listing.plain("de_listed_date", value) == plain


def _odd_listing():
    ids = ["A", "B", "C", "D"]
    return pd.DataFrame({
        "order_book_id": ids, "type": pd.Series(["CS", None, "ETF", "CS"], dtype="string"),
        "symbol": pd.Series(["x", None, "y", "z"], dtype="str"),
        "listed_date": pd.to_datetime(["2020-01-02", None, "1969-12-31 23:00", "2024-02-29"], format="mixed"),
        "maturity_date": ["2020-01-02", 20200102, None, pd.NaT], "round_lot": [100, 10, 1, 0],
        "tick_size": [0.01, float("nan"), float("inf"), 1.0], "flag": [True, False, True, False],
        "lots": pd.array([1, None, 3, 4], dtype="Int64"), "mixed": [3, "s", None, 2.5]})


@pytest.mark.parametrize("chosen", [["A", "B", "C", "D"], ["C"], ["Z"]])
@pytest.mark.parametrize("columns", [None, ([0, 5, 2, 6], ["order_book_id", "round_lot", "symbol", "round_lot"]),
                                     ([0], ["order_book_id"])])
def test_the_listing_kept_is_each_rows_cells_made_plain(chosen, columns):
    table = _odd_listing()
    if columns is not None:
        # A column named twice: its last cell counts, as in a row's record.
        table = table.iloc[:, columns[0]]
        table.columns = columns[1]
    # What each row's own cells give, one by one: the record the version keeps.
    expected = {}
    for row in table.itertuples(index=False, name=None):
        record = dict(zip(table.columns, row))
        if record["order_book_id"] in chosen:
            expected[record["order_book_id"]] = {str(name): kept_listing.plain(str(name), record[name])
                                                 for name in table.columns if name != "order_book_id"}
    found = kept_listing.listing_of(table, chosen)
    assert found == expected
    assert {key: [type(value) for value in fields.values()] for key, fields in found.items()} == \
        {key: [type(value) for value in fields.values()] for key, fields in expected.items()}


def test_suspensions_are_the_venue_days_asked_and_not_served(root):
    asked = []
    calendar = lambda first: asked.append(first) or kept_listing.trading_days(bundle.lumenfeed, first)  # noqa: E731
    listing = {SUSPENDED: {"listed_date": 20240617}, DELISTED: {"de_listed_date": 20250627}}
    days = read.index(root, SUSPENDED)["date"].tolist()
    held = len(days)
    cut = days.index(20250307) + 1
    outcomes = [Outcome(SUSPENDED, "updated", Held(0, cut), Held(0, held)),
                Outcome(DELISTED, "up_to_date", Held(0, len(read.index(root, DELISTED))),
                        Held(0, len(read.index(root, DELISTED)))),
                Outcome(LIVE, "failed", Held(0, 1), Held(0, 2))]
    assert kept_listing.suspensions(root, outcomes, listing, calendar) == {SUSPENDED: SUSPENSION}
    # The de-listed stock's file reaches its end, the failed job was not served: one look at the calendar,
    # from the day after the suspended stock's file ended.
    assert asked == [20250307 + 1]
    # The days a store says it left stand for its file, which is not read again.
    told = [outcome._replace(days=tuple(read.index(root, outcome.order_book_id)["date"].tolist()[
        outcome.before.days - 1:])) for outcome in outcomes[:2]]
    assert kept_listing.suspensions(os.path.join(root, "gone"), told + outcomes[2:], listing, calendar) == \
        {SUSPENDED: SUSPENSION}
