#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for SECONDS
# (default 60) from its seed corpus under tests/fuzz/corpus/NAME.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
status=0
for fuzzer in "$PWD"/build-fuzz/tests/fuzz/*_fuzz; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer" _fuzz)
  work=$(mktemp -d)
  cp -r "tests/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  echo "== fuzzing $name for ${seconds}s"
  if ! (cd "$work" && "$fuzzer" -max_total_time="$seconds" \
          -print_final_stats=1 "$work" >"$work.log" 2>&1); then
    tail -n 60 "$work.log"
    status=1
  else
    tail -n 3 "$work.log"
  fi
  rm -rf "$work" "$work.log"
done
exit $status
