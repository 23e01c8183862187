"""Draw 5-minute bars of a futures contract across its night session and its breaks.

    .venv/bin/python docs/session_bars.py MINBAR_ROOT ORDER_BOOK_ID TRADING_DATE OUT.png

One trading date: the night session of the evening before, the morning, its
pause and the afternoon.  The minute bars' closes are the grey line, each
5-minute bar of `read.bars(..., freq="5min")` a candle over the minutes it
holds; the x axis counts stored minutes, so a break takes no room and is a
dashed line, named with the clock times on either side.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from corvane import read  # noqa: E402
from corvane.read import sessions  # noqa: E402


def draw(root, order_book_id, day, out):
    minutes = read.bars(root, order_book_id, day, day)
    bars = read.bars(root, order_book_id, day, day, freq="5min")
    times = minutes.index.values
    starts = np.flatnonzero(sessions.session_starts(times, minutes["trading_date"].to_numpy()))
    # The position of each 5-minute bar: the minutes it holds, found by its closing stamp.
    last = np.searchsorted(times, bars.index.values, side="right") - 1
    first = np.append(0, last[:-1] + 1)
    first = np.maximum(first, starts[np.searchsorted(starts, last, side="right") - 1])

    figure, axes = plt.subplots(figsize=(13, 5.5), dpi=100)
    axes.plot(np.arange(len(minutes)), minutes["close"].to_numpy(), color="0.7", linewidth=0.8,
              label="1-minute close")
    for k, (a, b) in enumerate(zip(first, last)):
        row = bars.iloc[k]
        colour = "tab:red" if row["close"] >= row["open"] else "tab:green"
        axes.vlines((a + b) / 2, row["low"], row["high"], color=colour, linewidth=0.8)
        axes.add_patch(plt.Rectangle((a - 0.4, min(row["open"], row["close"])), b - a + 0.8,
                                     max(abs(row["close"] - row["open"]), 1e-9), color=colour, alpha=0.8))
    top = minutes["high"].max()
    for position in starts[1:]:
        axes.axvline(position - 0.5, color="k", linestyle="--", linewidth=0.8)
        axes.annotate("{} | {}".format(minutes.index[position - 1].strftime("%H:%M"),
                                       minutes.index[position].strftime("%H:%M")),
                      (position - 0.5, top), ha="center", va="bottom", fontsize=8)
    labels = [k for k in range(0, len(minutes), 30)]
    axes.set_xticks(labels, [minutes.index[k].strftime("%m-%d\n%H:%M") for k in labels], fontsize=8)
    axes.set_xlim(-2, len(minutes) + 1)
    axes.set_title("{}: 5-minute bars of trading date {}, night session of {} first; a bar never spans a "
                   "break".format(order_book_id, day, minutes.index[0].strftime("%Y-%m-%d")), fontsize=10)
    axes.set_ylabel("price")
    axes.legend(loc="lower left", fontsize=8)
    figure.tight_layout()
    figure.savefig(out)
    return len(bars), len(starts)


if __name__ == "__main__":
    root, order_book_id, day, out = sys.argv[1:5]
    count, parts = draw(root, order_book_id, int(day), out)
    print("{}: {} five-minute bars in {} sessions".format(out, count, parts))
