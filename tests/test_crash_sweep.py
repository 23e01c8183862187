"""The crash-point sweep: every counted syscall of every write path, stopped, torn or failed.

For each write path (first fill, in place, beside and renamed, tick-day
rewrite, early landing of a cut, a minute-bar tail and a tick day revised
with what they replace moved to the side store), each durable setting and each reader mode
(nobody reading, an h5py reader holding the file, readers opening it while
the writer is stopped), the writer's syscalls are counted first; then each
one is stopped before, torn at a sector boundary (the first part or only
the second landing), or failed with EIO, and the last is stopped after as
well.  h5py readers in fresh processes look at the file at that moment,
after the writer's death and after the next open.  Then once more with
the file's directory renamed while the writer is stopped, after which it
goes on.  crash_lab.py holds the machinery; bench/crash_soak.py --sweep
adds every stop after a call and ENOSPC, and prints the table of counts.

Each test checks one promise of the commit protocol over every case; a case
whose promise today's code breaks is a strict xfail naming the defect, so
that it turns red the moment the defect is mended and its mark must go.
"""
import concurrent.futures

import pytest

import crash_lab as lab

pytestmark = pytest.mark.slow

# Bad outcomes that a known, still open defect explains, by (kind, path,
# reader mode): defect number. Such cases are strict xfails, so that the
# mark must go the moment the defect is mended. On the code before the
# commit protocol was rewritten the sweep found defect 1 here (a call past
# its commit point in place undone by the next open, under a reader holding
# the file): "rolled back" in_place, tick_day and early with no reader and
# polling readers, "torn" and "changed under a holder" in_place and tick_day
# polling; and with the directory renamed mid-call, defect 3 (success
# reported, then the next open at the new place rolled the call back).
KNOWN = {}

# The sweeps, one per case, two at a time (one core each): the one a test
# asks for and the next one in the order the tests ask for them.
_sweeps = {}
_pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)


@pytest.fixture(scope="module")
def shim():
    return lab.build_shim()


def swept(shim, path, durable, mode):
    """The sweep of one case, run once for all the tests that look at it."""
    order = lab.cases()
    key = (path, durable, mode)
    for ahead in [key] + order[order.index(key) + 1:]:
        if ahead not in _sweeps:
            _sweeps[ahead] = _pool.submit(lab.run_case, shim, *ahead, lab.QUICK)
            if ahead != key:
                break
    result = _sweeps[key].result()
    print(lab.summary(path, durable, mode, result))
    return result


def cases_for(*kinds):
    """Every case, those that break a promise of `kinds` today marked with the defect."""
    params = []
    for path, durable, mode in lab.cases():
        defects = sorted({KNOWN[k, path, mode] for k in kinds if (k, path, mode) in KNOWN})
        marks = [pytest.mark.xfail(strict=True, raises=KnownDefect,
                                   reason="defect {}".format(", ".join(map(str, defects))))] if defects else []
        params.append(pytest.param(path, durable, mode, marks=marks,
                                   id="{}-{}-{}".format(path, "durable" if durable else "plain", mode)))
    return params


class KnownDefect(AssertionError):
    """Only the bad outcomes a known defect explains."""


def check(result, kinds, path, mode):
    bad = [b for b in result["bad"] if b["kind"] in kinds]
    if not bad:
        return
    lines = ["{} bad outcomes of {} trials:".format(len(bad), result["trials"])] + [
        "  call {point} ({call}) {action} {errno}: {kind}: {detail}; seen {seen}".format(**b)
        for b in bad[:12]]
    unexplained = [b for b in bad if (b["kind"], path, mode) not in KNOWN]
    raise (AssertionError if unexplained else KnownDefect)("\n".join(lines))


@pytest.mark.parametrize("path, durable, mode", cases_for("mixed", "torn"))
def test_readers_see_the_old_or_the_new_version_never_a_mix(shim, path, durable, mode):
    check(swept(shim, path, durable, mode), ("mixed", "torn"), path, mode)


@pytest.mark.parametrize("path, durable, mode", cases_for("rolled back"))
def test_no_open_undoes_a_call_past_its_commit_point(shim, path, durable, mode):
    check(swept(shim, path, durable, mode), ("rolled back",), path, mode)


@pytest.mark.parametrize("path, durable, mode", cases_for("changed under a holder"))
def test_recovery_never_rewrites_a_file_under_a_reader_holding_it(shim, path, durable, mode):
    check(swept(shim, path, durable, mode), ("changed under a holder",), path, mode)


@pytest.mark.parametrize("path, durable, mode", cases_for("stuck", "hung"))
def test_after_any_interruption_the_next_open_reads_and_the_update_runs_again(shim, path, durable, mode):
    check(swept(shim, path, durable, mode), ("stuck", "hung"), path, mode)


@pytest.mark.parametrize("path, durable, mode", cases_for("litter"))
def test_the_next_open_leaves_no_hidden_companion_file(shim, path, durable, mode):
    check(swept(shim, path, durable, mode), ("litter",), path, mode)


@pytest.mark.parametrize("path", lab.MOVABLE)
def test_a_call_follows_its_directory_when_it_is_renamed(shim, path):
    """The directory renamed while the writer is stopped before any counted
    call, then the writer goes on: a call that reports success leaves the new
    version at the new place, which the next open keeps, and nothing at the
    old name."""
    key = (path, False, "none", "moved")
    if key not in _sweeps:
        _sweeps[key] = _pool.submit(lab.run_case, shim, path, False, "none", ("stop_before",), "moved")
    result = _sweeps[key].result()
    print("directory renamed:", lab.summary(path, False, "none", result))
    assert result["trials"] == len(result["calls"])
    check(result, ("mixed", "torn", "rolled back", "stuck", "hung", "litter"), path, "moved")


@pytest.mark.parametrize("path, durable, mode", [p for p in cases_for("lost") if p.values[0] in lab.REVISIONS])
def test_a_revision_never_loses_what_it_replaces(shim, path, durable, mode):
    """A revision stopped anywhere leaves its file old or new, and the rows it
    replaces whole in a segment whenever the file is new; no segment ever
    holds anything else."""
    check(swept(shim, path, durable, mode), ("lost",), path, mode)


# What makes each path the path it is named after.
SIGNATURE = {"new": {"rename"}, "in_place": {"unlink"}, "beside": {"copy_file_range", "rename"},
             "tick_day": {"unlink"}, "early": {"ftruncate"},
             "revise_tail": {"rename", "unlink"}, "revise_day": {"rename", "unlink"}}


@pytest.mark.parametrize("path", lab.PATHS)
def test_the_sweep_walks_each_path_and_ends_both_ways(shim, path):
    """Each case takes the path it is named after, every counted call is
    tried, and the trials end both ways: stopped before its commit point a
    call leaves the old version, stopped after its last call the new."""
    result = swept(shim, path, False, "none")
    assert SIGNATURE[path] | {"flock", "pwrite"} <= set(result["calls"])
    assert result["trials"] >= 2 * len(result["calls"])
    assert result["outcomes"].get("final old", 0) > 0 and result["outcomes"].get("final new", 0) > 0


# A root's history: an update run with a revision (of minute bars, of a tick day), and verify --repair after a run killed
# past its revision, each killed at every rename and unlink it makes.
HISTORY_CASES = [("revise_run", False), ("revise_run", True), ("revise_tick_run", False), ("repair", False)]


def history_swept(shim, path, durable):
    key = ("history", path, durable)
    if key not in _sweeps:
        for ahead in HISTORY_CASES[HISTORY_CASES.index((path, durable)):][:2]:
            if ("history",) + ahead not in _sweeps:
                _sweeps[("history",) + ahead] = _pool.submit(lab.run_history_case, shim, *ahead)
    result = _sweeps[key].result()
    print("history:", lab.summary(path, durable, "none", result))
    return result


# The calls that make each history case what it is named after.
HISTORY_STOPS = {"revise_run": ("rename .corvane/superseded/", "unlink equities/.10003.HBX.h5.journal",
                                "rename .corvane/versions/", "unlink .corvane/running/"),
                 "revise_tick_run": ("rename .corvane/superseded/", "unlink .10003.HBX.h5.journal",
                                     "rename .corvane/versions/", "unlink .corvane/running/"),
                 "repair": ("rename .corvane/versions/", "unlink .corvane/running/")}


@pytest.mark.parametrize("path, durable", HISTORY_CASES,
                         ids=["{}-{}".format(p, "durable" if d else "plain") for p, d in HISTORY_CASES])
def test_a_run_killed_at_any_rename_or_unlink_leaves_every_version_reading_back(shim, path, durable):
    """Killed at a segment's landing, a journal's removal, a manifest's landing or a
    marker's removal (before the call or after it), the run leaves its file as before or
    as after, every version of the log reads back exactly what it held, and verify --repair
    leaves a newest version holding the file, changing no byte of it."""
    result = history_swept(shim, path, durable)
    for stop in HISTORY_STOPS[path]:
        assert any(stopped.startswith(stop) for stopped in result["stopped at"]), (stop, result["stopped at"])
    assert result["trials"] >= 2 * len(HISTORY_STOPS[path])
    check(result, ("mixed", "lost", "uncovered", "changed by repair"), path, "none")


def history_cases_for(kind):
    """The history cases, those that break a promise of `kind` today marked with the defect."""
    return [pytest.param(path, durable, id="{}-{}".format(path, "durable" if durable else "plain"),
                         marks=[pytest.mark.xfail(strict=True, raises=KnownDefect, reason=KNOWN[kind, path, "none"])]
                         if (kind, path, "none") in KNOWN else [])
            for path, durable in HISTORY_CASES]


@pytest.mark.parametrize("path, durable", history_cases_for("findings"))
def test_after_a_killed_run_verify_repair_leaves_nothing_for_verify_to_find(shim, path, durable):
    """What a killed run leaves (a dead marker, a temporary manifest, a segment's
    companions a dead writer left) is settled by verify --repair or is no finding."""
    check(history_swept(shim, path, durable), ("findings",), path, "none")
