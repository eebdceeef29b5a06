#!/bin/sh
# The options the program's usage text lists, the options the manual page
# documents, the options the README's table names and the options the
# program accepts are one and the same set: letters (-R) and long names
# (--recursive).
# Usage: options_match.sh <zorv binary> <zorv.1> [README.md]
set -u
zorv="$1"
man="$2"
readme="${3:-}"
command -v groff >/dev/null || { echo "FAIL: groff is not installed (scripts/setup-debian)"; exit 1; }
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# From option tokens on stdin, one per line: sorted letters of "-X" / "[-XY]"
# tokens, and sorted names of "--name" / "--name=value" tokens.
letters() { grep -E -- '^\[?-[A-Za-z]' | grep -o -- '-[A-Za-z][A-Za-z]*' | cut -c2- | fold -w1 | sort -u; }
names() { grep -oE -- '^--[a-z][a-z-]*' | cut -c3- | sort -u; }
tokens() { tr ' ,|' '\n\n\n' | sed -e 's/^[[]//' -e 's/[]]$//' | grep -- '^-'; }

"$zorv" >"$tmp/usage" 2>"$tmp/usage.err" || fail "zorv without arguments did not exit 0"
[ -s "$tmp/usage.err" ] && fail "zorv without arguments wrote to stderr: $(cat "$tmp/usage.err")"
"$zorv" --help >"$tmp/help" || fail "zorv --help did not exit 0"
cmp -s "$tmp/usage" "$tmp/help" || fail "zorv --help differs from zorv without arguments"
# In the usage text, the option lines are those that start with '-'.
grep '^-' "$tmp/usage" | cut -d' ' -f1 >"$tmp/usage.opts"
letters <"$tmp/usage.opts" >"$tmp/u"
names <"$tmp/usage.opts" >"$tmp/un"
[ -s "$tmp/u" ] && [ -s "$tmp/un" ] || fail "the usage text lists no option:
$(cat "$tmp/usage")"

# Plain text, lines long enough that nothing of interest wraps.
groff -man -Tascii -P-cbou -rLL=250n "$man" >"$tmp/page" 2>/dev/null || fail "groff failed on $man"
section() { awk -v name="$1" '/^[^ ]/ { on = ($0 == name); next } on' "$tmp/page"; }
section SYNOPSIS | grep -oE -- '\[-[A-Za-z]*( [A-Z]+)?\]' | letters >"$tmp/s"
# Option tags sit at the section's own indent; their text is indented further.
section OPTIONS | grep -E -- '^ {7}-' | tokens >"$tmp/man.opts"
letters <"$tmp/man.opts" >"$tmp/o"
names <"$tmp/man.opts" >"$tmp/on"
[ -s "$tmp/s" ] || fail "the manual page's SYNOPSIS names no option"
[ -s "$tmp/o" ] || fail "the manual page's OPTIONS section documents no option"

missing=$(comm -23 "$tmp/u" "$tmp/s" | tr '\n' ' ')
[ -z "$missing" ] || fail "in the usage text but not in the SYNOPSIS: $missing"
cmp -s "$tmp/u" "$tmp/o" ||
  fail "the usage text lists $(tr '\n' ' ' <"$tmp/u")but OPTIONS documents $(tr '\n' ' ' <"$tmp/o")"
cmp -s "$tmp/un" "$tmp/on" ||
  fail "the usage text lists --$(tr '\n' ' ' <"$tmp/un")but OPTIONS documents --$(tr '\n' ' ' <"$tmp/on")"
cmp -s "$tmp/s" "$tmp/o" ||
  fail "SYNOPSIS names $(tr '\n' ' ' <"$tmp/s")but OPTIONS documents $(tr '\n' ' ' <"$tmp/o")"
if [ -n "$readme" ]; then
  # The README's option table: rows that start with "| `-".
  grep -E '^\| `-' "$readme" | cut -d'|' -f2 | tr -d '`' | tokens >"$tmp/readme.opts"
  letters <"$tmp/readme.opts" >"$tmp/r"
  names <"$tmp/readme.opts" >"$tmp/rn"
  cmp -s "$tmp/u" "$tmp/r" || fail "the README's table names $(tr '\n' ' ' <"$tmp/r")"
  cmp -s "$tmp/un" "$tmp/rn" || fail "the README's table names --$(tr '\n' ' ' <"$tmp/rn")"
fi

# The program accepts each documented option and rejects every other letter.
# A cache (--cache-prune) goes to the scratch directory, not the user's.
mkdir "$tmp/empty"
export XDG_CACHE_HOME="$tmp/xdg"
for c in A B C D E F G H I J K L M N O P Q R S T U V W X Y Z \
         a b c d e f g h i j k l m n o p q r s t u v w x y z; do
  # An option whose usage line shows a number ("-j N", "--jobs=N") is given 2.
  value=""
  grep -qE -- "^-$c [A-Z]" "$tmp/usage" && value=2
  "$zorv" "-$c" $value "$tmp/empty" >"$tmp/out" 2>"$tmp/err"
  status=$?
  if grep -qx "$c" "$tmp/o"; then
    [ "$status" -ne 0 ] || [ -s "$tmp/out" ] || [ -s "$tmp/err" ] &&
      fail "documented option -$c: zorv -$c <empty dir> exited $status, said: $(cat "$tmp/out" "$tmp/err")"
  else
    expected="zorv: command error, unknown option '$c'. Type 'zorv' by itself for help"
    [ "$status" -ne 1 ] || [ -s "$tmp/out" ] || [ "$(cat "$tmp/err")" != "$expected" ] &&
      fail "undocumented option -$c: zorv -$c <empty dir> exited $status, said: $(cat "$tmp/out" "$tmp/err")"
  fi
done
# Each long name is accepted (with the value its usage line shows first).
while read -r name; do
  value=$(grep -oE -- "^--$name=[a-z]+" "$tmp/usage.opts" | head -1 | cut -d= -f2)
  word="--$name"
  case "$name" in help | version) continue ;; esac
  grep -qE -- "^--$name=" "$tmp/usage.opts" && word="--$name=${value:-auto}"
  grep -qx -- "--$name=N" "$tmp/usage.opts" && word="--$name=2"
  # A list of paths: an empty one.
  grep -qx -- "--$name=FILE" "$tmp/usage.opts" && word="--$name=/dev/null"
  # The cluster's modes: a directory for the keys, files that hold nothing
  # (no place, no group) and no path after them.
  mkdir -p "$tmp/keys"
  path="$tmp/empty"
  case "$name" in
    keys) word="--keys=$tmp/keys" ;;
    partitions) word="--partitions=2 --keys=$tmp/keys" ;;
    resolve) printf 'ZORVPLCS\001\000\000\000\000\000\000\000' >"$tmp/places"
      word="--resolve=$tmp/places" path="" ;;
    reduce) printf 'ZORVREDC\001\000\000\000\000\000\000\000' >"$tmp/reduce"
      word="--reduce=$tmp/reduce" path="" ;;
    print-groups) printf 'ZORVGRPS\001\000\000\000\000\000\000\000\000' >"$tmp/groups"
      word="--print-groups=$tmp/groups" path="" ;;
  esac
  # shellcheck disable=SC2086
  "$zorv" $word $path >"$tmp/out" 2>"$tmp/err"
  status=$?
  case "$name" in
    format) [ "$status" -eq 0 ] || fail "zorv $word <empty dir> exited $status: $(cat "$tmp/err")" ;;
    resolve) [ "$status" -eq 0 ] && [ ! -s "$tmp/err" ] && [ "$(head -c 8 "$tmp/out")" = ZORVRSLV ] ||
         fail "zorv $word exited $status, said: $(cat "$tmp/err")" ;;
    reduce) [ "$status" -eq 0 ] && [ ! -s "$tmp/err" ] && [ "$(head -c 8 "$tmp/out")" = ZORVDUPS ] ||
         fail "zorv $word exited $status, said: $(cat "$tmp/err")" ;;
    *) [ "$status" -eq 0 ] && [ ! -s "$tmp/err" ] ||
         fail "zorv $word <empty dir> exited $status, said: $(cat "$tmp/out" "$tmp/err")" ;;
  esac
done <"$tmp/un"
"$zorv" --no-such-option "$tmp/empty" >"$tmp/out" 2>"$tmp/err" && fail "zorv accepted --no-such-option"

# The version the program prints is the one in the page's footer.
version=$(sed -n 's/^zorv, ver \([0-9.]*\)$/\1/p' "$tmp/usage")
[ -n "$version" ] || fail "no 'zorv, ver N' line in the usage text"
[ "$("$zorv" --version)" = "zorv, ver $version" ] || fail "zorv --version does not print the version line"
grep -q "^\.TH ZORV 1 .*\"zorv $version\"" "$man" || fail "the page's .TH line does not name zorv $version"
echo "ok: usage $(tr '\n' ' ' <"$tmp/u")--$(tr '\n' ' ' <"$tmp/un")and manual agree; version $version"
