#!/usr/bin/env bash
# Installs what is missing (Debian 12), then builds and runs every test twice:
# the dev preset (AddressSanitizer + UndefinedBehaviorSanitizer, warnings as
# errors) catches memory faults, the release preset (optimised) catches waits
# that only hold at debug speed. MVN_TEST_PRESETS=dev (or release) runs one.
# Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
for preset in ${MVN_TEST_PRESETS:-dev release}; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset tests"
  ctest --preset "$preset" "$@"
done
