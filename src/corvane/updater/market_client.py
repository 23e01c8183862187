"""Which market-data client a run talks to, and readying it in the calling process.

A bundle filled from the wrong client (the demo stand-in's synthetic market
where the real one was meant) looks like any other.  So every run names the
client module it uses, its version and where it lies, and the client's own
warnings are shown in the calling process; the workers keep catching theirs,
which would only repeat them once per process.
"""
import functools
import sys
import warnings
from importlib import metadata


__all__ = ["line", "describe", "ready"]


def describe(client):
    """{"module", "version", "file"} of `client`; "file" None when unknown."""
    name = getattr(client, "__name__", None)
    if not isinstance(name, str):
        # Not a module (a caller's own object): its class says what it is.
        name = "{}.{}".format(type(client).__module__, type(client).__qualname__)
    module = sys.modules.get(name) or sys.modules.get(type(client).__module__)
    where = getattr(client, "__file__", None) or getattr(module, "__file__", None)
    return {"module": name, "version": version(client, name), "file": where}


def line(client):
    """One line naming `client`: module, version and where it lies."""
    found = describe(client)
    return "corvane: market-data client {} {}, {}".format(
        found["module"], found["version"], "at {}".format(found["file"]) if found["file"] else "location unknown")


def version(client, name):
    """The client's version: its own, else its distribution's, else "(version unknown)"."""
    own = getattr(client, "__version__", None)
    if isinstance(own, str):
        return own
    return _distribution_version(name.split(".")[0])


# What is installed does not change under a running process: looked up once.
@functools.lru_cache(maxsize=None)
def _distribution_version(top_level):
    # The distributions that name their packages are read first (inferring
    # the others' packages from their lists of files takes most of a second).
    named = [distribution for distribution in metadata.distributions()
             if top_level in (distribution.read_text("top_level.txt") or "").split()]
    names = [distribution.metadata["Name"] for distribution in named] or \
        metadata.packages_distributions().get(top_level, [])
    found = []
    for name in dict.fromkeys(names):
        try:
            found.append("{} {}".format(name, metadata.version(name)))
        except metadata.PackageNotFoundError:
            continue
    return "({})".format(", ".join(found)) if found else "(version unknown)"


def ready(client, echo):
    """Initialise `client` here, its warnings shown one line each on stderr.

    The warning filters still apply: an ignored warning stays silent, and
    one made an error raises.
    """
    with warnings.catch_warnings(record=True) as caught:
        client.init()
    for warning in caught:
        echo("corvane: the market-data client warns: {}: {}".format(
            warning.category.__name__, warning.message), err=True)
