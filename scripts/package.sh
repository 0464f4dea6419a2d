#!/usr/bin/env bash
# Installs a built tree into a staging folder, checks what a desktop reads from
# it, and makes the Debian package:
#   scripts/package.sh [build-dir]
# Checks: desktop-file-validate on the desktop entry, appstreamcli on the
# AppStream file, the package's file list against resources/package/files.txt,
# and lintian (any error fails). The package lands in <build-dir>/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
out=$PWD/$dir/package
rm -rf "$out"
mkdir -p "$out"

DESTDIR=$out/root cmake --install "$dir" --prefix /usr >"$out/install.log"
desktop-file-validate "$out"/root/usr/share/applications/*.desktop
appstreamcli validate --no-net --pedantic "$out"/root/usr/share/metainfo/*.metainfo.xml >"$out/appstream.log" ||
  {
    cat "$out/appstream.log" >&2
    exit 1
  }

(cd "$dir" && cpack -G DEB -B "$out" >"$out/cpack.log") || {
  cat "$out/cpack.log" >&2
  exit 1
}
deb=$(ls "$out"/*.deb)

# Files only: folders follow from them.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | LC_ALL=C sort >"$out/files.txt"
if ! diff -u resources/package/files.txt "$out/files.txt"; then
  echo "package: the file list differs from resources/package/files.txt" >&2
  exit 1
fi
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || {
  echo "package: Depends lacks the libraries the programs link: $(dpkg-deb -f "$deb" Depends)" >&2
  exit 1
}

# Errors fail; warnings and notes are printed for a reader.
lintian --fail-on error "$deb" 2>&1 | grep -v 'running with root privileges' | tee "$out/lintian.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || exit 1
echo "package: $(basename "$deb"), $(wc -l <"$out/files.txt") files, lintian without errors"
