#!/bin/sh
# consumer.sh CMAKE BUILD_DIR SOURCE_DIR MKTONE
# Installs the build into a prefix and, staged, under DESTDIR; then, outside
# the source tree, builds the C examples against each install twice: with
# cc and pkg-config, and as a CMake project using find_package(vdl).  The
# programs built are run, so a wrong header or library shows.
set -eu
cmake=$1 build=$2 src=$3 mktone=$4
# shellcheck source-path=SCRIPTDIR source=../support/install_consumer.sh
. "$(dirname "$0")/../support/install_consumer.sh"
# Skipped without its tools, except in CI, where scripts/deps.sh has
# installed them and a skip would hide a gap.
for tool in cc pkg-config; do
  command -v "$tool" >/dev/null && continue
  echo "no $tool"
  [ -n "${CI:-}" ] && exit 1
  exit 77
done

# The README shows the examples whole: they must not drift apart.
for name in rcvalue playwav; do
  shown=$(sed 's/^/    /; s/^ *$//' "$src/examples/c/$name.c")
  case $(cat "$src/README.md") in
    *"$shown"*) ;;
    *) echo "FAIL: README.md does not show examples/c/$name.c as it is"; exit 1 ;;
  esac
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

install_build "$cmake" "$build" "$work/prefix"
# A staged install writes only under DESTDIR; the prefix it names is where
# a package would put the files later.
staged=/opt/vdl-staged-$$
install_build "$cmake" "$build" "$staged" "$work/stage"
[ ! -e "$staged" ] || fail "staged install wrote to $staged"

printf '[Audio]\nDSP=/dev/null\n' >"$work/.vdlrc"
mkdir "$work/dsp"
printf '[Audio]\nDSP=/dev/dsp\n' >"$work/dsp/.vdlrc"
make_tone "$mktone" "$work/tone.wav"

# check_programs DIR: runs rcvalue and playwav built into DIR.
check_programs() {
  got=$("$1/rcvalue" "$work/rc" Audio DSP /dev/dsp1 2>/dev/null) || fail "$1/rcvalue failed"
  [ "$got" = /dev/dsp1 ] || fail "$1/rcvalue printed '$got'"
  [ "$(cat "$work/rc")" = "$(printf '[Audio]\nDSP=/dev/dsp1')" ] ||
    fail "$1/rcvalue wrote: $(cat "$work/rc")"
  rm -f "$work/rc"
  got=$(HOME=$work "$1/playwav" "$work/tone.wav") || fail "$1/playwav failed"
  [ "$got" = "8000 Hz, 1 channel(s), 8 bits, 8000 bytes, 1.00 s" ] ||
    fail "$1/playwav printed '$got'"
}

for root in "$work/prefix" "$work/stage$staged"; do
  for f in bin/vdlplay bin/vdsp include/vdl/rcfile.h include/vdl/wave.h \
           share/man/man1/vdlplay.1.gz share/man/man1/vdsp.1.gz \
           share/man/man3/vdlBGMPlay_WaveDSP.3.gz; do
    [ -f "$root/$f" ] || fail "$root/$f not installed"
  done
  # The installed player through the installed virtual device, which finds
  # its library relative to its own place.
  HOME=$work/dsp "$root/bin/vdsp" --fast -o "$work/played.raw" -- \
    "$root/bin/vdlplay" "$work/tone.wav" >/dev/null 2>&1 || fail "$root/bin/vdsp vdlplay"
  tail -c +45 "$work/tone.wav" | cmp -s - "$work/played.raw" ||
    fail "$root/bin/vdlplay under $root/bin/vdsp did not play the tone"

  out=$work/cc
  rm -rf "$out"
  mkdir -p "$out"
  for ex in rcvalue:vdlrc playwav:vdlwave; do
    cc_pkgconfig "$root" "${ex#*:}" shared "$src/examples/c/${ex%:*}.c" "$out/${ex%:*}"
  done
  check_programs "$out"

  proj=$work/project
  rm -rf "$proj" "$proj-build"
  cp -r "$src/examples/c" "$proj"
  cmake_build "$cmake" "$proj" "$proj-build" "$root"
  check_programs "$proj-build"
  echo "ok: $root"
done
