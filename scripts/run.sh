#!/usr/bin/env bash
# Installs what is missing, builds, and starts the application with the
# caller's current directory as its data directory.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ROOT/scripts/deps.sh"
bash "$ROOT/scripts/build.sh"
exec "${KEL_BUILD_DIR:-$ROOT/build}/app/kelvaro" "$@"
