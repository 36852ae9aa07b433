#!/usr/bin/env bash
# Builds and runs the transfer benchmark: nginx on 127.0.0.1 serving 16 MiB and 256 MiB files,
# fetched by our code and a bare WinINet loop under the project's Wine prefix, and by curl.
# Extra arguments go to bench/transfer_bench.py (for example --rounds 5).
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

kv_install_deps
kv_use_main_variant
cmake --preset "$KV_PRESET" -S "$KV_ROOT" -B "$KV_BUILD" >/dev/null
cmake --build "$KV_BUILD" --target kv_transfer_bench kv_trust_test_ca -j"$(nproc)" >/dev/null
kv_ensure_prefix
trap kv_stop_all EXIT
kv_start_xvfb
kv_start_wineserver
python3 "$KV_ROOT/bench/transfer_bench.py" --build "$KV_BUILD" "$@"
