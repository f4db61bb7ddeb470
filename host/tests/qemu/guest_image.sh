#!/usr/bin/env bash
# Makes the test guest in DIR, reusing what an earlier run left there: Debian's kernel and the
# virtio, console and 9p modules (downloaded, unpacked, never installed), a busybox initramfs
# whose /init is guest_init.sh, and a 64-bit Wine prefix (and its tar) that the guest unpacks at
# every boot.
# With WOW64_PREFIX (a prefix with its 32-bit half, which the i686 tests make), also a copy of it
# for the shipped 32-bit program, made again whenever that prefix is newer.
# Exit status 77: the kernel package cannot be downloaded.
# Usage: guest_image.sh DIR [WOW64_PREFIX]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
wow64=${2:-}

# Most of a prefix's drive_c is copies of Wine's own files (about 700 MB): links to them keep
# the copy the guest makes at every boot small.
link_wine_files() {
  find "$1/drive_c" -type f -print0 |
    while IFS= read -r -d '' file; do
      for original in "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/${file##*/}" \
                      "/usr/lib/i386-linux-gnu/wine/i386-windows/${file##*/}" \
                      "/usr/share/wine/nls/${file##*/}"; do
        if [ -f "$original" ] && cmp -s "$file" "$original"; then
          ln -sf "$original" "$file"
          break
        fi
      done
    done
}

# In load order: each after what it needs.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console
         9pnet netfs fscache 9p 9pnet_virtio)

if [ ! -f "$dir/kernel/vmlinuz" ]; then
  download="$dir/download"
  rm -rf "$download" "$dir/kernel"
  mkdir -p "$download"
  cd "$download"
  # linux-image-amd64 only names the current kernel; the kernel is its dependency.
  if ! apt-get download -o APT::Sandbox::User=root linux-image-amd64 >/dev/null 2>&1; then
    echo "cannot download Debian's linux-image-amd64 (apt-get download failed)" >&2
    exit 77
  fi
  kernel=$(dpkg-deb -f linux-image-amd64_*.deb Depends | grep -o 'linux-image-[0-9][^ ,]*-amd64' | head -n 1)
  if ! apt-get download -o APT::Sandbox::User=root "$kernel" >/dev/null 2>&1; then
    echo "cannot download Debian's $kernel (apt-get download failed)" >&2
    exit 77
  fi
  dpkg-deb -x "$kernel"_*.deb unpacked
  mkdir -p "$dir/kernel.new/modules"
  cp unpacked/boot/vmlinuz-* "$dir/kernel.new/vmlinuz"
  for module in "${modules[@]}"; do
    found=$(find unpacked/lib/modules -name "$module.ko*" | head -n 1)
    [ -n "$found" ] || { echo "$kernel has no module $module" >&2; exit 1; }
    cp "$found" "$dir/kernel.new/modules/"
  done
  echo "$kernel" >"$dir/kernel.new/package"
  cd "$dir"
  rm -rf "$download"
  mv "$dir/kernel.new" "$dir/kernel"
fi

# The initramfs, made again every time (a second): the init script may have changed.
root="$dir/initramfs"
rm -rf "$root"
mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/modules"
cp /bin/busybox "$root/bin/busybox"
cp "$here/guest_init.sh" "$root/init"
cp "$dir"/kernel/modules/*.ko* "$root/modules/"
printf '%s\n' "${modules[@]}" >"$root/modules/order"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$dir/initramfs.cpio.new"
mv "$dir/initramfs.cpio.new" "$dir/initramfs.cpio"
rm -rf "$root"

# The prefix, booted once here so that the guest only starts it: Wine's own set-up under the
# guest's emulated processor would take minutes. The agent's port is the dosdevices name vorna0
# (Wine rewrites com1..com4 to the guest's serial ports at every start).
if [ ! -f "$dir/wineprefix/system.reg" ]; then
  export WINEPREFIX="$dir/wineprefix"
  source "$here/../../../scripts/lib/wine.sh"
  rm -rf "$WINEPREFIX"
  wine_create_prefix
  link_wine_files "$WINEPREFIX"
  ln -s /dev/virtio-ports/com.vorna.vm.stats_agent.0 "$WINEPREFIX/dosdevices/vorna0"
  rm -f "$dir/wineprefix.tar"
fi
# One file for the guest to read: over 9p each of the prefix's 900 entries would cost a round trip.
[ -f "$dir/wineprefix.tar" ] || tar -C "$dir" -cf "$dir/wineprefix.tar" wineprefix

if [ -n "$wow64" ] && [ -f "$wow64/drive_c/windows/syswow64/kernel32.dll" ] &&
   { [ ! -f "$dir/wineprefix-wow64.tar" ] || [ "$wow64/system.reg" -nt "$dir/wineprefix-wow64.tar" ]; }; then
  rm -rf "$dir/wineprefix-wow64"
  cp -a "$wow64" "$dir/wineprefix-wow64"
  rm -f "$dir"/wineprefix-wow64/dosdevices/com*
  link_wine_files "$dir/wineprefix-wow64"
  ln -s /dev/virtio-ports/com.vorna.vm.stats_agent.1 "$dir/wineprefix-wow64/dosdevices/vorna1"
  tar -C "$dir" -cf "$dir/wineprefix-wow64.tar" wineprefix-wow64
  rm -rf "$dir/wineprefix-wow64"
fi
