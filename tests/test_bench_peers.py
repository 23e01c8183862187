"""bench/peers.py: its check that every store read the same bars, its turns, and a run at its tiniest
(every row of its table, a ratio per peer, a missing peer named and the others run).

The run stops (exit status) when a peer's read holds other bars than
corvane's, so a run that ends well has also compared every read.
"""
import importlib.metadata
import os
import re
import subprocess
import sys

import pandas as pd
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TINY = ["--years", "1", "--instruments", "2", "--repeat", "1", "--market", "0.005"]
TIMES = re.compile(r"^\d+\.\d{3} / \d+\.\d{3}$")
RATIOS = re.compile(r"^\d+\.\d\dx / \d+\.\d\dx$")
ROWS = ["first fill, 1 year of one stock", "first fill, 2 instruments x 1 year",
        "daily append, 2 instruments (Parquet rewrites the file)",
        "daily append, 2 instruments (Parquet writes a file a day)", "read a year of one stock",
        "read 1 year of one stock", "read 2 instruments x 1 year", "read 2 instruments as of the fill's version"]

sys.path.insert(0, os.path.join(ROOT, "bench"))

import peers  # noqa: E402


def installed(name):
    """Whether the distribution `name` is installed; not imported, so no test process starts its threads."""
    try:
        importlib.metadata.distribution(name)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


needs_peers = pytest.mark.skipif(
    not (installed("arcticdb") and installed("pyarrow")),
    reason="the peers are not installed: .venv/bin/pip install --no-deps -r bench/requirements-peers.txt")


def bars(closes, start="2026-12-07 09:31"):
    return pd.DataFrame({"close": closes}, index=pd.date_range(start, periods=len(closes), freq="min"))


@pytest.mark.parametrize("theirs", [
    bars([1.0, 2.0]),                                   # a bar missing
    bars([1.0, 2.0, 3.5]),                              # a close changed
    bars([1.0, 2.0, 3.0], start="2026-12-07 09:32"),    # the times shifted
], ids=["missing bar", "close", "times"])
def test_a_peer_read_holding_other_bars_stops_the_run(theirs):
    mine = bars([1.0, 2.0, 3.0])
    peers.same_bars(mine, bars([1.0, 2.0, 3.0]), "same")
    peers.same_bars({"A": mine}, {"A": bars([1.0, 2.0, 3.0])}, "same")
    with pytest.raises(SystemExit, match="year read by X differs"):
        peers.same_bars(mine, theirs, "year read by X")
    with pytest.raises(SystemExit, match="many read by X differs"):
        peers.same_bars({"A": mine, "B": mine}, {"A": mine, "B": theirs}, "many read by X")


def test_the_stores_take_turns_and_their_setups_run_before_each_job():
    seen = []

    def side(name):
        def setup():
            seen.append("setup " + name)
            return lambda: seen.append(name) or name
        return setup

    figures = peers.alternate({name: side(name) for name in "abc"}, 3)
    jobs = [step for step in seen if not step.startswith("setup")]
    assert jobs == list("abc" "bca" "cab")
    assert all(seen[2 * k] == "setup " + seen[2 * k + 1] for k in range(9))
    assert {name: figure[2] for name, figure in figures.items()} == {"a": "a", "b": "b", "c": "c"}


def run_peers(tmp_path, blocked=None):
    """peers.py's output; `blocked`: a module made to fail its import, as when it is not installed."""
    env = dict(os.environ)
    if blocked:
        shadow = tmp_path / "shadow" / blocked
        shadow.mkdir(parents=True)
        (shadow / "__init__.py").write_text("raise ImportError('no {} here')\n".format(blocked))
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(shadow.parent), env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "peers.py"), *TINY,
                           "--dir", str(tmp_path / "stores")], capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]
    return done.stdout


def table(output):
    """{row label: its cells}, and the header's cells."""
    lines = [line for line in output.splitlines() if line.startswith("| ")]
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines]
    return rows[0], {row[0].replace(" (wall / CPU s)", ""): row[1:] for row in rows[1:]}


@pytest.mark.slow
@needs_peers
@pytest.mark.parametrize("blocked, names", [(None, ["ArcticDB", "Parquet"]), ("arcticdb", ["Parquet"])])
def test_every_row_has_each_store_and_a_ratio_per_peer(tmp_path, blocked, names):
    output = run_peers(tmp_path, blocked)
    header, rows = table(output)
    assert header == ["", "corvane"] + names + [name + " / corvane" for name in names]
    assert list(rows) == ROWS + ["bytes on disk"]
    for label, cells in rows.items():
        figures, ratios = cells[:1 + len(names)], cells[1 + len(names):]
        if label == "bytes on disk":
            assert all(re.fullmatch(r"\d+\.\d MB", cell) for cell in figures), cells
            assert all(re.fullmatch(r"\d+\.\d\dx", cell) for cell in ratios), cells
            continue
        for peer, figure, ratio in zip(["corvane"] + names, figures, [""] + ratios):
            if peer == "Parquet" and "as of" in label:
                assert (figure, ratio) == ("–", "–"), cells   # Parquet keeps no versions
            else:
                assert TIMES.match(figure), cells
                assert peer == "corvane" or RATIOS.match(ratio), cells
    if blocked:
        said = [line for line in output.splitlines() if line.startswith("ArcticDB: ")]
        assert len(said) == 1 and "pip install --no-deps -r bench/requirements-peers.txt" in said[0], output
        assert not (tmp_path / "stores" / "ArcticDB").exists()
