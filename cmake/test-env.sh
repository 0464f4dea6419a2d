#!/bin/sh
# Runs one test command in a private home of its own, so that no test reads or
# writes the settings, runtime folder, session bus or display of whoever runs
# the tests, and no test sees what another one left behind.
#   test-env.sh ROOT [VAR=value ...] -- command [args ...]
# ROOT is a folder under the build tree; each run gets a fresh folder in it,
# removed when the command succeeds and kept for a look when it fails.
# VAR=value pairs are defaults: a variable already set in the environment wins.
# Folder names are short because sockets under XDG_RUNTIME_DIR must fit in
# the 108 bytes of a socket address.
set -u
root=$1
shift
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  # shellcheck disable=SC2163 # "$1" is NAME=value
  if ! printenv "${1%%=*}" >/dev/null; then export "$1"; fi
  shift
done
[ $# -gt 0 ] && shift

mkdir -p "$root" || exit 1
dir=$(mktemp -d "$root/XXXXXX") || {
  echo "test-env: cannot create a private folder under $root" >&2
  exit 1
}
for sub in home config data state cache run; do
  mkdir -m 700 "$dir/$sub" || exit 1
done
export HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data" \
  XDG_STATE_HOME="$dir/state" XDG_CACHE_HOME="$dir/cache" XDG_RUNTIME_DIR="$dir/run" \
  NUVEX_OBJECTS_DIR="$dir/run/nuvex-objects"
# No session bus unless the test starts its own (dbus-run-session replaces this
# address); an unset address would make libdbus fall back to the user's bus.
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
unset DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE DISPLAY WAYLAND_DISPLAY
export QT_QPA_PLATFORM=offscreen

"$@"
rc=$?
if [ "$rc" -eq 0 ]; then
  rm -rf "$dir"
else
  echo "test-env: exit status $rc; its private folders are kept in $dir" >&2
fi
exit "$rc"
