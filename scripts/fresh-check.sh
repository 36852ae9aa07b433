#!/usr/bin/env bash
# The README's two commands on a fresh, minimal Debian 12, as a new user would run them.
#
#   bash scripts/fresh-check.sh [COMMIT]      (as root; COMMIT defaults to HEAD)
#
# Builds a minbase bookworm system with debootstrap under $KV_BUILD/fresh-check (about 6 GB while
# it runs), clones the committed state of this repository into it, runs `bash scripts/run.sh` and
# then `bash scripts/test.sh` there as root in a clean environment (env -i, chroot), prints their
# results, and removes what it mounted and made; the two commands' output stays in
# $KV_BUILD/fresh-check-logs. Takes a long while (packages, a whole build, every test). Not part
# of the test command: run it whenever scripts/ or the dependencies change.
#
# The host's /tmp is bound into the system: Xvfb, the wineserver and the test servers there share
# the host's display numbers, sockets and ports, and choose free ones only if they can see them.
set -euo pipefail

KV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KV_BUILD="${KV_BUILD:-$KV_ROOT/build}"
WORK="$KV_BUILD/fresh-check"
TARGET="$WORK/root"
LOGS="$KV_BUILD/fresh-check-logs"
REV="$(git -C "$KV_ROOT" rev-parse "${1:-HEAD}^{commit}")"

say() { echo "[fresh-check] $*" >&2; }

if [ "$(id -u)" != 0 ]; then say "run as root (debootstrap, mount and chroot need it)"; exit 2; fi
if [ -e "$WORK" ]; then say "$WORK exists (a check still running, or one that could not clean up)"; exit 2; fi
if [ -n "$(git -C "$KV_ROOT" status --porcelain --untracked-files=no)" ]; then
    say "note: uncommitted changes are not checked; checking $REV"
fi

# The archive the host itself uses: the URI paired with suite bookworm, and the one with
# bookworm-security, from deb822 .sources files or one-line sources.list files.
host_uri() {
    local suite="$1"
    {
        cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v want="$suite" '
            /^[[:space:]]*$/ { if (uris != "" && found) print uris; uris = ""; found = 0; next }
            /^URIs:/ { uris = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == want) found = 1 }
            END { if (uris != "" && found) print uris }'
        cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk -v want="$suite" '
            $1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                          if ($(i + 1) == want) print $i }'
    } | head -n 1 || true   # a missing file or an early head is no error here
}
MIRROR="$(host_uri bookworm)"
SECURITY="$(host_uri bookworm-security)"
if [ -z "$MIRROR" ]; then say "no bookworm archive in the host's apt sources"; exit 2; fi
say "archive $MIRROR${SECURITY:+, security $SECURITY}; commit $REV"

MOUNTED=()      # what we mounted, in order; unmounted in reverse
JOB_PID=""      # the chroot command running now (its own session and process group)

stop_job() {
    if [ -n "$JOB_PID" ] && kill -0 "$JOB_PID" 2>/dev/null; then
        kill -TERM -- "-$JOB_PID" 2>/dev/null || true
        local i
        for i in $(seq 1 50); do kill -0 "$JOB_PID" 2>/dev/null || break; sleep 0.2; done
        kill -KILL -- "-$JOB_PID" 2>/dev/null || true
    fi
    if [ -n "$JOB_PID" ]; then wait "$JOB_PID" 2>/dev/null || true; fi
    JOB_PID=""
}

# Anything still running with its root inside the target was started by this check (nothing
# else can enter it): a daemon that left our process group, a wineserver waiting out its timer.
stop_leftovers() {
    local p root found=0
    for p in /proc/[0-9]*; do
        root="$(readlink "$p/root" 2>/dev/null)" || continue
        case "$root" in "$TARGET"|"$TARGET"/*) say "stopping leftover PID ${p#/proc/}"; kill -KILL "${p#/proc/}" 2>/dev/null || true; found=1;; esac
    done
    if [ "$found" = 1 ]; then sleep 1; fi
}

cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    stop_job
    if [ -d "$TARGET" ]; then stop_leftovers; fi
    # Mounts the commands left under the target (the tests mount a tmpfs themselves and
    # unmount it), deepest first, then ours in reverse order.
    local m i
    while read -r m; do
        case " ${MOUNTED[*]} " in *" $m "*) continue;; esac
        say "unmounting leftover $m"; umount "$m" || true
    done < <(awk -v t="$TARGET/" 'index($5, t) == 1 { print $5 }' /proc/self/mountinfo | sort -r)
    for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTED[i]}" || say "could not unmount ${MOUNTED[i]}"
    done
    if awk -v t="$TARGET/" 'index($5, t) == 1 { f = 1 } END { exit !f }' /proc/self/mountinfo; then
        say "something is still mounted under $TARGET: leaving $WORK in place"
    else
        rm -rf --one-file-system "$WORK"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

do_mount() {  # do_mount MOUNTPOINT ARGS...
    local point="$1"; shift
    mkdir -p "$point"
    mount "$@" "$point"
    MOUNTED+=("$point")
}

if ! command -v debootstrap >/dev/null || ! dpkg-query -W -f='${db:Status-Status}' debootstrap 2>/dev/null | grep -qx installed; then
    say "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
fi

mkdir -p "$WORK" "$LOGS"
say "debootstrap --variant=minbase bookworm (a few minutes)"
debootstrap --variant=minbase bookworm "$TARGET" "$MIRROR" >"$LOGS/debootstrap.log" 2>&1 \
    || { say "debootstrap failed; see $LOGS/debootstrap.log"; tail -n 20 "$LOGS/debootstrap.log" >&2; exit 1; }

# The same archive as the host, with the point-release updates and security fixes it has too.
rm -f "$TARGET/etc/apt/sources.list"
{
    printf 'Types: deb\nURIs: %s\nSuites: bookworm bookworm-updates\nComponents: main\n' "$MIRROR"
    if [ -n "$SECURITY" ]; then
        printf '\nTypes: deb\nURIs: %s\nSuites: bookworm-security\nComponents: main\n' "$SECURITY"
    fi
} >"$TARGET/etc/apt/sources.list.d/debian.sources"
cp /etc/resolv.conf "$TARGET/etc/resolv.conf"
# Every installed machine has these two names; debootstrap leaves the file to the installer.
if [ ! -s "$TARGET/etc/hosts" ]; then printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost\n' >"$TARGET/etc/hosts"; fi

git clone -q --no-hardlinks "$KV_ROOT" "$TARGET/root/kestrelvault"
git -C "$TARGET/root/kestrelvault" checkout -q --detach "$REV"

do_mount "$TARGET/proc" -t proc proc
do_mount "$TARGET/sys" -t sysfs sysfs
do_mount "$TARGET/dev" --bind /dev
do_mount "$TARGET/dev/pts" --bind /dev/pts
do_mount "$TARGET/dev/shm" -t tmpfs -o mode=1777,size=256m tmpfs
do_mount "$TARGET/tmp" --bind /tmp

# run_in_fresh NAME COMMAND: as root with nothing of our environment but what a root login has.
declare -A RESULT RC
run_in_fresh() {
    local name="$1" cmd="$2" start rc
    say "running '$cmd' (output in $LOGS/$name.log)"
    start=$(date +%s)
    setsid env -i HOME=/root TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        chroot "$TARGET" /bin/bash -lc "cd /root/kestrelvault && $cmd" </dev/null >"$LOGS/$name.log" 2>&1 &
    JOB_PID=$!
    rc=0
    wait "$JOB_PID" || rc=$?
    JOB_PID=""
    RC[$name]=$rc
    RESULT[$name]="exit $rc after $(( $(date +%s) - start )) s"
    say "'$cmd': ${RESULT[$name]}; last lines:"
    tail -n 15 "$LOGS/$name.log" | sed 's/^/    /' >&2
    return 0
}

run_in_fresh run "bash scripts/run.sh"
run_in_fresh test "bash scripts/test.sh"

echo "fresh-check on Debian $(cat "$TARGET/etc/debian_version") minbase, commit $REV:"
echo "  bash scripts/run.sh:  ${RESULT[run]}"
echo "  bash scripts/test.sh: ${RESULT[test]}"
grep -E 'tests passed|tests failed' "$LOGS/test.log" | sed 's/^/  /' || true
[ "${RC[run]}" = 0 ] && [ "${RC[test]}" = 0 ]
