"""The `corvane` command: keeps a local market-data bundle up to date.

    corvane update-minbar PATH WORDS... [--with-derivatives] [--jobs N] [--retries N]
                          [--timeout SECONDS] [--fetch-threads N] [--since YYYYMMDD]
                          [--revisit N] [--quality off|warn|error] [--report FILE]
                          [--metrics FILE.prom] [--json] [--scheduler ADDRESS] [--durable] [--verbose]
    corvane update-tick   PATH WORDS... (the same options)
    corvane update --kind minbar|tick PATH WORDS... (the same options)
    corvane verify  PATH [--data] [--repair] [--all-versions] [--json] [--jobs N] [--metrics FILE.prom]
    corvane inspect PATH [ORDER_BOOK_ID [--day YYYYMMDD]] [--json] [--as-of VERSION]
    corvane plot    PATH ORDER_BOOK_ID -o FILE [--from/--to YYYYMMDD | --day YYYYMMDD]
                    [--as-of VERSION]
    corvane export  PATH ORDER_BOOK_ID -o FILE [--from/--to YYYYMMDD] [--freq FREQ]
                    [--as-of VERSION]
    corvane status  PATH [--from/--to YYYYMMDD] [--client] [--json] [--as-of VERSION]
                    [--metrics FILE.prom]
    corvane log PATH | tag PATH NAME [VERSION] | diff PATH A B | gc PATH [--keep-days N]

The update commands are in `corvane.cli.update`, those that look at a
bundle in `corvane.cli.look`, those of the versions in
`corvane.cli.versions`, and what they share in `corvane.cli.common`; here
is the command group, which gives any bad argument as one line.
"""
import contextlib

import click

from corvane.cli import look as cli_look
from corvane.cli import update as cli_update
from corvane.cli import versions as cli_versions
from corvane.cli.common import install_hint

__all__ = ["main"]


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


class MissingModule(click.ClickException):
    """A module the command needs is not installed: one line, exit status 2."""

    exit_code = 2

    def show(self, file=None):
        click.echo("corvane: {}".format(self.format_message()), file=file, err=True)


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


for command in (cli_update.update_minbar, cli_update.update_tick, cli_update.update_any,
                cli_look.verify_command, cli_look.inspect_command, cli_look.plot_command,
                cli_look.export_command, cli_look.status_command, cli_versions.log_command,
                cli_versions.tag_command, cli_versions.diff_command, cli_versions.gc_command):
    main.add_command(command)

