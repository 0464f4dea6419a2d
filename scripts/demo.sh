#!/usr/bin/env bash
# A demo a newcomer can run: a throw-away profile, a private session bus, a
# private POP3 server (dovecot) on loopback holding three sample messages, and
# one account for it. The Mail button soon shows "3 New" and the notification
# window lists the messages; another message arrives every 30 seconds.
# Ctrl-C stops everything this script started and removes the profile.
#
#   scripts/demo.sh [BUILD_DIR]        (scripts/run.sh --demo builds and calls it)
#
# NUVEX_DEMO_INTERVAL shortens the 30 seconds between arrivals (tests).
# Without a display the host runs headless and prints what its button shows;
# the notification window's entries are printed as "notify ..." lines.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$repo/build}" 2>/dev/null && pwd)" || {
  echo "demo: build folder ${1:-$repo/build} not found; run scripts/run.sh --demo" >&2
  exit 1
}
brannock="$build/host/brannock"
account_tool="$build/core/nuvex-account"
for program in "$brannock" "$account_tool" "$build/core/nuvex"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program was not built" >&2
    exit 1
  fi
done
dovecot=/usr/sbin/dovecot
if [ ! -x "$dovecot" ]; then
  echo "demo: dovecot is not installed (scripts/install-deps.sh test installs it)" >&2
  exit 1
fi
command -v dbus-daemon >/dev/null || {
  echo "demo: dbus-daemon is not installed" >&2
  exit 1
}
interval="${NUVEX_DEMO_INTERVAL:-30}"
case "$interval" in
  '' | *[!0-9]* | 0)
    echo "demo: NUVEX_DEMO_INTERVAL must be a number of seconds above 0" >&2
    exit 1
    ;;
esac

profile="$(mktemp -d "${TMPDIR:-/tmp}/nuvex-demo.XXXXXX")" || {
  echo "demo: cannot make a profile folder under ${TMPDIR:-/tmp}" >&2
  exit 1
}
# The mail server's own processes run as other users and must reach their
# folder; everything of the user's lives below in 0700 folders.
chmod 0755 "$profile"
bus_pid=""
dovecot_pid=""
host_pid=""
tail_pid=""
cleaned=0

log() { printf 'demo: %s\n' "$*"; }

# Processes that carry this profile in their environment: the plug-in, which
# the host starts detached, is found that way and no other process is.
profile_processes() {
  local env_file pid
  for env_file in /proc/[0-9]*/environ; do
    pid="${env_file#/proc/}"
    pid="${pid%/environ}"
    [ "$pid" = "$$" ] && continue
    if tr '\0' '\n' 2>/dev/null <"$env_file" | grep -qxF "NUVEX_DEMO_PROFILE=$profile"; then
      echo "$pid"
    fi
  done
}

# Waits up to $2 tenths of a second for process $1 to end.
wait_gone() {
  local i
  for ((i = 0; i < $2; i++)); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}

stop_pid() {
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || return 0
  if ! wait_gone "$1" 50; then
    log "process $1 did not end on TERM within 5 s; killing it"
    kill -KILL "$1" 2>/dev/null
  fi
  wait "$1" 2>/dev/null
}

cleanup() {
  [ "$cleaned" = 1 ] && return
  cleaned=1
  trap '' INT TERM
  log "stopping"
  stop_pid "$host_pid"
  # The host takes its plug-in along; one that lingers is stopped here.
  local pid
  for pid in $(profile_processes); do
    [ "$pid" = "$bus_pid" ] || [ "$pid" = "$dovecot_pid" ] || [ "$pid" = "$tail_pid" ] && continue
    stop_pid "$pid"
  done
  stop_pid "$tail_pid"
  stop_pid "$bus_pid"
  stop_pid "$dovecot_pid"
  rm -rf "$profile"
  log "stopped; profile removed"
}
trap cleanup EXIT
# Should this script be killed outright (no trap runs), what it started gets
# TERM from the kernel instead of living on; the host then takes its plug-in.
orphan_guard=""
if setpriv --pdeathsig TERM true 2>/dev/null; then
  orphan_guard="setpriv --pdeathsig TERM"
fi
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP # the terminal closed

export NUVEX_DEMO_PROFILE="$profile"
export HOME="$profile/home"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_DATA_HOME="$HOME/.local/share"
export XDG_CACHE_HOME="$HOME/.cache"
export XDG_STATE_HOME="$HOME/.local/state"
export XDG_RUNTIME_DIR="$profile/run"
export NUVEX_NOTIFY_LOG="$profile/notify.log"
(umask 077 && mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME" \
  "$XDG_RUNTIME_DIR")
unset DBUS_SESSION_BUS_ADDRESS

# --- the mail server -------------------------------------------------------

mail="$profile/dovecot"
mkdir -p "$mail/run" "$mail/state" "$mail/mail/demo/new" "$mail/mail/demo/cur" "$mail/mail/demo/tmp"
chmod 0755 "$mail" "$mail/run" "$mail/state" "$mail/mail" "$mail/mail/demo"
chmod 0700 "$mail/mail/demo/new" "$mail/mail/demo/cur" "$mail/mail/demo/tmp"
if [ "$(id -u)" = 0 ]; then
  # dovecot refuses mail access as root: its own system users serve the mail.
  mail_user=dovecot
  login_user=dovenull
  chroot_line=""
  internal_group=""
else
  # Everything runs as the user: no chroot, and the internal group is the
  # user's own, which the server may then give its sockets.
  mail_user="$(id -un)"
  login_user="$mail_user"
  chroot_line="  chroot ="
  internal_group="default_internal_group = $(id -gn)"
fi
mail_uid="$(id -u "$mail_user")" || exit 1
mail_gid="$(id -g "$mail_user")" || exit 1
password="demo-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
printf 'demo:{PLAIN}%s::::::\n' "$password" >"$mail/passwd"
# Read by the server's authentication process, which runs as the mail user.
chown "0:$mail_gid" "$mail/passwd" 2>/dev/null || true
chmod 0640 "$mail/passwd"
printf '%s\n' "$password" >"$profile/home/demo.pw"
chmod 0600 "$profile/home/demo.pw"

# An RFC 2047 encoded word for text with bytes outside ASCII; ASCII as it is.
encode() {
  if LC_ALL=C grep -q '[^ -~]' <<<"$1"; then
    printf '=?UTF-8?B?%s?=' "$(printf '%s' "$1" | base64 -w0)"
  else
    printf '%s' "$1"
  fi
}

serial=0
# deliver NAME ADDRESS SUBJECT BODY
deliver() {
  serial=$((serial + 1))
  local name file
  name="$(printf '%010d.M%06dP%d.demo' "$(date +%s)" "$serial" "$$")"
  file="$mail/mail/demo/tmp/$name"
  {
    printf 'Return-Path: <%s>\r\n' "$2"
    printf 'From: %s <%s>\r\n' "$(encode "$1")" "$2"
    printf 'To: Demo User <demo@example.org>\r\n'
    printf 'Subject: %s\r\n' "$(encode "$3")"
    printf 'Date: %s\r\n' "$(LC_ALL=C date -R)"
    printf 'Message-ID: <%s.%s@example.org>\r\n' "$serial" "$$"
    printf 'MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n'
    printf 'Content-Transfer-Encoding: 8bit\r\n\r\n%s\r\n' "$4"
  } >"$file"
  chmod 0600 "$file"
  chown "$mail_uid:$mail_gid" "$file"
  # Moved in whole, so the server never sees half a message.
  mv "$file" "$mail/mail/demo/new/$name"
}

deliver "Renée Dubois" renee.dubois@example.org "Café on Thursday?" \
  "Shall we meet at the café near the station at ten?"
deliver "Priya Raman" priya.raman@example.com "Quarterly report: draft for review" \
  "The draft is ready; comments by Friday, please."
deliver "Jürgen Weiß" juergen.weiss@example.net "Grüße aus München" \
  "Viele Grüße aus dem verschneiten München!"
later_names=("Tomás Ortega" "Build server" "Anna Kowalska" "山田 花子" "Olivia Brown")
later_addresses=(tomas.ortega@example.org ci@build.example.com anna.kowalska@example.net
  hanako.yamada@example.jp olivia.brown@example.org)
later_subjects=("Re: Flight to Lisbon" "Build #482 passed" "Spotkanie w piątek o 9:00"
  "来週の会議について" "Photos from the weekend")

chown -R "$mail_uid:$mail_gid" "$mail/mail"
port=""
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 30000))
  cat >"$mail/dovecot.conf" <<EOF
instance_name = nuvex-demo-$$-$candidate
base_dir = $mail/run
state_dir = $mail/state
log_path = $mail/dovecot.log
protocols = pop3
listen = 127.0.0.1
default_login_user = $login_user
default_internal_user = $mail_user
$internal_group
first_valid_uid = $mail_uid
disable_plaintext_auth = no
auth_mechanisms = plain
ssl = no
mail_location = maildir:$mail/mail/%u
passdb {
  driver = passwd-file
  args = $mail/passwd
}
userdb {
  driver = static
  args = uid=$mail_uid gid=$mail_gid home=$mail/mail/%u
}
service pop3-login {
$chroot_line
  inet_listener pop3 {
    address = 127.0.0.1
    port = $candidate
  }
  inet_listener pop3s {
    port = 0
  }
}
service imap-login {
$chroot_line
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
EOF
  setsid $orphan_guard "$dovecot" -F -c "$mail/dovecot.conf" >"$mail/dovecot.out" 2>&1 </dev/null &
  dovecot_pid=$!
  for ((i = 0; i < 100; i++)); do
    if ! kill -0 "$dovecot_pid" 2>/dev/null; then
      break
    fi
    # Listening alone is not enough: the server opens its TCP listeners
    # before the rest and may still give up; it says when it is up.
    if grep -q 'starting up' "$mail/dovecot.log" 2>/dev/null &&
      (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
      port=$candidate
      break
    fi
    sleep 0.1
  done
  [ -n "$port" ] && break
  stop_pid "$dovecot_pid"
  dovecot_pid=""
done
if [ -z "$port" ]; then
  log "the private POP3 server did not start; its log:"
  cat "$mail/dovecot.out" "$mail/dovecot.log" 2>/dev/null >&2
  exit 1
fi

# --- the private session bus ------------------------------------------------

setsid $orphan_guard dbus-daemon --session --nofork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" \
  --print-address=1 >"$profile/bus.address" 2>"$profile/bus.err" </dev/null &
bus_pid=$!
for ((i = 0; i < 100; i++)); do
  [ -s "$profile/bus.address" ] && break
  kill -0 "$bus_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$profile/bus.address" ]; then
  log "the private session bus did not start: $(cat "$profile/bus.err")"
  exit 1
fi
DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$profile/bus.address")"
export DBUS_SESSION_BUS_ADDRESS

# --- the host, the plug-in and the account -----------------------------------

export PATH="$build/core:$build/host:$PATH"
host_args=()
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  host_args=(--headless)
fi
log "profile $profile (removed at the end)"
log "POP3 server on 127.0.0.1:$port with 3 messages for demo@example.org"
# Without a display the toolkit warns about every fade of the (unseen)
# notification window; on a machine without a sound card the sound library
# complains about each new-mail sound. Neither says anything about the demo.
$orphan_guard "$brannock" "${host_args[@]}" </dev/null \
  2> >(grep --line-buffered -v -e 'does not support setting window opacity' \
    -e 'does not support raise()' -e '^ALSA lib ' >&2) &
host_pid=$!

plugin_up() {
  "$brannock" ctl button MAIL 2>/dev/null | grep -q '^plugin: running'
}
for ((i = 0; i < 100; i++)); do
  plugin_up && break
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.2
done
if ! plugin_up; then
  log "the host or its mail plug-in did not come up"
  exit 1
fi
if ! "$account_tool" add --type POP3 --email demo@example.org --login demo --server 127.0.0.1 \
  --port "$port" --check-minutes 1 --password-file "$profile/home/demo.pw" >/dev/null; then
  log "the demo account could not be added"
  exit 1
fi
rm -f "$profile/home/demo.pw"
if [ ${#host_args[@]} -gt 0 ]; then
  "$brannock" ctl set MAIL PLAYSOUND 0 --bool >/dev/null # nobody to hear it
fi
"$brannock" ctl refresh MAIL >/dev/null
"$brannock" ctl command MAIL CHECK_ALL >/dev/null
touch "$NUVEX_NOTIFY_LOG"
if [ ${#host_args[@]} -gt 0 ]; then
  $orphan_guard tail -n +1 -F "$NUVEX_NOTIFY_LOG" 2>/dev/null &
  tail_pid=$!
fi
log "account demo@example.org added; a new message arrives every $interval s; Ctrl-C stops the demo"

n=0
while kill -0 "$host_pid" 2>/dev/null; do
  $orphan_guard sleep "$interval" &
  wait $!
  kill -0 "$host_pid" 2>/dev/null || break
  k=$((n % ${#later_names[@]}))
  deliver "${later_names[$k]}" "${later_addresses[$k]}" "${later_subjects[$k]}" \
    "A new message of the demo."
  n=$((n + 1))
  log "a new message arrived from ${later_names[$k]}"
  # What "Check All Accounts" in the menu does: no waiting for the interval.
  "$brannock" ctl command MAIL CHECK_ALL >/dev/null
done
log "the host has ended"
exit 0
