#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite: in the dev build, the engine
# and download tests under ThreadSanitizer, and the whole suite again under Address- and
# UndefinedBehaviorSanitizer. Ends with CTest's summary of that last run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build test

run_preset() {
  local preset=$1
  echo "=== $preset ==="
  cmake --preset "$preset" -DTOLVANE_WERROR=ON >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j 2
}

run_preset dev
run_preset tsan
run_preset asan
