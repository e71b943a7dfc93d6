#!/usr/bin/env bash
# A download cut once at half its size and fetched again: ours continues from its
# resume record, curl with -C -. Prints two table rows (time, bytes relayed).
#   resume.sh BUILD_DIR PORT WWW_DIR FILE_NAME
set -euo pipefail
bin=${1:?usage: resume.sh BUILD_DIR PORT WWW_DIR FILE_NAME}
port=${2:?port}
www=${3:?www}
name=${4:?file name}

downloader="$bin/tests/support/download_child"
relay="$bin/tests/support/cut_proxy"
work=$(mktemp -d "${TMPDIR:-/tmp}/veltora-resume.XXXXXX")
relay_pid=""
trap '[ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null; rm -rf "$work"' EXIT
size=$(stat -c %s "$www/$name")

# start_relay CUT_BYTES: a relay in front of nginx that cuts once; sets relay_port.
start_relay() {
    rm -f "$work/relay.out" "$work/relayed"
    "$relay" "$port" "$1" "$work/relayed" > "$work/relay.out" &
    relay_pid=$!
    for _ in $(seq 1 100); do [ -s "$work/relay.out" ] && break; sleep 0.05; done
    relay_port=$(head -n1 "$work/relay.out")
}
stop_relay() {
    kill "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
    relay_pid=""
}
now() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }

start_relay $((size / 2))
url="http://127.0.0.1:$relay_port/$name"
start=$(now)
"$downloader" "$url" "$work/ours.bin" > /dev/null 2>&1 && { echo "the cut did not cut" >&2; exit 1; }
"$downloader" "$url" "$work/ours.bin" > /dev/null 2>&1
ours_s=$(seconds $(($(now) - start)))
sleep 0.2
ours_bytes=$(cat "$work/relayed")
stop_relay
cmp -s "$work/ours.bin" "$www/$name" || { echo "the resumed download differs" >&2; exit 1; }
rm -f "$work/ours.bin"

start_relay $((size / 2))
url="http://127.0.0.1:$relay_port/$name"
start=$(now)
curl -s -o "$work/ref.bin" "$url" && { echo "the cut did not cut curl" >&2; exit 1; }
curl -s -C - -o "$work/ref.bin" "$url"
ref_s=$(seconds $(($(now) - start)))
sleep 0.2
ref_bytes=$(cat "$work/relayed")
stop_relay
cmp -s "$work/ref.bin" "$www/$name" || { echo "curl's resumed download differs" >&2; exit 1; }

mb=$((size / 1024 / 1024))
awk -v name="download of a ${mb} MB file cut once at 50%, both tries (curl, then curl -C -)" -v o="$ours_s" -v r="$ref_s" \
    'BEGIN { printf "| %s | %.3f | %.3f | %.2f | report; bytes below | |\n", name, o, r, o / r }'
awk -v o="$ours_bytes" -v r="$ref_bytes" -v s="$size" -v mb="$mb" 'BEGIN {
    printf "| bytes relayed for that download: ours / curl (file: %d B) | %d B | %d B | %.3f | ≤ 1.05 × curl | |\n", s, o, r, o / r }'
