#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 or 13 machine,
# builds everything into build/, and makes the build's private Wine prefixes.
# Safe to run again: it does only what is still missing.
#   scripts/setup.sh            all of it
#   scripts/setup.sh --module   the packages and the module alone (no prefix)
#   scripts/setup.sh --prefix   only the Wine prefixes (the packages are there)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${QH_BUILD:-$ROOT/build}
mode=${1:-all}
case "$mode" in all | --module | --prefix) ;; *) echo "usage: scripts/setup.sh [--module | --prefix]" >&2; exit 2 ;; esac

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
fail() { echo "error: $*" >&2; exit 1; }

. "$ROOT/scripts/apt.sh"

if [ "$mode" != --prefix ]; then
    packages=(cmake ninja-build googletest g++-mingw-w64-i686-posix binutils-mingw-w64-i686
              wine wine32:i386 wine32-preloader:i386 wine64 xvfb xauth zip locales python3)
    missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "setup: installing ${missing[*]}"
        dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
        apt_install "${missing[@]}"
    fi

    # The code page 932 prefix runs Wine in a Japanese locale, which a
    # fresh system has not generated.
    if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
        echo "setup: generating the locale ja_JP.UTF-8"
        as_root localedef -i ja_JP -f UTF-8 ja_JP.UTF-8 || fail "could not generate the locale ja_JP.UTF-8"
    fi

    # Some machines run 64-bit code only (a 32-bit ELF fails with ENOEXEC);
    # there the 32-bit Wine loader runs through qemu's user-mode emulation.
    # The qemu registered with binfmt_misc must be a static one (F flag: the
    # kernel keeps it open), so that it serves a chroot without qemu's
    # libraries too, such as the fresh roots of scripts/fresh-debian.sh.
    binfmt=/proc/sys/fs/binfmt_misc
    is_static() { ldd "$1" 2>&1 | grep -Eq 'statically linked|not a dynamic executable'; }
    registered=$(sed -n 's/^interpreter //p' "$binfmt/qemu-i386" 2>/dev/null || true)
    dynamic_qemu=no
    if [ -n "$registered" ] && [ -e "$registered" ] && ! is_static "$registered"; then
        dynamic_qemu=yes
    fi
    if [ $dynamic_qemu = yes ] || ! /lib/ld-linux.so.2 --help >/dev/null 2>&1; then
        dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed' ||
            apt_install qemu-user-static
        static_qemu=
        for q in /usr/bin/qemu-i386-static /usr/bin/qemu-i386; do
            if [ -x "$q" ] && is_static "$q"; then static_qemu=$q; break; fi
        done
        [ -n "$static_qemu" ] || fail "no statically linked qemu-i386 was installed"
        [ -e "$binfmt/register" ] || as_root mount -t binfmt_misc binfmt_misc "$binfmt"
        if [ "$registered" != "$static_qemu" ]; then
            echo "setup: 32-bit programs run through $static_qemu here"
            [ -e "$binfmt/qemu-i386" ] && { echo -1 | as_root tee "$binfmt/qemu-i386" >/dev/null; }
            printf '%s' ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$static_qemu:OCF" |
                as_root tee "$binfmt/register" >/dev/null
        fi
        /lib/ld-linux.so.2 --help >/dev/null 2>&1 || fail "this machine cannot run 32-bit programs, even through qemu-i386"
    fi

    if [ ! -f "$BUILD/build.ninja" ]; then
        cmake -G Ninja -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo || fail "configuring failed; remove $BUILD and run scripts/setup.sh again"
    fi
    if [ "$mode" = --module ]; then
        cmake --build "$BUILD" --target Quillhaven || fail "the module's build failed; the compiler's message is above"
        exit 0
    fi
    cmake --build "$BUILD" || fail "the build failed; the compiler's message is above"
fi

# Two prefixes: a 32-bit one, as 32-bit Windows, and a 64-bit one, where the
# same 32-bit programs run as on 64-bit Windows (WOW64, with its two registry
# views). A prefix is complete only once it carries the marker written last;
# one left half-made by an interrupted or failed run is made anew.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d"
make_prefix() {
    export WINEPREFIX=$1 WINEARCH=$2
    if [ -n "${3:-}" ]; then export LANG=$3 LC_ALL=$3; else unset LC_ALL; LANG=$QH_SETUP_LANG; fi
    local marker="$WINEPREFIX/.quillhaven-prefix-complete"
    [ -f "$marker" ] && return 0
    echo "setup: making the $WINEARCH Wine prefix $WINEPREFIX"
    local start log
    start=$(date +%s)
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    log="$BUILD/wineboot-$WINEARCH.log"
    mkdir -p "$BUILD"
    # No display is needed to make a prefix; one given must not be used by the
    # services it leaves running.
    if ! env -u DISPLAY wineboot -i >"$log" 2>&1 || ! wineserver -w || [ ! -f "$WINEPREFIX/system.reg" ]; then
        tail -n 5 "$log" >&2
        fail "wineboot could not make $WINEPREFIX (log: $log); check that wine32 and wine64 are installed, then run scripts/setup.sh again"
    fi
    # A crash in a program under test ends it instead of starting a debugger.
    env -u DISPLAY wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f >/dev/null 2>&1 ||
        fail "could not write the prefix's registry in $WINEPREFIX; run scripts/setup.sh again"
    env -u DISPLAY wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$marker"
    echo "setup: prefix made in $(( $(date +%s) - start )) s"
}
QH_SETUP_LANG=${LANG:-}
make_prefix "$BUILD/wineprefix64" win64
make_prefix "$BUILD/wineprefix" win32
# As a Japanese Windows: the ANSI code page 932 (Shift-JIS).
make_prefix "$BUILD/wineprefix932" win32 ja_JP.UTF-8
