#!/usr/bin/env bash
# The release tool's rows: its packet writer against the 7z tool (time and size), extraction
# of a packet it made against 7z x, and a whole release of a big bundle against two old
# versions. Prints Markdown table rows (lib.sh's columns).
# usage: release.sh BUILD_DIR    (BENCH_SCALE and BENCH_RUNS as for run.sh; the whole release
# runs BENCH_RELEASE_RUNS times, default once, as it takes minutes)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: release.sh BUILD_DIR}
. "$here/lib.sh"

bench_work veltora-release-bench
packer="$bin/bench/bench_pack"
textlike() { awk -v SEED="$1" -v BYTES="$2" -f "$here/textlike.awk"; }

# 1. 32 MB of text-like files: our packet writer against 7z a -mx=5 -m0=lzma2, both on all cores.
t_mb=$((32 / scale))
mkdir -p "$work/text"
for ((i = 0; i < 64; i++)); do textlike "$i" $((t_mb * 1024 * 1024 / 64)) > "$work/text/f$i.txt"; done
pack_ours=(); pack_ref=(); pack_kb=0
for ((i = 0; i < runs; i++)); do
    rm -f "$work/text-ours.pkt" "$work/text-ref.7z"
    read -r s kb < <(measure "$packer" "$work/text" "$work/text-ours.pkt"); pack_ours+=("$s"); pack_kb=$((kb > pack_kb ? kb : pack_kb))
    read -r s _ < <(measure 7z a -t7z -m0=lzma2 -mx=5 -bd -y "$work/text-ref.7z" "$work/text"); pack_ref+=("$s")
done
text_ours=$(stat -c %s "$work/text-ours.pkt"); text_ref=$(stat -c %s "$work/text-ref.7z")
7z t "$work/text-ours.pkt" > /dev/null || { echo "7z does not read our packet" >&2; exit 1; }

# 2. A 300 MB packet of about 3,000 files (half text-like, half random) made by veltora-release,
#    unpacked by the updater's extraction against 7z x.
x_files=$((3000 / scale)); x_mb=$((300 / scale))
x_mean=$((x_mb * 1024 * 1024 / x_files))
mkdir -p "$work/xsrc" "$work/tiny/Contents/MacOS" "$work/xout"
for ((i = 0; i < x_files; i++)); do
    d="$work/xsrc/Contents/Resources/d$((i % 30))"
    mkdir -p "$d"
    if ((i % 2)); then head -c "$x_mean" /dev/urandom > "$d/f$i.bin"; else textlike "$i" "$x_mean" > "$d/f$i.txt"; fi
done
echo tiny > "$work/tiny/Contents/MacOS/readme"; echo image > "$work/x.dmg"
"$releaser" --quiet --new "$work/tiny" --old "1.0=$work/tiny" --fix-bundle "$work/xsrc" --base-url http://127.0.0.1/mac \
    --out "$work/xout" --installer "$work/x.dmg" --release-version 2.0 > /dev/null
extraction_runs "$work/xout/2.0/fixupdate.pkt"
diff -r "$work/xo/fixupdate" "$work/xsrc" > /dev/null || { echo "the packet does not hold the bundle" >&2; exit 1; }
rm -rf "$work/xo" "$work/xr" "$work/xout" "$work/xsrc"

# 3. veltora-release of a 300 MB bundle of 2,000 files against two old versions; each differs
#    from the new one in 5% of its files (half with scattered changes, half with an insertion).
#    Reference: 7z a -mx=5 -mmt=on of the new bundle alone, i.e. packing one packet.
r_files=$((2000 / scale)); r_mb=$((300 / scale))
r_mean=$((r_mb * 1024 * 1024 / r_files))
for ((i = 0; i < r_files; i++)); do
    d="$work/v1/Contents/Resources/d$((i % 40))"
    mkdir -p "$d"
    size=$((r_mean / 4 + (i * 7919 % r_files) * r_mean * 3 / 2 / r_files))
    if ((i % 2)); then head -c "$size" /dev/urandom > "$d/f$i.bin"; else textlike "$i" "$size" > "$d/f$i.txt"; fi
done
mkdir -p "$work/v1/Contents/MacOS"; cp "$packer" "$work/v1/Contents/MacOS/Veltora"
cp -a "$work/v1" "$work/v15"; cp -a "$work/v1" "$work/v2"
change() { # change BUNDLE FIRST: every 20th file from FIRST on gets changed
    local n=0
    while IFS= read -r f; do
        if (( n % 20 == $2 )); then
            if (( n % 40 < 20 )); then
                printf 'edit' | dd of="$f" bs=1 seek=$(( $(stat -c %s "$f") / 3 )) conv=notrunc status=none
                printf 'edit' | dd of="$f" bs=1 seek=$(( $(stat -c %s "$f") * 2 / 3 )) conv=notrunc status=none
            else
                { head -c $(( $(stat -c %s "$f") / 2 )) "$f"; head -c 3000 /dev/urandom; tail -c +$(( $(stat -c %s "$f") / 2 + 1 )) "$f"; } > "$f.new"
                mv "$f.new" "$f"
            fi
        fi
        n=$((n + 1))
    done < <(find "$1/Contents/Resources" -type f | sort)
}
change "$work/v15" 7
change "$work/v2" 3
echo image > "$work/r.dmg"
rel_ours=(); rel_ref=(); rel_kb=0
for ((i = 0; i < ${BENCH_RELEASE_RUNS:-1}; i++)); do
    rm -rf "$work/rout" "$work/r-ref.7z"
    read -r s kb < <(measure "$releaser" --quiet --new "$work/v2" --old "1.0=$work/v1" --old "1.5=$work/v15" \
        --base-url http://127.0.0.1/mac --out "$work/rout" --installer "$work/r.dmg" --release-version 2.0)
    rel_ours+=("$s"); rel_kb=$((kb > rel_kb ? kb : rel_kb))
    read -r s _ < <(measure 7z a -t7z -mx=5 -mmt=on -bd -y "$work/r-ref.7z" "$work/v2"); rel_ref+=("$s")
done
fix_ours=$(stat -c %s "$work/rout/2.0/fixupdate.pkt"); fix_ref=$(stat -c %s "$work/r-ref.7z")

row "packing ${t_mb} MB of text-like files (64 files, $(nproc) cores)" "$(med "${pack_ours[@]}")" "$(med "${pack_ref[@]}")" "$pack_kb" "≤ 1.0 (7z a -mx=5 -m0=lzma2)"
awk -v o="$text_ours" -v r="$text_ref" 'BEGIN { printf "| packet size for those files: ours / 7z a -mx=5 -m0=lzma2 | %d B | %d B | %.3f | ≤ 1.05 | |\n", o, r, o / r }'
row "extraction of a ${x_mb} MB packet of ${x_files} files made by veltora-release" "$(med "${x_ours[@]}")" "$(med "${x_ref[@]}")" "$x_kb" "≤ 1.0 (7z x)"
row "veltora-release of a ${r_mb} MB bundle of ${r_files} files against two old versions, 5% changed" "$(med "${rel_ours[@]}")" "$(med "${rel_ref[@]}")" "$rel_kb" "report (7z a -mx=5 -mmt=on of the new bundle)"
awk -v o="$fix_ours" -v r="$fix_ref" 'BEGIN { printf "| size of that release'\''s whole-bundle packet: ours / 7z a -mx=5 -mmt=on | %d B | %d B | %.3f | ≤ 1.05 | |\n", o, r, o / r }'
