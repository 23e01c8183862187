"""corvane's exceptions in one place (a few kinds of them beside what raises them),
for callers that decide on them.

What the user gave:

- BundleError: a path, identifier or day that names nothing in the bundle;
  - CoverageError: a strict read's range that its file does not hold whole,
  - VersionError: a version that names nothing (no such id, tag or time), or
    a file that no longer holds what the version recorded of it; raised as
    its kinds beside what finds them: a manifest that cannot be read
    (`corvane.history.versions.DamagedManifest`), what a version held that
    `corvane gc` removed (`corvane.history.asof.Collected`);
- NothingSelected: the selection words select no instrument at all;
- SetupRefused: an update cannot start where or how it was asked to.

What a run met:

- WorkerSetupError: a job was not run, its worker's initialiser had failed;
- JobTimeout: an attempt of a job ran past its timeout;
- FormatError: the engine's record layouts are not the bundle files' (at import).

The engine's file failures, each an OSError as they were before they had
classes of their own:

- FileError: a bundle file cannot be opened or created; more precisely
  - BusyError: another writer holds it; a later try may succeed,
  - NotBundleFileError: not a regular file, empty, or not HDF5,
  - DamagedFileError: an HDF5 file whose own structures cannot be read;
- IoError: reading or writing failed, `errno` saying why when known;
  - OutOfSpaceError: the disk, or the quota, is full (also raised, naming
    the file, for corvane's own writes that meet ENOSPC or EDQUOT).

Every failure the engine raises (these, and its KeyError, TypeError,
ValueError, OverflowError and RuntimeError) also gives the parts of its text:
`context` (what failed, with the file), `cause` (HDF5's innermost
description, "" when none) and `consequence` (what became of the call's
changes, "" when nothing is said).
"""
import contextlib
import errno
import os

from corvane._engine import (
    BusyError, DamagedFileError, FileError, IoError, NotBundleFileError, OutOfSpaceError)

__all__ = [
    "BundleError", "CoverageError", "VersionError", "NothingSelected", "SetupRefused", "WorkerSetupError", "JobTimeout", "FormatError",
    "FileError", "BusyError", "NotBundleFileError", "DamagedFileError", "IoError", "OutOfSpaceError",
    "out_of_space", "full_disk_named",
]

# The errno values that say the disk, or the user's quota, is full.
OUT_OF_SPACE = frozenset({errno.ENOSPC, errno.EDQUOT})


def out_of_space(error, path=None):
    """`error` as an OutOfSpaceError naming `path` (default: the file it names) when it
    says the disk or the quota is full; otherwise `error` itself.

    The system's own OSError of a write names no file (a write names a
    descriptor), and a monitor tells a full disk from a busy file by the class.
    """
    if isinstance(error, OutOfSpaceError) or not isinstance(error, OSError) or error.errno not in OUT_OF_SPACE:
        return error
    path = os.fspath(path) if path is not None else error.filename
    reason = error.strerror or os.strerror(error.errno)
    failure = OutOfSpaceError(error.errno, reason, path) if path is not None else OutOfSpaceError(error.errno, reason)
    # The parts the engine's own failures carry, for the one-line brief.
    failure.context = "cannot write '{}'".format(path) if path is not None else "cannot write"
    failure.cause, failure.consequence = reason, ""
    return failure


@contextlib.contextmanager
def full_disk_named(path):
    """Within: an OSError of a full disk or quota raised as OutOfSpaceError naming `path`."""
    try:
        yield
    except OSError as error:
        mapped = out_of_space(error, path)
        if mapped is error:
            raise
        raise mapped from error


class BundleError(ValueError):
    """A path, identifier or day that names nothing in the bundle."""


class CoverageError(BundleError):
    """A strict read asked for a range its file does not hold whole."""


class VersionError(BundleError):
    """A version that names nothing (no such id, tag or time), or a file that no
    longer holds what the version recorded of it."""


class NothingSelected(ValueError):
    """The words select no instrument at all."""

    def __init__(self, message, unresolved=()):
        super().__init__(message)
        self.unresolved = sorted(unresolved)


class SetupRefused(RuntimeError):
    """The run cannot start where it was asked to (a cluster that cannot see PATH)."""


class WorkerSetupError(RuntimeError):
    """A job was not run because its worker's initialiser had failed."""


class JobTimeout(TimeoutError):
    """An attempt of a job ran past --timeout; tried again like any other passing failure."""


class FormatError(ImportError):
    """The engine's record layouts are not the ones the bundle files hold."""

