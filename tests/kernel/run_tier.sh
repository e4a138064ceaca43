#!/bin/sh
# Boots a Debian kernel under QEMU (software emulation) with an initramfs whose init is the
# tier's guest program, and passes or fails with what the guest reports. On x86-64 the result
# comes through the isa-debug-exit device. ARM's virt machine has no such device: there the
# host reads the guest's closing line from the console. The ARM run boots three times: the virt
# machine on a CPU with the CRC32 instructions for every check, on one without them for the
# CRC-32 check alone, and the i.MX6 SABRE Lite board for its SPI NOR flash.
# Skips, saying why in one line, when QEMU or the kernel is not to be had.
# Usage: run_tier.sh ARCH WORKDIR GUEST UPDATE UPFW_SIM MKCPIO   (ARCH: x86_64 or arm)
set -u
arch=$1 work=$2 guest=$3 update=$4 sim=$5 mkcpio=$6
start=$(date +%s)
skip() { echo "kernel tier skipped: $*"; exit 77; }

case $arch in
  x86_64)
    qemu=qemu-system-x86_64 meta=linux-image-amd64
    modules="lib/bch drivers/mtd/mtd drivers/mtd/nand/nandcore drivers/mtd/nand/raw/nand
             drivers/mtd/nand/raw/nandsim drivers/mtd/devices/mtdram" ;;
  arm)
    # The MTD core, the character devices and raw NAND are built into Debian's ARMv7 kernel.
    # The SABRE Lite boot adds its GPIO, SPI controller and SPI NOR drivers.
    qemu=qemu-system-arm meta=linux-image-armmp:armhf
    modules="drivers/mtd/nand/raw/nandsim drivers/gpio/gpio-mxc drivers/spi/spi-imx
             drivers/mtd/spi-nor/spi-nor" ;;
  *) echo "kernel tier: unknown architecture $arch"; exit 1 ;;
esac

command -v $qemu > /dev/null 2>&1 || skip "$qemu is not installed"
mkdir -p "$work/kernel"
kdir=$work/kernel
vmlinuz=$(ls "$kdir"/root/boot/vmlinuz-* 2> /dev/null | head -n 1)
if [ -z "$vmlinuz" ]; then
  # The kernel of Debian's current linux-image-amd64 (or armmp for armhf), unpacked here,
  # never installed.
  pkg=$(apt-cache depends $meta 2> /dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  [ -n "$pkg" ] || skip "no $meta package is known to apt (run apt-get update; for armhf, dpkg --add-architecture armhf first)"
  (cd "$kdir" && apt-get download "$pkg" > download.log 2>&1) || skip "cannot download $pkg"
  dpkg -x "$kdir"/"${pkg%%:*}"_*.deb "$kdir/root" || skip "cannot unpack $pkg"
  rm -f "$kdir"/*.deb
  vmlinuz=$(ls "$kdir"/root/boot/vmlinuz-* | head -n 1)
fi
mods=$(ls -d "$kdir"/root/lib/modules/*/kernel)

stage=$work/stage
rm -rf "$stage" && mkdir -p "$stage/bin" "$stage/modules"
cp "$guest" "$stage/init"
cp "$update" "$stage/bin/update"
cp "$sim" "$stage/bin/upfw-sim"
for m in $modules; do
  cp "$mods/$m.ko" "$stage/modules/" || { echo "kernel tier: module $m missing"; exit 1; }
done
"$mkcpio" "$stage" "$work/initrd.cpio" || { echo "kernel tier: cannot make the initramfs"; exit 1; }

if [ "$arch" = x86_64 ]; then
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
fi

# boot_arm NAME CONSOLE KERNEL-ARGUMENTS QEMU-ARGUMENTS...: one boot; 0 when the guest ran to
# its closing line with no failure. The virt machine powers off then; the SABRE Lite board
# cannot, nor restart within QEMU, so QEMU is ended once the closing line, a panic or the
# kernel's last word is out. A guest that dies, hangs or panics never prints that line, so it
# fails, as does every other outcome.
boot_arm() {
  name=$1 console=$2 args=$3
  shift 3
  log=$work/console-$name.log
  t0=$(date +%s)
  qemu-system-arm "$@" -m 512 -smp 1 -display none -monitor none -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initrd.cpio" \
    -append "console=$console panic=-1 loglevel=4 rdinit=/init $args" < /dev/null > "$log" 2>&1 &
  pid=$!
  while kill -0 $pid 2> /dev/null; do
    if grep -q -e '^kernel tier: [0-9]* failure(s)' -e 'Kernel panic' -e 'reboot: ' "$log" ||
       [ $(( $(date +%s) - t0 )) -ge 600 ]; then
      sleep 2
      kill $pid 2> /dev/null
      break
    fi
    sleep 0.5
  done
  wait $pid
  rc=$?
  grep -E '^(ok|FAIL|note) - |^kernel tier' "$log"
  echo "kernel tier (arm $name): $(( $(date +%s) - t0 )) s, QEMU exit status $rc"
  grep -q '^kernel tier: 0 failure(s)' "$log" && return 0
  echo "kernel tier: failed on $name (console: $log)"
  tail -n 30 "$log"
  return 1
}

failed=0
# The guest is told which CPU it is on, so that it checks the kernel's word on the CRC32
# instructions as well as the CRC-32 itself.
boot_arm virt-max ttyAMA0 crc32hw=1 -M virt -cpu max -serial stdio || failed=1
boot_arm virt-cortex-a15 ttyAMA0 "tier=crc crc32hw=0" -M virt -cpu cortex-a15 -serial stdio || failed=1
# A real SPI NOR flash under the kernel's spi-nor driver: the SABRE Lite board's, whose
# console is its second UART.
dtb=$(ls "$kdir"/root/usr/lib/linux-image-*/imx6q-sabrelite.dtb 2> /dev/null | head -n 1)
if [ -n "$dtb" ]; then
  boot_arm sabrelite ttymxc1 tier=nor -M sabrelite -dtb "$dtb" -serial null -serial stdio || failed=1
else
  echo "kernel tier: the kernel package has no imx6q-sabrelite.dtb"
  failed=1
fi
echo "kernel tier: $(( $(date +%s) - start )) s"
exit $failed
