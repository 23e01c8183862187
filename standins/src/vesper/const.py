"""Framework-wide enumerations."""
from enum import Enum


class INSTRUMENT_TYPE(Enum):
    """Instrument types as the market-data client reports them.

    A member is no `str`, but it equals and hashes like its text, so it
    matches the client's `type` values ("CS" == INSTRUMENT_TYPE.CS) and
    formats as that text.  Code that needs more of it than equality and
    hashing (string methods, a string column's own comparisons) is wrong.
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

    def __eq__(self, other):
        if isinstance(other, INSTRUMENT_TYPE):
            return self is other
        if isinstance(other, str):
            return self.value == other
        return NotImplemented

    def __hash__(self):
        return hash(self.value)
