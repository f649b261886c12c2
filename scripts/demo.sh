#!/bin/sh
# Builds the player and what the demo runs, writes a two-second test tone
# and plays it with vdlplay: through /dev/dsp when this machine has one,
# otherwise through the virtual device into a WAV file.  The tests are
# left unbuilt (scripts/test.sh builds them).
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target vdlplay vdsp vdsp_preload vdlmktone

demo=build/demo
mkdir -p "$demo"
tone="$demo/tone.wav"
build/tools/mktone/vdlmktone "$tone" 2 44100 2 16 440

# vdlplay reports a missing ~/.vdlrc entry before it writes one.
first_run_note() {
  if [ -n "${1:-}" ] && ! grep -qs '^DSP=' "$1/.vdlrc"; then
    echo "First run: vdlplay will report that $1/.vdlrc has no device entry"
    echo "(\"Error: Can't open rc file\", \"Warring: ... Create it.\") and create it;"
    echo "that is expected, and later runs are quiet."
  fi
}

if [ -c /dev/dsp ] && [ -w /dev/dsp ]; then
  first_run_note "${HOME:-}"
  build/src/player/vdlplay "$tone"
  echo "Played $tone through /dev/dsp (the device named in ~/.vdlrc)."
else
  # No sound device here: a private HOME keeps the demo from writing the
  # user's own ~/.vdlrc, and the virtual device records what was played.
  out="$demo/played.wav"
  first_run_note "$PWD/$demo"
  HOME="$PWD/$demo" build/tools/vdsp/vdsp -o "$out" -- \
    build/src/player/vdlplay "$tone"
  echo "This machine has no /dev/dsp: the sound went through the virtual"
  echo "device into $out (play it with any audio player)."
fi
