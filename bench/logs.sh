#!/usr/bin/env bash
# Uploads per second and latency percentiles of the failure-log service, on SQLite and on a
# throw-away PostgreSQL, with LOGS_CLIENTS parallel clients (default "8,64") for LOGS_SECONDS
# each (default 10), uploading a real failure log padded to LOGS_BYTES (default 65536); then
# 256 clients at once on SQLite (overload), and 8 clients while 60 connections from another
# address hold half-sent requests. Build without sanitizers first, e.g.
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build-bench --target veltora-logs bench_logs && bash bench/logs.sh build-bench
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: logs.sh BUILD_DIR}
echo "| Store | Run | Clients | Log bytes | Uploads/s | p50 (ms) | p99 (ms) | Not answered ok |"
echo "|---|---|---|---|---|---|---|---|"
"$bin/bench/bench_logs" "$bin/tools/logs/veltora-logs" "${LOGS_CLIENTS:-8,64}" "${LOGS_SECONDS:-10}" \
    "$here/../tests/data/logs/signature-mismatch.log" "${LOGS_BYTES:-65536}"
