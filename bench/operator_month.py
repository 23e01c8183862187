"""A month of nightly cron runs of the demo market, as an operator runs them.

    .venv/bin/python bench/operator_month.py [--days 22] [--market 0.25] [--start 20261102]
                                             [--since 20260801] [--dir DIR]

For each trading day from --start, with LUMENFEED_ASOF set to that day (and
LUMENFEED_MARKET to --market), runs the operating guide's cron line as a
subprocess:

    corvane update-minbar ROOT all --with-derivatives --jobs 2 --fetch-threads 4 --timeout 600
                          --since SINCE --report DIR/minbar.json --metrics DIR/minbar.prom

then `corvane status ROOT --json` and `corvane status ROOT --client --json`.
The first day is the first fill: --since (a few months before --start)
keeps it small; later days add one day to every file.

On purpose, each on a day of its own (0 switches it off), the next day a
plain one that must converge:
  --fault-day    the client serves one bad row of --fault-id that day
                 (LUMENFEED_FAULTS): the update reports it (exit 0 under the
                 default --quality warn); status does not look at quality
  --stale-day    the night's run selects every instrument of the day before
                 by name but --stale-id (and the futures and options tags, so
                 that new contracts still come in): status exits 1 naming it
  --short-day    --short-id is updated by hand at 11:00 while the session
                 runs (LUMENFEED_ASOF=DAYT1100), so the night's run finds it
                 up to date: status exits 1 naming it short; the operator then
                 repairs it with `--revisit 1`
  --kill-day     the night's run is killed (SIGKILL, as the OOM killer does)
                 once the report says "running" and a file has been written:
                 its report is shown as the kill left it
Every other day, any exit status but 0 is a fault, listed under the table
with what status named.  Then the killed run's report, and the bytes of the
bundle and of its `.corvane/`.  Exit status 1 when anything was unexpected.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import warnings

CORVANE = os.path.join(os.path.dirname(sys.executable), "corvane")
FLAGS = ("stale", "missing", "short", "suspended", "error")
ON_PURPOSE = ("fault", "stale", "short", "kill")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=22, help="trading days run, the first fill included")
    parser.add_argument("--market", default="0.25", help="LUMENFEED_MARKET: a factor in (0, 1], or full")
    parser.add_argument("--start", type=int, default=20261102, help="the first day's as-of date")
    parser.add_argument("--since", type=int, default=20260801, help="the first fill's --since")
    parser.add_argument("--words", nargs="+", default=["all"], help="the cron line's words (default: all)")
    parser.add_argument("--fault-day", type=int, default=4)
    parser.add_argument("--fault-id", default="10002.HBX")
    parser.add_argument("--fault-kind", default="high-low", help="a LUMENFEED_FAULTS kind")
    parser.add_argument("--stale-day", type=int, default=7)
    parser.add_argument("--stale-id", default="10003.HBX")
    parser.add_argument("--short-day", type=int, default=10)
    parser.add_argument("--short-id", default="11001.HBX")
    parser.add_argument("--kill-day", type=int, default=13)
    parser.add_argument("--dir", help="work directory, kept (default: a temporary one, removed after)")
    args = parser.parse_args(argv)
    chosen = [getattr(args, what + "_day") for what in ON_PURPOSE if getattr(args, what + "_day")]
    if len(set(chosen)) != len(chosen) or any(day < 2 or day >= args.days for day in chosen):
        parser.error("the days on purpose must differ and lie in 2..--days less 1 (day 1 is the first fill, "
                     "and a day after each shows the run converge)")
    return args


def trading_days(start, count):
    """`count` trading days of the demo calendar from `start` on."""
    import lumenfeed
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lumenfeed.init()
    if not lumenfeed.is_trading_date(start):
        raise SystemExit("operator_month: --start {} is no trading date".format(start))
    days = [start]
    while len(days) < count:
        days.append(int(lumenfeed.get_next_trading_date(days[-1]).strftime("%Y%m%d")))
    return days


def client_env(market, asof, faults=None):
    env = dict(os.environ, LUMENFEED_ASOF=str(asof), LUMENFEED_MARKET=market)
    env.pop("LUMENFEED_FAULTS", None)
    env.pop("LUMENFEED_REVISED", None)
    if faults:
        env["LUMENFEED_FAULTS"] = faults
    return env


def cron_line(work, since, words):
    """The operating guide's cron line, with --since for the first fill."""
    return [CORVANE, "update-minbar", work["root"]] + words + [
        "--with-derivatives", "--jobs", "2", "--fetch-threads", "4", "--timeout", "600",
        "--since", str(since), "--report", work["report"], "--metrics", work["metrics"]]


def run(command, env, log):
    with open(log, "ab") as out:
        out.write(("$ " + " ".join(command[:12]) + (" ..." if len(command) > 12 else "") + "\n").encode())
        out.flush()
        return subprocess.run(command, env=env, stdout=out, stderr=out, check=False).returncode


def status(work, env, client):
    """(exit status, {flag: [ids]}, lines naming what status flagged) of `corvane status --json`."""
    command = [CORVANE, "status", work["root"], "--json", "--metrics", work["status_metrics"]]
    done = subprocess.run(command + (["--client"] if client else []), env=env, capture_output=True,
                          text=True, check=False)
    try:
        entries = json.loads(done.stdout)
    except ValueError:
        return done.returncode, {"error": ["(no JSON)"]}, [done.stderr.strip()[-500:]]
    named, lines = {flag: [] for flag in FLAGS}, []
    for entry in entries:
        said = [flag for flag in FLAGS if entry[flag]]
        for flag in said:
            named[flag].append(entry["order_book_id"])
        if set(said) - {"suspended"}:
            lines.append("{order_book_id}: last {last}, venue's {venue_last}, missing {missing}, short {short}, "
                         "stale {stale}, error {error!r}".format(**entry))
    return done.returncode, named, lines


def exit_in_metrics(path):
    try:
        with open(path) as f:
            lines = [line for line in f if line.startswith("corvane_exit_status")]
    except OSError:
        return None
    return int(float(lines[0].split()[-1])) if lines else None


def findings(report):
    """'N: kind on id (date), ...' of what the quality checks found, or '0'."""
    found = [(kind, date, entry["order_book_id"]) for entry in report.get("instruments", [])
             for kind, date, _count, _example in entry.get("quality") or []]
    if not found:
        return "0"
    shown = ", ".join("{} {} {}".format(kind, oid, date) for kind, date, oid in found[:3])
    return "{}: {}{}".format(len(found), shown, ", ..." if len(found) > 3 else "")


def read_report(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def written_since(root, since_ns):
    """Whether any bundle file was written after `since_ns` (a job of the run has begun writing)."""
    for directory, subdirectories, names in os.walk(root):
        subdirectories[:] = [name for name in subdirectories if name != ".corvane"]
        for name in names:
            try:
                if name.endswith(".h5") and os.stat(os.path.join(directory, name)).st_mtime_ns > since_ns:
                    return True
            except FileNotFoundError:
                continue
    return False


def group_gone(group, seconds):
    """Wait (a deadline, polling) for every process of `group` to end; whether they all did."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            os.killpg(group, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


def killed_run(command, env, work, log):
    """Runs `command`, SIGKILLs it once its report says running and a file was written: (exit, note)."""
    launched = time.time_ns()
    with open(log, "ab") as out:
        process = subprocess.Popen(command, env=env, stdout=out, stderr=out, start_new_session=True)
    deadline, sign = time.monotonic() + 600, False
    while process.poll() is None and time.monotonic() < deadline:
        report = read_report(work["report"])
        sign = report.get("state") == "running" and report.get("pid") == process.pid \
            and written_since(work["root"], launched)
        if sign:
            break
        time.sleep(0.02)
    if process.poll() is None:
        os.kill(process.pid, signal.SIGKILL)
    status = process.wait()
    note = "SIGKILL once running and writing" if sign else "the run ended before any sign to kill on"
    if not group_gone(process.pid, 60):
        os.killpg(process.pid, signal.SIGKILL)
        note += "; its workers outlived it by 60 s (killed)"
    return status, note


def named(flags, which):
    """'stale 10003.HBX, suspended 2: 16068.HBX 20469.HBX' of what status named."""
    return ", ".join("{} {}{}{}".format(flag, "{}: ".format(len(flags[flag])) if len(flags[flag]) > 1 else "",
                                        " ".join(flags[flag][:3]), " ..." if len(flags[flag]) > 3 else "")
                     for flag in which if flags[flag]) or "-"


def night(args, work, number, day, last_ids):
    """One trading day: the night's run, status twice, and what was done on purpose that day."""
    env, words, notes = client_env(args.market, day), args.words, []
    log = os.path.join(work["logs"], "{:02d}-{}.log".format(number, day))
    if number == 1:
        notes.append("first fill, --since {}".format(args.since))
    if number == args.fault_day:
        env = client_env(args.market, day, "{}:{}:{}".format(args.fault_id, day, args.fault_kind))
        notes.append("{} served for {}".format(args.fault_kind, args.fault_id))
    if number == args.stale_day:
        # By name, so that nothing else changes; the tags bring contracts listed today.
        words = [oid for oid in last_ids if oid != args.stale_id] + (["futures", "option"] if "all" in words else [])
        notes.append("{} left out of the words".format(args.stale_id))
    if number == args.short_day:
        early = run([CORVANE, "update-minbar", work["root"], args.short_id, "--since", str(args.since)],
                    client_env(args.market, "{}T1100".format(day)), log)
        notes.append("{} updated by hand at 11:00 (exit {})".format(args.short_id, early))
    if number == args.kill_day:
        update, note = killed_run(cron_line(work, args.since, words), env, work, log)
        notes.append(note)
        shutil.copyfile(work["report"], work["killed"])
    else:
        update = run(cron_line(work, args.since, words), env, log)
    report = read_report(work["report"])
    row = {"number": number, "day": day, "update": update, "report": report, "notes": notes,
           "metrics": exit_in_metrics(work["metrics"])}
    row["status"], row["flags"], row["lines"] = status(work, env, client=False)
    row["client"], row["client_flags"], row["client_lines"] = status(work, env, client=True)
    if number == args.short_day:
        repair = run([CORVANE, "update-minbar", work["root"], args.short_id, "--revisit", "1"], env, log)
        after = status(work, env, client=False)[0]
        notes.append("then `{} --revisit 1` (exit {}), status after it {}".format(args.short_id, repair, after))
    return row


def judged(args, row):
    """What in `row` differs from what its day should show, as lines (none: as expected)."""
    number, wrong = row["number"], []
    counts = row["report"].get("counts", {})
    if number == args.kill_day:
        return wrong
    expected = {"update": 0, "status": 0, "client": 0}
    flagged = {"status": ("stale", []), "client": ("stale", [])}
    if number == args.stale_day:
        expected.update(status=1, client=1)
        flagged = {"status": ("stale", [args.stale_id]), "client": ("stale", [args.stale_id])}
    if number == args.short_day:
        expected.update(status=1, client=1)
        flagged = {"status": ("short", [args.short_id]), "client": ("short", [args.short_id])}
    for what, value in expected.items():
        if row[what] != value:
            wrong.append("{} exit {} (expected {})".format(what, row[what], value))
    for what, (flag, ids) in flagged.items():
        flags = row["flags" if what == "status" else "client_flags"]
        if ids and flags[flag] != ids:
            wrong.append("{} named {} {} (expected {})".format(what, flag, flags[flag], ids))
    if counts.get("failed"):
        wrong.append("{} failed in the report".format(counts["failed"]))
    if row["metrics"] is not None and row["metrics"] != row["update"]:
        wrong.append("the metrics file says exit {}, the run {}".format(row["metrics"], row["update"]))
    if number == args.fault_day and not any(entry["order_book_id"] == args.fault_id and entry.get("quality")
                                            for entry in row["report"].get("instruments", [])):
        wrong.append("no quality finding on {}".format(args.fault_id))
    if wrong:
        wrong += ["  status: " + line for line in row["lines"][:10]]
        wrong += ["  status --client: " + line for line in row["client_lines"][:10]]
    return wrong


def tree_bytes(top, skip=None):
    total = 0
    for directory, subdirectories, names in os.walk(top):
        subdirectories[:] = [name for name in subdirectories if name != skip]
        total += sum(os.path.getsize(os.path.join(directory, name)) for name in names)
    return total


def table(rows):
    lines = ["| day | update exit | status exit | status --client exit | new | updated | up to date | failed "
             "| findings | status named | what was done on purpose |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for row in rows:
        finished = row["report"].get("state") == "finished"
        counts = row["report"].get("counts") if finished else {}
        shown = "" if finished else " (report: {})".format(row["report"].get("state"))
        lines.append("| {} {} | {}{} | {} | {} | {} | {} | {} | {} | {} | {} | {} |".format(
            row["number"], row["day"], row["update"], shown, row["status"], row["client"],
            *(counts.get(key, "-") for key in ("new", "updated", "up_to_date", "failed")),
            findings(row["report"]) if shown == "" else "-", named(row["flags"], FLAGS),
            "; ".join(row["notes"]) or "-"))
    return "\n".join(lines)


def month(args, top, echo=print):
    """Runs the month under `top`: (rows, the killed run's report, faults)."""
    work = {"root": os.path.join(top, "minbar"), "report": os.path.join(top, "minbar.json"),
            "metrics": os.path.join(top, "minbar.prom"), "status_metrics": os.path.join(top, "status.prom"),
            "killed": os.path.join(top, "killed.json"), "logs": os.path.join(top, "logs")}
    os.makedirs(work["logs"], exist_ok=True)
    rows, faults, last_ids = [], [], []
    for number, day in enumerate(trading_days(args.start, args.days), 1):
        started = time.monotonic()
        row = night(args, work, number, day, last_ids)
        if row["report"].get("state") == "finished":
            last_ids = [entry["order_book_id"] for entry in row["report"]["instruments"]]
        faults += ["day {} {}: {}".format(number, day, line) for line in judged(args, row)]
        rows.append(row)
        echo("day {:2d} {}: update {}, status {}, --client {} ({:.0f} s)".format(
            number, day, row["update"], row["status"], row["client"], time.monotonic() - started))
    killed = read_report(work["killed"]) if args.kill_day else None
    sizes = {"bundle": tree_bytes(work["root"], skip=".corvane"),
             ".corvane": tree_bytes(os.path.join(work["root"], ".corvane"))}
    return rows, killed, faults, sizes


def killed_summary(report):
    """The killed run's report without its list of instruments (their count instead)."""
    shown = {key: value for key, value in report.items() if key != "instruments"}
    shown["instruments"] = "{} entries".format(len(report.get("instruments") or []))
    return json.dumps(shown, indent=2)


def main(argv=None):
    args = parse_args(argv)
    top = args.dir or tempfile.mkdtemp(prefix="operator-month-")
    if args.dir and os.path.exists(os.path.join(top, "minbar")):
        raise SystemExit("operator_month: {} already holds a bundle; give an empty --dir".format(top))
    try:
        rows, killed, faults, sizes = month(args, top, echo=lambda line: print(line, file=sys.stderr, flush=True))
        print(table(rows))
        if killed is not None:
            print("\nThe killed run's report (day {}):\n```json\n{}\n```".format(args.kill_day, killed_summary(killed)))
        print("\nbytes at the end: bundle {:,}, .corvane/ {:,}".format(sizes["bundle"], sizes[".corvane"]))
        print("\n" + ("\n".join(["unexpected:"] + faults) if faults else "every day as expected"))
    finally:
        if not args.dir:
            shutil.rmtree(top, ignore_errors=True)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
