"""Fakes shared by the tests of the module surface, selection, drivers and CLI.

The fake client serves three listings of a small invented market and logs
every call; the recording pool logs what a driver does with it.  Tests put
them in place by rebinding `corvane.bundle.lumenfeed` and
`corvane.bundle.ProgressedProcessPoolExecutor`, which the module reads at
call time.
"""
from itertools import chain

import pandas as pd
import pytest

COLUMNS = ["order_book_id", "type", "underlying_symbol", "underlying_order_book_id"]


def fake_market():
    """(listed, futures_only, options_only): rows of a small invented market.

    Built on demand so that collecting the other test modules does not need
    corvane.bundle to load.
    """
    import corvane.bundle as bundle

    T = bundle.INSTRUMENT_TYPE
    # A type the bundle does not store, whatever the framework calls it.
    unstored = next(m for m in T if m not in set(chain.from_iterable(bundle.TAG_MAP.values())))
    listed = [
        ("ST001", T.CS, None, None),
        ("ST002", T.CS, None, None),
        ("ET001", T.ETF, None, None),
        ("LF001", T.LOF, None, None),
        ("IX001", T.INDX, None, None),
        ("CV001", T.CONVERTIBLE, None, None),
        ("QZ.2601", T.FUTURE, "QZ", "IX001"),
        ("QZ.2602", T.FUTURE, "QZ", "IX001"),
        ("WV.2601", T.FUTURE, "WV", "ST001"),
        ("OP.ET001.C1", T.OPTION, None, "ET001"),
        ("OP.ST001.C1", T.OPTION, None, "ST001"),
        ("OP.QZ2601.C1", T.OPTION, None, "QZ.2601"),
        ("OP.WV2601.C1", T.OPTION, None, "WV.2601"),
        ("RP001", unstored, None, None),
    ]
    # In the type listings but not in the listing of all instruments.
    futures_only = [("WV.2609", T.FUTURE, "WV", "ST001")]
    options_only = [("OP.ET001.P9", T.OPTION, None, "ET001")]
    return listed, futures_only, options_only


# How a listing may hold its cells: the types as the framework's members or
# as their text, in object columns or in pandas' string dtype (missing
# cells then being NA rather than None).
LISTING_FORMS = ("members", "text", "string dtype")


def listing(rows, form):
    df = pd.DataFrame(rows, columns=COLUMNS)
    if form == "members":
        return df.astype(object)
    df["type"] = pd.Series([str(value) for value in df["type"]], dtype=object)
    return df.astype(object if form == "text" else "string")


class FakeClient:
    """The market-data client's three listings, with a log of the calls made."""

    def __init__(self, fail=None, form="members"):
        self.calls = []
        self.fail = fail
        self.form = form
        self.listed, self.futures_only, self.options_only = fake_market()
        self.future_type = self.futures_only[0][1]

    def all_instruments(self, *args, **kwargs):
        self.calls.append(("all_instruments", args, kwargs))
        if self.fail is not None:
            raise self.fail
        if not args:
            return listing(self.listed, self.form)
        wanted = args[0]
        extra = self.futures_only if wanted == self.future_type else self.options_only
        return listing([row for row in self.listed if row[1] == wanted] + extra, self.form)

    def init(self):
        self.calls.append(("init", (), {}))


class Recorder:
    """Collects events from echo, the pool and the jobs in one ordered list."""

    def __init__(self):
        self.events = []
        self.pools = []

    def echo(self, *args, **kwargs):
        self.events.append(("echo", args, kwargs))

    def pool_class(self, *args, **kwargs):
        pool = RecordingPool(self, args, kwargs)
        self.pools.append(pool)
        self.events.append(("pool", args, list(kwargs.items())))
        return pool

    @property
    def lines(self):
        return [args[0] for kind, args, _ in self.events if kind == "echo"]


class RecordingPool:
    def __init__(self, recorder, args, kwargs):
        self.recorder = recorder
        self.submits = []

    def __enter__(self):
        self.recorder.events.append(("enter",))
        return self

    def submit(self, fn, *args, **kwargs):
        self.submits.append((fn, args, kwargs))
        self.recorder.events.append(("submit", fn, args, kwargs))
        return object()

    def __exit__(self, *exc):
        self.recorder.events.append(("exit", exc[0]))
        return False


@pytest.fixture
def client(monkeypatch):
    import corvane.bundle as bundle

    fake = FakeClient()
    monkeypatch.setattr(bundle, "lumenfeed", fake)
    return fake


@pytest.fixture
def recorder(monkeypatch):
    """Rebinds the module's console and pool to a recorder."""
    import corvane.bundle as bundle

    rec = Recorder()
    monkeypatch.setattr(bundle, "click", rec)
    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor", rec.pool_class)
    return rec
