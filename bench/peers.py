"""corvane beside ArcticDB and Parquet on the same bars of the demo market, in one run.

    .venv/bin/python bench/peers.py [--years 20] [--instruments 200] [--repeat 3]
                                    [--market 0.05] [--dir DIR]

The stand-in client's bars are fetched once, before any clock starts, and
every store is handed the same frames:

  first fill      --years of one stock (the market's oldest), and
                  --instruments stocks x the year before the as-of day;
  daily append    the as-of day added to each of those instruments (Parquet
                  two ways: the file rewritten, and a file a day);
  reads           the last year of the long stock, all of it, and every
                  instrument's year (with its day), as one table each;
  as of           the instruments as the first fill left them, after the
                  daily append: corvane `read.bars_many(..., as_of=V)`, V the
                  fill's version; ArcticDB a read `as_of` each symbol's first
                  version; Parquet keeps no versions ("-");
  bytes on disk   allocated blocks of all each store keeps, its history too.

corvane writes through its own update run (`run.update`, jobs in this
process, its version committed), like bench/market.py's first fill and
daily update but with the stand-in's answers fetched beforehand, as
bench/workloads.py does.  ArcticDB: an LMDB library, a symbol per
instrument, its batch calls for many instruments.  Parquet: pyarrow, zstd,
a file an instrument.  Every write starts from the client's frames; every
read ends in a pandas table, checked to hold the same bars in every store.

The stores take turns run by run (the order turning); a figure is the median
over --repeat runs of wall-clock and of CPU seconds (all threads of the
process).  A ratio is the peer's figure over corvane's: above 1, corvane is
faster (or smaller).  On a shared machine the wall clock mostly measures the
wait for a core: read the CPU ratios there.
"""
import argparse
import collections
import gc
import os
import shutil
import statistics
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import filesystem  # noqa: E402
import peers_stores as stores  # noqa: E402

ASOF = 20261207            # the demo market's day: the daily append adds it
YEAR_DAYS = 242
PEERS = ("ArcticDB", "Parquet")
Market = collections.namedtuple("Market", "long_id long_since long_frame ids fill day since records calendar listing")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--years", type=int, default=20, help="years of the long stock (default: %(default)s)")
    parser.add_argument("--instruments", type=int, default=200, help="stocks of a year each (default: %(default)s)")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs of each store (default: %(default)s)")
    parser.add_argument("--market", default="0.05", help="LUMENFEED_MARKET of the stand-in (default: %(default)s)")
    parser.add_argument("--dir", help="where the stores go (default: a temporary directory, removed)")
    args = parser.parse_args(argv)
    if args.years < 1 or args.instruments < 1 or args.repeat < 1:
        parser.error("--years, --instruments and --repeat take 1 or more")
    return args


# ---------------------------------------------------------------- the bars

def day_int(stamp):
    return stamp.year * 10000 + stamp.month * 100 + stamp.day


def fetch(client, oid, start, end):
    frame = client.get_price(oid, start_date=start, end_date=end, frequency="1m", adjust_type="none",
                             expect_df=True)
    return None if frame is None or not len(frame) else frame


def market(years, instruments, scale):
    """The bars every store is handed, from the stand-in at `scale`."""
    os.environ.update(LUMENFEED_ASOF=str(ASOF), LUMENFEED_MARKET=scale, LUMENFEED_LATENCY_MS="0")
    import lumenfeed
    from vesper.const import INSTRUMENT_TYPE
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    days = [day_int(d) for d in lumenfeed.get_trading_dates(20000101, ASOF)]
    year = days[-1 - YEAR_DAYS:-1]
    listing = lumenfeed.all_instruments()
    stocks = listing[[cell == INSTRUMENT_TYPE.CS for cell in listing["type"]]]
    stocks = stocks.assign(listed=[day_int(d) for d in stocks["listed_date"]]).sort_values(["listed", "order_book_id"])
    long_id = stocks["order_book_id"].iloc[0]
    since = min(d for d in days if d >= max(ASOF // 10000 - years + 1, 1) * 10000 + 101)
    long_frame = fetch(lumenfeed, long_id, since, ASOF)
    fill, day = {}, {}
    for oid in sorted(stocks[stocks["listed"] <= year[0]]["order_book_id"]):
        frames = fetch(lumenfeed, oid, year[0], year[-1]), fetch(lumenfeed, oid, days[-1], days[-1])
        if frames[0] is not None and frames[1] is not None:
            fill[oid], day[oid] = frames
        if len(fill) == instruments:
            break
    if len(fill) < instruments:
        sys.exit("peers.py: the demo market at --market {} has {} stocks trading through the year to {}, "
                 "not {}: raise --market".format(scale, len(fill), ASOF, instruments))
    records = {oid: lumenfeed.instruments(oid) for oid in [long_id] + list(fill)}
    return Market(long_id, since, long_frame, sorted(fill), fill, day, year[0], records, days, listing)


# ---------------------------------------------------------------- timing

def alternate(sides, repeat):
    """{name: (median wall s, median CPU s, what the last job returned)}: each side's
    `setup()` (not timed) gives the job to time; the sides take turns, the order turning."""
    walls, cpus, last = collections.defaultdict(list), collections.defaultdict(list), {}
    names = list(sides)
    for number in range(repeat):
        turn = number % len(names)
        for name in names[turn:] + names[:turn]:
            job = sides[name]()
            gc.collect()
            wall, cpu = time.perf_counter(), time.process_time()
            last[name] = job()
            walls[name].append(time.perf_counter() - wall)
            cpus[name].append(time.process_time() - cpu)
    return {name: (statistics.median(walls[name]), statistics.median(cpus[name]), last[name]) for name in names}


def same_bars(mine, theirs, label):
    """`theirs` holds the bars of corvane's read `mine` (times and closes), else the run stops."""
    pairs = [(mine, theirs)] if not isinstance(mine, dict) else [(mine[k], theirs[k]) for k in mine]
    for a, b in pairs:
        if not (len(a) == len(b) and (a.index.values == b.index.values).all()
                and (a["close"].to_numpy() == b["close"].to_numpy()).all()):
            raise SystemExit("peers.py: {} differs from corvane's".format(label))


def disk_bytes(*roots):
    total = 0
    for root in roots:
        for folder, _, names in os.walk(root):
            total += sum(os.lstat(os.path.join(folder, name)).st_blocks * 512 for name in names)
    return total


# ---------------------------------------------------------------- the workloads

class Run:
    """The stores, their folders under `top`, and what the figures come from."""

    def __init__(self, top, data, kept, repeat):
        self.top, self.data, self.repeat = top, data, repeat
        self.stores = dict(kept)
        self.trash = os.path.join(top, filesystem.TRASH)
        self.version = {}

    def root(self, name, what):
        return os.path.join(self.top, name.replace(" ", "-"), what)

    def fresh(self, name, what, copy_of=None):
        path = self.root(name, what)
        if name == "ArcticDB":
            self.stores[name].release()
        filesystem.discard(path, self.trash)
        if copy_of:
            shutil.copytree(self.root(name, copy_of), path)
        return path

    def fills(self):
        data = self.data
        long_rows = {data.long_id: data.long_frame}
        long_fill = alternate({name: lambda name=name, store=store: store.fill(self.fresh(name, "long"), long_rows, data.long_since)
                               for name, store in self.stores.items()}, self.repeat)
        many_fill = alternate({name: lambda name=name, store=store: store.fill(self.fresh(name, "fill"), data.fill, data.since)
                               for name, store in self.stores.items()}, self.repeat)
        self.version = {name: figures[2] for name, figures in many_fill.items()}
        return long_fill, many_fill

    def daily(self):
        sides = {name: lambda name=name, store=store: store.daily(self.fresh(name, "daily", "fill"), self.data.day)
                 for name, store in self.stores.items()}
        if "Parquet" in self.stores:
            days = stores.Parquet(days=True)

            def a_file_a_day():
                path = self.fresh("Parquet", "days", "fill")
                days.as_days(path)
                return days.daily(path, self.data.day)
            sides["Parquet days"] = a_file_a_day
        return alternate(sides, self.repeat)

    def reads(self):
        data = self.data
        last = data.calendar[-YEAR_DAYS:]
        work = {
            "year": lambda store, name: store.read(self.root(name, "long"), data.long_id, last[0], last[-1]),
            "all": lambda store, name: store.read(self.root(name, "long"), data.long_id),
            "many": lambda store, name: store.read_many(self.root(name, "daily"), data.ids),
            "as of": lambda store, name: store.read_many(self.root(name, "daily"), data.ids,
                                                         as_of=self.version[name]),
        }
        figures = {}
        for what, read in work.items():
            chosen = {name: store for name, store in self.stores.items() if what != "as of" or name != "Parquet"}
            mine = read(chosen["corvane"], "corvane")   # each read once untimed, and checked
            if what == "as of" and any(len(mine[oid]) != len(data.fill[oid]) for oid in data.ids):
                raise SystemExit("peers.py: corvane's read as of the fill's version is not the fill")
            for name, store in chosen.items():
                same_bars(mine, read(store, name), "{} read by {}".format(what, name))
            del mine
            figures[what] = alternate({name: lambda name=name, store=store: (lambda: read(store, name))
                                       for name, store in chosen.items()}, self.repeat)
        return figures

    def sizes(self):
        return {name: disk_bytes(self.root(name, "long"), self.root(name, "daily")) for name in self.stores}


# ---------------------------------------------------------------- the table

def span(years):
    return "1 year" if years == 1 else "{} years".format(years)


def cell(figures, name):
    if name not in figures:
        return "–"
    wall, cpu = figures[name][:2]
    return "{:.3f} / {:.3f}".format(wall, cpu)


def ratio(figures, name):
    if name not in figures or "corvane" not in figures:
        return "–"
    (wall, cpu), (mine_wall, mine_cpu) = figures[name][:2], figures["corvane"][:2]
    return "{:.2f}x / {:.2f}x".format(wall / mine_wall, cpu / mine_cpu)


def labelled(years, count, fills, daily, reads):
    """The table's rows: (label, figures, the Parquet side shown or None)."""
    return [("first fill, {} of one stock".format(years), fills[0], "Parquet"),
            ("first fill, {} instruments x 1 year".format(count), fills[1], "Parquet"),
            ("daily append, {} instruments (Parquet rewrites the file)".format(count), daily, "Parquet"),
            ("daily append, {} instruments (Parquet writes a file a day)".format(count), daily, "Parquet days"),
            ("read a year of one stock", reads["year"], "Parquet"),
            ("read {} of one stock".format(years), reads["all"], "Parquet"),
            ("read {} instruments x 1 year".format(count), reads["many"], "Parquet"),
            ("read {} instruments as of the fill's version".format(count), reads["as of"], None)]


def table(rows, sizes, peers):
    """The markdown table: per row, corvane's and each peer's wall / CPU seconds, then each peer's ratios."""
    lines = ["| | corvane | " + " | ".join(peers) + " | " + " | ".join(p + " / corvane" for p in peers) + " |",
             "|---" * (2 + 2 * len(peers)) + "|"]
    for label, figures, parquet in rows:
        named = dict(figures)
        if parquet and parquet in figures:
            named["Parquet"] = figures[parquet]
        elif parquet is None:
            named.pop("Parquet", None)
        lines.append("| {} (wall / CPU s) | {} | {} | {} |".format(
            label, cell(named, "corvane"), " | ".join(cell(named, p) for p in peers),
            " | ".join(ratio(named, p) for p in peers)))
    mb = {name: "{:.1f} MB".format(size / 2 ** 20) for name, size in sizes.items()}
    lines.append("| bytes on disk | {} | {} | {} |".format(
        mb["corvane"], " | ".join(mb.get(p, "–") for p in peers),
        " | ".join("{:.2f}x".format(sizes[p] / sizes["corvane"]) if p in sizes else "–" for p in peers)))
    return "\n".join(lines)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    kept = [("corvane", None)]
    for name, module, make in (("ArcticDB", "arcticdb", stores.ArcticDB), ("Parquet", "pyarrow", stores.Parquet)):
        why = stores.missing(module)
        print("{}: {}".format(name, why) if why else "{}: {}".format(name, module), flush=True)
        if not why:
            kept.append((name, make()))
    top = os.path.abspath(args.dir) if args.dir else tempfile.mkdtemp(prefix="corvane-peers-")
    os.makedirs(top, exist_ok=True)
    try:
        began = time.perf_counter()
        data = market(args.years, args.instruments, args.market)
        kept[0] = ("corvane", stores.Corvane(data.records, data.calendar, data.listing))
        print("bars fetched in {:.1f} s: {} x {} bars, {} instruments x {} + {} bars; stores under {}".format(
            time.perf_counter() - began, data.long_id, len(data.long_frame), len(data.ids),
            sum(map(len, data.fill.values())), sum(map(len, data.day.values())), top), flush=True)
        run = Run(top, data, kept, args.repeat)
        fills = run.fills()
        daily = run.daily()
        reads = run.reads()
        rows = labelled(span(args.years), len(data.ids), fills, daily, reads)
        peers = [name for name in PEERS if name in run.stores]
        print("medians of {} runs each; ratios are the peer's over corvane's (above 1: corvane faster)".format(
            args.repeat))
        print(table(rows, run.sizes(), peers), flush=True)
    finally:
        shutil.rmtree(os.path.join(top, filesystem.TRASH), ignore_errors=True)
        if not args.dir:
            shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()
