#!/usr/bin/env bash
# Reads the ELF headers of the shipped programs and libraries and checks the
# hardening the build promises: position-independent programs, a non-executable
# stack, full RELRO (relocations bound at start, then read-only), stack
# canaries, and checked (_chk) libc calls.
#   hardening_test.sh [--skip REASON] [--no-fortify FILE]... FILE...
# --skip: the tree is built differently on purpose; print why and report the
# test as skipped (exit 77). --no-fortify: FILE has no call glibc can check.
set -uo pipefail
no_fortify=()
while [ $# -gt 0 ]; do
  case $1 in
  --skip)
    echo "skipped: $2"
    exit 77
    ;;
  --no-fortify)
    no_fortify+=("$2")
    shift 2
    ;;
  *) break ;;
  esac
done
if ! command -v readelf >/dev/null; then
  echo "readelf (binutils) is missing" >&2
  exit 1
fi

failures=0
for f in "$@"; do
  name=$(basename "$f")
  fail=()
  if ! header=$(readelf -hW "$f" 2>&1); then
    echo "FAIL $name: not readable as ELF: $header"
    failures=$((failures + 1))
    continue
  fi
  segments=$(readelf -lW "$f")
  dynamic=$(readelf -dW "$f")
  symbols=$(readelf --dyn-syms -W "$f")
  case $name in
  *.so) ;;
  *) grep -Eq 'Type:[[:space:]]+DYN' <<<"$header" || fail+=("not position-independent") ;;
  esac
  grep -q GNU_STACK <<<"$segments" || fail+=("no GNU_STACK header: the stack may be executable")
  grep GNU_STACK <<<"$segments" | grep -q 'RWE' && fail+=("executable stack")
  grep -q GNU_RELRO <<<"$segments" || fail+=("no RELRO")
  grep -Eq 'BIND_NOW|FLAGS_1.*[[:space:]]NOW' <<<"$dynamic" || fail+=("partial RELRO: symbols bound lazily")
  grep -q '__stack_chk_fail' <<<"$symbols" || fail+=("no stack protector")
  fortify=yes
  for n in "${no_fortify[@]}"; do [ "$n" = "$name" ] && fortify=no; done
  checked=$(grep -Ec ' __[a-z0-9_]+_chk(@|$)' <<<"$symbols")
  if [ $fortify = yes ] && [ "$checked" -eq 0 ]; then fail+=("no checked (_chk) libc calls: built without FORTIFY"); fi
  if [ ${#fail[@]} -gt 0 ]; then
    failures=$((failures + 1))
    printf 'FAIL %s: %s\n' "$name" "$(IFS=';'; echo "${fail[*]}")"
  else
    echo "ok   $name ($checked checked calls)"
  fi
done
[ "$failures" -eq 0 ]
