#!/usr/bin/env bash
# Builds the module as it ships and packs a release:
#   OUTDIR/Quillhaven-<version>-win32.zip   Quillhaven.dll, INSTALL.txt, SHA256SUMS
#   OUTDIR/Quillhaven.dll.debug             its debug information, for crash reports
# The same sources give the same bytes wherever and whenever they are packed.
#   scripts/package.sh [OUTDIR]     (default build/dist); prints the zip's path last
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BUILD:-$ROOT/build}
out=${1:-$BUILD/dist}
fail() { echo "error: $*" >&2; exit 1; }

"$ROOT/scripts/setup.sh" --module || fail "set-up or the module's build failed (see above); fix that and run scripts/package.sh again"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $BUILD/CMakeCache.txt; remove $BUILD and run scripts/package.sh again"

# Every file gets the time of the sources' last commit (or SOURCE_DATE_EPOCH),
# fixed permissions and a fixed order, and zip keeps no owner or local time.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 1767225600)}
stage=$(mktemp -d "${TMPDIR:-/tmp}/qh-package.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cmake --install "$BUILD" --prefix "$stage" >/dev/null || fail "cmake --install into $stage failed"
(cd "$stage" && sha256sum Quillhaven.dll INSTALL.txt >SHA256SUMS)
chmod 644 "$stage"/Quillhaven.dll "$stage"/INSTALL.txt "$stage"/SHA256SUMS "$stage"/debug/Quillhaven.dll.debug
touch -d "@$epoch" "$stage"/Quillhaven.dll "$stage"/INSTALL.txt "$stage"/SHA256SUMS "$stage"/debug/Quillhaven.dll.debug

mkdir -p "$out"
out=$(cd "$out" && pwd)
zip="$out/Quillhaven-$version-win32.zip"
rm -f "$zip"
(cd "$stage" && TZ=UTC zip -X -q "$zip" Quillhaven.dll INSTALL.txt SHA256SUMS) || fail "zip could not write $zip"
cp -p "$stage/debug/Quillhaven.dll.debug" "$out/Quillhaven.dll.debug"
echo "module: $(stat -c %s "$stage/Quillhaven.dll") bytes, sha256 $(cut -d' ' -f1 <"$stage/SHA256SUMS" | head -1)"
echo "zip:    $(stat -c %s "$zip") bytes, sha256 $(sha256sum <"$zip" | cut -d' ' -f1)"
echo "$zip"
