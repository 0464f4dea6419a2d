# shellcheck shell=bash
# shellcheck disable=SC2034,SC2154 # build comes from the bench; host, plugin,
# to_server, port and server_dir go back to it.
# Shared by the shell benches, sourced inside the private session each one
# makes: the host with its plug-in, and the private POP3 server. Uses $build.

# bench_start_host NAME OUT [ERR]: brannock, headless, until its Mail button
# shows; sets host and plugin (their process ids). Without ERR both streams go
# to OUT.
bench_start_host() {
  local name=$1 out=$2 err=${3:-}
  if [ -n "$err" ]; then
    "$build/host/brannock" --headless >"$out" 2>"$err" &
  else
    "$build/host/brannock" --headless >"$out" 2>&1 &
  fi
  host=$!
  for _ in $(seq 100); do
    "$build/host/brannock" ctl button MAIL 2>/dev/null | grep -q 'picture: 16x16' && break
    sleep 0.2
  done
  plugin=$(pgrep -n -f "^$build/core/nuvex" || true)
  [ -n "$plugin" ] || { echo "$name: the plug-in did not start" >&2; kill "$host"; exit 1; }
}

# bench_start_pop3 NAME USERS MESSAGES OUT: the private dovecot
# (bench/pop3_server), which serves for as long as the descriptor to_server
# stays open; sets port and server_dir (its folder, dovecot.log in it).
bench_start_pop3() {
  local name=$1 out=$4
  exec {to_server}> >(exec "$build/bench/pop3_server" "$2" "$3" >"$out")
  for _ in $(seq 1200); do grep -q '^dir ' "$out" 2>/dev/null && break; sleep 0.1; done
  port=$(awk '/^port / {print $2}' "$out")
  server_dir=$(awk '/^dir / {print $2}' "$out")
  [ -n "$port" ] || { echo "$name: the POP3 server did not start" >&2; kill "$host"; exit 1; }
}

# bench_private_session DIR [NAME=VALUE ...] -- COMMAND [ARG ...]: runs COMMAND
# with XDG folders, named objects and a session bus of its own under DIR, so a
# bench never touches the desktop it is started from.
bench_private_session() {
  local dir=$1
  shift
  local vars=()
  while [ "$1" != -- ]; do
    vars+=("$1")
    shift
  done
  shift
  mkdir -p "$dir"/{config,data,run,objects}
  chmod 700 "$dir"/run
  env XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data" XDG_RUNTIME_DIR="$dir/run" \
    NUVEX_OBJECTS_DIR="$dir/objects" "${vars[@]}" dbus-run-session -- "$@"
}
