#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
set -eu
pkgs="cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
      pkg-config sox time alsa-oss valgrind"
missing=""
for p in $pkgs; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
