"""A futures contract with night sessions that trades for twenty years.

The demo market lists only contracts expiring within months of its as-of
date, so no listed contract is that long. This builds one with the demo
market's own futures model: the terms of its night-trading copper product
(priced off the copper spot, listed on the first trading day, expiring after
the as-of date) and the bars come from the same function that answers
`get_price(..., frequency="1m")`, so they carry `open_interest` and the
`trading_date` of night bars exactly as listed contracts do.
"""
import datetime

import lumenfeed
from lumenfeed import _market, _universe
from vesper.const import INSTRUMENT_TYPE

PRODUCT = "QK"
ORDER_BOOK_ID = "QKLONG.QFX"   # invented; not in the demo listing


def _product():
    for product in _universe._FUTURES:
        if product.symbol == PRODUCT:
            return product
    raise LookupError("the demo market has no {} futures product".format(PRODUCT))


def long_contract(years, asof):
    """(record, bar frame from the first trading day of the last `years` years, note)."""
    universe = lumenfeed._universe_now()
    product = _product()
    spot = universe.market.sources[product.source]
    expiry = datetime.date(asof // 10000 + 1, 1, 15)
    model = _market.Future(product.source, product.carry, product.limit, product.volume,
                           product.open_interest)
    record = _market.Instrument(
        ORDER_BOOK_ID, "{} long contract".format(product.name), INSTRUMENT_TYPE.FUTURE, "QFX",
        spot.listed_date, model, de_listed_date=expiry, round_lot=1, tick_size=product.tick,
        contract_multiplier=product.multiplier, underlying_symbol=product.symbol,
        session=product.session, source=product.source)
    start = datetime.date(asof // 10000 - years + 1, 1, 1)
    end = datetime.date(asof // 10000, asof // 100 % 100, asof % 100)
    frame = lumenfeed._minutes(universe, record, start, end)
    note = ("futures bars synthesized by the stand-in's own model: contract {} on the {} product's "
            "terms (night session 21:01-23:00), listed {}, so {} years of bars".format(
                ORDER_BOOK_ID, product.symbol, spot.listed_date, years))
    return record, frame, note
