#!/usr/bin/env bash
# A class of thirty updating at once through one cache, each installing a signed release whose
# packet is 20 MB: the bytes the vendor's origin sends (the school's uplink) through Squid,
# through the nginx cache and with no cache at all, and the class's wall time against one
# machine's through the same cache. It runs tests/e2e/tst_classcache of a build with tests
# (make test leaves one in build/) with a larger packet and a row without a cache:
#   bash bench/class.sh [BUILD_DIR]
# BENCH_CLASS_MB sets the packet's size in MB (default 20).
set -euo pipefail

bin=$(cd "${1:-build}" && pwd)
test="$bin/tests/e2e/tst_classcache"
[ -x "$test" ] || { echo "no $test: build the tests first (make build)" >&2; exit 1; }
mb=${BENCH_CLASS_MB:-20}
home=$(mktemp -d "${TMPDIR:-/tmp}/class-bench.XXXXXX")
trap 'rm -rf "$home"' EXIT

# Prints "cache machines packet_bytes origin_bytes wall_ms" per row of one run of the test.
class() {
    HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_CONFIG_HOME="$home/.config" \
        VELTORA_CLASS_BENCH=1 VELTORA_CLASS_MB="$mb" VELTORA_CLASS_SIZE="$1" \
        "$test" classUpdatesThroughOneCache > "$home/out.txt" 2>&1 || { cat "$home/out.txt" >&2; exit 1; }
    sed -n 's/.*) \([a-z]*\): class of \([0-9]*\), packet \([0-9]*\) bytes, origin sent \([0-9]*\) bytes .*, \([0-9]*\) ms$/\1 \2 \3 \4 \5/p' "$home/out.txt"
}

class 30 > "$home/class.txt"
class 1 > "$home/one.txt"
echo "| Cache | Uplink bytes for a class of 30 | × packet | Class wall time (s) | One machine (s) | Class / one |"
echo "|---|---|---|---|---|---|"
while read -r cache machines packet sent ms; do
    one=$(awk -v c="$cache" '$1 == c { print $5 }' "$home/one.txt")
    awk -v c="$cache" -v p="$packet" -v s="$sent" -v ms="$ms" -v one="$one" 'BEGIN {
        printf "| %s | %d | %.2f | %.1f | %.1f | %.1f |\n", c, s, s / p, ms / 1000, one / 1000, ms / one }'
done < "$home/class.txt"
echo "(packet: $(head -n1 "$home/class.txt" | cut -d' ' -f3) bytes)"
