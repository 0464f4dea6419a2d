#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, runs every
# test label, then builds the Qt-free libraries with the address and undefined
# behaviour sanitizers and runs their unit tests again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

scripts/build.sh build -DNUVEX_WERROR=ON
ctest --test-dir build --output-on-failure -j "$jobs" "$@"

scripts/build.sh build-asan -DNUVEX_WERROR=ON -DNUVEX_SANITIZE=ON -DNUVEX_BUILD_QT=OFF -DNUVEX_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -L unit
