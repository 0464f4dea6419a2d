#!/usr/bin/env bash
# Installs what building and running need, builds the programs (in build/,
# configured as scripts/test.sh configures it, so that neither undoes the
# other), and runs the toolbar host, which starts the mail plug-in.
# With a display the host joins the desktop's session bus, as a toolbar does.
# Without one (a console, an SSH login) it runs headless, prints what its Mail
# button shows, and gets a private session bus, so that it never reaches into
# a desktop session that may be running on the same machine.
# With no account stored the plug-in opens its account wizard on a desktop,
# and says once how to add an account when headless.
#
#   scripts/run.sh --demo   a throw-away profile with a private mail server,
#                           sample messages and one account (scripts/demo.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
demo=0
if [ "${1:-}" = "--demo" ]; then
  demo=1
  shift
fi
scripts/install-deps.sh run
scripts/build.sh --main nuvex nuvex-account brannock brannock_settings NuvexDll
if [ ! -x build/host/brannock ]; then
  echo "run: build/host/brannock was not built" >&2
  exit 1
fi
if [ "$demo" = 1 ]; then
  # The demo's mail server is the tests' dovecot.
  scripts/install-deps.sh demo
  exec scripts/demo.sh build
fi
export PATH="$PWD/build/core:$PWD/build/host:$PATH"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec dbus-run-session -- build/host/brannock --headless "$@"
fi
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  exec dbus-run-session -- build/host/brannock "$@"
fi
exec build/host/brannock "$@"
