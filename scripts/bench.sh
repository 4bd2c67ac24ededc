#!/usr/bin/env bash
# Runs the benchmark: each figure of the module beside a floor measured in the
# same run (the same work done directly by a host). Not part of the tests.
#   scripts/bench.sh [CYCLES [STOPS]]
#   scripts/bench.sh --long
# The soak runs CYCLES whole edit cycles that measure the dismissal and its
# two floors in turns, in blocks of 100 each (default 3000), and STOPS more
# whole cycles that each carry a watcher stop (default 100). --long is the long soak:
# 10,000 whole cycles, half of them with a stop.
set -euo pipefail
if [ "${1:-}" = --long ]; then
    set -- 5000 5000
fi
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BUILD:-$ROOT/build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$ROOT/scripts/setup.sh" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "error: set-up failed (its last lines are above); run scripts/setup.sh to see it whole" >&2
    exit 1
fi
. "$ROOT/scripts/xsession.sh"
qh_start_session
dir="$WINEPREFIX/drive_c/qh-bench-editor"
mkdir -p "$dir"
cp "$BUILD/bin/standin-editor.exe" "$dir/Scrivlet.exe"
if ! "$BUILD/wine-run" "$BUILD/bin/qhost.exe" register-editor 'C:\qh-bench-editor' >"$log" 2>&1; then
    cat "$log" >&2
    echo "error: could not register the stand-in editor in $WINEPREFIX; remove that folder and run scripts/setup.sh" >&2
    exit 1
fi
echo "machine: $(nproc) cores, $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), Wine $(wine --version 2>/dev/null | sed 's/^wine-//')"
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
    echo "32-bit code runs through qemu-i386 user-mode emulation here"
else
    echo "32-bit code runs natively here"
fi
# The module's Windows path through the prefix's Z: drive (the whole file
# system), worked out here: under emulation a winepath run once hung.
plugin="Z:$(printf '%s' "$BUILD/bin/Quillhaven.dll" | tr / '\\')"
"$BUILD/wine-run" "$BUILD/bin/qh_bench.exe" "$plugin" \
    'C:\qh-bench-editor' "${1:-3000}" "${2:-100}" 2>&1 |
    grep --line-buffered -v '^qemu:' | stdbuf -oL tr -d '\r'
