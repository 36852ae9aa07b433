#!/usr/bin/env bash
# Regenerates the pictures of the wizard in docs/ (docs/make_pictures.py): builds, then runs the
# wizard against the demo server in the demo's Wine prefix, always on a private Xvfb so that the
# pictures do not depend on the screen of the machine that makes them.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

kv_install_deps
kv_use_main_variant
kv_build "$KV_PRESET"
export WINEPREFIX="$KV_BUILD/demo/wineprefix"
export WINEPREFIX_OVERRIDE="$WINEPREFIX"
kv_ensure_prefix
trap kv_stop_all EXIT
unset KV_USE_DISPLAY
kv_start_xvfb
kv_start_wineserver
export KV_BUILD
python3 "$KV_ROOT/docs/make_pictures.py" "$KV_ROOT/docs"
