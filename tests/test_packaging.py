"""How corvane is built and installed: a source build, and the wheel that carries its libraries."""
import glob
import os
import re
import zipfile
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def venv_tool(name):
    return shutil.which(name, path=os.path.dirname(sys.executable)) or shutil.which(name)


def test_a_source_build_without_the_development_files_stops_with_one_line_naming_them(tmp_path):
    # CMake looks nowhere under /usr, where Debian keeps both, and is told HDF5 is absent.
    result = subprocess.run(
        [venv_tool("cmake"), "-S", ROOT, "-B", str(tmp_path), "-DCORVANE_PYTHON=OFF",
         "-DCMAKE_IGNORE_PREFIX_PATH=/usr", "-DCMAKE_DISABLE_FIND_PACKAGE_HDF5=ON"],
        capture_output=True, text=True, timeout=300)
    assert result.returncode != 0
    (line,) = [line for line in result.stderr.splitlines() if "corvane: missing" in line]
    assert "libhdf5-dev" in line and "libdeflate-dev" in line, result.stderr
    assert "not found" not in result.stderr.lower()


def fresh_venv(where):
    subprocess.run([sys.executable, "-m", "venv", str(where)], check=True, timeout=300)
    return os.path.join(str(where), "bin")


def engine_libraries(bin_dir):
    """{soname: path} of the installed engine's libraries, as the dynamic loader finds them."""
    python = os.path.join(bin_dir, "python")
    engine = subprocess.run([python, "-c", "import corvane._engine as e; print(e.__file__)"],
                            capture_output=True, text=True, check=True, timeout=120).stdout.strip()
    found = {}
    for line in subprocess.run(["ldd", engine], capture_output=True, text=True, check=True).stdout.splitlines():
        name, _, where = line.strip().partition(" => ")
        found[name] = where.split(" (")[0]
    return engine, found


# What HDF5's S3 driver would pull in; the wheel's HDF5 links a failing stand-in instead.
NETWORK_OR_TLS = re.compile(r"lib(curl|ssl|crypto|gnutls|ssh|krb5|gssapi|k5crypto|ldap|lber|nghttp2"
                            r"|rtmp|idn2|psl|sasl2)")


def wheel_libraries(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return [name.split("/", 1)[1] for name in archive.namelist()
                if name.startswith("corvane.libs/") and name != "corvane.libs/"]


@pytest.mark.slow
def test_the_wheel_installs_into_a_fresh_environment_and_updates_the_demo_market(tmp_path):
    subprocess.run(["bash", os.path.join(ROOT, "tools", "wheel.sh"), str(tmp_path / "dist")],
                   cwd=ROOT, check=True, timeout=1800)
    (wheel,) = glob.glob(str(tmp_path / "dist" / "corvane-*manylinux*.whl"))
    carried = wheel_libraries(wheel)
    for stem in ("libhdf5", "libdeflate", "libcorvane_no_network"):
        assert [name for name in carried if name.startswith(stem)], (stem, carried)
    assert [name for name in carried if NETWORK_OR_TLS.match(name)] == []
    bin_dir = fresh_venv(tmp_path / "venv")
    # The demo platform beside it, as a user without the real one would install it.
    standins = os.path.join(ROOT, "standins")
    subprocess.run([os.path.join(bin_dir, "python"), "-m", "pip", "install", "-q", wheel, standins],
                   check=True, timeout=1800)

    engine, libraries = engine_libraries(bin_dir)
    assert engine.startswith(str(tmp_path / "venv"))
    assert "not found" not in libraries.values()
    # Nor does the loader find one anywhere else on the machine.
    assert [name for name in libraries if NETWORK_OR_TLS.match(name)] == []
    vendored = os.path.join(os.path.dirname(os.path.dirname(engine)), "corvane.libs")
    for stem in ("libhdf5", "libdeflate"):
        (name,) = [name for name in libraries if name.startswith(stem)]
        assert os.path.dirname(os.path.realpath(libraries[name])) == vendored

    # Outside the checkout, with nothing of the checkout's environment.
    env = {"PATH": bin_dir + os.pathsep + "/usr/bin:/bin", "HOME": str(tmp_path),
           "LUMENFEED_ASOF": "20240726"}
    corvane = os.path.join(bin_dir, "corvane")
    update = subprocess.run([corvane, "update-minbar", "minbar", "IX002.HBX", "--jobs", "1"],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert update.returncode == 0, update.stderr
    assert update.stdout.splitlines()[-1].startswith("corvane: 1 instruments: 1 new,")
    checked = subprocess.run([corvane, "verify", "minbar"], cwd=tmp_path, env=env,
                             capture_output=True, text=True, timeout=600)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    exported = subprocess.run([corvane, "export", "minbar", "IX002.HBX", "-o", "bars.csv"],
                              cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert exported.returncode == 0, exported.stderr
    with open(tmp_path / "bars.csv", encoding="utf-8") as text:
        assert len(text.read().splitlines()) > 1
    # The plot extra is not installed: one line saying how.
    plot = subprocess.run([corvane, "plot", "minbar", "IX002.HBX", "-o", "p.png"], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=600)
    assert plot.returncode == 2
    assert plot.stderr.splitlines() == [
        "corvane: corvane plot needs matplotlib: pip install 'corvane[plot]'"]


def tree(root):
    return sorted(os.path.relpath(os.path.join(where, name), root)
                  for where, directories, names in os.walk(root) for name in directories + names
                  if "__pycache__" not in where and name != "__pycache__")


def test_building_the_standins_leaves_their_tree_as_it_was(tmp_path):
    # A build in the source tree is what `pip install ./standins` runs; anything it left
    # in src/ would be a second copy of the distribution to the checkout's editable install.
    standins = shutil.copytree(os.path.join(ROOT, "standins"), tmp_path / "standins",
                               ignore=shutil.ignore_patterns("__pycache__"))
    before = tree(standins)
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
                    "-w", str(tmp_path / "dist"), str(standins)], check=True, timeout=300)
    assert tree(standins) == before
    (wheel,) = glob.glob(str(tmp_path / "dist" / "corvane_standins-*.whl"))
    version = os.path.basename(wheel).split("-")[1]
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        top_level = archive.read("corvane_standins-{}.dist-info/top_level.txt".format(version)).decode()
    assert top_level.split() == ["lumenfeed", "vesper", "vesper_mod_tollbay_data"]
    assert {name.split("/")[0] for name in names if name.endswith(".py")} == set(top_level.split())


def test_every_extra_a_message_or_page_names_is_declared():
    import re
    import tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as text:
        declared = set(tomllib.load(text)["project"]["optional-dependencies"])
    named = set()
    for folder in ("src", "docs"):
        for directory, _, names in os.walk(os.path.join(ROOT, folder)):
            for name in names:
                if name.endswith((".py", ".md")):
                    with open(os.path.join(directory, name), encoding="utf-8") as text:
                        named.update(re.findall(r"corvane\[([a-z]+)\]", text.read()))
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as text:
        named.update(re.findall(r"corvane\[([a-z]+)\]", text.read()))
    assert named and named <= declared, sorted(named - declared)
