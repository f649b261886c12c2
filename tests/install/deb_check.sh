#!/bin/sh
# deb_check.sh DEB MKTONE: installs the Debian package DEB on this machine
# with apt-get (as root), checks what its users meet, and removes it again.
# MKTONE, the tone maker of the build the package came from (the package
# leaves it out), makes the file played.  CI runs it on a machine of its
# own; elsewhere it refuses to touch an installed vdlplay.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../support/install_consumer.sh
. "$here/../support/install_consumer.sh"
deb=$(realpath "$1")
mktone=$2
pkg=$(dpkg-deb -f "$deb" Package)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
installed() { dpkg-query -W -f '${Status}' "$pkg" 2>/dev/null | grep -q ' installed$'; }
! installed || fail "$pkg is installed already"

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "install"; }

# The contents a user looks for, man pages included: a machine may be set
# to leave them out of what dpkg unpacks.
dpkg-deb -c "$deb" >"$work/contents"
for f in usr/bin/vdlplay usr/bin/vdsp usr/include/vdl/wave.h \
         usr/share/man/man3/vdlBGMPlay_WaveDSP.3.gz; do
  grep -q " \./$f" "$work/contents" || fail "$f not in $deb"
done

if command -v man >/dev/null && [ -e /usr/share/man/man3/vdlwave.3.gz ]; then
  man 3 vdlBGMPlay_WaveDSP 2>/dev/null | grep -q '^ *vdlBGMPlay_WaveDSP$' ||
    fail "man 3 vdlBGMPlay_WaveDSP"
fi

# vdlplay from /usr/bin under vdsp from /usr/bin, the libraries found
# where the system looks for them.
mkdir "$work/scratch"
make_tone "$mktone" "$work/scratch/tone.wav"
printf '[Audio]\nDSP=/dev/dsp\n' >"$work/.vdlrc"
HOME=$work /usr/bin/vdsp --fast -o "$work/played.raw" -- \
  /usr/bin/vdlplay "$work/scratch/tone.wav" >"$work/play.log" 2>&1 ||
  { cat "$work/play.log"; fail "vdlplay under vdsp"; }
tail -c +45 "$work/scratch/tone.wav" | cmp -s - "$work/played.raw" ||
  fail "vdlplay did not play the file"
ldd /usr/bin/vdlplay | grep -q 'libvdlwave\.so\.[0-9]* => /\(usr/\)\{0,1\}lib/' ||
  fail "vdlplay loads: $(ldd /usr/bin/vdlplay)"

# A C program built against the installed package, shared library and all.
# shellcheck disable=SC2046,SC2086  # word lists on purpose
cc $consumer_cflags -o "$work/wave_c99" \
  "$here/wave_c99.c" $(pkg-config --cflags --libs vdlwave) ||
  fail "C program against the package"
/usr/bin/vdsp --fast -- "$work/wave_c99" "$work/scratch" || fail "C program"

apt-get remove -y -qq "$pkg" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "remove"; }
! installed || fail "$pkg still installed"
for f in /usr/bin/vdlplay /usr/bin/vdsp /usr/include/vdl \
         /usr/lib/*/libvdlwave.so.* /usr/lib/*/cmake/vdl; do
  [ ! -e "$f" ] || fail "$f left after removal"
done
apt-get purge -y -qq "$pkg" >/dev/null 2>&1
echo "ok: $deb installed, played, removed"
