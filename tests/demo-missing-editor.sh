#!/usr/bin/env bash
# The demo where the editor can't be started (EditorPath names no program):
# it must end by itself, non-zero, and print what the module's box said,
# rather than sit on a box no one sees on its display.
#   demo-missing-editor.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
ROOT=$1
BUILD=$2
export QH_BUILD=$BUILD
# The session's display, given to the demo rather than one of its own.
if [ -z "${DISPLAY:-}" ] && [ -f "$BUILD/session/display" ]; then
    DISPLAY=$(cat "$BUILD/session/display")
    export DISPLAY
fi
export QH_OWN_DISPLAY=no
qhost() { "$BUILD/wine-run" "$BUILD/bin/qhost.exe" "$@" >/dev/null 2>&1; }

qhost set-editor-path 'C:\nowhere\Scrivlet.exe'
start=$(date +%s)
output=$(timeout 300 "$ROOT/scripts/demo.sh" 2>&1)
status=$?
took=$(( $(date +%s) - start ))
qhost clear-editor-path
printf '%s\n' "$output" | tail -n 8

if [ $status -eq 124 ]; then
    echo "FAILED: the demo was still running after 300 s"
    exit 1
fi
if [ $status -eq 0 ]; then
    echo "FAILED: the demo answered success with no editor to start"
    exit 1
fi
if ! printf '%s\n' "$output" | grep -q 'error: .*the module said: "Scrivlet not found\.'; then
    echo "FAILED: the demo's last words do not say what the module's box said"
    exit 1
fi
echo "the demo ended in $took s with exit $status and the box's words"
