#!/usr/bin/env bash
# Idle cost of the toolbar host and the plug-in: CPU time, resident memory and
# wake-ups (context switches of all threads) over a quiet period, as the
# median of several runs. Each run gets a private session bus and folders.
# With ACCOUNTS > 0 a private dovecot (bench/pop3_server) holds one maildrop
# per account, the accounts are checked every IDLE_CHECK_MINUTES (15), and the period starts
# after their first check.
#   bench/idle.sh [build-dir] [seconds] [runs] [accounts]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
seconds=${2:-60}
runs=${3:-3}
accounts=${4:-10}
hz=$(getconf CLK_TCK)

if [ "${IDLE_INNER:-}" = 1 ]; then
  # One run, inside its own dbus-run-session.
  "$build/host/brannock" --headless >"$IDLE_DIR/host.out" 2>"$IDLE_DIR/host.err" &
  host=$!
  for _ in $(seq 100); do
    "$build/host/brannock" ctl button MAIL 2>/dev/null | grep -q 'picture: 16x16' && break
    sleep 0.2
  done
  plugin=$(pgrep -n -f "^$build/core/nuvex" || true)
  [ -n "$plugin" ] || { echo "idle: the plug-in did not start" >&2; kill "$host"; exit 1; }
  if [ "$accounts" -gt 0 ]; then
    # The server runs for as long as its standard input stays open.
    exec {to_server}> >(exec "$build/bench/pop3_server" "$accounts" 3 >"$IDLE_DIR/server.port")
    for _ in $(seq 200); do grep -q '^port ' "$IDLE_DIR/server.port" 2>/dev/null && break; sleep 0.1; done
    port=$(awk '/^port / {print $2}' "$IDLE_DIR/server.port")
    [ -n "$port" ] || { echo "idle: the POP3 server did not start" >&2; kill "$host"; exit 1; }
    for i in $(seq "$accounts"); do
      echo secret | "$build/core/nuvex-account" add --type Pop3 --email "user$i@example.org" \
        --login "user$i" --server 127.0.0.1 --port "$port" --check-minutes "${IDLE_CHECK_MINUTES:-15}" --password-stdin >/dev/null
    done
    # Every account checked once: the button counts their messages.
    want=$((accounts * 3))
    for _ in $(seq 300); do
      "$build/host/brannock" ctl button MAIL 2>/dev/null | grep -q "$want New" && break
      sleep 0.2
    done
  fi
  # Let start-up settle; after a first check, the notification window shows,
  # holds for 10 s and fades out, and the button blinks.
  if [ "$accounts" -gt 0 ]; then sleep 25; else sleep 5; fi
  sample() { # pid -> "cpu_ticks switches rss_kb"
    local pid=$1 cpu sw=0 t
    cpu=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    for t in /proc/"$pid"/task/*/status; do
      sw=$((sw + $(awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {s += $2} END {print s}' "$t")))
    done
    # Resident memory is mostly pages of shared libraries; the anonymous part
    # and the proportional share (PSS) say what this process itself costs.
    echo "$cpu $sw $(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")" \
      "$(awk '/^RssAnon/ {print $2}' "/proc/$pid/status")" \
      "$(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)"
  }
  read -r hc0 hs0 _ _ _ <<<"$(sample "$host")"
  read -r pc0 ps0 _ _ _ <<<"$(sample "$plugin")"
  sleep "$seconds"
  read -r hc1 hs1 hrss hanon hpss <<<"$(sample "$host")"
  read -r pc1 ps1 prss panon ppss <<<"$(sample "$plugin")"
  "$build/host/brannock" ctl stop >/dev/null
  wait "$host" || true
  if [ -n "${to_server:-}" ]; then exec {to_server}>&-; fi
  awk -v s="$seconds" -v hz="$hz" -v hc=$((hc1 - hc0)) -v hs=$((hs1 - hs0)) -v hr="$hrss" \
      -v pc=$((pc1 - pc0)) -v ps=$((ps1 - ps0)) -v pr="$prss" \
      -v ha="$hanon" -v hp="$hpss" -v pa="$panon" -v pp="$ppss" 'BEGIN {
    printf "brannock %.4f %.2f %d %d %d\n", 100 * hc / hz / s, hs / s, hr, ha, hp
    printf "nuvex %.4f %.2f %d %d %d\n", 100 * pc / hz / s, ps / s, pr, pa, pp
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
      dbus-run-session -- "$0" "$build" "$seconds" "$runs" "$accounts" 2>/dev/null >>"$results"
  rm -rf "$dir"
  echo "idle: run $i of $runs done" >&2
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
echo "median of $runs runs over ${seconds}s idle, $accounts accounts:"
printf "%-9s %10s %12s %10s %10s %10s\n" program "cpu %" "wakeups/s" "rss KiB" "anon KiB" "pss KiB"
for p in brannock nuvex; do
  col() { awk -v p=$p -v c="$1" '$1 == p {print $c}' "$results" | median; }
  printf "%-9s %10s %12s %10s %10s %10s\n" "$p" "$(col 2)" "$(col 3)" "$(col 4)" "$(col 5)" "$(col 6)"
done
