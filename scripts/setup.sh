#!/usr/bin/env bash
# Installs what the build, the service and the tests need on Debian 12 (run as root).
# Idempotent: asks apt only when a package is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkgconf git libssl-dev libboost-dev zlib1g-dev
  libcurl4-openssl-dev gettext locales libgtest-dev libgmock-dev clang-format
  # tests: real peers and system tools
  openssl ca-certificates python3 python3-aiosmtpd age util-linux e2fsprogs coreutils procps
  dosfstools fusefat
  # benchmarks: peer tools
  rsync unison
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=300 update -qq
  apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The translation tests switch between German and English catalogues.
if [[ $(id -u) -eq 0 ]] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
