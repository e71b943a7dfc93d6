#!/usr/bin/env bash
# A whole update, as a person would see it: an installed bundle of version 1.0, a
# release 2.0 published with veltora-release and served by nginx on loopback, the
# updater run in real windows (under Xvfb when there is no display), screenshots while
# the windows are up, and a short report. Then a second update whose packet does not match
# its digest fails, its log goes through nginx to the vendor's failure-log service
# (veltora-logs), and the service's report shows it. Exits non-zero unless 2.0 ends up
# installed and the failure is in the report.
#   scripts/demo.sh BUILD_DIR [OUTPUT_DIR]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: demo.sh BUILD_DIR [OUTPUT_DIR]}" && pwd)
out=${2:-$repo/demo-output}
rm -rf "$out"
mkdir -p "$out/screenshots"
out=$(cd "$out" && pwd)
work="$out/work"
home="$work/home"
mkdir -p "$home/Desktop" "$home/.local/share/Veltora" "$home/.cache" "$home/.config" "$home/bin" "$home/runtime"
chmod 700 "$home/runtime"

if [ -z "${DISPLAY:-}" ] && [ -z "${VELTORA_DEMO_IN_XVFB:-}" ]; then
    exec env VELTORA_DEMO_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$build" "$out"
fi

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

echo "== Making the vendor's release key (once per product)"
t0=$(now)
"$build/tools/release/veltora-release" --generate-key "$work/keys" > /dev/null
public_key="$work/keys/release-signing-key.pub"

echo "== Laying out the bundles (each carries the public key)"
"$repo/scripts/make-bundle.sh" "$build" "$work/bundles/1.0/Veltora.app" "$build/platform/veltora_app_1_0" 1.0 "$public_key"
"$repo/scripts/make-bundle.sh" "$build" "$work/bundles/2.0/Veltora.app" "$build/platform/veltora_app_2_0" 2.0 "$public_key"
head -c 8000000 /dev/urandom > "$work/bundles/1.0/Veltora.app/Contents/Resources/media.bin"
cp "$work/bundles/1.0/Veltora.app/Contents/Resources/media.bin" "$work/bundles/2.0/Veltora.app/Contents/Resources/media.bin"
printf 'x' | dd of="$work/bundles/2.0/Veltora.app/Contents/Resources/media.bin" bs=1 seek=1000 conv=notrunc status=none
echo "resources of 1.0" > "$work/bundles/1.0/Veltora.app/Contents/Resources/notes.txt"
echo "new in 2.0" > "$work/bundles/2.0/Veltora.app/Contents/Resources/whatsnew.txt"
echo "disk image of 2.0" > "$work/Veltora-2.0.dmg"
echo '{"delete": ["Login/token"], "add": {"Network/server": "demo"}}' > "$work/settings.json"

echo "== Starting the vendor's failure-log service"
"$build/tools/logs/veltora-logs" serve --db "$work/failures.sqlite" --listen 127.0.0.1:0 --trust-proxy 2> "$work/veltora-logs.log" &
logs_pid=$!
trap 'kill $logs_pid 2>/dev/null' EXIT
logs_port=
for _ in $(seq 100); do
    logs_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/veltora-logs.log")
    [ -n "$logs_port" ] && break
    sleep 0.1
done
[ -n "$logs_port" ] || { cat "$work/veltora-logs.log" >&2; exit 1; }

echo "== Publishing 2.0, signed"
mkdir -p "$work/www/mac"
port=$(RATE=2m LOGS_SERVICE="127.0.0.1:$logs_port" "$repo/scripts/nginx-serve.sh" start "$work/www" "$work/nginx")
trap 'kill $logs_pid 2>/dev/null; "$repo/scripts/nginx-serve.sh" stop "$work/nginx"' EXIT
"$build/tools/release/veltora-release" --new "$work/bundles/2.0/Veltora.app" --old "1.0=$work/bundles/1.0/Veltora.app" \
    --base-url "http://127.0.0.1:$port/mac" --out "$work/www/mac" --installer "$work/Veltora-2.0.dmg" \
    --settings "$work/settings.json" --signing-key "$work/keys/release-signing.key" > /dev/null
t1=$(now)

echo "== Installing 1.0 and running its updater"
install="$home/Applications/Veltora.app"
mkdir -p "$home/Applications"
cp -a "$work/bundles/1.0/Veltora.app" "$install"
printf '[General]\nCatUpdateLog=true\n[Login]\ntoken=secret\n' > "$home/.local/share/Veltora/settings.ini"
printf '#!/bin/sh\nexit 0\n' > "$home/bin/killall"   # nothing else on this machine gets stopped
chmod +x "$home/bin/killall"

export HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_CONFIG_HOME="$home/.config"
export XDG_RUNTIME_DIR="$home/runtime" PATH="$home/bin:$PATH" VELTORA_MESSAGEBOX_AUTOCLOSE_MS=2500
export QT_QPA_PLATFORM=xcb ASAN_OPTIONS=detect_leaks=0

# Pictures of every change on the screen while the programs run.
"$build/tools/screenshot/veltora-screenshot" --watch "$out/screenshots" 40 "$work/stop-shots" 2>/dev/null &
shooter=$!
sleep 1

t2=$(now)
"$install/Contents/MacOS/update" 1.0 "http://127.0.0.1:$port/mac/update.json" "*$install*" > "$work/update.out" 2>&1 || true
t3=$(now)
while pgrep -f "$install/Contents" > /dev/null; do sleep 0.2; done
t4=$(now)
sleep 0.5
touch "$work/stop-shots"
wait "$shooter" || true
log=$(ls "$home"/Desktop/update_*.log 2>/dev/null | head -n1)
road="partial packet (patches)"
grep -q "UncompressReplacePacketSuccess" "$log" && road="replace packet after a failed patch"
grep -q "start installer" "$log" && road="full installer"
bytes=$(awk '$9 ~ /^20[06]$/ && $7 ~ /^\/mac\// { sum += $10 } END { print sum + 0 }' "$work/nginx/access.log")
changed=$(python3 -c 'import json,sys; m=json.load(open(sys.argv[1]))["mac"]["partialPacket"]["1.0"]["modify"]; print(len(m["patch"]), "patched,", len(m["add"]), "added,", len(m["delete"]), "deleted")' "$work/www/mac/update.json" 2>/dev/null || echo "see the manifest")

signature="not checked"
[ "$(grep -c "Update signature verified" "$log")" -eq 2 ] && signature="verified by the updater and by the setup program"

status=0
if diff -r --no-dereference -x backup -x fixupdate "$install" "$work/bundles/2.0/Veltora.app" > "$work/diff.txt"; then
    result="the installed bundle is version 2.0"
    [ -f "$install/Contents/Resources/release-signing-key.pub" ] || { result="the installed bundle lacks the public key"; status=1; }
else
    result="the installed bundle differs from version 2.0 (see $work/diff.txt)"
    status=1
fi

echo "== A second update from 1.0, whose packet does not match its digest"
again="$home/Applications/Veltora again.app"
cp -a "$work/bundles/1.0/Veltora.app" "$again"
for packet in "$work"/www/mac/*/partial-1.0.pkt; do printf 'x' >> "$packet"; done
# The upload reads the log from the default folder, not from the Desktop.
printf '[Login]\ntoken=secret\n' > "$home/.local/share/Veltora/settings.ini"
# The vendor's host is reached through the vendor's nginx; the packets directly.
http_proxy="http://127.0.0.1:$port" no_proxy=127.0.0.1 \
    "$again/Contents/MacOS/update" 1.0 "http://127.0.0.1:$port/mac/update.json" "*$again*" > "$work/update-again.out" 2>&1 || true
while pgrep -f "$again/Contents" > /dev/null; do sleep 0.2; done
"$build/tools/logs/veltora-logs" report --db "$work/failures.sqlite" > "$work/failures.txt"
if grep -q "md5 is not match" "$work/failures.txt"; then
    failure="uploaded, stored and reported (below)"
else
    failure="not in the failure report (see $work/veltora-logs.log)"
    status=1
fi

cat <<REPORT

== Report
Road taken:        $road
Bytes downloaded:  $bytes (packets and manifest from nginx on 127.0.0.1:$port)
Files changed:     $changed
Signature:         $signature (key $(cat "$public_key"))
Time, preparing:   $(seconds "$t0" "$t1") s (bundles and release)
Time, updater:     $(seconds "$t2" "$t3") s (manifest, download, unpack, patch, hand-off)
Time, setup:       $(seconds "$t3" "$t4") s (install, settings, clean-up, message)
Result:            $result
Screenshots:       $out/screenshots ($(ls "$out"/screenshots | wc -l) distinct pictures)
Log:               $log
Failing update:    $failure

== What fails (veltora-logs report)
$(cat "$work/failures.txt")
REPORT
exit $status
