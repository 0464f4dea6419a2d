#!/bin/sh
# Runs one command as a client of a private Wayland compositor: weston with its
# headless backend on a socket of its own in $XDG_RUNTIME_DIR (test-env.sh made
# that folder private), stopped by its process id when the command ends.
#   with-weston.sh command [args ...]
set -u
if ! command -v weston >/dev/null; then
  echo "with-weston: weston is not installed (scripts/install-deps.sh test installs it)" >&2
  exit 1
fi
socket=wl-test-$$
log=$XDG_RUNTIME_DIR/weston.log
weston --backend=headless-backend.so --socket="$socket" --idle-time=0 --no-config >"$log" 2>&1 &
weston=$!
stop() { kill "$weston" 2>/dev/null && wait "$weston" 2>/dev/null; }
trap stop EXIT
trap 'exit 143' TERM INT
# The socket appears once weston listens; a loaded machine may take seconds.
waited=0
while [ ! -S "$XDG_RUNTIME_DIR/$socket" ]; do
  if ! kill -0 "$weston" 2>/dev/null || [ "$waited" -ge 300 ]; then
    echo "with-weston: weston did not start; its log:" >&2
    cat "$log" >&2
    exit 1
  fi
  sleep 0.1
  waited=$((waited + 1))
done
unset DISPLAY
# The headless backend has no seat. Qt's Wayland input method asks the seat's
# keyboard for every key event, so the keys a test sends would crash it there;
# the compose input method needs no seat.
WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland NUVEX_TEST_QPA=wayland QT_IM_MODULE=compose "$@"
