"""The steps of an update: options that check themselves, what a store returns, and
what a job and its run's version make of it."""
import dataclasses
import datetime
import os

import pytest

import fake_market as fm
from corvane.cli.update import failure_status
from corvane import read
from corvane.errors import SetupRefused
from corvane.history import commits, states, versions
from corvane.updater import jobs, minbar, run, tick
from corvane.updater.options import BadOption, UpdateOptions
from corvane.updater.outcomes import Outcome
from corvane.updater.stores import Held
from test_run import STOCK, demo, inline, rows_in  # noqa: F401 (fixtures)


# --- options ---------------------------------------------------------------------

@pytest.mark.parametrize("name, value", [
    ("since", 20240230),            # no such day
    ("since", 2024010),             # seven digits
    ("since", "20240102"),          # text, not the integer
    ("retries", -1),
    ("retries", 1.5),
    ("durable", "yes"),
    ("timeout", 0),
    ("timeout", -2.5),
    ("timeout", float("nan")),
    ("backoff", -0.1),
    ("fetch_threads", 0),
    ("fetch_threads", True),        # a flag is no count
    ("revisit", -1),
    ("revisit", 2.0),
])
def test_options_refuse_a_value_they_cannot_take_in_one_line_naming_it(name, value):
    with pytest.raises(BadOption) as refused:
        UpdateOptions(**{name: value})
    message = str(refused.value)
    assert "\n" not in message and name in message and repr(value) in message
    # A ValueError to Python; to the command line a usage error (exit 2), as any refused setup.
    assert isinstance(refused.value, ValueError) and failure_status(refused.value) == 2
    with pytest.raises(BadOption):
        dataclasses.replace(UpdateOptions(), **{name: value})


def test_options_take_every_value_at_their_edges():
    options = UpdateOptions(since=20240229, retries=0, durable=True, timeout=0.001, backoff=0,
                            fetch_threads=1, revisit=None)
    assert (options.since, options.revisit) == (20240229, None)
    assert UpdateOptions(timeout=None, revisit=0) == UpdateOptions()


def test_a_refused_revisit_stops_the_run_before_it_makes_anything(tmp_path):
    root = tmp_path / "minbar"
    with pytest.raises(SetupRefused, match="revisit must be .*-1"):
        run.update("minbar", str(root), [STOCK], revisit=-1)
    assert not root.exists()


# --- what a store returns --------------------------------------------------------

def bar_market(days):
    client = fm.FakeClient({"S1": fm.InsType.CS})
    client.bars["S1"] = fm.minute_bars("S1", days)
    return client, fm.make_services(client)


def store_bars(services, root, **keywords):
    return minbar.append_h5(services, "S1", str(root), None, 20050104, 29991231, entry=True, **keywords)


def index_tail(root, stored):
    """The file's index dates from the last one the store found on (the first: it found none)."""
    dates = read.index(str(root), "S1")["date"].tolist()
    return dates[max(stored.before.days - 1, 0):]


def tails_read_back(root, stored):
    """The entry's digests of the last records, and those of the file's records as read back."""
    held = states.file_state(str(root), os.path.join(str(root), "equities", "S1.h5"), "minbar")
    return [(stored.entry.line[name], held[name]) for name in ("data_tail", "index_tail")]


def test_a_minute_bar_store_returns_what_it_found_left_and_revised(tmp_path):
    client, services = bar_market([(20250106, 3), (20250107, 2)])
    new = store_bars(services, tmp_path)
    assert (new.before, new.after, new.revised) == (Held(0, 0), Held(5, 2), ())
    assert new.entry.file == "equities/S1.h5" and new.entry.line["data_rows"] == 5
    assert all(kept == read_back for kept, read_back in tails_read_back(tmp_path, new))

    client.bars["S1"] = fm.minute_bars("S1", [(20250106, 3), (20250107, 2), (20250108, 4)])
    appended = store_bars(services, tmp_path)
    assert (appended.before, appended.after, appended.revised) == (Held(5, 2), Held(9, 3), ())
    assert (appended.entry.line["data_rows"], appended.entry.line["index_rows"]) == (9, 3)
    # Taken from the records appended, the index's line_no offset by the rows before them.
    assert all(kept == read_back for kept, read_back in tails_read_back(tmp_path, appended))

    unchanged = store_bars(services, tmp_path)
    assert unchanged[:4] == (Held(9, 3), Held(9, 3), (), None) and unchanged.findings == ()

    # The 7th gains a bar, which moves the prices of every later bar: the 7th and 8th revised
    # in place, the 9th new.
    client.bars["S1"] = fm.minute_bars("S1", [(20250106, 3), (20250107, 3), (20250108, 4), (20250109, 1)])
    revised = store_bars(services, tmp_path, revisit=3)
    assert (revised.before, revised.after, revised.revised) == (Held(9, 3), Held(11, 4), (20250107, 20250108))
    assert revised.entry.revised == ("20250107", "20250108")
    # The days each call says it left are the file's, so the run's parent need not read them.
    for stored, told in [(new, (20250106, 20250107)), (appended, (20250107, 20250108)), (unchanged, (20250108,)),
                         (revised, (20250108, 20250109))]:
        assert stored.days == told
    assert revised.days == tuple(index_tail(tmp_path, revised))


def test_a_tick_store_counts_only_when_asked(tmp_path):
    days = [datetime.date(2025, 1, 6), datetime.date(2025, 1, 7)]
    services = fm.make_services(fm.tick_market(days, [3, 4]))
    plain = tick.append_h5_tick(services, "S1", str(tmp_path / "a"), None, 20050104, 29991231)
    assert plain[:4] == (None, None, (), None)
    counted = tick.append_h5_tick(services, "S1", str(tmp_path / "b"), None, 20050104, 29991231, counted=True)
    assert counted[:4] == (Held(0, 0), Held(7, 2), (), None)


class FailingOn:
    """A tick client whose answer for `day` fails, the days before it served."""

    def __init__(self, client, day):
        self.client, self.day = client, day

    def __getattr__(self, name):
        return getattr(self.client, name)

    def get_price(self, order_book_id, *args, **kwargs):
        if kwargs.get("frequency") == "tick" and args[0] == self.day:
            raise ConnectionError("server went away")
        return self.client.get_price(order_book_id, *args, **kwargs)


def test_a_tick_job_failing_after_some_days_reports_the_file_as_it_found_it(tmp_path):
    days = [datetime.date(2025, 1, d) for d in (6, 7, 8)]
    client = fm.tick_market(days[:1], [3])
    tick.append_h5_tick(fm.make_services(client), "S1", str(tmp_path), None, 20050104, 29991231)
    client.days["S1"] = days
    client.ticks.update({("S1", day): fm.day_ticks(day, 4) for day in days[1:]})
    services = fm.make_services(FailingOn(client, days[2]))
    outcome = jobs.tick_job("S1", str(tmp_path), services, UpdateOptions(retries=0))
    assert (outcome.status, outcome.error_type) == ("failed", "ConnectionError")
    # The whole days written before the failure stay; what the job found is what it reports before.
    assert (outcome.before, outcome.after) == (Held(3, 1), Held(7, 2))
    assert outcome.state.line["day_count"] == 2


# --- what the run's version makes of it ----------------------------------------------

def test_the_recorder_commits_the_entries_outcomes_carry_as_they_are(tmp_path):
    client, services = bar_market([(20250106, 3), (20250107, 2)])
    store_bars(services, tmp_path)
    client.bars["S1"] = fm.minute_bars("S1", [(20250106, 3), (20250107, 3)])
    stored = store_bars(services, tmp_path, revisit=2)
    recorder = commits.Recorder(str(tmp_path), "minbar")
    recorder.begin(["S1", "S2"])
    version_id = recorder.commit({"command": "update-minbar", "counts": {}}, [
        Outcome("S1", "updated", stored.before, stored.after, revised=stored.revised, state=stored.entry),
        Outcome("S2", "up_to_date")])
    recorder.close()
    assert versions.read_entries(str(tmp_path), version_id) == {"equities/S1.h5": stored.entry.line}
    assert versions.log(str(tmp_path))[0]["counts"]["days_revised"] == 1
    # An entry read back from the log is the same typed line again.
    entry = states.Entry(versions.read_entries(str(tmp_path), version_id)["equities/S1.h5"])
    assert (entry.file, entry.revised) == ("equities/S1.h5", ("20250107",))


def test_a_runs_outcomes_carry_the_lines_its_version_holds(demo, inline, tmp_path):  # noqa: F811
    root = str(tmp_path / "minbar")
    first = run.update("minbar", root, [STOCK], options=UpdateOptions(since=20240722), executor=inline)
    (outcome,) = first.outcomes
    assert (outcome.status, outcome.before, outcome.after) == ("new", None, Held(*rows_in(root, STOCK)))
    assert outcome.state.file == os.path.join("equities", STOCK + ".h5")
    assert versions.read_entries(root, first.version) == {outcome.state.file: outcome.state.line}
    again = run.update("minbar", root, [STOCK], executor=inline)
    assert (again.outcomes[0].status, again.outcomes[0].state, again.version) == ("up_to_date", None, None)


@pytest.mark.parametrize("listable", [True, False], ids=["listed-once", "looked-for-each"])
def test_the_first_fill_ledger_records_exactly_the_instruments_without_a_file(tmp_path, monkeypatch, listable):
    from corvane import formats
    from corvane.updater import first_fill

    for directory, name in [("equities", "S1"), ("future", "F1"), ("option", "O1")]:
        os.makedirs(tmp_path / directory, exist_ok=True)
        (tmp_path / directory / (name + formats.SUFFIX)).write_bytes(b"")
    # Anything at a file's name counts, as locate counts it: a dangling link, a directory.
    os.symlink(tmp_path / "nowhere", tmp_path / "equities" / ("S2" + formats.SUFFIX))
    os.mkdir(tmp_path / "future" / ("F2" + formats.SUFFIX))
    if not listable:
        real = os.listdir

        def refused(path):
            if str(path).startswith(str(tmp_path)):
                raise PermissionError(13, "Permission denied", str(path))
            return real(path)
        monkeypatch.setattr(os, "listdir", refused)
    chosen = ["S1", "S2", "S3", "F1", "F2", "O1", "O2"]
    run.prepare({}, "minbar", str(tmp_path), chosen, UpdateOptions(since=20240102))
    assert first_fill.read(str(tmp_path)) == {"S3": 20240102, "O2": 20240102}
    with pytest.raises(ValueError, match="unsafe"):
        run.prepare({}, "minbar", str(tmp_path), ["S4", "../S1"], UpdateOptions(since=20240102))
