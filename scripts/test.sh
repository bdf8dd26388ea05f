#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KEL_BUILD_DIR:-$ROOT/build}"
bash "$ROOT/scripts/deps.sh"
bash "$ROOT/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
cd "$BUILD" && ctest --output-on-failure -j"$(nproc)" --timeout 600
