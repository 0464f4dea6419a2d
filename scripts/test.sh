#!/usr/bin/env bash
# Installs what is missing, builds, and runs every check, one stage after another:
#   deps      the missing Debian packages of the run and test sets
#   build     build/ with every target
#   test      every test label; afterwards nothing may have appeared in the home
#             folders the tests were started with
#   package   build/ installed into a staging folder and made into a .deb, with
#             desktop-file-validate, appstreamcli, lintian and the file list
#   format    clang-format --dry-run over the tree's C++ files, and no circle
#             in the include graph (scripts/include_graph.py)
#   tidy      clang-tidy over the program's sources, using build/compile_commands.json
#   sanitize  build-asan/ with AddressSanitizer and UBSan, Qt parts included, and
#             every label again, slow tests excepted
#   fuzz      build-fuzz/ with clang's libFuzzer and its slow-labelled runs
#
#   scripts/test.sh [stage ...]   only the named stages, in the order above
#
# Every stage runs even when an earlier one failed; the summary names each stage
# with its result (ok, skipped, FAILED) and wall time; the exit status is 1 when
# any failed.
# NUVEX_TEST_TIME_SCALE (default 3) stretches the tests' time budgets.
# NUVEX_WERROR=ON makes compiler warnings errors (.ci/run sets it; a newer
# compiler's new warning should not fail a user's run). NUVEX_JOBS sets the
# parallelism (default: the number of processors). NUVEX_CTEST_ARGS adds ctest
# arguments to the test stage, e.g. NUVEX_CTEST_ARGS="-L unit" scripts/test.sh test.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
werror=${NUVEX_WERROR:-OFF}
jobs=${NUVEX_JOBS:-$(nproc)}
export QT_QPA_PLATFORM=offscreen
# The tests run side by side, with builds and the sanitizer tree beside them:
# every time budget of a test stretches by this factor (tests/support/time_scale.h).
export NUVEX_TEST_TIME_SCALE=${NUVEX_TEST_TIME_SCALE:-3}

all_stages=(deps build test package format tidy sanitize fuzz)
selected=("$@")
if [ ${#selected[@]} -eq 0 ]; then selected=("${all_stages[@]}"); fi
for s in "${selected[@]}"; do
  case " ${all_stages[*]} " in
  *" $s "*) ;;
  *)
    echo "usage: $0 [${all_stages[*]}]..." >&2
    exit 2
    ;;
  esac
done

# The tests run with a home of their own that only they know. Every test gets
# private folders from cmake/test-env.sh; anything that shows up here escaped them.
run_ctest() { # build-dir ctest-args...
  local dir=$1
  shift
  local home=$root/$dir/escape-check
  rm -rf "$home"
  mkdir -p "$home" && mkdir -m 700 "$home/home" "$home/run" || return 1
  local rc=0
  env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_STATE_HOME -u XDG_CACHE_HOME -u NUVEX_OBJECTS_DIR \
    -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY \
    HOME="$home/home" XDG_RUNTIME_DIR="$home/run" \
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" "$@" || rc=1
  local escaped
  escaped=$(find "$home/home" "$home/run" -mindepth 1 -print)
  if [ -n "$escaped" ]; then
    echo "tests wrote into the home folders of whoever ran them:" >&2
    echo "$escaped" | head -20 >&2
    rc=1
  else
    rm -rf "$home"
  fi
  return $rc
}

stage_deps() {
  scripts/install-deps.sh test
}

stage_build() {
  NUVEX_WERROR=$werror scripts/build.sh --main
}

# The stages that use build/ refuse a tree that this run failed to build.
needs_build() {
  if [ "$build_result" = FAILED ] || [ ! -f build/compile_commands.json ]; then
    echo "$1: build/ did not build; nothing to check" >&2
    return 1
  fi
}

stage_test() {
  needs_build test || return 1
  # shellcheck disable=SC2086 # word splitting is the point
  run_ctest build ${NUVEX_CTEST_ARGS:-}
}

stage_package() {
  needs_build package || return 1
  scripts/package.sh build
}

cxx_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -- '*.cpp' '*.h'
  else
    find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort
  fi
}

stage_format() {
  local drift graph=0
  python3 scripts/include_graph.py || graph=1
  drift=$(cxx_files | xargs -r -P "$jobs" -n 8 sh -c '
    for f; do clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "$f"; done' sh)
  if [ -n "$drift" ]; then
    echo "format: $(echo "$drift" | wc -l) files differ from .clang-format (clang-format -i FILE):" >&2
    echo "$drift" | sort >&2
    return 1
  fi
  # A second category object of one name keeps thresholds and rules of its
  # own, and which one a line reaches depends on link order: every nuvex.*
  # category is made in one table, one per log area (contract/qt_log_sink.cpp).
  local defined
  defined=$(cxx_files | xargs -r grep -ln 'Q_LOGGING_CATEGORY(' || true)
  if [ -n "$defined" ]; then
    echo "format: logging categories defined outside the table of log areas:" >&2
    echo "$defined" >&2
    return 1
  fi
  echo "format: $(cxx_files | wc -l) files as .clang-format wants them"
  return "$graph"
}

stage_tidy() {
  needs_build tidy || return 1
  # The program's sources only: generated moc and autogen files live under
  # build*/, and a test file costs a minute of analysis on GoogleTest's macros
  # for findings in test scaffolding; tests are held to -Wall -Wextra instead.
  local dirs='lib|accounts|contract|core|ui|host|integration|mapi|handoff|upload|cli'
  local log=build/clang-tidy.log
  # The build's precompiled headers are GCC's, which clang cannot read: tidy
  # gets the same commands without them and parses the headers itself.
  mkdir -p build/tidy || return 1
  sed -E 's# -Winvalid-pch##g; s# -include [^ "]*/cmake_pch\.hxx##g' build/compile_commands.json \
    >build/tidy/compile_commands.json || return 1
  # The static analyzer runs in its shallow mode (short inlining, a smaller path
  # budget) on every file: its deep mode was four fifths of the stage's time, and
  # all it ever reported here were the false leaks that .clang-tidy explains.
  # Debian's run-clang-tidy always asks for colours; the log is for reading.
  # The header filter is anchored at the checkout so that the D-Bus code that
  # qdbusxml2cpp generates under build*/ is not held to our checks.
  run-clang-tidy -p build/tidy -j "$jobs" -quiet -header-filter="^$root/($dirs)/" \
    -extra-arg=-Xclang -extra-arg=-analyzer-config -extra-arg=-Xclang -extra-arg=mode=shallow \
    "^$root/($dirs)/" 2>&1 | sed 's/\x1b\[[0-9;]*m//g' >"$log"
  local rc=${PIPESTATUS[0]}
  local findings
  findings=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: warning: .* \[[A-Za-z0-9.,-]+\]$' "$log" | sort -u |
    grep -Eo '\[[A-Za-z0-9.,-]+\]$' | sort | uniq -c | sort -rn)
  if [ -n "$findings" ]; then
    echo "tidy: findings per check (each listed once; details in $log):" >&2
    echo "$findings" >&2
    return 1
  fi
  if [ $rc -ne 0 ]; then
    echo "tidy: clang-tidy failed; see $log" >&2
    tail -20 "$log" >&2
    return 1
  fi
  echo "tidy: no findings"
}

stage_sanitize() {
  # Unoptimised: it compiles in about half the time, and the checks lose nothing.
  # Several libraries build as unity batches: the same code, instrumented the
  # same way, in fewer compiler runs (build/ keeps one file per object, so that
  # a file missing an include still shows there).
  scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DNUVEX_WERROR="$werror" -DNUVEX_SANITIZE=ON \
    -DNUVEX_BUILD_BENCH=OFF -DBUILD_TESTING=ON "${unity[@]}" || return 1
  run_ctest build-asan -LE '^slow$'
}

stage_fuzz() {
  # The fuzz tree is a CMake option; a tree without it has nothing to run.
  if ! grep -rqs --include=CMakeLists.txt --include='*.cmake' --exclude-dir='build*' 'NUVEX_FUZZ' .; then
    echo "fuzz: skipped, this tree has no NUVEX_FUZZ option"
    return 3
  fi
  # Qt stays on for the menu-text parser of the contract library; only the
  # fuzz targets and what they link are built.
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DNUVEX_FUZZ=ON -DNUVEX_BUILD_BENCH=OFF "${unity[@]}" >/dev/null || return 1
  if ! grep -q '^NUVEX_FUZZ:BOOL=ON' build-fuzz/CMakeCache.txt; then
    echo "fuzz: skipped, the NUVEX_FUZZ option did not take" >&2
    return 3
  fi
  cmake --build build-fuzz -j "$jobs" --target fuzz_all || return 1
  # The bounded runs (labels fuzz and slow) and the replays of the inputs that once failed.
  run_ctest build-fuzz -L '^fuzz$'
}

# The sanitizer and fuzz trees build the Qt-free libraries in unity
# batches of a few files each (cmake/NuvexBuildSpeed.cmake).
unity=(-DNUVEX_UNITY=ON)

summary=()
failed=0
build_result=none
for s in "${all_stages[@]}"; do
  case " ${selected[*]} " in *" $s "*) ;; *) continue ;; esac
  echo "=== $s"
  start=$(date +%s)
  "stage_$s"
  case $? in
  0) result=ok ;;
  3) result=skipped ;;
  *)
    result=FAILED
    failed=1
    ;;
  esac
  if [ "$s" = build ]; then build_result=$result; fi
  took=$(($(date +%s) - start))
  line=$(printf '%-9s %-7s %3dm%02ds' "$s" "$result" $((took / 60)) $((took % 60)))
  echo "=== $line"
  summary+=("$line")
done
echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $failed
