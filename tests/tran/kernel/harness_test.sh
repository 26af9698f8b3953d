#!/usr/bin/env bash
# The kernel harness itself, from the host: the command runs in the guest kernel with vcan0,
# in this directory and environment, with a private 0700 tmpfs; its stdout, stderr and exit
# status come back unchanged. Skips (77) where UML cannot start, like every kernel test.
set -uo pipefail
uml_run=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

probe='echo "kernel $(uname -r)"
  echo "probe $ZELK_HARNESS_PROBE in $PWD, ZELK_IN_UML=$ZELK_IN_UML"
  ip -o link show vcan0 | grep -q -E "[<,]UP[,>]" && echo "vcan0 up"
  echo "tmp $(stat -f -c %T "$TMPDIR") $(stat -c %a "$XDG_RUNTIME_DIR")"
  echo "to stderr" >&2
  exit 3'
cd "$work"
status=0
ZELK_HARNESS_PROBE=42 "$uml_run" bash -c "$probe" >"$work/out" 2>"$work/err" || status=$?
if ((status == 77)); then
  cat "$work/err"
  exit 77
fi
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
((status == 3)) || fail "exit status $status, not 3"
printf '%s\n' "kernel $("${ZELK_UML:-linux.uml}" --version)" "probe 42 in $work, ZELK_IN_UML=1" "vcan0 up" \
  "tmp tmpfs 700" >"$work/expected"
diff -u "$work/expected" "$work/out" || fail "stdout differs (- expected, + actual)"
[ "$(cat "$work/err")" = "to stderr" ] || fail "stderr was: $(cat "$work/err")"
((failures == 0)) || exit 1
echo "kernel harness: ok"
