#!/bin/sh
# deb_check.sh MKTONE DEB...: installs the Debian packages DEB... of one
# build (vdsp, libvdlrc0, libvdlwave0, libvdl-dev, vdlplay) on this machine
# with apt-get (as root), a few at a time as a user would, checks what each
# gives its users, and purges them all again, leaving no file behind.
# MKTONE, the tone maker of the build the packages came from (they leave
# it out), makes the file played.  CI runs it on a machine of its own;
# elsewhere it refuses to touch an installed package of the project.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=../support/install_consumer.sh
. "$here/../support/install_consumer.sh"
mktone=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
debs="" pkgs=""
for deb in "$@"; do
  debs="$debs $(realpath "$deb")"
  pkgs="$pkgs $(dpkg-deb -f "$deb" Package)"
done
installed() { dpkg-query -W -f '${Status}' "$1" 2>/dev/null | grep -q ' installed$'; }
for p in $pkgs; do
  ! installed "$p" || fail "$p is installed already"
done

# deb_of PACKAGE: the file among the arguments that holds PACKAGE.
deb_of() {
  for d in $debs; do
    [ "$(dpkg-deb -f "$d" Package)" = "$1" ] && echo "$d" && return
  done
  fail "no package $1 among the arguments"
}
# install PACKAGE...: installs them from their files with apt-get.
install() {
  files=""
  for p in "$@"; do files="$files $(deb_of "$p")"; done
  # shellcheck disable=SC2086 # one argument per file
  apt-get install -y -qq $files >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "install $*"; }
}
export DEBIAN_FRONTEND=noninteractive

# What a user looks for, in the package it belongs to, man pages included:
# a machine may be set to leave them out of what dpkg unpacks.
for row in vdsp:usr/bin/vdsp vdsp:usr/share/man/man1/vdsp.1.gz \
    vdlplay:usr/bin/vdlplay vdlplay:usr/share/man/man1/vdlplay.1.gz \
    libvdl-dev:usr/include/vdl/wave.h libvdl-dev:usr/include/vdl/rcfile.h \
    libvdl-dev:usr/share/man/man3/vdlBGMPlay_WaveDSP.3.gz; do
  dpkg-deb -c "$(deb_of "${row%%:*}")" | grep " \./${row#*:}\( \|$\)" >/dev/null ||
    fail "${row#*:} not in ${row%%:*}"
done

mkdir "$work/scratch"
make_tone "$mktone" "$work/scratch/tone.wav"
printf '[Audio]\nDSP=/dev/dsp\n' >"$work/.vdlrc"

# The development package alone, with the virtual device to run what is
# built: C programs against each form of the library, through pkg-config
# (with no relative path in its flags) and through CMake.
install vdsp
install libvdlrc0 libvdlwave0 libvdl-dev
if command -v man >/dev/null && [ -e /usr/share/man/man3/vdlwave.3.gz ]; then
  man 3 vdlBGMPlay_WaveDSP 2>/dev/null | grep -q '^ *vdlBGMPlay_WaveDSP$' ||
    fail "man 3 vdlBGMPlay_WaveDSP"
fi
flags=$(pkg-config --cflags --libs vdlwave)
case $flags in *..*) fail "pkg-config vdlwave gives '$flags'" ;; esac
# shellcheck disable=SC2046,SC2086  # word lists on purpose
{ cc $consumer_cflags -o "$work/shared" "$here/wave_c99.c" $flags &&
  cc $consumer_cflags -o "$work/static" "$here/wave_c99.c" \
    -Wl,-Bstatic $(pkg-config --static --libs vdlwave) -Wl,-Bdynamic; } ||
  fail "C program against libvdl-dev"
for prog in shared static; do
  /usr/bin/vdsp --fast -- "$work/$prog" "$work/scratch" || fail "$prog C program"
done
cmake_build cmake "$here/../../examples/c" "$work/examples" /usr
got=$("$work/examples/rcvalue" "$work/rc" Audio DSP /dev/dsp1 2>/dev/null) ||
  fail "examples/c against libvdl-dev"
[ "$got" = /dev/dsp1 ] || fail "rcvalue printed '$got'"

# vdlplay from /usr/bin under vdsp from /usr/bin, the libraries found
# where the system looks for them.
install vdlplay
HOME=$work /usr/bin/vdsp --fast -o "$work/played.raw" -- \
  /usr/bin/vdlplay "$work/scratch/tone.wav" >"$work/play.log" 2>&1 ||
  { cat "$work/play.log"; fail "vdlplay under vdsp"; }
tail -c +45 "$work/scratch/tone.wav" | cmp -s - "$work/played.raw" ||
  fail "vdlplay did not play the file"
ldd /usr/bin/vdlplay | grep -q 'libvdlwave\.so\.[0-9]* => /\(usr/\)\{0,1\}lib/' ||
  fail "vdlplay loads: $(ldd /usr/bin/vdlplay)"

# shellcheck disable=SC2086 # one argument per package
apt-get purge -y -qq $pkgs >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "purge"; }
for p in $pkgs; do
  ! installed "$p" || fail "$p still installed"
done
# Nothing a package held is left, but directories other packages share.
for d in $debs; do
  dpkg-deb -c "$d" | awk '$6 != "./" { print substr($1, 1, 1), substr($6, 2) }' >"$work/contents"
  while read -r type f; do
    [ -e "$f" ] || [ -L "$f" ] || continue
    [ "$type" = d ] && dpkg -S "$f" >/dev/null 2>&1 && continue
    fail "$f left after the purge"
  done <"$work/contents"
done
echo "ok:$pkgs installed, used, purged"
