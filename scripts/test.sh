#!/usr/bin/env bash
# Runs every test: installs what is missing, then for each variant this host can run
# (scripts/variants.sh) builds it and runs its suite under a Wine prefix, Xvfb display and
# persistent wineserver of its own, which it stops again by PID:
#   32      the shipped program's build ($KV_BUILD) and its whole suite
#   64      the 64-bit build ($KV_BUILD/x64) and its whole suite
#   qemu32  the shipped program once end to end under qemu-user (hosts without 32-bit code)
# Arguments go to each ctest (bash scripts/test.sh -R e2e_first_page). KV_VARIANTS=64 (or 32,
# 32,64, qemu32) runs only those. Fails if any variant fails.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$KV_ROOT/scripts/variants.sh"

# One variant (entered by the caller, kv_enter_variant), in a process of its own so that any
# failing step ends it (errexit holds there).
if [ "${1:-}" = --one-variant ]; then
    shift
    kv_build "$KV_PRESET"
    trap kv_stop_all EXIT
    if [ "$KV_VARIANT" = qemu32 ]; then
        # The run makes its prefix itself once qemu is registered (tests/qemu32): a prefix
        # made before that has no 32-bit half and cannot be completed, so it goes, and nothing
        # may start in the new one before the run.
        if [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then rm -rf "$WINEPREFIX"; fi
        mkdir -p "$WINEPREFIX"
        kv_start_xvfb
        kv_start_wineserver bare
        cd "$KV_BUILD"
        # Verbose: the run says how long each part took under qemu.
        ctest --output-on-failure -L qemu32 -V "$@"
    else
        kv_ensure_prefix
        kv_start_xvfb
        kv_start_wineserver
        cd "$KV_BUILD"
        rc=0
        ctest --output-on-failure -LE qemu32 "$@" || rc=$?
        if [ -s "$KV_WINESERVER_LOG" ]; then
            kv_log "the wineserver said ($KV_WINESERVER_LOG, last 40 lines):"
            tail -n 40 "$KV_WINESERVER_LOG" >&2
        fi
        if ! kill -0 "$KV_WINESERVER_PID" 2>/dev/null; then
            # Every Wine program of the variant ends with its server (with exit code 0), which the
            # tests see only as programs and the driver gone.
            status=0
            wait "$KV_WINESERVER_PID" || status=$?
            kv_log "the wineserver (PID $KV_WINESERVER_PID) ended during the tests, status $status"
            KV_WINESERVER_PID=""
            rc=1
        fi
        exit "$rc"
    fi
    exit 0
fi

kv_install_deps
kv_plan_variants || exit 2
KV_BASE_BUILD="$KV_BUILD"
mkdir -p "$KV_BASE_BUILD"
kv_log "variants: ${KV_PLAN// /, } (${KV_PLAN_WHY})"
# Each variant has a prefix of its own, so none is shared through an override.
unset WINEPREFIX_OVERRIDE

declare -A summary took
failed=0
for variant in $KV_PLAN; do
    started=$SECONDS
    log="$KV_BASE_BUILD/test-$variant.log"
    rc=0
    (
        kv_enter_variant "$variant"
        kv_log "== variant $variant: build $KV_BUILD, prefix $WINEPREFIX"
        exec bash "$KV_ROOT/scripts/test.sh" --one-variant "$@"
    ) 2>&1 | tee "$log" || rc=$?
    took[$variant]=$((SECONDS - started))
    line=$(grep -E '^[0-9]+% tests passed|^No tests were found' "$log" | tail -n 1 || true)
    summary[$variant]="${line:-no ctest summary (build or set-up failed: see $log)}"
    if [ "$rc" != 0 ]; then failed=1; fi
done

for variant in $KV_PLAN; do
    kv_log "variant $variant: ${summary[$variant]} (${took[$variant]} s)"
    if [ "$variant" = qemu32 ]; then
        # What the run said of its own times (ctest -V prefixes each line with the entry's number).
        grep -E '^[0-9]+: qemu32: .*took' "$KV_BASE_BUILD/test-qemu32.log" | sed 's/^[0-9]*: /[kv]   /' >&2 || true
    fi
done
case "$KV_PLAN_QEMU32" in
    "not "*) kv_log "variant qemu32: $KV_PLAN_QEMU32" ;;
esac
if [ "$failed" = 0 ]; then
    kv_log "variants: ${KV_PLAN// /, } passed (${KV_PLAN_WHY})"
else
    kv_log "variants: ${KV_PLAN// /, } FAILED (${KV_PLAN_WHY})"
fi
exit "$failed"
