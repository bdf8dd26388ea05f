#!/usr/bin/env bash
# Configures and builds into build/ (or $KEL_BUILD_DIR) below the repository.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KEL_BUILD_DIR:-$ROOT/build}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
