#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need; skips what is present.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang pkg-config
  libclang-rt-14-dev  # clang's sanitizer and libFuzzer runtimes, for the fuzz preset
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl-dev
  python3-can xvfb xauth x11-apps xdotool imagemagick fonts-dejavu-core
  # the kernel tests: a Linux kernel with SocketCAN as a process (scripts/uml_run.sh)
  user-mode-linux kmod iproute2 can-utils python3
  dpkg-dev lintian file qt6-qpa-plugins  # the Debian package: its build, checks, a dependency
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
