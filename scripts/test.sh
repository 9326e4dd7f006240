#!/usr/bin/env bash
# Fresh machine to green tests: packages, build, then the whole CTest suite
# on a private D-Bus session with Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The interoperability tests' clients, exactly as the committed lock says.
npm ci --prefix tests/interop --no-audit --no-fund
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
export QT_QPA_PLATFORM=offscreen
dbus-run-session -- ctest --test-dir build --output-on-failure -j2 --timeout 300
