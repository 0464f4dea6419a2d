#!/usr/bin/env bash
# scripts/run.sh and scripts/test.sh share build/: each must configure it with
# every option that changes what is built, and both with the same values, or
# starting one would regenerate the other's tree and drop what it built (the
# benchmarks). A fake cmake records how each configures and builds nothing.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/build-options-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/cmake" <<'FAKE'
#!/bin/sh
case " $* " in *" -S "*) echo "$*" >>"$FAKE_LOG" ;; esac
exit 1
FAKE
printf '#!/bin/sh\nprintf "install ok installed"\n' >"$work/bin/dpkg-query"
chmod +x "$work/bin"/*

configure_args() { # log: the options of the configure call, one a line, sorted
  tr ' ' '\n' <"$1" | grep -E '^-D' | sort -u
}
PATH="$work/bin:$PATH" FAKE_LOG="$work/run.log" bash "$root/scripts/run.sh" >/dev/null 2>&1
PATH="$work/bin:$PATH" FAKE_LOG="$work/test.log" bash "$root/scripts/test.sh" build >/dev/null 2>&1

failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
for log in run test; do
  grep -q -- '-B build ' "$work/$log.log" 2>/dev/null || fail "$log.sh did not configure build/"
done
diff <(configure_args "$work/run.log") <(configure_args "$work/test.log") >"$work/diff" ||
  fail "run.sh and test.sh configure build/ differently: $(cat "$work/diff")"
for want in -DBUILD_TESTING=ON -DNUVEX_BUILD_BENCH=ON; do
  configure_args "$work/run.log" | grep -qx -- "$want" || fail "run.sh does not state $want"
done
# Every option of the tree is stated, but those that only make the build
# faster (precompiled headers, the linker), which the machine decides.
options=$(cd "$root" && grep -rhoE --include=CMakeLists.txt --include='*.cmake' --exclude-dir='build*' \
  '(cmake_dependent_)?option\([A-Z_]+' . | sed -E 's/.*\(//' | sort -u)
[ -n "$options" ] || fail "no option() found in the tree's CMake files"
for option in $options; do
  case $option in NUVEX_PCH | NUVEX_LLD) continue ;; esac
  configure_args "$work/run.log" | grep -q -- "^-D$option=" || fail "run.sh leaves $option to the cache"
done
[ "$failures" -eq 0 ] && echo "ok   run.sh and test.sh state the same $(configure_args "$work/run.log" | wc -l) options"
[ "$failures" -eq 0 ]
