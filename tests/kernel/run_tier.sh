#!/bin/sh
# Boots a Debian kernel under QEMU (software emulation) with an initramfs whose init is the
# tier's guest program, and passes or fails with what the guest reports through the
# isa-debug-exit device. Skips, saying why in one line, when QEMU or the kernel is not to be had.
# Usage: run_tier.sh WORKDIR GUEST UPDATE UPFW_SIM MKCPIO
set -u
work=$1 guest=$2 update=$3 sim=$4 mkcpio=$5
start=$(date +%s)
skip() { echo "kernel tier skipped: $*"; exit 77; }

command -v qemu-system-x86_64 > /dev/null 2>&1 || skip "qemu-system-x86_64 is not installed"
mkdir -p "$work/kernel"
kdir=$work/kernel
vmlinuz=$(ls "$kdir"/root/boot/vmlinuz-* 2> /dev/null | head -n 1)
if [ -z "$vmlinuz" ]; then
  # The kernel of Debian's current linux-image-amd64, unpacked here, never installed.
  pkg=$(apt-cache depends linux-image-amd64 2> /dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  [ -n "$pkg" ] || skip "no linux-image package is known to apt (run apt-get update)"
  (cd "$kdir" && apt-get download "$pkg" > download.log 2>&1) || skip "cannot download $pkg"
  dpkg -x "$kdir"/"$pkg"_*.deb "$kdir/root" || skip "cannot unpack $pkg"
  rm -f "$kdir"/*.deb
  vmlinuz=$(ls "$kdir"/root/boot/vmlinuz-* | head -n 1)
fi
mods=$(ls -d "$kdir"/root/lib/modules/*/kernel)

stage=$work/stage
rm -rf "$stage" && mkdir -p "$stage/bin" "$stage/modules"
cp "$guest" "$stage/init"
cp "$update" "$stage/bin/update"
cp "$sim" "$stage/bin/upfw-sim"
for m in lib/bch drivers/mtd/mtd drivers/mtd/nand/nandcore drivers/mtd/nand/raw/nand \
         drivers/mtd/nand/raw/nandsim drivers/mtd/devices/mtdram; do
  cp "$mods/$m.ko" "$stage/modules/" || { echo "kernel tier: module $m missing"; exit 1; }
done
"$mkcpio" "$stage" "$work/initrd.cpio" || { echo "kernel tier: cannot make the initramfs"; exit 1; }

timeout 600 qemu-system-x86_64 -accel tcg -cpu max -m 512 -smp 1 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init" \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 < /dev/null > "$work/console.log" 2>&1
rc=$?
grep -E '^(ok|FAIL) - |^kernel tier' "$work/console.log"
echo "kernel tier: $(( $(date +%s) - start )) s, QEMU exit status $rc"
if [ $rc -eq 1 ] && grep -q '^kernel tier: 0 failure(s)' "$work/console.log"; then
  exit 0   # the guest wrote 0 to the exit port: every check passed
fi
if grep -q -e 'kernel tier: guest up' -e 'Linux version' "$work/console.log"; then
  echo "kernel tier: failed (console: $work/console.log)"
  tail -n 30 "$work/console.log"
  exit 1
fi
skip "QEMU could not start: $(head -n 1 "$work/console.log")"
