#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# ppsfs as mount(8) starts it: "mount -t fuse.ppsfs" and an fstab line run
# mount.fuse3, which runs "ppsfs SOURCE MOUNTPOINT -o OPTIONS" and expects
# it to return once mounted. In private mount and pid namespaces: ppsfs is
# put in /usr/local/sbin (a tmpfs of the namespace's own) for mount's
# standard PATH, and the daemons the mounts start die with the test, even
# one whose read hangs. Usage: ppsfs_mount_test.sh BIN_DIR
set -u
bin=$(cd "$1" && pwd)
[ -c /dev/fuse ] || { echo "SKIP: no /dev/fuse"; exit 77; }
[ -x /sbin/mount.fuse3 ] || { echo "SKIP: no mount.fuse3"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }

if [ -z "${PPSFS_MOUNT_TEST_INNER:-}" ]; then
  PPSFS_MOUNT_TEST_INNER=1 exec unshare --mount --propagation private --pid --kill-child \
    --mount-proc -- "$0" "$@"
fi
work=$(mktemp -d /tmp/ppsfs-mount-XXXXXX)
chmod 755 "$work"
trap 'umount -l "$work/pps" 2>/dev/null; rm -rf "$work"' EXIT
mount -t tmpfs -o mode=0755 tmpfs /usr/local/sbin
ln -s "$bin/ppsfs" /usr/local/sbin/ppsfs

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
mnt=$work/pps
mkdir "$mnt"

# case: how it is mounted | what must hold once mounted ("" = the mount
# must fail, with a message naming the option)
cases=(
  "mount -t fuse.ppsfs none $mnt -o allow_other|other users reach it"
  "mount -T $work/fstab $mnt|other users reach it"
  "mount -t fuse.ppsfs none $mnt -o allow_other,root_mode=0700,backlog=512|root mode 0700"
  "mount -t fuse.ppsfs none $mnt -o backlog=0|"
)
echo "none $mnt fuse.ppsfs defaults,allow_other 0 0" >"$work/fstab"

for c in "${cases[@]}"; do
  how=${c%%|*} holds=${c#*|}
  s=0
  $how >"$work/out" 2>&1 || s=$?
  if [ -z "$holds" ]; then
    [ "$s" -ne 0 ] && ! mountpoint -q "$mnt" || fail "$how: mounted"
    grep -q backlog "$work/out" || fail "$how: message does not name the option: $(cat "$work/out")"
    continue
  fi
  if [ "$s" -ne 0 ] || ! mountpoint -q "$mnt"; then
    fail "$how: not mounted (exit status $s): $(cat "$work/out")"
    continue
  fi
  [ "$(findmnt -n -o FSTYPE "$mnt")" = fuse.ppsfs ] || fail "$how: type is not fuse.ppsfs"
  findmnt -n -o OPTIONS "$mnt" | grep -q default_permissions || fail "$how: modes not enforced"
  if [ "$holds" = "root mode 0700" ]; then
    [ "$(stat -c %a "$mnt")" = 700 ] || fail "$how: root mode $(stat -c %a "$mnt")"
  else  # other users reach it
    echo "a::1" >"$mnt/obj" && chmod 0666 "$mnt/obj"
    setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "echo b::2 >>$mnt/obj" ||
      fail "$how: another user cannot write a 0666 object"
    got=$(timeout 10 cat "$mnt/obj")  # a read that never ends fails, not hangs
    [ "$got" = $'@obj\na::1\nb::2' ] || fail "$how: object reads $got"
  fi
  umount "$mnt" || fail "$how: umount failed"
done
echo "$failures failed"
[ "$failures" -eq 0 ]
