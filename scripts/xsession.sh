# Sourced by the scripts that run windows: an X display of our own (Xvfb,
# stopped by its PID on exit) unless one is given, and one wineserver per
# prefix kept alive for the whole run. Expects BUILD to name the build folder.

# Starts Xvfb on a free display; sets DISPLAY and QH_XVFB_PID. A display
# whose lock is missing may still be taken (another root, the same kernel's
# abstract socket): then the next one is tried.
qh_start_xvfb() {
    local n=90 tries
    for tries in 1 2 3 4 5 6 7 8; do
        while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
        Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        QH_XVFB_PID=$!
        export DISPLAY=:$n
        for _ in $(seq 100); do
            [ -e /tmp/.X11-unix/X$n ] && return 0
            kill -0 "$QH_XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$QH_XVFB_PID" 2>/dev/null || true
        n=$((n + 1))
    done
    echo "error: Xvfb did not start; run scripts/setup.sh (it installs xvfb) or set DISPLAY and QH_OWN_DISPLAY=no" >&2
    return 1
}

# The build's Wine prefixes, as "PREFIX ARCH LOCALE" lines (- for the
# session's own locale): the 32-bit prefix, and where scripts/setup.sh has
# made them the 64-bit one (a 32-bit program there runs as on 64-bit
# Windows) and the one in code page 932 (as on a Japanese Windows).
qh_prefixes() {
    [ -f "$BUILD/wineprefix64/.quillhaven-prefix-complete" ] && echo "$BUILD/wineprefix64 win64 -"
    [ -f "$BUILD/wineprefix932/.quillhaven-prefix-complete" ] && echo "$BUILD/wineprefix932 win32 ja_JP.UTF-8"
    echo "$BUILD/wineprefix win32 -"
}

# One wineserver per prefix for the run, on this display; the 32-bit prefix
# is the one exported. MANAGED is N for a quick run on Xvfb, where no window
# manager runs and Wine would wait two seconds for one to acknowledge each
# shown window's withdrawal; Y is Wine's default (the tests keep it: with N,
# Wine 8 under qemu-user lost a closed message box's window in X and died).
qh_prepare_wine() {
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d"
    local prefix arch locale
    while read -r prefix arch locale; do
        export WINEPREFIX=$prefix WINEARCH=$arch
        local lang=()
        [ "$locale" = - ] || lang=(env LANG="$locale" LC_ALL="$locale")
        # A server left from a run on another display would hand its display on.
        wineserver -k 2>/dev/null || true
        "${lang[@]}" wineserver -p 2>/dev/null || true
        if ! "${lang[@]}" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1" /f >/dev/null 2>&1; then
            echo "error: Wine cannot run in $WINEPREFIX; run scripts/setup.sh (it remakes a broken prefix)" >&2
            return 1
        fi
        # The fault sweep closes hundreds of message boxes, and each managed
        # window's withdrawal, with no window manager to acknowledge it,
        # costs Wine a 2 s wait: natively its windows are unmanaged. Under
        # emulation they stay managed (see MANAGED above).
        "${lang[@]}" wine reg add 'HKCU\Software\Wine\AppDefaults\fault_sweep_tests.exe\X11 Driver' /v Managed \
            /d "$(qh_emulated && echo Y || echo N)" /f >/dev/null 2>&1 || true
    done < <(qh_prefixes)
}

# True where 32-bit code runs through qemu's user-mode emulation.
qh_emulated() {
    grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386
}

# qh_start_session [MANAGED]: N (the default) on our own Xvfb, Y on a display
# that was given.
qh_start_session() {
    local managed=Y
    if [ -z "${DISPLAY:-}" ] || [ "${QH_OWN_DISPLAY:-yes}" = yes ]; then
        qh_start_xvfb || exit 1
        managed=${1:-N}
    fi
    qh_prepare_wine "$managed" || exit 1
    trap qh_stop_session EXIT
}

qh_stop_session() {
    local prefix arch locale
    while read -r prefix arch locale; do
        WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
    done < <(qh_prefixes)
    if [ -n "${QH_XVFB_PID:-}" ]; then kill "$QH_XVFB_PID" 2>/dev/null || true; fi
}
