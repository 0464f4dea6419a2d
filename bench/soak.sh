#!/usr/bin/env bash
# A long run with many accounts: N POP3 accounts added one by one with
# nuvex-account while the host and the plug-in run, each checked every M
# minutes, for D minutes, against a private dovecot. Every 30 s it samples the
# plug-in's and the host's resident memory and open descriptors, and how long
# the plug-in takes to answer the host (brannock ctl query-num, which goes
# through the plug-in, beside brannock ctl get, which the host answers alone:
# both include starting the ctl process). At the end it reads dovecot's log:
# every login is one check, so the gaps between an account's logins show
# whether each account was checked on its interval. The plug-in's settings
# reloads report their duration in its debug log, and the host's calls into
# the plug-in while the adds run are reported as a distribution against the
# goal of 100 ms for every call.
#   bench/soak.sh [build-dir] [accounts] [minutes] [interval-minutes]
# The defaults, 1000 accounts for 60 minutes every 6 minutes, make 10 000 checks.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
accounts=${2:-1000}
minutes=${3:-60}
interval=${4:-6}

if [ "${SOAK_INNER:-}" = 1 ]; then
  d=$SOAK_DIR
  . bench/session.sh
  QT_LOGGING_RULES="nuvex.plugin.debug=true" bench_start_host soak "$d/host.out"
  bench_start_pop3 soak "$accounts" 1 "$d/server.out"

  # Every call of the host into the plug-in and its answer, with the bus's
  # own time stamps: how long the plug-in takes to answer, without the cost
  # of starting the ctl process.
  dbus-monitor --session "type='method_call',interface='org.brannock.ITB4Plugin'" "type='method_return'" \
    >"$d/bus.log" 2>/dev/null &
  monitor=$!
  ms() { echo $(($(date +%s%N) / 1000000)); }
  sample() { # one line: seconds, plug-in rss anon fds threads, host rss fds, query ms, get ms
    local t0 q g
    t0=$(ms)
    "$build/host/brannock" ctl query-num MAIL ACCNUM 0 >"$d/accnum" 2>/dev/null || true
    q=$(($(ms) - t0))
    t0=$(ms)
    "$build/host/brannock" ctl get MAIL MAIL_ALL >/dev/null 2>&1 || true
    g=$(($(ms) - t0))
    echo "$((($(ms) - start) / 1000))" \
      "$(awk '/^VmRSS/ {r = $2} /^RssAnon/ {a = $2} /^Threads/ {t = $2} END {print r, a, t}' "/proc/$plugin/status")" \
      "$(find "/proc/$plugin/fd" -mindepth 1 -maxdepth 1 | wc -l)" \
      "$(awk '/^VmRSS/ {print $2}' "/proc/$host/status")" \
      "$(find "/proc/$host/fd" -mindepth 1 -maxdepth 1 | wc -l)" \
      "$q" "$g" "$(tr -dc 0-9 <"$d/accnum")"
  }
  start=$(ms)
  cpu0=$(awk '{print $14 + $15}' "/proc/$plugin/stat")
  for i in $(seq "$accounts"); do
    echo secret | "$build/core/nuvex-account" add --type Pop3 --email "user$i@example.org" \
      --login "user$i" --server 127.0.0.1 --port "$port" --check-minutes "$interval" \
      --password-stdin >/dev/null
    if [ $((i % 100)) -eq 0 ]; then sample >>"$d/samples"; fi
  done
  added=$(ms)
  echo "adds took $(((added - start) / 1000)) s" >"$d/summary"
  # Half a minute's samples until the end of the run.
  until_ms=$((added + minutes * 60000))
  while [ "$(ms)" -lt "$until_ms" ] && kill -0 "$plugin" 2>/dev/null; do
    sample >>"$d/samples"
    sleep 30
  done
  cpu1=$(awk '{print $14 + $15}' "/proc/$plugin/stat" 2>/dev/null || echo "$cpu0")
  kill "$monitor" 2>/dev/null || true
  cp "$server_dir/dovecot.log" "$d/dovecot.log" 2>/dev/null || true
  "$build/host/brannock" ctl stop >/dev/null || true
  wait "$host" || true
  exec {to_server}>&-
  hz=$(getconf CLK_TCK)
  {
    echo "plug-in cpu $(((cpu1 - cpu0) / hz)) s over the run"
    echo "checks after the adds ended, and the gaps between an account's checks (one login each):"
    awk -v from=$((added / 1000)) -f bench/soak_logins.awk "$d/dovecot.log" >"$d/checks"
    checks=$(wc -l <"$d/checks")
    checked=$(grep -c '^first ' "$d/checks" || true)
    awk '$1 == "gap" {print $2}' "$d/checks" | sort -n >"$d/gaps"
    awk -v n="$checks" -v a="$checked" -v all="$accounts" -v iv=$((interval * 60)) '
      {g[NR] = $1; if ($1 > iv + 35) late++}
      END {
        printf "  %d checks of %d accounts (of %d); %d gaps: shortest %d s, median %d s, 99th %d s, longest %d s;", n, a, all, NR, g[1], g[int((NR + 1) / 2)], g[int(NR * 0.99) + (NR * 0.99 > int(NR * 0.99))], g[NR]
        printf " %d longer than the interval + 35 s (the pass runs every 15 s and stamps a check 15 s ahead)\n", late
      }' "$d/gaps"
    echo "samples (s, plug-in rss KiB, anon KiB, threads, fds, host rss KiB, fds, query-num ms, get ms, accounts):"
    cat "$d/samples"
    # "method call time=T sender=S -> destination=D serial=N path=...; interface=...ITB4Plugin; member=M"
    # "method return time=T sender=D -> destination=S serial=K reply_serial=N"
    # Refresh answers once the reload is done (the host merges the refreshes
    # it sends by that answer): its time is the reload's, reported apart.
    awk -v added="$added" '/^method call / && /ITB4Plugin/ {
           for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
           k = f["sender"] " " f["serial"]; start[k] = f["time"]; member[k] = f["member"]; next }
         /^method return / {
           for (i = 1; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
           k = f["destination"] " " f["reply_serial"]
           if (k in start) {
             phase = start[k] * 1000 < added ? "adding" : "running"
             printf "%s %s %.3f\n", phase, member[k] == "Refresh" ? "Refresh" : "other", (f["time"] - start[k]) * 1000
             delete start[k] } }' "$d/bus.log" >"$d/answers"
    for phase in adding running; do
      for kind in other Refresh; do
        awk -v p="$phase" -v k="$kind" '$1 == p && $2 == k {print $3}' "$d/answers" | sort -n |
          awk -v p="$phase" -v k="$kind" '{v[NR] = $1; if ($1 > 100) slow++}
            END {
              q = int(NR * 0.99) + 1
              if (q > NR) q = NR
              what = k == "Refresh" ? "Refresh calls (answered after the reload)" : "other host calls into the plug-in"
              if (NR) printf "%s while %s: %d, answered in median %.2f ms, 99th %.2f ms, worst %.2f ms; %d over 100 ms\n",
                what, p == "adding" ? "the accounts were added" : "they were checked", NR, v[int((NR + 1) / 2)], v[q], v[NR], slow + 0
            }'
      done
    done
    # Every call while the adds ran, whatever its kind: the goal is that no
    # call of the host waits more than 100 ms for the plug-in.
    awk '$1 == "adding" {print $3}' "$d/answers" | sort -n |
      awk 'function at(p,  i) { i = int(NR * p + 0.999999); return v[i < 1 ? 1 : i > NR ? NR : i] }
        {v[NR] = $1; b[$1 <= 10 ? 1 : $1 <= 50 ? 2 : $1 <= 100 ? 3 : $1 <= 250 ? 4 : $1 <= 1000 ? 5 : 6]++}
        END {
          if (!NR) { print "host calls while the accounts were added: none seen"; exit }
          printf "host calls while the accounts were added: %d; ms at 50/90/99/99.9 %%: %.1f / %.1f / %.1f / %.1f, worst %.1f\n",
            NR, at(0.5), at(0.9), at(0.99), at(0.999), v[NR]
          printf "  answered within 10 ms: %d, 50 ms: %d, 100 ms: %d, 250 ms: %d, 1 s: %d, later: %d\n",
            b[1], b[2], b[3], b[4], b[5], b[6]
          over = b[4] + b[5] + b[6]
          printf "  goal, every call within 100 ms: %s\n", over ? "missed by " over " calls" : "met"
        }'
    echo "reloads of the settings (ms): $(grep -o 'settings refresh took [0-9]* ms' "$d/host.out" |
      awk '{print $4}' | sort -n | awk '{v[NR] = $1} END {if (NR) printf "%d reloads, median %d, worst %d", NR, v[int((NR + 1) / 2)], v[NR]}')"
    echo "log lines of the programs besides the reload times: $(grep -vc 'settings refresh took' "$d/host.out" || true) (in host.out)"
  } >>"$d/summary"
  exit 0
fi

. bench/session.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
bench_private_session "$dir" SOAK_INNER=1 SOAK_DIR="$dir" -- \
  "$0" "$build" "$accounts" "$minutes" "$interval" 2>"$dir/inner.err" || true
cat "$dir/summary" 2>/dev/null || { echo "soak: no summary" >&2; tail -20 "$dir/inner.err" >&2; exit 1; }
# Kept for a closer look when asked: SOAK_KEEP=folder copies the logs there.
if [ -n "${SOAK_KEEP:-}" ]; then
  if mkdir -p "$SOAK_KEEP"; then
    cp "$dir"/{host.out,samples,summary,dovecot.log,answers} "$SOAK_KEEP"/ 2>/dev/null || true
  fi
fi
