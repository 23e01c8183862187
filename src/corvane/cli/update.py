"""The `corvane` update commands: update-minbar, update-tick, and update --kind.

Exit status: 0 every job succeeded; 1 a job failed (after its retries), a
word matched nothing, or the run failed outside the jobs; 2 bad arguments
(refused before the client is touched) or no instrument selected; 130
interrupted.
"""
import datetime
import functools
import os
import sys
import traceback

import click

from corvane.cli import metrics
from corvane.cli.common import example, install_hint, jobs_option, json_option
from corvane.updater.drivers import COMMANDS
from corvane.updater import report as reports

__all__ = ["update_minbar", "update_tick", "update_any", "COMMANDS"]

WORDS_HELP = """
\b
WORDS choose the instruments, in any case; mix them freely:
  stock, futures, fund, index,   every instrument of that kind
  option, convertible            (fund also brings the indexes;
                                 plurals, and etf or lof, are taken)
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
    from corvane.layout import check_update_root
    from corvane.errors import BundleError

    kind = {name: kind for kind, name in COMMANDS.items()}.get(ctx.info_name) or ctx.params.get("kind")
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
               scheduler, verbose, timeout, as_json=False, fetch_threads=1, revisit=0, metrics_file=None,
               quality="warn"):
    """Run the update, print its summary, write its report and metrics; exit with its status."""
    from corvane.updater import run

    command, started, client = COMMANDS[kind], run.now(), None
    recorded = metrics.Run(metrics_file, command, kind, path)
    if report:
        write_running_report(report, command, path, words, started)
    try:
        # Imported here so that `corvane --help` works even where the
        # market-data platform is not installed.
        from corvane.updater import host
        from corvane.updater import market_client

        services = host.platform()
        client = market_client.describe(services.client)
        # The client selects the instruments in this process; its warnings
        # are shown here, once per run.
        market_client.ready(services.client, click.echo)
        options = run.UpdateOptions(since=since, retries=retries, durable=durable, timeout=timeout,
                                    fetch_threads=fetch_threads, revisit=revisit, quality=quality)
        # With --json the lines go to standard error: standard output is the report's.
        result = run.update(kind, path, words, with_derivatives, jobs, options, scheduler=scheduler,
                            services=services, echo=functools.partial(click.echo, err=True) if as_json
                            else click.echo)
    except (Exception, KeyboardInterrupt) as error:
        status = failure_status(error)
        failed = failed_report(command, path, words, error, started, client)
        if report:
            write_failed_report(report, failed, status)
        recorded.finish(status, metrics.update_series(failed))
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
    if as_json:
        click.echo(result.json_text(), nl=False)
    else:
        click.echo(result.summary(verbose))
    if result.error:
        click.echo("corvane: {}".format(result.error), err=True)
    status = result.exit_status
    if report:
        try:
            result.write_json(report)
        except OSError as error:
            click.echo("corvane: cannot write the report: {}".format(error), err=True)
            status = max(status, 1)
    sys.exit(recorded.finish(status, metrics.update_series(result)))


def failure_status(error):
    """The exit status of a run that failed outside its jobs."""
    from corvane.errors import NothingSelected, SetupRefused

    if isinstance(error, KeyboardInterrupt):
        return 130
    if isinstance(error, (NothingSelected, SetupRefused)) or install_hint(error):
        return 2
    return 1


def failure_of(error):
    """An exception as the report and the one-line message give it: its class and its message."""
    from corvane.updater import run
    from corvane.errors import out_of_space

    # A full disk met outside the engine is named as one, as the engine names its own.
    error = out_of_space(error)
    message = error.format_message() if isinstance(error, click.ClickException) else str(error)
    return run.Failure(type(error).__name__, run.brief(error, message))


def error_text(error):
    """"Type: message", as the one-line message says it."""
    return str(failure_of(error))


def failed_report(command, path, words, error, started=None, client=None):
    """The Report of a run that failed before its jobs."""
    return reports.failed_run(command, path, words or [], failure_of(error), getattr(error, "not_reached", ()),
                              getattr(error, "unresolved", ()), started, client)


def write_failed_report(report, failed, status):
    """The report of a run that failed before its jobs: never yesterday's left in place."""

    try:
        failed.write_json(report, status)
    except OSError as problem:
        click.echo("corvane: cannot write the report: {}".format(problem), err=True)


def write_running_report(report, command, path, words, started):
    """The report as the run starts: "running", no exit status, so that a run
    killed outright (SIGKILL, the OOM killer) never leaves yesterday's in place."""
    from corvane.updater.report import running_run

    try:
        running_run(command, path, words, started).write_json(report)
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


def option_argument(args, option):
    """The value of `option` (--report) among raw arguments, or None."""
    for at, arg in enumerate(args):
        if arg == "--":
            break
        if arg == option and at + 1 < len(args):
            return args[at + 1]
        if arg.startswith(option + "="):
            return arg[len(option) + 1:]
    return None


class UpdateCommand(click.Command):
    """An update command: its --report and --metrics are written also when its arguments are refused.

    Monitoring that reads them must not find the last good run's there.
    """

    def make_context(self, info_name, args, parent=None, **extra):
        report, metrics_file = option_argument(list(args), "--report"), option_argument(list(args), "--metrics")
        try:
            return super().make_context(info_name, args, parent=parent, **extra)
        except click.UsageError as error:
            params = error.ctx.params if error.ctx else {}
            failed = failed_report(info_name, params.get("path"), params.get("words"), error)
            if report and not report_problem(report):
                write_failed_report(report, failed, 2)
            kind = {name: kind for kind, name in COMMANDS.items()}.get(info_name) or params.get("kind")
            metrics.Run(metrics_file, COMMANDS.get(kind, info_name), kind, params.get("path")).finish(
                2, metrics.update_series(failed))
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


def _selection_and_jobs():
    """PATH, WORDS, what to select and how the jobs run."""
    return [
        click.argument("path", type=click.Path(), callback=usable_directory),
        click.argument("words", nargs=-1, required=True),
        click.option(
            "--with-derivatives", is_flag=True,
            help="Also update the futures and options whose underlying is selected."),
        jobs_option("Worker processes"),
        click.option(
            "--retries", type=click.IntRange(min=0), default=2, show_default=True,
            help="Tries again a failed job up to N times, waiting 1 s, 2 s, 4 s... (with "
                 "jitter); failures that cannot heal (a file that is not HDF5, a record "
                 "type that does not fit, an unsafe identifier) are not retried."),
        click.option(
            "--timeout", type=click.FloatRange(min=0, min_open=True), metavar="SECONDS",
            help="Give up an attempt of a job after SECONDS (a client that hangs): the job "
                 "fails, its file left as before, and is tried again as --retries says; "
                 "with --fetch-threads above 1, the whole job, retries included.  "
                 "Default: no limit.  Not with --scheduler."),
        click.option(
            "--fetch-threads", type=click.IntRange(min=1), default=1, show_default=True,
            metavar="N",
            help="Instruments each worker works on at once, on threads: keeps N client "
                 "calls in flight per worker without a process each, for a client with "
                 "network latency (see the operating guide for sizing)."),
    ]


def _what_and_where():
    """What each job asks and checks, and where the run reports."""
    return [
        click.option(
            "--since", metavar="YYYYMMDD", callback=since_date,
            help="Fill files that hold no data yet from this date on [default: 20050104]."),
        click.option(
            "--revisit", type=click.IntRange(min=0), default=0, show_default=True, metavar="N",
            help="Ask the client again for the last N stored days of each file, in the same "
                 "call as the new days, and replace those whose answer changed (a day stored "
                 "before the vendor finished it, a late correction); what is replaced is kept "
                 "under PATH/.corvane.  Equal days write nothing."),
        click.option(
            "--quality", type=click.Choice(["off", "warn", "error"]), default="warn", show_default=True,
            help="Check the rows each job adds or revises before they are committed (prices, "
                 "high and low, volume, time order, the trading day, jumps; a crossed book, a "
                 "last outside the day's range): warn reports findings, error also fails the "
                 "run (exit 1), off skips the checks.  Rows are written whatever is found."),
        click.option(
            "--report", type=click.Path(dir_okay=False), callback=report_file, is_eager=True,
            help="Write what each instrument did to this file as JSON, replacing it whole, "
                 "on every exit (a run that fails before its jobs gives the error)."),
        metrics.metrics_option,
        json_option,
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


def common_options(function):
    """PATH, WORDS and the options shared by both update commands."""
    options = _selection_and_jobs() + _what_and_where()
    for option in reversed(options):
        function = option(function)
    return function


@click.command("update-minbar", cls=UpdateCommand, epilog=WORDS_HELP + example(
    "corvane update-minbar ./bundle/minbar stock index --jobs 4 --report run.json"))
@common_options
def update_minbar(**arguments):
    """Update the minute bars of the selected instruments under PATH.

    Files go to PATH/equities, PATH/future and PATH/option, one
    "<order_book_id>.h5" each; missing directories are created.
    """
    run_update("minbar", **arguments)


@click.command("update-tick", cls=UpdateCommand, epilog=WORDS_HELP + example(
    "corvane update-tick ./bundle/tick stock --since 20250102 --jobs 2"))
@common_options
def update_tick(**arguments):
    """Update the ticks of the selected instruments in PATH.

    Files go directly into PATH, one "<order_book_id>.h5" each with one
    dataset per trading day; PATH is created when missing.  The client
    serves ticks for recent trading days only.

    A file without ticks yet asks the client for every trading day since
    --since (default 20050104): about 5,400 calls per instrument; with a
    networked client that is minutes per instrument, so give --since for a
    first fill.  A file its first run left empty is asked again from that
    run's --since, not from 20050104.
    """
    run_update("tick", **arguments)


@click.command("update", cls=UpdateCommand, epilog=WORDS_HELP + example(
    "corvane update --kind minbar ./bundle/minbar 10001.HBX futures"))
@click.option("--kind", type=click.Choice(["minbar", "tick"]), required=True, is_eager=True,
              help="The kind of files to update: minute bars (as update-minbar) or ticks (as update-tick).")
@common_options
def update_any(kind, **arguments):
    """Update the minute bars or the ticks of the selected instruments under PATH."""
    run_update(kind, **arguments)
