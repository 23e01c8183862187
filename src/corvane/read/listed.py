"""The client's listing kept with the versions (`corvane.history.market`) as a table."""
import numpy as np
import pandas as pd

__all__ = ["FIRST", "table"]

# The columns shown first, when the listing holds them; the rest follow in name order.
FIRST = ("order_book_id", "symbol", "type", "exchange", "listed_date", "de_listed_date", "maturity_date")


def table(markets):
    """One row per instrument the Markets `markets` list (a later one's listing over an earlier
    one's, their suspended days joined), in order of order_book_id; dates YYYYMMDD, 0 when none."""
    listing, suspended = {}, {}
    for kept in markets:
        listing.update(kept.listing)
        for order_book_id, days in kept.suspended.items():
            suspended[order_book_id] = tuple(sorted(set(suspended.get(order_book_id, ())) | set(days)))
    names = {name for fields in listing.values() for name in fields}
    columns = [name for name in FIRST if name in names or name == "order_book_id"]
    columns += sorted(names - set(columns))
    ids = sorted(listing)
    found = {"order_book_id": pd.Series(ids, dtype=object)}
    for name in columns[1:]:
        values = [listing[order_book_id].get(name) for order_book_id in ids]
        if name.endswith("_date"):
            found[name] = pd.Series(np.array([value or 0 for value in values], dtype=np.int64))
        else:
            found[name] = pd.Series(values, dtype=object).infer_objects()
    found["suspended"] = pd.Series([suspended.get(order_book_id, ()) for order_book_id in ids], dtype=object)
    return pd.DataFrame(found, columns=columns + ["suspended"])
