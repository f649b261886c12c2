#!/bin/sh
# Installs the Debian packages the project needs, when missing: with
# "build" only what building it takes, with "package" also what building
# and checking the Debian package takes, otherwise what building it takes
# and everything the tests drive (sound servers, OSS emulations, sanitizer
# runtime, valgrind).  Where there is no apt-get, it looks for what each
# package gives instead and names what is missing: it stops when building
# lacks something, and goes on when only tests lack it (they skip).
set -eu
# Each package with what shows it is there: a command, a header or a file.
build="cmake:cmake make:make g++:g++
       libgtest-dev:gtest/gtest.h libgmock-dev:gmock/gmock.h"
package="dpkg-dev:dpkg-buildflags file:file lintian:lintian"
tests="clang:clang
       libclang-rt-14-dev:/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a
       pkg-config:pkg-config sox:sox time:/usr/bin/time alsa-oss:aoss
       valgrind:valgrind
       libasound2-plugins:/usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so
       pulseaudio:pulseaudio pulseaudio-utils:pactl
       libpulsedsp:/usr/lib/*/pulseaudio/libpulsedsp.so
       pipewire:pipewire pipewire-bin:pw-cli pipewire-pulse:pipewire-pulse
       wireplumber:wireplumber dbus-daemon:dbus-daemon
       libsox-fmt-oss:/usr/lib/*/sox/libsox_fmt_oss.so mpg123:mpg123
       ffmpeg:ffmpeg vorbis-tools:ogg123 mplayer:mplayer timidity:timidity
       freepats:/etc/timidity/freepats.cfg
       gstreamer1.0-tools:gst-launch-1.0
       gstreamer1.0-plugins-base:/usr/lib/*/gstreamer-1.0/libgstaudioconvert.so
       gstreamer1.0-plugins-good:/usr/lib/*/gstreamer-1.0/libgstossaudio.so"
case ${1:-all} in
  build) needed=$build optional="" ;;
  package) needed="$build $package" optional="" ;;
  all) needed=$build optional=$tests ;;
  *)
    echo "usage: scripts/deps.sh [build | package]" >&2
    exit 2
    ;;
esac

# has WHAT: the command, header (*.h, as the C++ compiler finds it) or
# file (a pattern) WHAT is there.
has() {
  case $1 in
    /*) for f in $1; do [ -e "$f" ] && return 0; done; return 1 ;;
    *.h) printf '#include <%s>\n' "$1" | "${CXX:-c++}" -E -x c++ - >/dev/null 2>&1 ;;
    *) command -v "$1" >/dev/null ;;
  esac
}
# lacking PACKAGE:WHAT...: the entries whose WHAT is not there.
lacking() {
  for entry in "$@"; do has "${entry#*:}" || printf ' %s' "${entry#*:} (${entry%%:*})"; done
}

if ! command -v apt-get >/dev/null; then
  # shellcheck disable=SC2086 # one argument per entry
  missing=$(lacking $needed)
  # shellcheck disable=SC2086
  [ -z "$optional" ] || [ -z "$(lacking $optional)" ] ||
    echo "No apt-get here, and the tests that need these skip:$(lacking $optional)" >&2
  [ -z "$missing" ] && exit 0
  echo "No apt-get here to install what is missing; install it by hand:$missing" >&2
  exit 1
fi
missing=""
for entry in $needed $optional; do
  dpkg -s "${entry%%:*}" >/dev/null 2>&1 || missing="$missing ${entry%%:*}"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
# shellcheck disable=SC2086 # one argument per package
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
