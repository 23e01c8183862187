"""`corvane verify` of the log of versions: gc's removals, damaged history, and checks since the last."""
import fcntl
import json
import os

import h5py
import numpy as np
import pytest
from click.testing import CliRunner

from corvane import _engine
from corvane.history import asof
from corvane.history import layout as history
from corvane import read
from corvane.history import check as version_check
from corvane.history import keeping
from corvane.history import states
from corvane.history import versions
from corvane.cli import main
from corvane.errors import VersionError
from corvane.formats import DATA
import test_versions
from test_versions import FIRST, LATER, STOCK, STOCK_FILE, changed, commit_now, revise_last_days

# The fixtures of the log's own tests: an update of the demo client, run inline.
inline, market = test_versions.inline, test_versions.market


def verify(root, *args):
    return CliRunner().invoke(main, ["verify", str(root), *args])


def revised_three_times(market, root):
    """A stock file with three versions, each revision after the first cutting a segment."""
    market(root, FIRST)
    for days_back in (1, 2):
        revise_last_days(root, days_back)
        commit_now(str(root), "minbar", [STOCK_FILE])
    return versions.version_ids(root)


def superseded(root, name=""):
    return os.path.join(history.superseded_dir(str(root), STOCK_FILE), name)


# ---------------------------------------------------------------- what gc removed by design

@pytest.mark.parametrize("args", [[], ["--all-versions"]])
def test_verify_after_gc_notes_what_was_collected_and_exits_0(market, tmp_path, args):
    first, _, third = revised_three_times(market, tmp_path)
    assert keeping.gc(str(tmp_path), 1, now=keeping.committed_at(third) + 10 * 86400)
    with pytest.raises(asof.Collected, match="removed by `corvane gc`"):
        read.bars(tmp_path, STOCK, as_of=first)
    result = verify(tmp_path, "--all-versions")
    assert result.exit_code == 0, result.output
    assert "note: {}: 1 entr(y/ies) of older versions not checked".format(tmp_path) in result.output
    # Checked again (from the record, or in full): still nothing found.
    result = verify(tmp_path, *args)
    assert result.exit_code == 0 and result.output.splitlines()[-1].endswith("0 finding(s) in 0 file(s)")


# ---------------------------------------------------------------- damaged manifests

def damage_line(text, number, how):
    lines = text.split(b"\n")
    entry = json.loads(lines[number])
    if how == "not JSON":
        lines[number] = lines[number][:-5] + b"}}}x"
    elif how == "missing field":
        del entry["data_tail"]
        lines[number] = json.dumps(entry, separators=(",", ":")).encode()
    elif how == "wrong type":
        entry["data_rows"] = "many"
        lines[number] = json.dumps(entry, separators=(",", ":")).encode()
    return b"\n".join(lines)


@pytest.mark.parametrize("how, says", [
    ("not JSON", "line 2 is not JSON"),
    ("missing field", 'line 2 (equities/10003.HBX.h5): "data_tail" or "index_tail" is not a digest'),
    ("wrong type", '"data_rows" or "index_rows" is not a count'),
    ("cut short", "line 2 is cut short"),
    ("line lost", "0 file(s) where its run counted 1"),
])
def test_a_damaged_manifest_is_one_finding_naming_it_and_the_rest_is_checked(market, tmp_path, how, says):
    market(tmp_path, FIRST)
    market(tmp_path, LATER, words=("HXI2501.QFX",))
    first, later = versions.version_ids(tmp_path)
    manifest = history.manifest_path(str(tmp_path), first)
    with open(manifest, "rb") as text:
        held = text.read()
    if how == "cut short":
        held = held[:-7]
    elif how == "line lost":
        held = held.split(b"\n")[0] + b"\n"
    else:
        held = damage_line(held, 1, how)
    with open(manifest, "wb") as text:
        text.write(held)
    future = os.path.join(tmp_path, "future", "HXI2501.QFX.h5")
    with _engine.File(future) as h5:
        h5.shrink(DATA, h5.length(DATA) - 1)        # and a file of the other version changed outside
    result = verify(tmp_path, "--json")
    assert result.exit_code == 1
    found = {(finding["file"], finding["check"], finding["where"]) for finding in json.loads(result.output)["findings"]}
    assert found == {(manifest, "manifest", first), (future, "version", later)}
    (detail,) = [f["detail"] for f in json.loads(result.output)["findings"] if f["check"] == "manifest"]
    assert detail.startswith(manifest + ": damaged manifest") and says in detail
    if how != "line lost":
        with pytest.raises(VersionError, match=says.replace("(", r"\(").replace(")", r"\)")):
            read.bars(tmp_path, STOCK, as_of=first)
    with pytest.raises(VersionError, match="damaged manifest"):
        versions.read_entries(tmp_path, first)
    # Found again the next time: a damaged manifest is never taken for a sound one.
    again = json.loads(verify(tmp_path, "--json").output)["findings"]
    assert (manifest, "manifest") in {(finding["file"], finding["check"]) for finding in again}


def test_a_damaged_run_line_names_the_manifest_in_the_log(market, tmp_path):
    market(tmp_path, FIRST)
    (first,) = versions.version_ids(tmp_path)
    manifest = history.manifest_path(str(tmp_path), first)
    with open(manifest, "r+b") as text:
        text.write(b"[")
    with pytest.raises(VersionError, match="damaged manifest: line 1"):
        versions.log(tmp_path)


# ---------------------------------------------------------------- what lies among a file's segments

def test_junk_among_the_segments_is_named_and_the_newest_version_reads(market, tmp_path):
    first, second, third = revised_three_times(market, tmp_path)
    with open(superseded(tmp_path, "000009.h5"), "w") as junk:
        junk.write("not a segment")
    with open(superseded(tmp_path, "notes.txt"), "w") as foreign:
        foreign.write("mine")
    assert read.bars(tmp_path, STOCK, as_of=third).equals(read.bars(tmp_path, STOCK))
    assert len(read.bars(tmp_path, STOCK, as_of=first)) > 0
    result = verify(tmp_path, "--json", "--all-versions")
    found = {(os.path.basename(f["file"]), f["check"]): f["detail"] for f in json.loads(result.output)["findings"]}
    assert set(found) == {("000009.h5", "segment"), ("notes.txt", "segment")}
    assert found[("000009.h5", "segment")].startswith("not a superseded segment")
    assert found[("notes.txt", "segment")].startswith("a foreign file among the superseded segments")


def test_what_a_killed_revision_left_beside_its_segment_is_a_leftover_repair_settles(market, tmp_path):
    revised_three_times(market, tmp_path)
    lock = _engine.companions(superseded(tmp_path, "000003.h5"))["lock"]
    open(lock, "w").close()
    held = os.open(lock, os.O_RDONLY)
    try:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert verify(tmp_path).exit_code == 0      # a revision at work now
    finally:
        os.close(held)
    result = verify(tmp_path, "--json")
    found = [(f["file"], f["check"]) for f in json.loads(result.output)["findings"]]
    assert result.exit_code == 1 and found == [(lock, "leftover")]
    assert verify(tmp_path, "--repair").exit_code == 0
    assert not os.path.exists(lock) and verify(tmp_path).exit_code == 0


def test_a_read_that_gc_overtakes_between_listing_and_opening_a_segment_is_told_collected(
        market, tmp_path, monkeypatch):
    first, _, _ = revised_three_times(market, tmp_path)
    listed = history.segments

    def then_gc(root, file):
        found = listed(root, file)
        monkeypatch.setattr(history, "segments", listed)
        assert keeping.gc(root, 0)
        return found
    monkeypatch.setattr(history, "segments", then_gc)
    with pytest.raises(asof.Collected):
        read.bars(tmp_path, STOCK, as_of=first)


def test_a_missing_segment_is_told_from_one_gc_removed(market, tmp_path):
    first, second, third = revised_three_times(market, tmp_path)
    os.remove(superseded(tmp_path, "000001.h5"))
    with pytest.raises(VersionError, match="needs superseded segment .*000001.h5, which is missing") as raised:
        read.bars(tmp_path, STOCK, as_of=first)
    assert not isinstance(raised.value, asof.Collected)
    assert read.bars(tmp_path, STOCK, as_of=second).equals(read.bars(tmp_path, STOCK, as_of=second))
    result = verify(tmp_path, "--json", "--all-versions")
    found = [(os.path.basename(f["file"]), f["check"], f["where"]) for f in json.loads(result.output)["findings"]]
    assert sorted(found) == [("000001.h5", "segment", ""), ("10003.HBX.h5", "version", first)]


def no_cuts_nor_days(h5):
    h5["prices"] = np.arange(3)


def days_where_bars_were_cut(h5):
    h5["20261203"] = np.arange(3)


def a_negative_cut(h5):
    h5[DATA], h5["index"] = np.arange(3), np.arange(3)
    h5.attrs["cut_data_row"], h5.attrs["cut_index_row"] = -1, 0


@pytest.mark.parametrize("make, why", [
    (no_cuts_nor_days, "it has neither the cut attributes"),
    (days_where_bars_were_cut, 'it holds no "data"'),
    (a_negative_cut, "'cut_data_row' is negative"),
], ids=["no-cuts-nor-days", "tick-days", "negative-cut"])
def test_a_foreign_hdf5_file_where_a_needed_segment_lies_is_refused_in_one_line(market, tmp_path, make, why):
    first, second, _ = revised_three_times(market, tmp_path)
    path = superseded(tmp_path, "000001.h5")
    os.remove(path)
    with h5py.File(path, "w") as h5:
        make(h5)
    with pytest.raises(VersionError) as raised:
        read.bars(tmp_path, STOCK, as_of=first)
    said = str(raised.value)
    assert said.startswith("{}: not a superseded segment (".format(path)) and why in said, said
    assert said.endswith("); a foreign or damaged file where corvane keeps what revisions replaced")
    assert "\n" not in said and said.count(path) == 1
    assert len(read.bars(tmp_path, STOCK, as_of=second)) > 0     # needs no segment 1


@pytest.mark.parametrize("where", ["segment", "collected"])
def test_a_needed_segment_or_gcs_record_holding_junk_is_named(market, tmp_path, where):
    first, _, _ = revised_three_times(market, tmp_path)
    path = superseded(tmp_path, "000001.h5" if where == "segment" else states.COLLECTED)
    with open(path, "w") as junk:
        junk.write("junk")
    says = "not a superseded segment" if where == "segment" else "gc's record of what it removed holds 'junk'"
    with pytest.raises(VersionError, match=says) as raised:
        read.bars(tmp_path, STOCK, as_of=first)
    assert path in str(raised.value)
    result = verify(tmp_path, "--all-versions")
    assert result.exit_code == 1 and "{}: segment: {}".format(path, "") in result.output


# ---------------------------------------------------------------- checks since the last

def test_a_second_verify_opens_only_what_changed_and_still_finds_a_file_changed_outside(market, tmp_path):
    market(tmp_path, FIRST, words=(STOCK, "HXI2501.QFX"))
    market(tmp_path, LATER)
    full = version_check.check_versions(str(tmp_path), all_versions=True)
    assert (full.findings, full.opened) == ([], 3)
    assert version_check.check_versions(str(tmp_path)).opened == 0
    market(tmp_path, "20240809")
    assert version_check.check_versions(str(tmp_path)).opened == 1
    # Changed outside corvane, its modification time set back: still found, and found again.
    h5_file = os.path.join(tmp_path, STOCK_FILE)
    held = os.stat(h5_file)
    with _engine.File(h5_file) as h5:
        rows = h5.length(DATA)
        last = h5.read(DATA, rows - 1, rows)
        h5.shrink(DATA, rows - 1)
        h5.append(DATA, changed(last, "volume"))
    os.utime(h5_file, ns=(held.st_atime_ns, held.st_mtime_ns))
    for _ in range(2):
        check = version_check.check_versions(str(tmp_path))
        assert [(finding[0], finding[1]) for finding in check.findings] == [(h5_file, "version")]
        assert "the last row of \"data\" differs" in check.findings[0][3]


def test_the_first_check_opens_each_files_newest_entry_and_a_record_of_junk_is_none(market, tmp_path):
    market(tmp_path, FIRST, words=(STOCK, "HXI2501.QFX"))
    market(tmp_path, LATER)
    record = history.verified_path(str(tmp_path))
    assert version_check.check_versions(str(tmp_path)).opened == 2
    with open(record) as text:
        assert json.load(text)["version"] == versions.version_ids(tmp_path)[-1]
    assert version_check.check_versions(str(tmp_path)).opened == 0
    with open(record, "w") as text:
        text.write("{junk")
    assert version_check.check_versions(str(tmp_path)).opened == 2


def test_verify_all_versions_is_documented_in_its_help():
    help_text = CliRunner().invoke(main, ["verify", "--help"]).output
    assert "--all-versions" in help_text and "corvane verify ./bundle/minbar --all-versions" in help_text


def test_a_file_where_the_segments_go_is_named_by_a_read_and_by_verify(market, tmp_path):
    market(tmp_path, FIRST)
    path = history.superseded_dir(str(tmp_path), STOCK_FILE)
    os.makedirs(os.path.dirname(path))
    with open(path, "w") as junk:
        junk.write("junk")
    with pytest.raises(VersionError, match="not a directory, where the superseded segments"):
        read.bars(tmp_path, STOCK, as_of=versions.version_ids(tmp_path)[-1])
    assert verify(tmp_path).exit_code == 1
