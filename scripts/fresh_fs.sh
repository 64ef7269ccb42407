# Sourced by bench.sh and profile.sh, as root in a mount namespace of the
# script's own: mount_fresh_fs DIR SIZE makes a sparse image of SIZE in DIR,
# formats it as ext4 (one inode per 8 KiB, inode tables written at once so
# that no background initialisation runs during a load) and loop-mounts it;
# prints the mount point, in which "work" is a directory anyone may write.
# The mount never reaches the machine's mount table, and mount and image
# are removed when the script exits.
mount_fresh_fs() {
  fresh_image=$(mktemp "$1/kvx_fs.XXXXXX")
  fresh_mnt=$(mktemp -d "$1/kvx_mnt.XXXXXX")
  trap unmount_fresh_fs EXIT
  mount --make-rprivate /
  truncate -s "$2" "$fresh_image"
  mkfs.ext4 -q -F -i 8192 -E lazy_itable_init=0,lazy_journal_init=0 \
    "$fresh_image"
  mount -o loop "$fresh_image" "$fresh_mnt"
  # The network namespace's root is the same user; 0777 all the same, so
  # that any mapping can write there.
  mkdir "$fresh_mnt/work"
  chmod 0777 "$fresh_mnt/work"
}

unmount_fresh_fs() {
  umount "$fresh_mnt" 2>/dev/null || umount -l "$fresh_mnt" 2>/dev/null || true
  rmdir "$fresh_mnt" 2>/dev/null || true
  rm -f "$fresh_image"
}
