#!/usr/bin/env bash
# Benchmarks the project's building blocks against the standard tools on the same data.
# BENCH_SCALE (default 1) divides the data sizes for quick runs; BENCH_RUNS sets the runs per pair.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:?usage: run.sh BUILD_DIR}
. "$here/lib.sh"

scale=${BENCH_SCALE:-1}
runs=${BENCH_RUNS:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/veltora-bench.XXXXXX")
trap '"$repo/scripts/nginx-serve.sh" stop "$work/nginx" 2>/dev/null; rm -rf "$work"' EXIT
fileutils="$bin/bench/bench_fileutils"
patcher="$bin/bench/bench_patch"
downloader="$bin/bench/bench_download"
repo=$(cd "$here/.." && pwd)

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
"$repo/scripts/nginx-serve.sh" stop "$work/nginx"
rm -f "$work/dl-ours.bin" "$work/dl-ref.bin" "$work/www/download.bin"

med() { printf '%s\n' "$@" | median; }
table_header
row "download of a ${download_mb} MB file from nginx on loopback" "$(med "${dl_ours[@]}")" "$(med "${dl_ref[@]}")" "$dl_kb" "≤ 1.1 (curl -o); memory < 64 MB"
row "copy of a ${total_mb} MB tree of ${files} files to an empty place" "$(med "${copy_ours[@]}")" "$(med "${copy_ref[@]}")" "$copy_kb" "≤ 1.5 (cp -a)"
row "the same onto an identical tree" "$(med "${same_ours[@]}")" "$(med "${same_ref[@]}")" "$same_kb" "≤ 1.2 (md5sum of both trees)"
row "patch of a ${patch_mb} MB file ($(stat -c %s "$work/patch.bin") byte patch)" "$(med "${patch_ours[@]}")" "$(med "${patch_ref[@]}")" "$patch_kb" "≤ 1.5 (bzip2 of its blocks)"
