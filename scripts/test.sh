#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test under Wine and Xvfb.
#   scripts/test.sh [--whole] [CTEST OPTIONS...]
# The prefixes run side by side, each program alone in its own. By default
# the fault sweep walks in the 64-bit prefix only the roads that prefix
# changes; --whole walks every road in every prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scope=(-LE whole)
if [ "${1:-}" = --whole ]; then
    scope=()
    shift
fi
ROOT=$PWD
BUILD=${QH_BUILD:-$ROOT/build}
"$ROOT/scripts/setup.sh" || { echo "error: set-up failed (see above); fix that and run scripts/test.sh again" >&2; exit 1; }
. "$ROOT/scripts/xsession.sh"
# Natively Wine's windows are unmanaged: with no window manager on Xvfb,
# each message box a test closes would cost a 2 s wait for one. Under
# emulation they stay managed (see scripts/xsession.sh).
qh_start_session "$(qh_emulated && echo Y || echo N)"
start=$(date +%s)
# Where 32-bit code runs through qemu's user-mode emulation, Wine itself now
# and then loses a window or a process; a test program that fails there gets
# up to two more runs. Natively every program runs once.
repeat=()
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
    echo "note: 32-bit programs run emulated here; a failed test program is run again (at most 3 runs)"
    repeat=(--repeat until-pass:3)
fi
set +e
ctest --test-dir "$BUILD" --output-on-failure --timeout 300 -j "${QH_TEST_JOBS:-4}" "${scope[@]}" "${repeat[@]}" "$@"
rc=$?
set -e
echo "tests ran in $(( $(date +%s) - start )) s"
exit $rc
