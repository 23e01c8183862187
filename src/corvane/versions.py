"""A root's versions: every update run that changed a file commits one.

Where they live and how a file reads back as of one is `corvane.history`;
here they are made, listed, named and pruned.  A run holds a marker under
`.corvane/running/` (locked while the run lives) naming what it selected;
once its jobs are done it commits its manifest and removes the marker.  A
run that died leaves its marker unlocked: the next run that commits also
records the present state of every file that run selected, so what a
killed run wrote is covered by the next version.

    from corvane import versions
    for run in versions.log("bundle/minbar"):
        print(run["id"], run["command"], run["counts"]["changed"])
"""
import contextlib
import datetime
import fcntl
import json
import os
import re
import time
import uuid

# Neither the engine nor pandas: `corvane log` reads the log alone, and starts fast.
from corvane import errors, history
from corvane.errors import VersionError

__all__ = ["Recorder", "commit", "job_state", "file_state", "version_ids", "read_run", "read_entries",
           "log", "resolve", "tag", "tags", "read_tags", "Snapshot", "gc", "leftovers", "state_key",
           "committed_at", "DamagedManifest", "checked_entry"]

# Off only for measuring what versions cost an update (bench/versions.py).
ENABLED = True
TEMPORARY_SUFFIX = ".tmp"
# Beside a file's segments: the newest one gc removed.
COLLECTED = "collected"
_TAG_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]{0,99}\Z")
# Called with the name of each step of a commit; the crash tests stop the
# committing process there.
_step = None


def _at(step):
    if _step is not None:
        _step(step)


def _hidden(root, *parts):
    return os.path.join(history.history_dir(root), *parts)


# ---------------------------------------------------------------- a file's state

def job_state(root, h5_file, kind, before, after, tails, h5=None):
    """The manifest entry of `h5_file` as its job left it, or None when the job changed nothing.

    `before`, `after`: the job's Held counts; `tails`: what the store gave of
    its last records (minute bars: "data_tail", "index_tail"; ticks: "days"
    written; "revised": the days a revision replaced), None when it gave
    nothing: the file is read then.  `h5`: the job's file, still open and
    held by it, which is read (its segments counted) instead of opening the
    file: another run may change the file the moment the job lets it go.
    """
    revised = (tails or {}).get("revised")
    inserted = (tails or {}).get("inserted")
    # A tick day written again may leave the counts as they were.
    rewritten = bool((tails or {}).get("days"))
    if after is None or after.rows is None or (after == before and not revised and not rewritten):
        return None
    if (tails is None or not ("days" in tails or "data_tail" in tails)
            or (kind == "tick" and (revised or inserted))):
        # Read from the file: a tick file's revised or inserted days lie outside the latest days
        # the store counts, and the entry must name its latest day all the same.
        named = [str(day) for day in revised or ()] + list(inserted or ())
        entry = file_state(root, h5_file, kind, _changed_days(before, after), named, h5)
    else:
        entry = {"file": history.relative(root, h5_file), "segments": segment_count(root, h5_file)}
        if kind == "tick":
            entry.update(days=tails["days"], day_count=after.days)
        else:
            entry.update(data_rows=after.rows, index_rows=after.days, data_tail=tails["data_tail"],
                         index_tail=tails["index_tail"])
    if revised:
        entry["revised"] = sorted(str(day) for day in revised)
    if inserted:
        entry["inserted"] = sorted(inserted)
    return entry


def _changed_days(before, after):
    """How many of a tick file's latest days a job may have written: the new ones and the one before."""
    if before is None or before.days is None or after.days is None:
        return None
    return after.days - before.days + 1


def segment_count(root, h5_file):
    """The number of the file's newest superseded segment (0: none)."""
    file = history.relative(root, h5_file)
    found = history.segments(root, file)
    return max(found[-1][0] if found else 0, collected(root, file))


def _digest(reader, name, rows):
    if not rows:
        return None
    # The engine's writable file reads its last record as it holds it now.
    read_last = getattr(reader, "read_last", None)
    return history.tail_digest(read_last(name) if read_last else reader.read(name, rows - 1, rows, threads=1)[0])


def file_state(root, h5_file, kind, latest_days=None, named=(), h5=None):
    """The manifest entry of `h5_file` as it is now, read from the file (`h5`: from the
    engine's file a job still holds open, as the job left it).

    Of a tick file its `latest_days` newest days (None: every day) and the days `named`.
    """
    from corvane import _engine
    entry = {"file": history.relative(root, h5_file), "segments": segment_count(root, h5_file)}
    if h5 is not None:
        return _held_state(entry, h5, kind, latest_days, named)
    with _engine.Reader(h5_file) as reader:
        return _held_state(entry, reader, kind, latest_days, named)


def _held_state(entry, reader, kind, latest_days, named):
    """`entry` completed with what `reader` (the engine's Reader or File) holds; see file_state."""
    from corvane import formats
    from corvane.formats import DATA, INDEX
    members = reader.members()
    if kind == "tick":
        stored = sorted(name for name in members if formats.is_day_name(name))
        days = stored
        if latest_days is not None:
            days = stored[len(stored) - max(latest_days, 1):] if stored else []
            days = sorted(set(days) | (set(named) & set(stored)))
        entry["days"] = {day: [reader.length(day), _digest(reader, day, reader.length(day))] for day in days}
        entry["day_count"] = len(stored)
        return entry
    rows = {name: reader.length(name) if name in members else 0 for name in (DATA, INDEX)}
    entry.update(data_rows=rows[DATA], index_rows=rows[INDEX], data_tail=_digest(reader, DATA, rows[DATA]),
                 index_tail=_digest(reader, INDEX, rows[INDEX]))
    return entry


def state_key(entry):
    """An order of the states a file passes through: later states sort higher.

    Segments only grow; between two cuts a minute-bar file only grows, and a
    tick file only adds days (a revisit may fill one in below its latest) or
    writes its latest one again.
    """
    if "days" in entry:
        last = max(entry["days"]) if entry["days"] else ""
        return (entry["segments"], last, entry["days"][last][0] if last else 0, entry.get("day_count", 0))
    return (entry["segments"], entry["data_rows"], entry["index_rows"])


# ---------------------------------------------------------------- reading the log

def version_ids(root):
    """Every committed version's id, oldest first."""
    try:
        names = os.listdir(history.versions_dir(root))
    except FileNotFoundError:
        return []
    suffix = history.MANIFEST_SUFFIX
    return sorted(name[:-len(suffix)] for name in names if name.endswith(suffix) and not name.startswith("."))


class DamagedManifest(VersionError):
    """A manifest that cannot be read as one; never taken for a version that lacks a file."""


def _manifest_text(root, version_id):
    try:
        with open(history.manifest_path(root, version_id), "rb") as manifest:
            return manifest.read()
    except OSError as error:
        raise _unreadable(root, version_id, error) from None


def _unreadable(root, version_id, error):
    return DamagedManifest("{}: the manifest of version {} cannot be read ({})".format(
        history.manifest_path(root, version_id), version_id, error.strerror or error))


def _damaged(root, version_id, what):
    return DamagedManifest("{}: damaged manifest: {}".format(history.manifest_path(root, version_id), what))


def _parsed(root, version_id, line, number):
    """The object on line `number` (1: the run) of a manifest; VersionError when it is none."""
    if not line.endswith(b"\n"):
        # Every line a commit writes ends with one: a line without it was cut short.
        raise _damaged(root, version_id, "line {} is cut short".format(number))
    try:
        found = json.loads(line)
    except ValueError as error:
        raise _damaged(root, version_id, "line {} is not JSON ({})".format(number, error)) from None
    if not isinstance(found, dict):
        raise _damaged(root, version_id, "line {} is not an object".format(number))
    return found


def read_run(root, version_id):
    """The run of a version: its manifest's first line; VersionError when the manifest is damaged."""
    try:
        # Its first line alone: `corvane log` reads every version's.
        with open(history.manifest_path(root, version_id), "rb") as manifest:
            line = manifest.readline()
    except OSError as error:
        raise _unreadable(root, version_id, error) from None
    return _parsed(root, version_id, line, 1)


def read_entries(root, version_id):
    """{file: entry} of a version's manifest; VersionError naming the manifest when it is damaged."""
    lines = _manifest_text(root, version_id).splitlines(keepends=True)
    if not lines:
        raise _damaged(root, version_id, "it is empty")
    run = _parsed(root, version_id, lines[0], 1)
    found = {}
    for number, line in enumerate(lines[1:], 2):
        if line.strip():
            entry = checked_entry(root, version_id, _parsed(root, version_id, line, number), number)
            found[entry["file"]] = entry
    changed = run.get("counts", {}).get("changed") if isinstance(run.get("counts"), dict) else None
    if _count(changed) and changed != len(found):
        # A commit counts the lines it writes: fewer were lost.
        raise _damaged(root, version_id, "{} file(s) where its run counted {}".format(len(found), changed))
    return found


def _count(value):
    return type(value) is int and value >= 0


def _digest_or_none(value):
    return value is None or isinstance(value, str)


def _entry_problem(entry):
    """What is wrong with a manifest entry's fields, or None."""
    if not isinstance(entry.get("file"), str) or not entry["file"]:
        return "no \"file\""
    if not _count(entry.get("segments")):
        return "\"segments\" is not a count"
    if "days" in entry:
        days = entry["days"]
        if not isinstance(days, dict) or not all(
                isinstance(day, str) and isinstance(held, list) and len(held) == 2 and _count(held[0])
                and _digest_or_none(held[1]) for day, held in days.items()):
            return "\"days\" is not {YYYYMMDD: [rows, digest]}"
        if "day_count" in entry and not _count(entry["day_count"]):
            return "\"day_count\" is not a count"
    elif not all(_count(entry.get(name)) for name in ("data_rows", "index_rows")):
        return "\"data_rows\" or \"index_rows\" is not a count"
    elif not all(name in entry and _digest_or_none(entry[name]) for name in ("data_tail", "index_tail")):
        return "\"data_tail\" or \"index_tail\" is not a digest"
    for name in ("revised", "inserted"):
        if name in entry and not (isinstance(entry[name], list) and all(isinstance(d, str) for d in entry[name])):
            return "\"{}\" is not a list of days".format(name)
    return None


def checked_entry(root, version_id, entry, number):
    """`entry` (line `number` of the manifest) when its fields are a file's state; VersionError otherwise."""
    problem = _entry_problem(entry)
    if problem is not None:
        raise _damaged(root, version_id, "line {} ({}): {}".format(number, entry.get("file", "?"), problem))
    return entry


def log(root):
    """Every version's run, newest first."""
    return [read_run(root, version_id) for version_id in reversed(version_ids(root))]


def tags(root):
    """{name: version id} of the root's tags that each name one version of the log."""
    return read_tags(root)[0]


def read_tags(root, ids=None):
    """({name: version id}, {name: what is wrong}) of the files under `tags/`.

    A tag is exactly one version id and a newline, under a tag's name, naming
    a version of the log: anything else names no version, and would protect
    none from gc, so it is reported rather than read past.
    """
    directory = _hidden(root, "tags")
    try:
        names = sorted(os.listdir(directory))
    except FileNotFoundError:
        return {}, {}
    ids = set(version_ids(root) if ids is None else ids)
    good, bad = {}, {}
    for name in names:
        if name.startswith(".") and name.endswith(TEMPORARY_SUFFIX):
            continue        # a tag being written, or a leftover of one
        try:
            good[name] = _tag_target(directory, name, ids)
        except VersionError as error:
            bad[name] = str(error)
    return good, bad


def _tag_target(directory, name, ids):
    if not _TAG_NAME.match(name):
        raise VersionError("is not a tag's name (letters, digits, '.', '_' and '-', starting with a letter or digit)")
    try:
        with open(os.path.join(directory, name), "rb") as held:
            text = held.read(100)
    except IsADirectoryError:
        raise VersionError("is a directory, not a tag") from None
    if not text:
        raise VersionError("is empty: it names no version")
    version_id = text[:-1].decode("utf-8", "replace")
    if not text.endswith(b"\n") or not history.is_version_id(version_id):
        raise VersionError("holds {!r}, not one version id and a newline".format(text.decode("utf-8", "replace")))
    if version_id not in ids:
        raise VersionError("names version {}, which is not in the log".format(version_id))
    return version_id


def _stamp(moment):
    """A moment as the leading part of the ids committed at it (UTC to the microsecond)."""
    import pandas as pd
    if isinstance(moment, (int, float)) and not isinstance(moment, bool):
        return history.new_version_id(float(moment)).split("-")[0]
    try:
        stamp = pd.Timestamp(moment)
    except (ValueError, TypeError):
        return None
    if stamp is pd.NaT:
        return None
    if stamp.tzinfo is None:
        # A time without a zone is the user's local time.
        stamp = pd.Timestamp(stamp.to_pydatetime().astimezone())
    utc = stamp.tz_convert(datetime.timezone.utc)
    return "{}.{:06d}Z".format(utc.strftime("%Y%m%dT%H%M%S"), utc.microsecond)


def resolve(root, as_of, ids=None):
    """The id of the version `as_of` names: an id, a tag, or a moment (the latest version
    committed at or before it: a datetime, a timestamp text, or seconds since the epoch).
    `ids`: the root's version ids, when the caller has listed them."""
    ids = version_ids(root) if ids is None else ids
    if not ids:
        raise VersionError("{} has no versions yet: an update that changes a file commits the first"
                           .format(root))
    if isinstance(as_of, str):
        if as_of in ids:
            return as_of
        named, bad = read_tags(root, ids)
        if as_of in bad:
            raise VersionError("tag {!r} of {} {}".format(as_of, root, bad[as_of]))
        if as_of in named:
            return named[as_of]
    stamp = _stamp(as_of)
    if stamp is None:
        raise VersionError("{!r} is no version, tag or time of {}; `corvane log` lists them".format(as_of, root))
    # An id at the very moment sorts after its stamp (the random tail follows it).
    at_or_before = [version_id for version_id in ids if version_id.split("-")[0] <= stamp]
    if not at_or_before:
        raise VersionError("{} has no version committed at or before {} (the first is {})".format(
            root, as_of, ids[0]))
    return at_or_before[-1]


class Snapshot:
    """One version of one root: each file's entry, its manifests read as they are needed."""

    def __init__(self, root, as_of):
        self.root = root
        ids = version_ids(root)
        self.id = resolve(root, as_of, ids)
        self._ids = ids
        self._older = ids[:ids.index(self.id) + 1]
        self._text = {}

    def _manifest(self, version_id):
        text = self._text.get(version_id)
        if text is None:
            text = self._text[version_id] = _manifest_text(self.root, version_id)
        return text

    def entry(self, h5_file):
        """The entry of `h5_file` as of this version; VersionError when no version up to it names it.

        A manifest's lines begin with their file, so the line is found without parsing the rest.
        """
        for version_id in reversed(self._older):
            entry = self._entry_in(version_id, h5_file)
            if entry is not None:
                return entry
        raise VersionError("{} did not exist as of version {} of {}".format(h5_file, self.id, self.root))

    def _entry_in(self, version_id, h5_file):
        key = b'{"file":' + json.dumps(history.relative(self.root, h5_file)).encode() + b","
        text = self._manifest(version_id)
        at = text.find(key)
        if at < 0:
            return None
        end = text.find(b"\n", at) + 1 or len(text)
        entry = _parsed(self.root, version_id, text[at:end], text.count(b"\n", 0, at) + 1)
        return checked_entry(self.root, version_id, entry, text.count(b"\n", 0, at) + 1)

    def inserted_later(self, h5_file):
        """The tick days that versions after this one filled in below a day the file held."""
        found = set()
        for version_id in self._ids[len(self._older):]:
            found.update((self._entry_in(version_id, h5_file) or {}).get("inserted", ()))
        return found

    def files(self):
        """{file: entry} of every file the version holds."""
        held = {}
        for version_id in self._older:
            held.update(read_entries(self.root, version_id))
        return held


# ---------------------------------------------------------------- committing

def _write_whole(path, text, durable):
    """`text` at `path`, whole or not at all: a temporary beside it, renamed."""
    directory, name = os.path.split(path)
    temporary = os.path.join(directory, "." + name + TEMPORARY_SUFFIX)
    try:
        with errors.full_disk_named(path), open(temporary, "w", encoding="utf-8") as out:
            out.write(text)
            _at("written")
            if durable:
                out.flush()
                os.fsync(out.fileno())
        _at("synced")
        os.replace(temporary, path)
    except BaseException:
        # Only a killed writer leaves its temporary: one that failed (a full disk) is no leftover.
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise
    _at("renamed")
    if durable:
        _sync_directory(directory)


def _sync_directory(directory):
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@contextlib.contextmanager
def _commit_lock(root):
    """Commits on one root one at a time: ids then sort in the order the versions landed."""
    os.makedirs(history.versions_dir(root), exist_ok=True)
    fd = os.open(_hidden(root, "commit.lock"), os.O_RDWR | os.O_CREAT, 0o644)
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
_RUN_FACTS = ("revised", "inserted")


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


def commit(root, kind, run, entries, durable=False, covered=()):
    """Commit a version of `root`: `run` (the manifest's first line, without its id) and
    `entries` ({file: entry}); also the present state of the files `covered` (paths) names.
    Returns the version's id."""
    with _commit_lock(root):
        _at("locked")
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
        _write_whole(history.manifest_path(root, version_id),
                     manifest_text(run, [entries[file] for file in sorted(entries)]), durable)
    return version_id


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

    def begin(self, order_book_ids):
        """Mark the run as changing the files of `order_book_ids`, before any job runs."""
        # A root made by this run needs no marker: a version yet to come is then its first,
        # which names every file.
        if not ENABLED or self._fd is not None or not os.path.isdir(self.root):
            return
        directory = _hidden(self.root, "running")
        remove_dead_marker_temporaries(self.root)
        text = json.dumps({"kind": self.kind, "order_book_ids": sorted(order_book_ids)}).encode()
        for attempt in range(3):
            name = "{}-{}.json".format(self.started, uuid.uuid4().hex[:8])
            temporary = os.path.join(directory, "." + name + TEMPORARY_SUFFIX)
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
            self.marker, self._fd = os.path.join(directory, name), fd
            return
        raise OSError("could not make a marker under {}: another process kept removing it".format(directory))

    def commit(self, run, outcomes):
        """Commit the run's version when it changed a file (or a dead run's files need one); its id or None."""
        if not ENABLED:
            return None
        entries = {}
        revised = 0
        for outcome in outcomes:
            state = getattr(outcome, "state", None)
            if state:
                entries[state["file"]] = state
                revised += len(state.get("revised", ()))
        remove_dead_marker_temporaries(self.root)
        dead = self._dead_markers()
        covered = [h5_file for marker in dead for h5_file in self._files_of(marker)]
        if not entries and not covered:
            self._drop_marker()
            return None
        counts = dict(run.get("counts", {}), days_revised=revised)
        version_id = commit(self.root, self.kind, dict(run, counts=counts, since=self.since), entries,
                            self.durable, covered)
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
            for directory in (_hidden(self.root, "running"), _hidden(self.root)):
                with contextlib.suppress(OSError):
                    os.rmdir(directory)
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
    directory = _hidden(root, "running")
    try:
        names = sorted(os.listdir(directory))
    except FileNotFoundError:
        return []
    return [path for path in (os.path.join(directory, name) for name in names
                              if name.startswith(".") and name.endswith(TEMPORARY_SUFFIX))
            if not _alive(path)]


def remove_dead_marker_temporaries(root):
    """Remove what runs killed while writing their markers left; the paths removed."""
    removed = []
    for path in _dead_marker_temporaries(root):
        with contextlib.suppress(FileNotFoundError):
            os.remove(path)
            removed.append(path)
    return removed


def running_markers(root):
    directory = _hidden(root, "running")
    try:
        names = sorted(os.listdir(directory))
    except FileNotFoundError:
        return []
    return [os.path.join(directory, name) for name in names if name.endswith(".json") and not name.startswith(".")]


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
    directory = _hidden(root, "tags")
    os.makedirs(directory, exist_ok=True)
    # Under the commit lock: a temporary found while holding it is a killed writer's.
    with _commit_lock(root):
        _write_whole(os.path.join(directory, name), version_id + "\n", durable=True)
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
    for directory in (history.versions_dir(root), _hidden(root, "tags")):
        with contextlib.suppress(FileNotFoundError):
            found += [os.path.join(directory, name) for name in sorted(os.listdir(directory))
                      if name.startswith(".") and name.endswith(TEMPORARY_SUFFIX)]
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
    path = _hidden(root, "commit.lock")
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
    top = os.path.join(history.history_dir(root), "superseded")
    for directory, _, names in os.walk(top):
        if not any(name.endswith(history.SEGMENT_SUFFIX) for name in names):
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
            _write_whole(os.path.join(directory, COLLECTED), "{}\n".format(gone[-1][0]), durable=True)
        for seq, path in gone:
            size = os.path.getsize(path)
            os.remove(path)
            removed.append((path, size))
    return removed


def collected(root, file):
    """The newest segment number of `file` that gc removed (0: none)."""
    try:
        with open(_collected_path(root, file)) as text:
            held = text.read()
    except (FileNotFoundError, NotADirectoryError):
        return 0
    except (OSError, UnicodeDecodeError) as error:
        raise VersionError("{}: gc's record of what it removed cannot be read ({})".format(
            _collected_path(root, file), error)) from None
    if not held.strip():
        return 0
    if not held.strip().isdigit():
        # Taken for 0, a junk record would let a read use segments gc removed.
        raise VersionError("{}: gc's record of what it removed holds {!r}, not a segment number".format(
            _collected_path(root, file), held[:40]))
    return int(held)


def _collected_path(root, file):
    return os.path.join(history.superseded_dir(root, file), COLLECTED)
