#!/usr/bin/env bash
# Runs a command as root inside a throw-away virtual machine that has a real
# ALSA sequencer, and returns the command's status.
#   scripts/alsa-guest.sh CACHE WORK COMMAND [ARG...]
#
# The machine boots Debian's own kernel under QEMU's TCG (no /dev/kvm needed)
# with this machine's root as its root, read-only over 9p, under a tmpfs
# overlay so that it can write. It gets a fresh /tmp, /run and /dev; WORK is
# shared read-write at the same path and is the command's working folder.
# Paths outside /tmp, such as a build folder, are seen where they are here;
# of /tmp, only the folders that hold WORK and the command's path arguments
# (a clone under /tmp), read-only.
# The modules snd-seq, snd-seq-dummy and snd-virmidi are loaded before the
# command runs (four "Virtual Raw MIDI 0-N" clients), and
# /lib/modules/$(uname -r) holds the sound modules, so modprobe works.
#
# CACHE keeps the kernel's image and the small initramfs that mounts the root;
# they are made again when Debian's current kernel changes. Nothing of them is
# kept in the repository: the kernel package is downloaded with apt-get (the
# `alsa` package set of scripts/install-deps.sh brings QEMU and kmod).
#
# The command's output is shown as it was printed. A machine that cannot boot,
# or a command that outlives ALSA_GUEST_TIMEOUT (seconds, default 150), fails
# with the guest's console: never a skip, never a pass.
set -euo pipefail

cache=${1:?usage: alsa-guest.sh CACHE WORK COMMAND [ARG...]}
work=${2:?usage: alsa-guest.sh CACHE WORK COMMAND [ARG...]}
shift 2
[ $# -gt 0 ] || { echo "usage: alsa-guest.sh CACHE WORK COMMAND [ARG...]" >&2; exit 2; }
timeout_s=${ALSA_GUEST_TIMEOUT:-150}

guest_fail() {
  echo "alsa-guest: $*" >&2
  exit 1
}
for tool in qemu-system-x86_64 depmod apt-get dpkg-deb xz; do
  command -v "$tool" >/dev/null || guest_fail "$tool is missing: run scripts/install-deps.sh alsa"
done
mkdir -p "$cache" "$work"
cache=$(readlink -f "$cache")
work=$(readlink -f "$work")

# Debian drops the packages of old kernel ABIs, so the current one is looked
# up each run.
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -n 1)
[ -n "$kernel_package" ] || guest_fail "apt-cache does not know linux-image-amd64"
version=${kernel_package#linux-image-}

download() {
  local folder=$1
  shift
  local sandbox=()
  [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
  (cd "$folder" && apt-get download -qq "${sandbox[@]}" "$@" >/dev/null 2>&1) && return 0
  # Package lists older than the mirror name files it no longer has.
  local as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
  (cd "$folder" && apt-get download -qq "${sandbox[@]}" "$@" >/dev/null)
}

# The guest's init: the modules for 9p and the overlay, the root, then the
# command's stage in the real root; it powers off whatever happens.
write_init() {
  cat >"$1" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /lower /upper /root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/null >/dev/console 2>&1
for module in virtio_pci 9pnet_virtio 9p overlay; do modprobe "$module" || echo "init: modprobe $module failed"; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /lower &&
  mount -t tmpfs -o size=70% tmpfs /upper && mkdir /upper/data /upper/work &&
  mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work /root ||
  { echo "init: cannot mount the root"; poweroff -f; }
mkdir -p /share
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 work /share || { echo "init: cannot mount the work folder"; poweroff -f; }
work=$(cat /share/.guest/path)
for dir in proc sys dev; do mount --move /$dir /root/$dir; done
mkdir -p /root/dev/pts /root/dev/shm
mount -t devpts devpts /root/dev/pts
mount -t tmpfs tmpfs /root/dev/shm
for dir in /tmp /run /var/tmp; do mount -t tmpfs tmpfs /root$dir; done
chmod 1777 /root/tmp /root/var/tmp /root/dev/shm
while read -r shown; do mkdir -p "/root$shown" && mount --bind "/lower$shown" "/root$shown"; done </share/.guest/shown
mkdir -p /root/lib/modules/$(uname -r) "/root$work"
mount --bind /lib/modules/$(uname -r) /root/lib/modules/$(uname -r)
mount --bind /share "/root$work"
chroot /root /bin/sh "$work/.guest/stage" "$work"
kill -TERM -1 2>/dev/null; sleep 0.2
kill -KILL -1 2>/dev/null
sync
poweroff -f
EOF
  chmod 755 "$1"
}

# Prepares the kernel's image (the ELF vmlinux inside the bzImage: QEMU boots
# it directly, which spares the decompression under TCG) and the initramfs.
prepare() {
  local scratch=$cache/scratch
  rm -rf "$scratch" "$image"
  mkdir -p "$scratch/root/bin" "$scratch/root/lib/modules"
  download "$scratch" "$kernel_package" busybox-static || guest_fail "cannot download $kernel_package and busybox-static"
  dpkg-deb --fsys-tarfile "$scratch"/busybox-static_*.deb | tar -x -C "$scratch" ./bin/busybox
  cp "$scratch/bin/busybox" "$scratch/root/bin/busybox"
  local kernel=./lib/modules/$version
  dpkg-deb --fsys-tarfile "$scratch"/linux-image-*.deb | tar -x -C "$scratch" --wildcards \
    "./boot/vmlinuz-$version" "$kernel/modules.order" "$kernel/modules.builtin*" \
    "$kernel/kernel/drivers/virtio/*" "$kernel/kernel/fs/9p/*" "$kernel/kernel/net/9p/*" \
    "$kernel/kernel/fs/netfs/*" "$kernel/kernel/fs/fscache/*" "$kernel/kernel/fs/overlayfs/*" \
    "$kernel/kernel/sound/soundcore.ko" "$kernel/kernel/sound/core/*" "$kernel/kernel/sound/drivers/snd-virmidi.ko"
  mv "$scratch/lib/modules/$version" "$scratch/root/lib/modules/"
  depmod -b "$scratch/root" "$version"
  local vmlinuz=$scratch/boot/vmlinuz-$version offset
  offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1)
  [ -n "$offset" ] || guest_fail "no XZ stream in $vmlinuz"
  tail -c +$((offset + 1)) "$vmlinuz" | xz -dcq --single-stream >"$scratch/vmlinux" 2>/dev/null || true
  [ "$(head -c 4 "$scratch/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ] || guest_fail "no ELF kernel in $vmlinuz"
  write_init "$scratch/root/init"
  (cd "$scratch/root" && find . | "$scratch/bin/busybox" cpio -o -H newc 2>/dev/null) >"$scratch/initramfs.cpio"
  mkdir "$image"
  mv "$scratch/vmlinux" "$scratch/initramfs.cpio" "$image/"
  rm -rf "$scratch"
}
# A new kernel or a changed init makes a new image; older ones are removed.
write_init "$cache/init.new"
image=$cache/$version-$(md5sum <"$cache/init.new" | cut -c 1-8)
rm -f "$cache/init.new"
[ -s "$image/vmlinux" ] && [ -s "$image/initramfs.cpio" ] || prepare
find "$cache" -mindepth 1 -maxdepth 1 ! -name "${image##*/}" -exec rm -rf {} +

# The stage the guest runs in the real root: sound modules, then the command,
# its output straight to the console (a pipe a background child kept open
# would hold the guest at its end), its status after a marker.
state=$work/.guest
rm -rf "$state"
mkdir -p "$state"
begin="tavrelle-guest-begin-$$-$RANDOM"
end="tavrelle-guest-end-$$-$RANDOM"
{
  echo 'cd "$1" || exit'
  echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8'
  echo 'export XDG_RUNTIME_DIR=/run/user/0; mkdir -m 700 -p "$XDG_RUNTIME_DIR"'
  echo 'ip link set lo up 2>/dev/null'
  echo 'for module in snd-seq snd-seq-dummy snd-virmidi; do modprobe "$module" || echo "stage: modprobe $module failed"; done'
  echo "echo $begin"
  printf '%q ' "$@"
  echo '</dev/null'
  echo "echo \"$end \$?\""
} >"$state/stage"
echo "$work" >"$state/path"
for path in "$work" "$@"; do
  case $path in /tmp/?*) path=${path#/tmp/}; echo "/tmp/${path%%/*}" ;; esac
done | sort -u >"$state/shown"

console=$state/console.log
status=0
timeout -k 5 "$timeout_s" qemu-system-x86_64 -accel tcg,thread=multi -cpu max -smp 2 -m 1536 \
  -kernel "$image/vmlinux" -initrd "$image/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$work,mount_tag=work,security_model=none,multidevs=remap" \
  -display none -vga none -monitor none -no-reboot -serial "file:$console" \
  </dev/null >"$state/qemu.log" 2>&1 || status=$?

# The console: the kernel's lines, then the command's between the markers.
result=$(tr -d '\r' <"$console" | sed -n "s/.*$end \([0-9]*\)$/\1/p" | tail -n 1)
if [ -z "$result" ] || ! grep -q "^$begin" "$console"; then
  if [ $status -eq 124 ]; then echo "alsa-guest: the guest did not finish within $timeout_s s" >&2; fi
  echo "alsa-guest: the command did not run to its end in the guest (QEMU status $status); its console:" >&2
  tr -d '\r' <"$console" >&2 || true
  [ ! -s "$state/qemu.log" ] || { echo "--- QEMU:" >&2; cat "$state/qemu.log" >&2; }
  exit 1
fi
tr -d '\r' <"$console" | sed -n "/^$begin/,/$end [0-9]*$/p" | sed "1d; \$s/$end [0-9]*$//; \${/^$/d}"
exit "$result"
