"""The `corvane` commands that look at a bundle: verify, inspect, plot, export, status."""
import sys

import click

from corvane.cli import metrics
from corvane.cli.common import (KIND_OPTION, as_of_option, bundle_errors_as_usage, cpu_jobs, day_option, echo_json,
                                example, jobs_option, json_option)

__all__ = ["verify_command", "inspect_command", "plot_command", "export_command", "status_command"]


@click.command("verify", epilog=example("corvane verify ./bundle/minbar --data --jobs 4",
                                        "corvane verify ./bundle --json",
                                        "corvane verify ./bundle/minbar --all-versions"))
@click.argument("path", type=click.Path())
@KIND_OPTION
@click.option("--data", is_flag=True, help="Also check the values: prices, high and low, volumes, "
              "jumps, and trading days missing against the client's calendar.")
@click.option("--max-jump", type=click.FloatRange(min=0, min_open=True), default=0.2, show_default=True,
              help="With --data: the largest move from one bar's close to the next that is not a finding "
              "(an option's move must also exceed 500 times its own median move).")
@json_option
@click.option("--repair", is_flag=True, help="Run the recovery an update's open runs: roll back "
              "journals, remove dead writers' temporary files. Never rewrites records.")
@click.option("--all-versions", is_flag=True, help="Read every file as of every version that names it. "
              "By default only each file's newest version, the versions committed since the last verify "
              "found them sound, and files changed since then (by their stamps) are read.")
@jobs_option("Processes reading files")
@metrics.metrics_option
@metrics.recorded("verify")
def verify_command(path, kind, data, max_jump, as_json, repair, all_versions, jobs):
    """Check that the files of the bundle at PATH hang together.

    PATH is a minute-bar root (holding equities/, future/, option/) or a
    tick directory, or a folder holding one of each (both are checked).
    One line per finding, then a summary; exit status 0 when nothing is
    found, 1 when something is.  The log of versions is checked against the
    files too; what a version held that `corvane gc` removed is noted, not
    a finding.
    """
    from tqdm import tqdm

    from corvane import layout
    from corvane.updater import host
    from corvane.look import verify

    # The tick layout is the platform's tick reader's.
    options = verify.Options(layout.layouts(host.platform().ticks_loader), data, repair, max_jump,
                             all_versions)
    roots = [(path, kind)]
    if kind is None and not layout.kinds_held(path):
        # A folder holding the bundles (as `make demo` makes): each of them.
        roots = layout.child_bundles(path) or roots
    reports = []
    with bundle_errors_as_usage(), tqdm(unit="file", desc="verify", file=sys.stderr, leave=False,
                                        disable=not sys.stderr.isatty()) as bar:
        for root, root_kind in roots:
            reports.append(verify.verify(root, root_kind, options, cpu_jobs(jobs),
                                         verify.client_source(host.platform()), bar))
    if as_json:
        echo_json(verify.as_json(reports[0]) if len(reports) == 1
                  else {"bundles": [verify.as_json(report) for report in reports]})
    else:
        for report in reports:
            for line in verify.text_lines(report):
                click.echo(line)
    return metrics.Ended(1 if any(report.findings for report in reports) else 0, roots=[
        (report.kind, report.path, metrics.verify_series(report)) for report in reports])


@click.command("inspect", epilog=example("corvane inspect ./bundle/minbar",
                                         "corvane inspect ./bundle/minbar 10001.HBX --day 20250103 --json",
                                         "corvane inspect ./bundle/minbar 10001.HBX --as-of paper"))
@click.argument("path", type=click.Path())
@click.argument("order_book_id", required=False)
@KIND_OPTION
@click.option("--day", metavar="YYYYMMDD", callback=day_option,
              help="Show the bars (or ticks) of this day, as corvane.read gives them.")
@json_option
@as_of_option("Show")
def inspect_command(path, order_book_id, kind, day, as_json, as_of):
    """Show what the bundle at PATH holds, or one instrument's file, or one day of it."""
    from corvane.look import inspect
    from corvane import read
    from corvane import layout as files

    with bundle_errors_as_usage(order_book_id):
        kind = files.require_kind(path, kind)
        if order_book_id is None:
            if day is not None:
                raise files.BundleError("--day needs an ORDER_BOOK_ID")
            facts = inspect.bundle_facts(path, kind, as_of)
            if as_json:
                return echo_json(inspect.summary_json(path, kind, facts))
            return click.echo("\n".join(inspect.summary_lines(path, kind, facts, as_of)))
        label, h5_file = files.find_instrument(path, kind, order_book_id)
        if day is None:
            fact = inspect.file_facts(path, h5_file, label, as_of)
            if as_json:
                return echo_json(inspect.file_json(fact))
            return click.echo("\n".join(inspect.file_lines(fact, as_of)))
        table = (read.ticks if kind == "tick" else read.bars)(path, order_book_id, day, day, as_of=as_of)
        if not len(table) and day not in set(read.index(path, order_book_id, as_of=as_of)["date"]):
            raise files.BundleError("{} holds no {} of {}{}".format(
                h5_file, "ticks" if kind == "tick" else "bars", day,
                "" if as_of is None else " as of {}".format(as_of)))
    if as_json:
        return echo_json(inspect.table_json(table))
    click.echo(table.to_string())


@click.command("plot", epilog=example("corvane plot ./bundle/minbar 10001.HBX -o 10001.png",
                                      "corvane plot ./bundle/tick 10001.HBX --day 20250103 -o day.svg"))
@click.argument("path", type=click.Path())
@click.argument("order_book_id")
@KIND_OPTION
@click.option("--from", "start", metavar="YYYYMMDD", callback=day_option, help="First trading date.")
@click.option("--to", "end", metavar="YYYYMMDD", callback=day_option, help="Last trading date.")
@click.option("--day", metavar="YYYYMMDD", callback=day_option,
              help="Draw this tick day (of a minute-bar file: this one trading date).")
@click.option("--output", "-o", "out", required=True, type=click.Path(dir_okay=False),
              help="Image file: .png or .svg.")
@click.option("--size", type=(click.IntRange(min=100), click.IntRange(min=100)), default=(1200, 700),
              show_default=True, metavar="W H", help="Width and height in pixels (at most 10000 a side).")
@click.option("--colours", type=click.Choice(["red-up", "green-up"]), default="red-up", show_default=True,
              help="Candles: a rise red and a fall green, or the other way round.")
@as_of_option("Draw")
def plot_command(path, order_book_id, kind, start, end, day, out, size, colours, as_of):
    """Draw one instrument's minute bars (last 20 trading days by default) or a tick day."""
    from corvane.look import plot
    from corvane import layout as files

    with bundle_errors_as_usage(order_book_id):
        plot.check_output(out)
        plot.check_size(size)
        kind = files.require_kind(path, kind)
        label, _ = files.find_instrument(path, kind, order_book_id)
        if label == files.TICK_KIND:
            if day is None:
                raise files.BundleError("a tick file is drawn one day at a time: give --day")
            table = plot.read_tick_day(path, order_book_id, day, as_of)
            title = plot.draw_ticks(table, order_book_id, day, out, size)
        else:
            if day is not None:
                start = end = day
            title = plot.plot_bars(path, order_book_id, out, size, start, end, colours, as_of)
    click.echo("{}: {}".format(out, title))


@click.command("export", epilog=example("corvane export ./bundle/minbar 10001.HBX --from 20250102 -o 10001.csv"))
@click.argument("path", type=click.Path())
@click.argument("order_book_id")
@KIND_OPTION
@click.option("--from", "start", metavar="YYYYMMDD", callback=day_option, help="First trading date (tick day).")
@click.option("--to", "end", metavar="YYYYMMDD", callback=day_option, help="Last trading date (tick day).")
@click.option("--output", "-o", "out", required=True, type=click.Path(dir_okay=False),
              help="Output file: .csv, or .parquet (needs corvane[parquet]).")
@click.option("--freq", metavar="FREQ", help="Gather the minute bars into longer ones, never across a break "
              "in trading: a whole number of minutes (5min) or 1D, one bar a trading date.")
@as_of_option("Export")
def export_command(path, order_book_id, kind, start, end, out, freq, as_of):
    """Write one instrument's minute bars (or ticks) to a CSV or Parquet file.

    PATH is a minute-bar root or a tick directory.  The time is the first
    column, then the trading date and the fields; tick prices are divided
    back by the tick reader's scales.
    """
    from corvane import read
    from corvane import layout as files

    with bundle_errors_as_usage(order_book_id):
        # Refused here when PATH is not of the kind asked for; read decides by content.
        files.require_kind(path, kind)
        rows = read.export(path, order_book_id, out, start, end, kind=kind, freq=freq, as_of=as_of)
    click.echo("{}: {} rows of {}".format(out, rows, order_book_id))


@click.command("status", epilog=example("corvane status ./bundle/minbar --client",
                                        "corvane status ./bundle/minbar --as-of paper"))
@click.argument("path", type=click.Path())
@click.option("--from", "start", metavar="YYYYMMDD", callback=day_option, help="First trading date looked at.")
@click.option("--to", "end", metavar="YYYYMMDD", callback=day_option, help="Last trading date looked at.")
@click.option("--client", "use_client", is_flag=True, help="Take the trading dates and the instruments' "
              "last listed dates from the market-data client instead of the bundle's own files.")
@json_option
@as_of_option("Look at")
@metrics.metrics_option
@metrics.recorded("status", "minbar")
def status_command(path, start, end, use_client, as_json, as_of):
    """Name the instruments of the minute-bar root PATH that are stale, missing days or short.

    Stale: its last date is behind its venue's; missing: trading dates between
    its first and last that it lacks; short: days with fewer bars than its
    usual day in a session; and files that cannot be read.  One line each,
    then a count.  Exit status 0 when none is, 1 when any is.  With --as-of,
    the files, their days and the bundle's own calendar are the version's.
    """
    from corvane import read
    from corvane.read import gaps
    from corvane.updater import host
    from corvane.look import verify

    with bundle_errors_as_usage():
        calendar = ends = None
        if use_client:
            client = verify.client_source(host.platform())()
            calendar, ends = gaps.from_client(client, gaps.order_book_ids(path))
        table = read.coverage(path, start=start, end=end, as_of=as_of, calendar=calendar, ends=ends)
    lines = gaps.findings(table)
    if as_json:
        echo_json(table.to_dict(orient="records"))
    else:
        for line in lines:
            click.echo(line)
        click.echo(gaps.summary(path, table, len(lines)))
    return metrics.Ended(1 if lines else 0, metrics.status_series(table))
