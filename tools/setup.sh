#!/usr/bin/env bash
# Installs everything corvane needs, idempotently: Debian libraries, a virtual
# environment in the checkout, the Python packages, the platform stand-ins and
# corvane itself (which builds the native engine).
set -euo pipefail
cd "$(dirname "$0")/.."

# prometheus-node-exporter: the metrics test reads `--metrics` files through a real exporter, an
# instance of its own on a port of its own (where systemd runs, Debian also starts its service).
debian_packages=(libhdf5-dev libdeflate-dev zlib1g-dev libgtest-dev hdf5-tools pkg-config g++ cmake
                 prometheus-node-exporter)
missing=()
for p in "${debian_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
    "$python" -m venv .venv
fi
pip=(.venv/bin/python -m pip --disable-pip-version-check -q)
stamp=.venv/.requirements-stamp
if [ ! -f "$stamp" ] || [ tools/requirements.txt -nt "$stamp" ]; then
    "${pip[@]}" install -r tools/requirements.txt
    touch "$stamp"
fi
# The stand-ins are the embedded demo platform; a real installation of the
# client or framework must not be shadowed, so they are only added when absent.
if ! .venv/bin/python -c "import lumenfeed, vesper, vesper_mod_tollbay_data" 2>/dev/null; then
    "${pip[@]}" install --no-build-isolation -e ./standins
fi
# Editable, without build isolation: rebuilds only what changed in build/.
"${pip[@]}" install --no-build-isolation --no-deps -e .
