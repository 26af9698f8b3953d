# Helpers for the tests that run inside the kernel harness (scripts/uml_run.sh), sourced with
# the build's bin directory as $1: the companion on vcan0, zelk_dump and candump as listeners,
# waiting with deadlines, and exact comparison of log lines.
set -euo pipefail
bin=$1
if [ "${ZELK_IN_UML:-}" != 1 ]; then
  echo "run through scripts/uml_run.sh: this test needs the kernel harness's vcan0" >&2
  exit 2
fi
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
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
# The companion's reports other than the start-up line.
companion_reports() { grep -v "^zelk_tran: serving " "$work/tran.err" || true; }

# The companion's counter reports ("zelk_tran: WHAT: N", the growth since the last one) added
# up per WHAT, sorted: "WHAT: TOTAL".
report_totals() {
  companion_reports | awk -F': ' 'NF == 3 && $3 ~ /^[0-9]+$/ { sum[$2] += $3 }
    END { for (what in sum) print what ": " sum[what] }' | sort
}
has_total() { report_totals | grep -q -x -F -- "$1"; }

# Raw CAN sockets with the default filter on vcan0 (candump, the companion): a listener has
# bound once the count grows.
receivers() { grep -c '^ *vcan0 ' /proc/net/can/rcvlist_all || true; }
more_receivers_than() { (($(receivers) > $1)); }
# start_candump FILE: candump in log format, listening once this returns.
start_candump() {
  local before
  before=$(receivers)
  candump -L vcan0 >"$1" &
  pids+=($!)
  wait_for "candump to listen" more_receivers_than "$before"
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
