# Sourced by the set-up scripts: apt_install PACKAGE... installs packages
# from Debian's mirror, and copes with a mirror that is caught mid-sync.
# Needs as_root from the script that sources it.

# A mirror is now and then mid-sync: one index arrives with the wrong size,
# apt-get update fails, and that architecture's list is left behind the
# others, so the 64-bit and 32-bit halves of a library no longer have one
# version in common. The update is tried a few times; the install is tried
# even when an index still failed, then once more preferring the release's
# own suite, whose versions both halves have. QH_APT_PAUSE is the pause
# between updates in seconds.
apt_install() {
    local log tries=3 try updated=no
    log=$(mktemp)
    for try in $(seq 1 $tries); do
        if as_root apt-get update -q >"$log" 2>&1 && ! grep -q '^E:' "$log"; then
            updated=yes
            break
        fi
        grep -E '^(E|W|Err):' "$log" | head -n 3 >&2 || true
        if [ "$try" -lt $tries ]; then
            echo "setup: apt-get update failed (try $try of $tries); trying again in ${QH_APT_PAUSE:-20} s" >&2
            sleep "${QH_APT_PAUSE:-20}"
        fi
    done
    [ $updated = yes ] || echo "setup: apt-get update still fails; installing from the package lists apt has" >&2
    local install=(apt-get install -y -q --no-install-recommends)
    if ! DEBIAN_FRONTEND=noninteractive as_root "${install[@]}" "$@" >"$log" 2>&1; then
        local suite
        suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
        if [ -z "$suite" ] ||
            ! DEBIAN_FRONTEND=noninteractive as_root "${install[@]}" -t "$suite" "$@" >>"$log" 2>&1; then
            local why
            why=$(grep -E '^(E:| .* : Depends:)' "$log" | head -n 1)
            tail -n 15 "$log" >&2
            rm -f "$log"
            echo "error: could not install $*" >&2
            echo "error: apt-get said: ${why:-(see above)}" >&2
            [ $updated = yes ] ||
                echo "error: a package index could not be fetched: a mirror in mid-sync usually clears within the hour; run this again then" >&2
            exit 1
        fi
    fi
    rm -f "$log"
}
