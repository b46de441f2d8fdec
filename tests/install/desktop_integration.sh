#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks the desktop integration:
# the program, its menu entry with the Print action, the icon, and the type of
# session files, by name and by signature, in the refreshed MIME cache.
set -euo pipefail
build_dir=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null 2>&1
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -x "$prefix/bin/midwire" ] || fail "bin/midwire missing"
desktop="$prefix/share/applications/midwire.desktop"
[ -f "$desktop" ] || fail "desktop entry missing"
grep -qx 'Exec=midwire %f' "$desktop" || fail "desktop entry does not open a file"
grep -qx 'MimeType=application/x-midwire-session;' "$desktop" || fail "desktop entry names no session type"
grep -qx 'Exec=midwire print %f' "$desktop" || fail "desktop entry has no Print action"
[ -f "$prefix/share/icons/hicolor/scalable/apps/midwire.svg" ] || fail "icon missing"
[ -f "$prefix/share/mime/packages/midwire.xml" ] || fail "MIME type missing"

if command -v update-mime-database >/dev/null; then
    grep -q 'application/x-midwire-session:\*\.mwx' "$prefix/share/mime/globs2" || fail "MIME cache has no *.mwx"
    grep -aq 'Midwire ' "$prefix/share/mime/magic" || fail "MIME cache has no signature match"
fi
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop entry does not validate"
fi
echo "desktop integration installed and registered"
