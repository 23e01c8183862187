"""Where a bundle root keeps its history: versions, tags, and what revisions replaced.

Beside the instrument files of a root (a minute-bar root or a tick directory),
in a hidden directory no reader of the files takes for one of them.  Every
name under it is declared here, and only here:

    .corvane/versions/{id}.jsonl
        One manifest per version, written whole by a rename and never changed.
        Its first line is the run: {"id", "committed" (when, by the clock),
        "started", "ended", "command", "words", "kind", "client": {"module",
        "version"}, "exit_status", "counts"}.  Each further line is one file
        the run changed, as the run left it: {"file": its path under the
        root, "segments": how many superseded segments the file had then,
        and for minute bars "data_rows", "index_rows", "data_tail",
        "index_tail" (the digest of the last record of each), for ticks
        "days": {YYYYMMDD: [rows, tail]} and "day_count" (the days the
        file held; absent in older logs), "revised": [YYYYMMDD, ...] when
        the run replaced stored days, and "inserted": [YYYYMMDD, ...] when
        it wrote tick days below one stored}.
        Ids sort in the order the versions were committed: an id's stamp is
        the commit's UTC time, or one microsecond past the newest id's when
        the clock stands behind it; "committed" in the run is the clock's.

    .corvane/superseded/{file}/{seq}.h5
        What one revision cut from `file`, moved here by the engine before
        the file changed, numbered 1, 2, ... per file in the order they were
        made (under the file's writer lock).  A minute-bar segment holds
        "data" and "index" of the file's own record types: rows
        [cut_data_row, data_rows) and [cut_index_row, index_rows) of the file
        as it was, with those four numbers as attributes.  A tick segment
        holds each replaced day's dataset, named and typed as in the file.
        The segment's names (its suffix, the zero-padded width of its
        number, its attributes) are the engine's: `_engine.history_names()`.

    .corvane/superseded/{file}/collected
        The number of the newest segment of `file` that `corvane gc`
        removed, and a newline: written whole before any goes, so that a
        read as of an older version knows its content was collected.

    .corvane/tags/{name}
        A version's id and a newline, under a name the operator gave it;
        gc keeps what a tagged version needs.  Written whole by a rename.

    .corvane/running/{started}-{random}.json
        One per update run while it works, locked by it: {"kind",
        "order_book_ids"} it selected.  One found unlocked is a killed
        run's, whose files the next version covers.

    .corvane/commit.lock
        Locked while a version is committed, a tag made or gc removes
        segments: one at a time on a root.

    .corvane/market/{id}.json
        What the market-data client said when the run of version {id} ran,
        written whole (under the commit lock, before the manifest) by a run
        that learned something new of it: {"format": 1, "version": id,
        "listing": {order_book_id: the client's listing of each instrument
        the run updated, every column it holds, dates as YYYYMMDD and a
        missing value as null}, "suspended": {order_book_id: [YYYYMMDD, ...]
        the trading days of its venue, within its life and the range the
        run asked for, on which the client served no bars}}.  As of a
        version, the listing is the newest one of each instrument among the
        versions up to it, and the suspended days their union; one whose
        version has no manifest (a run killed between the two) counts for
        none.

    .corvane/calendar-{venue}.json
        A venue's calendar (the union of the dates its minute-bar files hold)
        as a reader found it, with the stamps of the root's directories and
        a digest of its files' stamps: {"venue", "directories", "files",
        "calendar"}.  Kept only once settled, written whole by a rename, for
        the next process; one that does not match the files is read again
        from them.

    .corvane/verified.json
        What `corvane verify` last found sound, so the next check opens only
        what changed since: {"format", "version" (the newest version up to
        which every manifest and entry checked was sound), "manifests": {id:
        stamp}, "files": {file: [the id of its newest entry, then its stamp:
        inode, size, modification and change times in ns]}, "segments":
        {file: its newest segment found sound}}.  Written whole by a rename;
        one that cannot be read is taken for none.

A file written whole goes first to a hidden temporary beside it,
`.{name}.{writer}.tmp` (`temporary_path`), renamed over it once complete; a
run's marker, to `.{name}.tmp`.  One found under the commit lock (or, of a
marker, unlocked) is a killed writer's leftover (`is_temporary`).

A file as of a version: its entry in the newest manifest at or before the
version that names it gives its lengths and its segment count k.  Segments
k+1, k+2, ... were cut later; taken in order, each whose cut lies below the
rows still unresolved supplies rows [cut, unresolved) as they were, and the
file itself supplies the rows below the lowest cut.  A tick day replaced
later is read from the first later segment that holds it; a tick day a
later version inserted is not the version's (later manifests are read for
them only when the file holds more days up to the version's latest than
its day_count).
"""
import datetime
import os
import re
import time
import uuid
import zlib

from corvane import _engine
# A whole write names its own temporaries; the history tells its leftovers by them.
from corvane.whole_files import TEMPORARY_SUFFIX, is_temporary, temporary_path  # noqa: F401

__all__ = ["HIDDEN", "VERSIONS", "MANIFEST_SUFFIX", "SUPERSEDED", "SEGMENT_SUFFIX", "SEGMENT_DIGITS", "COLLECTED",
           "TAGS", "RUNNING", "MARKET", "MARKET_SUFFIX", "MARKER_SUFFIX", "COMMIT_LOCK", "VERIFIED",
           "TEMPORARY_SUFFIX", "history_dir", "versions_dir", "manifest_path", "superseded_root", "superseded_dir",
           "segment_name", "segment_seq", "segment_path", "segments", "collected_path", "tags_dir", "tag_path",
           "running_dir", "commit_lock_path", "market_dir", "market_path", "calendar_path", "verified_path",
           "temporary_path", "is_temporary", "new_version_id", "stamp_micros", "is_version_id", "relative", "tail_digest"]

# The engine writes the segments: their names are its own.
_SEGMENT_NAMES = _engine.history_names()

HIDDEN = ".corvane"
VERSIONS = "versions"
MANIFEST_SUFFIX = ".jsonl"
SUPERSEDED = "superseded"
SEGMENT_SUFFIX = _SEGMENT_NAMES["segment_suffix"]
SEGMENT_DIGITS = _SEGMENT_NAMES["segment_digits"]
COLLECTED = "collected"
TAGS = "tags"
RUNNING = "running"
MARKER_SUFFIX = ".json"
COMMIT_LOCK = "commit.lock"
MARKET = "market"
MARKET_SUFFIX = ".json"
_CALENDAR = "calendar-{}.json"
VERIFIED = "verified.json"
# A version id: its stamp (UTC to the microsecond), then a random tail.
_ID = re.compile(r"(\d{8}T\d{6})\.(\d{6})Z-[0-9a-f]{6}")


def history_dir(root):
    return os.path.join(root, HIDDEN)


def versions_dir(root):
    return os.path.join(root, HIDDEN, VERSIONS)


def manifest_path(root, version_id):
    return os.path.join(versions_dir(root), version_id + MANIFEST_SUFFIX)


def tags_dir(root):
    return os.path.join(root, HIDDEN, TAGS)


def tag_path(root, name):
    return os.path.join(tags_dir(root), name)


def running_dir(root):
    return os.path.join(root, HIDDEN, RUNNING)


def commit_lock_path(root):
    return os.path.join(root, HIDDEN, COMMIT_LOCK)


def market_dir(root):
    return os.path.join(root, HIDDEN, MARKET)


def market_path(root, version_id):
    """What the client said of the market when the run of `version_id` ran."""
    return os.path.join(market_dir(root), version_id + MARKET_SUFFIX)


def calendar_path(root, venue):
    return os.path.join(root, HIDDEN, _CALENDAR.format(venue or "_"))


def verified_path(root):
    return os.path.join(root, HIDDEN, VERIFIED)


def new_version_id(now=None, after=None):
    """An id that sorts by time: UTC to the microsecond, then a random tail
    so two runs committing in the same microsecond never collide.

    `after`: an id the new one must sort after whatever the clock says; its
    stamp is then at least one microsecond past that id's.
    """
    now = time.time() if now is None else now
    total = round(now * 1e6)
    if after is not None:
        total = max(total, stamp_micros(after) + 1)
    seconds, micros = divmod(total, 1000000)
    stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime(seconds))
    return "{}.{:06d}Z-{}".format(stamp, micros, uuid.uuid4().hex[:6])


def stamp_micros(version_id):
    """Microseconds since the epoch of an id's stamp; ValueError when it is no id."""
    match = _ID.fullmatch(version_id)
    if match is None:
        raise ValueError("{!r} is not a version id".format(version_id))
    moment = datetime.datetime.strptime(match.group(1), "%Y%m%dT%H%M%S").replace(tzinfo=datetime.timezone.utc)
    return int(moment.timestamp()) * 1000000 + int(match.group(2))


def is_version_id(text):
    return _ID.fullmatch(text) is not None


def relative(root, h5_file):
    """`h5_file`'s path under `root`, with "/" between its parts."""
    prefix = _prefixes.get(root)
    if prefix is None:
        prefix = _prefixes[root] = _prefix_of(root)
    if prefix and h5_file.startswith(prefix):
        parts = h5_file[len(prefix):].split(os.sep)
        # Plain names only: what relpath would give, without its two abspaths a file.
        if "" not in parts and "." not in parts and ".." not in parts:
            return "/".join(parts)
    return os.path.relpath(h5_file, root).replace(os.sep, "/")


# {root: the prefix of a path under it, "" when `root` is no plain absolute path}: a run asks of one root.
_prefixes = {}


def _prefix_of(root):
    if len(_prefixes) >= 64:
        _prefixes.clear()
    if not isinstance(root, str) or not os.path.isabs(root) or os.path.normpath(root) != root or root.startswith("//"):
        return ""
    return root if root.endswith(os.sep) else root + os.sep


def superseded_root(root):
    """Where the superseded segments of every file of `root` go, a directory per file."""
    return os.path.join(root, HIDDEN, SUPERSEDED)


def superseded_dir(root, file):
    return os.path.join(superseded_root(root), *file.split("/"))


def segment_name(seq):
    return "{:0{}d}{}".format(seq, SEGMENT_DIGITS, SEGMENT_SUFFIX)


def segment_seq(name):
    """The number of the segment file named `name`; None when the name is no segment's."""
    stem, suffix = os.path.splitext(name)
    return int(stem) if suffix == SEGMENT_SUFFIX and stem.isdigit() else None


def segment_path(root, file, seq):
    return os.path.join(superseded_dir(root, file), segment_name(seq))


def segments(root, file):
    """[(seq, path)] of `file`'s superseded segments, oldest first; [] when none."""
    directory = superseded_dir(root, file)
    try:
        names = os.listdir(directory)
    except FileNotFoundError:
        return []
    found = [(segment_seq(name), os.path.join(directory, name)) for name in names]
    found = [(seq, path) for seq, path in found if seq is not None]
    return sorted(found)


def collected_path(root, file):
    """gc's record, beside `file`'s segments, of the newest one it removed."""
    return os.path.join(superseded_dir(root, file), COLLECTED)


def tail_digest(record):
    """The digest a manifest keeps of a dataset's last record (its bytes)."""
    return "{:08x}".format(zlib.crc32(bytes(record)))
