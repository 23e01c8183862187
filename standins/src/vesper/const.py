"""Framework-wide enumerations."""
from enum import Enum


class INSTRUMENT_TYPE(str, Enum):
    """Instrument types as the market-data client reports them.

    Each member's value is its name, and the member is a `str`, so it equals,
    hashes like and formats as the plain text ("CS" == INSTRUMENT_TYPE.CS).
    """

    CS = "CS"                    # common stock
    ETF = "ETF"
    LOF = "LOF"                  # listed open-ended fund
    INDX = "INDX"                # index
    FUTURE = "FUTURE"
    OPTION = "OPTION"
    CONVERTIBLE = "CONVERTIBLE"  # convertible bond
    REPO = "REPO"                # exchange repo; bundles do not store it
    SPOT = "SPOT"                # spot commodity; bundles do not store it

    def __str__(self):
        return self.value

    __hash__ = str.__hash__
