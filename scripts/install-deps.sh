#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing, from one of two sets:
#   scripts/install-deps.sh run    what building and running the programs needs
#   scripts/install-deps.sh demo   that, plus the mail server of scripts/run.sh --demo
#   scripts/install-deps.sh test   that, plus the test peers and the developer tools
# Only missing packages are installed, and the package lists are refreshed only
# when an install cannot find something.
#
# It never stops, disables or kills anything. When this run installs a package
# whose maintainer scripts would start a system service (the mail server the
# tests use), a temporary policy-rc.d keeps that service from starting; the
# tests run private instances of their own on loopback.
set -euo pipefail

RUN_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libcurl4-openssl-dev libssl-dev openssl ca-certificates
  libsqlite3-dev libcanberra-dev
  dbus dbus-bin dbus-daemon xdg-utils
  fonts-dejavu-core
  # Mail in Japanese, Chinese or Korean shows as boxes without a CJK font;
  # this one is the smallest that covers them (5 MB).
  fonts-wqy-microhei
  qt6-webengine-dev qt6-webchannel-dev libqt6webenginecore6-bin
  # build/ is one tree for running, testing and the benchmarks, and those
  # build on the test support (scripts/build.sh).
  libgtest-dev libgmock-dev libbenchmark-dev
)
TEST_PACKAGES=(
  git python3 procps
  dovecot-core dovecot-pop3d dovecot-imapd fetchmail
  chromium
  xauth
  clang clang-format clang-tidy libclang-rt-14-dev lld
  xvfb
  xdotool
  desktop-file-utils appstream lintian dpkg-dev
  weston qt6-wayland
)
# Their maintainer scripts start a system service through invoke-rc.d.
SERVICE_PACKAGES=(dovecot-core dovecot-pop3d dovecot-imapd)

# Overridable only so that the script's own test can watch it.
POLICY_RC_D=${NUVEX_POLICY_RC_D:-/usr/sbin/policy-rc.d}

case "${1:-test}" in
run) wanted=("${RUN_PACKAGES[@]}") ;;
demo) wanted=("${RUN_PACKAGES[@]}" "${SERVICE_PACKAGES[@]}") ;;
test) wanted=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
*)
  echo "usage: $0 run|demo|test" >&2
  exit 2
  ;;
esac

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then SUDO=(sudo); fi

installs_service=false
for p in "${missing[@]}"; do
  for s in "${SERVICE_PACKAGES[@]}"; do
    if [ "$p" = "$s" ]; then installs_service=true; fi
  done
done

policy_is_ours=false
remove_policy() {
  if $policy_is_ours; then
    "${SUDO[@]}" rm -f "$POLICY_RC_D" || echo "install-deps: could not remove $POLICY_RC_D; remove it by hand" >&2
    policy_is_ours=false
  fi
}
trap remove_policy EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

if $installs_service; then
  if [ -e "$POLICY_RC_D" ]; then
    # Someone else's policy decides; it is not ours to replace or remove.
    echo "install-deps: $POLICY_RC_D exists and is left as it is; it decides whether dovecot starts" >&2
  else
    policy_is_ours=true
    printf '#!/bin/sh\n# Written by scripts/install-deps.sh for one install; no service starts.\nexit 101\n' |
      "${SUDO[@]}" tee "$POLICY_RC_D" >/dev/null
    "${SUDO[@]}" chmod 755 "$POLICY_RC_D"
  fi
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists at all; refresh once when the
# first attempt cannot find a package.
if ! "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${SUDO[@]}" apt-get update
  "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

if $installs_service; then
  echo "install-deps: dovecot was installed for the tests and not started; Debian enables its" \
    "service for the next boot ('systemctl disable dovecot' if this machine should not serve mail)" >&2
fi
