"""The engine's file failures come as classes that say which they are, and runs decide on them."""
import numpy as np
import pytest

from corvane import _engine, errors
from corvane.updater import run
from corvane.updater import outcomes

RECORDS = np.zeros(3, dtype=[("a", "<i4")])


def _truncated_hdf5(path):
    import h5py
    with h5py.File(str(path), "w") as h5:
        h5.create_dataset("d", data=np.arange(100000), chunks=(1000,), maxshape=(None,),
                          compression="gzip")
    path.write_bytes(path.read_bytes()[:3000])


@pytest.mark.parametrize("make, expected", [
    (lambda p: p.write_bytes(b""), errors.NotBundleFileError),
    (lambda p: p.write_bytes(b"not an HDF5 file\n" * 100), errors.NotBundleFileError),
    (lambda p: p.mkdir(), errors.NotBundleFileError),
    (_truncated_hdf5, errors.DamagedFileError),
], ids=["empty", "text", "directory", "truncated"])
def test_a_file_that_cannot_be_a_bundle_file_says_which_and_is_not_retried(tmp_path, make, expected):
    path = tmp_path / "S1.h5"
    make(path)
    with pytest.raises(expected) as raised:
        _engine.File(str(path))
    assert isinstance(raised.value, errors.FileError) and isinstance(raised.value, OSError)
    assert str(path) in str(raised.value)
    assert not outcomes.healable(raised.value)


def test_a_second_writer_is_busy_and_retried(tmp_path):
    path = str(tmp_path / "S1.h5")
    with _engine.File(path) as first:
        first.create_dataset("x", RECORDS)
        with pytest.raises(errors.BusyError, match="another process") as raised:
            _engine.File(path)
    assert isinstance(raised.value, errors.FileError)
    assert outcomes.healable(raised.value)


@pytest.mark.parametrize("error, healable", [
    (errors.BusyError("busy"), True),
    (errors.IoError("read failed"), True),
    (errors.OutOfSpaceError("disk full"), True),
    (errors.FileError("cannot open"), True),
    (errors.NotBundleFileError("not HDF5"), False),
    (errors.DamagedFileError("truncated"), False),
    # Text alone decides nothing any more.
    (OSError("unable to open file 'x.h5' (not a regular file)"), True),
])
def test_retry_decisions_follow_the_class(error, healable):
    assert outcomes.healable(error) is healable


def test_an_injected_io_failure_is_an_io_error_whose_text_is_the_engines(tmp_path):
    path = str(tmp_path / "S1.h5")
    with _engine.File(path) as h5:
        h5.create_dataset("x", RECORDS)
    _engine._fail_once("sync.data")
    with pytest.raises(errors.IoError, match="injected failure at 'sync.data'") as raised:
        with _engine.File(path, durable=True) as h5:
            h5.append("x", RECORDS)
    # The errno goes into its attribute, never into the text callers match.
    assert not str(raised.value).startswith("[Errno")
    assert outcomes.healable(raised.value)


@pytest.mark.parametrize("error, name", [
    (errors.NotBundleFileError("x"), "NotBundleFileError"),
    (errors.OutOfSpaceError("y"), "OutOfSpaceError"),
    (errors.BusyError("z"), "BusyError"),
    (ValueError("v"), "ValueError"),
])
def test_reports_name_each_failure_by_its_precise_class(error, name):
    from corvane.updater.report import outcome_json

    outcome = outcomes.failed("S1", error, "", None, None, 1, 0.0)
    assert outcome.error_type == name
    assert outcome_json(outcome)["error"] == {"type": name, "message": str(error)}


def test_every_public_exception_lives_in_errors_and_old_homes_still_name_it():
    from corvane import formats
    from corvane import layout
    from corvane.updater import workers

    assert layout.BundleError is errors.BundleError
    assert run.NothingSelected is errors.NothingSelected
    assert workers.SetupRefused is run.SetupRefused is errors.SetupRefused
    assert formats.FormatError is errors.FormatError
    assert all(getattr(errors, name).__module__ in ("corvane.errors", "corvane._engine")
               for name in errors.__all__)


def test_an_engine_failure_gives_its_parts_and_the_outcome_its_brief_form(tmp_path):
    path = tmp_path / "a (1).h5"
    path.write_bytes(b"not an HDF5 file\n" * 100)
    with pytest.raises(errors.NotBundleFileError) as raised:
        _engine.File(str(path))
    error = raised.value
    assert error.context == "unable to open file '{}'".format(path)
    assert error.cause == "file signature not found" and error.consequence == ""
    # The text is unchanged: the context, then HDF5's chain down to the cause.
    assert str(error).startswith(error.context + " (") and str(error).endswith(": file signature not found)")
    outcome = outcomes.failed("S1", error, "", None, None, 1, 0.0)
    assert outcome.error_message == str(error)
    assert outcome.error_brief == "unable to open file '{}' (file signature not found)".format(path)


@pytest.mark.parametrize("point, context, consequence", [
    ("guarded.apply", "unable to write file '{}'", "this call's changes were undone"),
    ("guarded.committed", "unable to make file '{}' durable",
     "it is in place with this call's changes, but a power loss may undo them"),
], ids=["undone", "committed"])
def test_a_failed_write_gives_what_became_of_its_changes(tmp_path, point, context, consequence):
    path = str(tmp_path / "S1.h5")
    with _engine.File(path) as h5:
        h5.create_dataset("x", RECORDS)
    _engine._fail_once(point)
    with pytest.raises(errors.IoError) as raised:
        with _engine.File(path) as h5:
            h5.append("x", RECORDS)
    error = raised.value
    assert (error.context, error.cause, error.consequence) == (
        context.format(path), "injected failure at '{}'".format(point), consequence)
    assert str(error) == "{} ({}); {}".format(error.context, error.cause, consequence)
    assert run.brief(error) == str(error)


def test_an_engine_failure_of_a_builtin_class_gives_its_parts_too(tmp_path):
    with _engine.File(tmp_path / "x.h5") as h5:
        with pytest.raises(KeyError) as raised:
            h5.length("nope")
    assert "nope" in raised.value.context and raised.value.cause == ""
    assert run.brief(raised.value) == str(raised.value)
