#!/bin/busybox sh
# /init of the guest's initramfs (scripts/qemu-usb-e2e.sh): loads the modules,
# mounts the host's root read-only and the results share writable over 9p,
# runs the guest script chrooted into the host's root and powers off.
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# SHARE (the results folder, the same path as on the host), REPO (the
# checkout, likewise) and SCRIPT.
. /norza.conf

while read -r module params; do
  # shellcheck disable=SC2086 # the parameters are separate words
  insmod "/lib/modules/$module" $params || echo "init: insmod $module failed"
done </modules.list

# 9p2000.L: the host's owners and modes, and exec from the share works.
opts=trans=virtio,version=9p2000.L,msize=262144
if ! mount -t 9p -o "$opts,ro" hostroot /host; then
  echo "init: cannot mount the host's root"
  poweroff -f
fi
mount -t tmpfs -o mode=1777 tmpfs /host/tmp
mount -t tmpfs -o mode=755 tmpfs /host/run
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t devtmpfs devtmpfs /host/dev
mkdir -p /host/dev/shm /host/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /host/dev/shm
mount -t devpts devpts /host/dev/pts
# The checkout and the results at their host paths; under /tmp or /run the
# folders are made in the tmpfs, elsewhere they exist in the host's root.
mkdir -p "/host$REPO" 2>/dev/null
mount -t 9p -o "$opts,ro" repo "/host$REPO"
mkdir -p "/host$SHARE" 2>/dev/null
mount -t 9p -o "$opts" results "/host$SHARE"

chroot /host /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  /bin/bash "$SCRIPT" "$SHARE"
echo "$?" >"/host$SHARE/guest.rc"
sync
umount "/host$SHARE"
umount "/host$REPO"
poweroff -f
