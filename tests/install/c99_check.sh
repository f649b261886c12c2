#!/bin/sh
# c99_check.sh CMAKE BUILD_DIR C_FILE LIB FORM WAY MKTONE
# Installs BUILD_DIR into a temporary prefix, builds C_FILE as strict C99
# against the installed library LIB in FORM (shared or static) found the
# WAY a consumer finds it (pkgconfig: cc and pkg-config; cmake: a project
# with find_package(vdl)), checks what the program links, and runs it
# with a scratch directory as its argument, a tone made by MKTONE in it
# (one second of 8-bit mono at 8000 Hz, as wave_c99.c expects it).
set -eu
cmake=$1 build=$2 src=$3 lib=$4 form=$5 way=$6 mktone=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || {
  cat "$work/install.log" >&2
  exit 1
}
libdir=$(dirname "$(find "$prefix" -name "$lib.pc")")/..
libdir=$(cd "$libdir" && pwd)
prog=$work/prog
cflags="-std=c99 -Wall -Wextra -pedantic -Werror"

case $way in
pkgconfig)
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  # Both forms lie side by side; the linker takes the archive when told.
  case $form in
  shared) libs=$(pkg-config --libs "$lib") ;;
  static) libs="-Wl,-Bstatic $(pkg-config --static --libs "$lib") -Wl,-Bdynamic" ;;
  esac
  # shellcheck disable=SC2046,SC2086  # word lists on purpose
  ${CC:-cc} $cflags $(pkg-config --cflags "$lib") -o "$prog" "$src" $libs ||
    fail "cc $lib $form: $libs"
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
  "$cmake" -S "$work/project" -B "$work/b" -DCMAKE_PREFIX_PATH="$prefix" \
    -DVDL_USE_STATIC_LIBS=$static -DCMAKE_C_FLAGS="$cflags" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; fail "configure"; }
  "$cmake" --build "$work/b" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "build"; }
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
"$mktone" "$work/scratch/tone.wav" 1 8000 1 8 440
# VDL_C99_WRAPPER, when set, is the command the program runs under (the
# virtual audio device, say).
# shellcheck disable=SC2086  # a command line on purpose
LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  ${VDL_C99_WRAPPER:-} "$prog" "$work/scratch"
