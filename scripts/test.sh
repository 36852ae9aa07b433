#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, and runs ctest under the project's own
# Wine prefix, Xvfb display and persistent wineserver, which it stops again by PID.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

kv_install_deps
kv_build
kv_ensure_prefix
trap kv_stop_all EXIT
kv_start_xvfb
kv_start_wineserver
cd "$KV_BUILD"
ctest --output-on-failure "$@"
