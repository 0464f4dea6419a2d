#!/usr/bin/env bash
# Idle cost of the toolbar host and the plug-in: CPU time, resident memory and
# wake-ups (context switches of all threads) over a quiet period, as the
# median of several runs. Each run gets a private session bus and folders.
#   bench/idle.sh [build-dir] [seconds] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
seconds=${2:-60}
runs=${3:-3}
hz=$(getconf CLK_TCK)

if [ "${IDLE_INNER:-}" = 1 ]; then
  # One run, inside its own dbus-run-session.
  "$build/host/brannock" --headless >"$IDLE_DIR/host.out" 2>"$IDLE_DIR/host.err" &
  host=$!
  for _ in $(seq 100); do
    "$build/host/brannock" ctl button MAIL 2>/dev/null | grep -q 'picture: 16x16' && break
    sleep 0.2
  done
  plugin=$(pgrep -n -f "$build/core/nuvex" || true)
  [ -n "$plugin" ] || { echo "idle: the plug-in did not start" >&2; kill "$host"; exit 1; }
  sleep 5 # let start-up settle
  sample() { # pid -> "cpu_ticks switches rss_kb"
    local pid=$1 cpu sw=0 t
    cpu=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    for t in /proc/"$pid"/task/*/status; do
      sw=$((sw + $(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {s += $2} END {print s}' "$t")))
    done
    echo "$cpu $sw $(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")"
  }
  read -r hc0 hs0 _ <<<"$(sample "$host")"
  read -r pc0 ps0 _ <<<"$(sample "$plugin")"
  sleep "$seconds"
  read -r hc1 hs1 hrss <<<"$(sample "$host")"
  read -r pc1 ps1 prss <<<"$(sample "$plugin")"
  "$build/host/brannock" ctl stop >/dev/null
  wait "$host" || true
  awk -v s="$seconds" -v hz="$hz" -v hc=$((hc1 - hc0)) -v hs=$((hs1 - hs0)) -v hr="$hrss" \
      -v pc=$((pc1 - pc0)) -v ps=$((ps1 - ps0)) -v pr="$prss" 'BEGIN {
    printf "brannock %.4f %.2f %d\n", 100 * hc / hz / s, hs / s, hr
    printf "nuvex %.4f %.2f %d\n", 100 * pc / hz / s, ps / s, pr
  }'
  exit 0
fi

results=$(mktemp)
trap 'rm -f "$results"' EXIT
for i in $(seq "$runs"); do
  dir=$(mktemp -d)
  mkdir -p "$dir"/{config,data,run,objects}
  chmod 700 "$dir"/run
  env XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data" XDG_RUNTIME_DIR="$dir/run" \
      NUVEX_OBJECTS_DIR="$dir/objects" IDLE_INNER=1 IDLE_DIR="$dir" \
      dbus-run-session -- "$0" "$build" "$seconds" "$runs" 2>/dev/null >>"$results"
  rm -rf "$dir"
  echo "idle: run $i of $runs done" >&2
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
echo "median of $runs runs over ${seconds}s idle:"
printf "%-9s %10s %12s %10s\n" program "cpu %" "wakeups/s" "rss KiB"
for p in brannock nuvex; do
  cpu=$(awk -v p=$p '$1 == p {print $2}' "$results" | median)
  wake=$(awk -v p=$p '$1 == p {print $3}' "$results" | median)
  rss=$(awk -v p=$p '$1 == p {print $4}' "$results" | median)
  printf "%-9s %10s %12s %10s\n" "$p" "$cpu" "$wake" "$rss"
done
