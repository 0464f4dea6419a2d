#!/usr/bin/env bash
# bench/soak_logins.awk reads a dovecot log that runs past midnight: logins
# before the adds ended are left out, later ones are first checks or gaps.
set -uo pipefail
awk_file=$(cd "$(dirname "$0")/.." && pwd)/soak_logins.awk
log=$(mktemp "${TMPDIR:-/tmp}/soak-logins.XXXXXX")
trap 'rm -f "$log"' EXIT
login() { echo "$1 $2 pop3-login: Info: Login: user=<$3>, method=PLAIN, rip=127.0.0.1"; }
{
  login 2026-03-01 23:50:00 user1 # before the adds ended
  echo "2026-03-01 23:58:00 pop3(user1): Info: Disconnected: Logged out"
  login 2026-03-01 23:58:00 user1
  login 2026-03-01 23:59:30 user2
  login 2026-03-02 00:01:00 user1
  login 2026-03-02 00:03:30 user2
} >"$log"
from=$(date -d '2026-03-01 23:55:00' +%s)
got=$(awk -v from="$from" -f "$awk_file" "$log" | tr '\n' ';')
want="first user1;first user2;gap 180;gap 240;"
if [ "$got" != "$want" ]; then
  echo "FAIL: got '$got', want '$want'"
  exit 1
fi
echo "ok   logins across midnight: $got"
