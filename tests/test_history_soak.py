"""A short history soak: two updates revising at once beside gc, tag, log, verify and readers.

bench/history_soak.py runs long ones; here a few rounds, real `corvane`
processes throughout, and every version any run committed must read back
as it did right after its commit.
"""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import history_soak as soak  # noqa: E402

@pytest.mark.slow
def test_every_version_reads_back_as_right_after_its_commit_while_runs_revise_at_once(tmp_path):
    args = soak.parse_args(["--rounds", "4", "--timeout", "60", "--malformed-tags", "--repairers", "0"])
    result = soak.soak(args, str(tmp_path), echo=lambda line: None)
    report = soak.table(result) + "\n" + "\n".join(result["faults"])
    assert not soak.failed(result), report
    # The rounds did what they are for: revisions landed, and versions were checked.
    every = sum((outcomes["exact"] for outcomes in result["rows"].values()))
    assert result["totals"]["days revised"] > 0 and every >= 4 * 2, report


def _read(files):
    return {"files": {file: {"rows": 1, "digest": digest, "disagrees": None} for file, digest in files.items()}}


COLLECTED = {"files": {"a.h5": {"error": "Collected: " + soak.COLLECTED, "collected": True}}}
VANISHED = {"files": {"a.h5": {"error": "VersionError: s/000001.h5: not a superseded segment ([Errno 2] "
                                        "No such file or directory)", "collected": False}}}


@pytest.mark.parametrize("reads, protected, outcome", [
    ([_read({"a.h5": "1"}), _read({"a.h5": "1"})], False, "exact"),
    ([_read({"a.h5": "1"}), _read({"a.h5": "2"})], False, "mismatched"),
    ([_read({"a.h5": "1"}), _read({"a.h5": "1", "b.h5": "3"})], False, "mismatched"),
    ([_read({"a.h5": "1"}), {"missing": True}], False, "lost"),
    ([_read({"a.h5": "1"}), {"error": "OSError: gone"}], False, "unreadable"),
    ([_read({"a.h5": "1"}), COLLECTED], False, "collected"),
    ([_read({"a.h5": "1"}), COLLECTED], True, "unreadable"),           # a tagged version gc must keep
    ([None, _read({"a.h5": "1"})], False, "exact"),                     # a hung read is counted with the hangs
    ([_read({"a.h5": "1"}), VANISHED, COLLECTED], False, "collected"),  # a read racing gc, then collected
    ([_read({"a.h5": "1"}), VANISHED], False, "unreadable"),            # a segment gone, never collected
    ([_read({"a.h5": "1"}), VANISHED, COLLECTED], True, "unreadable"),
    ([{"files": {"a.h5": {"rows": 1, "digest": "1", "disagrees": "1 rows read, the manifest recorded 2"}}}],
     False, "mismatched"),
])
def test_the_soak_judges_each_read_against_the_first(reads, protected, outcome):
    ledger = soak.Ledger()
    version = ledger.add("20261210T000000.000000Z-abcdef", "minbar", "root", "test")
    for number, found in enumerate(reads):
        version.protected = protected and number > 0
        ledger.judge(version, found, "read {}".format(number))
    assert ledger.outcome(version) == outcome
