"""Pictures of one instrument's file: minute bars over a range, or one tick day.

matplotlib draws with the Agg backend, so no display is needed.  The x axis
counts candles, not wall-clock time: nights, weekends and lunch breaks would
otherwise take most of the picture.  Its labels sit at round times.

Bars are drawn as candles of the finest period (1 minute up to a year) of
which the range holds few enough to see, so a picture costs the same for a
day as for twenty years; the range is read and resampled a slice of
trading dates at a time, so memory stays that of one slice.
"""

# At load, so that a missing `corvane[plot]` is found before any file is read.
import matplotlib  # noqa: F401
import numpy as np

from corvane import layout as files
from corvane.look import candles
from corvane import read

__all__ = ["plot_bars", "draw_bars", "read_tick_day", "draw_ticks", "check_output", "check_size",
           "COLOURS", "DEFAULT_COLOURS"]

# Pixels each x-axis label needs beside the next.
LABEL_PIXELS = 90
FORMATS = (".png", ".svg")
DPI = 100
# An image larger than this is refused before anything is drawn: the raster
# alone would take 4 bytes a pixel.
MAX_SIDE = 10000
MAX_PIXELS = 25_000_000
RED, GREEN = "#c0392b", "#1e8449"
# (up, down) colours of each convention.  The framework's market draws a rise
# red, and so does the default; "green-up" is the other convention.
COLOURS = {"red-up": (RED, GREEN), "green-up": (GREEN, RED)}
DEFAULT_COLOURS = "red-up"
NIGHT = "#d6dbdf"
# Ticks further apart than this mark a break (lunch, or between sessions).
TICK_BREAK_MINUTES = 10



def _new_figure(width, height):
    # A bare Figure on the Agg canvas: never a display, and without loading pyplot's backends.
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    figure = Figure(figsize=(width / DPI, height / DPI), dpi=DPI)
    FigureCanvasAgg(figure)
    return figure


def check_output(out):
    """Refuse an output file whose format or directory cannot be written."""
    files.check_output(out, FORMATS, "the image format")


def check_size(size):
    """Refuse an image size that would take more memory than any screen can show."""
    width, height = size
    if max(width, height) > MAX_SIDE or width * height > MAX_PIXELS:
        raise files.BundleError("--size {} {}: at most {} pixels a side and {:,} pixels in all".format(
            width, height, MAX_SIDE, MAX_PIXELS))


# ---------------------------------------------------------------- drawing

def _figure(size):
    figure = _new_figure(*size)
    price, volume = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    return figure, price, volume


def _finish(figure, price, volume, title, labels, out):
    from matplotlib.ticker import StrMethodFormatter
    price.set_title(title)
    volume.set_xticks([at for at, _ in labels])
    volume.set_xticklabels([text for _, text in labels], rotation=0)
    # Thousands separated, never an offset or a power of ten beside the axis.
    price.yaxis.set_major_formatter(StrMethodFormatter("{x:,g}"))
    volume.yaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    price.grid(True, axis="y", alpha=0.3)
    volume.grid(True, axis="y", alpha=0.3)
    figure.tight_layout()
    # No tight bounding box: the image must keep the size asked for.
    figure.savefig(out, dpi=DPI)


def _boxes(x, bottom, top, width):
    """Rectangles as (n, 4, 2) vertices, for one PolyCollection instead of a patch each."""
    left, right = x - width / 2, x + width / 2
    return np.stack([np.c_[left, bottom], np.c_[left, top], np.c_[right, top], np.c_[right, bottom]], axis=1)


def _bars_collection(axes, x, heights, colours, width):
    from matplotlib.collections import PolyCollection
    boxes = PolyCollection(_boxes(x, np.zeros(len(x)), heights, width), facecolors=colours,
                           edgecolors=colours, linewidths=0.3)
    axes.add_collection(boxes)
    axes.set_xlim(-0.5 - 0.01 * len(x), len(x) - 0.5 + 0.01 * len(x))
    axes.set_ylim(0, max(float(np.max(heights)), 1.0) * 1.05 if len(x) else 1.0)


def up_down(colours):
    """(up, down) colours of the convention `colours`; ValueError naming the conventions otherwise."""
    if colours not in COLOURS:
        raise ValueError("colours {!r}: one of {}".format(colours, ", ".join(COLOURS)))
    return COLOURS[colours]


def _candle_colours(drawn, colours):
    up, down = up_down(colours)
    return np.where(drawn["close"] >= drawn["open"], up, down)


def _candles(axes, drawn, colours):
    from matplotlib.collections import PolyCollection
    x = np.arange(len(drawn["open"]), dtype=np.float64)
    o, h, lo, c = (drawn[name] for name in ("open", "high", "low", "close"))
    colours = _candle_colours(drawn, colours)
    axes.vlines(x, lo, h, colors=colours, linewidth=0.8)
    # A flat candle keeps its edge: a line where open and close meet.
    bodies = PolyCollection(_boxes(x, np.minimum(o, c), np.maximum(o, c), 0.7), facecolors=colours,
                            edgecolors=colours, linewidths=0.6)
    axes.add_collection(bodies)
    low, high = float(np.min(lo)), float(np.max(h))
    pad = (high - low) * 0.05 or abs(high) * 0.01 or 1.0
    axes.set_ylim(low - pad, high + pad)


def _night(starts):
    """Whether each intraday candle begins in the evening or the small hours."""
    hour = starts // (60 * candles.MINUTE) % 24
    return (hour >= 18) | (hour < 6)


def _runs(mask):
    """(first, length) of the runs of True in `mask`."""
    edges = np.diff(np.r_[0, mask.astype(np.int8), 0])
    first, stop = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    return list(zip(first.tolist(), (stop - first).tolist()))


def _sessions(price, volume, drawn, minutes, width):
    """Shade the night session; a line where a trading date begins, a dotted one at a break."""
    starts, dates = drawn["start"], drawn["date"]
    night = _night(starts)
    if night.any():
        for axes in (price, volume):
            axes.broken_barh([(first - 0.5, length) for first, length in _runs(night)], (0, 1),
                             transform=axes.get_xaxis_transform(), facecolors=NIGHT, alpha=0.6,
                             label="night session" if axes is price else None, zorder=0)
    new_day = np.flatnonzero(dates[1:] != dates[:-1]) + 1
    gap = np.flatnonzero(np.diff(starts) > minutes * candles.MINUTE) + 1
    breaks = np.setdiff1d(gap, new_day)
    room = width / 8
    for axes in (price, volume):
        if len(new_day) <= room:
            axes.vlines(new_day - 0.5, 0, 1, transform=axes.get_xaxis_transform(), colors="#7f8c8d",
                        linewidth=0.6, zorder=0.5)
        if len(breaks) + len(new_day) <= room:
            axes.vlines(breaks - 0.5, 0, 1, transform=axes.get_xaxis_transform(), colors="#95a5a6",
                        linewidth=0.8, linestyles="dotted", zorder=0.5)


def _date_text(day, with_year=True):
    day = int(day)
    text = "{:02d}-{:02d}".format(day // 100 % 100, day % 100)
    return "{:04d}-{}".format(day // 10000, text) if with_year else text


def _clock(stamp):
    minutes = int(stamp // candles.MINUTE % 1440)
    return "{:02d}:{:02d}".format(minutes // 60, minutes % 60)


def _intraday_labels(starts, dates, minutes, unit):
    """Labels at round `unit` minutes, and at each trading date's first candle when there are several.

    A round time labels the candle (of `minutes`) that holds it: after a
    break the first candle may begin later, and then it is not labelled.
    """
    several = len(dates) and dates[0] != dates[-1]
    new_day = np.r_[True, dates[1:] != dates[:-1]] if several else np.zeros(len(dates), dtype=bool)
    floors = starts // (unit * candles.MINUTE)
    holds = starts - floors * unit * candles.MINUTE < minutes * candles.MINUTE
    round_time = np.r_[True, floors[1:] != floors[:-1]] & holds & ~new_day
    labels = []
    for at in np.flatnonzero(new_day | round_time):
        if new_day[at]:
            labels.append((at, _date_text(dates[at], at == 0 or dates[at] // 10000 != dates[0] // 10000)))
        else:
            labels.append((at, _clock(floors[at] * unit * candles.MINUTE)))
    return labels


def _calendar_labels(dates, unit, step=1):
    """Labels at the first candle of each `unit` (a week, a month, ... `step` of them at a time)."""
    key = candles.calendar_key(unit, dates) // step
    new = np.flatnonzero(np.r_[unit == "daily", key[1:] != key[:-1]])
    if unit in ("daily", "weekly"):
        return [(at, _date_text(dates[at], at == new[0] or dates[at] // 10000 != dates[at - 1] // 10000))
                for at in new]
    if unit == "yearly":
        return [(at, "{}".format(dates[at] // 10000)) for at in new]
    return [(at, "{}-{:02d}".format(dates[at] // 10000, dates[at] // 100 % 100)) for at in new]


def _spaced(labels, gap):
    """The labels less those closer than `gap` candles to another (after a break), dates kept first."""
    kept = []
    for dates_first in (True, False):
        for at, text in labels:
            if (text[2] == ":") != dates_first and all(abs(at - other) >= gap for other, _ in kept):
                kept.append((at, text))
    return sorted(kept)


def time_labels(starts, dates, minutes, width):
    """(position, text) of the x-axis labels for `width` pixels, at the roundest times that fit."""
    starts, dates = np.asarray(starts, dtype=np.int64), np.asarray(dates, dtype=np.int64)
    choices = []
    if minutes:
        choices += [_intraday_labels(starts, dates, minutes, unit)
                    for unit in (5, 15, 30, 60, 120, 240) if unit >= minutes and unit % minutes == 0]
    choices += [_calendar_labels(dates, unit) for unit in ("daily", "weekly", "monthly", "quarterly")]
    choices += [_calendar_labels(dates, "yearly", step) for step in (1, 2, 5, 10, 20, 50)]
    most = max(2, width // LABEL_PIXELS)
    gap = len(starts) * LABEL_PIXELS * 0.75 / max(width - candles.MARGIN_PIXELS, 1)
    for labels in choices:
        if len(labels) <= most:
            return [(at - 0.5, text) for at, text in _spaced(labels, gap)]
    return []


def _legend(price, colours):
    """The up and down colours first, then whatever else is named (the night session)."""
    from matplotlib.patches import Patch
    up, down = up_down(colours)
    handles = [Patch(color=up, label="up: close \u2265 open"), Patch(color=down, label="down: close < open")]
    price.legend(handles=handles + price.get_legend_handles_labels()[0], loc="upper left", fontsize="small")


def draw_bars(drawn, period, order_book_id, out, size, dates, colours=DEFAULT_COLOURS):
    """Candles of `period` (of the trading `dates`) over a volume panel, the night session shaded.

    `colours` is "red-up" (a rise red, a fall green: the default) or "green-up".
    """
    figure, price, volume = _figure(size)
    minutes = dict(candles.PERIODS)[period]
    _candles(price, drawn, colours)
    x = np.arange(len(drawn["volume"]), dtype=np.float64)
    _bars_collection(volume, x, drawn["volume"], _candle_colours(drawn, colours), 0.8)
    if minutes:
        _sessions(price, volume, drawn, minutes, size[0])
    _legend(price, colours)
    price.set_ylabel("price")
    volume.set_ylabel("volume")
    title = "{}: {} candles, {} trading day(s) {} to {}, {:,} bars".format(
        order_book_id, period, len(dates), dates[0], dates[-1], int(np.sum(drawn["bars"])))
    labels = time_labels(drawn["start"], drawn["date"], minutes, size[0])
    _finish(figure, price, volume, title, labels, out)
    return title


def plot_bars(path, order_book_id, out, size, start=None, end=None, colours=DEFAULT_COLOURS, as_of=None):
    """Draw the bars of trading dates `start`..`end` (the last 20 by default); the title.

    `colours`: "red-up" (the default) or "green-up", as `draw_bars`.  `as_of`:
    the bars a version held (its id, a tag or a time), as `corvane.read` reads them.
    """
    up_down(colours)
    dates, rows = candles.chosen_days(path, order_book_id, start, end, as_of)
    period = candles.choose_period(dates, rows, size[0])
    drawn = candles.candles(path, order_book_id, dates, rows, period, as_of)
    if not len(drawn["key"]):
        raise files.BundleError("{} holds no bars from {} to {}".format(
            order_book_id, start or "the first day", end or "the last day"))
    return draw_bars(drawn, period, order_book_id, out, size, dates, colours)


# ---------------------------------------------------------------- ticks

def read_tick_day(path, order_book_id, day, as_of=None):
    """The ticks of `day` (as the version `as_of` held them); BundleError when there are none."""
    table = read.ticks(path, order_book_id, day, day, as_of=as_of)
    if not len(table):
        raise files.BundleError("{} holds no ticks of {}{}".format(
            order_book_id, day, "" if as_of is None else " as of {}".format(as_of)))
    return table


def _traded(volume):
    """Per-tick volume: the differences when the stored volume is the day's running total."""
    if len(volume) and (np.diff(volume) >= 0).all():
        return np.diff(volume, prepend=0), "volume traded"
    return volume, "volume"


def draw_ticks(table, order_book_id, day, out, size):
    """Last price with bid1 and ask1 over a volume panel."""
    figure, price, volume = _figure(size)
    x = np.arange(len(table), dtype=np.float64)
    for column, colour, label in (("b1", GREEN, "bid1"), ("a1", RED, "ask1"),
                                  ("last", "#1f4e79", "last")):
        values = table[column].to_numpy(dtype=np.float64)
        # A side without a quote is stored as 0: a gap, not a plunge.
        price.plot(x, np.where(values > 0, values, np.nan), linewidth=0.7, color=colour, label=label)
    price.set_ylabel("price")
    traded, label = _traded(table["volume"].to_numpy(dtype=np.float64))
    # More ticks than pixel columns: one bar per column, the volume of the ticks it spans.
    per_bar = max(1, int(np.ceil(len(x) * candles.CANDLE_PIXELS / max(size[0] - candles.MARGIN_PIXELS, 1))))
    firsts = np.arange(0, len(x), per_bar)
    _bars_collection(volume, firsts + (np.minimum(firsts + per_bar, len(x)) - firsts - 1) / 2,
                     np.add.reduceat(traded, firsts) if len(x) else traded, "#7f8c8d", per_bar * 0.8)
    volume.set_xlim(-0.5, len(x) - 0.5)
    volume.set_ylabel(label if per_bar == 1 else "{}\nper {} ticks".format(label, per_bar))
    title = "{}: ticks of {}, {:,} ticks".format(order_book_id, day, len(table))
    stamps = table.index.to_numpy().astype("datetime64[ns]").astype(np.int64)
    dates = table["trading_date"].to_numpy(dtype=np.int64)
    labels = []
    if len(table):
        # The x axis counts ticks: a break or the night shows only as marked.
        _sessions(price, volume, {"start": stamps, "date": dates}, TICK_BREAK_MINUTES, size[0])
        labels = time_labels(stamps, dates, 1, size[0])
    price.legend(loc="upper left", fontsize="small")
    _finish(figure, price, volume, title, labels, out)
    return title
