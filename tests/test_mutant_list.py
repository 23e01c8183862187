"""tools/mutants.toml follows the code: every mutant still applies, and its tests exist.

A refactor that moves a mutant's text makes it stale, and `make mutants`
then no longer checks what it was written for; this says so at once,
without building or running a mutant.
"""
import importlib.util
import os
import shlex

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _tool():
    spec = importlib.util.spec_from_file_location("mutants_tool", os.path.join(ROOT, "tools", "mutants.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


TOOL = _tool()
MUTANTS = TOOL.load(os.path.join(ROOT, "tools", "mutants.toml"))


@pytest.mark.parametrize("mutant", MUTANTS, ids=[m["id"] for m in MUTANTS])
def test_each_mutant_applies_once_and_names_tests_that_exist(mutant):
    if "equivalent" not in mutant:
        assert TOOL.stale_reason(mutant, ROOT) is None
    for test in mutant["tests"]:
        kind, _, args = test.partition(": ")
        assert kind in ("pytest", "gtest"), test
        if kind == "pytest":
            paths = [arg.split("::")[0] for arg in shlex.split(args) if arg.startswith("tests/")]
            assert paths and all(os.path.exists(os.path.join(ROOT, path)) for path in paths), test


def test_a_moved_text_is_stale(tmp_path):
    (tmp_path / "code.py").write_text("x = 1\nx = 1\n")
    assert "2 times" in TOOL.stale_reason({"file": "code.py", "find": "x = 1"}, str(tmp_path))
    assert "gone" in TOOL.stale_reason({"file": "other.py", "find": "x"}, str(tmp_path))
    assert TOOL.stale_reason({"file": "code.py", "find": "x = 1\nx"}, str(tmp_path)) is None
