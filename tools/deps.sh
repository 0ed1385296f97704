#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need.
# Idempotent: apt-get update and install run only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libssl-dev openssl
  libsqlite3-dev sqlite3
  postgresql libpq-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  rapidjson-dev libsimdjson-dev
  qt6-base-dev libgl-dev
  fonts-liberation
  xvfb xdotool x11-utils openbox
  at-spi2-core dbus-daemon python3-pyatspi
  clang libclang-rt-14-dev
  valgrind python3
  dpkg-dev file adduser systemd groff-base
  libsystemd-dev libmicrohttpd-dev strace lintian curl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
