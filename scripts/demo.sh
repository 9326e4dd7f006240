#!/usr/bin/env bash
# Fresh machine to the whole road: a simulated scale on a pseudo-terminal,
# linvaro serving it as an OPC server on a private session bus and on its
# OPC UA endpoint, the ports browsed over OPC UA once, and the command-line
# OPC client watching the scale's tag change. Ctrl-C ends it all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target linvaro linvaro-opc linvaro-ua linvaro-scale-sim qbDataAccess qbGeneral qbSecurity
exec dbus-run-session -- bash scripts/demo-run.sh "$@"
