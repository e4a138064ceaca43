#!/bin/sh
# The tool's main job on a simulated device: a new board that trusts a release key, an update
# image made and signed with the image tool (an unsigned one is refused), `update -u` into the
# other slot, the result shown, a second update before the reboot
# (into the same slot: the running one is never touched), the reboot into the new slot, and an
# update back to the first slot. Then the boot settings: serial number, MAC address, and a slot
# switch with its (simulated) reboot.
# Usage: tools/demo.sh BUILD_DIR
set -eu
build=${1:-build}
root=$(mktemp -d /tmp/upfw-demo-XXXXXX)
keys=$(mktemp -d /tmp/upfw-demo-keys-XXXXXX)
trap 'rm -rf "$root" "$keys"' EXIT
export UPFW_ROOT="$root"

run() { echo "\$ $*"; "$@"; }

# The release key pair, as a build engineer makes it; the device trusts the public key.
openssl genpkey -algorithm ed25519 -out "$keys/release.pem"
openssl pkey -in "$keys/release.pem" -pubout -out "$keys/release.pub"
run "$build/upfw-sim" create "$root" --key "$keys/release.pub"
# Components of a release, as a build host would have them.
head -c 300000 /dev/zero | tr '\0' 'K' > "$root/uImage"
head -c 900000 /dev/zero | tr '\0' 'F' > "$root/ubifs"
printf '#!/bin/sh\necho "update helper"\n' > "$root/helper"
run "$build/upfw-image" create "$root/dev/shm/updateFM.bin" \
  ker="$root/uImage@72.1.0.11" fs="$root/ubifs@72.9.1.10" cmd="$root/helper"
echo "\$ $build/update -u    # the image is not signed yet"
"$build/update" -u > /dev/null || echo "unsigned image refused: $(tr '\n' ' ' < "$root/mnt/nand/upfw.log")"
run "$build/upfw-image" sign "$root/dev/shm/updateFM.bin" "$keys/release.pem"
run "$build/upfw-image" verify "$root/dev/shm/updateFM.bin" --key "$keys/release.pub" | tail -n 2

run "$build/update" -u
echo "result log: $(tr '\n' ' ' < "$root/mnt/nand/upfw.log")"
run "$build/update" --show
run "$build/update" -u | grep -E '^[$] |^  current is'
echo "second update before the reboot, into slot 2 again: $(tr '\n' ' ' < "$root/mnt/nand/upfw.log")"
run "$build/upfw-sim" --root "$root" reboot
echo "booted: $(cat "$root/proc/cmdline")"
run "$build/update" -u | grep -E '^[$] |^  current is'
echo "update after the reboot, into slot 1: $(tr '\n' ' ' < "$root/mnt/nand/upfw.log")"
run "$build/update" --version

run "$build/update" -N VH2026120001 -E 00:1a:2b:3c:4d:99
run "$build/update" -S 2
echo "simulated reboot requests: $(cat "$root/sim/reboot.log")"
