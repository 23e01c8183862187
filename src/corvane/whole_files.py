"""Small files written whole or not at all: a reader opening one at any moment
finds the old text or the new, never a part.

The text goes to a hidden temporary beside the file, named for this process
and thread so that two writers never share one, and is renamed over the
file; a temporary left by a failure is removed before the error goes on.
"""
import contextlib
import os
import threading

from corvane.errors import full_disk_named

__all__ = ["write_whole"]


def write_whole(path, text):
    """Replace the file at `path` with `text` (UTF-8), whole or not at all."""
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, ".{}.{}-{}.tmp".format(name.lstrip("."), os.getpid(),
                                                                threading.get_ident()))
    try:
        with full_disk_named(path):
            with open(temporary, "w", encoding="utf-8") as out:
                out.write(text)
            os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise
