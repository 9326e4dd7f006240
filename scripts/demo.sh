#!/usr/bin/env bash
# Fresh machine to the demo: a simulated scale on a pseudo-terminal, framed
# by a port link; its tag value is printed as it changes. Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target linvaro-linkdemo
exec build/bin/linvaro-linkdemo "$@"
