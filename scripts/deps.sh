#!/bin/sh
# Installs the Debian packages the project needs, when missing: with
# "build" only what building it takes, with "package" also what building
# and checking the Debian package takes, otherwise what building it takes
# and everything the tests drive (sound servers, OSS emulations, sanitizer
# runtime, valgrind).
set -eu
build="cmake make g++ libgtest-dev libgmock-dev"
package="dpkg-dev file lintian"
tests="clang libclang-rt-14-dev pkg-config sox time alsa-oss valgrind
       libasound2-plugins pulseaudio pulseaudio-utils libpulsedsp
       pipewire pipewire-bin pipewire-pulse wireplumber dbus-daemon
       libsox-fmt-oss mpg123 ffmpeg vorbis-tools mplayer timidity freepats
       gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good"
case ${1:-all} in
  build) pkgs=$build ;;
  package) pkgs="$build $package" ;;
  all) pkgs="$build $tests" ;;
  *)
    echo "usage: scripts/deps.sh [build | package]" >&2
    exit 2
    ;;
esac
missing=""
for p in $pkgs; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
# shellcheck disable=SC2086 # one argument per package
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
