"""The module surface of corvane.bundle: the outside objects it calls, the record
types and constants, and the six functions' parameters."""
import inspect
import itertools
import pickle
import reprlib
import subprocess
import sys

import click
import numpy as np
import pytest

import corvane.bundle as bundle

T = bundle.INSTRUMENT_TYPE


def test_bound_names_are_the_outside_objects():
    import lumenfeed
    from vesper.const import INSTRUMENT_TYPE
    from vesper.data.bundle import ProgressedProcessPoolExecutor
    from vesper.utils.datetime_func import convert_dt_to_int
    from vesper_mod_tollbay_data.data_sources import data_store

    assert bundle.repr is reprlib.repr  # the abbreviating one, not the builtin
    assert (bundle.click, bundle.lumenfeed) == (click, lumenfeed)
    assert bundle.INSTRUMENT_TYPE is INSTRUMENT_TYPE
    assert bundle.ProgressedProcessPoolExecutor is ProgressedProcessPoolExecutor
    assert bundle.convert_dt_to_int is convert_dt_to_int
    assert bundle.date_to_number is data_store.date_to_number
    assert bundle.time_to_number is data_store.time_to_number
    assert bundle.H5TicksLoader is data_store.H5TicksLoader


@pytest.mark.parametrize("name, fields, itemsize", [
    ("EQUITIES_DTYPE", [("datetime", "<i8", 0), ("open", "<f8", 8), ("high", "<f8", 16), ("low", "<f8", 24),
                        ("close", "<f8", 32), ("volume", "<f8", 40), ("total_turnover", "<f8", 48)], 56),
    ("DERIVATIVES_DTYPE", [("datetime", "<i8", 0), ("open", "<f8", 8), ("high", "<f8", 16), ("low", "<f8", 24),
                           ("close", "<f8", 32), ("open_interest", "<i8", 40), ("volume", "<f8", 48),
                           ("total_turnover", "<f8", 56)], 64),
    ("INDEX_DTYPE", [("date", "<i4", 0), ("line_no", "<u4", 4)], 8),
])
def test_record_types_are_packed_little_endian(name, fields, itemsize):
    dtype = getattr(bundle, name)
    assert [(field, dtype.fields[field][0].str, dtype.fields[field][1]) for field in dtype.names] == fields
    assert dtype.itemsize == itemsize
    assert np.zeros(3, dtype).nbytes == 3 * itemsize


def test_tag_map_keys_and_types():
    assert list(bundle.TAG_MAP) == ["stock", "futures", "fund", "index", "option", "convertible"]
    assert "all" not in bundle.TAG_MAP
    assert list(itertools.chain(*bundle.TAG_MAP.values())) == [
        T.CS, T.FUTURE, T.ETF, T.LOF, T.INDX, T.INDX, T.OPTION, T.CONVERTIBLE]
    assert all(type(types) is tuple for types in bundle.TAG_MAP.values())


def test_equity_like_types_and_date_bounds():
    assert bundle.EQUITIES_INS_TYPE == [T.CS, T.ETF, T.LOF, T.INDX, T.CONVERTIBLE]
    assert T.FUTURE not in bundle.EQUITIES_INS_TYPE and T.OPTION not in bundle.EQUITIES_INS_TYPE
    assert (bundle.MIN_START_DATE, bundle.MAX_END_DATE) == (20050104, 29991231)


APPENDER_PARAMS = [("order_book_id", inspect.Parameter.empty), ("path", inspect.Parameter.empty),
                   ("file_name", None), ("min_start_date", 20050104), ("max_end_date", 29991231)]
DRIVER_PARAMS = [(name, inspect.Parameter.empty) for name in ("path", "tags", "with_derivatives", "concurrency")]


@pytest.mark.parametrize("name, params", [
    ("_merge_tags", [("tags", inspect.Parameter.empty), ("with_derivatives", inspect.Parameter.empty)]),
    ("_append_h5", APPENDER_PARAMS),
    ("_append_h5_tick", APPENDER_PARAMS),
    ("init_lumenfeed_with_warnings_catch", []),
    ("update_minbar", DRIVER_PARAMS),
    ("update_tick", DRIVER_PARAMS),
])
def test_function_surface(name, params):
    function = getattr(bundle, name)
    signature = inspect.signature(function)
    assert [(p.name, p.default) for p in signature.parameters.values()] == params
    assert {p.kind for p in signature.parameters.values()} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.annotation is inspect.Parameter.empty for p in signature.parameters.values())
    assert function.__doc__ == ("更新tick级h5文件" if name == "_append_h5_tick" else None)
    # The pool ships these to its workers by reference.
    assert function.__module__ == "corvane.bundle"
    assert pickle.loads(pickle.dumps(function)) is function


@pytest.fixture
def stores(monkeypatch):
    """Rebinds the minute-bar and tick stores to recorders of their calls."""
    from corvane.updater import minbar
    from corvane.updater import tick

    calls = []
    monkeypatch.setattr(minbar, "append_h5", lambda *args: calls.append(("minbar",) + args))
    monkeypatch.setattr(tick, "append_h5_tick", lambda *args: calls.append(("tick",) + args))
    return calls


def test_jobs_pass_defaults_fixed_at_load_and_current_services(stores, monkeypatch):
    monkeypatch.setattr(bundle, "MIN_START_DATE", 1)
    monkeypatch.setattr(bundle, "MAX_END_DATE", 2)
    client = object()
    monkeypatch.setattr(bundle, "lumenfeed", client)

    bundle._append_h5("ST001", "/b")
    bundle._append_h5_tick("ST001", "/t", "x.h5", 20200101)
    (minbar_call, tick_call) = stores
    assert minbar_call[0] == "minbar" and minbar_call[2:] == ("ST001", "/b", None, 20050104, 29991231)
    assert tick_call[0] == "tick" and tick_call[2:] == ("ST001", "/t", "x.h5", 20200101, 29991231)
    for services in (minbar_call[1], tick_call[1]):
        assert services.client is client
        assert services.instrument_type is bundle.INSTRUMENT_TYPE
        assert services.ticks_loader is bundle.H5TicksLoader
        assert services.echo == bundle.click.echo
        assert services.equities_types is bundle.EQUITIES_INS_TYPE
    # The store writes the record types the module shows: the file format's.
    from corvane import formats
    assert (bundle.EQUITIES_DTYPE, bundle.DERIVATIVES_DTYPE, bundle.INDEX_DTYPE) == (
        formats.EQUITIES_DTYPE, formats.DERIVATIVES_DTYPE, formats.INDEX_DTYPE)


@pytest.mark.parametrize("name, args, kwargs", [
    ("update_minbar", ("p", ["stock"], False), {}),
    ("update_tick", ("p", ["stock"], False, 2, 3), {}),
    ("update_minbar", ("p", ["stock"], False), {"concurrency": 2, "workers": 2}),
    ("_merge_tags", (["stock"],), {"tags": ["stock"], "with_derivatives": False}),
    ("_append_h5", ("ST001",), {}),
    ("_append_h5_tick", ("ST001", "p", None, 1, 2, 3), {}),
    ("_append_h5", ("ST001", "p"), {"file": "x"}),
    ("init_lumenfeed_with_warnings_catch", (1,), {}),
])
def test_argument_errors_come_before_the_body(client, recorder, stores, name, args, kwargs):
    with pytest.raises(TypeError, match=name):
        getattr(bundle, name)(*args, **kwargs)
    assert client.calls == [] and recorder.events == [] and stores == []


OUTSIDE_MODULES = ["click", "h5py", "numpy", "lumenfeed", "vesper.const", "vesper.data.bundle",
                   "vesper.utils.datetime_func", "vesper_mod_tollbay_data.data_sources.data_store"]


@pytest.mark.parametrize("missing", OUTSIDE_MODULES)
def test_loading_fails_with_import_error_when_an_outside_module_is_missing(missing):
    # A None entry in sys.modules makes importing that module fail.
    script = (
        "import sys\n"
        "sys.modules[{!r}] = None\n"
        "try:\n"
        "    import corvane.bundle\n"
        "except ImportError as exc:\n"
        "    print({!r} in str(exc), 'corvane.bundle' in sys.modules)\n"
    ).format(missing, missing)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "True False", result.stderr


def test_loading_calls_no_service_and_touches_no_file(tmp_path):
    # Every attribute access on the client at load would be recorded.
    script = (
        "import sys, types\n"
        "import lumenfeed\n"
        "used = []\n"
        "class Watch(types.ModuleType):\n"
        "    def __getattribute__(self, name):\n"
        "        if not name.startswith('__'):\n"
        "            used.append(name)\n"
        "        return types.ModuleType.__getattribute__(self, name)\n"
        "lumenfeed.__class__ = Watch\n"
        "import corvane.bundle\n"
        "print(used)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            cwd=tmp_path)
    assert result.stdout.strip() == "[]", result.stderr
    assert list(tmp_path.iterdir()) == []
