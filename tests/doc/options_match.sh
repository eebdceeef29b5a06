#!/bin/sh
# The options the program's usage text lists, the options the manual page
# documents and the options the program accepts are one and the same set.
# Usage: options_match.sh <zorv binary> <zorv.1>
set -u
zorv="$1"
man="$2"
command -v groff >/dev/null || { echo "FAIL: groff is not installed (scripts/setup-debian)"; exit 1; }
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Sorted option letters, one per line, from text on stdin (each token
# "-X" or "[-XY]" names the letters after the minus sign).
letters() { grep -o -- '-[A-Za-z][A-Za-z]*' | cut -c2- | fold -w1 | sort -u; }

"$zorv" >"$tmp/usage" 2>"$tmp/usage.err" || fail "zorv without arguments did not exit 0"
[ -s "$tmp/usage.err" ] && fail "zorv without arguments wrote to stderr: $(cat "$tmp/usage.err")"
# In the usage text, the option lines are those that start with '-'.
grep '^-' "$tmp/usage" | cut -d' ' -f1 | letters >"$tmp/u"
[ -s "$tmp/u" ] || fail "the usage text lists no option:
$(cat "$tmp/usage")"

# Plain text, lines long enough that nothing of interest wraps.
groff -man -Tascii -P-cbou -rLL=250n "$man" >"$tmp/page" 2>/dev/null || fail "groff failed on $man"
section() { awk -v name="$1" '/^[^ ]/ { on = ($0 == name); next } on' "$tmp/page"; }
section SYNOPSIS | grep -o -- '\[-[A-Za-z]*\]' | letters >"$tmp/s"
# Option tags sit at the section's own indent; their text is indented further.
section OPTIONS | grep -E -- '^ {7}-[A-Za-z]+( |$)' | awk '{ print $1 }' | letters >"$tmp/o"
[ -s "$tmp/s" ] || fail "the manual page's SYNOPSIS names no option"
[ -s "$tmp/o" ] || fail "the manual page's OPTIONS section documents no option"

missing=$(comm -23 "$tmp/u" "$tmp/s" | tr '\n' ' ')
[ -z "$missing" ] || fail "in the usage text but not in the SYNOPSIS: $missing"
missing=$(comm -23 "$tmp/u" "$tmp/o" | tr '\n' ' ')
[ -z "$missing" ] || fail "in the usage text but not under OPTIONS: $missing"
cmp -s "$tmp/s" "$tmp/o" ||
  fail "SYNOPSIS names $(tr '\n' ' ' <"$tmp/s")but OPTIONS documents $(tr '\n' ' ' <"$tmp/o")"

# The program accepts each documented option and rejects every other letter.
mkdir "$tmp/empty"
for c in A B C D E F G H I J K L M N O P Q R S T U V W X Y Z \
         a b c d e f g h i j k l m n o p q r s t u v w x y z; do
  "$zorv" "-$c" "$tmp/empty" >"$tmp/out" 2>"$tmp/err"
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

# The version the program prints is the one in the page's footer.
version=$(sed -n 's/^zorv, ver \([0-9.]*\)$/\1/p' "$tmp/usage")
[ -n "$version" ] || fail "no 'zorv, ver N' line in the usage text"
grep -q "^\.TH ZORV 1 .*\"zorv $version\"" "$man" || fail "the page's .TH line does not name zorv $version"
echo "ok: usage $(tr '\n' ' ' <"$tmp/u")and manual $(tr '\n' ' ' <"$tmp/o")agree; version $version"
