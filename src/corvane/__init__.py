"""corvane: keeps a local market-data bundle of HDF5 files up to date."""
from importlib import metadata

__all__ = ["__version__"]

try:
    __version__ = metadata.version("corvane")
except metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"
