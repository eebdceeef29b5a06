#!/bin/sh
# `cmake --install` into a scratch DESTDIR installs exactly the program, its
# manual page and zorv-dask (linked from bin/), and the installed program
# prints what the build's does.
# Usage: install_destdir.sh <cmake> <build dir> <source dir> <built zorv>
set -u
cmake="$1"
build="$2"
src="$3"
zorv="$4"
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
root="$tmp/root"

DESTDIR="$root" "$cmake" --install "$build" --prefix /usr >"$tmp/log" 2>&1 ||
  fail "cmake --install failed:
$(cat "$tmp/log")"

printf '%s\n' usr/bin/zorv usr/bin/zorv-dask usr/share/man/man1/zorv.1 usr/share/zorv/zorv-dask \
  usr/share/zorv/zorv_dask.py >"$tmp/expected"
(cd "$root" && find . ! -type d | sed 's|^\./||' | sort) >"$tmp/installed"
cmp -s "$tmp/expected" "$tmp/installed" || fail "installed files differ from bin/zorv and the manual page:
$(diff "$tmp/expected" "$tmp/installed")"
[ -x "$root/usr/bin/zorv" ] || fail "usr/bin/zorv is not executable"
cmp -s "$src/doc/zorv.1" "$root/usr/share/man/man1/zorv.1" || fail "the installed manual page is not doc/zorv.1"
[ "$(readlink "$root/usr/bin/zorv-dask")" = ../share/zorv/zorv-dask ] ||
  fail "usr/bin/zorv-dask is not a link to ../share/zorv/zorv-dask"
# The link runs: the launcher finds its module beside its real path.
"$root/usr/bin/zorv-dask" --help >"$tmp/dask-help" 2>&1 || fail "the installed zorv-dask --help failed:
$(cat "$tmp/dask-help")"
grep -q '^Usage: zorv-dask' "$tmp/dask-help" || fail "the installed zorv-dask --help printed no usage"

# shellcheck source=tests/doc/same_report.sh
. "$(dirname "$0")/same_report.sh"
same_report "$root/usr/bin/zorv" "$zorv" "$src" "$tmp"
echo "ok: DESTDIR install holds usr/bin/zorv, its manual page and zorv-dask; same report as the build"
