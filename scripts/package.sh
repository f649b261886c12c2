#!/bin/sh
# Builds the Debian package of the player, vdsp and the libraries (an
# install into /usr, with Debian's hardening flags, stripped) into
# build-deb/, checks it with lintian, and prints its path.  lintian's
# errors fail the build; its warnings are shown.
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
deb=$(ls build-deb/*.deb)
lintian --fail-on error "$deb" >&2
echo "$deb"
