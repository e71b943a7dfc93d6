#!/usr/bin/env bash
# Lays out an installed Veltora bundle from a build:
#   scripts/make-bundle.sh BUILD_DIR DEST.app APP_BINARY [VERSION [PUBLIC_KEY_FILE]]
# DEST.app/Contents/MacOS         Veltora (APP_BINARY), update, finisher, hdiutil
# DEST.app/Contents/Resources     qt.conf, version.txt, release-signing-key.pub (the vendor's
#                                 public release key from veltora-release --generate-key; with
#                                 it the programs take only releases signed by that key)
# DEST.app/Contents/Frameworks    Qt<Module>.framework/Versions/5/libQt5<Module>.so.5, Versions/Current -> 5
# DEST.app/Contents/PlugIns       bearer, imageformats, platforms, printsupport
set -euo pipefail

build=${1:?usage: make-bundle.sh BUILD_DIR DEST.app APP_BINARY [VERSION [PUBLIC_KEY_FILE]]}
dest=${2:?destination bundle}
app=${3:?application binary}
version=${4:-}
public_key=${5:-}

# The Qt modules and plug-in kinds, as the build describes them.
# shellcheck source=/dev/null
. "$build/bundle-contents.sh"

qtlib=$(dirname "$(readlink -f "$(ldconfig -p | awk '/libQt5Core.so.5 / { print $NF; exit }')")")
plugins=$(qtpaths --plugin-dir 2>/dev/null || true)
[ -d "$plugins" ] || plugins="$qtlib/qt5/plugins"

contents="$dest/Contents"
mkdir -p "$contents/MacOS" "$contents/Resources" "$contents/Frameworks" "$contents/PlugIns"
install -m 0755 "$app" "$contents/MacOS/Veltora"
install -m 0755 "$build/update/update" "$contents/MacOS/update"
install -m 0755 "$build/finisher/finisher" "$contents/MacOS/finisher"
install -m 0755 "$build/update/hdiutil" "$contents/MacOS/hdiutil"
printf '[Paths]\nPlugins = PlugIns\n' > "$contents/Resources/qt.conf"
[ -n "$version" ] && printf '%s\n' "$version" > "$contents/Resources/version.txt"
[ -n "$public_key" ] && install -m 0644 "$public_key" "$contents/Resources/release-signing-key.pub"

for module in $qt_modules; do
    framework="$contents/Frameworks/Qt$module.framework"
    mkdir -p "$framework/Versions/5"
    install -m 0644 "$qtlib/libQt5$module.so.5" "$framework/Versions/5/libQt5$module.so.5"
    ln -sfn 5 "$framework/Versions/Current"
    ln -sfn "Versions/Current/libQt5$module.so.5" "$framework/libQt5$module.so.5"
done

for kind in $plugin_kinds; do
    mkdir -p "$contents/PlugIns/$kind"
    if [ -d "$plugins/$kind" ]; then
        cp -L "$plugins/$kind"/*.so "$contents/PlugIns/$kind/" 2>/dev/null || true
    fi
done
