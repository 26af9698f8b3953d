#!/usr/bin/env bash
# Sets everything up and runs the whole test suite (release build), ending with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
ctest --preset release -j2
