"""The demo market's instruments, as of a given day.

Venues (invented): HBX, the Harbour exchange (equities, funds, indices,
bonds, fund options) and QFX, the Quay futures exchange (futures and their
options).  Identifiers:
- equities and funds "NNNNN.HBX", indices "IXNNN.HBX", repo "RPNNN.HBX";
- futures "<SYMBOL><YYMM>.QFX" (symbol, then the expiry year and month);
- fund options "<fund code><C|P><YYMM>K<strike in thousandths, 5 digits>.HBX";
- futures options "<SYMBOL><YYMM><C|P><strike>.QFX" on the contract of that YYMM.

Futures contracts and options come and go: the listing holds the contracts
expiring within about six months of the as-of date that are listed by then.
A contract's dates and terms never depend on the as-of date, only whether it
is in the listing does.
"""
import datetime

from vesper.const import INSTRUMENT_TYPE as T

from . import _calendar as cal
from ._market import COMMODITY_SESSION, EQUITY_SESSION, PIP, Future, Instrument, Market, Option, Walk

D = datetime.date

# order_book_id, symbol, type, listed, de-listed, price, tick, round lot, daily sigma,
# volume a day, limit, extra
_EQUITIES = (
    ("10001.HBX", "Aldmoor Rail", T.CS, D(2005, 1, 4), None, 8.50, 0.01, 100, 0.019, 9e6, 0.10, {}),
    ("10002.HBX", "Brackwater Foods", T.CS, D(2023, 3, 15), None, 24.00, 0.01, 100, 0.022, 3e6, 0.10, {}),
    ("10003.HBX", "Cindral Optics", T.CS, D(2024, 6, 17), None, 41.30, 0.01, 100, 0.028, 2e6, 0.10,
     {"suspended": ((D(2025, 3, 10), D(2025, 3, 21)),)}),
    ("10004.HBX", "Dunmere Textiles", T.CS, D(2023, 1, 9), D(2025, 6, 27), 6.20, 0.01, 100, 0.024, 1.5e6, 0.10,
     {"drift": -0.15}),
    ("51001.HBX", "Harbour 50 ETF", T.ETF, D(2024, 1, 8), None, 3.000, 0.001, 100, 0.012, 2e8, 0.10, {}),
    ("51002.HBX", "Harbour Growth ETF", T.ETF, D(2025, 3, 3), None, 1.200, 0.001, 100, 0.015, 5e7, 0.10, {}),
    ("16001.HBX", "Lantern Balanced LOF", T.LOF, D(2025, 5, 12), None, 1.050, 0.001, 100, 0.008, 2e6, 0.10, {}),
    ("IX001.HBX", "Harbour 50 Index", T.INDX, D(2023, 1, 4), None, 3000.00, 0.01, 100, 0.012, 3e9, None,
     {"limit_walk": 0.08}),
    ("IX002.HBX", "Harbour Small Cap Index", T.INDX, D(2024, 7, 1), None, 5200.00, 0.01, 100, 0.016, 5e9, None,
     {"limit_walk": 0.08}),
    ("11001.HBX", "Brackwater Convertible", T.CONVERTIBLE, D(2024, 2, 19), None, 100.000, 0.001, 10, 0.010,
     3e5, 0.20, {"underlying": "10002.HBX"}),
    ("11002.HBX", "Cindral Convertible", T.CONVERTIBLE, D(2025, 8, 18), None, 100.000, 0.001, 10, 0.012,
     2e5, 0.20, {"underlying": "10003.HBX"}),
    ("RP001.HBX", "Harbour 1-day Repo", T.REPO, D(2022, 1, 4), None, 1.800, 0.001, 10, 0.03, 1e6, None, {}),
)

# The unlisted spot price that the QK contracts are priced off:
# order_book_id, symbol, from, price, tick, daily sigma, walk bound, yearly drift, session.
_SPOTS = (
    ("QK.SPOT", "Quay copper spot", D(2005, 1, 4), 68000.0, 1.0, 0.011, 0.05, 0.0, COMMODITY_SESSION),
)


def _third_friday(year, month):
    first = D(year, month, 1)
    return first + datetime.timedelta(days=(4 - first.weekday()) % 7 + 14)


def _fourth_wednesday(year, month):
    first = D(year, month, 1)
    return first + datetime.timedelta(days=(2 - first.weekday()) % 7 + 21)


def _fifteenth(year, month):
    return D(year, month, 15)


class _FutureProduct:
    def __init__(self, symbol, name, source, underlying, months, lead, tick, multiplier, session, expiry,
                 carry, limit, volume, open_interest):
        self.symbol = symbol
        self.name = name
        self.source = source
        self.underlying = underlying
        self.months = months
        self.lead = lead
        self.tick = tick
        self.multiplier = multiplier
        self.session = session
        self.expiry = expiry
        self.carry = carry
        self.limit = limit
        self.volume = volume
        self.open_interest = open_interest


_FUTURES = (
    _FutureProduct("HXI", "Harbour 50 index future", "IX001.HBX", "IX001.HBX", range(1, 13), 6, 0.2, 300,
                   EQUITY_SESSION, _third_friday, -0.02, 0.10, 60000, 90000),
    _FutureProduct("QK", "Quay copper", "QK.SPOT", None, range(1, 13), 12, 10.0, 5, COMMODITY_SESSION,
                   _fifteenth, 0.03, 0.08, 80000, 120000),
    _FutureProduct("ZV", "Aldmoor Rail stock future", "10001.HBX", "10001.HBX", range(1, 13, 2), 12, 0.01, 1000,
                   EQUITY_SESSION, _third_friday, 0.01, 0.12, 8000, 20000),
)

# Expiry months kept in the listing, relative to the as-of month.
FUTURE_WINDOW = (-6, 6)
FUND_OPTION_WINDOW = (-2, 3)
FUTURE_OPTION_WINDOW = (-1, 3)


def _month_index(day):
    return day.year * 12 + day.month - 1


def _month(index):
    return divmod(index, 12)[0], divmod(index, 12)[1] + 1


def _add_months(day, months):
    year, month = _month(_month_index(day) + months)
    return D(year, month, min(day.day, 28))


def _on_or_after(day):
    return day if cal.is_trading_day(day) else cal.next_trading_day(day)


def _on_or_before(day):
    return day if cal.is_trading_day(day) else cal.previous_trading_day(day)


def _listing_after(day, earliest):
    """The trading day after `day`, not before the trading day after `earliest`."""
    return max(cal.next_trading_day(day), cal.next_trading_day(earliest))


class Universe:
    def __init__(self, asof, last_day, listed, sources, cut=None, revised=()):
        self.asof = asof
        self.last_day = last_day          # last trading day with data (None before the market opened)
        self.listed = listed              # listed instruments, in listing order
        self.by_id = {inst.order_book_id: inst for inst in listed}
        self.market = Market(sources, cut, revised)
        self._table = None


def _equities():
    out = []
    for (oid, symbol, kind, listed, delisted, price, tick, lot, sigma, volume, limit, extra) in _EQUITIES:
        # Indices publish no limit prices; their walk is bounded all the same.
        model = Walk(price, sigma, limit if limit is not None else extra.get("limit_walk"), volume,
                     drift=extra.get("drift", 0.03), suspended=extra.get("suspended", ()), quoted=limit is not None)
        out.append(Instrument(oid, symbol, kind, "HBX", listed, model, de_listed_date=delisted, round_lot=lot,
                              tick_size=tick, underlying_order_book_id=extra.get("underlying"), source=oid))
    return out


def _spots():
    out = []
    for oid, symbol, listed, price, tick, sigma, limit, drift, session in _SPOTS:
        model = Walk(price, sigma, limit, 0.0, drift=drift)
        out.append(Instrument(oid, symbol, T.SPOT, "QFX", listed, model, round_lot=1, tick_size=tick,
                              session=session, source=oid))
    return out


def _futures(product, asof, sources, market):
    here = _month_index(asof)
    out = []
    source = sources.get(product.source)
    if source is None:
        return out
    for index in range(here + FUTURE_WINDOW[0], here + FUTURE_WINDOW[1] + 1):
        year, month = _month(index)
        if month not in product.months:
            continue
        expiry = _on_or_after(product.expiry(year, month))
        listed = _listing_after(_add_months(expiry, -product.lead), source.listed_date)
        if listed >= expiry or listed > asof:
            continue
        oid = "{}{:02d}{:02d}.QFX".format(product.symbol, year % 100, month)
        model = Future(product.source, product.carry, product.limit, product.volume, product.open_interest)
        out.append(Instrument(oid, "{} {:02d}{:02d}".format(product.name, year % 100, month), T.FUTURE, "QFX",
                              listed, model, de_listed_date=expiry, round_lot=1, tick_size=product.tick,
                              contract_multiplier=product.multiplier, underlying_symbol=product.symbol,
                              underlying_order_book_id=product.underlying, session=product.session,
                              source=product.source))
    return out


def _strikes(spot_pips, step_pips, wings=1):
    middle = int(round(spot_pips / step_pips)) * step_pips
    return tuple(middle + k * step_pips for k in range(-wings, wings + 1))


def _fund_options(asof, sources, market, fund_id="51001.HBX", wings=1):
    """Calls and puts on a fund, 2 * wings + 1 strikes around its price at listing."""
    fund = sources.get(fund_id)
    code = fund_id.split(".")[0]
    out = []
    if fund is None:
        return out
    here = _month_index(asof)
    for index in range(here + FUND_OPTION_WINDOW[0], here + FUND_OPTION_WINDOW[1] + 1):
        year, month = _month(index)
        expiry = _on_or_after(_fourth_wednesday(year, month))
        listed = _listing_after(_add_months(expiry, -3), fund.listed_date)
        if listed >= expiry or listed > asof:
            continue
        spot = int(market.prev_closes(fund, cal.between(listed, listed))[0])
        step = 500 if spot < 30000 else 1000  # 0.05 below 3.0, else 0.10
        for strike in _strikes(spot, step, wings):
            for call in (True, False):
                letter = "C" if call else "P"
                oid = "{}{}{:02d}{:02d}K{:05d}.HBX".format(code, letter, year % 100, month, strike // 10)
                symbol = "{} {} {:02d}{:02d} {:.3f}".format(fund.symbol, "call" if call else "put", year % 100,
                                                            month, strike / PIP)
                model = Option(strike, call, 0.20, 3000, 25000)
                out.append(Instrument(oid, symbol, T.OPTION, "HBX", listed, model, de_listed_date=expiry,
                                      round_lot=1, tick_size=0.0001, contract_multiplier=10000,
                                      underlying_symbol=code, underlying_order_book_id=fund_id,
                                      strike_price=strike / PIP, option_type=letter, source=fund_id))
    return out


def _future_options(asof, futures, market, symbol="QK", name="Quay copper", wings=1):
    """Calls and puts on a product's futures contracts, 2 * wings + 1 strikes each."""
    by_id = {inst.order_book_id: inst for inst in futures}
    here = _month_index(asof)
    out = []
    for index in range(here + FUTURE_OPTION_WINDOW[0], here + FUTURE_OPTION_WINDOW[1] + 1):
        year, month = _month(index + 1)  # options of month M are on the contract of month M + 1
        underlying = by_id.get("{}{:02d}{:02d}.QFX".format(symbol, year % 100, month))
        if underlying is None:
            continue
        opt_year, opt_month = _month(index)
        expiry = _on_or_before(D(opt_year, opt_month, 25))
        listed = _listing_after(_add_months(expiry, -4), underlying.listed_date)
        if listed >= expiry or listed > asof:
            continue
        spot = int(market.prev_closes(underlying, cal.between(listed, listed))[0])
        step = 1000 * PIP if spot >= 20000 * PIP else 100 * PIP
        for strike in _strikes(spot, step, wings):
            for call in (True, False):
                letter = "C" if call else "P"
                oid = "{}{:02d}{:02d}{}{}.QFX".format(symbol, year % 100, month, letter, strike // PIP)
                text = "{} {:02d}{:02d} {} {}".format(name, year % 100, month, "call" if call else "put",
                                                      strike // PIP)
                model = Option(strike, call, 0.18, 1500, 12000)
                out.append(Instrument(oid, text, T.OPTION, "QFX", listed, model, de_listed_date=expiry,
                                      round_lot=1, tick_size=1.0, contract_multiplier=5, underlying_symbol=symbol,
                                      underlying_order_book_id=underlying.order_book_id,
                                      session=COMMODITY_SESSION, source=underlying.order_book_id))
    return out


def build(asof, cut=None, factor=None, revised=()):
    """The universe as of a date: what is listed then, and the price sources behind it.

    `cut`: the minute of the as-of day up to which it is served (None: whole);
    `factor`: the share of the full market's generated instruments listed
    beside the demo's (None: none); `revised`: the days served corrected.
    """
    last_day = cal.last_trading_day_on_or_before(asof)
    equities = _equities()
    sources = {inst.order_book_id: inst for inst in equities + _spots()}
    market = Market(sources)
    listed = [inst for inst in equities if last_day is not None and inst.listed_date <= last_day]
    if last_day is not None:
        futures = []
        for product in _FUTURES:
            futures += _futures(product, last_day, sources, market)
        sources.update((inst.order_book_id, inst) for inst in futures)
        options = _fund_options(last_day, sources, market) + _future_options(last_day, futures, market)
        sources.update((inst.order_book_id, inst) for inst in options)
        listed += futures + options
        if factor:
            from . import _full
            listed += _full.instruments(last_day, factor, sources, market)
    if cut is not None:
        cut = (cal.to_day64(asof), cal.to_day64(asof).astype("datetime64[ns]").astype("int64") + cut * 60 * 10 ** 9)
    return Universe(asof, last_day, listed, sources, cut, revised)
