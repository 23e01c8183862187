"""The file formats are declared once, and an instrument's file is found one way."""
import ast
import importlib.util
import os
import pathlib

import pytest

from corvane import _engine, formats

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_record_types_are_the_engines_layouts_packed():
    for name, layout in _engine.layouts().items():
        dtype = getattr(formats, name)
        assert dtype.itemsize == layout["itemsize"] == sum(dtype[f].itemsize for f in dtype.names)
        assert [(f, dtype[f].str, dtype.fields[f][1]) for f in dtype.names] == [
            (f, code, offset) for f, code, offset in layout["fields"]]


@pytest.mark.parametrize("fields, itemsize", [
    ([("a", "<i4", 0), ("b", "<f8", 8)], 16),   # a gap after "a"
    ([("a", "<i4", 0), ("b", "<i4", 4)], 12),   # trailing padding
    ([("a", ">i4", 0), ("b", "<i4", 4)], 8),    # big-endian
])
def test_a_layout_that_is_not_packed_little_endian_is_refused(fields, itemsize):
    with pytest.raises(formats.FormatError, match="BAD"):
        formats._packed("BAD", {"fields": fields, "itemsize": itemsize})


def test_member_names_are_the_engines():
    assert formats.MINBAR_MEMBERS == tuple(_engine.minbar_members()) == (formats.DATA, formats.INDEX)


@pytest.mark.parametrize("sub_dir", formats.MINBAR_DIRECTORIES)
def test_locate_finds_a_minute_bar_file_in_its_sub_directory(tmp_path, sub_dir):
    (tmp_path / sub_dir).mkdir()
    (tmp_path / sub_dir / "S1.h5").write_bytes(b"")
    assert formats.locate(str(tmp_path), "S1", "minbar") == str(tmp_path / sub_dir / "S1.h5")
    assert formats.locate(str(tmp_path), "S2", "minbar") is None
    assert formats.locate(str(tmp_path), "S1", "tick") is None


def test_locate_counts_whatever_lies_at_the_files_name(tmp_path):
    (tmp_path / "S1.h5").mkdir()
    os.symlink(str(tmp_path / "gone"), str(tmp_path / "S2.h5"))
    assert formats.locate(str(tmp_path), "S1", "tick") == str(tmp_path / "S1.h5")
    assert formats.locate(str(tmp_path), "S2", "tick") == str(tmp_path / "S2.h5")


@pytest.mark.parametrize("order_book_id", ["..", "a/b", ""])
def test_locate_refuses_an_unsafe_identifier(tmp_path, order_book_id):
    with pytest.raises(ValueError, match="unsafe"):
        formats.locate(str(tmp_path), order_book_id, "tick")


def test_companion_names_are_the_engines(tmp_path):
    h5_file = str(tmp_path / "S1.h5")
    for kind, path in formats.companion_paths(h5_file).items():
        assert formats.owner_of(os.path.basename(path)) == "S1.h5", kind
    assert formats.lock_path(h5_file) == _engine.lock_path(h5_file)
    assert formats.owner_of(os.path.basename(formats.lock_path(h5_file))) is None


def _import_check():
    spec = importlib.util.spec_from_file_location("import_cycles", ROOT / "tools" / "import_cycles.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_import_check_sees_imports_in_functions_and_through_importlib():
    tree = ast.parse("import corvane.a\n"
                     "def f():\n    from corvane import b\n    from corvane.c import x\n"
                     "def g():\n    importlib.import_module('corvane.d')\n"
                     "import numpy\nfrom corvane import _engine\n")
    assert _import_check().imported(tree, {"a", "b", "c", "d", "e"}) == {"a", "b", "c", "d"}


def test_import_check_names_each_circle_and_passes_a_tree():
    check = _import_check()
    assert check.circles({"a": ["b"], "b": ["c"], "c": ["a"], "d": ["a"], "e": ["f"], "f": ["e"]}) \
        in ([["a", "b", "c"], ["e", "f"]], [["e", "f"], ["a", "b", "c"]])
    assert check.circles({"a": ["b", "c"], "b": ["c"], "c": []}) == []


def test_corvane_has_no_import_circle():
    check = _import_check()
    assert check.circles(check.graph()) == []


def _sizes_check():
    spec = importlib.util.spec_from_file_location("sizes", ROOT / "tools" / "sizes.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("body, over", [(58, []), (59, ["f"])])
def test_size_check_counts_a_function_from_def_to_its_last_line(tmp_path, body, over):
    path = tmp_path / "m.py"
    path.write_text('def f():\n    """Doc."""\n' + "    x = 1\n" * body)
    found = _sizes_check().over(path)
    assert [what.split()[0] for what, _, _ in found] == over
    assert all(span == body + 2 for _, span, _ in found)


def test_size_check_refuses_a_module_over_its_lines_and_passes_corvane(tmp_path):
    check = _sizes_check()
    path = tmp_path / "m.py"
    path.write_text("x = 1\n" * (check.MODULE_LINES + 1))
    assert check.over(path) == [("module", check.MODULE_LINES + 1, check.MODULE_LINES)]
    assert check.main() == 0


def test_day_names_are_real_dates_in_eight_ascii_digits():
    assert formats.day_number("20240229") == 20240229
    assert [formats.day_number(text) for text in ("20230229", "2024010", "２０２４０１０２", "latest")] == [None] * 4


@pytest.mark.parametrize("entry, owner", [
    (".S1.h5.journal", "S1.h5"),
    (".a (1).h5.tmp", "a (1).h5"),
    (".a.h5.b.h5.tmp", "a.h5.b.h5"),     # the owner's name may itself hold the suffix
    ("S1.h5", None),
    (".S1.h5.lock", None),               # the lock goes with its writer: no leftover
    (".S1.journal", None),               # no bundle file's companion
    ("", None),
])
def test_leftovers_are_named_by_the_engine(entry, owner):
    assert formats.owner_of(entry) == owner


def test_the_engine_tells_its_lock_state(tmp_path):
    import fcntl

    h5_file = str(tmp_path / "S1.h5")
    lock = formats.lock_path(h5_file)
    assert _engine.lock_state(h5_file) is None
    with open(lock, "w") as held:
        assert _engine.lock_state(h5_file) == "stale"
        fcntl.flock(held, fcntl.LOCK_EX)
        assert _engine.lock_state(h5_file) == "live"
    os.remove(lock)
    os.symlink(str(tmp_path / "elsewhere"), lock)
    assert _engine.lock_state(h5_file) == "foreign"


def test_public_modules_declare_what_is_public():
    import pkgutil

    import corvane

    for info in pkgutil.iter_modules(corvane.__path__):
        # The module surface is fixed name by name; the readers declare theirs themselves.
        if info.name.startswith("_") or info.name in ("bundle", "read", "plot"):
            continue
        try:
            module = importlib.import_module("corvane." + info.name)
        except ImportError:
            continue    # an extra that is not installed
        assert all(hasattr(module, name) for name in module.__all__), info.name
    assert isinstance(corvane.__version__, str) and corvane.__version__ != "unknown"
