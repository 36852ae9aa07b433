#!/usr/bin/env bash
# Runs every benchmark and prints one table of ratios, each measured side by side in this run
# (bench/run_all.py): transfer, trace log, start-up, the unattended wizard, the program file.
# Installs what is missing, builds, and starts its own Xvfb and wineserver, which it stops
# again by PID. Extra arguments go to bench/run_all.py (for example --only startup,size).
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

kv_install_deps
kv_use_main_variant
kv_build "$KV_PRESET" >/dev/null
kv_ensure_prefix
trap kv_stop_all EXIT
kv_start_xvfb
kv_start_wineserver
export KV_BUILD
python3 "$KV_ROOT/bench/run_all.py" "$@"
