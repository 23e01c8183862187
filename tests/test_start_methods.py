"""The operating guide's Python example, run as a script under each process start method.

Under spawn and forkserver a worker imports the main script afresh and
reaches corvane's jobs by reference, so this proves both the example's main
guard and that corvane's own modules need nothing a forked worker inherits.
"""
import multiprocessing
import os
import pathlib
import re
import subprocess
import sys

import h5py
import pytest

# Process-level: left out by `make test-fast`, run by `make test`.
pytestmark = pytest.mark.slow

GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "operating.md"

# Runs the script as the main module, the way `python example.py` would, after
# choosing the start method that every pool without its own context uses.
RUNNER = ("import multiprocessing, runpy, sys\n"
          "multiprocessing.set_start_method(sys.argv[1])\n"
          "runpy.run_path('example.py', run_name='__main__')\n")


def guide_example():
    blocks = re.findall(r"^```python\n(.*?)^```$", GUIDE.read_text(encoding="utf-8"), re.M | re.S)
    (block,) = [block for block in blocks if "bundle.update_tick" in block]
    return block


def rows(h5_file):
    with h5py.File(h5_file, "r") as h5:
        return {name: len(h5[name]) for name in h5}


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_the_guide_example_updates_the_bundle_under_start_method(tmp_path, method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip("{} is not available on this platform".format(method))
    (tmp_path / "example.py").write_text(guide_example(), encoding="utf-8")
    # An early as-of date keeps the demo market to a few weeks of history.
    env = dict(os.environ, LUMENFEED_ASOF="20050301", LUMENFEED_TICK_DAYS="2")
    run = subprocess.run([sys.executable, "-c", RUNNER, method], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "failed" not in run.stderr, run.stderr

    selected = int(re.search(r"开始更新 (\d+) 只标的的分钟线数据", run.stdout).group(1))
    minbar_files = sorted((tmp_path / "bundle" / "minbar").rglob("*.h5"))
    assert len(minbar_files) == selected > 1
    assert all(set(rows(f)) == {"data", "index"} and rows(f)["data"] > 0 for f in minbar_files)
    (tick_file,) = (tmp_path / "bundle" / "tick").iterdir()
    days = rows(tick_file)
    assert len(days) == 2 and all(ticks > 0 for ticks in days.values())
