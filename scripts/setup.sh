#!/usr/bin/env bash
# Installs what the build, the service and the tests need on Debian 12 (run as root).
# Idempotent: asks apt only when a package is missing.
# libssh 0.11 is built into $PELLI_BUILD_ROOT/_deps/libssh (default build/_deps/libssh), where
# CMake finds it; Debian 12's own libssh lacks the calls the SFTP transfers use.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  # build
  build-essential cmake ninja-build pkgconf git libssl-dev libboost-dev zlib1g-dev
  libcurl4-openssl-dev gettext locales libgtest-dev libgmock-dev clang-format dpkg-dev
  # tests: real peers and system tools
  openssl ca-certificates python3 python3-aiosmtpd age util-linux e2fsprogs coreutils procps
  openssh-server openssh-client
  apache2
  dosfstools fusefat
  # benchmarks: peer tools
  rsync unison curl
)

as_root() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: $1; run this script as root" >&2
    exit 1
  fi
}

# libssh 0.11 comes from the next Debian release's source package; the pin keeps every binary of
# that release out, whatever other entries exist.
apt_dir=$root/scripts/apt
need_update=0
for f in preferences.d/99-no-trixie-binaries:99-no-trixie-binaries.pref \
  sources.list.d/trixie-src.sources:trixie-src.sources; do
  dest=/etc/apt/${f%%:*}
  if ! cmp -s "$apt_dir/${f#*:}" "$dest"; then
    as_root "$dest is missing"
    install -m 644 "$apt_dir/${f#*:}" "$dest"
    need_update=1
  fi
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  need_update=1
fi
export DEBIAN_FRONTEND=noninteractive
if ((need_update)); then
  apt-get -o DPkg::Lock::Timeout=300 update -qq
fi
if ((${#missing[@]})); then
  apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The translation tests switch between German and English catalogues.
if [[ $(id -u) -eq 0 ]] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

"$root/scripts/build-libssh.sh" "${PELLI_BUILD_ROOT:-$root/build}/_deps/libssh"
