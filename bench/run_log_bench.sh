#!/usr/bin/env bash
# Builds and runs the trace log benchmark under the project's Wine prefix and prints its table.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"

kv_install_deps
kv_use_main_variant
cmake --preset "$KV_PRESET" -S "$KV_ROOT" -B "$KV_BUILD" >/dev/null
cmake --build "$KV_BUILD" --target kv_log_bench -j"$(nproc)" >/dev/null
kv_ensure_prefix
kv_wine "$KV_BUILD/kv_log_bench.exe"
