#!/usr/bin/env bash
# Soak run of a real linvaro under steady load on a private session bus:
#   scripts/soak.sh [seconds=60]
# Builds linvaro and the soak client in build/ (or $LINVARO_BUILD) when they
# are missing or stale; see scripts/soak.py for what is checked.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${LINVARO_BUILD:-build}
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build "$build" -j2 --target linvaro soak_client qbDataAccess qbGeneral qbSecurity >/dev/null
exec dbus-run-session -- /usr/bin/python3 scripts/soak.py "$seconds" "$build/bin"
