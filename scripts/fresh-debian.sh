#!/usr/bin/env bash
# Runs a command of this project on a fresh, minimal Debian of the given
# release, as a new user would run it: a minbase root made with debootstrap
# (kept as a pristine base and copied anew for every run), the project cloned
# into it from this checkout's HEAD, the command run inside as root.
#   scripts/fresh-debian.sh SUITE [COMMAND...]     e.g. trixie, bookworm
# The default command is the README's test command, scripts/test.sh.
# While the root runs emulated 32-bit code, so does the rest of the machine:
# the binfmt entry is the kernel's. Run nothing else of the kind meanwhile.
# Roots live under QH_ROOTS (default /var/tmp/quillhaven-roots); the
# packages the runs download are kept there too, so a later run is quicker.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

[ $# -ge 1 ] || { echo "usage: scripts/fresh-debian.sh SUITE [COMMAND...]" >&2; exit 2; }
suite=$1
shift
[ $# -gt 0 ] || set -- scripts/test.sh
case "$suite" in *[!a-z0-9]* | "") echo "error: '$suite' is not a Debian release name" >&2; exit 2 ;; esac

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
fail() { echo "error: fresh-debian $suite: $*" >&2; exit 1; }
step_start=0
step() { step_start=$(date +%s); echo "fresh-debian $suite: $*"; }
step_done() { echo "fresh-debian $suite: ... $(( $(date +%s) - step_start )) s"; }

roots=${QH_ROOTS:-/var/tmp/quillhaven-roots}
base="$roots/$suite.base"
run="$roots/$suite.run"
archives="$roots/$suite.archives"
mirror=${QH_DEBIAN_MIRROR:-http://deb.debian.org/debian}

. "$ROOT/scripts/apt.sh"
tools=()
for tool in debootstrap git; do
    command -v "$tool" >/dev/null || tools+=("$tool")
done
[ ${#tools[@]} -eq 0 ] || apt_install "${tools[@]}"
[ -e "/usr/share/debootstrap/scripts/$suite" ] || fail "this debootstrap does not know the release '$suite'"
as_root mkdir -p "$roots" "$archives"

# Where 32-bit code runs emulated, the kernel's binfmt_misc entry is shared
# with the root: for the run it names the root's own qemu (a newer release's
# Wine may need a newer qemu, as Wine 10 does), as a fresh install of that
# release would have it, and the machine's entry is put back afterwards.
binfmt=/proc/sys/fs/binfmt_misc
saved_binfmt=
register_qemu() {  # INTERPRETER FLAGS
    [ -e "$binfmt/qemu-i386" ] && { echo -1 | as_root tee "$binfmt/qemu-i386" >/dev/null; }
    printf '%s' ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$1:$2" |
        as_root tee "$binfmt/register" >/dev/null
}

# Everything the run mounts, starts or registers goes on every exit path, an
# interrupted one included.
cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    if [ -d "$run" ]; then
        for proc in /proc/[0-9]*; do
            [ "$(readlink "$proc/root" 2>/dev/null)" = "$run" ] && as_root kill -9 "${proc#/proc/}" 2>/dev/null
        done
    fi
    if [ -n "$saved_binfmt" ]; then
        register_qemu $saved_binfmt || echo "error: could not put back the binfmt entry for qemu-i386 ($saved_binfmt)" >&2
    fi
    if [ -d "$run" ]; then
        for mount in $(awk -v r="$run" 'index($2, r "/") == 1 { print $2 }' /proc/mounts | sort -r); do
            as_root umount "$mount" 2>/dev/null || as_root umount -l "$mount" 2>/dev/null || true
        done
    fi
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A leftover run (an earlier one killed outright) must hold no mounts before
# it is removed: removing through a bind mount would empty the machine's /dev.
if [ -d "$run" ]; then
    (cleanup) || true
    awk -v r="$run" 'index($2, r "/") == 1 { found = 1 } END { exit !found }' /proc/mounts &&
        fail "$run still holds mounts; unmount them and try again"
    as_root rm -rf --one-file-system "$run"
fi

if [ ! -f "$base/.quillhaven-base-complete" ]; then
    step "making a minimal $suite root with debootstrap (once; later runs copy it)"
    as_root rm -rf --one-file-system "$base"
    as_root debootstrap --variant=minbase "$suite" "$base" "$mirror" >"$roots/$suite.debootstrap.log" 2>&1 ||
        { tail -n 5 "$roots/$suite.debootstrap.log" >&2; fail "debootstrap failed (log: $roots/$suite.debootstrap.log)"; }
    as_root touch "$base/.quillhaven-base-complete"
    step_done
fi

step "copying the base root to $run"
as_root cp -a "$base" "$run"
as_root rm -f "$run/.quillhaven-base-complete"
# As an installed system has them: the release's security and point updates.
security=${mirror%/debian}/debian-security
if [ "$suite" != sid ] && [ "$suite" != unstable ]; then
    printf 'deb %s %s main\ndeb %s %s-updates main\ndeb %s %s-security main\n' \
        "$mirror" "$suite" "$mirror" "$suite" "$security" "$suite" | as_root tee "$run/etc/apt/sources.list" >/dev/null
fi
as_root cp /etc/resolv.conf "$run/etc/resolv.conf"
# Packages' scripts must not start services in a root with no init.
printf '#!/bin/sh\nexit 101\n' | as_root tee "$run/usr/sbin/policy-rc.d" >/dev/null
as_root chmod 755 "$run/usr/sbin/policy-rc.d"
step_done

step "mounting /proc, /dev and the package cache"
as_root mount -t proc proc "$run/proc"
# As on an installed system, binfmt_misc is mounted: scripts inside can tell
# that 32-bit code runs emulated.
[ -e "$binfmt/register" ] && as_root mount -t binfmt_misc binfmt_misc "$run$binfmt"
as_root mount -t sysfs sysfs "$run/sys"
as_root mount --rbind /dev "$run/dev"
as_root mount --make-rslave "$run/dev"
as_root mount -t tmpfs tmpfs "$run/tmp"
as_root mount --bind "$archives" "$run/var/cache/apt/archives"
step_done

in_root() {
    as_root chroot "$run" /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

if grep -qs '^enabled' "$binfmt/qemu-i386"; then
    step "32-bit code runs emulated here: installing the root's own static qemu"
    # An index caught mid-sync fails the update, but not an install that
    # needs nothing from that index.
    in_root apt-get update -q >/dev/null || echo "fresh-debian $suite: note: apt-get update failed in the root; installing all the same"
    in_root apt-get install -y -q --no-install-recommends qemu-user-static >/dev/null ||
        fail "could not install qemu-user-static in the root"
    own=
    for q in /usr/bin/qemu-i386-static /usr/bin/qemu-i386; do
        if [ -x "$run$q" ] && ldd "$run$q" 2>&1 | grep -Eq 'statically linked|not a dynamic executable'; then own=$run$q; break; fi
    done
    [ -n "$own" ] || fail "the root has no statically linked qemu-i386"
    saved_binfmt="$(sed -n 's/^interpreter //p' "$binfmt/qemu-i386") $(sed -n 's/^flags: //p' "$binfmt/qemu-i386")"
    register_qemu "$own" OCF
    echo "fresh-debian $suite: $($own --version | head -n 1)"
    step_done
fi

step "cloning $(git rev-parse --short HEAD) into /root/quillhaven"
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    echo "fresh-debian $suite: note: the clone has HEAD only; uncommitted changes are not in it"
as_root git clone -q --no-hardlinks "$ROOT" "$run/root/quillhaven"
step_done

step "running: $*"
set +e
# A fresh minimal root has no locale: LANG=C.UTF-8, as a new user's system
# has one (Wine fails on non-ASCII file names without it).
in_root TERM="${TERM:-dumb}" ${CI:+CI=$CI} /bin/bash -c 'cd /root/quillhaven && exec "$@"' command "$@"
rc=$?
set -e
step_done

release=$(. "$run/etc/os-release" && echo "$PRETTY_NAME")
wine_version=$(in_root wine --version 2>/dev/null || echo "not installed")
echo "fresh-debian $suite: release $release ($(cat "$run/etc/debian_version")), wine $wine_version"
if [ $rc -eq 0 ]; then
    echo "fresh-debian $suite: passed"
else
    echo "fresh-debian $suite: the command failed (exit $rc); the root stays in $run for a look"
fi
exit $rc
