"""One read request: every read takes its options by name in one order, and reads, checks and
names one version: `strict`, the attrs, the streams and coverage all as of the version asked
(or the newest), longer bars folded the same way whichever version is read."""
import inspect
import os
import time
import warnings

import numpy as np
import pandas as pd
import pytest

from corvane import read
from corvane.errors import CoverageError
from corvane.history import commits
from corvane.history import layout as history
from corvane.read import request
from corvane.history import versions
import test_versions
from test_versions import FIRST, LATER, STOCK, STOCK_FILE, commit_now, revise_last_days

inline, market = test_versions.inline, test_versions.market

FREQS = ["1min", "5min", "15min", "30min", "60min", "7min", "1D"]


@pytest.fixture
def two(market, tmp_path):
    """A root updated twice (the second run adds days), then its last days revised and committed:
    (root, [first, second, revised] version ids, the first version's plain reads by freq)."""
    root = str(tmp_path)
    market(root, FIRST)
    then = {freq: read.bars(root, STOCK, freq=freq) for freq in [None] + FREQS}
    market(root, LATER)
    revise_last_days(root, 2)
    commit_now(root, "minbar", [STOCK_FILE])
    ids = versions.version_ids(root)
    assert len(ids) == 3
    return root, ids, then


def exactly(left, right):
    pd.testing.assert_frame_equal(left, right, check_exact=True)
    assert left.attrs == right.attrs


# ---------------------------------------------------------------- strict and the attrs

def test_strict_as_of_a_version_judges_what_that_version_held(two):
    root, (first, second, _), then = two
    held = then[None].attrs["last"]
    later = read.bars(root, STOCK, as_of=second)
    after = later[later["trading_date"] > held]
    assert len(after) > 0
    # The first version stopped before the range's end: refused, not 0 rows.
    with pytest.raises(CoverageError, match="as of version {}: stored to {}".format(first, held)):
        read.bars(root, STOCK, int(after["trading_date"].iloc[0]), int(after["trading_date"].iloc[-1]),
                  as_of=first, strict=True)
    # To its own last date it is whole: its rows, and the attrs of the same read without strict.
    exactly(read.bars(root, STOCK, None, held, as_of=first, strict=True), read.bars(root, STOCK, None, held, as_of=first))
    pd.testing.assert_frame_equal(read.bars(root, STOCK, None, held, as_of=first, strict=True), then[None],
                                  check_exact=True)
    exactly(read.bars(root, STOCK, None, held, as_of=second, strict=True),
            read.bars(root, STOCK, None, held, as_of=second))
    # The file as it is holds every date: the plain read is whole.
    assert len(read.bars(root, STOCK, strict=True)) == len(later)


@pytest.mark.parametrize("at", [0, 1, 2])
def test_every_read_names_the_version_it_read(two, at):
    root, ids, _ = two
    as_of = ids[at]
    reads = {"bars": read.bars(root, STOCK, as_of=as_of, freq="5min"),
             "many": read.bars_many(root, [STOCK], as_of=as_of)[STOCK],
             "coverage": read.coverage(root, as_of=as_of),
             "index": read.index(root, STOCK, as_of=as_of), "listing": read.listing(root, as_of=as_of)}
    reads.update(("block {}".format(k), table) for k, (_, table)
                 in enumerate(read.iter_bars(root, STOCK, as_of=as_of, batch_days=3)))
    assert {name: table.attrs["version"] for name, table in reads.items()} == {name: ids[at] for name in reads}
    # None asked: the newest.
    assert read.bars(root, STOCK).attrs["version"] == read.coverage(root).attrs["version"] == ids[-1]


def test_without_versions_a_read_names_none(market, monkeypatch, tmp_path):
    monkeypatch.setattr(commits, "ENABLED", False)
    market(tmp_path, FIRST)
    assert read.bars(tmp_path, STOCK).attrs["version"] is None
    assert all(table.attrs["version"] is None for _, table in read.iter_bars(tmp_path, STOCK, batch_days=2))
    assert read.bars(tmp_path, STOCK, to="arrow").schema.metadata[b"corvane"].count(b'"version": null') == 1


# ---------------------------------------------------------------- one version, every way of reading

@pytest.mark.parametrize("freq", [None, "5min", "1D"])
@pytest.mark.parametrize("at", [0, 1, 2])
def test_streams_and_coverage_as_of_a_version_equal_bars_many(two, at, freq):
    root, ids, _ = two
    many = read.bars_many(root, [STOCK], as_of=ids[at], freq=freq)[STOCK]
    blocks = [table for _, table in read.iter_bars(root, [STOCK], as_of=ids[at], freq=freq, batch_days=2)]
    assert len(blocks) > 1
    joined = pd.concat(blocks)
    pd.testing.assert_frame_equal(joined, many, check_exact=True)
    assert all(block.attrs == dict(many.attrs, start=block.attrs["start"], end=block.attrs["end"])
               for block in blocks)
    row = read.coverage(root, [STOCK], as_of=ids[at]).iloc[0]
    assert (row["first"], row["last"], row["venue_last"], tuple(row["missing"])) == (
        many.attrs["first"], many.attrs["last"], many.attrs["venue_last"], many.attrs["missing"])
    assert row["last"] == many["trading_date"].iloc[-1]


@pytest.mark.parametrize("at", [0, 2])
def test_dask_bars_as_of_a_version_equal_bars_many(two, at):
    pytest.importorskip("dask.dataframe")
    root, ids, _ = two
    many = read.bars_many(root, [STOCK], as_of=ids[at])[STOCK]
    frame = read.dask_bars(root, [STOCK], as_of=ids[at], by_year=False).compute(scheduler="sync")
    pd.testing.assert_frame_equal(frame.drop(columns="order_book_id"), many, check_exact=True)


@pytest.mark.parametrize("asked", [None, "first"])
def test_a_stream_keeps_the_version_it_started_with_while_a_revision_commits_beside_it(two, asked):
    root, ids, _ = two
    as_of = ids[0] if asked else None
    pinned = as_of or ids[-1]
    stream = read.iter_bars(root, [STOCK], as_of=as_of, batch_days=2)
    head = [next(stream)[1]]
    revise_last_days(root, 3)
    newer = commit_now(root, "minbar", [STOCK_FILE])
    rest = [table for _, table in stream]
    assert {table.attrs["version"] for table in head + rest} == {pinned}
    whole = read.bars(root, STOCK, as_of=pinned)
    pd.testing.assert_frame_equal(pd.concat(head + rest), whole, check_exact=True)
    assert not read.bars(root, STOCK, as_of=newer).equals(whole)


# ---------------------------------------------------------------- one fold

@pytest.mark.parametrize("freq", FREQS)
def test_longer_bars_as_of_a_version_are_the_plain_reads_bit_for_bit(two, freq):
    root, ids, then = two
    exactly(read.bars(root, STOCK, freq=freq, as_of=ids[-1]), read.bars(root, STOCK, freq=freq))
    # An older version's bars come from the file and a superseded segment: folded piece by piece,
    # the same sums as when that version was the file.
    exactly(read.bars(root, STOCK, freq=freq, as_of=ids[0]), then[freq])
    arrow_table = read.bars(root, STOCK, freq=freq, as_of=ids[0], to="arrow")
    for name in then[freq].columns:
        assert np.array_equal(arrow_table.column(name).to_numpy(), then[freq][name].to_numpy())


# ---------------------------------------------------------------- options by name, in one order

ORDER = ["columns", "freq", "strict", "to", "as_of", "threads", "batch_days"]
READS = ["bars", "bars_many", "iter_bars", "dask_bars", "coverage", "ticks", "index", "listing"]


@pytest.mark.parametrize("name", READS)
@pytest.mark.parametrize("where", ["module", "Bundle"])
def test_options_are_keyword_only_in_one_order(name, where):
    parameters = inspect.signature(getattr(read if where == "module" else read.Bundle, name)).parameters
    options = [p.name for p in parameters.values() if p.kind == p.KEYWORD_ONLY]
    assert options and all(p.kind != p.VAR_POSITIONAL for p in parameters.values())
    common = [option for option in options if option in ORDER]
    assert common == sorted(common, key=ORDER.index)
    assert "fields" not in parameters and inspect.getdoc(getattr(read, name))


def plain(root, **options):
    return read.bars(root, STOCK, **options)


@pytest.mark.parametrize("call, named", [
    (lambda root: read.bars(root, STOCK, None, None, ["close"]), lambda root: plain(root, columns=["close"])),
    (lambda root: read.Bundle(root).bars(STOCK, None, None, "close"), lambda root: plain(root, columns="close")),
    (lambda root: read.bars_many(root, [STOCK], None, None, ["close"], 1)[STOCK],
     lambda root: plain(root, columns=["close"])),
    (lambda root: pd.concat(table for _, table in read.iter_bars(root, [STOCK], None, None, "5min", 3)),
     lambda root: plain(root, freq="5min")),
    (lambda root: read.coverage(root, None, None, None, None, {}), lambda root: read.coverage(root)),
    (lambda root: read.index(root, STOCK, "minbar"), lambda root: read.index(root, STOCK)),
])
def test_options_once_passed_by_position_keep_their_meaning_with_a_warning(two, call, named):
    root = two[0]
    with pytest.warns(DeprecationWarning, match="by name"):
        table = call(root)
    pd.testing.assert_frame_equal(table, named(root), check_exact=True)


@pytest.mark.parametrize("call, says", [
    (lambda root: read.iter_bars(root, [STOCK], None, None, ["close"]), "pass columns="),
    (lambda root: read.Bundle(root).iter_bars([STOCK], None, None, ["close"]), "pass columns="),
    (lambda root: read.dask_bars(root, [STOCK], None, None, ["close"]), "pass columns="),
    (lambda root: read.bars(root, STOCK, None, None, ["close"], "5min"), "passed by name"),
    (lambda root: read.bars(root, STOCK, None, None, "close", columns="close"), "multiple values"),
])
def test_options_that_never_meant_that_by_position_are_refused(two, call, says):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError, match=says):
            call(two[0])


@pytest.mark.parametrize("call", [
    lambda root, **kw: read.bars(root, STOCK, **kw),
    lambda root, **kw: read.Bundle(root).bars_many([STOCK], **kw)[STOCK],
    lambda root, **kw: pd.concat(table for _, table in read.iter_bars(root, STOCK, **kw)),
])
def test_fields_still_works_and_says_it_is_now_columns(two, call):
    root = two[0]
    with pytest.warns(DeprecationWarning, match="columns"):
        table = call(root, fields=["close", "volume"])
    pd.testing.assert_frame_equal(table, call(root, columns=["close", "volume"]), check_exact=True)


def test_the_version_ids_kept_move_with_their_directory(tmp_path):
    # Kept while the versions directory's stamp holds and was settled: a commit or gc moves it.
    root, settled = str(tmp_path), time.time() - 60
    directory = history.versions_dir(root)
    assert request.newest(root) is None and versions.version_ids(root) == []
    os.makedirs(directory)

    def change(add=(), remove=(), at=None):
        for name in add:
            open(os.path.join(directory, name + history.MANIFEST_SUFFIX), "w").close()
        for name in remove:
            os.remove(os.path.join(directory, name + history.MANIFEST_SUFFIX))
        if at is not None:
            os.utime(directory, (at, at))
        ids = versions.version_ids(root)
        assert request.newest(root) == (ids[-1] if ids else None)
        return ids

    a, b, c = "20250101T000000Z-a", "20250102T000000Z-b", "20250103T000000Z-c"
    assert change(add=[a], at=settled) == [a]
    assert change(add=[b], at=settled + 1) == [a, b]
    assert change(remove=[b], at=settled + 2) == [a]
    # A stamp taken within the settling time is never kept: a change in the same tick is seen.
    recent = time.time()
    assert change(add=[c], at=recent) == [a, c]
    assert change(remove=[c], at=recent) == [a]
    # What a caller does with the list it got is its own: the kept ids stay.
    change(at=settled + 3).append(b)
    assert versions.version_ids(root) == [a]
