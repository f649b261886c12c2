# shellcheck shell=sh
# install_consumer.sh: sourced by the tests that build programs against an
# install of the project the way a consumer outside the source tree does.
# The functions that name things run in a subshell, so the caller's names
# stay as they were; a failure ends the caller, which runs under `set -eu`.

# What a consumer's C99 program is held to, by cc and by CMake alike.
consumer_cflags="-std=c99 -Wall -Wextra -pedantic -Werror"

fail() { echo "FAIL: $*" >&2; exit 1; }

# install_build CMAKE BUILD_DIR PREFIX [DESTDIR]: installs the build into
# PREFIX, staged below DESTDIR when one is given.
install_build() (
  log=$(DESTDIR=${4:-} "$1" --install "$2" --prefix "$3" 2>&1) ||
    { printf '%s\n' "$log" >&2; fail "install into ${4:-}$3"; }
)

# pkgconfig_dir ROOT: the directory of the .pc files in the install at ROOT.
pkgconfig_dir() (
  pc=$(find "$1" -name vdlwave.pc)
  [ -n "$pc" ] || fail "no vdlwave.pc under $1"
  dirname "$pc"
)

# make_tone MKTONE WAV: the tone the installed programs play, one second of
# 8-bit mono at 8000 Hz (8000 bytes of data), as wave_c99.c expects it.
make_tone() {
  "$1" "$2" 1 8000 1 8 440 || fail "$1 $2"
}

# cc_pkgconfig ROOT LIB FORM SRC OUT: builds SRC into OUT with ${CC:-cc},
# against LIB in FORM (shared: found at run time where pkg-config says it
# lies; static: the archive beside it) as the install at ROOT describes it.
cc_pkgconfig() (
  PKG_CONFIG_PATH=$(pkgconfig_dir "$1")
  export PKG_CONFIG_PATH
  case $3 in
  shared) libs="$(pkg-config --libs "$2") -Wl,-rpath,$(pkg-config --variable=libdir "$2")" ;;
  static) libs="-Wl,-Bstatic $(pkg-config --static --libs "$2") -Wl,-Bdynamic" ;;
  *) fail "no form $3" ;;
  esac
  flags="$(pkg-config --cflags "$2") $libs"
  case $flags in *"$1"*) ;; *) fail "pkg-config $2 gave '$flags'" ;; esac
  # shellcheck disable=SC2086  # word lists on purpose
  ${CC:-cc} $consumer_cflags -o "$5" "$4" $flags || fail "cc $4 $flags"
)

# cmake_build CMAKE PROJECT_DIR BUILD_DIR ROOT [ARG...]: configures (with
# ARGs) and builds the CMake project, whose find_package(vdl) must find the
# install at ROOT.
cmake_build() (
  tool=$1 project=$2 tree=$3 install=$4
  shift 4
  log=$("$tool" -S "$project" -B "$tree" -DCMAKE_PREFIX_PATH="$install" \
    -DCMAKE_C_FLAGS="$consumer_cflags" "$@" 2>&1) ||
    { printf '%s\n' "$log" >&2; fail "find_package(vdl) under $install"; }
  log=$("$tool" --build "$tree" 2>&1) ||
    { printf '%s\n' "$log" >&2; fail "$project against $install"; }
  grep -q "^vdl_DIR:PATH=$install/" "$tree/CMakeCache.txt" ||
    fail "find_package(vdl) found another install than $install"
)
