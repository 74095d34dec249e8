#!/usr/bin/env bash
# Installs what is missing, builds the optimised program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build run
cmake --preset release >/dev/null
cmake --build --preset release
program=build/release/tolvane
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting the program under a virtual X server (xvfb-run)."
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$program"
fi
exec "$program"
