#!/usr/bin/env bash
# Installs every Debian package vqflow needs to build, test and benchmark.
# Idempotent: packages already present are left alone.
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build ccache pkg-config git
  libboost-dev libboost-filesystem-dev nlohmann-json3-dev libspdlog-dev libfmt-dev
  libpcre2-dev libhiredis-dev libpq-dev libsqlite3-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libhowardhinnant-date-dev libgoogle-perftools-dev
  redis-server redis-tools postgresql postgresql-client tzdata python3 curl
  chromium chromium-driver python3-selenium
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
