"""The `corvane` command: keeps a local market-data bundle up to date.

    corvane update-minbar PATH WORDS... [--with-derivatives] [--jobs N] [--retries N]
                          [--since YYYYMMDD] [--report FILE] [--scheduler ADDRESS]
                          [--durable] [--verbose]
    corvane update-tick   PATH WORDS... (the same options)

Exit status: 0 every job succeeded; 1 a job failed (after its retries), a
word matched nothing, or the run failed outside the jobs; 2 bad arguments
(refused before the client is touched) or no instrument selected; 130
interrupted.
"""
import contextlib
import datetime
import os
import sys
import traceback

import click

WORDS_HELP = """
\b
WORDS choose the instruments; mix them freely:
  stock, futures, fund, index,   every instrument of that kind
  option, convertible            (fund also brings the indexes)
  all                            every kind above
  a futures underlying symbol    every contract on that symbol
  an order_book_id               that instrument; an option also
                                 brings its underlying
Words that match nothing are listed in a message and skipped
(exit status 1); when no instrument is selected at all, nothing
runs (exit status 2).
"""


def usable_directory(ctx, param, value):
    """Refuse a PATH that can be neither used nor created as a directory."""
    if not value:
        raise click.BadParameter("must not be empty")
    if os.path.exists(value):
        if not os.path.isdir(value):
            raise click.BadParameter("{} exists and is not a directory".format(value))
        if not os.access(value, os.W_OK | os.X_OK):
            raise click.BadParameter("{} is not writable".format(value))
        check_root_kind(ctx, value)
        return value
    ancestor = nearest_existing(value)
    if not os.path.isdir(ancestor):
        raise click.BadParameter("cannot create {}: {} is not a directory".format(value, ancestor))
    if not os.access(ancestor, os.W_OK | os.X_OK):
        raise click.BadParameter("cannot create {}: {} is not writable".format(value, ancestor))
    return value


def check_root_kind(ctx, path):
    """Refuse, before the client is touched, a PATH that holds the other kind of bundle."""
    from corvane.bundle_files import BundleError, check_update_root

    kind = {name: kind for kind, name in COMMANDS.items()}.get(ctx.info_name)
    if kind is not None:
        try:
            check_update_root(path, kind)
        except BundleError as error:
            raise click.BadParameter(str(error)) from None


def nearest_existing(path):
    """The closest ancestor of `path` that exists."""
    path = os.path.abspath(path)
    while not os.path.exists(path):
        path = os.path.dirname(path)
    return path


def run_update(kind, path, words, with_derivatives, jobs, durable, retries, report, since,
               scheduler, verbose, timeout):
    """Run the update, print its summary, write its report; exit with its status."""
    command = COMMANDS[kind]
    try:
        # Imported here so that `corvane --help` works even where the
        # market-data platform is not installed.
        from corvane import bundle, market_client, run

        # The client selects the instruments in this process; its warnings
        # are shown here, once per run.
        market_client.ready(bundle.lumenfeed, click.echo)
        result = run.update(kind, path, words, with_derivatives, jobs, retries, durable,
                            since=since, scheduler=scheduler, timeout=timeout)
    except (Exception, KeyboardInterrupt) as error:
        status = failure_status(error)
        if report:
            write_failed_report(report, command, path, words, error, status)
        if status == 2:
            if install_hint(error):
                raise    # the command group says what to install
            raise click.UsageError(str(error)) from None
        if status == 130:
            click.echo("corvane: interrupted before any job ran", err=True)
            sys.exit(130)
        # A failure outside the jobs (the client during selection, a bad
        # as-of date): one line; the traceback on request.
        if verbose:
            traceback.print_exc()
        click.echo("corvane: {}".format(error_text(error)), err=True)
        sys.exit(1)
    click.echo(result.summary(verbose))
    if result.error:
        click.echo("corvane: {}".format(result.error), err=True)
    if report:
        try:
            result.write_json(report)
        except OSError as error:
            click.echo("corvane: cannot write the report: {}".format(error), err=True)
            sys.exit(max(result.exit_status, 1))
    sys.exit(result.exit_status)


COMMANDS = {"minbar": "update-minbar", "tick": "update-tick"}


def failure_status(error):
    """The exit status of a run that failed outside its jobs."""
    from corvane import run

    if isinstance(error, KeyboardInterrupt):
        return 130
    if isinstance(error, (run.NothingSelected, run.SetupRefused)) or install_hint(error):
        return 2
    return 1


def error_text(error):
    """An exception as the report and the one-line message say it: "Type: message"."""
    from corvane.run import brief

    message = error.format_message() if isinstance(error, click.ClickException) else str(error)
    return "{}: {}".format(type(error).__name__, brief(message))


def write_failed_report(report, command, path, words, error, status):
    """The report of a run that failed before its jobs: never yesterday's left in place."""
    from corvane.run import failed_run

    try:
        failed_run(command, path, words or [], error_text(error), getattr(error, "not_reached", ()),
                   getattr(error, "unresolved", ())).write_json(report, status)
    except OSError as problem:
        click.echo("corvane: cannot write the report: {}".format(problem), err=True)


def report_problem(file_name):
    """Why the report could not be written at `file_name`; None when it can."""
    if os.path.isdir(file_name):
        return "{} is a directory".format(file_name)
    # Written beside and renamed over: the directory must take new files.
    directory = os.path.dirname(os.path.abspath(file_name))
    if not os.path.isdir(directory):
        return "directory {} does not exist".format(directory)
    if not os.access(directory, os.W_OK | os.X_OK):
        return "directory {} is not writable".format(directory)
    return None


def report_file(ctx, param, value):
    """--report refused before anything runs when the report could not be written."""
    problem = report_problem(value) if value else None
    if problem:
        raise click.BadParameter(problem)
    return value


def report_argument(args):
    """The value of --report among raw arguments, or None."""
    for at, arg in enumerate(args):
        if arg == "--":
            break
        if arg == "--report" and at + 1 < len(args):
            return args[at + 1]
        if arg.startswith("--report="):
            return arg[len("--report="):]
    return None


class UpdateCommand(click.Command):
    """An update command: its --report is written also when its arguments are refused.

    Monitoring that reads the report must not find the last good run's there.
    """

    def make_context(self, info_name, args, parent=None, **extra):
        report = report_argument(list(args))
        try:
            return super().make_context(info_name, args, parent=parent, **extra)
        except click.UsageError as error:
            if report and not report_problem(report):
                params = error.ctx.params if error.ctx else {}
                write_failed_report(report, info_name, params.get("path"), params.get("words"),
                                    error, 2)
            raise


def since_date(ctx, param, value):
    """--since as the integer YYYYMMDD, refused unless a real date."""
    if value is None:
        return None
    try:
        if len(value) != 8 or not value.isdigit():
            raise ValueError(value)
        return int(datetime.datetime.strptime(value, "%Y%m%d").strftime("%Y%m%d"))
    except ValueError:
        raise click.BadParameter("{!r} is not a date YYYYMMDD".format(value)) from None


def common_options(function):
    """PATH, WORDS and the options shared by both update commands."""
    options = [
        click.argument("path", type=click.Path(), callback=usable_directory),
        click.argument("words", nargs=-1, required=True),
        click.option(
            "--with-derivatives", is_flag=True,
            help="Also update the futures and options whose underlying is selected."),
        click.option(
            "--jobs", "-j", type=click.IntRange(min=1), default=None,
            help="Worker processes [default: the number of CPUs, never more than instruments]."),
        click.option(
            "--retries", type=click.IntRange(min=0), default=2, show_default=True,
            help="Tries again a failed job up to N times, waiting 1 s, 2 s, 4 s... (with "
                 "jitter); failures that cannot heal (a file that is not HDF5, a record "
                 "type that does not fit, an unsafe identifier) are not retried."),
        click.option(
            "--timeout", type=click.FloatRange(min=0, min_open=True), metavar="SECONDS",
            help="Give up an attempt of a job after SECONDS (a client that hangs): the job "
                 "fails, its file left as before, and is tried again as --retries says.  "
                 "Default: no limit.  Not with --scheduler."),
        click.option(
            "--since", metavar="YYYYMMDD", callback=since_date,
            help="Fill files that hold no data yet from this date on [default: 20050104]."),
        click.option(
            "--report", type=click.Path(dir_okay=False), callback=report_file, is_eager=True,
            help="Write what each instrument did to this file as JSON, replacing it whole, "
                 "on every exit (a run that fails before its jobs gives the error)."),
        click.option(
            "--scheduler", envvar="CORVANE_SCHEDULER", metavar="ADDRESS",
            help="Run the jobs on a Dask cluster: its scheduler's address "
                 "(tcp://host:8786), or local:N for N worker processes on this machine; "
                 "PATH must be the same directory on every worker.  Default: "
                 "$CORVANE_SCHEDULER, else a process pool."),
        click.option(
            "--durable", is_flag=True,
            help="Flush each file to disk (fsync) before its job ends, so that even a "
                 "power loss leaves every file as before or after its update; slower."),
        click.option(
            "--verbose", "-v", is_flag=True,
            help="Show the tracebacks of failures and HDF5's full messages."),
    ]
    for option in reversed(options):
        function = option(function)
    return function


class OneLineUsageError(click.UsageError):
    """A usage error shown as one line, pointing at the help."""

    def show(self, file=None):
        command = self.ctx.command_path if self.ctx else "corvane"
        click.echo("Error: {} Try '{} --help'.".format(sentence(self.format_message()), command),
                   file=file, err=True)


def sentence(message):
    """`message` on one line, given a full stop unless it already ends a sentence."""
    message = " ".join(message.split())
    if message.endswith(("?", "!", ".", "?)", "!)", ".)")):
        return message
    return message + "."


@contextlib.contextmanager
def one_line_usage_errors():
    try:
        yield
    except OneLineUsageError:
        raise
    except click.UsageError as error:
        raise OneLineUsageError(error.format_message(), error.ctx) from None


# What to install for a module that a command needs and does not find, by the
# module's top-level name.  The platform is the user's own installation; the
# rest are corvane's extras.
INSTALL_HINTS = {
    "lumenfeed": "the market-data client lumenfeed: install it beside corvane "
                 "(or, for the demo market, corvane's stand-ins: pip install ./standins)",
    "vesper": "the framework vesper: install it beside corvane "
              "(or, for the demo market, corvane's stand-ins: pip install ./standins)",
    "vesper_mod_tollbay_data": "the framework's data-source plug-in vesper_mod_tollbay_data: install "
                               "it beside corvane (or, for the demo market, corvane's stand-ins: "
                               "pip install ./standins)",
    "matplotlib": "matplotlib: pip install 'corvane[plot]'",
    "pyarrow": "pyarrow to write Parquet: pip install 'corvane[parquet]'",
    "dask": "Dask's distributed: pip install 'corvane[dask]'",
    "distributed": "Dask's distributed: pip install 'corvane[dask]'",
}


class MissingModule(click.ClickException):
    """A module the command needs is not installed: one line, exit status 2."""

    exit_code = 2

    def show(self, file=None):
        click.echo("corvane: {}".format(self.format_message()), file=file, err=True)


def install_hint(error):
    """What to install for a ModuleNotFoundError of a known module; None otherwise."""
    if not isinstance(error, ModuleNotFoundError):
        return None
    return INSTALL_HINTS.get((error.name or "").split(".")[0])


@contextlib.contextmanager
def missing_modules_named(ctx):
    try:
        yield
    except ModuleNotFoundError as error:
        hint = install_hint(error)
        if hint is None:
            raise
        command = " ".join(filter(None, [ctx.command_path, ctx.invoked_subcommand]))
        raise MissingModule("{} needs {}".format(command, hint)) from None


class CorvaneGroup(click.Group):
    """The command group; bad arguments of any command give a one-line error."""

    def make_context(self, *args, **kwargs):
        with one_line_usage_errors():
            return super().make_context(*args, **kwargs)

    def resolve_command(self, ctx, args):
        with one_line_usage_errors():
            return super().resolve_command(ctx, args)

    def invoke(self, ctx):
        with one_line_usage_errors(), missing_modules_named(ctx):
            return super().invoke(ctx)


@click.group(name="corvane", cls=CorvaneGroup)
@click.version_option(package_name="corvane", message="%(prog)s %(version)s")
def main():
    """Keep a local market-data bundle up to date.

    The bundle holds one HDF5 file per instrument.  Each run asks the
    market-data client only for what is newer than a file already holds.
    See `corvane COMMAND --help`.
    """


@main.command("update-minbar", cls=UpdateCommand, epilog=WORDS_HELP + """
\b
Example:
  corvane update-minbar ./bundle/minbar stock index --jobs 4
""")
@common_options
def update_minbar(**arguments):
    """Update the minute bars of the selected instruments under PATH.

    Files go to PATH/equities, PATH/future and PATH/option, one
    "<order_book_id>.h5" each; missing directories are created.
    """
    run_update("minbar", **arguments)


@main.command("update-tick", cls=UpdateCommand, epilog=WORDS_HELP + """
\b
Example:
  corvane update-tick ./bundle/tick stock --jobs 2
""")
@common_options
def update_tick(**arguments):
    """Update the ticks of the selected instruments in PATH.

    Files go directly into PATH, one "<order_book_id>.h5" each with one
    dataset per trading day; PATH is created when missing.  The client
    serves ticks for recent trading days only.

    A file without ticks yet asks the client for every trading day since
    --since (default 20050104): about 5,400 calls per instrument, repeated
    on every run while the file stays empty; with a networked client that
    is minutes per instrument, so give --since for a first fill.
    """
    run_update("tick", **arguments)


# ---------------------------------------------------------------- looking at a bundle

@contextlib.contextmanager
def bundle_errors_as_usage(order_book_id=None):
    """A path, id or day that names nothing is a usage error (exit status 2)."""
    from corvane.bundle_files import BundleError

    try:
        yield
    except BundleError as error:
        raise click.UsageError(str(error)) from None
    except (OSError, KeyError, ValueError) as error:
        # A damaged file: say so in one line, without a traceback (exit status 1).
        what = "the file of {}".format(order_book_id) if order_book_id else "the bundle"
        raise click.ClickException("cannot read {} ({}); `corvane verify` tells what is wrong".format(
            what, " ".join(str(error).split()))) from None


def day_option(ctx, param, value):
    from corvane.bundle_files import BundleError, parse_day

    try:
        return None if value is None else parse_day(value)
    except BundleError as error:
        raise click.BadParameter(str(error)) from None


KIND_OPTION = click.option("--kind", type=click.Choice(["minbar", "tick"]),
                           help="Take PATH as this kind of bundle instead of deciding by its content.")


def echo_json(value):
    import json

    click.echo(json.dumps(value, indent=2, default=lambda o: o.item() if hasattr(o, "item") else str(o)))


@main.command("verify")
@click.argument("path", type=click.Path())
@KIND_OPTION
@click.option("--data", is_flag=True, help="Also check the values: prices, high and low, volumes, "
              "jumps, and trading days missing against the client's calendar.")
@click.option("--max-jump", type=click.FloatRange(min=0, min_open=True), default=0.2, show_default=True,
              help="With --data: the largest move from one bar's close to the next that is not a finding "
              "(an option's move must also exceed 500 times its own median move).")
@click.option("--json", "as_json", is_flag=True, help="Print the report as JSON.")
@click.option("--repair", is_flag=True, help="Run the recovery an update's open runs: roll back "
              "journals, remove dead writers' temporary files. Never rewrites records.")
@click.option("--jobs", "-j", type=click.IntRange(min=1), default=1, show_default=True,
              help="Number of processes reading files.")
def verify_command(path, kind, data, max_jump, as_json, repair, jobs):
    """Check that the files of the bundle at PATH hang together.

    PATH is a minute-bar root (holding equities/, future/, option/) or a
    tick directory, or a folder holding one of each (both are checked).
    One line per finding, then a summary; exit status 0 when nothing is
    found, 1 when something is.
    """
    import sys

    from tqdm import tqdm

    from corvane import bundle, bundle_files, verify

    options = verify.Options(bundle_files.layouts(bundle.H5TicksLoader), data, repair, max_jump)
    roots = [(path, kind)]
    if kind is None and not bundle_files.kinds_held(path):
        # A folder holding the bundles (as `make demo` makes): each of them.
        roots = bundle_files.child_bundles(path) or roots
    reports = []
    with bundle_errors_as_usage(), tqdm(unit="file", desc="verify", file=sys.stderr, leave=False,
                                        disable=not sys.stderr.isatty()) as bar:
        for root, root_kind in roots:
            reports.append(verify.verify(root, root_kind, options, jobs, verify.client_source(bundle), bar))
    if as_json:
        echo_json(verify.as_json(reports[0]) if len(reports) == 1
                  else {"bundles": [verify.as_json(report) for report in reports]})
    else:
        for report in reports:
            for line in verify.text_lines(report):
                click.echo(line)
    sys.exit(1 if any(report.findings for report in reports) else 0)


@main.command("inspect")
@click.argument("path", type=click.Path())
@click.argument("order_book_id", required=False)
@KIND_OPTION
@click.option("--day", metavar="YYYYMMDD", callback=day_option, help="Show the bars (or ticks) of this day.")
@click.option("--json", "as_json", is_flag=True, help="Print as JSON.")
def inspect_command(path, order_book_id, kind, day, as_json):
    """Show what the bundle at PATH holds, or one instrument's file, or one day of it."""
    from corvane import bundle, inspection
    from corvane import bundle_files as files

    with bundle_errors_as_usage(order_book_id):
        kind = files.require_kind(path, kind)
        if order_book_id is None:
            if day is not None:
                raise files.BundleError("--day needs an ORDER_BOOK_ID")
            facts = inspection.bundle_facts(path, kind)
            if as_json:
                return echo_json(inspection.summary_json(path, kind, facts))
            return click.echo("\n".join(inspection.summary_lines(path, kind, facts)))
        label, h5_file = files.find_instrument(path, kind, order_book_id)
        if day is None:
            fact = inspection.read_facts(h5_file, label)
            if as_json:
                return echo_json(inspection.file_json(fact))
            return click.echo("\n".join(inspection.file_lines(fact)))
        table = inspection.day_table(h5_file, label, day, files.layouts(bundle.H5TicksLoader))
    if as_json:
        return echo_json(inspection.table_json(table))
    click.echo(table.to_string())


@main.command("plot")
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
def plot_command(path, order_book_id, kind, start, end, day, out, size):
    """Draw one instrument's minute bars (last 20 trading days by default) or a tick day."""
    from corvane import plot
    from corvane import bundle_files as files

    with bundle_errors_as_usage(order_book_id):
        plot.check_output(out)
        plot.check_size(size)
        kind = files.require_kind(path, kind)
        label, _ = files.find_instrument(path, kind, order_book_id)
        if label == files.TICK_KIND:
            if day is None:
                raise files.BundleError("a tick file is drawn one day at a time: give --day")
            table = plot.read_tick_day(path, order_book_id, day)
            title = plot.draw_ticks(table, order_book_id, day, out, size)
        else:
            if day is not None:
                start = end = day
            title = plot.plot_bars(path, order_book_id, out, size, start, end)
    click.echo("{}: {}".format(out, title))


@main.command("export")
@click.argument("path", type=click.Path())
@click.argument("order_book_id")
@click.option("--from", "start", metavar="YYYYMMDD", callback=day_option, help="First trading date (tick day).")
@click.option("--to", "end", metavar="YYYYMMDD", callback=day_option, help="Last trading date (tick day).")
@click.option("--output", "-o", "out", required=True, type=click.Path(dir_okay=False),
              help="Output file: .csv, or .parquet (needs corvane[parquet]).")
@click.option("--freq", metavar="FREQ", help="Gather the minute bars into longer ones, never across a break "
              "in trading: a whole number of minutes (5min) or 1D, one bar a trading date.")
def export_command(path, order_book_id, start, end, out, freq):
    """Write one instrument's minute bars (or ticks) to a CSV or Parquet file.

    PATH is a minute-bar root or a tick directory.  The time is the first
    column, then the trading date and the fields; tick prices are divided
    back by the tick reader's scales.
    """
    from corvane import read

    with bundle_errors_as_usage(order_book_id):
        rows = read.export(path, order_book_id, out, start, end, freq)
    click.echo("{}: {} rows of {}".format(out, rows, order_book_id))


@main.command("status")
@click.argument("path", type=click.Path())
@click.option("--from", "start", metavar="YYYYMMDD", callback=day_option, help="First trading date looked at.")
@click.option("--to", "end", metavar="YYYYMMDD", callback=day_option, help="Last trading date looked at.")
@click.option("--client", "use_client", is_flag=True, help="Take the trading dates and the instruments' "
              "last listed dates from the market-data client instead of the bundle's own files.")
@click.option("--json", "as_json", is_flag=True, help="Print one object per instrument as JSON.")
def status_command(path, start, end, use_client, as_json):
    """Name the instruments of the minute-bar root PATH that are stale, missing days or short.

    Stale: its last date is behind its venue's; missing: trading dates between
    its first and last that it lacks; short: days with fewer bars than its
    usual day in a session; and files that cannot be read.  One line each,
    then a count.  Exit status 0 when none is, 1 when any is.

    Example: corvane status demo-bundle/minbar --client
    """
    import sys

    from corvane import bundle, coverage, verify

    with bundle_errors_as_usage():
        calendar = ends = None
        if use_client:
            calendar, ends = coverage.from_client(verify.client_source(bundle)(), coverage.order_book_ids(path))
        table = coverage.coverage(path, start=start, end=end, calendar=calendar, ends=ends)
    lines = coverage.findings(table)
    if as_json:
        echo_json(table.to_dict(orient="records"))
    else:
        for line in lines:
            click.echo(line)
        click.echo(coverage.summary(path, table, len(lines)))
    sys.exit(1 if lines else 0)


if __name__ == "__main__":
    main()
