#!/usr/bin/env bash
# Installs what is missing (Debian 12), builds with the dev preset
# (AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev "$@"
