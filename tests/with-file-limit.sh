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
# Under qemu-user (32-bit code emulated) the ignored SIGXFSZ lasts only until
# the emulated process's first exec, and Wine's loader execs itself through
# its preloader: the preloader is started directly and told not to exec
# again, which natively comes to the same thing.
for dir in /usr/lib/wine /usr/lib/i386-linux-gnu/wine/i386-unix; do
    if [ -x "$dir/wine-preloader" ] && [ -x "$dir/wine" ]; then
        export QH_WINE="$dir/wine-preloader $dir/wine" WINELOADERNOEXEC=1
        break
    fi
done
exec "$wine_run" "$@"
