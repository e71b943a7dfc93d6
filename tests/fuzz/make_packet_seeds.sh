#!/bin/sh
# make_packet_seeds.sh SEED-DIR: small packets of the shapes the index reader
# accepts, made with the 7z tool.
set -e
seeds=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/sub/empty"
printf 'hello\n' > "$work/tree/a.txt"
seq 1 400 > "$work/tree/sub/numbers.txt"
head -c 3000 /dev/urandom > "$work/tree/sub/noise.bin"
: > "$work/tree/empty.txt"
ln -s ../a.txt "$work/tree/sub/link"
cd "$work/tree"
7z a -snl -bd -y "$seeds/default.7z" . > /dev/null
7z a -snl -bd -y -mx=1 -mhc=off "$seeds/plain-index.7z" . > /dev/null
7z a -snl -bd -y -ms=off "$seeds/non-solid.7z" . > /dev/null
