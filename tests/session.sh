#!/usr/bin/env bash
# The test session for a plain `ctest` run: with no display given, an Xvfb
# of its own that outlives this script until `session.sh stop`, its display
# recorded in BUILD/session/display where wine-run finds it.
#   session.sh start|stop SOURCE_DIR BUILD_DIR
set -euo pipefail
what=$1
ROOT=$(cd "$2" && pwd)
BUILD=$(cd "$3" && pwd)
state="$BUILD/session"
. "$ROOT/scripts/xsession.sh"
case "$what" in
start)
    if [ -n "${DISPLAY:-}" ]; then
        exit 0  # a session was given (scripts/test.sh, or a desktop)
    fi
    "$ROOT/scripts/setup.sh" --prefix >/dev/null || { echo "error: the Wine prefix could not be made; run scripts/setup.sh" >&2; exit 1; }
    mkdir -p "$state"
    qh_start_xvfb
    echo "$QH_XVFB_PID" >"$state/xvfb.pid"
    echo "$DISPLAY" >"$state/display"
    qh_prepare_wine Y
    ;;
stop)
    if [ -f "$state/xvfb.pid" ]; then
        QH_XVFB_PID=$(cat "$state/xvfb.pid")
        qh_stop_session
    fi
    rm -rf "$state"
    ;;
esac
