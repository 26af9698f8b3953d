#!/usr/bin/env bash
# Builds the Debian package from the release build and checks it with lintian:
# build/release/zelk-test_VERSION_ARCH.deb. Install it with `sudo apt install ./FILE.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
(cd build/release && cpack -G DEB)
deb=$(echo build/release/zelk-test_*.deb)
dpkg-deb -f "$deb" Package Version Depends
# lintian's findings are shown; an error fails the script.
report=$(lintian "$deb" 2>/dev/null || true)
[ -z "$report" ] || echo "$report"
if grep -q '^E: ' <<<"$report"; then
  echo "package.sh: lintian reports errors in $deb" >&2
  exit 1
fi
echo "built $deb"
