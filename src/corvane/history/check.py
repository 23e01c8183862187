"""A root's versions checked against its files: every version, or what changed since the last check.

Opening every entry of every version costs an open and two reads each: at a
whole market over a year, millions.  So by default a check opens each file
as of its newest entry, and every entry of the versions committed since
the last version it found sound, and skips a file whose stamps (inode,
size, modification and change times) are those it had when last found
sound: a file changed outside corvane changes its change time, which no
program sets back.  Every manifest not known sound is read whole and
checked line by line.  What it found sound is kept in
`history.verified_path(root)`, written whole; `all_versions` opens every
entry of every version, as reads as of each would.

Content `corvane gc` removed by design is not a finding: it is counted in a
note.  A damaged manifest is one finding naming it, and the walk goes on.
"""
import json
import os
from typing import NamedTuple

from corvane import _engine, formats
from corvane.history import asof
from corvane.history import layout as history
from corvane.history import commits
from corvane.history import keeping
from corvane.history import states
from corvane.history import versions
from corvane.errors import VersionError
from corvane.whole_files import write_whole

__all__ = ["VersionCheck", "check_versions", "check_log", "tag_findings"]

RECORD_FORMAT = 1


class VersionCheck(NamedTuple):
    findings: list   # (file, check, where, detail)
    notes: list
    opened: int      # entries opened as of their version
    repaired: list = []   # (path, what was done)


def _stamp(path):
    try:
        held = os.stat(path)
    except OSError:
        return None
    return [held.st_ino, held.st_size, held.st_mtime_ns, held.st_ctime_ns]


def _one_line(error):
    return " ".join(str(error).split())


def _read_record(root):
    """The record of the last check, or None when there is none fit to trust."""
    try:
        with open(history.verified_path(root), encoding="utf-8") as text:
            record = json.load(text)
    except (OSError, ValueError):
        return None
    fields = {"format": int, "version": str, "manifests": dict, "files": dict, "segments": dict}
    if not isinstance(record, dict) or any(not isinstance(record.get(name), kind) for name, kind in fields.items()):
        return None
    return record if record["format"] == RECORD_FORMAT else None


def _manifests(root, ids, record, all_versions):
    """({id: entries} of the manifests to check, findings, {id: stamp})."""
    stamps = {version_id: _stamp(history.manifest_path(root, version_id)) for version_id in ids}
    known = {} if record is None or all_versions else record["manifests"]
    parsed, findings = {}, []
    for version_id in sorted(set(known) - set(ids)):
        findings.append((history.manifest_path(root, version_id), "manifest", version_id,
                         "the manifest of a version found sound before is gone"))
    for version_id in ids:
        if known and stamps[version_id] is not None and known.get(version_id) == stamps[version_id] \
                and version_id <= record["version"]:
            continue
        try:
            parsed[version_id] = versions.read_entries(root, version_id)
        except VersionError as error:
            findings.append((history.manifest_path(root, version_id), "manifest", version_id, _one_line(error)))
    return parsed, findings, stamps


def _newest(ids, parsed, record):
    """{file: id of the version holding its newest entry}, from the record and the manifests read."""
    newest = {} if record is None else {file: held[0] for file, held in record["files"].items()
                                       if isinstance(held, list) and held and held[0] in ids}
    for version_id in ids:
        for file in parsed.get(version_id, ()):
            newest[file] = version_id
    return newest


def _to_open(root, ids, parsed, record, all_versions):
    """[(id, file)] to open: the entries of the versions not yet found sound, and the newest
    entry of each file changed since it was."""
    since = None if record is None or all_versions else record["version"]
    pairs = {(version_id, file) for version_id, entries in parsed.items()
             if all_versions or (since is not None and version_id > since) for file in entries}
    files = {} if record is None or all_versions else record["files"]
    for file, version_id in _newest(ids, parsed, record).items():
        held = files.get(file)
        if (version_id, file) not in pairs and (
                held != [version_id] + (_stamp(os.path.join(root, *file.split("/"))) or [])):
            pairs.add((version_id, file))
    return sorted(pairs)


def _open_each(root, pairs, parsed):
    """(findings, collected count, {file: stamp before its newest sound open}, ids with a finding)."""
    findings, collected, sound, failed = [], 0, {}, set()
    opened = {}
    for version_id, file in pairs:
        h5_file = os.path.join(root, *file.split("/"))
        stamp = _stamp(h5_file)
        try:
            version = opened.get(version_id) or opened.setdefault(version_id, asof.Version(root, version_id))
            if version_id not in parsed:
                parsed[version_id] = versions.read_entries(root, version_id)
            version.open_entry(h5_file, parsed[version_id][file]).close()
        except asof.Collected:
            collected += 1
        except (VersionError, OSError, ValueError, KeyError) as error:
            findings.append((h5_file, "version", version_id, _one_line(error)))
            failed.add(version_id)
            continue
        sound[file] = [version_id] + (stamp or [])
    return findings, collected, sound, failed


def _file_directories(top):
    """(file, directory) of each file's segment directory under `top` (named for its file)."""
    for directory, subdirectories, _ in os.walk(top):
        relative = os.path.relpath(directory, top).replace(os.sep, "/")
        if relative != "." and relative.endswith(formats.SUFFIX):
            subdirectories[:] = []
            yield relative, directory


def _segment_findings(root, file, directory, known_top):
    """(findings, newest sound segment) of one file's segment directory; segments above `known_top` opened."""
    findings, real = [], []
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        seq = history.segment_seq(name)
        if seq is not None and os.path.isfile(path):
            if seq <= known_top or asof.is_segment(path):
                real.append(seq)
            else:
                findings.append((path, "segment", "", "not a superseded segment: not an HDF5 file as a "
                                 "revision leaves one (a foreign or damaged file); remove it by hand"))
        elif _segment_of(directory, name) is not None:
            if _engine.lock_state(_segment_of(directory, name)) != "live":
                findings.append((path, "leftover", "", "left by a revision of {} killed while it wrote a "
                                 "segment; the next revision of it, or verify --repair, removes it".format(file)))
        elif name != history.COLLECTED and not history.is_temporary(name, history.COLLECTED):
            findings.append((path, "segment", "", "a foreign file among the superseded segments of {}; "
                             "corvane neither reads nor removes it".format(file)))
    try:
        collected = states.collected(root, file)
    except VersionError as error:
        return findings + [(history.collected_path(root, file), "segment", "", _one_line(error))], 0
    missing = sorted(set(range(collected + 1, max(real, default=0))) - set(real))
    if missing:
        findings.append((history.segment_path(root, file, missing[0]), "segment", "",
                         "{} superseded segment(s) missing, from {} (gc's record ends at {}): versions before "
                         "them cannot be read".format(len(missing), missing[0], collected)))
    return findings, max(real, default=0)


def _segment_of(directory, name):
    """The segment whose writer's journal, temporary or lock `name` is; None when it is none."""
    found = _engine.companion_of(name, history.SEGMENT_SUFFIX)
    return None if found is None else os.path.join(directory, found[1])


def settle_segments(root):
    """[(path, what was done)]: what killed revisions left beside their segments, settled as the
    next revision would (a writer at work now is left alone)."""
    done = []
    for _, directory in _file_directories(history.superseded_root(root)):
        segments = {_segment_of(directory, name) for name in os.listdir(directory)} - {None}
        for segment in sorted(segments):
            if _engine.lock_state(segment) == "live":
                continue
            try:
                _engine.recover(segment)
            except OSError as error:
                done.append((segment, "not settled: {}".format(_one_line(error))))
            else:
                done.append((segment, "what a killed revision left beside it removed"))
    return done


def _segments(root, record, all_versions):
    """(findings, {file: newest sound segment}) of the superseded tree."""
    known = {} if record is None or all_versions else record["segments"]
    findings, tops = [], {}
    for file, directory in _file_directories(history.superseded_root(root)):
        more, top = _segment_findings(root, file, directory, known.get(file, 0))
        findings += more
        if not more:
            tops[file] = top
    return findings, tops


def _sound_up_to(ids, failed):
    """The newest id before the first that has a finding ("" when the first has one)."""
    sound = ""
    for version_id in ids:
        if version_id in failed:
            break
        sound = version_id
    return sound


def check_versions(root, all_versions=False, repair=False):
    """VersionCheck of the versions of `root` against its files; keeps what it found sound.
    `repair` first settles what killed revisions left beside their segments."""
    repaired = settle_segments(root) if repair else []
    ids = versions.version_ids(root)
    if not ids:
        return VersionCheck([], [], 0, repaired)
    record = _read_record(root)
    parsed, findings, stamps = _manifests(root, ids, record, all_versions)
    pairs = _to_open(root, ids, parsed, record, all_versions)
    opened, collected, sound, failed = _open_each(root, pairs, parsed)
    more, tops = _segments(root, record, all_versions)
    failed |= {where for _, check, where, _ in findings if check == "manifest"}
    notes = []
    if collected:
        notes.append("{}: {} entr(y/ies) of older versions not checked: what they held was removed by "
                     "`corvane gc`, as it is meant to".format(root, collected))
    _keep(root, ids, record, all_versions, stamps, sound, tops, _sound_up_to(ids, failed))
    return VersionCheck(findings + opened + more, notes, len(pairs), repaired)


def _keep(root, ids, record, all_versions, stamps, sound, tops, up_to):
    kept = {} if record is None or all_versions else dict(record["files"])
    kept = {file: held for file, held in kept.items() if file not in sound}
    kept.update(sound)
    text = json.dumps({"format": RECORD_FORMAT, "version": up_to,
                       "manifests": {version_id: stamps[version_id] for version_id in ids if version_id <= up_to},
                       "files": kept, "segments": tops}, separators=(",", ":"))
    try:
        write_whole(history.verified_path(root), text, durable=False)
    except OSError:
        pass        # a bundle mounted read-only is checked in full each time


def check_log(root, kind, repair=False, walked=None):
    """(findings, repaired) of the log of `root` against its files.

    Findings are (file, check, where, detail): a version whose file no longer
    holds what it recorded, a tag that names no version, a temporary a
    killed commit or run left, a dead run's marker whose files no version
    covers yet.  `repair` removes the temporaries and commits a version
    covering the dead runs' files.  `walked`: the VersionCheck
    of the versions when the caller made it (for its notes); made here otherwise.
    """
    walked = check_versions(root, repair=repair) if walked is None else walked
    findings, repaired = list(walked.findings), list(walked.repaired)
    covering = None
    findings += tag_findings(root)
    found = keeping.leftovers(root, remove=repair)
    # Judged before the covering version, whose run removes the markers.
    runs = {path: _run_of(path) for path in found if not history.is_temporary(os.path.basename(path))}
    for path in found:
        if history.is_temporary(os.path.basename(path)):
            what = _temporary_of(root, path)
            if repair:
                repaired.append((path, "{} removed".format(what)))
            else:
                findings.append((path, "leftover", "", "{}; verify --repair removes it".format(what)))
        elif repair:
            # One version covers every dead run's files.
            if covering is None:
                covering = commits.Recorder(root, kind).commit({"command": "verify --repair", "words": [],
                                                                 "kind": kind, "exit_status": 0, "counts": {}}, [])
            repaired.append((path, "files of {} covered by version {}".format(runs[path], covering)))
        else:
            findings.append((path, "leftover", "", "marker of {} whose files no version covers yet; the next "
                             "update, or verify --repair, commits a version covering them".format(runs[path])))
    return findings, repaired


def _run_of(marker):
    """Which run left a marker no run holds: one that ended without its version (its commit
    failed) recorded so in it; one that recorded nothing died."""
    return "a run that ended without committing," if commits.run_ended(marker) else "a killed run"


def _temporary_of(root, path):
    if os.path.dirname(path) == history.running_dir(root):
        return "marker temporary of a killed run"
    return "temporary of a killed commit"


def tag_findings(root):
    """(file, check, where, detail) of each tag file that names no version of the log."""
    _, bad = versions.read_tags(root)
    return [(history.tag_path(root, name), "tag", "",
             "tag {!r} {}; gc removes nothing until it is mended or removed".format(name, why))
            for name, why in sorted(bad.items())]
