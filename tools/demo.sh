#!/bin/sh
# Shows the tool's main job on a simulated device: a new board, a serial number and a MAC
# address set, the result shown, then a switch to slot 2 and its (simulated) reboot.
# Usage: tools/demo.sh BUILD_DIR
set -eu
build=${1:-build}
root=$(mktemp -d /tmp/upfw-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
export UPFW_ROOT="$root"

run() { echo "\$ $*"; "$@"; }

run "$build/upfw-sim" create "$root"
run "$build/update" -N VH2026120001 -E 00:1a:2b:3c:4d:99
run "$build/update" --show
run "$build/update" -S 2
echo "simulated reboot requests: $(cat "$root/sim/reboot.log")"
run "$build/update" --version
