"""The outside services a job uses, gathered into one plain value.

The subsystems take their services as an argument instead of importing
them: in a run, the `corvane.updater.host.Platform` that `corvane.bundle`
binds (it reads the module's names at each use); in a test or a benchmark, a
`Services` built by hand.  Both answer the same attributes.
"""
from typing import Any, NamedTuple

__all__ = ["Services"]


class Services(NamedTuple):
    client: Any             # the market-data client module (`lumenfeed`)
    instrument_type: Any    # the framework's INSTRUMENT_TYPE enumeration
    # The conversions take one datetime.datetime (or, for a plain date, one
    # datetime.date) per call: never numpy values, arrays, ints or text.
    convert_dt_to_int: Any  # one timestamp -> integer YYYYMMDDHHMMSS
    date_to_number: Any     # one date or timestamp -> integer YYYYMMDD
    time_to_number: Any     # one timestamp -> integer time of day
    ticks_loader: Any       # the tick reader class; COLUMNS, FIELDS, DTYPES read at call time
    echo: Any               # the console's echo (click.echo)
    equities_types: Any     # the instrument types whose bars are stored as equities
