#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests, the demo and the
# package build (dpkg-buildpackage, lintian) need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends \
  cmake ninja-build g++ pkg-config \
  qt6-base-dev libsqlite3-dev sqlite3 libsodium-dev \
  libgtest-dev libgmock-dev libbenchmark-dev dbus python3-dbus python3-gi libglib2.0-bin \
  nodejs \
  libpaho-mqttpp-dev libpaho-mqtt-dev libssl-dev libprotobuf-dev protobuf-compiler \
  mosquitto mosquitto-clients openssl \
  build-essential debhelper lintian systemd
# Debian's nodejs comes without npm; other Node.js packages bring their own.
if ! command -v npm >/dev/null; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends npm
fi
