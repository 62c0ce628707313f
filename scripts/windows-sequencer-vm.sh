#!/usr/bin/env bash
# The Windows program under Wine with a real ALSA sequencer: a throw-away
# QEMU guest (TCG) boots Debian's own kernel with the host's root shared
# read-only under a memory overlay, loads the sequencer modules, and runs
# the .exe on Xvfb and openbox beside aseqdump, whose port WinMM lists as a
# MIDI output device. It prints the WinMM calls and what aseqdump received,
# and fails unless the start-up send, the send after an Up key and the one
# after a resume from sleep (told by tests/windows/probe.cpp) arrived.
#   scripts/windows-sequencer-vm.sh [BUILD-WINDOWS-DIR]
# Not part of make test: it downloads Debian's kernel package (about 71 MB,
# kept in BUILD-WINDOWS-DIR/vm) and the guest run takes 2 to 3 minutes.
# Needs make windows and one run of the Wine test (ctest -L windows), which
# makes the Wine prefix the guest uses a copy of.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-windows}" && pwd)
[ -f "$build/tavrelle.exe" ] || { echo "windows-sequencer-vm: make windows first" >&2; exit 1; }
[ -e "$build/wine-prefix/.tavrelle-prefix" ] ||
  { echo "windows-sequencer-vm: run the Wine test once first (ctest -L windows): it makes the prefix" >&2; exit 1; }
"$root/scripts/install-deps.sh" windows-vm

vm=$build/vm
mkdir -p "$vm/results"
cd "$vm"
# Debian drops old kernel ABIs: the current one, each run.
package=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: \(linux-image-[0-9][^ ]*\).*/\1/p' | head -n 1)
version=${package#linux-image-}
if [ ! -e "vmlinux-$version" ]; then
  rm -rf kernel ./*.deb vmlinux-*
  apt-get -o APT::Sandbox::User=root download -qq "$package" busybox-static
  mkdir -p kernel busybox
  modules=./lib/modules/$version
  dpkg-deb --fsys-tarfile "$package"_*.deb | tar -x -C kernel --wildcards './boot/vmlinuz-*' \
    "$modules/kernel/sound/soundcore.ko" "$modules/kernel/sound/core" "$modules/kernel/sound/drivers" \
    "$modules/kernel/fs/9p" "$modules/kernel/net/9p" "$modules/kernel/fs/overlayfs" "$modules/kernel/fs/netfs" \
    "$modules/kernel/fs/fscache" "$modules/kernel/drivers/virtio" "$modules/modules.order" \
    "$modules/modules.builtin" "$modules/modules.builtin.modinfo"
  depmod -b kernel "$version"
  dpkg-deb -x busybox-static_*.deb busybox
  # The kernel boots as the uncompressed ELF (PVH): XZ under TCG is slow.
  python3 - "kernel/boot/vmlinuz-$version" "vmlinux-$version" <<'PY'
import subprocess, sys
data = open(sys.argv[1], 'rb').read()
start = data.find(b'\xfd7zXZ\x00')
out = subprocess.run(['xz', '-dcq', '--single-stream'], input=data[start:], capture_output=True).stdout
open(sys.argv[2], 'wb').write(out)
PY
  rm -f ./*.deb
fi

# The initramfs: busybox, the modules, and an init that mounts the host's
# root under a memory overlay and runs the guest script from the results share.
rm -rf initrd
mkdir -p initrd/bin initrd/lib initrd/proc initrd/sys initrd/dev initrd/host initrd/up initrd/newroot
cp busybox/bin/busybox initrd/bin/
cp -a kernel/lib/modules initrd/lib/
cat >initrd/init <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in virtio_pci 9pnet_virtio 9p overlay snd-seq snd-seq-dummy snd-virmidi; do modprobe $m || echo "no module $m"; done
mount -t 9p -o trans=virtio,version=9p2000.L,cache=loose,ro hostroot /host
mount -t tmpfs tmpfs /up; mkdir -p /up/upper /up/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/up/upper,workdir=/up/work /newroot
mount -t devtmpfs dev /newroot/dev; mount -t proc proc /newroot/proc; mount -t sysfs sys /newroot/sys
mount -t tmpfs tmpfs /newroot/tmp
mkdir -p /newroot/results; mount -t 9p -o trans=virtio,version=9p2000.L results /newroot/results
chroot /newroot /bin/bash /results/guest.sh
kill -TERM -1; sleep 1; kill -KILL -1
poweroff -f
INIT
chmod +x initrd/init
(cd initrd && find . | ../busybox/bin/busybox cpio -o -H newc 2>/dev/null | gzip -1 >../initrd.img)

rm -f results/*
cat >results/guest.sh <<GUEST
export HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin
mkdir -p /dev/shm /dev/pts; mount -t tmpfs tmpfs /dev/shm; mount -t devpts devpts /dev/pts
t0=\$(date +%s); say() { echo "[\$((\$(date +%s) - t0)) s] \$*"; }
export WINEPREFIX=$build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p /tmp/openbox /tmp/run; cp $build/tavrelle.exe /tmp/run/
Xvfb :5 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
sleep 3; export DISPLAY=:5
HOME=/tmp/openbox openbox >/dev/null 2>&1 &
aseqdump -p 14:0 >/results/aseqdump.txt 2>&1 &
sleep 2
aconnect -o >/results/ports.txt
say "starting the tool"
WINEDEBUG=-all,trace+winmm wine /tmp/run/tavrelle.exe >/results/trace.txt 2>&1 &
tool=\$!
main_window() {
  local w
  for w in \$(xdotool search --onlyvisible --name '^Tavrelle\$' 2>/dev/null); do
    [ "\$(xdotool getwindowname "\$w")" = Tavrelle ] && { echo "\$w"; return; }
  done
}
w=""
for i in \$(seq 1 300); do
  w=\$(main_window); [ -n "\$w" ] && break
  kill -0 \$tool 2>/dev/null || break
  sleep 1
done
say "window: \${w:-none}"
if [ -n "\$w" ]; then
  sleep 5; xdotool windowactivate --sync "\$w" 2>/dev/null; sleep 2
  say "Up"; xdotool key Up; sleep 10
  # As after a sleep: the device in use is opened again and sent the
  # selection once, since a WinMM handle may reach nothing after a resume.
  say "resume"; wine $build/probe.exe resume; sleep 10
  say "close"; xdotool key alt+F4
  for i in \$(seq 1 60); do kill -0 \$tool 2>/dev/null || break; sleep 1; done
fi
say "tool running: \$(kill -0 \$tool 2>/dev/null && echo yes || echo no)"
cp /tmp/run/tavrelle.ini /results/ 2>/dev/null || true
sleep 2
GUEST

started=$(date +%s)
timeout 900 qemu-system-x86_64 -accel tcg,thread=multi -cpu max,-smap,-fsgsbase,-pku -smp 2 -m 4G \
  -kernel "vmlinux-$version" -initrd initrd.img -append "console=ttyS0 quiet panic=-1" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$vm/results",mount_tag=results,security_model=none \
  -display none -vga none -monitor none -no-reboot -serial file:"$vm/results/console.log" </dev/null 2>&1 |
  "$root/scripts/progress.sh" --beat "the guest"
echo "guest ran $(($(date +%s) - started)) s"
echo "--- the sequencer's output ports"; cat results/ports.txt
echo "--- the guest"; grep '^\[[0-9]* s\]' results/console.log || true
echo "--- WinMM calls"; grep -E 'trace:winmm:midiOut(Open|ShortMsg|Close)' results/trace.txt || true
echo "--- aseqdump"; grep -v 'subscribed' results/aseqdump.txt || true
echo "--- settings"; tr '\r' '|' <results/tavrelle.ini 2>/dev/null || true; echo

expected="Control change 0, controller 32, value 0
Control change 0, controller 0, value 0
Program change 0, program 0
Control change 0, controller 32, value 0
Control change 0, controller 0, value 0
Program change 0, program 1
Control change 0, controller 32, value 0
Control change 0, controller 0, value 0
Program change 0, program 1"
received=$(grep -v 'subscribed' results/aseqdump.txt | sed -n 's/^ *[0-9]*:[0-9]* *\(.*\)$/\1/p' | sed 's/  */ /g')
[ "$received" = "$expected" ] ||
  { echo "FAIL: aseqdump did not receive the start-up send, the send after Up and the one after the resume" >&2; exit 1; }
echo "PASS"
