#!/bin/sh
# exports_check.sh HEADER_DIR MAN_LINKS_DIR LIB:HEADER:FILE:SONAME:SYMBOLS...
# For each shared library FILE built from the functions of HEADER: its
# SONAME, its dynamic symbols (exactly the functions the header declares,
# and those its Debian package's SYMBOLS file lists), a manual page for
# each, and what it needs at run time (the C library and the project's own
# libraries only, no C++ runtime).
set -eu
include=$1 man=$2
shift 2
status=0
fail() { echo "FAIL: $*"; status=1; }

for row in "$@"; do
  IFS=: read -r lib header file soname symbols <<END
$row
END
  [ "$soname" = "lib$lib.so.${soname##*.so.}" ] || fail "$lib: SONAME $soname"
  got=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$got" = "$soname" ] || fail "$lib: SONAME is '$got', not $soname"

  declared=$(grep -E '^[A-Za-z].*[ *]vdl[A-Za-z_]*\(' "$include/$header" |
    sed 's/^[^(]*[ *]\(vdl[A-Za-z_]*\)(.*/\1/' | sort)
  [ -n "$declared" ] || fail "$lib: no function found in $header"
  exported=$(nm -D --defined-only "$file" | awk '{ print $3 }' | sort)
  [ "$exported" = "$declared" ] ||
    fail "$lib exports: $(echo "$exported" | tr '\n' ' ')
  $header declares: $(echo "$declared" | tr '\n' ' ')"
  listed=$(sed -n "1{/^$soname /!s/.*/(not $soname)/p}; s/^ \([^@]*\)@Base .*/\1/p" "$symbols" | sort)
  [ "$listed" = "$exported" ] ||
    fail "$lib: $symbols lists $(echo "$listed" | tr '\n' ' ')"
  nm -D --defined-only "$file" | awk '$2 != "T" { exit 1 }' ||
    fail "$lib exports something other than functions"

  for fn in $declared; do
    gzip -dc "$man/$fn.3.gz" 2>/dev/null | grep -q "^\.SS $fn\$" ||
      fail "$lib: man 3 $fn does not describe it"
  done

  needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  for n in $needed; do
    case $n in libc.so.6|libvdl*.so.*) ;; *) fail "$lib needs $n" ;; esac
  done
  echo "$needed" | grep -qx libc.so.6 || fail "$lib does not name the C library"
  # ldd follows the project's libraries to what they need in turn.
  ldd "$file" | while read -r name _; do
    case $name in
      linux-vdso.so.*|libc.so.6|/lib*/ld-linux*|libvdl*.so.*) ;;
      *) echo "FAIL: $lib loads $name"; exit 1 ;;
    esac
  done || status=1
done
exit $status
