#!/usr/bin/env bash
# tran_socketcan_bench: cangen on vcan0 received at once by candump and by the companion
# (counted through zelk_dump), in a real kernel. A flood (cangen -g 0) and a fixed-rate run;
# for each, every receiver's count of N, the frames candump got that the companion missed,
# and the drops reported: candump's (its -d counter), the companion's kernel receive-queue
# drops (SO_RXQ_OVFL) and the hub's for a slow zelk_dump. The ratio is the companion's count
# over candump's. Figures only; nothing is asserted.
#
#   bench/tran/can/tran_socketcan_bench.sh [BIN_DIR] [N] [GAP_MS]
#
# BIN_DIR defaults to build/release/bin, N (frames per run) to 50000, GAP_MS (the fixed-rate
# run's gap) to 1. Outside the kernel harness the script runs itself through
# scripts/uml_run.sh.
set -euo pipefail
if [ "${ZELK_IN_UML:-}" != 1 ]; then
  exec "$(dirname "$0")/../../../scripts/uml_run.sh" --timeout 1800 "$0" "$@"
fi
bin=${1:-build/release/bin}
count=${2:-50000}
gap=${3:-1}
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT

"$bin/zelk_tran" --foreground --idle-exit 0 --source socketcan:vcan0 2>"$work/tran.err" &
pids+=($!)
until grep -q "^zelk_tran: serving " "$work/tran.err"; do sleep 0.05; done

# The payloads (16 hex digits, one per frame: cangen -D i counts) of the frames in candump's
# and zelk_dump's output, without the 000# warm-up frames, sorted.
candump_payloads() { sed -n -E 's/^\([0-9.]+\) vcan0 123#([0-9A-F]{16})$/\1/p' "$1" | sort; }
dump_payloads() {
  sed -n -E 's/^[0-9]+ +[0-9]+ms +123 - (([0-9A-F]{2} ?){8})$/\1/p' "$1" | tr -d ' ' | sort
}
# The companion's reports of WHAT since line FROM of its stderr, added up.
reported() {
  tail -n +"$2" "$work/tran.err" |
    awk -F': ' -v what="$1" '$2 == what { n += $3 } END { print n + 0 }'
}
# Waits until FILE stops growing for a second.
settle() {
  local size=-1
  while [ "$size" != "$(stat -c %s "$1")" ]; do
    size=$(stat -c %s "$1")
    sleep 1
  done
}

run() {
  local name=$1
  shift
  local dir=$work/$name
  mkdir "$dir"
  candump -L -d vcan0 >"$dir/candump" &
  local candump_pid=$!
  "$bin/zelk_dump" >"$dir/dump" 2>"$dir/dump.err" &
  local dump_pid=$!
  pids+=("$candump_pid" "$dump_pid")
  # Both listen once a warm-up frame reached each.
  until [ -s "$dir/dump" ] && grep -q "^(" "$dir/candump"; do
    cansend vcan0 000#
    sleep 0.1
  done
  local from=$(($(wc -l <"$work/tran.err") + 1))
  local start end
  start=$(date +%s.%N)
  cangen vcan0 -n "$count" -I 123 -L 8 -D i "$@"
  end=$(date +%s.%N)
  settle "$dir/dump"
  settle "$dir/candump"
  # The kernel's drop counter comes with the next frame read: one more warm-up frame brings
  # the run's last drops to the companion.
  cansend vcan0 000#
  sleep 1.5 # one more housekeeping report of the companion
  kill -INT "$candump_pid" "$dump_pid"
  wait "$candump_pid" "$dump_pid" 2>/dev/null || true
  candump_payloads "$dir/candump" >"$dir/by_candump"
  dump_payloads "$dir/dump" >"$dir/by_companion"
  local by_candump by_companion missed candump_drops kernel_drops
  by_candump=$(wc -l <"$dir/by_candump")
  by_companion=$(wc -l <"$dir/by_companion")
  missed=$(comm -23 "$dir/by_candump" "$dir/by_companion" | wc -l)
  candump_drops=$(sed -n -E 's/.*\(total drops ([0-9]+)\)$/\1/p' "$dir/candump" | tail -n 1)
  kernel_drops=$(reported "frames lost in the CAN receive queue" "$from")
  printf '%-10s N=%d (cangen %s, %.0f frames/s sent)\n' "$name" "$count" "$*" \
    "$(awk -v n="$count" -v a="$start" -v b="$end" 'BEGIN { print n / (b - a) }')"
  printf '  candump:             %d of %d, drops reported %d\n' "$by_candump" "$count" \
    "${candump_drops:-0}"
  printf '  companion/zelk_dump: %d of %d, kernel drops reported %d (received + reported = %d),' \
    "$by_companion" "$count" "$kernel_drops" $((by_companion + kernel_drops))
  printf ' hub blocks dropped %d\n' "$(reported "blocks dropped for slow bus clients" "$from")"
  [ -s "$dir/dump.err" ] && sed 's/^/  zelk_dump: /' "$dir/dump.err"
  printf '  frames candump got that the companion missed: %d\n' "$missed"
  printf '  ratio companion/candump: %.2f\n' \
    "$(awk -v a="$by_companion" -v b="$by_candump" 'BEGIN { print b ? a / b : 0 }')"
}

run flood -g 0
run fixed-rate -g "$gap"
grep -v -E "^zelk_tran: (serving |frames lost in the CAN receive queue|blocks dropped)" \
  "$work/tran.err" | sed 's/^/other report: /' || true
