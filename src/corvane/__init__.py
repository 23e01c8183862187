"""corvane: keeps a local market-data bundle of HDF5 files up to date.

`corvane.update(kind, path, words, ...)` updates a bundle from Python and
returns its report; `corvane.UpdateOptions` are its options; `corvane.read`
reads a bundle back.  Both load on first use: `import corvane.bundle`, the
framework's module surface, loads no more than it did.
"""
import importlib
from importlib import metadata

__all__ = ["__version__", "update", "UpdateOptions"]

try:
    __version__ = metadata.version("corvane")
except metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"

_LAZY = {"update": ("corvane.updater.entry", "update"), "UpdateOptions": ("corvane.updater.options", "UpdateOptions")}


def __getattr__(name):
    if name not in _LAZY:
        raise AttributeError("module 'corvane' has no attribute {!r}".format(name))
    module, attribute = _LAZY[name]
    return getattr(importlib.import_module(module), attribute)
