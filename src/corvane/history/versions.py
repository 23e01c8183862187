"""A root's versions read back: their ids, manifests, log and tags, and the
version an id, a tag or a time names (`resolve`, `Snapshot`).

Every update run that changed a file commits one (`corvane.history.commits`).
Where they live is `corvane.history.layout`; how a file reads back as of one,
`corvane.history.asof`; tags and gc, `corvane.history.keeping`.

    from corvane.history import versions
    for run in versions.log("bundle/minbar"):
        print(run["id"], run["command"], run["counts"]["changed"])
"""
import datetime
import json
import os
import re
import time

# Neither the engine nor pandas: `corvane log` reads the log alone, and starts fast.
from corvane.history import layout as history
from corvane.errors import VersionError
from corvane.whole_files import SETTLED_NS, stamp


_TAG_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]{0,99}\Z")


# ---------------------------------------------------------------- a file's state

# {versions directory: (its stamp, the ids)}.  A commit adds its manifest to the directory and
# gc removes some, so the directory's stamp moves with every change of the ids: while it holds,
# and was settled when taken, the ids hold without a listing (a year of nightly runs is 365).
_IDS = {}


def version_ids(root):
    """Every committed version's id, oldest first."""
    directory = history.versions_dir(root)
    try:
        status = os.stat(directory)
    except FileNotFoundError:
        return []
    kept = _IDS.get(directory)
    if kept is not None and kept[0] == stamp(status):
        return list(kept[1])
    # The stamp is taken before the listing: a commit meanwhile moves it again.
    now = time.time_ns()
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return []
    suffix = history.MANIFEST_SUFFIX
    ids = sorted(name[:-len(suffix)] for name in names if name.endswith(suffix) and not name.startswith("."))
    if now - status.st_mtime_ns > SETTLED_NS:
        _IDS[directory] = (stamp(status), tuple(ids))
    return ids


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
    directory = history.tags_dir(root)
    try:
        names = sorted(os.listdir(directory))
    except FileNotFoundError:
        return {}, {}
    ids = set(version_ids(root) if ids is None else ids)
    good, bad = {}, {}
    for name in names:
        if history.is_temporary(name):
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
