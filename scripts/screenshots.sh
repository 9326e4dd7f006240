#!/usr/bin/env bash
# Renders the main window (both pages) and the Port Setting dialog from the
# real program on Qt's offscreen platform into docs/images/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build -j2 --target linvaro-screenshots
mkdir -p docs/images
QT_QPA_PLATFORM=offscreen build/bin/linvaro-screenshots docs/images
