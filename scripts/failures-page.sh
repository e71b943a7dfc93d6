#!/usr/bin/env bash
# Takes docs/failures-page.png: the page /failures of the failure-log service over sample
# failures (the logs of tests/data/logs spread over two weeks), in headless Chromium.
#   scripts/failures-page.sh BUILD_DIR [DOCS_DIR]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: failures-page.sh BUILD_DIR [DOCS_DIR]}" && pwd)
docs=${2:-$repo/docs}
mkdir -p "$docs"
work=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
export ASAN_OPTIONS=detect_leaks=0

"$build/tests/support/failure_samples" "$work/logs.sqlite" "$repo/tests/data/logs"
"$build/tools/logs/veltora-logs" serve --db "$work/logs.sqlite" --listen 127.0.0.1:0 2> "$work/service.log" &
pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/service.log")
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    cat "$work/service.log" >&2
    exit 1
fi
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1100,1700 \
    --screenshot="$docs/failures-page.png" "http://127.0.0.1:$port/failures" 2> "$work/chromium.log" || {
    cat "$work/chromium.log" >&2
    exit 1
}
if command -v optipng > /dev/null; then
    optipng -quiet -o5 -strip all "$docs/failures-page.png"
fi
ls -l "$docs/failures-page.png"
