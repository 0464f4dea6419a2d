#!/usr/bin/env bash
# Configures and builds one tree.
#   scripts/build.sh [build-dir] [extra cmake args...]
#   scripts/build.sh --main [target...]   build/ with the options below; only
#                                         the named targets when there are any
# build/ is configured by scripts/run.sh and scripts/test.sh, and either may
# start while the other runs. Both configure it here, stating every option that
# changes what is built, with the same values, so that neither rebuilds or
# regenerates the other's tree: an option one left out would keep whatever the
# other had cached. The benchmarks need the test support, so both are on.
set -euo pipefail
cd "$(dirname "$0")/.."
main_options=(
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
  -DBUILD_TESTING=ON
  -DNUVEX_BUILD_BENCH=ON
  -DNUVEX_BUILD_QT=ON
  -DNUVEX_SANITIZE=OFF
  -DNUVEX_FUZZ=OFF
  -DNUVEX_UNITY=OFF
  -DNUVEX_WERROR="${NUVEX_WERROR:-OFF}"
)
targets=()
if [ "${1:-}" = --main ]; then
  shift
  for t in "$@"; do targets+=(--target "$t"); done
  set -- build "${main_options[@]}"
fi
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "${NUVEX_JOBS:-$(nproc)}" "${targets[@]}"
