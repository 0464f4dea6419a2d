#!/usr/bin/env bash
# Installs what building and running need, builds the programs (no tests, no
# benchmarks), and runs the toolbar host, which starts the mail plug-in.
# With a display the host joins the desktop's session bus, as a toolbar does.
# Without one (a console, an SSH login) it runs headless, prints what its Mail
# button shows, and gets a private session bus, so that it never reaches into
# a desktop session that may be running on the same machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
scripts/build.sh build -DBUILD_TESTING=OFF -DNUVEX_BUILD_BENCH=OFF
if [ ! -x build/host/brannock ]; then
  echo "run: build/host/brannock was not built" >&2
  exit 1
fi
export PATH="$PWD/build/core:$PWD/build/host:$PATH"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec dbus-run-session -- build/host/brannock --headless "$@"
fi
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  exec dbus-run-session -- build/host/brannock "$@"
fi
exec build/host/brannock "$@"
