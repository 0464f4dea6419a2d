#!/usr/bin/env bash
# scripts/include_graph.py on small trees: a circle among one folder's files or
# among the top folders fails the check and names the include that closes it;
# arrows that only point down, and the test folders using each other, pass.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/include-graph-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
# Row: name, expected exit status, text the report must hold, then the files
# as PATH=INCLUDED,INCLUDED (each file includes the headers listed).
row() {
  local name=$1 want=$2 text=$3 tree="$work/$1"
  shift 3
  mkdir -p "$tree"
  local spec path
  for spec; do
    path=${spec%%=*}
    mkdir -p "$tree/$(dirname "$path")"
    : >"$tree/$path"
    local inc
    for inc in $(echo "${spec#*=}" | tr ',' ' '); do
      echo "#include \"$inc\"" >>"$tree/$path"
    done
  done
  local out status
  out=$(python3 "$root/scripts/include_graph.py" "$tree" 2>&1)
  status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "FAIL $name: exit $status (want $want), report:"
    echo "$out"
    failures=$((failures + 1))
  fi
}

row down 0 "no circle among 2 folders and 2 rooms of core/" \
  core/frame.cpp=core/frame.h,core/window.h core/window.cpp=core/window.h,lib/text.h core/frame.h= \
  core/window.h= lib/text.h=
row window_includes_frame 1 "core/window -> core/frame  (core/window.cpp:2)" \
  core/frame.cpp=core/frame.h,core/window.h core/window.cpp=core/window.h,core/frame.h core/frame.h= \
  core/window.h=
row three_rooms 1 "core/c -> core/a  (core/c.h:1)" \
  core/a.h=core/b.h core/b.h=core/c.h core/c.h=core/a.h
row folders 1 "lib -> core  (lib/text.cpp:1)" \
  core/frame.cpp=lib/text.h lib/text.cpp=core/frame.h core/frame.h= lib/text.h=
row relative_include 1 "core/b -> core/a  (core/b.cpp:1)" \
  core/a.cpp=b.h core/b.cpp=a.h core/a.h= core/b.h=
row test_folders 0 "no circle" \
  tests/support/reader.h=fuzz/target.cpp fuzz/target.cpp=tests/support/reader.h,lib/text.h lib/text.h=
row program_includes_tests 1 "lib -> tests+fuzz+bench" \
  tests/unit/text_test.cpp=lib/text.h lib/text.h=tests/support/reader.h tests/support/reader.h=

[ "$failures" = 0 ] && echo "include graph: every row passed"
exit $((failures > 0))
