#!/usr/bin/env bash
# Installs what is missing, builds, and runs the toolbar host, which starts the
# mail plug-in. Without a display the host runs headless and prints what its
# Mail button shows; without a session bus it gets a private one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
if [ ! -x build/host/brannock ]; then
  echo "run: the toolbar host is not built yet; built targets are in build/" >&2
  exit 1
fi
args=("$@")
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then args=(--headless "${args[@]}"); fi
export PATH="$PWD/build/core:$PWD/build/host:$PATH"
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  exec dbus-run-session -- build/host/brannock "${args[@]}"
fi
exec build/host/brannock "${args[@]}"
