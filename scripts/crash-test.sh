#!/usr/bin/env bash
# Kill anywhere, N times: scripts/crash-test.sh N [BUILD_DIR]
# Kills the setup program at random moments of its install and lets the updater's
# recovery at start-up act; prints "N kills: A finished, B restored, 0 mixed".
set -euo pipefail
kills=${1:?usage: crash-test.sh N [BUILD_DIR]}
build=${2:-build}
cd "$(dirname "$0")/.."
cmake --build "$build" --target tst_crashrecovery > /dev/null
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
env VELTORA_CRASH_KILLS="$kills" HOME="$home" XDG_DATA_HOME="$home/.local/share" XDG_CONFIG_HOME="$home/.config" \
    XDG_CACHE_HOME="$home/.cache" QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 \
    "$build/tests/e2e/tst_crashrecovery" 2>&1 | grep -E 'kills:|FAIL|kill [0-9]+ after' | sed 's/^QINFO *: [^ ]* //'
