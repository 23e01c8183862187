"""What the `corvane` commands share: their options, their output, their errors."""
import contextlib
import json
import os

import click

__all__ = ["KIND_OPTION", "jobs_option", "json_option", "echo_json", "example", "install_hint",
           "bundle_errors_as_usage", "day_option", "as_of_option", "cpu_jobs"]

KIND_OPTION = click.option("--kind", type=click.Choice(["minbar", "tick"]),
                           help="Take PATH as this kind of bundle instead of deciding by its content.")


def jobs_option(what):
    """--jobs, one default for every command: the CPUs, never more than there is work."""
    return click.option("--jobs", "-j", type=click.IntRange(min=1), default=None,
                        help="{} [default: the number of CPUs, never more than there is work].".format(what))


def as_of_option(what):
    """--as-of, one wording for every command that reads a version: `what` it does with it ("Export")."""
    return click.option("--as-of", "as_of", metavar="VERSION", help="{} what a version held: its id, a tag, "
                        "or a time (the latest version committed at or before it); `corvane log` lists them."
                        .format(what))


def json_option(function):
    """--json: what the command lists goes to standard output as JSON instead of lines."""
    return click.option("--json", "as_json", is_flag=True,
                        help="Print what the command lists as JSON on standard output.")(function)


def echo_json(value):
    click.echo(json.dumps(value, indent=2, ensure_ascii=False,
                          default=lambda o: o.item() if hasattr(o, "item") else str(o)))


def example(*lines):
    """A command's help epilog: its examples."""
    return "\b\nExample:\n" + "\n".join("  " + line for line in lines) + "\n"


def cpu_jobs(jobs):
    return jobs or os.cpu_count() or 1


@contextlib.contextmanager
def bundle_errors_as_usage(order_book_id=None):
    """A path, id or day that names nothing is a usage error (exit status 2)."""
    from corvane.errors import BundleError

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
    from corvane.layout import parse_day
    from corvane.errors import BundleError

    try:
        return None if value is None else parse_day(value)
    except BundleError as error:
        raise click.BadParameter(str(error)) from None


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


def install_hint(error):
    """What to install for a ModuleNotFoundError of a known module; None otherwise."""
    if not isinstance(error, ModuleNotFoundError):
        return None
    return INSTALL_HINTS.get((error.name or "").split(".")[0])
