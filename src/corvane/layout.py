"""A bundle as the tools that look at it see it: its files, and their records as tables.

The stores write the files through the engine and the tools (`corvane
inspect`, `plot`, `read`, `verify`) read them through its reader; both take
the format from `corvane.formats`, so neither has to know the other.
"""
import os
from typing import NamedTuple

import numpy as np

from corvane import formats
from corvane.errors import BundleError  # noqa: F401  (callers found it here)
from corvane.formats import MINBAR_DIRECTORIES, SUFFIX, owner_of

__all__ = ["TICK_KIND", "BundleError", "Layouts", "layouts", "bundle_kind", "kinds_held",
           "top_files", "check_update_root", "child_bundles", "directories", "instrument_paths",
           "require_kind", "find_instrument", "check_output", "parse_day", "bar_dates"]

# The label of a tick directory's files, beside the minute-bar sub-directories'.
TICK_KIND = "ticks"


class Layouts(NamedTuple):
    """The record types of a bundle's files, and the tick reader's scales."""
    equities: np.dtype
    derivatives: np.dtype
    index: np.dtype
    ticks: np.dtype
    tick_scales: dict  # scaled tick field -> the number it was multiplied by


def layouts(ticks_loader=None):
    """The record types, the tick ones as `ticks_loader` (default: the plug-in's reader) has them.

    The plug-in is imported here, not at load: only the tick layout needs it.
    """
    if ticks_loader is None:
        from vesper_mod_tollbay_data.data_sources.data_store import H5TicksLoader as ticks_loader
    return Layouts(
        equities=formats.EQUITIES_DTYPE,
        derivatives=formats.DERIVATIVES_DTYPE,
        index=formats.INDEX_DTYPE,
        ticks=np.dtype(ticks_loader.DTYPES),
        tick_scales={name: float(scale) for name, _, scale in ticks_loader.FIELDS},
    )


# ---------------------------------------------------------------- locating files

def _entries(directory):
    try:
        return sorted(os.listdir(directory))
    except FileNotFoundError:
        return []


def bundle_kind(path):
    """"minbar" for a minute-bar root, "tick" for a tick directory, None otherwise."""
    held = kinds_held(path)
    return "minbar" if "minbar" in held else next(iter(held), None)


def kinds_held(path):
    """The kinds whose files stand at `path`: "minbar" for its sub-directories, "tick" for
    instrument files (or an interrupted update's leftovers) at its top."""
    if not os.path.isdir(path):
        return set()
    held = set()
    if any(os.path.isdir(os.path.join(path, name)) for name in MINBAR_DIRECTORIES):
        held.add("minbar")
    if top_files(path):
        held.add("tick")
    return held


def top_files(path):
    """The instrument files and leftovers directly in `path`."""
    return [name for name in _entries(path) if name.endswith(SUFFIX) or owner_of(name)]


def _describe(path, kind):
    if kind == "minbar":
        return "a minute-bar root (it holds {})".format(", ".join(
            name + "/" for name in MINBAR_DIRECTORIES if os.path.isdir(os.path.join(path, name))))
    return "a tick directory or a sub-directory of a minute-bar root ({} {} file(s) at its top)".format(
        len(top_files(path)), SUFFIX)


def check_update_root(path, kind):
    """Refuse to update `kind` ("minbar" or "tick") files at a `path` that holds the other kind.

    Written into, it would hold both, which no reader or check expects.
    """
    other = kinds_held(path) - {kind}
    if other:
        wanted = ("a minute-bar root (equities/, future/, option/)" if kind == "minbar"
                  else "a tick directory")
        raise BundleError("{} is {}: {} updates need {}; give another path".format(
            path, _describe(path, other.pop()), "minute-bar" if kind == "minbar" else "tick", wanted))


def child_bundles(path):
    """[(directory, kind)] of the bundles directly below `path` (a folder holding minbar/ and tick/)."""
    found = []
    for name in _entries(path) if os.path.isdir(path) else []:
        child = os.path.join(path, name)
        if name not in MINBAR_DIRECTORIES and os.path.isdir(child) and len(kinds_held(child)) == 1:
            found.append((child, bundle_kind(child)))
    return found


def directories(path, kind):
    """[(label, directory)] holding instrument files: the sub-directories, or the tick directory."""
    return [(TICK_KIND if kind == "tick" else os.path.basename(directory), directory)
            for directory in formats.directories(path, kind)]


def instrument_paths(directory):
    """Every bundle file in `directory` that exists or that a leftover names, sorted."""
    found = set()
    for entry in _entries(directory):
        owner = owner_of(entry)
        if owner:
            found.add(owner)
        elif entry.endswith(SUFFIX) and os.path.isfile(os.path.join(directory, entry)):
            found.add(entry)
    return [os.path.join(directory, name) for name in sorted(found)]


def require_kind(path, kind=None, held=None):
    """The kind of bundle at `path` (or `kind` when given); BundleError when it is none.
    `held`: `kinds_held(path)`, when the caller has looked already."""
    if not os.path.isdir(path):
        raise BundleError("{} is not a directory".format(path))
    held = kinds_held(path) if held is None else held
    if len(held) > 1 and kind is None:
        raise BundleError("{} mixes both kinds: minute-bar sub-directories and {} {} file(s) at its "
                          "top; give --kind, and move the tick files to a directory of their own"
                          .format(path, len(top_files(path)), SUFFIX))
    if kind is not None and held and kind not in held:
        raise BundleError("{} is {}, not a {} bundle".format(
            path, _describe(path, next(iter(held))), "minute-bar" if kind == "minbar" else "tick"))
    found = kind or bundle_kind(path)
    if found is None:
        children = child_bundles(path)
        if children:
            raise BundleError("{} is not a bundle but holds {}: give one of them".format(
                path, " and ".join("{} ({})".format(child, kind) for child, kind in children)))
        raise BundleError("{} is not a bundle: no {} sub-directory and no {} file".format(
            path, "/".join(MINBAR_DIRECTORIES), SUFFIX))
    name = os.path.basename(os.path.normpath(path))
    if kind is None and found == "tick" and name in MINBAR_DIRECTORIES:
        raise BundleError("{} is a sub-directory of a minute-bar root: give the root {}".format(
            path, os.path.dirname(os.path.normpath(path)) or "."))
    return found


def find_instrument(path, kind, order_book_id):
    """(label, file) of an instrument's file in the bundle; BundleError when there is none."""
    try:
        h5_file = formats.locate(path, order_book_id, kind)
    except ValueError as error:
        raise BundleError(str(error)) from None
    if h5_file is None or not os.path.isfile(h5_file):
        raise BundleError("no file for {} in {}".format(order_book_id, path))
    return TICK_KIND if kind == "tick" else os.path.basename(os.path.dirname(h5_file)), h5_file


def check_output(out, extensions, what):
    """Refuse an output file of another extension than `extensions`, or in a missing directory.

    Checked before anything is read, so that a long read never ends in an
    error about the file name.  `what` names what the extension gives.
    """
    extension = os.path.splitext(out)[1].lower()
    if extension not in extensions:
        raise BundleError("{}: {} comes from the extension, one of {}".format(out, what, ", ".join(extensions)))
    directory = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(directory):
        raise BundleError("{}: directory {} does not exist".format(out, directory))
    return extension


# ---------------------------------------------------------------- records as tables

def parse_day(text):
    """A day given as YYYYMMDD as that integer; BundleError otherwise."""
    day = formats.day_number(text)
    if day is None:
        raise BundleError("{!r} is not a day written YYYYMMDD".format(str(text)))
    return day


def bar_dates(values):
    """The calendar date YYYYMMDD of bar `datetime` integers."""
    return np.asarray(values, dtype=np.int64) // 1000000
