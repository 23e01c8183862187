"""`--metrics FILE.prom`: the text format, what each command writes, and an exporter reading it."""
import re
import shutil
import socket
import subprocess
import time
import urllib.request

import pytest

from corvane.cli import metrics
from test_cli import inline_store, invoke  # noqa: F401  (inline_store is a fixture)

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*\Z")
SAMPLE = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)\Z')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(,|\Z)')


def parse(text, prefix="corvane_"):
    """{(name, ((label, value), ...)): value} of the samples named `prefix`..., checking the
    format strictly: HELP then TYPE once per name before its samples, names and labels well
    formed, label values escaped, no series twice, a newline at the end."""
    assert text.endswith("\n")
    typed, series = {}, {}
    for line in text.splitlines():
        if line.startswith("# "):
            what, name, rest = (line[2:].split(" ", 2) + [""])[:3]
            if what == "TYPE":
                assert NAME.match(name) and name not in typed and rest in ("gauge", "counter", "summary", "histogram", "untyped")
                typed[name] = rest
            continue
        found = SAMPLE.match(line)
        assert found, line
        name, labels, value = found.groups()
        labels = labels or ""
        pairs, at = [], 0
        while at < len(labels):
            label = LABEL.match(labels, at)
            assert label, line
            pairs.append((label.group(1), re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1),
                                                 label.group(2))))
            at = label.end()
        if not name.startswith(prefix):
            continue
        assert name in typed, "{} has no TYPE before it".format(name)
        key = (name, tuple(sorted(pairs)))
        assert key not in series, line
        series[key] = float(value)
    return series


def value(series, name, **labels):
    """The value of the one series `name` whose labels include `labels`."""
    (found,) = [v for (n, pairs), v in series.items()
                if n == "corvane_" + name and set(labels.items()) <= set(pairs)]
    return found


@pytest.mark.parametrize("root", ["b/minbar", 'odd "quoted" \\ path', "two\nlines", "中文/根"])
def test_the_text_format_parses_back_with_any_root(tmp_path, root):
    run = metrics.Run(str(tmp_path / "m.prom"), "status", "minbar", root)
    assert run.finish(1, [metrics.Sample("verify_findings", {"check": "jump"}, 3)]) == 1
    text = (tmp_path / "m.prom").read_text()
    series = parse(text)
    assert value(series, "verify_findings", root=root, check="jump", command="status") == 3
    assert value(series, "exit_status", root=root) == 1
    assert value(series, "last_success_timestamp_seconds", root=root) == 0
    # A second run reads the first's file back, whatever the root holds.
    assert metrics.previous_success(str(tmp_path / "m.prom"), {"command": "status", "kind": "minbar",
                                                                 "root": root}) == (root, 0)


def test_update_series_count_every_outcome_and_the_quality_findings_by_check():
    from types import SimpleNamespace as Fake

    def outcome(status, *kinds):
        return Fake(status=status, rows_added=2, revised=(20250102,),
                    findings=tuple(Fake(kind=kind, date=20250102, count=1, example="") for kind in kinds))

    report = Fake(outcomes=[outcome("new", "jump", "price", "jump"), outcome("failed"), outcome("new")],
                  counts={"new": 2, "failed": 1, "updated": 0, "up_to_date": 0, "interrupted": 0,
                          "not_run": 0, "lost": 0, "rows_added": 6, "days_revised": 3})
    series = {(sample.name, tuple(sample.labels.items())): sample.value for sample in metrics.update_series(report)}
    assert series == {**{("update_instruments", (("outcome", status),)): report.counts[status]
                         for status in ("new", "updated", "up_to_date", "failed", "interrupted", "not_run", "lost")},
                      ("update_rows_added", ()): 6, ("update_days_revised", ()): 3,
                      ("update_quality_findings", (("check", "jump"),)): 2,
                      ("update_quality_findings", (("check", "price"),)): 1}
    # A report whose outcomes hold no findings (a run without the checks) gives no quality series.
    assert metrics.quality_series(Fake(outcomes=[Fake(status="new")])) == []


@pytest.mark.parametrize("previous", [None, "garbled {{{ 12", b"\xff\xfe\x00binary",
                                      'corvane_last_success_timestamp_seconds{command="update-minbar",'
                                      'kind="minbar",root="elsewhere"} 5\n',
                                      'corvane_last_success_timestamp_seconds{command="update-minbar",'
                                      'kind="minbar",root="{root}"} NaN\n'])
def test_a_failed_run_after_a_missing_or_garbled_file_has_no_last_success(client, inline_store,  # noqa: F811
                                                                         tmp_path, previous):
    prom, root = tmp_path / "m.prom", tmp_path / "minbar"
    if isinstance(previous, bytes):
        prom.write_bytes(previous)
    elif previous is not None:
        prom.write_text(previous.replace("{root}", str(root)))
    client.fail = ConnectionError("server down")
    assert invoke("update-minbar", root, "ST001", "--metrics", prom).exit_code == 1
    series = parse(prom.read_text())
    assert value(series, "last_success_timestamp_seconds", root=str(root)) == 0


def test_the_last_success_is_kept_through_failed_runs(client, inline_store, tmp_path):  # noqa: F811
    prom, root = tmp_path / "m.prom", tmp_path / "minbar"
    before = time.time()
    assert invoke("update-minbar", root, "ST001", "WV.2601", "--metrics", prom).exit_code == 0
    good = parse(prom.read_text())
    success = value(good, "last_success_timestamp_seconds")
    # The file holds times to the millisecond: `before` may lie up to half of one past the start written.
    assert before - 0.001 <= value(good, "last_run_start_timestamp_seconds") <= value(
        good, "last_run_end_timestamp_seconds") == success <= time.time() + 0.001
    assert value(good, "update_instruments", outcome="new") == 2
    assert value(good, "update_rows_added") == 6
    assert value(good, "bundle_bytes") == sum(p.stat().st_size for p in root.rglob("*.h5"))
    assert value(good, "history_bytes") > 0

    for args, status in [(["ST001"], 1), (["nosuchword"], 2), ([], 2)]:
        client.fail = ConnectionError("server down") if status == 1 else None
        assert invoke("update-minbar", root, *args, "--metrics", prom).exit_code == status
        failed = parse(prom.read_text())
        assert value(failed, "exit_status") == status
        assert value(failed, "last_success_timestamp_seconds") == success
        assert value(failed, "last_run_start_timestamp_seconds") >= value(good, "last_run_end_timestamp_seconds")
        assert {dict(pairs)["root"] for _, pairs in failed} == {str(root)}

    # PATH itself refused: the series keep the previous run's root.
    (tmp_path / "plain").write_text("x")
    assert invoke("update-minbar", tmp_path / "plain", "ST001", "--metrics", prom).exit_code == 2
    refused = parse(prom.read_text())
    assert value(refused, "exit_status", root=str(root)) == 2
    assert value(refused, "last_success_timestamp_seconds", root=str(root)) == success


def test_each_command_writes_its_file_on_every_exit(client, inline_store, tmp_path):  # noqa: F811
    root, nothing = tmp_path / "minbar", tmp_path / "nothing"
    runs = [("update-minbar", root, "ST001"), ("status", root), ("verify", root),
            ("status", nothing), ("verify", nothing), ("update-tick", tmp_path / "tick", "ST001")]
    for at, args in enumerate(runs):
        if args[0] == "update-tick":
            client.fail = ConnectionError("server down")
        result = invoke(*args, "--metrics", tmp_path / "{}.prom".format(at))
        series = parse((tmp_path / "{}.prom".format(at)).read_text())
        assert value(series, "exit_status", command=args[0], root=str(args[1])) == result.exit_code
        assert (args[1] == root) == ("corvane_bundle_bytes" in {name for name, _ in series})
        if args[1] == nothing:
            assert result.exit_code != 0 and value(series, "last_success_timestamp_seconds") == 0
        elif args[0] == "update-tick":
            assert result.exit_code == 1 and value(series, "exit_status", kind="tick") == 1
        elif args[0] == "status":
            assert value(series, "status_instruments", kind="minbar") == 1
            flagged = sum(v for (name, _), v in series.items() if name == "corvane_status_flagged_instruments")
            assert (flagged > 0) == (result.exit_code == 1)
        elif args[0] == "verify":
            assert value(series, "verify_files", kind="minbar") == 1
            found = sum(v for (name, _), v in series.items() if name == "corvane_verify_findings")
            assert (found > 0) == (result.exit_code == 1)


@pytest.mark.parametrize("args", [["update-minbar", "{root}", "ST001"], ["update-minbar", "{root}", "nosuchword"],
                                  ["status", "{root}"], ["verify", "{root}"]])
@pytest.mark.parametrize("where", ["{tmp}/no/such/dir/m.prom", "{tmp}"])
def test_a_metrics_file_that_cannot_be_written_leaves_the_exit_status(client, inline_store,  # noqa: F811
                                                                      tmp_path, args, where):
    root = tmp_path / "minbar"
    assert invoke("update-minbar", root, "ST001").exit_code == 0
    args = [a.format(root=root) for a in args]
    plain = invoke(*args)
    broken = invoke(*args, "--metrics", where.format(tmp=tmp_path))
    assert broken.exit_code == plain.exit_code
    assert broken.stdout == plain.stdout
    (line,) = [line for line in broken.stderr.splitlines() if "metrics" in line]
    assert line.startswith("corvane: cannot write the metrics to {}: ".format(where.format(tmp=tmp_path)))
    assert [p.name for p in tmp_path.glob(".*")] == []


# ---------------------------------------------------------------- the exporter

EXPORTER = shutil.which("prometheus-node-exporter")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def scrape(url, deadline):
    """The exporter's page, asked again until it answers or the deadline passes."""
    while True:
        try:
            with urllib.request.urlopen(url, timeout=5) as answer:
                return answer.read().decode("utf-8")
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


@pytest.mark.slow
@pytest.mark.skipif(EXPORTER is None, reason="prometheus-node-exporter is not installed (Debian package)")
def test_the_exporter_serves_the_series(client, inline_store, tmp_path):  # noqa: F811
    directory, root = tmp_path / "textfile", tmp_path / 'min"bar'
    directory.mkdir()
    assert invoke("update-minbar", root, "ST001", "WV.2601", "--metrics", directory / "minbar.prom").exit_code == 0
    client.fail = ConnectionError("server down")
    assert invoke("update-tick", tmp_path / "tick", "ST001", "--metrics", directory / "tick.prom").exit_code == 1
    assert invoke("status", root, "--metrics", directory / "status.prom").exit_code in (0, 1)
    written = {}
    for prom in directory.iterdir():
        written.update(parse(prom.read_text()))

    port = free_port()
    exporter = subprocess.Popen(
        [EXPORTER, "--web.listen-address=127.0.0.1:{}".format(port), "--collector.disable-defaults",
         "--collector.textfile", "--collector.textfile.directory={}".format(directory)],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        page = scrape("http://127.0.0.1:{}/metrics".format(port), time.monotonic() + 30)
    finally:
        exporter.kill()
        _, errors = exporter.communicate(timeout=30)
    served = parse(page)
    # The collector took every file: none is named in an error, each has its mtime series.
    assert "node_textfile_scrape_error 0" in page, errors.decode(errors="replace")
    assert page.count("node_textfile_mtime_seconds{file=") == 3
    assert served == written
    assert value(served, "update_instruments", root=str(root), outcome="new") == 2
    assert value(served, "exit_status", command="update-tick", kind="tick") == 1
    assert value(served, "status_instruments", root=str(root)) == 2
