"""Small files written whole or not at all: a reader opening one at any moment
finds the old content or the new, never a part.

The content goes to a hidden temporary beside the file, named for this
process and thread so that two writers never share one
(`temporary_path`), and is renamed over the file; a temporary
left by a failure is removed before the error goes on.  Durable, the
temporary is on disk before its rename, and the rename before the call
returns.
"""
import contextlib
import os
import threading

from corvane.errors import full_disk_named

__all__ = ["write_whole", "sync", "temporary_path", "is_temporary", "TEMPORARY_SUFFIX", "SETTLED_NS", "stamp"]

TEMPORARY_SUFFIX = ".tmp"

# What vouches that a file or directory is unchanged: its stamp.  A directory's modified time
# moves with every entry added, removed or renamed in it.  Two changes within one tick of the
# file system's clock leave one time, so only a stamp taken SETTLED_NS or more after its
# modified time (settled) vouches for what was seen with it.
SETTLED_NS = 2 * 10 ** 9


def stamp(status):
    """The stamp of an `os.stat` result: device, inode, modified time, size."""
    return (status.st_dev, status.st_ino, status.st_mtime_ns, status.st_size)


def write_whole(path, data, durable, step=None):
    """Replace the file at `path` with `data`, whole or not at all.

    `data`: text (written as UTF-8), bytes, or a callable that writes the
    file at the path it is given (a table's writer, say).  `durable`: the
    file is fsynced before the rename, and its directory after.  `step`:
    called with "written", "synced" and "renamed" as each is done (the crash
    tests stop a writer there).  A full disk raises OutOfSpaceError naming
    `path`.
    """
    at = step or _nothing
    directory = os.path.dirname(os.path.abspath(path))
    temporary = temporary_path(os.path.abspath(path))
    try:
        with full_disk_named(path):
            _write(temporary, data)
            at("written")
            if durable:
                sync(temporary)
            at("synced")
            os.replace(temporary, path)
    except BaseException:
        # Only a killed writer leaves its temporary: one that failed (a full disk) is no leftover.
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise
    at("renamed")
    if durable:
        with full_disk_named(path):
            sync(directory)


def _nothing(step):
    pass


def _write(temporary, data):
    if callable(data):
        data(temporary)
        return
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(temporary, "wb") as out:
        out.write(data)


def sync(path):
    """The file at `path` on disk; of a directory, the names in it (a rename into it, say)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def temporary_path(path, shared=True):
    """The hidden temporary beside `path` that a whole write goes to before its rename.

    `shared`: other writers may write `path` meanwhile, so the temporary is
    named for this process and thread as well; a writer that holds a lock
    of its own (a run's marker) has `.{name}.tmp`.
    """
    directory, name = os.path.split(path)
    writer = ".{}-{}".format(os.getpid(), threading.get_ident()) if shared else ""
    return os.path.join(directory, "." + name + writer + TEMPORARY_SUFFIX)


def is_temporary(name, of=None):
    """Whether the file name `name` is a whole write's temporary (of the file named `of`, when given)."""
    if not (name.startswith(".") and name.endswith(TEMPORARY_SUFFIX)):
        return False
    return of is None or name == "." + of + TEMPORARY_SUFFIX or name.startswith("." + of + ".")
