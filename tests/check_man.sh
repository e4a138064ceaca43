#!/bin/sh
# Every man page renders without a single warning.
set -eu
status=0
for page in "$@"; do
  out=$(groff -ww -man -z "$page" 2>&1) || true
  if [ -n "$out" ]; then
    echo "$page:"; echo "$out"; status=1
  fi
done
[ $status -eq 0 ] && echo "man pages: $# render without warnings"
exit $status
