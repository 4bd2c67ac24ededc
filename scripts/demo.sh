#!/usr/bin/env bash
# Builds the module and walks a host's whole road through it: the handlers it
# defines, its properties and a setting, then an edit of a page's source in
# the (stand-in) editor, and the icon at both sizes.
#   scripts/demo.sh                 the stand-in editor makes a visible edit by itself
#   scripts/demo.sh --interactive   Wine's notepad opens the page for you to edit by
#                                   hand (needs a display); close it to finish
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BUILD:-$ROOT/build}
interactive=no
[ "${1:-}" = "--interactive" ] && interactive=yes

"$ROOT/scripts/setup.sh" || { echo "error: set-up failed (see above); fix that and run scripts/demo.sh again" >&2; exit 1; }
. "$ROOT/scripts/xsession.sh"
if [ "$interactive" = yes ]; then
    [ -n "${DISPLAY:-}" ] || { echo "demo: --interactive needs a display (DISPLAY is not set)" >&2; exit 2; }
    QH_OWN_DISPLAY=no
fi
qh_start_session

OUT="$BUILD/demo"
rm -rf "$OUT"
mkdir -p "$OUT"
# Prints what qhost printed (without the emulator's own lines); a qhost that
# fails ends the demo with one line saying which command it was and, when the
# module showed a box, what it said. The host answers the module's boxes
# itself: on the demo's own display no one would see them.
qhost() {
    local output status=0 said
    output=$("$BUILD/wine-run" "$BUILD/bin/qhost.exe" "$@" 2>&1) || status=$?
    output=$(printf '%s\n' "$output" | { grep -v '^qemu:' || true; } | tr -d '\r')
    printf '%s\n' "$output"
    if [ $status -ne 0 ]; then
        said=$(printf '%s\n' "$output" | sed -n 's/^message box answered: //p' | tr '\n' ' ')
        if [ -n "$said" ]; then
            echo "error: 'qhost $*' failed (exit $status); the module said: $said" >&2
        else
            echo "error: 'qhost $*' failed (exit $status); run scripts/test.sh to see which part of the module or the set-up is broken" >&2
        fi
        exit 1
    fi
}
dll=$(winepath -w "$BUILD/bin/Quillhaven.dll" 2>/dev/null)

echo "== The editor, installed as Scrivlet in C:\\Program Files\\Scrivlet"
install_dir="$WINEPREFIX/drive_c/Program Files/Scrivlet"
mkdir -p "$install_dir"
cp "$BUILD/bin/standin-editor.exe" "$install_dir/Scrivlet.exe"
qhost register-editor 'C:\Program Files\Scrivlet'

echo
echo "== Handlers the module defines"
qhost "$dll" handlers
echo
echo "== Properties"
for p in dialogtitle versionstring abouturl; do qhost "$dll" get "$p"; done
echo
echo "== A setting, stored and read back"
qhost "$dll" set demowidth 640
qhost "$dll" get demowidth

echo
echo "== Editing the source of a page"
cp "$ROOT/demo/sample.html" "$OUT/page.html"
cp "$OUT/page.html" "$OUT/page.before.html"
export QH_EDITOR_LOG
QH_EDITOR_LOG=$(winepath -w "$OUT/editor.log" 2>/dev/null)
# The stand-in editor edits once the host's dialog is on screen: on a busy
# machine that emulates 32-bit code the dialog can take seconds to appear,
# and an editor gone before it leaves nothing to click. The host gives up on
# a dialog that no click closed, with the reason, rather than wait for ever.
export QH_EDITOR_GO="quillhaven-demo-shown-$$"
if [ "$interactive" = yes ]; then
    export QH_EDITOR_DELEGATE='C:\windows\notepad.exe'
    timeout_s=3600
    echo "(edit the page in Notepad, save, and close it)"
else
    export QH_EDITOR_ACTION=substitute
    export QH_EDITOR_FIND='The ferry leaves at nine.'
    export QH_EDITOR_TEXT='The ferry leaves at half past nine, from pier 2.'
    timeout_s=300
    echo "(the stand-in editor changes one sentence, saves and exits)"
fi
qhost --dialog-timeout $timeout_s --signal-when-shown "$QH_EDITOR_GO" --answer-boxes yes \
    "$dll" edit-source "$(winepath -w "$OUT/page.html" 2>/dev/null)"
echo
echo "== What changed in the page"
diff -u --label before --label after "$OUT/page.before.html" "$OUT/page.html" || true

echo
echo "== The icon"
qhost --answer-boxes yes "$dll" draw 16 16 "$(winepath -w "$OUT/icon-small.bmp" 2>/dev/null)"
qhost --answer-boxes yes "$dll" draw 48 48 "$(winepath -w "$OUT/icon-large.bmp" 2>/dev/null)"
echo "icon pictures: $OUT/icon-small.bmp, $OUT/icon-large.bmp"
