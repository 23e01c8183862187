"""A PATH that cannot be written is refused before any work, also for root.

The suite runs as root, for whom permission bits do not count; a read-only
bind mount refuses writes to everyone.
"""
import subprocess

import pytest
from click.testing import CliRunner

from corvane.cli import main


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True)


@pytest.fixture
def read_only(tmp_path):
    """A directory (holding the directory "kept") on a read-only bind mount."""
    target = tmp_path / "ro"
    (target / "kept").mkdir(parents=True)
    try:
        bound = run("mount", "--bind", str(target), str(target))
    except OSError as error:
        pytest.skip("cannot mount here: {}".format(error))
    if bound.returncode != 0:
        pytest.skip("cannot bind-mount here: {}".format(bound.stderr.strip()))
    try:
        remounted = run("mount", "-o", "remount,ro,bind", str(target))
        if remounted.returncode != 0:
            pytest.skip("cannot remount read-only here: {}".format(remounted.stderr.strip()))
        yield target
    finally:
        run("umount", str(target))


@pytest.mark.parametrize("command", ["update-minbar", "update-tick"])
@pytest.mark.parametrize("below, says", [
    ("", "is not writable"),
    ("kept", "is not writable"),
    ("new/deeper", "cannot create"),
])
def test_unwritable_path_is_refused_before_any_work(client, recorder, read_only, command, below, says):
    path = read_only / below if below else read_only
    result = CliRunner().invoke(main, [command, str(path), "stock"])
    assert result.exit_code == 2, result.output
    (line,) = result.stderr.splitlines()
    assert line.startswith("Error: ") and says in line and str(read_only) in line
    assert client.calls == [] and recorder.events == []
