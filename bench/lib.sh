# Helpers for the benchmark scripts: timing with peak memory, medians, the table.
# Sourced after `here` and `bin` are set; sets what every script shares.

scale=${BENCH_SCALE:-1}
runs=${BENCH_RUNS:-5}
repo=$(cd "$here/.." && pwd)
extractor="$bin/bench/bench_extract"
releaser="$bin/tools/release/veltora-release"

# bench_work NAME : a scratch folder, removed when the script ends (with `cleanup`, if defined).
bench_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    trap 'if declare -F cleanup >/dev/null; then cleanup; fi; rm -rf "$work"' EXIT
}

# measure CMD... : runs the command once, prints "SECONDS PEAK_KB"; fails if the command fails.
measure() {
    local start end report
    report=$(mktemp)
    start=$(date +%s%N)
    if ! /usr/bin/time -f '%M' -o "$report" "$@" >/dev/null 2>&1; then
        echo "command failed: $*" >&2
        rm -f "$report"
        return 1
    fi
    end=$(date +%s%N)
    printf '%s %s\n' "$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')" "$(tail -n1 "$report")"
    rm -f "$report"
}

# extraction_runs PACKET : our extractor against 7z x, `runs` times each; sets x_ours and x_ref
# (seconds) and x_kb (our peak), fails if the two extractions differ. Leaves ours in $work/xo.
# Every run unpacks into a folder of its own, all removed after the last run: removing the
# previous 6,000 files just before a run cost that run's file creations up to a second of
# kernel time (the inode allocator stepping over inodes freed moments ago), differently
# from run to run and tool to tool.
extraction_runs() {
    local i s kb
    x_ours=(); x_ref=(); x_kb=0
    rm -rf "$work"/xo "$work"/xr "$work"/xo-* "$work"/xr-*
    for ((i = 0; i < runs; i++)); do
        mkdir -p "$work/xo-$i" "$work/xr-$i"
        read -r s kb < <(measure "$extractor" "$1" "$work/xo-$i"); x_ours+=("$s"); x_kb=$((kb > x_kb ? kb : x_kb))
        read -r s _ < <(measure 7z x -bd -y "-o$work/xr-$i" "$1"); x_ref+=("$s")
    done
    mv "$work/xo-$((runs - 1))" "$work/xo"; mv "$work/xr-$((runs - 1))" "$work/xr"
    rm -rf "$work"/xo-* "$work"/xr-*
    diff -r "$work/xo" "$work/xr" > /dev/null || { echo "extractions differ" >&2; return 1; }
}

# median of the numbers on standard input
median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# med NUMBER... : their median
med() { printf '%s\n' "$@" | median; }

# row NAME OURS_SECONDS REF_SECONDS OURS_PEAK_KB TARGET
row() {
    awk -v name="$1" -v ours="$2" -v ref="$3" -v kb="$4" -v target="$5" 'BEGIN {
        ratio = ref > 0 ? ours / ref : 0
        printf "| %s | %.3f | %.3f | %.2f | %s | %.1f MB |\n", name, ours, ref, ratio, target, kb / 1024 }'
}

table_header() {
    echo "| Row | Ours (s) | Reference (s) | Ratio | Target | Our peak memory |"
    echo "|---|---|---|---|---|---|"
}
