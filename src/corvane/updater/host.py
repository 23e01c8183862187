"""The platform corvane runs on, as `corvane.bundle` binds it.

`corvane.bundle` imports the market-data client, the framework and its
plug-in: its load sequence is its contract with the host.  Everything else
takes them from here, as one `Platform` handed down as an argument (the
subsystems call it their `services`).  A Platform is built once per module
and reads that module's names when it is used, so a host (or a test) that
rebinds `corvane.bundle.lumenfeed`, a conversion, the console or the pool
is obeyed.  It travels to worker processes by reference: the module's name.
"""
import importlib

__all__ = ["Platform", "platform", "BUNDLE"]

# The module whose names are the platform.
BUNDLE = "corvane.bundle"

_built = {}


def _read(name, doc):
    return property(lambda self: getattr(self.module, name), doc=doc)


class Platform:
    """The services of the module named `module_name`, each read at its use."""

    __slots__ = ("module_name", "_module")

    def __init__(self, module_name):
        self.module_name = module_name
        self._module = None

    @property
    def module(self):
        # Looked up on first use, not when built: the module builds its own
        # Platform while it loads.
        if self._module is None:
            self._module = importlib.import_module(self.module_name)
        return self._module

    client = _read("lumenfeed", "the market-data client module")
    instrument_type = _read("INSTRUMENT_TYPE", "the framework's instrument-type enumeration")
    # The conversions take one datetime.datetime (or, for a plain date, one
    # datetime.date) per call: never numpy values, arrays, ints or text.
    convert_dt_to_int = _read("convert_dt_to_int", "one timestamp -> integer YYYYMMDDHHMMSS")
    date_to_number = _read("date_to_number", "one date or timestamp -> integer YYYYMMDD")
    time_to_number = _read("time_to_number", "one timestamp -> integer time of day")
    ticks_loader = _read("H5TicksLoader", "the tick reader class; COLUMNS, FIELDS, DTYPES read at use")
    pool = _read("ProgressedProcessPoolExecutor", "the framework's process pool")
    initializer = _read("init_lumenfeed_with_warnings_catch", "readies the client in a worker")
    tag_map = _read("TAG_MAP", "selection tag -> instrument types")
    equities_types = _read("EQUITIES_INS_TYPE", "the instrument types stored as equities")

    @property
    def echo(self):
        """The module's console (click.echo), for the module's own lines."""
        return self.module.click.echo

    def __reduce__(self):
        return platform, (self.module_name,)

    def __repr__(self):
        return "Platform({!r})".format(self.module_name)


def platform(module_name=BUNDLE):
    """The one Platform of `module_name`; the module is loaded now, so that a
    platform that is not installed fails here (ModuleNotFoundError)."""
    importlib.import_module(module_name)
    return bound(module_name)


def bound(module_name):
    """The one Platform of `module_name`, without loading the module (it may be loading)."""
    if module_name not in _built:
        _built[module_name] = Platform(module_name)
    return _built[module_name]
