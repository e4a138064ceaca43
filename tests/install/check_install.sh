#!/bin/sh
# Installs the build into a fresh prefix and builds a program against it twice: with the flags
# pkg-config gives, and as a CMake project with find_package(upfw). Each must build and run.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
build=$1 src=$2 cc=$3
tmp=$(mktemp -d /tmp/upfw-install-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" > "$tmp/install.log"
pc=$(find "$prefix" -name upfw.pc)
[ -n "$pc" ] || { echo "no upfw.pc installed"; exit 1; }
PKG_CONFIG_PATH=$(dirname "$pc")
export PKG_CONFIG_PATH
libdir=$(pkg-config --variable=libdir upfw)
case $libdir in "$prefix"/*|'${pcfiledir}'*) ;; *) echo "pkg-config points at $libdir, not into $prefix"; exit 1 ;; esac
if [ -e "$libdir/libupfw.so" ]; then
  # shellcheck disable=SC2046
  "$cc" $(pkg-config --cflags upfw) "$src/tests/install/consumer.c" -o "$tmp/pc" $(pkg-config --libs upfw) \
    -Wl,-rpath,"$libdir"
else
  # shellcheck disable=SC2046
  "$cc" $(pkg-config --cflags upfw) "$src/tests/install/consumer.c" -o "$tmp/pc" $(pkg-config --static --libs upfw)
fi
"$tmp/pc"
cmake -S "$src/tests/install/consumer" -B "$tmp/cmake" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$libdir" > "$tmp/configure.log" ||
  { cat "$tmp/configure.log"; exit 1; }
cmake --build "$tmp/cmake" > "$tmp/build.log" || { cat "$tmp/build.log"; exit 1; }
"$tmp/cmake/consumer"
for page in update.8 upfw-image.1 upfw-sim.1 libupfw.3; do
  section=${page##*.}
  if [ -e "$src/man/$page" ] && [ ! -e "$prefix/share/man/man$section/$page" ]; then
    echo "man page $page not installed"; exit 1
  fi
done
echo "install: pkg-config and find_package both work from $prefix"
