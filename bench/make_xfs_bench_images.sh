#!/bin/bash
# Usage: make_xfs_bench_images.sh OUTPUT_FOLDER [SET...]
# Makes the images for bench_xfs_scan once each (not for CI); SET is one of
#   xfsmany.img  V5 (mkfs.xfs defaults, 8 GiB sparse) with FILES files
#                (default 500,000) in 500 x 10 folders made through a loop
#                mount, one in five holding 1-3 KiB, the others empty
#   xfs4g.img    V5, 4 GiB, filled through the mount with 1 MiB to 64 MiB
#                files to about 3 GiB (the XFS Long Scan reads it all)
# Needs root, loop devices, mkfs.xfs and python3. Exits 77 when missing.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 OUTPUT_FOLDER [SET...]" >&2; exit 2; }
out=$1
shift
sets=("$@")
[[ ${#sets[@]} -gt 0 ]] || sets=(xfsmany xfs4g)
source "$(dirname "$0")/../tests/fixtures/lib.sh"
fx_need_tools mkfs.xfs python3 truncate flock mount umount
[[ $(id -u) -eq 0 ]] || { echo "skip: needs root for the loop mount" >&2; exit 77; }
files=${FILES:-500000}
out=$(fx_out_folder "$out")
exec 9>"$out/.xfs-bench.lock"
flock 9
work=$(mktemp -d)
cleanup() {
  if mountpoint -q "$work/mnt" 2>/dev/null; then umount "$work/mnt" || umount -l "$work/mnt" || true; fi
  rm -rf "$work"
  rm -f "$out"/*.img.tmp
}
trap cleanup EXIT
mkdir -p "$work/mnt"

make_xfsmany() {
  echo "making xfsmany.img ($files files)..." >&2
  truncate -s 8G "$out/xfsmany.img.tmp"
  fx_run mkfs.xfs -q -f "$out/xfsmany.img.tmp"
  mount -o loop "$out/xfsmany.img.tmp" "$work/mnt"
  python3 - "$work/mnt" "$files" <<'PY'
import os, random, sys
root, total = sys.argv[1], int(sys.argv[2])
r = random.Random(19)
blob = os.urandom(4096)
per = max(1, total // 5000)
n = 0
for a in range(500):
    for b in range(10):
        p = '%s/top%03d/sub%d' % (root, a, b)
        os.makedirs(p)
        for i in range(per):
            if n >= total:
                break
            with open('%s/file%05d.dat' % (p, i), 'wb') as f:
                if n % 5 == 0:
                    f.write(blob[:r.randint(1024, 3072)])
            n += 1
PY
  umount "$work/mnt"
  mv "$out/xfsmany.img.tmp" "$out/xfsmany.img"
}

make_xfs4g() {
  echo "making xfs4g.img..." >&2
  truncate -s 4G "$out/xfs4g.img.tmp"
  fx_run mkfs.xfs -q -f "$out/xfs4g.img.tmp"
  mount -o loop "$out/xfs4g.img.tmp" "$work/mnt"
  python3 - "$work/mnt" <<'PY'
import os, random, sys
root = sys.argv[1]
r = random.Random(7)
blob = os.urandom(1 << 20)
done, k = 0, 0
while done < (3 << 30):
    size = r.randint(1, 64) << 20
    os.makedirs('%s/d%02d' % (root, k % 40), exist_ok=True)
    with open('%s/d%02d/f%04d.bin' % (root, k % 40, k), 'wb') as f:
        for _ in range(size >> 20):
            f.write(blob)
    done += size
    k += 1
PY
  umount "$work/mnt"
  mv "$out/xfs4g.img.tmp" "$out/xfs4g.img"
}

for s in "${sets[@]}"; do
  [[ -f "$out/$s.img" ]] || "make_$s"
done
