"""The `corvane` command."""
import os
import subprocess
import sys

import h5py
import numpy as np
import pytest
from click.testing import CliRunner

import corvane.bundle as bundle
from corvane.cli import main


def invoke(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


def error_lines(result):
    return [line for line in result.stderr.splitlines() if line.startswith("Error:")]


@pytest.mark.parametrize("command", ["update-minbar", "update-tick"])
@pytest.mark.parametrize("args", [
    ["{file}", "stock"],              # PATH is a regular file
    ["{file}/sub", "stock"],          # PATH cannot be created below a file
    ["", "stock"],                    # empty PATH
    ["{dir}/new"],                    # no words
    ["{dir}/new", "stock", "--jobs", "0"],
    ["{dir}/new", "stock", "-j", "-3"],
    [],                               # no PATH
])
def test_bad_arguments_are_refused_before_any_work(client, recorder, tmp_path, command, args):
    (tmp_path / "plain").write_text("x")
    args = [a.format(file=tmp_path / "plain", dir=tmp_path) for a in args]
    result = invoke(command, *args)
    assert result.exit_code == 2
    (line,) = error_lines(result)
    assert line.startswith("Error: ") and len(line) > len("Error: ")
    assert client.calls == [] and recorder.events == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain"]


@pytest.mark.parametrize("args, needle", [
    (["--help"], "update-minbar"),
    (["update-minbar", "--help"], "corvane update-minbar ./bundle/minbar stock index"),
    (["update-tick", "--help"], "corvane update-tick ./bundle/tick"),
])
def test_help_explains_with_an_example(args, needle):
    result = invoke(*args)
    assert result.exit_code == 0
    assert needle in result.output
    if len(args) == 2:
        assert "underlying symbol" in result.output and "--with-derivatives" in result.output


class InlinePool:
    """Runs each job at once, in this process, like a pool of one."""

    def __init__(self, max_workers, initializer):
        self.max_workers = max_workers

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def submit(self, fn, *args):
        fn(*args)


class ThreeBarStore:
    """Writes three bars to a new file and nothing to an existing one."""

    def append_h5(self, services, order_book_id, path, *rest):
        os.makedirs(os.path.join(path, "equities"), exist_ok=True)
        name = os.path.join(path, "equities", order_book_id + ".h5")
        if not os.path.exists(name):
            with h5py.File(name, "w") as h5:
                h5["data"] = np.zeros(3, bundle.EQUITIES_DTYPE)
                h5["index"] = np.zeros(1, bundle.INDEX_DTYPE)


def test_command_readies_the_client_runs_the_driver_and_sums_up(client, monkeypatch, tmp_path):
    pools = []
    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor",
                        lambda **kw: pools.append(InlinePool(**kw)) or pools[-1])
    monkeypatch.setattr(bundle, "minbar", ThreeBarStore())
    path = tmp_path / "minbar"

    first = invoke("update-minbar", path, "ST001", "WV.2601", "-j", "3")
    assert first.exit_code == 0, first.output
    # The client is readied here before the listings are read.
    assert [call[0] for call in client.calls] == ["init"] + ["all_instruments"] * 3
    assert pools[0].max_workers == 3
    assert first.stdout.splitlines() == [
        "开始更新 2 只标的的分钟线数据：{'ST001', 'WV.2601'}",
        "corvane: 2 .h5 files under {} (2 new, 2 with new rows, 6 rows added)".format(path),
    ]

    again = invoke("update-minbar", path, "ST001", "WV.2601", "--with-derivatives")
    assert again.exit_code == 0, again.output
    assert pools[1].max_workers == os.cpu_count()
    # The derivatives of ST001 are new files; the two old ones are unchanged.
    assert again.stdout.splitlines()[-1] == (
        "corvane: 5 .h5 files under {} (3 new, 3 with new rows, 9 rows added)".format(path))
