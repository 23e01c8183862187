"""One read request: its options by name, in one order, and the version it reads.

Every read takes its instrument(s) and range by position, then options by
name only, in this order wherever they apply: columns, freq, strict, to,
as_of, threads, batch_days, then what one read alone takes (by_year, kind,
calendar, ends).  The module functions of `corvane.read` are made here from
`Bundle`'s methods, so a signature is written once.

The options some reads once took by position after their range still work,
with a DeprecationWarning saying to name them, as does `fields` (the former
name of `columns`).
"""
import functools
import inspect
import numbers
import warnings

import numpy as np

from corvane.errors import VersionError
from corvane.history import asof
from corvane.history import versions

__all__ = ["request", "one_call", "check_threads", "newest", "version_of", "pinned", "as_read"]

# The options each read took by position after its range, in that order, before they were
# named only.
LEGACY = {"bars": ("columns",), "bars_many": ("columns", "threads"), "iter_bars": ("freq", "batch_days"),
          "dask_bars": ("freq",), "coverage": ("calendar", "ends"), "ticks": ("columns",),
          "index": ("kind", "as_of"), "listing": ("as_of",)}


def _positional(function):
    return sum(parameter.kind in (parameter.POSITIONAL_ONLY, parameter.POSITIONAL_OR_KEYWORD)
               for parameter in inspect.signature(function).parameters.values())


def named(name, args, keywords, positional):
    """(args, keywords) of a call of the read `name`, its options all named: `fields` becomes
    `columns` and the options it took by position after the range their names, each with a
    DeprecationWarning (raised to the caller of the read's caller)."""
    keywords = dict(keywords)
    if "fields" in keywords:
        warnings.warn("{}: fields is now called columns: pass columns=...".format(name), DeprecationWarning,
                      stacklevel=3)
        if "columns" in keywords:
            raise TypeError("{}: give columns or fields (its former name), not both".format(name))
        keywords["columns"] = keywords.pop("fields")
    extra = args[positional:]
    if not extra:
        return args, keywords
    legacy = LEGACY.get(name, ())
    if len(extra) > len(legacy):
        raise TypeError("{}() takes {} positional arguments but {} were given: the options after the range are "
                        "passed by name".format(name, positional, len(args)))
    if legacy[0] == "freq" and extra[0] is not None and not isinstance(extra[0], str):
        # Never a freq: most likely columns, which this read never took by position.
        raise TypeError("{}: pass columns=[...] by name (the options after the range are keyword-only), "
                        "not {!r} by position".format(name, extra[0]))
    for option, value in zip(legacy, extra):
        if option in keywords:
            raise TypeError("{}() got multiple values for argument {!r}".format(name, option))
        keywords[option] = value
    warnings.warn("{}: pass {} by name ({}); the options after the range are keyword-only".format(
        name, ", ".join(legacy[:len(extra)]), ", ".join(option + "=..." for option in legacy[:len(extra)])),
        DeprecationWarning, stacklevel=3)
    return args[:positional], keywords


def request(method):
    """A `Bundle` read that also takes its former positional options and `fields` (see `named`)."""
    positional = _positional(method)

    @functools.wraps(method)
    def call(*args, **keywords):
        args, keywords = named(method.__name__, args, keywords, positional)
        return method(*args, **keywords)
    return call


def one_call(bundle, method, kind):
    """The module function of the `Bundle` read `method`: `bundle(path, kind).method(...)` in one
    call, with the method's parameters (the path first) and its docs."""
    raw = inspect.unwrap(method)
    positional = _positional(raw)

    def call(path, *args, **keywords):
        args, keywords = named(raw.__name__, (path,) + args, keywords, positional)
        return raw(bundle(path, kind), *args[1:], **keywords)

    signature = inspect.signature(raw)
    path = inspect.Parameter("path", inspect.Parameter.POSITIONAL_OR_KEYWORD)
    call.__signature__ = signature.replace(parameters=[path] + list(signature.parameters.values())[1:])
    call.__name__ = call.__qualname__ = raw.__name__
    call.__module__ = "corvane.read"
    call.__doc__ = "`Bundle(path).{}(...)` in one call.\n\n{}".format(raw.__name__, inspect.getdoc(raw))
    return call


def check_threads(threads):
    """Refuse a `threads` that is no whole number of threads, before anything is read."""
    # A bool is an int to Python, and a negative count would reach the engine as a huge one.
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, numbers.Integral) or threads < 0:
        raise TypeError("threads is a whole number of threads, not {!r}".format(threads))


# ---------------------------------------------------------------- the version read

def newest(root):
    """The id of the newest version of `root`; None when it has none yet."""
    ids = versions.version_ids(root)
    return ids[-1] if ids else None


def version_of(root, as_of):
    """(the Version `as_of` names, its id), or (None, the newest id) for a read of the files
    as they are when none is asked."""
    if as_of is None:
        return None, newest(root)
    version = asof.Version(root, as_of)
    return version, version.id


def pinned(root, as_of):
    """The Version a stream reads throughout: the one `as_of` names, or the newest (None when
    `root` has none yet), so an update beside it never shows in its later blocks."""
    if as_of is not None:
        return asof.Version(root, as_of)
    found = newest(root)
    return None if found is None else asof.Version(root, found)


def as_read(version, h5_file, asked):
    """The version to read `h5_file` as of in a stream pinned to `version`: that one, unless none
    was `asked` and no version names the file (its history began after it): then the file."""
    if version is None or asked:
        return version
    try:
        version.entry(h5_file)
    except versions.DamagedManifest:
        raise
    except VersionError:
        return None
    return version


def listed_version(roots, as_of):
    """What attrs["version"] of a listing of `roots` ({kind: root}) says: the id of the version of
    the one root; of a folder holding both kinds, {kind: id} of those whose version `as_of` names."""
    found = {}
    for kind, root in sorted(roots.items()):
        try:
            found[kind] = version_of(root, as_of)[1]
        except VersionError:
            if len(roots) == 1:
                raise
    return found.popitem()[1] if len(roots) == 1 else found
