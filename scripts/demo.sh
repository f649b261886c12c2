#!/bin/sh
# Builds the project, writes a two-second test tone and plays it with
# vdlplay: through /dev/dsp when this machine has one, otherwise through the
# virtual device into a WAV file.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

demo=build/demo
mkdir -p "$demo"
tone="$demo/tone.wav"
build/tools/mktone/vdlmktone "$tone" 2 44100 2 16 440

if [ -c /dev/dsp ] && [ -w /dev/dsp ]; then
  build/src/player/vdlplay "$tone"
  echo "Played $tone through /dev/dsp (the device named in ~/.vdlrc)."
else
  # No sound device here: a private HOME keeps the demo from writing the
  # user's own ~/.vdlrc, and the virtual device records what was played.
  out="$demo/played.wav"
  HOME="$PWD/$demo" build/tools/vdsp/vdsp -o "$out" -- \
    build/src/player/vdlplay "$tone"
  echo "This machine has no /dev/dsp: the sound went through the virtual"
  echo "device into $out (play it with any audio player)."
fi
