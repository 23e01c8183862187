"""Committing a root's version: the run's marker, its manifest, the commit lock.

A run holds a marker under `.corvane/running/` (locked while the run lives)
naming what it selected; once its jobs are done it commits its manifest and
removes the marker.  A run that died leaves its marker unlocked, and one
that ended without its version (its commit failed: a full disk) too, having
first recorded in it that it ended: the next run that commits also records
the present state of every file that run selected, so what it wrote is
covered by the next version, and removes what it left.  Apart
from `corvane.history.versions`, which reads the log: this is the only
module that writes it, and the crash sweep stops it at each of its steps.
"""
import contextlib
import datetime
import fcntl
import json
import os
import time
import uuid

# Neither the engine nor pandas: `corvane log` reads the log alone, and starts fast.
from corvane import errors
from corvane.history import layout as history
from corvane.history import market as facts
from corvane.history.states import file_state, state_key
from corvane.history.versions import DamagedManifest, read_entries, version_ids
from corvane.whole_files import write_whole


# Off only for measuring what versions cost an update (bench/versions.py).
ENABLED = True
# Called with the name of each step of a commit; the crash tests stop the
# committing process there.
_step = None


def _at(step):
    if _step is not None:
        _step(step)


@contextlib.contextmanager
def _commit_lock(root):
    """Commits on one root one at a time: ids then sort in the order the versions landed."""
    os.makedirs(history.versions_dir(root), exist_ok=True)
    fd = os.open(history.commit_lock_path(root), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


# One encoder for every line: making one per line costs as much as the encoding.
_ENCODER = json.JSONEncoder(separators=(",", ":"), default=str)


def manifest_text(run, entries):
    """A manifest: the run, then one line per file, the file first so a reader finds it without parsing."""
    encode = _ENCODER.encode
    return "\n".join([encode(run)] + [encode(entry) for entry in entries]) + "\n"


def _all_files(root, kind):
    from corvane import formats
    return [os.path.join(directory, name) for directory in formats.directories(root, kind)
            if os.path.isdir(directory)
            for name in sorted(os.listdir(directory))
            if name.endswith(formats.SUFFIX) and not name.startswith(".")]


# What a run did to a file, beside the state it left: its own, never another run's.
_RUN_FACTS = ("revised", "inserted", "quality")


def _newer_states(root, since, entries):
    """Entries of files committed by runs that landed since `since` with a later state than this run's.

    Two runs on one root may both change a file; the one committing last
    must not record an earlier state of it than the log already holds.  It
    takes the later state, but keeps the days its own run revised or filled
    in: the other run's are in its own version, and named again here they
    would be taken for days that version did not hold yet.
    """
    for version_id in version_ids(root):
        if version_id <= since:
            continue
        try:
            landed = read_entries(root, version_id)
        except DamagedManifest:
            # verify names it; refusing here would lose this run's version too.
            continue
        for file, theirs in landed.items():
            ours = entries.get(file)
            if ours is not None and state_key(theirs) > state_key(ours):
                entries[file] = dict({key: value for key, value in theirs.items() if key not in _RUN_FACTS},
                                     **{key: ours[key] for key in _RUN_FACTS if key in ours})


def _newest_id(root):
    """The newest id of the log that is one (None: none), which a new id must sort after."""
    for version_id in reversed(version_ids(root)):
        if history.is_version_id(version_id):
            return version_id
    return None


def _utc(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat(timespec="microseconds")


def commit(root, kind, run, entries, durable=False, covered=(), market=None):
    """Commit a version of `root`: `run` (the manifest's first line, without its id) and
    `entries` ({file: entry}); also the present state of the files `covered` (paths) names.
    `market`: (listing, suspended) the client gave the run (`corvane.history.market`), kept
    with the version, before its manifest.  Returns the version's id."""
    with _commit_lock(root):
        _at("locked")
        _remove_commit_temporaries(root)
        first = not version_ids(root)
        extra = set(covered) | (set(_all_files(root, kind)) if first else set())
        for h5_file in sorted(extra):
            file = history.relative(root, h5_file)
            if file not in entries and os.path.isfile(h5_file):
                with contextlib.suppress(OSError, ValueError, TypeError):
                    entries[file] = file_state(root, h5_file, kind)
        _newer_states(root, run.get("since", ""), entries)
        clock = time.time()
        version_id = history.new_version_id(clock, after=_newest_id(root))
        run = dict(run, id=version_id, committed=_utc(clock))
        run.pop("since", None)
        run["counts"] = dict(run.get("counts", {}), changed=len(entries))
        if market is not None:
            os.makedirs(history.market_dir(root), exist_ok=True)
            write_whole(history.market_path(root, version_id), facts.text(version_id, *market), durable)
        write_whole(history.manifest_path(root, version_id),
                    manifest_text(run, [entries[file] for file in sorted(entries)]), durable, step=_at)
    return version_id


def _remove_commit_temporaries(root):
    """Remove the temporaries of manifests under the versions: called holding the commit lock,
    under which alone one is written, a temporary found is a killed or failed commit's."""
    directory = history.versions_dir(root)
    with contextlib.suppress(FileNotFoundError):
        for name in os.listdir(directory):
            if history.is_temporary(name):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(os.path.join(directory, name))


# A marker's last field, rewritten in place when its run ends without its version: the
# same number of bytes over the same ones takes no new block, so it is recorded on a full disk.
_ENDED = b"true"
_RUNNING = b"null"


class Recorder:
    """One update run's part in the log: its marker while it runs, its version after."""

    def __init__(self, root, kind, durable=False):
        self.root, self.kind, self.durable = root, kind, durable
        # The versions that land while the run works are those after the newest one now: ids sort
        # in commit order, where the clock may step back.
        self.since = ""
        with contextlib.suppress(OSError):
            self.since = _newest_id(root) or ""
        self.started = history.new_version_id().split("-")[0]
        self.marker = None
        self._fd = None
        self._ended_at = None

    def begin(self, order_book_ids):
        """Mark the run as changing the files of `order_book_ids`, before any job runs."""
        # A root made by this run needs no marker: a version yet to come is then its first,
        # which names every file.
        if not ENABLED or self._fd is not None or not os.path.isdir(self.root):
            return
        directory = history.running_dir(self.root)
        remove_dead_marker_temporaries(self.root)
        text = json.dumps({"kind": self.kind, "order_book_ids": sorted(order_book_ids), "ended": None}).encode()
        ended_at = len(text) - len(_RUNNING + b"}")
        for attempt in range(3):
            name = "{}-{}{}".format(self.started, uuid.uuid4().hex[:8], history.MARKER_SUFFIX)
            temporary = history.temporary_path(os.path.join(directory, name), shared=False)
            fd = _create(directory, temporary)
            try:
                # Locked before it is written: a marker, or its temporary, found unlocked is a dead run's.
                fcntl.flock(fd, fcntl.LOCK_EX)
                if not _still_at(fd, temporary):
                    # Taken for a dead one between its making and the lock: made again.
                    os.close(fd)
                    continue
                with errors.full_disk_named(os.path.join(directory, name)):
                    os.write(fd, text)
                    os.replace(temporary, os.path.join(directory, name))
            except BaseException:
                os.close(fd)
                with contextlib.suppress(OSError):
                    os.remove(temporary)
                raise
            self.marker, self._fd, self._ended_at = os.path.join(directory, name), fd, ended_at
            return
        raise OSError("could not make a marker under {}: another process kept removing it".format(directory))

    def commit(self, run, outcomes, market=None):
        """Commit the run's version when it changed a file (or a dead run's files need one, or the
        client said something new of the market); its id or None.

        `outcomes`: the jobs' outcomes, each with the Entry of its file in `state` (None: unchanged).
        `market`: (listing, suspended) to keep with the version (see `commit`), or None.
        """
        if not ENABLED:
            return None
        try:
            return self._commit(run, outcomes, market)
        except BaseException:
            self._record_ended()
            raise

    def _commit(self, run, outcomes, market):
        entries = {}
        revised = 0
        for outcome in outcomes:
            entry = outcome.state
            if entry is not None:
                entries[entry.file] = entry.line
                revised += len(entry.revised)
        remove_dead_marker_temporaries(self.root)
        dead = self._dead_markers()
        covered = [h5_file for marker in dead for h5_file in self._files_of(marker)]
        if not entries and not covered and market is None:
            self._drop_marker()
            return None
        counts = dict(run.get("counts", {}), days_revised=revised)
        version_id = commit(self.root, self.kind, dict(run, counts=counts, since=self.since), entries,
                            self.durable, covered, market)
        _at("committed")
        for marker in dead:
            with contextlib.suppress(FileNotFoundError):
                os.remove(marker)
        self._drop_marker()
        return version_id

    def _files_of(self, marker):
        from corvane import formats
        try:
            with open(marker) as text:
                held = json.load(text)
        except (OSError, ValueError):
            return []
        found = []
        for order_book_id in held.get("order_book_ids", ()):
            with contextlib.suppress(ValueError, TypeError):
                h5_file = formats.locate(self.root, order_book_id, self.kind)
                if h5_file is not None:
                    found.append(h5_file)
        return found

    def _dead_markers(self):
        return [path for path in running_markers(self.root) if path != self.marker and not _alive(path)]

    def _drop_marker(self):
        if self.marker is not None:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self.marker)
            self.marker = None
            # A run that committed nothing leaves no directory of its own behind;
            # only empty ones go, so another run's marker or the log stay.
            for directory in (history.running_dir(self.root), history.history_dir(self.root)):
                with contextlib.suppress(OSError):
                    os.rmdir(directory)
        self.close()

    def _record_ended(self):
        """Say in the marker that its run ended without its version: it was not killed."""
        if self._fd is None or self._ended_at is None:
            return
        # Unrecorded (a file system that writes even this afresh, full), the run is taken for a
        # killed one: only the wording differs, the next version covers its files all the same.
        with contextlib.suppress(OSError):
            os.pwrite(self._fd, _ENDED, self._ended_at)

    def end(self):
        """The run ends without its version (Ctrl-C, a failure outside its jobs): say so in the
        marker, then let it go, so that verify does not take the run for a killed one."""
        self._record_ended()
        self.close()

    def close(self):
        """Let go of the marker's lock; a marker left then is a dead run's."""
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


def _create(directory, temporary):
    """A new marker's descriptor; a run ending beside this one may remove the
    empty directory between its making and the open, so that is tried again."""
    for attempt in range(3):
        try:
            with errors.full_disk_named(temporary):
                os.makedirs(directory, exist_ok=True)
                return os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
        except FileNotFoundError:
            if attempt == 2:
                raise


def _still_at(fd, path):
    """Whether `path` is still the file open as `fd`."""
    try:
        held = os.stat(path)
    except FileNotFoundError:
        return False
    opened = os.fstat(fd)
    return (held.st_dev, held.st_ino) == (opened.st_dev, opened.st_ino)


def _dead_marker_temporaries(root):
    """The marker temporaries no run holds: its writer locks one before writing it."""
    return [path for path in _running_entries(root, history.is_temporary) if not _alive(path)]


def remove_dead_marker_temporaries(root):
    """Remove what runs killed while writing their markers left; the paths removed."""
    removed = []
    for path in _dead_marker_temporaries(root):
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)
            removed.append(path)
    return removed


def running_markers(root):
    return _running_entries(root, lambda name: name.endswith(history.MARKER_SUFFIX) and not name.startswith("."))


def _running_entries(root, wanted):
    """The paths under the runs' markers' directory whose names are `wanted`, in name order."""
    directory = history.running_dir(root)
    try:
        names = sorted(os.listdir(directory))
    except FileNotFoundError:
        return []
    return [os.path.join(directory, name) for name in names if wanted(name)]


def run_ended(marker):
    """Whether the run that left `marker` recorded that it ended without its version (a run
    that died recorded nothing)."""
    try:
        with open(marker, encoding="utf-8") as text:
            held = json.load(text)
    except (OSError, ValueError):
        return False
    return isinstance(held, dict) and held.get("ended") is True


def _alive(marker):
    """Whether the run that left `marker` still holds it."""
    try:
        fd = os.open(marker, os.O_RDONLY)
    except FileNotFoundError:
        return True     # it just committed
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def run_line(report, kind):
    """The manifest's first line of an update's Report (its id comes with the commit)."""
    counts = report.counts
    return {"started": report.started, "ended": report.finished, "command": report.command,
            "words": list(report.words), "kind": kind, "client": report.client,
            "exit_status": report.exit_status,
            "counts": {"instruments": counts["instruments"], "rows_added": counts["rows_added"],
                       "failed": counts["failed"], "new": counts["new"], "updated": counts["updated"]}}


# ---------------------------------------------------------------- tags
