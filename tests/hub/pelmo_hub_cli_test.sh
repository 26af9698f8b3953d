#!/bin/sh
# pelmo_hub from the outside: bad options, serving, a second hub on the same path, SIGTERM.
set -u
hub="$1"
dir=$(mktemp -d /tmp/pelmo-cli-XXXXXX)
bus="$dir/bus"
hub_pid=""
cleanup() {
  [ -n "$hub_pid" ] && kill "$hub_pid" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$hub" --frobnicate >/dev/null 2>"$dir/err"; status=$?
[ "$status" -eq 2 ] || fail "unknown option exit $status"
grep -q -- "--frobnicate" "$dir/err" || fail "unknown option not named"
"$hub" --bus >/dev/null 2>"$dir/err"; status=$?
[ "$status" -eq 2 ] || fail "missing path exit $status"
grep -q -- "--bus" "$dir/err" || fail "missing path not named"

"$hub" --bus "$bus" >"$dir/first" 2>&1 &
hub_pid=$!
i=0
until [ -S "$bus" ]; do
  i=$((i + 1))
  [ "$i" -gt 1000 ] && fail "hub never created $bus"
  sleep 0.01
done

"$hub" --bus "$bus" >"$dir/second" 2>&1; status=$?
[ "$status" -eq 0 ] || fail "second hub exit $status"
grep -q "already serves" "$dir/second" || fail "second hub said: $(cat "$dir/second")"
[ -S "$bus" ] || fail "second hub removed the live socket"

kill -TERM "$hub_pid"
wait "$hub_pid"; status=$?
hub_pid=""
[ "$status" -eq 0 ] || fail "SIGTERM exit $status"
[ -e "$bus" ] && fail "socket left behind after a clean stop"
echo "pelmo_hub command line: ok"
