"""The `corvane` command."""
import concurrent.futures
import json
import os
import subprocess
import sys
from importlib import metadata

import h5py
import numpy as np
import pytest
from click.testing import CliRunner

import corvane.bundle as bundle
from corvane.updater import minbar as minbar_store
from corvane.cli import main
from corvane.updater import report as reports


def invoke(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


@pytest.mark.parametrize("command", ["update-minbar", "update-tick"])
@pytest.mark.parametrize("args", [
    ["{file}", "stock"],              # PATH is a regular file
    ["{file}/sub", "stock"],          # PATH cannot be created below a file
    ["", "stock"],                    # empty PATH
    ["{dir}/new"],                    # no words
    ["{dir}/new", "stock", "--jobs", "0"],
    ["{dir}/new", "stock", "-j", "-3"],
    [],                               # no PATH
])
def test_bad_arguments_are_refused_before_any_work(client, recorder, tmp_path, command, args):
    (tmp_path / "plain").write_text("x")
    args = [a.format(file=tmp_path / "plain", dir=tmp_path) for a in args]
    result = invoke(command, *args)
    assert result.exit_code == 2
    (line,) = result.stderr.splitlines()
    assert line.startswith("Error: ") and "--help" in line
    assert client.calls == [] and recorder.events == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain"]


@pytest.mark.parametrize("args, needle", [
    (["--help"], "update-minbar"),
    (["update-minbar", "--help"], "corvane update-minbar ./bundle/minbar stock index"),
    (["update-tick", "--help"], "corvane update-tick ./bundle/tick"),
])
def test_help_explains_with_an_example(args, needle):
    result = invoke(*args)
    assert result.exit_code == 0
    assert needle in result.output
    if len(args) == 2:
        assert "underlying symbol" in result.output and "--with-derivatives" in result.output


class InlinePool:
    """Runs each job at once, in this process, like a pool of one."""

    def __init__(self, max_workers, initializer):
        self.max_workers = max_workers

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def submit(self, fn, *args):
        future = concurrent.futures.Future()
        future.set_result(fn(*args))
        return future

    def shutdown(self, wait=True):
        pass


class ThreeBarStore:
    """Writes three bars to a new file and nothing to an existing one."""

    def __init__(self):
        self.starts = []

    def append_h5(self, services, order_book_id, path, file_name, min_start_date, *rest, **listed):
        self.starts.append(min_start_date)
        os.makedirs(os.path.join(path, "equities"), exist_ok=True)
        name = os.path.join(path, "equities", order_book_id + ".h5")
        if not os.path.exists(name):
            with h5py.File(name, "w") as h5:
                h5["data"] = np.zeros(3, bundle.EQUITIES_DTYPE)
                h5["index"] = np.zeros(1, bundle.INDEX_DTYPE)


@pytest.fixture
def inline_store(monkeypatch):
    pools = []
    monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor",
                        lambda **kw: pools.append(InlinePool(**kw)) or pools[-1])
    store = ThreeBarStore()
    monkeypatch.setattr(minbar_store, "append_h5", store.append_h5)
    return pools, store


def test_command_readies_the_client_runs_the_jobs_and_sums_up(client, inline_store, tmp_path):
    pools, store = inline_store
    path = tmp_path / "minbar"

    first = invoke("update-minbar", path, "ST001", "WV.2601", "-j", "3", "--since", "20200102")
    assert first.exit_code == 0, first.output
    # The client is readied here before the listings are read.
    assert [call[0] for call in client.calls] == ["init"] + ["all_instruments"] * 3
    # Never more workers than instruments.
    assert pools[0].max_workers == 2
    assert store.starts == [20200102] * 2
    assert first.stdout.splitlines()[1:] == [
        "开始更新 2 只标的的分钟线数据：{'ST001', 'WV.2601'}",
        "corvane: 2 instruments: 2 new, 0 updated, 0 up to date, 0 failed; 6 rows added",
    ]

    again = invoke("update-minbar", path, "ST001", "WV.2601", "--with-derivatives")
    assert again.exit_code == 0, again.output
    assert pools[1].max_workers == min(os.cpu_count(), 5)
    # The first run's --since holds for its files; the new ones start at the bundle's first date.
    assert sorted(store.starts[2:]) == [bundle.MIN_START_DATE] * 3 + [20200102] * 2
    # The derivatives of ST001 are new files; the two old ones are unchanged.
    assert again.stdout.splitlines()[-1] == (
        "corvane: 5 instruments: 3 new, 0 updated, 2 up to date, 0 failed; 9 rows added")


def test_update_by_kind_and_json_on_standard_output(client, inline_store, tmp_path):
    pools, store = inline_store
    result = invoke("update", "--kind", "minbar", tmp_path / "minbar", "st001", "--json")
    assert result.exit_code == 0, result.output
    report = json.loads(result.stdout)
    assert (report["command"], report["schema"], report["counts"]["new"]) == ("update-minbar", 4, 1)
    assert [entry["order_book_id"] for entry in report["instruments"]] == ["ST001"]
    # The console's lines go to standard error beside the JSON.
    assert "开始更新 1 只标的的分钟线数据" in result.stderr
    refused = invoke("update", "--kind", "tick", tmp_path / "minbar", "ST001")
    assert refused.exit_code == 2 and "tick updates need a tick directory" in refused.stderr


def test_words_matching_nothing_are_followed_by_the_whole_vocabulary(client, inline_store, tmp_path):
    result = invoke("update-minbar", tmp_path / "minbar", "ST001", "nosuchword")
    lines = result.stdout.splitlines()
    at = next(k for k, line in enumerate(lines) if "nosuchword" in line)
    assert lines[at + 2].startswith("words select instruments by kind (stock, futures,")
    assert "or all)" in lines[at + 2]


@pytest.mark.parametrize("words, status, pools_made", [
    (["ST001", "nosuchword"], 1, 1),   # a typo among good words: the rest runs, the run fails
    (["nosuchword"], 2, 0),            # nothing selected at all: a usage error, nothing runs
    (["nosuchword", "other"], 2, 0),
])
def test_words_that_match_nothing_fail_the_run(client, inline_store, tmp_path, words, status, pools_made):
    pools, _ = inline_store
    result = invoke("update-minbar", tmp_path / "minbar", *words)
    assert result.exit_code == status
    assert len(pools) == pools_made
    assert "nosuchword" in result.stdout
    if status == 2:
        (line,) = result.stderr.splitlines()
        assert line == "Error: no instrument matches {}. Try 'corvane update-minbar --help'.".format(
            " ".join(words))


@pytest.mark.parametrize("verbose", [False, True])
def test_a_failure_before_the_jobs_is_one_line(monkeypatch, inline_store, tmp_path, verbose):
    from conftest import FakeClient

    monkeypatch.setattr(bundle, "lumenfeed", FakeClient(fail=ConnectionError("server down\ndetail")))
    result = invoke("update-minbar", tmp_path / "minbar", "stock", *(["-v"] if verbose else []))
    assert result.exit_code == 1
    assert result.stderr.splitlines()[-1] == "corvane: ConnectionError: server down"
    assert ("Traceback" in result.stderr) == verbose
    assert inline_store[0] == []


def failing_pool(**kwargs):
    raise OSError("cannot start a worker")


@pytest.mark.parametrize("args, failure, status, error, not_run", [
    (["ST001", "--since", "2024130"], None, 2, "BadParameter: Invalid value for '--since'", []),
    (["ST001", "--retrys", "3"], None, 2, "NoSuchOption: No such option '--retrys'", []),
    (["nosuchword"], None, 2, "NothingSelected: no instrument matches nosuchword", []),
    (["ST001"], ConnectionError("server down"), 1, "ConnectionError: server down", []),
    (["ST001"], KeyboardInterrupt(), 130, "KeyboardInterrupt: ", []),
    (["ST001", "ST002"], "pool", 1, "OSError: cannot start a worker", ["ST001", "ST002"]),
])
def test_a_run_failing_outside_its_jobs_replaces_the_report_with_its_error(
        monkeypatch, client, inline_store, tmp_path, args, failure, status, error, not_run):
    report_file = tmp_path / "report.json"
    report_file.write_text('{"counts": {"failed": 0}, "yesterday": true}')
    if failure == "pool":
        monkeypatch.setattr(bundle, "ProgressedProcessPoolExecutor", failing_pool)
    elif failure is not None:
        client.fail = failure
    result = invoke("update-minbar", tmp_path / "minbar", *args, "--report", report_file)
    assert result.exit_code == status
    report = json.loads(report_file.read_text())
    assert "{type}: {message}".format(**report["error"]).startswith(error) and report["exit_status"] == status
    assert report["command"] == "update-minbar"
    assert [(e["order_book_id"], e["status"]) for e in report["instruments"]] == [
        (oid, "not_run") for oid in not_run]
    assert report["counts"]["not_run"] == len(not_run)
    assert report["unresolved"] == (["nosuchword"] if "nosuchword" in args else [])
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize("where", ["{tmp}/no/such/dir/r.json", "{tmp}", "{tmp}/plain/r.json"])
def test_a_report_that_could_not_be_written_is_refused_before_anything_runs(client, recorder, tmp_path,
                                                                          where):
    (tmp_path / "plain").write_text("x")
    result = invoke("update-minbar", tmp_path / "minbar", "ST001", "--report",
                    where.format(tmp=tmp_path))
    assert result.exit_code == 2
    (line,) = result.stderr.splitlines()
    assert "Invalid value for '--report'" in line
    assert client.calls == [] and recorder.events == []
    assert not (tmp_path / "minbar").exists()


def test_a_report_is_replaced_whole_or_not_at_all(monkeypatch, tmp_path):
    from corvane.updater import run

    report_file = tmp_path / "report.json"
    report_file.write_text("yesterday")
    result = reports.failed_run("update-minbar", "b", ["ST001"], run.Failure("OSError", "x"), ["ST001"])

    def fail_to_rename(*args):
        raise OSError("disk gone")

    monkeypatch.setattr(os, "replace", fail_to_rename)
    with pytest.raises(OSError):
        result.write_json(str(report_file))
    assert report_file.read_text() == "yesterday"
    assert os.listdir(tmp_path) == ["report.json"]
    monkeypatch.undo()
    report_file.chmod(0o444)
    result.write_json(str(report_file), 1)
    written = json.loads(report_file.read_text())
    assert written["error"] == {"type": "OSError", "message": "x"} and written["exit_status"] == 1
    # A fresh file, as open() would make it (not a private temporary's mode).
    assert report_file.stat().st_mode & 0o777 == 0o666 & ~current_umask()


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_a_good_run_whose_report_cannot_be_written_at_the_end_exits_1(
        monkeypatch, client, inline_store, tmp_path):
    from corvane.updater import run

    def disk_gone(*args, **kwargs):
        raise OSError("disk gone")

    monkeypatch.setattr(run.Report, "write_json", disk_gone)
    result = invoke("update-minbar", tmp_path / "minbar", "ST001", "--report", tmp_path / "r.json")
    assert result.exit_code == 1
    assert result.stderr.splitlines()[-1] == "corvane: cannot write the report: disk gone"
    assert "1 new" in result.stdout


def test_ctrl_c_during_selection_exits_130_before_any_job(monkeypatch, inline_store, tmp_path):
    from conftest import FakeClient

    monkeypatch.setattr(bundle, "lumenfeed", FakeClient(fail=KeyboardInterrupt()))
    result = invoke("update-minbar", tmp_path / "minbar", "stock")
    assert result.exit_code == 130
    assert result.stderr.splitlines()[-1] == "corvane: interrupted before any job ran"
    assert inline_store[0] == []


@pytest.mark.parametrize("command, layout, seen_as", [
    ("update-tick", ["equities/ST001.h5"], "is a minute-bar root (it holds equities/)"),
    ("update-minbar", ["ST001.h5"], "is a tick directory"),
    ("update-minbar", ["journal"], "is a tick directory"),       # an interrupted update's leftover
])
def test_an_update_of_the_other_kind_of_root_is_refused_before_the_client(client, recorder, tmp_path,
                                                                         command, layout, seen_as):
    from corvane import formats
    from corvane.updater import run

    root = tmp_path / "root"
    for name in layout:
        if name == "journal":
            name = os.path.basename(formats.companion_paths(str(root / "ST001.h5"))["journal"])
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(b"")
    before = sorted(root.rglob("*"))
    result = invoke(command, root, "ST001")
    assert result.exit_code == 2
    (line,) = result.stderr.splitlines()
    assert "Invalid value for 'PATH'" in line and seen_as in line and "give another path" in line, line
    assert client.calls == [] and recorder.events == []
    assert sorted(root.rglob("*")) == before
    # The same for a caller of the library.
    kind = "tick" if command == "update-tick" else "minbar"
    with pytest.raises(run.SetupRefused, match=seen_as.replace("(", r"\(").replace(")", r"\)")):
        run.update(kind, str(root), ["ST001"])
    assert client.calls == []


@pytest.mark.parametrize("args, message", [
    (["update-minbr", "x", "y"], "'update-tick'?) Try 'corvane --help'."),
    (["update-minbar", "x", "y", "--durabel"], "Did you mean '--durable'? Try"),
    (["update-minbar", "x", "y", "--since", "20241301"], "'20241301' is not a date YYYYMMDD. Try"),
    (["update-minbar", "x", "y", "--since", "2024011"], "'2024011' is not a date YYYYMMDD. Try"),
])
def test_usage_errors_end_their_sentence_once(args, message):
    result = invoke(*args)
    assert result.exit_code == 2
    (line,) = result.stderr.splitlines()
    assert line.startswith("Error: ") and message in line
    assert not any(mark in line for mark in ("?).", "?.", "..", ". .")), line


@pytest.mark.parametrize("absent, args, wanted", [
    ("lumenfeed", ["update-minbar", "{root}/minbar", "stock"], "the market-data client lumenfeed"),
    ("vesper", ["update-tick", "{root}/tick", "stock"], "the framework vesper"),
    ("vesper_mod_tollbay_data", ["verify", "{root}/minbar"], "vesper_mod_tollbay_data"),
    ("matplotlib", ["plot", "{root}/minbar", "ST1", "-o", "{root}/p.png"], "pip install 'corvane[plot]'"),
])
def test_a_module_not_installed_is_one_line_naming_what_to_install(monkeypatch, tmp_path, absent, args,
                                                                   wanted):
    import corvane
    import corvane.look

    (tmp_path / "minbar" / "equities").mkdir(parents=True)
    with h5py.File(tmp_path / "minbar" / "equities" / "ST1.h5", "w") as h5:
        h5["index"] = np.zeros(1, bundle.INDEX_DTYPE)
        h5["data"] = np.zeros(1, bundle.EQUITIES_DTYPE)
    # As if never installed: its import fails, and the modules importing it load afresh.
    for name in [absent] + [name for name in sys.modules if name.startswith(absent + ".")]:
        monkeypatch.setitem(sys.modules, name, None)
    for parent, name in ((corvane, "bundle"), (corvane.look, "plot")):
        monkeypatch.delitem(sys.modules, "{}.{}".format(parent.__name__, name), raising=False)
        monkeypatch.delattr(parent, name, raising=False)
    result = invoke(*[a.format(root=tmp_path) for a in args])
    assert result.exit_code == 2
    (line,) = result.stderr.splitlines()
    assert line.startswith("corvane: corvane {} needs ".format(args[0])) and wanted in line, line


def test_version_is_the_installed_one():
    from importlib.metadata import version

    result = invoke("--version")
    assert result.exit_code == 0
    assert result.stdout == "corvane {}\n".format(version("corvane"))


# A stock, an index and a future listed a few weeks before this as-of date,
# so that their whole history is small.
DEMO_ASOF = "20240726"
DEMO_MINBAR = {"10003.HBX": "equities", "IX002.HBX": "equities", "HXI2501.QFX": "future"}


def corvane_command(*args, env):
    command = os.path.join(os.path.dirname(sys.executable), "corvane")
    return subprocess.run([command] + [str(a) for a in args], capture_output=True, text=True, env=env,
                          timeout=300)


def test_end_to_end_on_the_demo_market(tmp_path, monkeypatch):
    import lumenfeed
    from vesper_mod_tollbay_data.data_sources.data_store import H5TicksLoader

    monkeypatch.setenv("LUMENFEED_ASOF", DEMO_ASOF)
    monkeypatch.setenv("LUMENFEED_TICK_DAYS", "2")
    env = dict(os.environ)
    minbar, ticks = tmp_path / "minbar", tmp_path / "tick"

    first = corvane_command("update-minbar", minbar, *DEMO_MINBAR, "--jobs", "2", env=env)
    assert first.returncode == 0, first.stderr
    # The run names its client, and the demo market says it is one, once.
    assert first.stdout.splitlines()[0] == "corvane: market-data client lumenfeed ({}), at {}".format(
        "corvane-standins " + metadata.version("corvane-standins"), lumenfeed.__file__)
    assert [line for line in first.stderr.splitlines() if "warn" in line] == [
        "corvane: the market-data client warns: UserWarning: lumenfeed: no account configured, "
        "serving the built-in demo market (synthetic prices)"]
    assert "开始更新 3 只标的的分钟线数据：{'10003.HBX', 'HXI2501.QFX', 'IX002.HBX'}" in first.stdout
    written = sorted(p.relative_to(minbar).as_posix() for p in minbar.rglob("*.h5"))
    assert written == sorted("{}/{}.h5".format(sub, oid) for oid, sub in DEMO_MINBAR.items())

    bundle.init_lumenfeed_with_warnings_catch()
    for oid, sub in DEMO_MINBAR.items():
        bars = lumenfeed.get_price(oid, start_date=bundle.MIN_START_DATE, end_date=bundle.MAX_END_DATE,
                                   frequency="1m", adjust_type="none", expect_df=True)
        with h5py.File(minbar / sub / (oid + ".h5"), "r") as h5:
            assert sorted(h5) == ["data", "index"]
            data, index = h5["data"][:], h5["index"][:]
        assert data.dtype == (bundle.EQUITIES_DTYPE if sub == "equities" else bundle.DERIVATIVES_DTYPE)
        assert len(data) == len(bars) > 0
        assert np.array_equal(data["close"], bars["close"].to_numpy())
        assert index["line_no"][0] == 0 and np.all(np.diff(index["date"]) > 0)

    again = corvane_command("update-minbar", minbar, *DEMO_MINBAR, "--jobs", "2", env=env)
    assert again.returncode == 0, again.stderr
    assert again.stdout.splitlines()[-1] == (
        "corvane: 3 instruments: 0 new, 0 updated, 3 up to date, 0 failed; 0 rows added")

    tick_run = corvane_command("update-tick", ticks, "10003.HBX", "HXI2501.QFX", "-j", "2", env=env)
    assert tick_run.returncode == 0, tick_run.stderr
    loader = H5TicksLoader(ticks)
    for oid in ("10003.HBX", "HXI2501.QFX"):
        days = loader.available_dates(oid)
        assert len(days) == 2
        assert all(len(loader.get_ticks(oid, day)) > 0 for day in days)


def test_every_command_shows_an_example_and_the_listing_ones_speak_json():
    for name, command in main.commands.items():
        help_text = invoke(name, "--help").output
        assert "Example:" in help_text and "corvane {}".format(name) in help_text, name
    listing = {name for name, command in main.commands.items()
               if any(param.name == "as_json" for param in command.params)}
    assert {"verify", "inspect", "update", "update-minbar", "update-tick"} <= listing
    jobs = {param.default for command in main.commands.values() for param in command.params
            if param.name == "jobs"}
    assert jobs == {None}


def test_export_refuses_a_path_of_the_other_kind(tmp_path):
    (tmp_path / "tick").mkdir()
    (tmp_path / "tick" / "ST1.h5").write_bytes(b"")
    result = invoke("export", tmp_path / "tick", "ST1", "--kind", "minbar", "-o", tmp_path / "x.csv")
    assert result.exit_code == 2 and "not a minute-bar bundle" in result.stderr


def test_a_run_refused_before_its_jobs_exits_2(client, recorder, tmp_path):
    (tmp_path / "minbar").mkdir()
    result = invoke("update-minbar", tmp_path / "minbar", "ST001", "--scheduler", "local:1", "--timeout", "5")
    assert result.exit_code == 2, result.output
    assert "--timeout works with the process pool only" in result.stderr
    assert recorder.events == []
