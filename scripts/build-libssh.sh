#!/usr/bin/env bash
# Builds libssh 0.11 (Debian's source package of the next release, with its patches) as a static,
# position-independent library into PREFIX, against the system's OpenSSL and zlib. The system's
# own libssh is never touched. A no-op when PREFIX already holds 0.11 or later.
#   build-libssh.sh PREFIX
# Needs the deb-src entry that scripts/setup.sh adds (scripts/apt/trixie-src.sources).
set -euo pipefail
prefix=${1:?PREFIX}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
ver_file=$prefix/lib/cmake/libssh/libssh-config-version.cmake
version() { sed -n 's/^set(PACKAGE_VERSION "\([0-9.]*\)")$/\1/p' "$ver_file" 2>/dev/null; }
if [[ $(version) == 0.1[1-9].* ]]; then
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt downloads as _apt when run as root
chmod 755 "$work"
if [[ $(id -u) -eq 0 ]]; then chown _apt "$work" 2>/dev/null || true; fi
cd "$work"
apt-get source --download-only libssh/trixie >apt-source.log 2>&1 || {
  cat apt-source.log >&2
  echo "build-libssh: no deb-src entry for trixie (scripts/setup.sh adds it)" >&2
  exit 1
}
dsc=$(ls libssh_*.dsc)
dpkg-source --no-check -x "$dsc" src >/dev/null
cmake -S src -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DWITH_GSSAPI=OFF -DWITH_EXAMPLES=OFF -DWITH_PCAP=OFF -DWITH_SYMBOL_VERSIONING=OFF \
  -DUNIT_TESTING=OFF -DCLIENT_TESTING=OFF -DSERVER_TESTING=OFF -DWITH_BENCHMARKS=OFF \
  >cmake.log 2>&1 || {
  cat cmake.log >&2
  exit 1
}
ninja -C build install >ninja.log 2>&1 || {
  tail -50 ninja.log >&2
  exit 1
}
echo "libssh $(version) built into $prefix (from $dsc)"
