#!/bin/sh
# The manual page renders without a single groff warning.
# Usage: man_renders.sh <zorv.1>
set -u
man="$1"
command -v groff >/dev/null || { echo "FAIL: groff is not installed (scripts/setup-debian)"; exit 1; }
[ -f "$man" ] || { echo "FAIL: no manual page at $man"; exit 1; }

# -ww: every warning; -z: format, write nothing. Both streams must stay empty.
out=$(groff -man -ww -z "$man" 2>&1)
status=$?
if [ "$status" -ne 0 ] || [ -n "$out" ]; then
  echo "FAIL: groff -man -ww -z $man exited $status and printed:"
  printf '%s\n' "$out"
  exit 1
fi

# The page must also say something: a truncated or empty file renders quietly.
text=$(groff -man -Tascii -P-cbou "$man" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS OUTPUT "EXIT STATUS" DIAGNOSTICS LIMITS EXAMPLES; do
  printf '%s\n' "$text" | grep -qx "$section" || { echo "FAIL: no $section section"; exit 1; }
done
echo "ok: $man renders without warnings"
