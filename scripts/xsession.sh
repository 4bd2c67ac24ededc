# Sourced by the scripts that run windows: an X display of our own (Xvfb,
# stopped by its PID on exit) unless one is given, and one wineserver kept
# alive for the whole run.
qh_start_session() {
    if [ -z "${DISPLAY:-}" ] || [ "${QH_OWN_DISPLAY:-yes}" = yes ]; then
        local n=90
        while [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; do n=$((n + 1)); done
        Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        QH_XVFB_PID=$!
        export DISPLAY=:$n
        for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done || true
    fi
    export WINEPREFIX="$BUILD/wineprefix" WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winedbg.exe=d"
    wineserver -p 2>/dev/null || true
    wine cmd /c exit 0 >/dev/null 2>&1 || true   # starts the prefix's services once
    trap qh_stop_session EXIT
}

qh_stop_session() {
    wineserver -k 2>/dev/null || true
    if [ -n "${QH_XVFB_PID:-}" ]; then kill "$QH_XVFB_PID" 2>/dev/null || true; fi
}
