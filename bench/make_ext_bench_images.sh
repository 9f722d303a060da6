#!/bin/bash
# Usage: make_ext_bench_images.sh OUTPUT_FOLDER [SET...]
# Makes the images for bench_ext_scan once each (not for CI); SET is one of
# ext4many, exfatmany, ext2big, ext4big, ext4dirs, ufsmany (default: all):
#   ext4many.img   ext4 (`mke2fs -t ext4 -N 2000000 -d TREE`, 4 KiB blocks):
#                  FILES files (default 1,000,000) in 100 x 10 folders, one
#                  in five holding 1-3 KiB, the others empty
#   exfatmany.img  exFAT, 4 KiB clusters, through mount.exfat-fuse over a
#                  loop device: 100,000 files (1-8 KiB) in 400 folders, then
#                  the "drop" half of 80 folders deleted (10,000)
#   ext2big.img    ext2, 4 KiB blocks, one 1 GiB file (block-mapped)
#   ext4big.img    ext4, 4 KiB blocks, one 1 GiB file (extents)
#   ext4dirs.img   ext4 of 4 GiB over random bytes (mke2fs -E nodiscard:
#                  every block holds data, as a used disk does), 20,000
#                  files of 0-2 KiB in 2,000 folders (bench_ext_long)
#   ufsmany.img    UFS1 (makefs): 100,000 files (0-2 KiB) in 1,000 folders
#                  (bench_ext_long)
# The trees are built in a tmpfs when we are root (no disk writes for a
# million small files), else in a temporary folder.
# Needs mke2fs, python3; exfatmany also root, FUSE, mkfs.exfat,
# mount.exfat-fuse and losetup. Exits 77 when missing.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 OUTPUT_FOLDER [SET...]" >&2; exit 2; }
out=$1
shift
sets=("$@")
[[ ${#sets[@]} -gt 0 ]] || sets=(ext4many exfatmany ext2big ext4big ext4dirs ufsmany)
source "$(dirname "$0")/../tests/fixtures/lib.sh"
export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
fx_need_tools mke2fs python3 truncate flock
files=${FILES:-1000000}
out=$(fx_out_folder "$out")
exec 9>"$out/.ext-bench.lock"
flock 9

work=$(mktemp -d)
loop=""
cleanup() {
  if mountpoint -q "$work/mnt" 2>/dev/null; then umount "$work/mnt" || umount -l "$work/mnt" || true; fi
  [[ -n $loop ]] && losetup -d "$loop" 2>/dev/null || true
  if mountpoint -q "$work/tree" 2>/dev/null; then umount "$work/tree" || umount -l "$work/tree" || true; fi
  rm -rf "$work"
  rm -f "$out"/*.img.tmp
}
trap cleanup EXIT
mkdir -p "$work/tree" "$work/mnt"
if [[ $(id -u) -eq 0 ]]; then mount -t tmpfs -o size=3g,nr_inodes=0 tmpfs "$work/tree"; fi

fresh_tree() {
  find "$work/tree" -mindepth 1 -delete
}

make_ext4many() {
  echo "making ext4many.img ($files files)..." >&2
  fresh_tree
  python3 - "$work/tree" "$files" <<'PY'
import os, random, sys
root, total = sys.argv[1], int(sys.argv[2])
r = random.Random(19)
blob = os.urandom(1 << 16)
per = max(1, total // 1000)
n = 0
for a in range(100):
    for b in range(10):
        p = '%s/top%02d/sub%d' % (root, a, b)
        os.makedirs(p)
        for i in range(per):
            with open('%s/file%06d.txt' % (p, i), 'wb') as f:
                if i % 5 == 0:
                    at = r.randrange(0, len(blob) - 3072)
                    f.write(blob[at:at + r.randrange(1024, 3072)])
PY
  local img="$out/ext4many.img.tmp"
  rm -f "$img"
  fx_run mke2fs -q -F -t ext4 -b 4096 -N 2000000 -d "$work/tree" "$img" 4G
  fresh_tree
  mv "$img" "$out/ext4many.img"
}

make_exfatmany() {
  fx_need_tools mkfs.exfat mount.exfat-fuse losetup
  fx_need_fuse
  echo "making exfatmany.img (100,000 files)..." >&2
  fresh_tree
  python3 - "$work/tree" <<'PY'
import os, random, sys
root = sys.argv[1]
r = random.Random(191)
blob = os.urandom(1 << 20)
for d in range(400):
    p = '%s/Folder %03d' % (root, d)
    os.makedirs(p)
    for i in range(250):
        at = r.randrange(0, len(blob) - 8192)
        with open('%s/%s file %04d.dat' % (p, 'keep' if i % 2 else 'drop', i), 'wb') as f:
            f.write(blob[at:at + r.randrange(1024, 8192)])
PY
  local img="$out/exfatmany.img.tmp"
  rm -f "$img"
  truncate -s 2G "$img"
  fx_run mkfs.exfat -L BENCH -c 4K "$img"
  loop=$(losetup -f --show "$img")
  mount.exfat-fuse "$loop" "$work/mnt"
  cp -r "$work/tree"/. "$work/mnt"/
  local d
  for d in $(seq -f '%03g' 0 79); do rm -f "$work/mnt/Folder $d"/drop*; done
  umount "$work/mnt"
  losetup -d "$loop"
  loop=""
  fresh_tree
  mv "$img" "$out/exfatmany.img"
}

make_big() {
  local name=$1 type=$2
  echo "making $name.img (one 1 GiB file)..." >&2
  fresh_tree
  head -c 1G /dev/urandom >"$work/tree/big.bin"
  local img="$out/$name.img.tmp"
  rm -f "$img"
  fx_run mke2fs -q -F -t "$type" -b 4096 -d "$work/tree" "$img" 1200M
  fresh_tree
  mv "$img" "$out/$name.img"
}

# Small files in folders: COUNT files in FOLDERS folders, 0-2 KiB each.
small_tree() {
  python3 - "$work/tree" "$1" "$2" <<'PY'
import os, random, sys
root, total, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
r = random.Random(39)
blob = os.urandom(1 << 16)
per = total // folders
for d in range(folders):
    p = '%s/dir%04d' % (root, d)
    os.makedirs(p)
    for i in range(per):
        with open('%s/f%05d.dat' % (p, i), 'wb') as f:
            at = r.randrange(0, len(blob) - 2048)
            f.write(blob[at:at + r.randrange(0, 2048)])
PY
}

make_ext4dirs() {
  echo "making ext4dirs.img (4 GiB)..." >&2
  fresh_tree
  small_tree 20000 2000
  local img="$out/ext4dirs.img.tmp"
  rm -f "$img"
  head -c 4G /dev/urandom >"$img"
  fx_run mke2fs -q -F -t ext4 -b 4096 -E nodiscard -d "$work/tree" "$img"
  fresh_tree
  mv "$img" "$out/ext4dirs.img"
}

make_ufsmany() {
  fx_need_tools makefs
  echo "making ufsmany.img (100,000 files)..." >&2
  fresh_tree
  small_tree 100000 1000
  local img="$out/ufsmany.img.tmp"
  rm -f "$img"
  fx_run makefs -t ffs -o version=1 -s 1g "$img" "$work/tree"
  fresh_tree
  mv "$img" "$out/ufsmany.img"
}

for s in "${sets[@]}"; do
  [[ -f "$out/$s.img" ]] && continue
  case $s in
    ext4many) make_ext4many ;;
    exfatmany) make_exfatmany ;;
    ext2big) make_big ext2big ext2 ;;
    ext4big) make_big ext4big ext4 ;;
    ext4dirs) make_ext4dirs ;;
    ufsmany) make_ufsmany ;;
    *) echo "unknown set $s" >&2; exit 2 ;;
  esac
done
