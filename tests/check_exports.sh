#!/bin/sh
# The shared library exports exactly the names of the C API, no more and no fewer.
set -eu
lib=$1 list=$2
nm=${NM:-nm}
actual=$($nm -D --defined-only "$lib" | awk 'NF >= 3 {print $3}' | sort)
expected=$(sort "$list")
if [ "$actual" != "$expected" ]; then
  echo "exported names differ from $list:"
  printf '%s\n' "$expected" > /tmp/upfw-exports-expected.$$
  printf '%s\n' "$actual" | diff /tmp/upfw-exports-expected.$$ - || true
  rm -f /tmp/upfw-exports-expected.$$
  exit 1
fi
echo "exports: $(printf '%s\n' "$actual" | wc -l) names as listed"
