# Sourced by the install and package checks.
# same_report <zorv under test> <built zorv> <source dir> <scratch dir>:
# both programs, run from the source directory on the bundled examples,
# exit 0, write nothing to stderr and print the same non-empty report.
same_report() {
  for which in test built; do
    if [ "$which" = test ]; then bin="$1"; else bin="$2"; fi
    (cd "$3" && "$bin" -l examples/photos-2023.zip examples/photos-backup.zip examples/projects.zip) \
      >"$4/$which.out" 2>"$4/$which.err"
    status=$?
    [ "$status" -eq 0 ] || fail "$bin -l <examples> exited $status"
    [ -s "$4/$which.err" ] && fail "$bin -l <examples> wrote to stderr: $(cat "$4/$which.err")"
  done
  { grep -q '^CRC32: 0x[0-9a-f]\{8\}$' "$4/built.out" && grep -q '^FileListName: ' "$4/built.out"; } ||
    fail "the built zorv printed no groups and no summary on the examples:
$(cat "$4/built.out")"
  cmp -s "$4/built.out" "$4/test.out" || fail "$1 and the build print different reports:
$(diff "$4/built.out" "$4/test.out")"
}
