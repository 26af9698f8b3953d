#!/usr/bin/env bash
# tran_socketcan_bench: cangen on vcan0 received at once by candump and by the companion
# (counted through zelk_dump), in a real kernel. A flood (cangen -g 0) and a fixed-rate run;
# for each, every receiver's count of N and the drops reported: candump's (its -d counter),
# the companion's kernel receive-queue drops (SO_RXQ_OVFL), the hub's for a slow zelk_dump.
# The ratio is the companion's count over candump's. Figures only; nothing is asserted.
#
#   scripts/uml_run.sh --timeout 600 bench/tran_socketcan_bench.sh build/release/bin [N] [GAP_MS]
#
# N frames per run (default 100000); GAP_MS is the fixed-rate run's gap (default 1).
set -euo pipefail
bin=$1
count=${2:-100000}
gap=${3:-1}
if [ "${ZELK_IN_UML:-}" != 1 ]; then
  echo "run through scripts/uml_run.sh: this benchmark needs the kernel harness's vcan0" >&2
  exit 2
fi
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT

"$bin/zelk_tran" --foreground --idle-exit 0 --source socketcan:vcan0 2>"$work/tran.err" &
pids+=($!)
until grep -q "^zelk_tran: serving " "$work/tran.err"; do sleep 0.05; done

# Lines of FILE matching PATTERN, excluding the 000# warm-up frames.
count_lines() { grep -E "$2" "$1" | grep -c -v -E "$3" || true; }
# The companion's reports of WHAT since line FROM of its stderr, added up.
reported() { tail -n +"$2" "$work/tran.err" | awk -F': ' -v what="$1" '$2 == what { n += $3 } END { print n + 0 }'; }
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
  until [ -s "$dir/dump" ] && grep -q "^(" "$dir/candump"; do
    cansend vcan0 000#
    sleep 0.1
  done
  local from=$(($(wc -l <"$work/tran.err") + 1))
  local start=$(date +%s.%N)
  cangen vcan0 -n "$count" -I 123 -L 8 -D i "$@"
  local end=$(date +%s.%N)
  settle "$dir/dump"
  settle "$dir/candump"
  sleep 1.5 # one more housekeeping report of the companion
  kill -INT "$candump_pid" "$dump_pid"
  wait "$candump_pid" "$dump_pid" 2>/dev/null || true
  local by_candump by_companion candump_drops
  by_candump=$(count_lines "$dir/candump" '^\(' ' 000#$')
  by_companion=$(count_lines "$dir/dump" 'ms ' 'ms +000 -$')
  candump_drops=$(sed -n -E 's/.*\(total drops ([0-9]+)\)$/\1/p' "$dir/candump" | tail -n 1)
  printf '%-10s N=%d (cangen %s, %.0f frames/s sent)\n' "$name" "$count" "$*" \
    "$(awk -v n="$count" -v a="$start" -v b="$end" 'BEGIN { print n / (b - a) }')"
  printf '  candump:            %d of %d, drops reported %d\n' "$by_candump" "$count" \
    "${candump_drops:-0}"
  printf '  companion/zelk_dump: %d of %d, kernel drops reported %d, hub blocks dropped %d\n' \
    "$by_companion" "$count" "$(reported "frames lost in the CAN receive queue" "$from")" \
    "$(reported "blocks dropped for slow bus clients" "$from")"
  [ -s "$dir/dump.err" ] && sed 's/^/  zelk_dump: /' "$dir/dump.err"
  printf '  ratio companion/candump: %.2f\n' "$(awk -v a="$by_companion" -v b="$by_candump" 'BEGIN { print b ? a / b : 0 }')"
}

run flood -g 0
run fixed-rate -g "$gap"
grep -v -E "^zelk_tran: (serving |frames lost in the CAN receive queue|blocks dropped)" \
  "$work/tran.err" | sed 's/^/other report: /' || true
