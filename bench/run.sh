#!/usr/bin/env bash
# Benchmarks the project's building blocks against the standard tools on the same data.
# BENCH_SCALE (default 1) divides the data sizes for quick runs; BENCH_RUNS sets the runs per pair.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: run.sh BUILD_DIR}
. "$here/lib.sh"

cleanup() { "$repo/scripts/nginx-serve.sh" stop "$work/nginx" 2>/dev/null || true; }
bench_work veltora-bench
fileutils="$bin/bench/bench_fileutils"
patcher="$bin/bench/bench_patch"
downloader="$bin/tests/support/download_child"

# A tree of 2,000 files totalling 500 MB (sizes vary from a few KB to about half a MB).
files=$((2000 / scale)); total_mb=$((500 / scale))
mkdir -p "$work/tree"
# Sizes vary around the mean so that small and large files both occur.
mean=$((total_mb * 1024 * 1024 / files))
for ((i = 0; i < files; i++)); do
    d="$work/tree/d$((i % 40))/s$((i % 7))"
    mkdir -p "$d"
    head -c $((mean / 4 + (i * 7919 % files) * mean * 3 / 2 / files)) /dev/urandom > "$d/f$i.bin"
done

copy_ours=(); copy_ref=(); copy_kb=0
same_ours=(); same_ref=(); same_kb=0
for ((i = 0; i < runs; i++)); do
    rm -rf "$work/a" "$work/b"; sync
    read -r s kb < <(measure "$fileutils" copy "$work/tree" "$work/a"); copy_ours+=("$s"); copy_kb=$((kb > copy_kb ? kb : copy_kb))
    read -r s _ < <(measure cp -a "$work/tree" "$work/b"); copy_ref+=("$s")
    read -r s kb < <(measure "$fileutils" copy "$work/tree" "$work/a"); same_ours+=("$s"); same_kb=$((kb > same_kb ? kb : same_kb))
    read -r s _ < <(measure sh -c 'find "$1" "$2" -type f -print0 | xargs -0 md5sum' _ "$work/tree" "$work/a"); same_ref+=("$s")
done

# A 100 MB file and a version of it with scattered small changes and an insertion.
patch_mb=$((100 / scale))
head -c $((patch_mb * 1024 * 1024)) /dev/urandom > "$work/old.bin"
{ head -c $((patch_mb * 512 * 1024)) "$work/old.bin"; head -c 65536 /dev/urandom; tail -c +$((patch_mb * 512 * 1024 + 1)) "$work/old.bin"; } > "$work/new.bin"
for ((i = 1; i <= 2000; i++)); do
    printf 'x' | dd of="$work/new.bin" bs=1 seek=$(( (i * 52361) % (patch_mb * 1024 * 1024) )) conv=notrunc status=none
done
"$patcher" make "$work/old.bin" "$work/new.bin" "$work/patch.bin"
patch_ours=(); patch_ref=(); patch_kb=0
for ((i = 0; i < runs; i++)); do
    rm -f "$work/out.bin"
    read -r s kb < <(measure "$patcher" apply "$work/old.bin" "$work/out.bin" "$work/patch.bin"); patch_ours+=("$s"); patch_kb=$((kb > patch_kb ? kb : patch_kb))
    read -r s _ < <(measure "$patcher" floor "$work/patch.bin"); patch_ref+=("$s")
done
cmp -s "$work/out.bin" "$work/new.bin" || { echo "bspatch produced a different file" >&2; exit 1; }

# A 512 MB file from nginx on loopback: two ranged requests against curl's one.
download_mb=$((512 / scale))
mkdir -p "$work/www"
head -c $((download_mb * 1024 * 1024)) /dev/urandom > "$work/www/download.bin"
port=$("$repo/scripts/nginx-serve.sh" start "$work/www" "$work/nginx")
dl_ours=(); dl_ref=(); dl_kb=0
for ((i = 0; i < runs; i++)); do
    rm -f "$work/dl-ours.bin" "$work/dl-ref.bin"
    read -r s kb < <(measure "$downloader" "http://127.0.0.1:$port/download.bin" "$work/dl-ours.bin"); dl_ours+=("$s"); dl_kb=$((kb > dl_kb ? kb : dl_kb))
    read -r s _ < <(measure curl -s -o "$work/dl-ref.bin" "http://127.0.0.1:$port/download.bin"); dl_ref+=("$s")
done
cmp -s "$work/dl-ours.bin" "$work/www/download.bin" || { echo "the download differs" >&2; exit 1; }
# The same file cut once at 50% and fetched again: ours resumes, curl continues with -C -.
resume_rows=$("$here/resume.sh" "$bin" "$port" "$work/www" download.bin)
"$repo/scripts/nginx-serve.sh" stop "$work/nginx"
rm -f "$work/dl-ours.bin" "$work/dl-ref.bin" "$work/www/download.bin"

# MD5 of a 1 GB file.
md5_mb=$((1024 / scale))
head -c $((md5_mb * 1024 * 1024)) /dev/urandom > "$work/big.bin"
md5_ours=(); md5_ref=(); md5_kb=0
for ((i = 0; i < runs; i++)); do
    read -r s kb < <(measure "$fileutils" md5 "$work/big.bin"); md5_ours+=("$s"); md5_kb=$((kb > md5_kb ? kb : md5_kb))
    read -r s _ < <(measure md5sum "$work/big.bin"); md5_ref+=("$s")
done
[ "$("$fileutils" md5 "$work/big.bin")" = "$(md5sum "$work/big.bin" | cut -d' ' -f1)" ] || { echo "digests differ" >&2; exit 1; }
rm -f "$work/big.bin"

# Extraction of a 300 MB LZMA2 packet of about 3,000 files (half text, half random).
x_files=$((3000 / scale)); x_mb=$((300 / scale))
mkdir -p "$work/xsrc/packet"
x_mean=$((x_mb * 1024 * 1024 / x_files))
for ((i = 0; i < x_files; i++)); do
    d="$work/xsrc/packet/d$((i % 30))"
    mkdir -p "$d"
    if ((i % 2)); then head -c "$x_mean" /dev/urandom > "$d/f$i.bin"; else head -c $((x_mean * 3 / 4)) /dev/urandom | base64 -w 76 > "$d/f$i.txt"; fi
done
(cd "$work/xsrc" && 7z a -t7z -m0=lzma2 -mx=1 -bd -y "$work/packet.pkt" packet > /dev/null)
extraction_runs "$work/packet.pkt"
x_row=$(row "extraction of a ${x_mb} MB LZMA2 packet of ${x_files} files" "$(med "${x_ours[@]}")" "$(med "${x_ref[@]}")" "$x_kb" "≤ 1.0 (7z x)")
# The sources go after the runs, for the same reason as extraction_runs keeps its folders.
rm -rf "$work/xsrc" "$work/xo" "$work/xr" "$work/packet.pkt"

# Many small files (2 KB of text each) in 30 folders, once one folder deep and once twelve:
# the time per file must not grow with the depth of its folder.
s_files=$((30000 / scale)); small_rows=()
small_tree() { # small_tree ROOT DEPTH: s_files files, one line of 2 KB each
    local d i path
    for ((d = 0; d < 30; d++)); do
        path="$1/d$d"
        for ((i = 1; i < $2; i++)); do path="$path/s$i"; done
        mkdir -p "$path"; echo "$path"
    done > "$work/dirs"
    head -c $((s_files * 1536)) /dev/urandom | base64 -w 2048 |
        awk -v files="$s_files" 'NR == FNR { dir[n++] = $0; next } FNR <= files { f = dir[FNR % n] "/f" FNR ".txt"; print > f; close(f) }' "$work/dirs" -
}
for depth in 1 12; do
    mkdir -p "$work/ssrc/packet"
    small_tree "$work/ssrc/packet" "$depth"
    (cd "$work/ssrc" && 7z a -t7z -m0=lzma2 -mx=1 -bd -y "$work/small.pkt" packet > /dev/null)
    extraction_runs "$work/small.pkt"
    small_rows+=("$(row "extraction of ${s_files} files of 2 KB in folders ${depth} deep" "$(med "${x_ours[@]}")" "$(med "${x_ref[@]}")" "$x_kb" "≤ 1.0 (7z x)")")
    rm -rf "$work/ssrc" "$work/xo" "$work/xr" "$work/small.pkt"
done

# A whole partial update of a 300 MB bundle with 5% of it changed, from the command line
# to "Update success", against the sum of the floors for the same data.
u_mb=$((300 / scale))
bundle() { # bundle DIR: an installed bundle plus 60 resource files of the given size
    "$repo/scripts/make-bundle.sh" "$bin" "$1" "$bin/platform/veltora_app_1_0" > /dev/null
    for ((i = 0; i < 60; i++)); do
        head -c $((u_mb * 1024 * 1024 / 60)) "$work/seed.bin" > "$1/Contents/Resources/r$i.bin"
    done
}
head -c $((u_mb * 1024 * 1024 / 60)) /dev/urandom > "$work/seed.bin"
bundle "$work/u-old"
cp -a "$work/u-old" "$work/u-new"
# 5%: three of sixty files get scattered changes.
for f in 3 17 41; do
    for ((k = 1; k <= 200; k++)); do
        printf 'Z' | dd of="$work/u-new/Contents/Resources/r$f.bin" bs=1 seek=$(( (k * 7919 * 13) % (u_mb * 1024 * 1024 / 60) )) conv=notrunc status=none
    done
done
for ((i = 0; i < 60; i++)); do printf 'file %d of the old version\n' "$i" >> "$work/u-old/Contents/Resources/r$i.bin"; printf 'file %d of the old version\n' "$i" >> "$work/u-new/Contents/Resources/r$i.bin"; done
mkdir -p "$work/u-fix/Contents/MacOS" "$work/uwww/mac"; printf 'fix\n' > "$work/u-fix/Contents/MacOS/readme"
echo image > "$work/u.dmg"
port=$("$repo/scripts/nginx-serve.sh" start "$work/uwww" "$work/unginx")
"$releaser" --quiet --new "$work/u-new" --old "1.0=$work/u-old" --base-url "http://127.0.0.1:$port/mac" --out "$work/uwww/mac" \
    --installer "$work/u.dmg" --fix-bundle "$work/u-fix" --release-version 2.0 > /dev/null
partial_size=$(stat -c %s "$work/uwww/mac/2.0/partial-1.0.pkt"); replace_size=$(stat -c %s "$work/uwww/mac/2.0/replace-1.0.pkt")
up_ours=(); up_floor=(); up_kb=0
for ((i = 0; i < runs; i++)); do
    h="$work/uhome"; rm -rf "$h" "$work/installed"; mkdir -p "$h/bin" "$h/.local/share" "$h/.cache" "$h/.config"
    printf '#!/bin/sh\nexit 0\n' > "$h/bin/killall"; chmod +x "$h/bin/killall"
    cp -a "$work/u-old" "$work/installed"
    start=$(date +%s%N)
    env HOME="$h" XDG_DATA_HOME="$h/.local/share" XDG_CACHE_HOME="$h/.cache" XDG_CONFIG_HOME="$h/.config" PATH="$h/bin:$PATH" \
        QT_QPA_PLATFORM=offscreen VELTORA_MESSAGEBOX_AUTOCLOSE_MS=0 \
        /usr/bin/time -f '%M' -o "$work/u-rss" "$work/installed/Contents/MacOS/update" 1.0 "http://127.0.0.1:$port/mac/update.json" "*$work/installed*" > /dev/null 2>&1 || true
    while pgrep -f "$work/installed/Contents" > /dev/null; do sleep 0.05; done
    end=$(date +%s%N)
    up_ours+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')")
    kb=$(tail -n1 "$work/u-rss"); up_kb=$((kb > up_kb ? kb : up_kb))
    cmp -s "$work/installed/Contents/Resources/r17.bin" "$work/u-new/Contents/Resources/r17.bin" || { echo "the update did not install" >&2; exit 1; }
    # The floor: fetch the packet, unpack it, decode its patches, read both trees.
    rm -rf "$work/floor"; mkdir -p "$work/floor"
    fstart=$(date +%s%N)
    curl -s -o "$work/floor/p.pkt" "http://127.0.0.1:$port/mac/2.0/partial-1.0.pkt"
    7z x -bd -y "-o$work/floor" "$work/floor/p.pkt" > /dev/null
    for p in "$work"/floor/partial-1.0/Contents/Resources/*.patch; do [ -f "$p" ] && "$patcher" floor "$p"; done
    find "$work/u-old" "$work/u-new" -type f -print0 | xargs -0 md5sum > /dev/null
    fend=$(date +%s%N)
    up_floor+=("$(awk -v ns=$((fend - fstart)) 'BEGIN { printf "%.3f", ns / 1e9 }')")
done
"$repo/scripts/nginx-serve.sh" stop "$work/unginx"
rm -rf "$work/u-old" "$work/u-new" "$work/installed" "$work/floor" "$work/uwww"
release_rows=$("$here/release.sh" "$bin")

table_header
row "download of a ${download_mb} MB file from nginx on loopback" "$(med "${dl_ours[@]}")" "$(med "${dl_ref[@]}")" "$dl_kb" "≤ 1.1 (curl -o); memory < 64 MB"
echo "$resume_rows"
row "copy of a ${total_mb} MB tree of ${files} files to an empty place" "$(med "${copy_ours[@]}")" "$(med "${copy_ref[@]}")" "$copy_kb" "≤ 1.5 (cp -a)"
row "the same onto an identical tree" "$(med "${same_ours[@]}")" "$(med "${same_ref[@]}")" "$same_kb" "≤ 1.2 (md5sum of both trees)"
row "patch of a ${patch_mb} MB file ($(stat -c %s "$work/patch.bin") byte patch)" "$(med "${patch_ours[@]}")" "$(med "${patch_ref[@]}")" "$patch_kb" "≤ 1.5 (bzip2 of its blocks)"
row "MD5 of a ${md5_mb} MB file" "$(med "${md5_ours[@]}")" "$(med "${md5_ref[@]}")" "$md5_kb" "≤ 1.1 (md5sum)"
echo "$x_row"
printf '%s\n' "${small_rows[@]}"
row "whole partial update of a ${u_mb} MB bundle, 5% changed" "$(med "${up_ours[@]}")" "$(med "${up_floor[@]}")" "$up_kb" "report (sum of floors)"
awk -v p="$partial_size" -v r="$replace_size" 'BEGIN { printf "| patch size for that update: partial / replace packet | %d B | %d B | %.3f | report | |\n", p, r, p / r }'
echo "$release_rows"
