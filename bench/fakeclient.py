"""A market-data client that serves frames fetched before the clock starts.

The benchmark times the job, not the demo market: it asks the stand-in
client for everything first, keeps the DataFrames, and hands them to both
implementations through this object, which answers the calls a job makes.
"""
import bisect
import datetime
from collections import deque

import numpy as np
import pandas as pd


def day_int(value):
    """A date in any form the client accepts -> int YYYYMMDD."""
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, str):
        return int(value.replace("-", "")[:8])
    if isinstance(value, datetime.date):
        return value.year * 10000 + value.month * 100 + value.day
    stamp = pd.Timestamp(value)
    return stamp.year * 10000 + stamp.month * 100 + stamp.day


def int_to_date(value):
    return datetime.date(value // 10000, value // 100 % 100, value % 100)


class FakeClient:
    """Answers a job's client calls from pre-fetched data.

    Each answer is registered under (order_book_id, frequency, start day)
    and handed out once: jobs add columns to the frame they get, so no frame
    may reach two jobs, and copying one inside the timed job would be timed.
    """

    def __init__(self, records, calendar, listing=None):
        self._records = dict(records)
        self._calendar = sorted(day_int(d) for d in calendar)
        self._listing = listing
        self._answers = {}

    def put(self, order_book_id, frequency, start, frame):
        """Register `frame` (or None) as the next answer to that request."""
        key = (order_book_id, frequency, day_int(start))
        self._answers.setdefault(key, deque()).append(frame)

    def init(self):
        pass

    def instruments(self, order_book_id):
        return self._records.get(order_book_id)

    def all_instruments(self, type=None):
        listing = self._listing
        if type is not None:
            # Cell by cell, as pyarrow-backed strings refuse to compare with an enum member.
            listing = listing[[cell == type for cell in listing["type"]]]
        return listing.copy()

    def get_next_trading_date(self, date):
        day = day_int(date)
        at = bisect.bisect_right(self._calendar, day)
        if at == len(self._calendar):
            raise KeyError("benchmark calendar ends before the day after %s" % day)
        return int_to_date(self._calendar[at])

    def get_price(self, order_book_ids, start_date=None, end_date=None, frequency="1d",
                  fields=None, adjust_type="pre", skip_suspended=False, expect_df=False):
        key = (order_book_ids, frequency, day_int(start_date))
        queue = self._answers.get(key)
        if not queue:
            raise KeyError("benchmark client has no (more) {1} data for {0} from {2}".format(*key))
        return queue.popleft()
