"""Test strength as a number: hand-made faults, each applied alone, must fail a test.

    python tools/mutants.py [--only ID,...] [--area NAME] [--list FILE]

Every mutant in tools/mutants.toml replaces one exact piece of text in one
file with a fault a developer could introduce, in a scratch copy of the
checkout (build/mutants/tree), never in the checkout itself.  The engine is
rebuilt there incrementally (build/mutants/build) when the mutant is in
native/, then the mutant's own tests run: "pytest: ARGS" (in a small
environment that imports the scratch copy, with this checkout's .venv
packages) or "gtest: FILTER" (the engine's GoogleTests).  A test failing, a
time limit reached or the engine no longer building kills the mutant; all
tests passing lets it survive.

A mutant whose text is no longer found once (the code moved on) is "stale":
listed, not counted, and the run fails until its `find` follows the code
(tests/test_mutant_list.py says so in the suite, without running a mutant).  A mutant marked
`equivalent = "why"` changes no behaviour a test could see: listed with why,
not counted.  Before the mutants, each distinct test selection runs once on
the unchanged copy: a selection that fails there would kill anything.

Prints killed / survived per area and overall; exits 1 when the overall score
is below --threshold (95%), an area's below --area-threshold (90%), or a
mutant is stale.
"""
import argparse
import collections
import os
import shlex
import signal
import subprocess
import sys
import sysconfig
import time
import tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.path.join(ROOT, "build", "mutants")
TREE = os.path.join(SCRATCH, "tree")
BUILD = os.path.join(SCRATCH, "build")
VENV = os.path.join(SCRATCH, "venv")
GTEST = os.path.join(BUILD, "native", "tests", "corvane_engine_tests")
AREAS = ["crash safety", "storage", "reader", "stores", "selection/run/CLI", "verify", "versions", "history"]


def load(path):
    with open(path, "rb") as f:
        mutants = tomllib.load(f)["mutant"]
    seen = set()
    for m in mutants:
        missing = {"id", "area", "file", "find", "replace", "breaks", "tests"} - set(m)
        if missing:
            sys.exit("mutants: {} lacks {}".format(m.get("id", m), ", ".join(sorted(missing))))
        if m["id"] in seen:
            sys.exit("mutants: id {} twice".format(m["id"]))
        if m["area"] not in AREAS:
            sys.exit("mutants: {}: area {!r} is none of {}".format(m["id"], m["area"], AREAS))
        if m["find"] == m["replace"]:
            sys.exit("mutants: {}: its replacement is its text".format(m["id"]))
        seen.add(m["id"])
    return mutants


def sync_tree(checkout):
    """The checkout's files (tracked and new, not ignored) into the scratch copy.

    Only changed files are written, so unchanged ones keep their times and the
    engine's build stays incremental; files the checkout no longer has go."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=checkout,
                            check=True, capture_output=True).stdout.decode().split("\0")
    listed = set(filter(None, listed))
    for directory, subdirectories, names in os.walk(TREE):
        subdirectories[:] = [d for d in subdirectories if d != "__pycache__"]
        for name in names:
            path = os.path.join(directory, name)
            if os.path.relpath(path, TREE) not in listed and not os.path.islink(path):
                os.remove(path)
    for name in listed:
        source, target = os.path.join(checkout, name), os.path.join(TREE, name)
        if not os.path.isfile(source):
            continue
        with open(source, "rb") as f:
            data = f.read()
        if os.path.isfile(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)


def prepare_venv():
    """A bare environment whose path is the scratch copy, then this checkout's packages.

    Its `corvane` command is the scratch copy's, for the tests that run it."""
    python = os.path.join(VENV, "bin", "python")
    if not os.path.exists(python):
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", VENV], check=True)
    packages = sysconfig.get_paths()["purelib"]
    own = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                         check=True, capture_output=True, text=True).stdout.strip()
    with open(os.path.join(own, "corvane_mutants.pth"), "w") as f:
        f.write("\n".join([os.path.join(TREE, "src"), os.path.join(TREE, "standins", "src"),
                           packages]) + "\n")
    command = os.path.join(VENV, "bin", "corvane")
    with open(command, "w") as f:
        f.write("#!{}\nimport sys\nfrom corvane.cli import main\nsys.exit(main())\n".format(python))
    os.chmod(command, 0o755)
    return python


def configure():
    """The scratch build as the tests need it: module with its test hooks, and the GoogleTests."""
    subprocess.run(["cmake", "-S", TREE, "-B", BUILD, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCORVANE_TESTS=ON",
                    "-DCORVANE_PYTHON=ON", "-DCORVANE_HOOKS=ON", "-DPython_EXECUTABLE=" + sys.executable],
                   check=True, stdout=subprocess.DEVNULL)


def build_engine():
    """Builds the module and the GoogleTests of the scratch copy; False when it does not build."""
    built = subprocess.run(["cmake", "--build", BUILD, "-j", "2", "--target", "_engine",
                            "corvane_engine_tests"], capture_output=True, text=True)
    if built.returncode != 0:
        return False
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    module = os.path.join(BUILD, "native", "python", "_engine" + suffix)
    link = os.path.join(TREE, "src", "corvane", "_engine" + suffix)
    if not os.path.islink(link):
        os.symlink(module, link)
    return True


def run_tests(python, tests, timeout):
    """(passed, what failed first and how) for the test selections `tests`, within `timeout` in all."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SKBUILD_", "PYTHON"))}
    env["PATH"] = os.path.join(VENV, "bin") + os.pathsep + env.get("PATH", "")
    deadline = time.monotonic() + timeout
    for test in tests:
        kind, _, args = test.partition(":")
        if kind == "pytest":
            command = [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"] + shlex.split(args)
        elif kind == "gtest":
            command = [GTEST, "--gtest_filter=" + args.strip(), "--gtest_brief=1"]
        else:
            sys.exit("mutants: a test is 'pytest: ARGS' or 'gtest: FILTER', not {!r}".format(test))
        try:
            # Ctrl-C as a terminal delivers it, even when this run was started
            # with it ignored (in the background), for the tests that send it.
            done = subprocess.run(command, cwd=TREE, env=env, capture_output=True, text=True,
                                  timeout=max(1.0, deadline - time.monotonic()), start_new_session=True,
                                  preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        except subprocess.TimeoutExpired:
            return False, "time limit in " + test
        if done.returncode != 0:
            return False, test + "\n" + "\n".join((done.stdout + done.stderr).splitlines()[-15:])
        if kind == "gtest" and "[  PASSED  ] 0 tests" in done.stdout:
            sys.exit("mutants: gtest filter {!r} runs no test".format(args))
    return True, None


def stale_reason(m, tree):
    """Why mutant `m` cannot be applied to the checkout at `tree`, or None."""
    try:
        with open(os.path.join(tree, m["file"])) as f:
            count = f.read().count(m["find"])
    except FileNotFoundError:
        return "{} is gone".format(m["file"])
    if count != 1:
        return "text found {} times in {}".format(count, m["file"])
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "tools", "mutants.toml"))
    parser.add_argument("--source", default=ROOT,
                        help="the checkout whose files are mutated (default: this one)")
    parser.add_argument("--only", help="comma-separated mutant ids")
    parser.add_argument("--area", choices=AREAS)
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds per mutant")
    parser.add_argument("--threshold", type=float, default=95.0)
    parser.add_argument("--area-threshold", type=float, default=90.0)
    parser.add_argument("--no-sanity", action="store_true",
                        help="skip running each test selection on the unchanged copy first")
    options = parser.parse_args()
    mutants = load(options.list)
    if options.only:
        wanted = set(options.only.split(","))
        unknown = wanted - {m["id"] for m in mutants}
        if unknown:
            sys.exit("mutants: no mutant {}".format(", ".join(sorted(unknown))))
        mutants = [m for m in mutants if m["id"] in wanted]
    if options.area:
        mutants = [m for m in mutants if m["area"] == options.area]
    started = time.monotonic()
    os.makedirs(TREE, exist_ok=True)
    sync_tree(options.source)
    python = prepare_venv()
    configure()
    if not build_engine():
        sys.exit("mutants: the unchanged engine does not build in " + BUILD)

    results = collections.OrderedDict()
    live = []
    for m in mutants:
        if "equivalent" in m:
            results[m["id"]] = ("equivalent", m["equivalent"])
            continue
        stale = stale_reason(m, TREE)
        if stale:
            results[m["id"]] = ("stale", stale)
            continue
        live.append(m)
    if not options.no_sanity:
        for tests in sorted({tuple(m["tests"]) for m in live}):
            passed, failed = run_tests(python, tests, options.timeout * 2)
            if not passed:
                sys.exit("mutants: {} fails on the unchanged copy; fix it first".format(failed))
    # Python mutants first: the engine is then built once per native mutant.
    live.sort(key=lambda m: (m["file"].startswith("native/"), m["file"]))
    for m in live:
        path = os.path.join(TREE, m["file"])
        with open(path) as f:
            original = f.read()
        try:
            with open(path, "w") as f:
                f.write(original.replace(m["find"], m["replace"]))
            clock = time.monotonic()
            if m["file"].startswith("native/") and not build_engine():
                outcome = ("killed", "does not build")
            else:
                passed, failed = run_tests(python, m["tests"], m.get("timeout", options.timeout))
                outcome = ("survived", "") if passed else ("killed", failed.splitlines()[0])
        finally:
            with open(path, "w") as f:
                f.write(original)
        results[m["id"]] = outcome
        print("{:9} {:44} {:5.0f}s  {}".format(outcome[0], m["id"], time.monotonic() - clock, outcome[1]),
              flush=True)
    if any(m["file"].startswith("native/") for m in live):
        build_engine()  # leaves the scratch engine unchanged for the next run
    return report(mutants, results, options, time.monotonic() - started)


def report(mutants, results, options, seconds):
    by_area = collections.OrderedDict((area, [0, 0]) for area in AREAS)
    for m in mutants:
        status = results[m["id"]][0]
        if status in ("killed", "survived"):
            by_area[m["area"]][1] += 1
            by_area[m["area"]][0] += status == "killed"
    print("\n{:20} {:>7} {:>9} {:>7}".format("area", "killed", "survived", "score"))
    failing = []
    for area, (killed, total) in by_area.items():
        if not total:
            continue
        score = 100.0 * killed / total
        print("{:20} {:7d} {:9d} {:6.0f}%".format(area, killed, total - killed, score))
        if score < options.area_threshold:
            failing.append("{} {:.0f}% < {:.0f}%".format(area, score, options.area_threshold))
    killed = sum(k for k, _ in by_area.values())
    total = sum(t for _, t in by_area.values())
    score = 100.0 * killed / total if total else 100.0
    print("{:20} {:7d} {:9d} {:6.0f}%".format("overall", killed, total - killed, score))
    if score < options.threshold:
        failing.append("overall {:.0f}% < {:.0f}%".format(score, options.threshold))
    for status in ("survived", "stale", "equivalent"):
        listed = [(m, results[m["id"]][1]) for m in mutants if results[m["id"]][0] == status]
        if listed:
            print("\n{} ({}):".format(status, len(listed)))
            for m, why in listed:
                print("  {} [{}] {}: {}".format(m["id"], m["area"], m["file"],
                                               why if status != "survived" else m["breaks"]))
    print("\n{} mutants in {:.0f} min".format(len(mutants), seconds / 60))
    stale = [m["id"] for m in mutants if results[m["id"]][0] == "stale"]
    if stale:
        # A fault no longer applied is a check silently lost.
        failing.append("{} stale (refresh their `find`): {}".format(len(stale), ", ".join(stale)))
    if failing:
        print("mutants: below the threshold: " + "; ".join(failing))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
