#!/bin/sh
# Builds the Debian packages of the libraries (libvdlrc0, libvdlwave0,
# libvdl-dev), the player (vdlplay) and vdsp: an install into /usr, with
# Debian's hardening flags, stripped, into build-deb/.  Checks them with
# lintian, pedantic tags included, and prints their paths, one a line.
# Any tag lintian reports fails the build but its informational ones;
# cmake/deb/*.overrides say why a tag is overridden.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh package
# Read at the first configure of build-deb only; CMake takes no CPPFLAGS.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake --preset deb >/dev/null
cmake --build --preset deb -j "$(nproc)" >&2
rm -f build-deb/*.deb
cpack --preset deb >build-deb/cpack.log 2>&1 || { cat build-deb/cpack.log; exit 1; }
debs=$(ls build-deb/*.deb)
# shellcheck disable=SC2086 # one argument per package
lintian --pedantic --fail-on error,warning,pedantic $debs >&2
echo "$debs"
