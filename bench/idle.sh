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
  . bench/session.sh
  bench_start_host idle "$IDLE_DIR/host.out" "$IDLE_DIR/host.err"
  if [ "$accounts" -gt 0 ]; then
    bench_start_pop3 idle "$accounts" 3 "$IDLE_DIR/server.out"
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
  threads() { # pid -> "tid name switches" per thread
    local t
    for t in /proc/"$1"/task/*; do
      echo "${t##*/} $(tr ' ' _ <"$t/comm") $(awk '/ctxt_switches/ {s += $2} END {print s}' "$t/status")"
    done
  }
  sample() { # pid tag -> "cpu_ticks rss_kb anon_kb pss_kb"; the threads' switches into $IDLE_DIR/tag
    local pid=$1
    threads "$pid" >"$IDLE_DIR/$2"
    # Resident memory is mostly pages of shared libraries; the anonymous part
    # and the proportional share (PSS) say what this process itself costs.
    echo "$(awk '{print $14 + $15}' "/proc/$pid/stat") $(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")" \
      "$(awk '/^RssAnon/ {print $2}' "/proc/$pid/status")" \
      "$(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup" 2>/dev/null || echo 0)"
  }
  # Wake-ups over the period: per thread, the switches since the first
  # sample; a thread started meanwhile counts whole (one that ended is lost).
  switches() { # tag -> total
    awk 'NR == FNR {b[$1] = $3; next} {s += $3 - b[$1]} END {print s + 0}' "$IDLE_DIR/${1}0" "$IDLE_DIR/${1}1"
  }
  read -r hc0 _ _ _ <<<"$(sample "$host" h0)"
  read -r pc0 _ _ _ <<<"$(sample "$plugin" p0)"
  sleep "$seconds"
  read -r hc1 hrss hanon hpss <<<"$(sample "$host" h1)"
  read -r pc1 prss panon ppss <<<"$(sample "$plugin" p1)"
  # IDLE_THREADS=1: which threads woke, to standard error.
  if [ "${IDLE_THREADS:-}" = 1 ]; then
    for p in h:brannock p:nuvex; do
      awk -v n="${p#*:}" -v s="$seconds" 'NR == FNR {b[$1] = $3; next}
        {printf "%s thread %s %s: %.2f/s\n", n, $1, $2, ($3 - b[$1]) / s}' \
        "$IDLE_DIR/${p%%:*}0" "$IDLE_DIR/${p%%:*}1" >&2
    done
  fi
  # IDLE_SMAPS=1: the plug-in's resident memory per mapping, to standard error.
  if [ "${IDLE_SMAPS:-}" = 1 ]; then
    awk '/^[0-9a-f]+-[0-9a-f]+ / {n = ($6 == "") ? "[anon]" : $6} /^Rss:/ {r[n] += $2}
      END {for (n in r) if (r[n] >= 100) printf "nuvex maps %7d KiB %s\n", r[n], n}' "/proc/$plugin/smaps" |
      sort -k3,3nr >&2
  fi
  hs=$(switches h)
  ps=$(switches p)
  "$build/host/brannock" ctl stop >/dev/null
  wait "$host" || true
  if [ -n "${to_server:-}" ]; then exec {to_server}>&-; fi
  awk -v s="$seconds" -v hz="$hz" -v hc=$((hc1 - hc0)) -v hs="$hs" -v hr="$hrss" \
      -v pc=$((pc1 - pc0)) -v ps="$ps" -v pr="$prss" \
      -v ha="$hanon" -v hp="$hpss" -v pa="$panon" -v pp="$ppss" 'BEGIN {
    printf "brannock %.4f %.2f %d %d %d\n", 100 * hc / hz / s, hs / s, hr, ha, hp
    printf "nuvex %.4f %.2f %d %d %d\n", 100 * pc / hz / s, ps / s, pr, pa, pp
  }'
  exit 0
fi

. bench/session.sh
results=$(mktemp)
trap 'rm -f "$results"' EXIT
for i in $(seq "$runs"); do
  dir=$(mktemp -d)
  bench_private_session "$dir" IDLE_INNER=1 IDLE_DIR="$dir" -- \
    "$0" "$build" "$seconds" "$runs" "$accounts" 2>"$dir/inner.err" >>"$results"
  grep -E ' (thread|maps) ' "$dir/inner.err" >&2 || true
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
