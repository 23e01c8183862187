"""The full market: a user's universe, generated beside the demo market's instruments.

LUMENFEED_MARKET=full lists, besides the demo market, about 5,000 stocks,
1,000 funds, 500 indices, 800 live futures contracts (of 140 products: on
commodities with a night session, on indices, on stocks) and 4,500 options
(on 25 funds and on the commodity futures); a factor in (0, 1] keeps that
share of each kind (at least one), the first ones of each, so a smaller
market is part of a larger one, with the same prices.

The same rules as the demo market: listing dates, delistings (a few percent
of stocks and funds, shown once the as-of date has passed them),
suspensions of a few days, contracts that come and go with the as-of date,
options on their underlyings.  Every term of an instrument is a hash of its
identifier.  Daily closes are a `BoundedWalk`, so one call costs about the
same for an instrument listed in 2005 as for one listed last month.
"""
import datetime
import os

import numpy as np

from vesper.const import INSTRUMENT_TYPE as T

from . import _random as rnd
from ._market import COMMODITY_SESSION, EQUITY_SESSION, BoundedWalk, Instrument
from ._universe import (_FutureProduct, _fifteenth, _fund_options, _future_options, _futures, _on_or_after,
                        _third_friday)

MARKET_ENV = "LUMENFEED_MARKET"
D = datetime.date

# How many of each kind the full market adds to the demo's.
COUNTS = {"stock": 4996, "etf": 600, "lof": 397, "index": 498, "commodity": 60, "index_future": 40,
          "stock_future": 40, "fund_option": 25}
# Generated listings fall between these dates; delistings and suspensions before the last.
FIRST_LISTING = D(2005, 1, 4)
LAST_LISTING = D(2026, 6, 30)
LAST_EVENT = D(2026, 11, 30)
OPTION_WINGS = 2  # five strikes a month


def factor():
    """The share of the full market listed (None: the demo market alone)."""
    text = os.environ.get(MARKET_ENV, "").strip().lower()
    if text in ("", "demo"):
        return None
    if text == "full":
        return 1.0
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0.0 < value <= 1.0:
        raise ValueError("{} must be demo, full or a factor in (0, 1], got {!r}".format(MARKET_ENV, text))
    return value


def count(kind, share):
    return max(1, int(round(COUNTS[kind] * share)))


def _draws(oid, n=8):
    """n uniforms in (0, 1) that are the instrument's own."""
    return rnd.key_uniforms(rnd.text_seed(oid), 99, n)


def _day_between(first, last, u):
    return _on_or_after(first + datetime.timedelta(days=int(u * (last - first).days)))


def _letters(i):
    return chr(65 + i // 26 % 26) + chr(65 + i % 26)


def _walker(oid, symbol, kind, u, last_day, price, tick, lot, sigma, volume, limit, quoted=True, fixed=False,
            session=EQUITY_SESSION, exchange="HBX", delist_share=0.0):
    """A walk-priced instrument; `fixed`: listed from the first trading day, never delisted or suspended."""
    listed = FIRST_LISTING if fixed or u[0] < 0.2 else _day_between(FIRST_LISTING, LAST_LISTING, u[0])
    delisted, suspended = None, ()
    if not fixed and u[1] < delist_share:
        day = _day_between(listed + datetime.timedelta(days=365), LAST_EVENT, u[2])
        delisted = day if last_day is not None and day <= last_day else None
    elif not fixed and u[1] > 0.97:
        start = _day_between(listed + datetime.timedelta(days=60), LAST_EVENT, u[2])
        suspended = ((start, start + datetime.timedelta(days=int(1 + 6 * u[3]))),)
    model = BoundedWalk(price, sigma, limit, volume, drift=0.2 * (u[4] - 0.5), suspended=suspended, quoted=quoted)
    return Instrument(oid, symbol, kind, exchange, listed, model, de_listed_date=delisted, round_lot=lot,
                      tick_size=tick, session=session, source=oid)


def _stocks(n, fixed, last_day):
    out = []
    for i in range(n):
        oid = "{:05d}.HBX".format(20001 + i)
        u = _draws(oid)
        out.append(_walker(oid, "Harbour stock {}".format(20001 + i), T.CS, u, last_day,
                           price=round(5.0 * np.exp(2.8 * u[5]), 2), tick=0.01, lot=100,
                           sigma=0.010 + 0.010 * u[6], volume=1e5 * np.exp(6.0 * u[7]),
                           limit=0.20 if i % 10 == 9 else 0.10, fixed=i < fixed, delist_share=0.04))
    return out


def _funds(n_etf, n_lof, fixed, last_day):
    out = []
    for kind, first, n, name in ((T.ETF, 52001, n_etf, "Harbour ETF"), (T.LOF, 16002, n_lof, "Lantern LOF")):
        for i in range(n):
            oid = "{:05d}.HBX".format(first + i)
            u = _draws(oid)
            out.append(_walker(oid, "{} {}".format(name, first + i), kind, u, last_day,
                               price=round(0.8 + 3.2 * u[5], 3), tick=0.001, lot=100,
                               sigma=0.007 + 0.008 * u[6], volume=1e6 * np.exp(4.6 * u[7]), limit=0.10,
                               fixed=kind == T.ETF and i < fixed, delist_share=0.03))
    return out


def _indices(n, fixed, last_day):
    out = []
    for i in range(n):
        oid = "IX{:03d}.HBX".format(3 + i)
        u = _draws(oid)
        out.append(_walker(oid, "Harbour index {:03d}".format(3 + i), T.INDX, u, last_day,
                           price=round(1000.0 + 7000.0 * u[5], 2), tick=0.01, lot=100,
                           sigma=0.008 + 0.008 * u[6], volume=1e9 * (1.0 + 4.0 * u[7]), limit=0.08,
                           quoted=False, fixed=i < fixed))
    return out


def _spots(n):
    out = []
    for i in range(n):
        oid = "C{}.SPOT".format(_letters(i))
        u = _draws(oid)
        price = 2000.0 + 78000.0 * u[5]
        tick = 1.0 if price < 10000 else 5.0 if price < 40000 else 10.0
        out.append(_walker(oid, "Quay commodity C{} spot".format(_letters(i)), T.SPOT, u, None,
                           price=float(round(price / tick) * tick), tick=tick, lot=1, sigma=0.009 + 0.007 * u[6],
                           volume=0.0, limit=0.06, fixed=True, session=COMMODITY_SESSION, exchange="QFX"))
    return out


def _products(share):
    out = []
    for i in range(count("commodity", share)):
        symbol = "C" + _letters(i)
        out.append(_FutureProduct(symbol, "Quay commodity " + symbol, symbol + ".SPOT", None, range(1, 13), 12,
                                  1.0, 10, COMMODITY_SESSION, _fifteenth, 0.02, 0.08, 50000, 100000))
    for i in range(count("index_future", share)):
        index = "IX{:03d}.HBX".format(3 + i)
        out.append(_FutureProduct("X" + _letters(i), "Harbour index future " + index, index, index, range(1, 13),
                                  6, 0.2, 300, EQUITY_SESSION, _third_friday, -0.02, 0.10, 40000, 60000))
    for i in range(count("stock_future", share)):
        stock = "{:05d}.HBX".format(20001 + i)
        out.append(_FutureProduct("S" + _letters(i), "Harbour stock future " + stock, stock, stock,
                                  range(1, 13, 2), 12, 0.01, 1000, EQUITY_SESSION, _third_friday, 0.01, 0.12,
                                  6000, 15000))
    return out


def instruments(last_day, share, sources, market):
    """The generated instruments listed on `last_day` (a trading date or
    None), in listing order; their price sources are added to `sources`."""
    fixed = max(count("stock_future", share), count("index_future", share), count("fund_option", share))
    walkers = (_stocks(count("stock", share), fixed, last_day)
               + _funds(count("etf", share), count("lof", share), fixed, last_day)
               + _indices(count("index", share), fixed, last_day))
    spots = _spots(count("commodity", share))
    sources.update((inst.order_book_id, inst) for inst in walkers + spots)
    if last_day is None:
        return []
    listed = [inst for inst in walkers if inst.listed_date <= last_day]
    futures, options = [], []
    for product in _products(share):
        contracts = _futures(product, last_day, sources, market)
        futures += contracts
        if product.symbol.startswith("C"):
            sources.update((inst.order_book_id, inst) for inst in contracts)
            options += _future_options(last_day, contracts, market, product.symbol, product.name, OPTION_WINGS)
    sources.update((inst.order_book_id, inst) for inst in futures)
    for i in range(count("fund_option", share)):
        options += _fund_options(last_day, sources, market, "{:05d}.HBX".format(52001 + i), OPTION_WINGS)
    sources.update((inst.order_book_id, inst) for inst in options)
    return listed + futures + options
