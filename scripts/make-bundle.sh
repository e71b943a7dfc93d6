#!/usr/bin/env bash
# Lays out an installed Veltora bundle from a build:
#   scripts/make-bundle.sh BUILD_DIR DEST.app APP_BINARY [VERSION [PUBLIC_KEY_FILE]]
# The build's install component "bundle" (cmake/VeltoraBundle.cmake) lays out the updater's
# programs, qt.conf and the Qt frameworks and plug-ins; this adds what belongs to one release:
# DEST.app/Contents/MacOS/Veltora     APP_BINARY
# DEST.app/Contents/Resources         version.txt, release-signing-key.pub (the vendor's
#                                     public release key from veltora-release --generate-key;
#                                     with it the programs take only releases signed by that key)
set -euo pipefail

build=${1:?usage: make-bundle.sh BUILD_DIR DEST.app APP_BINARY [VERSION [PUBLIC_KEY_FILE]]}
dest=${2:?destination bundle}
app=${3:?application binary}
version=${4:-}
public_key=${5:-}

cmake --install "$build" --component bundle --prefix "$dest" > /dev/null

contents="$dest/Contents"
install -m 0755 "$app" "$contents/MacOS/Veltora"
[ -n "$version" ] && printf '%s\n' "$version" > "$contents/Resources/version.txt"
[ -n "$public_key" ] && install -m 0644 "$public_key" "$contents/Resources/release-signing-key.pub"
exit 0
