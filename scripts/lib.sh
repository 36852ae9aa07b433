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

# kv_build [PRESET]: configures and builds $KV_BUILD with the preset (default: the shipped
# 32-bit program; x64: the 64-bit build of the same code).
kv_build() {
    cmake --preset "${1:-default}" -S "$KV_ROOT" -B "$KV_BUILD" >/dev/null
    cmake --build "$KV_BUILD" -j"$(nproc)"
}

# The two Wine loaders. /usr/bin/wine always takes the 32-bit one when wine32 is installed,
# also on a host whose kernel refuses 32-bit code, so nothing here starts Wine through it.
KV_WINE32_LOADER="${KV_WINE32_LOADER:-/usr/lib/wine/wine}"
KV_WINE64_LOADER="${KV_WINE64_LOADER:-/usr/lib/wine/wine64}"

# kv_pe_bits FILE: prints 32 for a PE32 program, 64 for PE32+; fails for anything else.
kv_pe_bits() {
    local f="$1" off magic
    [ -f "$f" ] && [ "$(head -c 2 "$f" 2>/dev/null)" = MZ ] || return 1
    off=$(od -An -tu4 -j60 -N4 "$f" | tr -d ' ')
    [ -n "$off" ] || return 1
    # The optional header's magic follows the 4-byte signature and the 20-byte file header.
    magic=$(od -An -tx2 -j$((off + 24)) -N2 "$f" | tr -d ' ')
    case "$magic" in
        010b) echo 32 ;;
        020b) echo 64 ;;
        *) return 1 ;;
    esac
}

# kv_build_bits: the bitness $KV_BUILD is configured for (32 until it is configured).
kv_build_bits() {
    if grep -qx 'KV_VARIANT_BITS:INTERNAL=64' "$KV_BUILD/CMakeCache.txt" 2>/dev/null; then
        echo 64
    else
        echo 32
    fi
}

# kv_wine_loader [PROGRAM]: the loader that starts PROGRAM, by its PE header (the 64-bit
# loader for PE32+, the 32-bit one for PE32). Wine's own programs (reg, wineboot) and anything
# that is not a PE file run in the build's own bitness (kv_build_bits),
# so that they see the same registry and file-system views as the program under test, unless
# KV_WINE_BUILTIN_BITS says otherwise (the qemu run, whose prefix Wine's 64-bit programs make
# and read natively).
# tests/kvtestkit/kvtest.py (wine_loader) makes the same decision for the Python side.
kv_wine_loader() {
    local bits
    bits=$(kv_pe_bits "${1:-}") || bits=${KV_WINE_BUILTIN_BITS:-$(kv_build_bits)}
    if [ "$bits" = 64 ]; then echo "$KV_WINE64_LOADER"; else echo "$KV_WINE32_LOADER"; fi
}

# Runs a Wine command with the loader kv_wine_loader picks for its first argument. WINELOADER
# tells Wine which loader the program's own children start from (Wine adds or strips the "64"
# for a child of the other bitness). Korean locale only for the wine processes: bash itself
# has no such locale generated.
kv_wine() {
    local loader
    loader=$(kv_wine_loader "${1:-}")
    env LANG=ko_KR.UTF-8 LC_ALL=ko_KR.UTF-8 WINELOADER="$loader" "$loader" "$@"
}

kv_ensure_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        kv_log "creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        kv_wine wineboot -i </dev/null >/dev/null 2>&1 || true
        # wineboot leaves its own wineserver running for a few seconds; wait for it so the
        # next start gets a clean server of ours.
        wineserver -w || true
    fi
    # Without a window manager (Xvfb) Wine waits two seconds for the X server at every hide of
    # a managed window; unmanaged windows close at once.
    if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
        kv_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
            </dev/null >/dev/null 2>&1 || true
        wineserver -w || true
    fi
}

KV_XVFB_PID=""
KV_WINESERVER_PID=""
KV_WINESERVER_LOG=""

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

# kv_start_wineserver [bare]: bare starts the server only, touching nothing in the prefix.
kv_start_wineserver() {
    # -f keeps it in the foreground of its own background job, so $! is its PID. What it says
    # goes to a log beside the prefix: a client it ends for a protocol error ends with exit code
    # 1 and no word of its own, and the tests quote the log when a Wine program ends unexplained.
    KV_WINESERVER_LOG="$(dirname "$WINEPREFIX")/wineserver.log"
    : >"$KV_WINESERVER_LOG"
    wineserver -f -p >>"$KV_WINESERVER_LOG" 2>&1 &
    KV_WINESERVER_PID=$!
    # The tests name it when a Wine program ends unasked.
    export KV_WINESERVER_PID KV_WINESERVER_LOG
    sleep 0.2
    if [ "${1:-}" = bare ]; then return 0; fi
    # The first Wine program starts Wine's own background services, which keep its standard
    # handles; start them here, on /dev/null, so no test's pipe is held open by them.
    kv_wine reg query 'HKCU\Software' </dev/null >/dev/null 2>&1 || true
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

# kv_enter_variant VARIANT: points the scripts at the variant's build below $KV_BASE_BUILD
# (the shipped program's build): sets and exports KV_VARIANT, KV_PRESET, KV_BUILD and the
# prefix. The 32-bit program's build and prefix are the base's own, the 64-bit build is in
# x64/, and the qemu run uses the 32-bit build with a prefix of its own.
kv_enter_variant() {
    KV_VARIANT="$1"
    KV_PRESET=default
    KV_BUILD="$KV_BASE_BUILD"
    case "$1" in
        64) KV_PRESET=x64; KV_BUILD="$KV_BASE_BUILD/x64" ;;
        qemu32)
            export WINEPREFIX_OVERRIDE="$KV_BUILD/qemu32/wineprefix"
            # Only this variant runs the qemu entry (tests/qemu32).
            export KV_QEMU32_RUN=1
            ;;
    esac
    export KV_VARIANT KV_PRESET KV_BUILD
    export WINEPREFIX="${WINEPREFIX_OVERRIDE:-$KV_BUILD/wineprefix}"
}

# kv_use_main_variant: the build that the main job and the benchmarks run: the shipped 32-bit
# program where this host runs 32-bit code, else the 64-bit build of the same code (under qemu
# one Windows process start costs a minute). KV_VARIANTS=32 or 64 chooses by hand. Enters it
# (kv_enter_variant) and says which.
kv_use_main_variant() {
    source "$KV_ROOT/scripts/variants.sh"
    kv_plan_variants || return 2
    # The plan lists 32, 64 and qemu32 in that order.
    case "${KV_PLAN%% *}" in
        32) kv_log "the 32-bit program, as shipped (${KV_PLAN_WHY})" ;;
        64) kv_log "the 64-bit build of the same code (${KV_PLAN_WHY})" ;;
        *) kv_log "KV_VARIANTS=${KV_VARIANTS:-} names neither 32 nor 64"; return 2 ;;
    esac
    KV_BASE_BUILD="$KV_BUILD"
    kv_enter_variant "${KV_PLAN%% *}"
}
