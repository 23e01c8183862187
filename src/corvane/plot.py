"""Pictures of one instrument's file: minute bars over a range, or one tick day.

matplotlib draws with the Agg backend, so no display is needed.  The x axis
counts records, not wall-clock time: nights, weekends and lunch breaks would
otherwise take most of the picture.  Its labels say the dates (or times).
"""
import os

import h5py
# At load, so that a missing `corvane[plot]` is found before any file is read.
import matplotlib
import numpy as np

from corvane import bundle_files as files
from corvane.formats import DATA, INDEX

DEFAULT_DAYS = 20
# Candles while each keeps this many pixels of width; beyond, a close line.
CANDLE_PIXELS = 4
FORMATS = (".png", ".svg")
DPI = 100
UP, DOWN = "#c0392b", "#1e8449"


def _pyplot():
    # Chosen before pyplot loads: never a display, also where one exists.
    matplotlib.use("Agg", force=True)
    from matplotlib import pyplot
    return pyplot


def check_output(out):
    """Refuse an output file whose format or directory cannot be written."""
    extension = os.path.splitext(out)[1].lower()
    if extension not in FORMATS:
        raise files.BundleError("{}: the image format comes from the extension, one of {}".format(
            out, ", ".join(FORMATS)))
    directory = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(directory):
        raise files.BundleError("{}: directory {} does not exist".format(out, directory))


def select_days(dates, start=None, end=None, count=DEFAULT_DAYS):
    """Index rows of the trading dates to draw: those from `start` to `end`, or the last `count`."""
    dates = np.asarray(dates, dtype=np.int64)
    if start is None and end is None:
        return np.arange(max(len(dates) - count, 0), len(dates))
    keep = np.ones(len(dates), dtype=bool)
    if start is not None:
        keep &= dates >= start
    if end is not None:
        keep &= dates <= end
    return np.flatnonzero(keep)


def read_bars(h5_file, start=None, end=None):
    """(table of the bars, their trading dates per bar) over the chosen days."""
    with h5py.File(h5_file, "r") as h5:
        if INDEX not in h5 or DATA not in h5:
            raise files.BundleError("{} holds no bars".format(h5_file))
        index, data = h5[INDEX][()], h5[DATA]
        chosen = select_days(index["date"], start, end)
        if not len(chosen):
            raise files.BundleError("{} holds no bars from {} to {}".format(
                h5_file, start or "the first day", end or "the last day"))
        line_no = index["line_no"].astype(np.int64)
        stops = np.append(line_no[1:], len(data))
        first, stop = int(line_no[chosen[0]]), int(stops[chosen[-1]])
        table = files.bars_table(data[first:stop])
        per_bar = np.repeat(index["date"][chosen], stops[chosen] - line_no[chosen])
    return table, per_bar


def read_tick_day(h5_file, day, scales):
    with h5py.File(h5_file, "r") as h5:
        name = "{:08d}".format(day)
        if name not in h5:
            raise files.BundleError("{} holds no ticks of {}".format(h5_file, name))
        return files.ticks_table(h5[name][()], scales)


def _date_labels(per_bar, most=8):
    """(position, "YYYY-MM-DD") at the first bar of evenly spread trading dates."""
    starts = np.flatnonzero(np.r_[True, per_bar[1:] != per_bar[:-1]])
    step = max(1, int(np.ceil(len(starts) / most)))
    return [(int(at), "{:04d}-{:02d}-{:02d}".format(d // 10000, d // 100 % 100, d % 100))
            for at, d in ((at, int(per_bar[at])) for at in starts[::step])]


def _time_labels(stamps, most=8):
    step = max(1, int(np.ceil(len(stamps) / most)))
    return [(at, stamps[at].strftime("%H:%M")) for at in range(0, len(stamps), step)]


def _figure(size):
    pyplot = _pyplot()
    width, height = size
    figure, (price, volume) = pyplot.subplots(
        2, 1, sharex=True, figsize=(width / DPI, height / DPI), dpi=DPI,
        gridspec_kw={"height_ratios": [3, 1]})
    return pyplot, figure, price, volume


def _finish(pyplot, figure, price, volume, title, labels, out):
    price.set_title(title)
    volume.set_xticks([at for at, _ in labels])
    volume.set_xticklabels([text for _, text in labels], rotation=0)
    price.grid(True, alpha=0.3)
    volume.grid(True, alpha=0.3)
    figure.tight_layout()
    # No tight bounding box: the image must keep the size asked for.
    figure.savefig(out, dpi=DPI)
    pyplot.close(figure)


def _candles(axes, table):
    x = np.arange(len(table))
    o, h, lo, c = (table[name].to_numpy() for name in ("open", "high", "low", "close"))
    colours = np.where(c >= o, UP, DOWN)
    axes.vlines(x, lo, h, colors=colours, linewidth=0.8)
    axes.bar(x, np.maximum(np.abs(c - o), 1e-12), bottom=np.minimum(o, c), color=colours, width=0.7)


def draw_bars(table, per_bar, order_book_id, out, size):
    """Price (candles when few, a close line otherwise) over a volume panel."""
    pyplot, figure, price, volume = _figure(size)
    x = np.arange(len(table))
    if len(table) <= size[0] // CANDLE_PIXELS:
        _candles(price, table)
        shown = "candles"
    else:
        price.plot(x, table["close"].to_numpy(), linewidth=0.8, color="#1f4e79")
        shown = "close"
    price.set_ylabel("price")
    volume.bar(x, table["volume"].to_numpy(), width=1.0, color="#7f8c8d")
    volume.set_ylabel("volume")
    days = np.unique(per_bar)
    title = "{}: minute bars ({}), {} trading day(s) {} to {}, {} bars".format(
        order_book_id, shown, len(days), days[0], days[-1], len(table))
    labels = _date_labels(per_bar) if len(days) > 1 else _time_labels(table.index)
    _finish(pyplot, figure, price, volume, title, labels, out)
    return title


def _traded(volume):
    """Per-tick volume: the differences when the stored volume is the day's running total."""
    if len(volume) and (np.diff(volume) >= 0).all():
        return np.diff(volume, prepend=0), "volume traded"
    return volume, "volume"


def draw_ticks(table, order_book_id, day, out, size):
    """Last price with bid1 and ask1 over a volume panel."""
    pyplot, figure, price, volume = _figure(size)
    x = np.arange(len(table))
    for column, colour, label in (("b1", "#1e8449", "bid1"), ("a1", "#c0392b", "ask1"),
                                  ("last", "#1f4e79", "last")):
        values = table[column].to_numpy(dtype=np.float64)
        # A side without a quote is stored as 0: a gap, not a plunge.
        price.plot(x, np.where(values > 0, values, np.nan), linewidth=0.7, color=colour, label=label)
    price.legend(loc="upper left")
    price.set_ylabel("price")
    traded, label = _traded(table["volume"].to_numpy(dtype=np.float64))
    volume.bar(x, traded, width=1.0, color="#7f8c8d")
    volume.set_ylabel(label)
    title = "{}: ticks of {}, {} ticks".format(order_book_id, day, len(table))
    labels = _time_labels(table.index) if len(table) else []
    _finish(pyplot, figure, price, volume, title, labels, out)
    return title
