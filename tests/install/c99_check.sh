#!/bin/sh
# c99_check.sh CMAKE BUILD_DIR C_FILE LIB FORM WAY MKTONE
# Installs BUILD_DIR into a temporary prefix, builds C_FILE as strict C99
# against the installed library LIB in FORM (shared or static) found the
# WAY a consumer finds it (pkgconfig: cc and pkg-config; cmake: a project
# with find_package(vdl)), checks what the program links, and runs it
# with a scratch directory as its argument, a tone made by MKTONE in it.
set -eu
cmake=$1 build=$2 src=$3 lib=$4 form=$5 way=$6 mktone=$7
# shellcheck source-path=SCRIPTDIR source=../support/install_consumer.sh
. "$(dirname "$0")/../support/install_consumer.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
prefix=$work/prefix
install_build "$cmake" "$build" "$prefix"
libdir=$(cd "$(pkgconfig_dir "$prefix")/.." && pwd)
prog=$work/prog

case $way in
pkgconfig)
  cc_pkgconfig "$prefix" "$lib" "$form" "$src" "$prog"
  ;;
cmake)
  static=OFF
  [ "$form" = static ] && static=ON
  mkdir "$work/project"
  cat >"$work/project/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.16)
project(c99 LANGUAGES C)
set(CMAKE_C_STANDARD 99)
set(CMAKE_C_STANDARD_REQUIRED ON)
set(CMAKE_C_EXTENSIONS OFF)
find_package(vdl REQUIRED)
add_executable(prog "$src")
target_link_libraries(prog PRIVATE vdl::$lib)
END
  cmake_build "$cmake" "$work/project" "$work/b" "$prefix" -DVDL_USE_STATIC_LIBS=$static
  cp "$work/b/prog" "$prog"
  ;;
esac

# The form asked for, and no C++ runtime either way.
needed=$(readelf -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
case $form:$needed in
  shared:*"lib$lib.so."*) ;;
  static:*libvdl*) fail "static $lib program needs: $needed" ;;
  static:*) ;;
  *) fail "shared $lib program needs: $needed" ;;
esac
case $needed in *libstdc++*|*libgcc_s*) fail "program needs: $needed" ;; esac

mkdir "$work/scratch"
make_tone "$mktone" "$work/scratch/tone.wav"
# VDL_C99_WRAPPER, when set, is the command the program runs under (the
# virtual audio device, say).
# shellcheck disable=SC2086  # a command line on purpose
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  ${VDL_C99_WRAPPER:-} "$prog" "$work/scratch"
