"""A short operator month: three nightly runs of a handful of demo instruments, one thing done on purpose.

bench/operator_month.py runs the whole month; here each deliberate fault on
day 2 must show as the operator would see it, and day 3 must converge.
"""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import operator_month as om  # noqa: E402

WORDS = ["10001.HBX", "10002.HBX", "10003.HBX", "11001.HBX", "11002.HBX"]
OFF = {"fault": "0", "stale": "0", "short": "0", "kill": "0"}


def _month(tmp_path, purpose):
    days = dict(OFF, **{purpose: "2"})
    argv = ["--days", "3", "--market", "demo", "--start", "20261201", "--since", "20261120", "--words"] + WORDS
    for what, day in days.items():
        argv += ["--{}-day".format(what), day]
    return om.month(om.parse_args(argv), str(tmp_path), echo=lambda line: None)


@pytest.mark.slow
@pytest.mark.parametrize("purpose, status, flag, victim", [
    ("fault", 0, None, None),                  # status does not look at quality: the report does
    ("stale", 1, "stale", "10003.HBX"),
    ("short", 1, "short", "11001.HBX"),
])
def test_each_fault_on_purpose_shows_and_the_next_night_converges(tmp_path, purpose, status, flag, victim):
    rows, killed, faults, sizes = _month(tmp_path, purpose)
    shown = om.table(rows) + "\n" + "\n".join(faults)
    assert not faults and killed is None, shown
    day = rows[1]
    assert (day["update"], day["status"], day["client"]) == (0, status, status), shown
    if flag:
        assert day["flags"][flag] == [victim] == day["client_flags"][flag], shown
    else:
        assert "high-low 10002.HBX" in om.findings(day["report"]), shown
    assert [rows[2][what] for what in ("update", "status", "client")] == [0, 0, 0], shown
    assert sizes["bundle"] > 0 and sizes[".corvane"] > 0


@pytest.mark.slow
def test_a_run_killed_outright_leaves_its_report_running_and_the_next_night_converges(tmp_path, monkeypatch):
    # Every client call slow, so that the kill lands while the jobs still run.
    monkeypatch.setenv("LUMENFEED_LATENCY_MS", "300")
    rows, killed, faults, _ = _month(tmp_path, "kill")
    shown = om.table(rows) + "\n" + "\n".join(faults)
    assert not faults, shown
    assert rows[1]["update"] == -9 and "SIGKILL once running" in rows[1]["notes"][0], shown
    assert (killed["state"], killed["exit_status"], killed["finished"]) == ("running", None, None)
    assert [rows[2][what] for what in ("update", "status", "client")] == [0, 0, 0], shown
    assert rows[2]["report"]["counts"]["failed"] == 0, shown
