"""Tables from `corvane.read` as Arrow tables, sharing the engine's column buffers.

Each column of a read is one numpy array of its own (see `read`), which
Arrow takes as it is: the Arrow table holds the same memory, nothing is
copied.  The bar or tick time comes first, as the column `datetime`; what
the table covers (its `attrs`) travels as the schema's metadata, in JSON,
under the key b"corvane".  polars takes the result with `polars.from_arrow`.
"""
import json

__all__ = ["FORMATS", "check_format", "table_of", "from_columns", "shaped"]

FORMATS = ("pandas", "arrow")
MISSING = "to=\"arrow\" needs pyarrow: pip install 'corvane[arrow]'"


def check_format(to):
    """Refuse an unknown `to`, and "arrow" without pyarrow, before anything is read."""
    if to not in FORMATS:
        from corvane.layout import BundleError
        raise BundleError("to is one of {}, not {!r}".format(", ".join(map(repr, FORMATS)), to))
    if to == "arrow":
        _pyarrow()


def _pyarrow():
    try:
        import pyarrow
    except ModuleNotFoundError as error:
        raise ModuleNotFoundError(MISSING, name=error.name) from None
    return pyarrow


def table_of(frame):
    """The pyarrow.Table of a DataFrame of `read`, its index first, without a copy."""
    return from_columns(frame.index.name or "datetime", frame.index.values,
                        {str(name): frame[name].to_numpy() for name in frame.columns}, frame.attrs)


def from_columns(time_name, times, columns, attrs):
    """The pyarrow.Table of a read's times and {name: numpy column}, sharing their memory;
    `attrs` (what the read covers) as the schema's metadata."""
    pa = _pyarrow()
    arrays = [_times(pa, times)] + [pa.array(values) for values in columns.values()]
    metadata = {b"corvane": json.dumps(attrs, default=_plain).encode()} if attrs else None
    return pa.Table.from_arrays(arrays, names=[time_name] + list(columns), metadata=metadata)


def _times(pa, values):
    # The times' buffer as it is: pa.array would first scan it for NaT, which a read never holds.
    return pa.Array.from_buffers(pa.timestamp("ns"), len(values), [None, pa.py_buffer(values.view("i8"))])


def _plain(value):
    return value.item() if hasattr(value, "item") else list(value)


def shaped(frame, to):
    return table_of(frame) if to == "arrow" else frame
