#!/usr/bin/env bash
# Sets up and builds Midwire, then starts the desktop program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting Midwire under a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a ./build/src/midwire "$@"
fi
exec ./build/src/midwire "$@"
