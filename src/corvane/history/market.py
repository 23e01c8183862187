"""What the market-data client said of a root's instruments, kept beside its versions.

A run keeps the client's listing of the instruments it updated (their
type, listed and de-listed dates, maturity, exchange, ...) and the days the
client served no bars for one of them while its venue traded (suspensions),
as part of its version (`layout.market_path`).  Readers judge a file against
them: an instrument that ended is not behind its venue, and a day the client
had no data for is suspended, not missing.  As of a version: each
instrument's newest listing up to it, and the union of its suspended days.
"""
import json
import os
from typing import NamedTuple

# Neither the engine nor pandas: the log's readers start fast.
from corvane.errors import VersionError
from corvane.history import layout as history
from corvane.history.versions import version_ids

__all__ = ["FORMAT", "Market", "NOTHING", "text", "facts_as_of", "ended", "is_new"]

FORMAT = 1
# The listing's columns that end an instrument's life.
ENDING = ("de_listed_date", "maturity_date")


class Market(NamedTuple):
    """{order_book_id: {column: value}} of the client's listing, and {order_book_id: (YYYYMMDD, ...)}
    of the days it served no bars for while the venue traded."""
    listing: dict
    suspended: dict


NOTHING = Market({}, {})


def text(version_id, listing, suspended):
    """The kept record of one version's run (see `layout`)."""
    return json.dumps({"format": FORMAT, "version": version_id, "listing": listing,
                       "suspended": {key: sorted(days) for key, days in sorted(suspended.items()) if days}},
                      sort_keys=True, separators=(",", ":"))


def ended(fields):
    """YYYYMMDD an instrument's life ended (its de-listing or maturity, the earlier), None while it trades."""
    days = [fields.get(name) for name in ENDING]
    days = [day for day in days if isinstance(day, int) and day > 0]
    return min(days) if days else None


def _read(path):
    """(listing, suspended) of one kept record; VersionError naming it when it is not one."""
    try:
        with open(path, encoding="utf-8") as held:
            record = json.load(held)
        listing, suspended = record["listing"], record["suspended"]
        if (record.get("format") != FORMAT or not isinstance(listing, dict) or not isinstance(suspended, dict)
                or not all(isinstance(fields, dict) for fields in listing.values())):
            raise ValueError("not a record of the market")
        suspended = {key: tuple(int(day) for day in days) for key, days in suspended.items()}
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        raise VersionError("{}: the client's listing kept with the version cannot be read ({})".format(
            path, " ".join(str(error).split()) or type(error).__name__)) from None
    return listing, suspended


# {(root, the ids merged): Market}; the oldest dropped first past KEPT.
_KEPT = {}
KEPT = 16


def facts_as_of(root, version_id=None):
    """The Market as of `version_id` (None: the newest version) of `root`; NOTHING when none was kept."""
    try:
        names = os.listdir(history.market_dir(root))
    except (FileNotFoundError, NotADirectoryError):
        return NOTHING
    suffix = history.MARKET_SUFFIX
    kept = {name[:-len(suffix)] for name in names if name.endswith(suffix) and not name.startswith(".")}
    # A record whose manifest never landed belongs to no version.
    ids = tuple(found for found in version_ids(root)
                if found in kept and (version_id is None or found <= version_id))
    key = (os.path.abspath(root), ids)
    if key not in _KEPT:
        listing, suspended = {}, {}
        for found in ids:
            more, days = _read(history.market_path(root, found))
            listing.update(more)
            for order_book_id, held in days.items():
                suspended[order_book_id] = tuple(sorted(set(suspended.get(order_book_id, ())) | set(held)))
        if len(_KEPT) >= KEPT:
            _KEPT.pop(next(iter(_KEPT)))
        _KEPT[key] = Market(listing, suspended)
    return _KEPT[key]


def is_new(known, listing, suspended):
    """Whether `listing` and `suspended` say anything the Market `known` does not."""
    return (any(known.listing.get(order_book_id) != fields for order_book_id, fields in listing.items())
            or any(not set(days) <= set(known.suspended.get(order_book_id, ()))
                   for order_book_id, days in suspended.items()))
