#!/usr/bin/env bash
# The main job: installs what is missing, builds, and starts the wizard under Wine.
# With a display (DISPLAY set) the window shows there; without one it runs on a private Xvfb.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

kv_install_deps
kv_build
kv_ensure_prefix
trap kv_stop_all EXIT
if [ -n "${DISPLAY:-}" ]; then KV_USE_DISPLAY=1; fi
kv_start_xvfb
kv_start_wineserver
kv_log "starting $KV_BUILD/KestrelVault_Setup.exe"
kv_wine explorer /desktop=KestrelVault,800x600 "$KV_BUILD/KestrelVault_Setup.exe" "$@"
