#!/bin/sh
# c99_check.sh CMAKE BUILD_DIR LIBDIR C_FILE LIB...
# Installs BUILD_DIR into a temporary prefix, compiles C_FILE as strict C99
# with `cc` against the installed headers and the libraries -lLIB..., and
# runs it with a scratch directory as its argument.
set -eu
cmake=$1 build=$2 libdir=$3 src=$4
shift 4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT INT TERM
"$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 || {
  cat "$prefix/install.log" >&2
  exit 1
}
libs=""
for lib in "$@"; do libs="$libs -l$lib"; done
mkdir "$prefix/scratch"
# shellcheck disable=SC2086  # libs is a word list on purpose
${CC:-cc} -std=c99 -Wall -Wextra -pedantic -Werror -I"$prefix/include" \
  -o "$prefix/prog" "$src" -L"$prefix/$libdir" $libs
# VDL_C99_WRAPPER, when set, is the command the program runs under (the
# virtual audio device, say).
# shellcheck disable=SC2086  # a command line on purpose
LD_LIBRARY_PATH="$prefix/$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  ${VDL_C99_WRAPPER:-} "$prefix/prog" "$prefix/scratch"
