#!/usr/bin/env bash
# Runs the benchmark: each figure of the module beside a floor measured in the
# same run (the same work done directly by a host). Not part of the tests.
#   scripts/bench.sh [LAUNCHES]     (default 200 editor launches)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BUILD:-$ROOT/build}
"$ROOT/scripts/setup.sh" >/dev/null
. "$ROOT/scripts/xsession.sh"
qh_start_session
dir="$WINEPREFIX/drive_c/qh-bench-editor"
mkdir -p "$dir"
cp "$BUILD/bin/standin-editor.exe" "$dir/Scrivlet.exe"
"$BUILD/wine-run" "$BUILD/bin/qhost.exe" register-editor 'C:\qh-bench-editor' >/dev/null 2>&1
echo "machine: $(nproc) cores, $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386 && echo "32-bit code runs through qemu-i386 user-mode emulation here"
"$BUILD/wine-run" "$BUILD/bin/qh_bench.exe" "$(winepath -w "$BUILD/bin/Quillhaven.dll" 2>/dev/null)" 'C:\qh-bench-editor' "${1:-200}" 2>&1 |
    grep --line-buffered -v '^qemu:' | tr -d '\r'
