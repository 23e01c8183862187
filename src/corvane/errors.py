"""The engine's file failures, by kind, for callers that decide on them.

Every one is an OSError, as these failures were before they had classes of
their own:

- FileError: a bundle file cannot be opened or created; more precisely
  - BusyError: another writer holds it; a later try may succeed,
  - NotBundleFileError: not a regular file, empty, or not HDF5,
  - DamagedFileError: an HDF5 file whose own structures cannot be read;
- IoError: reading or writing failed, `errno` saying why when known;
  - OutOfSpaceError: the disk, or the quota, is full.
"""
from corvane._engine import (  # noqa: F401
    BusyError, DamagedFileError, FileError, IoError, NotBundleFileError, OutOfSpaceError)
