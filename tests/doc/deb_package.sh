#!/bin/sh
# `cpack -G DEB` builds zorv_<version>_<arch>.deb with the right control
# fields and exactly the program and its manual page, and the packed
# program prints what the build's does. dpkg-deb, dpkg-shlibdeps and file
# are required (scripts/setup-debian installs them): without them this fails.
# Usage: deb_package.sh <cpack> <build dir> <source dir> <built zorv>
set -u
cpack="$1"
build="$2"
src="$3"
zorv="$4"
fail() { echo "FAIL: $*"; exit 1; }
for tool in dpkg dpkg-deb dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup-debian)"
done
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT

(cd "$build" && "$cpack" -G DEB -B "$tmp/out" --config "$build/CPackConfig.cmake") >"$tmp/log" 2>&1 ||
  fail "cpack -G DEB failed:
$(cat "$tmp/log")"

version=$("$zorv" | sed -n 's/^zorv, ver \([0-9.]*\)$/\1/p')
[ "$version" = 1.03 ] || fail "zorv's usage text gives version '$version', expected 1.03"
arch=$(dpkg --print-architecture)
deb="$tmp/out/zorv_${version}_$arch.deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$tmp/out")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zorv ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), the program says $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
field Maintainer | grep -Eqx '[^<>]+ <[^<>@ ]+@[^<> ]+>' || fail "Maintainer: $(field Maintainer)"
depends=$(field Depends)
for lib in libc6 'libstdc\+\+6' libgcc-s1; do
  printf '%s\n' "$depends" | grep -Eq "(^|, )$lib \(>= [0-9][^)]*\)(,|$)" ||
    fail "Depends lacks a versioned $lib: '$depends'"
done
description=$(field Description)
[ "$(printf '%s\n' "$description" | head -n 1)" = \
  "find files stored more than once across ZIP archives" ] ||
  fail "Description summary: $(printf '%s\n' "$description" | head -n 1)"
[ "$(printf '%s\n' "$description" | wc -l)" -ge 3 ] || fail "no long description: $description"

# Regular files in the data part: exactly the program, its manual page and
# zorv-dask's two files (bin/zorv-dask is a link to the launcher).
dpkg-deb -c "$deb" >"$tmp/contents" || fail "dpkg-deb -c failed"
awk '$1 ~ /^-/ { print $1, $2, $NF }' "$tmp/contents" | sort >"$tmp/files"
printf '%s\n' '-rw-r--r-- root/root ./usr/share/man/man1/zorv.1' \
  '-rwxr-xr-x root/root ./usr/bin/zorv' '-rwxr-xr-x root/root ./usr/share/zorv/zorv-dask' \
  '-rw-r--r-- root/root ./usr/share/zorv/zorv_dask.py' | sort >"$tmp/expected"
cmp -s "$tmp/expected" "$tmp/files" || fail "package files (mode, owner, path) differ:
$(diff "$tmp/expected" "$tmp/files")"

grep -q '^l.* \./usr/bin/zorv-dask -> \.\./share/zorv/zorv-dask$' "$tmp/contents" ||
  fail "no link ./usr/bin/zorv-dask -> ../share/zorv/zorv-dask in the package:
$(cat "$tmp/contents")"

dpkg-deb -x "$deb" "$tmp/root" || fail "dpkg-deb -x failed"
cmp -s "$src/doc/zorv.1" "$tmp/root/usr/share/man/man1/zorv.1" || fail "the packed manual page is not doc/zorv.1"
# shellcheck source=tests/doc/same_report.sh
. "$(dirname "$0")/same_report.sh"
same_report "$tmp/root/usr/bin/zorv" "$zorv" "$src" "$tmp"
echo "ok: $(basename "$deb"): Depends: $depends"
