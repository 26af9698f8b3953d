#!/usr/bin/env bash
# Runs one command inside a real Linux kernel (User-Mode Linux, Debian's user-mode-linux) with
# SocketCAN loaded, an interface vcan0 and the loopback up, and returns the command's stdout, stderr and
# exit status. One boot per call. The serial line CAN driver (slcan) is loaded too and the guest
# has its own pseudo-terminals (devpts on /dev/pts), so a test can attach an emulated serial
# adapter (tests/tran/kernel/slcan_adapter.py) and get a CAN interface with a real driver.
#
#   scripts/uml_run.sh [--timeout SECONDS] COMMAND [ARG...]
#   scripts/uml_run.sh --check          only check that UML can be used here
#
# The guest's root is the host's file system (hostfs), so the command sees this tree, the
# build and can-utils at their usual paths, and runs in the current directory with this
# environment, except: TMPDIR and XDG_RUNTIME_DIR point into a 0700 tmpfs of the guest (so
# the default pelmo bus lives there), PELMO_BUS is unset, and ZELK_IN_UML=1 tells tests that
# vcan0 is there (a test that would skip without SocketCAN fails instead). Its output reaches the host once
# the guest has powered off. Kernel messages go to a console file, shown when the run fails.
#
# The kernel is linux.uml from PATH, or $ZELK_UML. It runs with uml_fpu_shim.c preloaded (built
# here with cc), which lets it boot on hosts with AVX-512 or AMX; the guest's glibc is kept off
# the AVX registers to match (see below).
#
# Exit status: the command's; 1 when the guest did not report one (timeout, crash); 77 when
# UML cannot start here (the reason on stderr) — unless ZELK_REQUIRE_KERNEL=1, as on CI, which
# makes that a failure (1) too.
set -euo pipefail

timeout_s=120
check_only=0
while (($#)); do
  case "$1" in
    --timeout) timeout_s="$2"; shift 2 ;;
    --check) check_only=1; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
if ((!check_only && $# == 0)); then
  echo "usage: $0 [--timeout SECONDS] COMMAND [ARG...] | --check" >&2
  exit 2
fi

# Where UML cannot start: say why, and skip (or fail where the kernel is required).
cannot_start() {
  echo "uml_run: UML cannot start here: $*" >&2
  if [ "${ZELK_REQUIRE_KERNEL:-0}" = 1 ]; then
    echo "uml_run: ZELK_REQUIRE_KERNEL=1, so this is a failure" >&2
    exit 1
  fi
  exit 77
}

kernel=$(command -v "${ZELK_UML:-linux.uml}" || true)
[ -n "$kernel" ] || cannot_start "no ${ZELK_UML:-linux.uml} (install user-mode-linux)"
version=$("$kernel" --version 2>/dev/null | head -n 1 || true)
modules=/usr/lib/uml/modules/$version
[ -n "$version" ] && [ -d "$modules" ] || cannot_start "no modules for kernel '$version' in /usr/lib/uml/modules"
# Load order: the CAN core, raw sockets, the device helpers vcan and slcan need, vcan, and the
# serial line CAN driver (line discipline 17).
module_files=()
for name in can can-raw can-dev vcan slcan; do
  file=$(find "$modules" -name "$name.ko" -print -quit 2>/dev/null || true)
  [ -n "$file" ] || cannot_start "no $name module under $modules"
  module_files+=("$file")
done
for tool in ip insmod cansend candump cangen canplayer timeout cc; do
  command -v "$tool" >/dev/null || cannot_start "no $tool (install iproute2, kmod, can-utils, gcc)"
done
((check_only)) && exit 0

work=$(mktemp -d "${TMPDIR:-/tmp}/uml_run.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/scratch"
# The environment, minus what belongs to this shell or to the guest.
export -p | grep -v -E '^declare -x (PWD|OLDPWD|SHLVL|_|TMPDIR|XDG_RUNTIME_DIR|PELMO_BUS)(=|$)' \
  >"$work/env.sh"
printf '%q ' "$@" >"$work/command"
cc -shared -fPIC -O2 -o "$work/fpu_shim.so" "$(dirname "$0")/uml_fpu_shim.c" -ldl ||
  cannot_start "the FPU shim for linux.uml did not build"

# With the shim only the FXSAVE registers (x87, SSE) of guest processes are kept (see
# uml_fpu_shim.c), and glibc's AVX string functions go wrong in the guest (insmod fails with
# "Invalid parameters"): keep glibc on SSE for every guest process, init included. UML hands
# unknown KEY=VALUE arguments of its command line to init as its environment.
glibc_tunables=glibc.cpu.hwcaps=-AVX,-AVX2,-FMA,-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ,-AVX512CD,-AVX_Fast_Unaligned_Load

cat >"$work/init.sh" <<EOF
#!/bin/bash
# PID 1 of the guest: set up SocketCAN, run the command, power off.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
echo booted >$work/booted
setup() {
  mount -t tmpfs -o mode=0700 scratch $work/scratch &&
    mkdir -m 0700 $work/scratch/tmp $work/scratch/run &&
    mkdir -p /dev/pts && mount -t devpts -o ptmxmode=0666,mode=0620 devpts /dev/pts &&
    for m in ${module_files[*]}; do insmod "\$m" || return 1; done &&
    ip link set up lo && ip link add dev vcan0 type vcan && ip link set up vcan0
}
if setup >$work/setup.log 2>&1; then
  source $work/env.sh
  export TMPDIR=$work/scratch/tmp XDG_RUNTIME_DIR=$work/scratch/run ZELK_IN_UML=1
  export GLIBC_TUNABLES=$glibc_tunables
  cd $(printf '%q' "$PWD") && eval "\$(cat $work/command)" >$work/stdout 2>$work/stderr </dev/null
  echo \$? >$work/status
fi
sync
poweroff -f
EOF
chmod +x "$work/init.sh"

# The guest's memory is a file in TMPDIR or /dev/shm; its processes are host processes
# under the kernel's control and end with it.
# The kernel now and then aborts while powering off, after the guest has reported: the shell's
# note of that ("Aborted") goes to the console file with the rest, not into the command's stderr.
uml_status=0
(LD_PRELOAD="$work/fpu_shim.so" timeout --kill-after=10 "$timeout_s" "$kernel" mem=512M rootfstype=hostfs rootflags=/ rw \
  init="$work/init.sh" con0=fd:0,fd:1 con=null uml_dir="$work" GLIBC_TUNABLES="$glibc_tunables" </dev/null) >"$work/console" 2>&1 || uml_status=$?

if [ ! -e "$work/booted" ]; then
  tail -n 20 "$work/console" >&2
  cannot_start "the kernel did not boot (status $uml_status)"
fi
if [ ! -e "$work/status" ]; then
  reason="kernel status $uml_status"
  ((uml_status == 124)) && reason="timed out after $timeout_s s"
  echo "uml_run: the guest reported no exit status ($reason)" >&2
  cat "$work/setup.log" >&2 || true
  cat "$work/stdout" 2>/dev/null || true
  cat "$work/stderr" >&2 2>/dev/null || true
  tail -n 40 "$work/console" >&2
  exit 1
fi
cat "$work/stdout"
cat "$work/stderr" >&2
exit "$(cat "$work/status")"
