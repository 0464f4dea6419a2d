#!/usr/bin/env bash
# A provisioning script's load: N POP3 accounts added one by one with
# nuvex-account while the host and the plug-in run, against a private dovecot.
# Reports how long the adds took, how long until the running plug-in listed
# every account, the slowest answer of the plug-in to the host meanwhile
# (brannock ctl button, sampled every 200 ms), and the plug-in's CPU time.
#   bench/many_accounts.sh [build-dir] [accounts]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
accounts=${2:-1000}

if [ "${MANY_INNER:-}" = 1 ]; then
  . bench/session.sh
  bench_start_host many "$MANY_DIR/host.out"
  bench_start_pop3 many "$accounts" 0 "$MANY_DIR/server.out"
  ( # the host's view of the plug-in, sampled while the adds run
    while [ ! -e "$MANY_DIR/done" ]; do
      s=$(date +%s%N)
      "$build/host/brannock" ctl button MAIL >/dev/null 2>&1 || true
      echo $((($(date +%s%N) - s) / 1000000)) >>"$MANY_DIR/latency"
      sleep 0.2
    done
  ) &
  sampler=$!
  cpu0=$(awk '{print $14 + $15}' "/proc/$plugin/stat")
  start=$(date +%s%N)
  for i in $(seq "$accounts"); do
    echo secret | "$build/core/nuvex-account" add --type Pop3 --email "user$i@example.org" \
      --login "user$i" --server 127.0.0.1 --port "$port" --password-stdin >/dev/null
  done
  added=$(date +%s%N)
  last="user$accounts@example.org"
  for _ in $(seq 3000); do
    "$build/host/brannock" ctl button MAIL 2>/dev/null | grep -q "$last" && break
    sleep 0.1
  done
  listed=$(date +%s%N)
  touch "$MANY_DIR/done"
  wait "$sampler" || true
  cpu1=$(awk '{print $14 + $15}' "/proc/$plugin/stat")
  "$build/host/brannock" ctl stop >/dev/null
  wait "$host" || true
  exec {to_server}>&-
  hz=$(getconf CLK_TCK)
  worst=$(sort -n "$MANY_DIR/latency" | tail -1)
  median=$(sort -n "$MANY_DIR/latency" | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}')
  echo "accounts $accounts"
  echo "adds took $(((added - start) / 1000000)) ms"
  echo "listed by the plug-in $(((listed - added) / 1000000)) ms after the last add"
  echo "host to plug-in answer: median $median ms, worst $worst ms ($(wc -l <"$MANY_DIR/latency") samples)"
  echo "plug-in cpu $(((cpu1 - cpu0) * 1000 / hz)) ms"
  exit 0
fi

. bench/session.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
bench_private_session "$dir" MANY_INNER=1 MANY_DIR="$dir" -- "$0" "$build" "$accounts" 2>/dev/null
