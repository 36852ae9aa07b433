#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the demo (scripts/demo.py): a demo
# server on 127.0.0.1 with the stand-in installer and updater, and the wizard in a Wine virtual
# desktop with its host box preset to that server.
#   - With a display (DISPLAY set) the user clicks through the wizard.
#   - Without one (or with DISPLAY= given) a stamped copy runs unattended on a private Xvfb and
#     a picture of each page is saved under build/demo/run/pictures/.
# Either way it ends by printing what the run left: the trace log, the per-site registry values,
# the site directory's files and how the stand-ins were started.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

kv_install_deps
kv_use_main_variant
kv_build "$KV_PRESET"
# The demo has a prefix of its own, so its registry values and files never meet the tests'.
export WINEPREFIX="$KV_BUILD/demo/wineprefix"
export WINEPREFIX_OVERRIDE="$WINEPREFIX"
kv_ensure_prefix
trap kv_stop_all EXIT
mode=--auto
if [ -n "${DISPLAY:-}" ]; then
    KV_USE_DISPLAY=1
    mode=--interactive
fi
kv_start_xvfb
kv_start_wineserver
export KV_BUILD
python3 "$KV_ROOT/scripts/demo.py" "$mode" "$@"
