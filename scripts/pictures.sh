#!/usr/bin/env bash
# Takes the README's pictures again:
#   scripts/pictures.sh BUILD_DIR [DOCS_DIR]
# update-window.png, setup-window.png and success-box.png are cut from the screenshots of a
# demo run (scripts/demo.sh); avatar-dialog.png is the avatar editor with a still from the
# test-pattern camera; failures-page.png is the failure-log service's page (failures-page.sh).
# All are scaled down and, with optipng installed, squeezed.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: pictures.sh BUILD_DIR [DOCS_DIR]}" && pwd)
docs=${2:-$repo/docs}
mkdir -p "$docs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fit() { "$build/tools/screenshot/veltora-screenshot" --fit "$1" "$docs/$2" "$3"; }

echo "== The demo, for the windows of an update"
# Under Xvfb, so the screen holds nothing else.
if ! env -u DISPLAY bash "$repo/scripts/demo.sh" "$build" "$work/demo" > "$work/demo.log" 2>&1; then
    cat "$work/demo.log"
    exit 1
fi

# The screen runs empty, the update window, empty, the setup window, its final message, empty:
# split the pictures at the empty screens (the first picture is one).
shots=("$work"/demo/screenshots/shot-*.png)
updating=() setup=()
segment=0
for shot in "${shots[@]:1}"; do
    if cmp -s "$shot" "${shots[0]}"; then
        [ ${#updating[@]} -gt 0 ] && segment=1
        continue
    fi
    if [ $segment -eq 0 ]; then updating+=("$shot"); else setup+=("$shot"); fi
done
if [ ${#updating[@]} -eq 0 ] || [ ${#setup[@]} -lt 2 ]; then
    echo "pictures.sh: the demo's screenshots do not show the update and the setup (see $work/demo)" >&2
    trap - EXIT
    exit 1
fi
fit "${updating[$(( ${#updating[@]} / 2 ))]}" update-window.png 400
fit "${setup[$(( (${#setup[@]} - 1) / 2 ))]}" setup-window.png 400
fit "${setup[-1]}" success-box.png 400

echo "== The avatar editor with the test-pattern camera"
ZELCAMERA_TEST_PATTERN=1 ASAN_OPTIONS=detect_leaks=0 xvfb-run -a -s "-screen 0 1024x768x24" \
    "$build/avatar/avatar-demo" --auto --picture "$work/avatar-dialog.png" "$work/avatar.png" > /dev/null
fit "$work/avatar-dialog.png" avatar-dialog.png 480

echo "== The failure-log service's page"
bash "$repo/scripts/failures-page.sh" "$build" "$docs"

if command -v optipng > /dev/null; then
    optipng -quiet -o5 -strip all "$docs"/{update-window,setup-window,success-box,avatar-dialog}.png
fi
ls -l "$docs"/{update-window,setup-window,success-box,avatar-dialog}.png
