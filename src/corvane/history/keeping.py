"""What is kept of a root's versions: tags naming them, `gc` of the superseded
segments no kept version needs, and the leftovers of killed commits.

Apart from `corvane.history.commits`: these run from the commands
(`corvane tag`, `corvane gc`, `corvane verify`), never within an update;
they take its commit lock, so none of them meets a commit halfway.
"""
import contextlib
import fcntl
import os
import time

# Neither the engine nor pandas: `corvane log` reads the log alone, and starts fast.
from corvane.history import layout as history
from corvane.errors import VersionError
from corvane.history.commits import _alive, _at, _commit_lock, _dead_marker_temporaries, remove_dead_marker_temporaries, running_markers
from corvane.history.versions import DamagedManifest, Snapshot, _TAG_NAME, read_tags, resolve, version_ids
from corvane.whole_files import write_whole


# Beside a file's segments: the newest one gc removed.
def tag(root, name, as_of=None):
    """Name a version (default: the newest) `name`; its id."""
    if not _TAG_NAME.match(name or ""):
        raise VersionError("a tag is letters, digits, '.', '_' and '-', starting with a letter or digit, "
                           "not {!r}".format(name))
    ids = version_ids(root)
    if as_of is None:
        if not ids:
            raise VersionError("{} has no versions yet: nothing to tag".format(root))
        version_id = ids[-1]
    else:
        version_id = resolve(root, as_of)
    os.makedirs(history.tags_dir(root), exist_ok=True)
    # Under the commit lock: a temporary found while holding it is a killed writer's.
    with _commit_lock(root):
        write_whole(history.tag_path(root, name), version_id + "\n", durable=True, step=_at)
    return version_id


# ---------------------------------------------------------------- leftovers

def leftovers(root, remove=False):
    """Paths a killed commit or run left under the hidden directory: temporaries of manifests
    and tags, dead runs' markers and their temporaries.

    A manifest's or tag's temporary is only written under the commit lock, so
    they are judged holding it: one found then has no writer.  `remove`: those
    temporaries, and the marker temporaries, are removed (the paths returned
    all the same); a dead run's marker stays for a commit to cover.
    """
    found = _dead_temporaries(root, remove)
    markers = remove_dead_marker_temporaries(root) if remove else _dead_marker_temporaries(root)
    return found + markers + [marker for marker in running_markers(root) if not _alive(marker)]


def _temporaries(root):
    found = []
    for directory in (history.versions_dir(root), history.tags_dir(root)):
        with contextlib.suppress(FileNotFoundError):
            found += [os.path.join(directory, name) for name in sorted(os.listdir(directory))
                      if history.is_temporary(name)]
    return found


def _dead_temporaries(root, remove):
    # Without a temporary there is nothing to judge, and no lock file is made for it.
    if not _temporaries(root):
        return []
    _at("judging")
    with _judging_lock(root):
        found = _temporaries(root)
        for path in found if remove else ():
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)
    return found


@contextlib.contextmanager
def _judging_lock(root):
    """The commit lock, for judging leftovers; none where no commit could take it (a read-only bundle)."""
    path = history.commit_lock_path(root)
    fd = None
    for flags in (os.O_RDWR | os.O_CREAT, os.O_RDONLY):
        with contextlib.suppress(OSError):
            fd = os.open(path, flags, 0o644)
            break
    try:
        if fd is not None:
            fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        if fd is not None:
            os.close(fd)


# ---------------------------------------------------------------- diff and gc

def committed_at(version_id):
    """Seconds since the epoch at which a version was committed: its id's stamp, which is the
    clock's time then, or a microsecond past the version before when the clock stood behind it."""
    return history.stamp_micros(version_id) / 1e6


def gc(root, keep_days, now=None):
    """Remove the superseded segments no version younger than `keep_days` days, no tag and
    not the newest version needs; [(path, bytes)] removed."""
    if not version_ids(root):
        return []
    # Under the commit lock: a tag made meanwhile is seen before anything goes.
    with _commit_lock(root):
        return _collect(root, keep_days, time.time() if now is None else now)


def _collect(root, keep_days, now):
    ids = version_ids(root)
    named, bad = read_tags(root, ids)
    if bad:
        # What such a tag was meant to keep is unknown: nothing goes until it is mended.
        raise VersionError("gc removes nothing from {}: {}".format(root, "; ".join(
            "tag {!r} {}".format(name, why) for name, why in sorted(bad.items()))))
    kept = {version_id for version_id in ids if now - committed_at(version_id) <= keep_days * 86400}
    kept |= set(named.values()) & set(ids)
    kept.add(ids[-1])
    kept_versions = [Snapshot(root, version_id) for version_id in sorted(kept)]
    removed = []
    top = history.superseded_root(root)
    for directory, _, names in os.walk(top):
        if not any(history.segment_seq(name) is not None for name in names):
            continue
        file = os.path.relpath(directory, top).replace(os.sep, "/")
        h5_file = os.path.join(root, *file.split("/"))
        needed = []
        for version in kept_versions:
            try:
                needed.append(version.entry(h5_file)["segments"])
            except DamagedManifest:
                raise       # what a kept version needs is unknown: nothing may go
            except VersionError:
                pass
        # A version with k segments needs those cut after it: k+1 on.
        floor = min(needed) if needed else 0
        # The newest segment stays whatever: the next revision numbers its own after it.
        gone = [(seq, path) for seq, path in history.segments(root, file)[:-1] if seq <= floor]
        if gone:
            # Recorded before anything goes: a read as of an older version then knows its
            # content was collected, even once no segment of the file is left.
            write_whole(history.collected_path(root, file), "{}\n".format(gone[-1][0]), durable=True, step=_at)
        for seq, path in gone:
            size = os.path.getsize(path)
            os.remove(path)
            removed.append((path, size))
    return removed


