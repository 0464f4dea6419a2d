#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Idempotent: only missing packages are installed, and the package lists are
# refreshed only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  libsqlite3-dev libcanberra-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-bin dbus-daemon xdg-utils
  dovecot-core dovecot-pop3d fetchmail
  fonts-dejavu-core python3 procps
  clang-format clang-tidy
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists at all; refresh once when the
# first attempt cannot find a package.
if ! $SUDO apt-get install -y --no-install-recommends "${missing[@]}"; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
# dovecot's package starts the system service; the tests run their own
# private instances and never use it.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl disable --now dovecot >/dev/null 2>&1 || true; fi
pkill -x dovecot >/dev/null 2>&1 || true
