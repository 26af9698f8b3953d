#!/usr/bin/env bash
# Sets everything up (packages, configure, build) and opens the monitor. The monitor starts its
# companion zelk_tran, which serves the bus on the built-in virtual CAN bus unless configured.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
bin=build/release/bin
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<MSG
zelk_test needs a display, and this session has none (DISPLAY and WAYLAND_DISPLAY are unset).
Run it headless in one of these ways:
  xvfb-run -a $bin/zelk_test                      # a virtual X server
  QT_QPA_PLATFORM=vnc:port=5900 $bin/zelk_test    # then connect a VNC viewer to port 5900
  QT_QPA_PLATFORM=offscreen $bin/zelk_test        # no picture at all
or watch the bus without a window: $bin/zelk_dump
MSG
  exit 1
fi
exec "$bin/zelk_test"
