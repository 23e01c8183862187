"""Reading a file as a version of its root held it.

A `Version` finds each file's entry (the newest manifest at or before the
version naming it, `corvane.history.layout`), and opens the file as a reader that
answers as the engine's `Reader` does, but with the version's rows: the
file's own rows below the lowest later cut, the superseded segments' above
it.  Before a row is returned, the entry's lengths and the digests of its
last records are checked against what the reader would give: a file
changed outside corvane raises VersionError instead of returning other data.
"""
import os

import numpy as np

from corvane import _engine, formats
from corvane.history import layout as history
from corvane.history import states
from corvane.history import versions
from corvane.errors import VersionError
from corvane.formats import DATA, INDEX


class Collected(VersionError):
    """What a version held of a file was removed by `corvane gc`, as gc is meant to."""


class Version(versions.Snapshot):
    """One version of one root, its manifests read as they are needed; opens its files."""

    def __init__(self, root, as_of):
        super().__init__(root, as_of)
        self._checked = set()

    def open(self, h5_file):
        """A reader of `h5_file` as of this version, checked (once per read: a Version lives as long as one)."""
        return self.open_entry(h5_file, self.entry(h5_file))

    def open_entry(self, h5_file, entry):
        """A reader of `h5_file` as of this version, from `entry`, the file's entry as of it."""
        view = (TickView if "days" in entry else MinbarView)(self, h5_file, entry)
        try:
            view.load()
            if h5_file not in self._checked:
                view.check()
                self._checked.add(h5_file)
        except BaseException as error:
            view.close()
            if isinstance(error, VersionError) and not isinstance(error, Collected):
                # gc may have removed a segment between its listing and its open: Collected then.
                _later_segments(self, h5_file, entry)
            raise
        return view


def version_of(root, as_of):
    """A Version of `root`, or None for `as_of` None (a plain read)."""
    return None if as_of is None else Version(root, as_of)


def _later_segments(version, h5_file, entry):
    """[(seq, path)] of the segments cut from the file after the version, in order.

    They are numbered on from the version's count without a gap; a file past
    a gap is only a missing segment's sign when it is a segment itself (junk
    there is no reason to refuse a version that needs nothing of it).
    Collected when gc removed one the version needs; VersionError when one is
    missing otherwise.
    """
    file = history.relative(version.root, h5_file)
    try:
        present = dict(history.segments(version.root, file))
    except NotADirectoryError:
        raise VersionError("{}: not a directory, where the superseded segments of {} go".format(
            history.superseded_dir(version.root, file), h5_file)) from None
    later, seq = [], entry["segments"] + 1
    while seq in present:
        later.append((seq, present[seq]))
        seq += 1
    collected = states.collected(version.root, file)
    beyond = [present[number] for number in sorted(present) if number > seq]
    # gc removes the oldest first: the first a version needs is gone before any later one.
    if not later and seq <= collected:
        raise Collected("{}: what version {} held of it was removed by `corvane gc` (superseded "
                        "segment {} is gone)".format(h5_file, version.id, seq))
    if any(is_segment(path) for path in beyond):
        raise VersionError("{}: version {} needs superseded segment {}, which is missing (gc did not remove "
                           "it: gc's record ends at {})".format(h5_file, version.id,
                                                                history.segment_path(version.root, file, seq),
                                                                collected))
    return later


def is_segment(path):
    """Whether `path` is a superseded segment as the engine leaves one (its cuts, or tick days)."""
    try:
        facts = _engine.segment_facts(path)
    except OSError:
        return False
    return facts["kind"] == "minbar" or any(formats.is_day_name(day) for day in facts["days"])


def _facts(path):
    """The engine's checked facts of the segment at `path`; VersionError when it is none."""
    try:
        return _engine.segment_facts(path)
    except OSError as error:
        raise _not_a_segment(path, _why(path, error)) from None


def _why(path, error):
    """The engine's refusal without the path and the words the VersionError says itself."""
    text = " ".join(str(error).split())
    prefix = "'{}' is not a superseded segment: ".format(path)
    return text[len(prefix):] if text.startswith(prefix) else text


def _not_a_segment(path, why):
    return VersionError("{}: not a superseded segment ({}); a foreign or damaged file where "
                        "corvane keeps what revisions replaced".format(path, why))


class _Source:
    """Rows [low, high) of a dataset of the version come from rows [low - shift, ...) of `reader`."""

    def __init__(self, reader, low, high, shift):
        self.reader, self.low, self.high, self.shift = reader, low, high, shift


class _View:
    def __init__(self, version, h5_file, entry):
        self.version, self.h5_file, self.entry = version, h5_file, entry
        self.path = h5_file
        self._readers = []

    def load(self):
        """Open the file and the later segments it needs (closed by `close`, whatever fails)."""
        self.later = _later_segments(self.version, self.h5_file, self.entry)
        self.reader = self._open(self.h5_file)

    def _open(self, path):
        try:
            reader = _engine.Reader(path)
        except OSError as error:
            if path == self.h5_file:
                raise
            raise _not_a_segment(path, " ".join(str(error).split())) from None
        self._readers.append(reader)
        return reader

    def close(self):
        for reader in self._readers:
            reader.close()
        self._readers = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _changed(self, what):
        return VersionError("{}: {}, not what version {} recorded; it was changed outside corvane"
                            .format(self.h5_file, what, self.version.id))


class MinbarView(_View):
    """A minute-bar file as of a version: "data" and "index" pieced from the file and later segments."""

    def __init__(self, version, h5_file, entry):
        super().__init__(version, h5_file, entry)
        self.rows = {DATA: entry["data_rows"], INDEX: entry["index_rows"]}

    def load(self):
        super().load()
        self.sources = {DATA: [], INDEX: []}
        unresolved = dict(self.rows)
        for seq, path in self.later:
            cuts = _segment_cuts(path)
            segment = None
            for name in (DATA, INDEX):
                cut = cuts[name]
                if cut < unresolved[name]:
                    segment = segment or self._open(path)
                    self.sources[name].append(_Source(segment, cut, unresolved[name], cut))
                    unresolved[name] = cut
        for name in (DATA, INDEX):
            self.sources[name].append(_Source(self.reader, 0, unresolved[name], 0))
            self.sources[name].reverse()

    def check(self):
        members = self.reader.members()
        for name, tail in ((DATA, "data_tail"), (INDEX, "index_tail")):
            own = self.sources[name][0].high
            held = self.reader.length(name) if name in members else 0
            if held < own:
                raise self._changed("\"{}\" holds {} rows where the version had {}".format(name, held, own))
            for source in self.sources[name][1:]:
                if source.reader.length(name) < source.high - source.shift:
                    raise VersionError("{}: a superseded segment holds fewer rows of \"{}\" than version {} "
                                       "needs".format(self.h5_file, name, self.version.id))
            rows = self.rows[name]
            if rows and history.tail_digest(self.read(name, rows - 1, rows)[0]) != self.entry[tail]:
                raise self._changed("the last row of \"{}\" differs".format(name))

    def members(self):
        return [DATA, INDEX]

    def __contains__(self, name):
        return name in self.rows

    def length(self, name):
        return self.rows[name]

    def dtype(self, name):
        return self.reader.dtype(name)

    def chunk_rows(self, name):
        return self.reader.chunk_rows(name)

    def _pieces(self, name, start, stop):
        for source in self.sources[name]:
            low, high = max(start, source.low), min(stop, source.high)
            if low < high:
                yield source, low, high

    def read(self, name, start=0, stop=None, threads=0):
        stop = self.rows[name] if stop is None else min(stop, self.rows[name])
        parts = [source.reader.read(name, low - source.shift, high - source.shift, threads=threads)
                 for source, low, high in self._pieces(name, start, stop)]
        if len(parts) == 1:
            return parts[0]
        return np.concatenate(parts) if parts else np.zeros(0, dtype=self.reader.dtype(name))

    def read_into(self, name, start, stop, columns, threads=0):
        for source, low, high in self._pieces(name, start, stop):
            part = [(field, out[low - start:high - start], conversion) for field, out, conversion in columns]
            source.reader.read_into(name, low - source.shift, high - source.shift, part, threads)

    def fold_bars(self, name, start, day_rows, fields, time="datetime", minutes=0, threads=0):
        """The engine's fold (`_engine.Reader.fold_bars`) of the version's rows, each piece folded
        by the reader holding it, so a date's bars add up as a plain read's do.  A revision cuts
        the file at a date: no date spans two pieces."""
        bounds = np.cumsum([0] + list(day_rows)) + start
        parts, day = [], 0
        for source, low, high in self._pieces(name, start, int(bounds[-1])):
            stop = int(np.searchsorted(bounds, high, side="right")) - 1
            if bounds[day] != low or bounds[stop] != high:
                raise VersionError("{}: a superseded segment of version {} begins inside a trading date"
                                   .format(self.h5_file, self.version.id))
            ends, days, columns = source.reader.fold_bars(name, low - source.shift, list(day_rows[day:stop]), fields,
                                                          time, minutes=minutes, threads=threads)
            parts.append((ends, days + day, columns))
            day = stop
        if len(parts) == 1:
            return parts[0]
        if not parts:
            return self.reader.fold_bars(name, 0, list(day_rows), fields, time, minutes=minutes, threads=threads)
        return (np.concatenate([part[0] for part in parts]), np.concatenate([part[1] for part in parts]),
                [np.concatenate(column) for column in zip(*(part[2] for part in parts))])


def _segment_cuts(path):
    """{DATA: row, INDEX: row}: where a minute-bar segment was cut; VersionError when it is no such segment."""
    facts = _facts(path)
    if facts["kind"] != "minbar":
        raise _not_a_segment(path, "it holds no \"{}\"".format(DATA))
    return facts["cuts"]


def _segment_days(path):
    """The tick days a segment holds; VersionError when it is no segment."""
    facts = _facts(path)
    return [name for name in facts.get("days", ()) if formats.is_day_name(name)]


class TickView(_View):
    """A tick file as of a version: its days up to the version's latest, a day replaced later read
    from the first later segment that holds it."""

    def load(self):
        super().load()
        # Days after the latest the version recorded came later.
        self.last = max(self.entry["days"]) if self.entry["days"] else ""
        self.sources = {}
        for seq, path in self.later:
            segment = None
            days = [name for name in _segment_days(path) if name <= self.last]
            for day in days:
                if day not in self.sources:
                    segment = segment or self._open(path)
                    self.sources[day] = segment
        own = [day for day in self.reader.members() if formats.is_day_name(day) and day <= self.last]
        self.days = sorted(set(own) | set(self.sources))
        if len(self.days) > self.entry.get("day_count", len(self.days)):
            # Only then are later manifests read: a day filled in below the latest came later.
            later = self.version.inserted_later(self.h5_file)
            self.days = [day for day in self.days if day not in later]

    def _of(self, day):
        return self.sources.get(day, self.reader)

    def check(self):
        count = self.entry.get("day_count", len(self.days))
        if len(self.days) != count:
            raise self._changed("{} days up to {} where the version had {}".format(len(self.days), self.last, count))
        for day, (rows, tail) in self.entry["days"].items():
            if day not in self.days or self.length(day) != rows:
                held = self.length(day) if day in self.days else 0
                raise self._changed("day {} holds {} ticks where the version had {}".format(day, held, rows))
            if rows and history.tail_digest(self.read(day, rows - 1, rows)[0]) != tail:
                raise self._changed("the last tick of day {} differs".format(day))

    def members(self):
        return list(self.days)

    def __contains__(self, name):
        return name in self.days

    def length(self, name):
        return self._of(name).length(name)

    def dtype(self, name):
        return self._of(name).dtype(name)

    def read(self, name, start=0, stop=None, threads=0):
        reader = self._of(name)
        return reader.read(name, start, reader.length(name) if stop is None else stop, threads=threads)

    def read_into(self, name, start, stop, columns, threads=0):
        self._of(name).read_into(name, start, stop, columns, threads)


def names_nothing(root, as_of):
    ids = versions.version_ids(root)
    return as_of not in ids and not any(as_of in named for named in versions.read_tags(root, ids))


def opener(version):
    """What the tables open a file with: the engine's reader, or this version's."""
    return _engine.Reader if version is None else version.open




def diff(root, a, b):
    """What changed from version `a` to `b` (either order): one dict per file, by file:
    "file", "days_added" and "days_revised" (YYYYMMDD texts), "rows" then and now."""
    older, newer = sorted((versions.resolve(root, a), versions.resolve(root, b)))
    ids = versions.version_ids(root)
    between = ids[ids.index(older) + 1:ids.index(newer) + 1]
    touched, revised = {}, {}
    for version_id in between:
        for file, entry in versions.read_entries(root, version_id).items():
            touched[file] = entry
            revised.setdefault(file, set()).update(entry.get("revised", ()))
    then, now = Version(root, older), Version(root, newer)
    changes = []
    for file in sorted(touched):
        h5_file = os.path.join(root, *file.split("/"))
        before = _days_held(then, h5_file)
        after = _days_held(now, h5_file)
        last = max(before) if before else ""
        changed_days = {day for version_id in between
                        for day in versions.read_entries(root, version_id).get(file, {}).get("days", ())}
        days_revised = revised[file] | {day for day in changed_days if day <= last}
        changes.append({"file": file, "days_added": sorted(day for day in after if day > last),
                        "days_revised": sorted(days_revised),
                        "rows": [sum(before.values()), sum(after.values())]})
    return older, newer, changes


def _days_held(version, h5_file):
    """{YYYYMMDD: rows} the version held of the file ({} when it had none)."""
    try:
        view = version.open(h5_file)
    except VersionError as error:
        if "did not exist" in str(error):
            return {}
        raise
    with view:
        if "days" in view.entry:
            return {day: view.length(day) for day in view.members()}
        index = view.read(INDEX)
        stops = list(index["line_no"][1:]) + [view.length(DATA)]
        return {str(int(date)): int(stop - start) for date, start, stop in zip(index["date"], index["line_no"], stops)}
