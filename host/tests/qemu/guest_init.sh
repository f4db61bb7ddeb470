#!/bin/busybox sh
# /init of the test guest: a busybox initramfs that loads the virtio modules, mounts the host's
# root read-only over 9p and runs the session script there (kernel parameter vorna.session).
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

for module in $(cat /modules/order); do insmod "/modules/$module.ko" || echo "insmod $module failed"; done

session=
for word in $(cat /proc/cmdline); do
  case $word in vorna.session=*) session=${word#vorna.session=} ;; esac
done

# The port links a Linux guest's udev makes: /dev/virtio-ports/<port name>.
mkdir -p /dev/virtio-ports
for port in /sys/class/virtio-ports/*; do
  ln -s "../${port##*/}" "/dev/virtio-ports/$(cat "$port/name")"
done

mkdir -p /host
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot /host
# A checkout in one of the folders that get a tmpfs (a clone in /tmp, say) stays visible.
keep=${session%/host/tests/qemu/*}
case $keep in
  /tmp/*|/run/*|/root/*|/var/tmp/*) mkdir -p /keep && mount -o bind "/host$keep" /keep ;;
  *) keep= ;;
esac
for dir in tmp run root var/tmp; do mount -t tmpfs tmpfs "/host/$dir"; done
if [ -n "$keep" ]; then mkdir -p "/host$keep" && mount -o bind /keep "/host$keep"; fi
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mkdir -p /dev/shm /dev/pts
mount -o bind /dev /host/dev
mount -t tmpfs tmpfs /host/dev/shm
mount -t devpts devpts /host/dev/pts

echo "vorna-guest: init done after $(cut -d' ' -f1 /proc/uptime) s"
exec chroot /host /bin/bash "$session"
