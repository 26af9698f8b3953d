#!/usr/bin/env bash
# The Debian package, built by CPack from this build tree: lintian finds no error in it, it
# unpacks into a scratch root (dpkg -x) and runs from there (zelk_tran --version, a replay
# into zelk_dump, with no LD_LIBRARY_PATH: the RUNPATH finds libpelmo), and its files go
# again without leaving anything behind.
# With ZELK_PACKAGE_TEST_SYSTEM=1, as root (CI), it is also installed into the real system
# with dpkg -i and purged with dpkg -P afterwards; a marker file records the install, so a
# run killed midway is purged by the next run or by the cleanup test (--cleanup).
#   package_test.sh BUILD_DIR [CPACK]  the test
#   package_test.sh --cleanup          purge an install a killed run left behind
set -euo pipefail

marker=/var/tmp/zelk-test-package-test.installed
lock=/var/tmp/zelk-test-package-test.lock

purge_left_over() {
  [ -e "$marker" ] || return 0
  echo "package_test: purging the zelk-test install a killed run left behind"
  dpkg -P zelk-test >/dev/null
  rm -f "$marker"
}

if [ "${1:-}" = "--cleanup" ]; then
  [ "$(id -u)" -eq 0 ] || exit 0
  exec 9>"$lock"
  flock 9
  purge_left_over
  exit 0
fi

build=$(cd "$1" && pwd)
cpack=${2:-cpack}
work="$build/package_test"
installed_here=0
cleanup() {
  if [ "$installed_here" = 1 ]; then
    dpkg -P zelk-test >/dev/null || true
    rm -f "$marker"
  fi
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work/out"

fail() {
  echo "package_test: $*" >&2
  exit 1
}

# The package, into a directory of this test's own.
"$cpack" -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(echo "$work"/out/zelk-test_*.deb)
[ -f "$deb" ] || fail "no package in $work/out"
dpkg-deb -f "$deb" Depends

if command -v lintian >/dev/null; then
  lintian --no-tag-display-limit "$deb" >"$work/lintian.txt" 2>&1 || true
  cat "$work/lintian.txt"
  ! grep -q '^E: ' "$work/lintian.txt" || fail "lintian reports errors"
else
  echo "package_test: lintian is not installed; its check is skipped"
fi

# A replay with a line the replay skips; zelk_dump shows the three frames.
printf '%s\n' '(1700000000.000000) can0 123#1122' '(1700000000.001000) can0 123##1AA' \
  '(1700000000.002000) can0 12345678#' '(1700000000.003000) can0 7FF#0102030405060708' \
  >"$work/replay.log"
expected=$'0 123 - 11 22\n1 12345678 -\n2 7FF - 01 02 03 04 05 06 07 08'

# Runs the installed programs under $1 (a root directory) against a private bus.
run_installed() {
  local bin="$1/usr/bin" bus="$work/bus-$2"
  env -u LD_LIBRARY_PATH "$bin/zelk_tran" --version | grep -qx 'zelk_tran 1.0.0.1' ||
    fail "zelk_tran --version from $bin"
  env -u LD_LIBRARY_PATH "$bin/zelk_tran" --foreground --bus "$bus" --replay "$work/replay.log" \
    --speed 0 --idle-exit 20 2>"$work/tran-$2.err" &
  local tran=$!
  for _ in $(seq 200); do [ -S "$bus" ] && break; sleep 0.05; done
  local status=0
  PELMO_BUS="$bus" timeout 20 env -u LD_LIBRARY_PATH "$bin/zelk_dump" -n 3 >"$work/dump-$2.out" \
    2>"$work/dump-$2.err" || status=$?
  kill "$tran"
  wait "$tran" || true
  [ "$status" = 0 ] || { cat "$work/dump-$2.err" "$work/tran-$2.err"; fail "zelk_dump from $bin: $status"; }
  local got
  got=$(sed -E 's/^([0-9]+) +[0-9]+ms +/\1 /' "$work/dump-$2.out")
  [ "$got" = "$expected" ] || fail "zelk_dump from $bin printed:"$'\n'"$(cat "$work/dump-$2.out")"
  grep -q '3 frames played, 1 lines skipped (first: line 2, CAN FD frame)' "$work/tran-$2.err" ||
    fail "the replay's report is missing: $(cat "$work/tran-$2.err")"
}

# Every file of the package, as paths under a root.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' >"$work/files.txt"
[ -s "$work/files.txt" ] || fail "the package lists no files"

# The scratch root.
root="$work/root"
dpkg -x "$deb" "$root"
while read -r f; do [ -e "$root/$f" ] || [ -L "$root/$f" ] || fail "$f not unpacked"; done <"$work/files.txt"
run_installed "$root" scratch
while read -r f; do rm -f "$root/$f"; done <"$work/files.txt"
find "$root" -depth -type d -empty -delete
[ ! -e "$root" ] || fail "left in the scratch root: $(find "$root" | head)"

# The real system, on CI only.
if [ "${ZELK_PACKAGE_TEST_SYSTEM:-0}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  exec 9>"$lock"
  flock 9
  purge_left_over
  if dpkg-query -W -f='${Status}' zelk-test 2>/dev/null | grep -q 'installed'; then
    echo "package_test: zelk-test is installed already; the system install is skipped"
    exit 0
  fi
  echo "$deb" >"$marker"
  installed_here=1
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
  run_installed / system
  dpkg -P zelk-test >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -P failed"; }
  installed_here=0
  rm -f "$marker"
  while read -r f; do
    [ ! -e "/$f" ] && [ ! -L "/$f" ] || fail "/$f is left after dpkg -P"
  done <"$work/files.txt"
fi
echo "package_test: ok"
