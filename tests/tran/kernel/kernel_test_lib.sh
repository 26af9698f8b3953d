# Helpers for the tests that run inside the kernel harness (scripts/uml_run.sh), sourced with
# the build's bin directory as $1: the companion on vcan0, zelk_dump and candump as listeners,
# an emulated serial CAN adapter (slcan) with its own interface, waiting with deadlines, and
# exact comparison of log lines.
set -euo pipefail
bin=$1
if [ "${ZELK_IN_UML:-}" != 1 ]; then
  echo "run through scripts/uml_run.sh: this test needs the kernel harness's vcan0" >&2
  exit 2
fi
work=$(mktemp -d)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if ((status != 0)) && [ -s "$work/adapter.log" ]; then
    sed 's/^/  adapter: /' "$work/adapter.log" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish() {
  ((failures == 0)) || exit 1
  echo "$1: ok"
}

# wait_for DESCRIPTION COMMAND...: retries COMMAND every 20 ms for up to 20 s; stops the test
# when it never succeeds.
wait_for() {
  local what=$1 deadline=$((SECONDS + 20))
  shift
  until "$@"; do
    if ((SECONDS > deadline)); then
      echo "FAIL: timed out waiting for $what" >&2
      [ -e "$work/tran.err" ] && sed 's/^/  companion: /' "$work/tran.err" >&2
      exit 1
    fi
    sleep 0.02
  done
}
lines_at_least() { [ -e "$1" ] && (($(wc -l <"$1") >= $2)); }
has_line() { grep -q -x -F -- "$2" "$1" 2>/dev/null; }

# The companion in the foreground on vcan0 with a private bus; its stderr in $work/tran.err.
start_companion() {
  "$bin/zelk_tran" --foreground --idle-exit 0 --source socketcan:vcan0 "$@" 2>"$work/tran.err" &
  tran_pid=$!
  pids+=("$tran_pid")
  wait_for "the companion to serve the bus" grep -q "^zelk_tran: serving " "$work/tran.err"
}
stop_companion() {
  kill -TERM "$tran_pid"
  local status=0
  wait "$tran_pid" || status=$?
  ((status == 0)) || fail "the companion exited with status $status"
}
# status_says LINE: `zelk_tran --status` prints LINE (its snapshot is a quarter second old at
# most: use with wait_for).
status_says() { "$bin/zelk_tran" --status 2>&1 | grep -q -x -F -- "$1"; }
status_matches() { "$bin/zelk_tran" --status 2>&1 | grep -q -E -- "$1"; }
# The companion's reports other than the start-up line.
companion_reports() { grep -v "^zelk_tran: serving " "$work/tran.err" || true; }

# The companion's counter reports ("zelk_tran: WHAT: N", the growth since the last one) added
# up per WHAT, sorted: "WHAT: TOTAL".
report_totals() {
  companion_reports | awk -F': ' 'NF == 3 && $3 ~ /^[0-9]+$/ { sum[$2] += $3 }
    END { for (what in sum) print what ": " sum[what] }' | sort
}
has_total() { report_totals | grep -q -x -F -- "$1"; }

# receivers [INTERFACE [LIST]]: raw CAN sockets on INTERFACE (vcan0) in the kernel's receive
# list LIST: all (the default filter: candump, the companion), inv (inverted filters), err
# (error frames). A listener has bound once the count grows.
receivers() { grep -c "^ *${1:-vcan0} " "/proc/net/can/rcvlist_${2:-all}" || true; }
more_receivers_than() { (($(receivers "${@:2}") > $1)); }
# start_candump FILE [INTERFACE]: candump in log format, listening once this returns; its
# process is $candump_pid.
start_candump() {
  local before interface=${2:-vcan0}
  before=$(receivers "$interface")
  candump -L "$interface" >"$1" &
  candump_pid=$!
  pids+=($!)
  wait_for "candump to listen" more_receivers_than "$before" "$interface"
}
# start_error_candump FILE INTERFACE: candump in log format for error frames only, listening
# once this returns; its process is $candump_pid. Lines like
# "(TIME) can0 20000204#0008000000006000".
start_error_candump() {
  local before
  before=$(receivers "$2" err)
  candump -L "$2,0~0,#FFFFFFFF" >"$1" &
  candump_pid=$!
  pids+=($!)
  wait_for "candump to listen for error frames" more_receivers_than "$before" "$2" err
}
# start_dump FILE: zelk_dump on the companion's bus, receiving once this returns. Frames
# 000# go out until one arrives; the kernel and the bus keep order, so every such line comes
# before the frames the test sends.
start_dump() {
  "$bin/zelk_dump" >"$1" &
  pids+=($!)
  local tries=0
  until lines_at_least "$1" 1; do
    tries=$((tries + 1))
    ((tries < 200)) || { echo "FAIL: zelk_dump received nothing" >&2; exit 1; }
    cansend vcan0 000#
    sleep 0.1
  done
}
# Log lines from zelk_dump as "N|REST": the line number and everything after the delta; the
# delta follows the clock. The 000# lines of start_dump are left out (their numbers stay).
dump_frames() { sed -E -n 's/^([0-9]+) +[0-9]+ms (.*)$/\1|\2/p' "$1" | grep -v -x -E '[0-9]+\|     000 -' || true; }
dump_frames_at_least() { (($(dump_frames "$1" | wc -l) >= $2)); }
dump_sync_count() { grep -c -E '^[0-9]+ +[0-9]+ms +000 -$' "$1" || true; }
# numbered FIRST: prefixes each stdin line with FIRST, FIRST+1, ... as "N|LINE".
numbered() { awk -v n="$1" '{ print n++ "|" $0 }'; }
# candump -L lines without their time stamp ("vcan0 123#01A0"), without 000# frames.
candump_frames() { sed -E 's/^\([0-9.]+\) //' "$1" | grep -v -x 'vcan0 000#' || true; }
candump_frames_at_least() { (($(candump_frames "$1" | wc -l) >= $2)); }

# expect_same WHAT EXPECTED_FILE ACTUAL_FILE: exact, line by line.
expect_same() {
  if ! diff -u "$2" "$3" >"$work/diff"; then
    fail "$1 differ (- expected, + actual):"
    cat "$work/diff" >&2
  fi
}

# The emulated serial CAN adapter (slcan_adapter.py next to this file) on a pseudo-terminal,
# driven by the kernel's slcan driver: a CAN interface with a transmit queue, a controller
# state and bus errors, where vcan0 has none.
#
# start_adapter [BITRATE]: starts it and brings its interface up, after setting BITRATE
# (500000 unless given; "none" sets none, and then the driver sends the adapter no set-up
# commands). Sets adapter_if (the interface, can0 for the first adapter), adapter_record (the
# frames the driver transmitted, in order, one a line in cansend's syntax: 123#01A0,
# 12345678#, 123#R), adapter_log (the driver's set-up commands and the adapter's answers,
# "driver: S6 -> CR", and the commands done), adapter_pid. One adapter per test.
start_adapter() {
  local bitrate=${1:-500000}
  adapter_record=$work/adapter.record
  adapter_log=$work/adapter.log
  local control=$work/adapter.ctl
  : >"$adapter_record"
  : >"$adapter_log"
  mkfifo "$control"
  # Held open read-write by this shell: writing a command never blocks, whatever the adapter does.
  exec {adapter_ctl_fd}<>"$control"
  /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/slcan_adapter.py" --record "$adapter_record" \
    --control "$control" --log "$adapter_log" >"$work/adapter.name" 2>>"$adapter_log" &
  adapter_pid=$!
  pids+=("$adapter_pid")
  wait_for "the adapter's interface" lines_at_least "$work/adapter.name" 1
  adapter_if=$(head -n 1 "$work/adapter.name")
  if [ "$bitrate" != none ]; then
    ip link set "$adapter_if" type can bitrate "$bitrate"
  fi
  ip link set "$adapter_if" up
}
# stop_adapter: ends it; its interface is gone once this returns (the driver lets go of it
# when the adapter's terminal closes).
stop_adapter() {
  kill -TERM "$adapter_pid"
  local status=0
  wait "$adapter_pid" || status=$?
  ((status == 0)) || fail "the adapter exited with status $status"
}
# adapter COMMAND [ARG...]: one command to the adapter, carried out once this returns; a
# command it refuses fails the test. The commands (see slcan_adapter.py): stall, resume,
# rate BITS_PER_S, send FRAME..., state active|warning|passive|busoff [TX RX], error CODES,
# raw TEXT. The log is read with builtins only: a process started costs much in the guest.
adapter_acks=()
read_adapter_acks() {
  local line
  adapter_acks=()
  while IFS= read -r line; do
    if [[ $line == done:* || $line == failed:* ]]; then adapter_acks+=("$line"); fi
  done <"$adapter_log"
}
adapter_acked() { read_adapter_acks; ((${#adapter_acks[@]} > $1)); }
adapter() {
  read_adapter_acks
  local before=${#adapter_acks[@]}
  printf '%s\n' "$*" >&"$adapter_ctl_fd"
  wait_for "the adapter to do '$*'" adapter_acked "$before"
  if [ "${adapter_acks[$before]}" != "done: $*" ]; then
    echo "FAIL: the adapter did not do '$*':" >&2
    sed 's/^/  adapter: /' "$adapter_log" >&2
    exit 1
  fi
}
# The interface's controller state as ip shows it: ERROR-ACTIVE, ERROR-WARNING, ERROR-PASSIVE,
# BUS-OFF, STOPPED.
adapter_state() {
  local details pattern=$'\n +can [^\n]*state ([A-Z-]+) '
  details=$(ip -details link show "$adapter_if")
  if [[ $details =~ $pattern ]]; then echo "${BASH_REMATCH[1]}"; fi
}
# Lines of the record, and waiting for them.
recorded_at_least() { lines_at_least "$adapter_record" "$1"; }
