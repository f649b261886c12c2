#!/bin/sh
# Builds and runs every test.  With "asan": the same under the address and
# undefined-behaviour sanitizers, in a build directory of its own.
set -eu
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
ctest --preset "$preset"
