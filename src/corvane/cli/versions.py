"""The `corvane` commands over a bundle's versions: log, tag, diff, gc."""
import os

import click

from corvane.cli.common import KIND_OPTION, bundle_errors_as_usage, echo_json, example, json_option

__all__ = ["log_command", "tag_command", "diff_command", "gc_command"]


def _roots(path, kind):
    """[(kind, root)] of the bundles at `path`: itself, or the bundles a folder holds.

    Decided by their history directories alone, so that `corvane log` reads
    nothing but the log; a path without one is read as a bundle to say why.
    """
    from corvane.history import layout as history

    if os.path.isdir(history.history_dir(path)):
        return [(kind, path)]
    found = [] if kind is not None or not os.path.isdir(path) else [
        (None, os.path.join(path, name)) for name in sorted(os.listdir(path))
        if os.path.isdir(history.history_dir(os.path.join(path, name)))]
    if found:
        return found
    from corvane import read
    return sorted(read._roots(path, kind).items())


def _heading(roots, root):
    if len(roots) > 1:
        click.echo("{}:".format(root))


@click.command("log", epilog=example("corvane log ./bundle/minbar", "corvane log ./bundle --json"))
@click.argument("path", type=click.Path())
@KIND_OPTION
@json_option
def log_command(path, kind, as_json):
    """List the versions of the bundle at PATH, newest first.

    One line a version: its id, when its run ended, the command and its
    words, the instruments it changed, the rows it added, the days it
    revised and its exit status.
    """
    from corvane.history import versions

    with bundle_errors_as_usage():
        roots = _roots(path, kind)
        logs = [(root_kind, root, versions.log(root), versions.tags(root)) for root_kind, root in roots]
    if as_json:
        echo_json({root: [dict(run, tags=sorted(name for name, target in named.items() if target == run["id"]))
                          for run in runs] for _, root, runs, named in logs})
        return
    for root_kind, root, runs, named in logs:
        _heading(roots, root)
        for run in runs:
            click.echo(log_line(run, [name for name, target in sorted(named.items()) if target == run["id"]]))


def log_line(run, tag_names=()):
    counts = run.get("counts", {})
    tagged = "  ({})".format(", ".join(tag_names)) if tag_names else ""
    return "{}  {}  {} {}  {} changed, {:+d} rows, {} days revised, exit {}{}".format(
        run["id"], run.get("ended"), run.get("command"), " ".join(run.get("words", ())),
        counts.get("changed", 0), counts.get("rows_added", 0), counts.get("days_revised", 0),
        run.get("exit_status"), tagged)


@click.command("tag", epilog=example("corvane tag ./bundle/minbar paper-2026", "corvane tag ./bundle/minbar before-fix "
                                     "20261207T101500.000000Z-3f2a1b"))
@click.argument("path", type=click.Path())
@click.argument("name")
@click.argument("version", required=False)
@KIND_OPTION
def tag_command(path, name, version, kind):
    """Name a version of the bundle at PATH (default: the newest) NAME, for reads as of it.

    A tag also keeps `corvane gc` from removing what its version needs.
    Tagging a name again moves it.
    """
    from corvane.history import keeping

    with bundle_errors_as_usage():
        for root_kind, root in _roots(path, kind):
            click.echo("{}: {} is version {}".format(root, name, keeping.tag(root, name, version)))


@click.command("diff", epilog=example("corvane diff ./bundle/minbar paper-2026 20261207T101500.000000Z-3f2a1b"))
@click.argument("path", type=click.Path())
@click.argument("a")
@click.argument("b")
@KIND_OPTION
@json_option
def diff_command(path, a, b, kind, as_json):
    """What changed between versions A and B (ids, tags or times) of the bundle at PATH.

    One line a changed file: the days added and the days revised.
    """
    from corvane.history import asof

    with bundle_errors_as_usage():
        results = [(root, asof.diff(root, a, b)) for _, root in _roots(path, kind)]
    if as_json:
        echo_json({root: {"from": older, "to": newer, "files": changes}
                   for root, (older, newer, changes) in results})
        return
    for root, (older, newer, changes) in results:
        click.echo("{}: {} -> {}: {} file(s) changed".format(root, older, newer, len(changes)))
        for change in changes:
            click.echo("  " + diff_line(change))


def diff_line(change):
    added, revised = change["days_added"], change["days_revised"]
    parts = ["{:+d} rows".format(change["rows"][1] - change["rows"][0])]
    if added:
        parts.append("{} day(s) added {}".format(len(added), _days(added)))
    if revised:
        parts.append("{} day(s) revised {}".format(len(revised), _days(revised)))
    return "{}: {}".format(change["file"], ", ".join(parts))


def _days(days):
    return days[0] if len(days) == 1 else "{}..{}".format(days[0], days[-1]) if len(days) > 3 else ",".join(days)


@click.command("gc", epilog=example("corvane gc ./bundle/minbar --keep-days 90"))
@click.argument("path", type=click.Path())
@click.option("--keep-days", type=click.IntRange(min=0), required=True,
              help="Keep what every version committed within this many days needs.")
@KIND_OPTION
def gc_command(path, keep_days, kind):
    """Remove superseded content no recent version, no tag and not the newest version needs.

    Older versions stay in the log; a read as of one whose content was
    removed says so.
    """
    from corvane.history import keeping

    with bundle_errors_as_usage():
        for _, root in _roots(path, kind):
            removed = keeping.gc(root, keep_days)
            for removed_path, size in removed:
                click.echo("removed {} ({} bytes)".format(removed_path, size))
            click.echo("{}: freed {} bytes in {} superseded segment(s)".format(
                root, sum(size for _, size in removed), len(removed)))
