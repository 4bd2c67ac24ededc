# Sourced by the scripts that run windows: an X display of our own (Xvfb,
# stopped by its PID on exit) unless one is given, and one wineserver kept
# alive for the whole run. Expects BUILD to name the build folder.

# Starts Xvfb on a free display; sets DISPLAY and QH_XVFB_PID.
qh_start_xvfb() {
    local n=90
    while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
    Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    QH_XVFB_PID=$!
    export DISPLAY=:$n
    for _ in $(seq 100); do
        [ -e /tmp/.X11-unix/X$n ] && return 0
        kill -0 "$QH_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "error: Xvfb did not start on :$n; run scripts/setup.sh (it installs xvfb) or set DISPLAY and QH_OWN_DISPLAY=no" >&2
    return 1
}

# One wineserver for the run, on this display. MANAGED is N on Xvfb, where no
# window manager runs: Wine would wait two seconds for one to acknowledge
# each managed window's withdrawal.
qh_prepare_wine() {
    export WINEPREFIX="$BUILD/wineprefix" WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d"
    # A server left from a run on another display would hand its display on.
    wineserver -k 2>/dev/null || true
    wineserver -p 2>/dev/null || true
    if ! wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$1" /f >/dev/null 2>&1; then
        echo "error: Wine cannot run in $WINEPREFIX; run scripts/setup.sh (it remakes a broken prefix)" >&2
        return 1
    fi
}

qh_start_session() {
    local managed=Y
    if [ -z "${DISPLAY:-}" ] || [ "${QH_OWN_DISPLAY:-yes}" = yes ]; then
        qh_start_xvfb || exit 1
        managed=N
    fi
    qh_prepare_wine $managed || exit 1
    trap qh_stop_session EXIT
}

qh_stop_session() {
    wineserver -k 2>/dev/null || true
    if [ -n "${QH_XVFB_PID:-}" ]; then kill "$QH_XVFB_PID" 2>/dev/null || true; fi
}
