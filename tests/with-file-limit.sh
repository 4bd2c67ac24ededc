#!/usr/bin/env bash
# Runs a test program with a 2 MiB file-size limit and SIGXFSZ ignored, so
# that a larger write comes back short instead of ending the process.
#   with-file-limit.sh WINE-RUN PROGRAM [ARGS...]
set -euo pipefail
wine_run=$1
shift
# The wineserver saves the registry when it ends: it must never run under the
# limit, so it is started first if the session has not started one.
WINEPREFIX=$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$wine_run") wineserver -p10 2>/dev/null || true
trap '' XFSZ
ulimit -f 2048
exec "$wine_run" "$@"
