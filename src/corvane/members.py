"""What each kind of bundle file may hold, checked before anything is written.

A minute-bar file holds "data" and "index" (or one of them, or nothing yet);
a tick file holds one dataset per trading day, named with the day's eight
digits (or nothing yet).  A file of the other kind, or one holding anything
else, is refused whole: writing into it would mix two formats in one file.
"""
from corvane.bundle_files import is_day_name

MINBAR_MEMBERS = ("data", "index")

# How many foreign names a refusal quotes; the count says the rest.
_QUOTED = 5


def check_minbar_members(h5_file, members):
    """Refuse a file at `h5_file` whose root `members` are not minute bars."""
    if not set(members) <= set(MINBAR_MEMBERS):
        raise ValueError("{} is not a minute-bar file: it holds {}; left unchanged"
                         .format(h5_file, holding(members)))


def check_tick_members(h5_file, members):
    """Refuse a file at `h5_file` whose root `members` are not tick days."""
    if not all(is_day_name(name) for name in members):
        raise ValueError("{} is not a tick file: it holds {}; left unchanged"
                         .format(h5_file, holding(members)))


def holding(members):
    """What the root `members` of a file are, in a few words."""
    bars = [name for name in members if name in MINBAR_MEMBERS]
    days = sorted(name for name in members if is_day_name(name))
    other = [name for name in members if name not in MINBAR_MEMBERS and not is_day_name(name)]
    parts = []
    if bars:
        parts.append("the minute-bar dataset{} {}".format("s" if len(bars) > 1 else "", _quoted(bars)))
    if days:
        parts.append("{} tick day{} ({} to {})".format(len(days), "s" if len(days) > 1 else "",
                                                      days[0], days[-1]))
    if other:
        parts.append("{} other member{} {}".format(len(other), "s" if len(other) > 1 else "",
                                                   _quoted(other)))
    return " and ".join(parts) if parts else "nothing"


def _quoted(names):
    shown = ", ".join('"{}"'.format(name) for name in names[:_QUOTED])
    return shown + (", ..." if len(names) > _QUOTED else "")
