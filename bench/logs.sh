#!/usr/bin/env bash
# Uploads per second and latency percentiles of the failure-log service, on SQLite and on a
# throw-away PostgreSQL, with LOGS_CLIENTS parallel clients (default 8) for LOGS_SECONDS
# each (default 10), uploading a real failure log. Build without sanitizers first, e.g.
#   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
#   cmake --build build-bench --target veltora-logs bench_logs && bash bench/logs.sh build-bench
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: logs.sh BUILD_DIR}
echo "| Store | Clients | Seconds | Uploads/s | p50 (ms) | p99 (ms) | Not answered ok |"
echo "|---|---|---|---|---|---|---|"
"$bin/bench/bench_logs" "$bin/tools/logs/veltora-logs" "${LOGS_CLIENTS:-8}" "${LOGS_SECONDS:-10}" \
    "$here/../tests/data/logs/signature-mismatch.log"
