"""The outside services a job uses, gathered into one plain value.

`corvane.bundle` reads its module globals at call time and builds a
`Services` from them, so that a caller (or a test) that rebinds
`corvane.bundle.lumenfeed` or a conversion is obeyed, and the subsystems
take their services as an argument instead of importing them.
"""
from typing import Any, NamedTuple


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
