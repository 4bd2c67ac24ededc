#!/usr/bin/env bash
# The set-up's package install against a mirror caught mid-sync, with a
# stand-in apt-get on the PATH instead of the network:
#   apt-install.sh SOURCE_DIR
# Prints one line per case and "N passed, N failed" last.
set -uo pipefail
src=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qh-apt.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# The stand-in records each call and answers as APT_SCRIPT says:
#   update:  "fail" (a mirror in mid-sync) or "ok", one word per call
#   install: "skew" fails unless the release's suite is preferred (-t),
#            "broken" always fails, "ok" succeeds
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "$*" >>"$APT_CALLS"
case "$1" in
update)
    n=$(grep -c '^update' "$APT_CALLS")
    answer=$(echo "$APT_UPDATES" | cut -d' ' -f"$n")
    if [ "${answer:-ok}" = fail ]; then
        echo "E: Failed to fetch http://mirror/dists/x/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi
    ;;
install)
    case "$APT_INSTALL" in
    ok) ;;
    skew)
        [[ " $* " == *" -t "* ]] && exit 0
        echo " libwine : Depends: libgstreamer-plugins-base1.0-0 (>= 1.0.0) but it is not installable"
        echo "E: Unable to correct problems, you have held broken packages."
        exit 100
        ;;
    *)
        echo "E: Unable to locate package $3"
        exit 100
        ;;
    esac
    ;;
esac
EOF
chmod +x "$work/bin/apt-get"

passed=0
failed=0
pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1: $2"; failed=$((failed + 1)); }
# One install of "pkg" in a shell of its own: its exit code, its calls and
# what it printed.
run() {  # UPDATES INSTALL
    : >"$work/calls"
    APT_CALLS="$work/calls" APT_UPDATES=$1 APT_INSTALL=$2 QH_APT_PAUSE=0 PATH="$work/bin:$PATH" \
        bash -c 'as_root() { "$@"; }; . "$0"; apt_install pkg; echo "installed"' \
        "$src/scripts/apt.sh" >"$work/out" 2>&1
    status=$?
    updates=$(grep -c '^update' "$work/calls")
    calls=$(tr '\n' ';' <"$work/calls")
    printed=$(tr '\n' ';' <"$work/out")
}

name="an update that fails once is tried again, then the install goes on"
run "fail ok" ok
if [ $status -eq 0 ] && [ "$updates" -eq 2 ] && grep -q '^installed' "$work/out"; then pass "$name"
else fail "$name" "exit $status, calls: $calls"; fi

name="an update that keeps failing is tried three times, and the install from the release's suite mends the skew"
run "fail fail fail fail" skew
if [ $status -eq 0 ] && [ "$updates" -eq 3 ] && grep -q -- '-t ' "$work/calls"; then pass "$name"
else fail "$name" "exit $status, calls: $calls"; fi

name="an install that can't be mended fails, naming apt's line and the mirror"
run "fail fail fail" broken
if [ $status -ne 0 ] && ! grep -q '^installed' "$work/out" &&
    grep -q 'apt-get said: E: Unable to locate package' "$work/out" &&
    grep -q 'mid-sync usually clears within the hour' "$work/out"; then pass "$name"
else fail "$name" "exit $status, printed: $printed"; fi

name="with the lists fetched, a failed install says nothing of a mirror"
run "ok" broken
if [ $status -ne 0 ] && ! grep -q 'mid-sync' "$work/out"; then pass "$name"
else fail "$name" "exit $status, printed: $printed"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
