# Shared shell functions for the build, the demo and the tests. Source it; do not run it.
# Everything started here is remembered by PID and stopped by that PID only.

KV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KV_BUILD="${KV_BUILD:-$KV_ROOT/build}"
export WINEPREFIX="${WINEPREFIX_OVERRIDE:-$KV_BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the prefix is for our program only, and there is no network.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# The Python helpers' package, tests/kvtestkit, for every script that starts Python from here.
export PYTHONPATH="$KV_ROOT/tests${PYTHONPATH:+:$PYTHONPATH}"

kv_log() { echo "[kv] $*" >&2; }

kv_install_deps() {
    bash "$KV_ROOT/scripts/install-deps.sh"
}

kv_build() {
    cmake --preset default -S "$KV_ROOT" -B "$KV_BUILD" >/dev/null
    cmake --build "$KV_BUILD" -j"$(nproc)"
}

# Korean locale only for the wine processes: bash itself has no such locale generated.
kv_wine() { env LANG=ko_KR.UTF-8 LC_ALL=ko_KR.UTF-8 wine "$@"; }

kv_ensure_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        kv_log "creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        env LANG=ko_KR.UTF-8 LC_ALL=ko_KR.UTF-8 wineboot -i </dev/null >/dev/null 2>&1 || true
        # wineboot leaves its own wineserver running for a few seconds; wait for it so the
        # next start gets a clean server of ours.
        wineserver -w || true
    fi
    # Without a window manager (Xvfb) Wine waits two seconds for the X server at every hide of
    # a managed window; unmanaged windows close at once.
    if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
        env LANG=ko_KR.UTF-8 LC_ALL=ko_KR.UTF-8 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
            </dev/null >/dev/null 2>&1 || true
        wineserver -w || true
    fi
}

KV_XVFB_PID=""
KV_WINESERVER_PID=""

kv_start_xvfb() {
    if [ -n "${KV_USE_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then return 0; fi
    local n
    for n in $(seq 90 140); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
    done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    KV_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 100); do
        if [ -e "/tmp/.X11-unix/X$n" ]; then return 0; fi
        sleep 0.05
    done
    kv_log "Xvfb on :$n did not come up"
    return 1
}

kv_start_wineserver() {
    # -f keeps it in the foreground of its own background job, so $! is its PID.
    wineserver -f -p >/dev/null 2>&1 &
    KV_WINESERVER_PID=$!
    sleep 0.2
    # The first Wine program starts Wine's own background services, which keep its standard
    # handles; start them here, on /dev/null, so no test's pipe is held open by them.
    env LANG=ko_KR.UTF-8 LC_ALL=ko_KR.UTF-8 wine reg query 'HKCU\Software' </dev/null >/dev/null 2>&1 || true
}

kv_stop_all() {
    if [ -n "$KV_WINESERVER_PID" ]; then
        # -k asks the server of this WINEPREFIX to end its processes and itself; only when the
        # running server is the one we started, never another session's.
        if kill -0 "$KV_WINESERVER_PID" 2>/dev/null; then
            wineserver -k >/dev/null 2>&1 || true
        fi
        kill "$KV_WINESERVER_PID" 2>/dev/null || true
        wait "$KV_WINESERVER_PID" 2>/dev/null || true
        KV_WINESERVER_PID=""
    fi
    if [ -n "$KV_XVFB_PID" ]; then
        kill "$KV_XVFB_PID" 2>/dev/null || true
        wait "$KV_XVFB_PID" 2>/dev/null || true
        KV_XVFB_PID=""
    fi
}
