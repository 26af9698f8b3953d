#!/usr/bin/env bash
# Runs the monitor in a virtual X server, types a line into the send box, presses Send and
# saves a picture of the window (default doc/screenshot.png).
#   scripts/screenshot.sh [BUILD_BIN_DIR] [OUTPUT_PNG]
# Needs Xvfb, xdotool and ImageMagick's import. With zelk_tran built, a generator adds some
# traffic so that the log has lines of both identifier kinds.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release/bin}
out=${2:-doc/screenshot.png}
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -x "$bin/zelk_test" ] || { echo "screenshot.sh: $bin/zelk_test is not built" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 100); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

# A private bus, so that nothing else on this machine shows up in the picture.
export PELMO_BUS="$work/bus"
unset QT_QPA_PLATFORM
if [ -x "$bin/zelk_tran" ]; then
  "$bin/zelk_tran" --foreground --bus "$PELMO_BUS" --generate 4 >"$work/tran.log" 2>&1 &
  pids+=($!)
fi
"$bin/zelk_test" >"$work/monitor.log" 2>&1 &
pids+=($!)

window=$(xdotool search --sync --limit 1 --name '^zelk_test$' | head -n1)
xdotool windowmove "$window" 20 20
sleep 1
read -r width height < <(xdotool getwindowgeometry --shell "$window" | awk -F= '/WIDTH/{w=$2} /HEIGHT/{h=$2} END{print w, h}')

# Clicks at a point given in the dialog's units (235 x 507 for the whole client area).
click_du() {
  xdotool mousemove --window "$window" $(($1 * width / 235)) $(($2 * height / 507)) click 1
}

send_line() {
  click_du 70 493          # the send box
  xdotool key --window "$window" ctrl+a BackSpace
  xdotool type --window "$window" --delay 20 "$1"
  click_du 158 493         # Send
  sleep 0.6                # the next flush tick writes the echoed line
}
sleep 2
send_line "123 01 A0"
send_line "1FFFFFFF 11 22 33 44 55 66 77 88"
sleep 1.5
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "wrote $out (${width}x${height})"
