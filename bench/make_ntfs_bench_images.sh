#!/bin/bash
# Usage: make_ntfs_bench_images.sh OUTPUT_FOLDER
# Makes the images for bench_ntfs_records once (minutes: not for CI):
#   records.img  1 GiB NTFS, 4 KiB clusters, 100000 small files in 100
#                folders of 1000 (a few resident, most with one data run)
#   comp.img     512 MiB NTFS, 4 KiB clusters, comp/big.txt: 200 MiB of
#                patterned text in a compressed folder, so every unit is
#                LZNT1-compressed
# Writes records.img.inode / comp.img.inode alongside (the inode of big.txt).
# Needs root, FUSE, mkntfs and ntfs-3g. Exits 77 when they are missing.
# Images already in the folder are reused.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 OUTPUT_FOLDER" >&2; exit 2; }
out=$1
source "$(dirname "$0")/../tests/fixtures/lib.sh"
fx_need_tools mkntfs ntfs-3g python3 truncate ifind
fx_need_fuse
out=$(fx_out_folder "$out")
fx_work_mount
exec 9>"$out/.ntfs-bench.lock"
flock 9

if [[ ! -f "$out/records.img" ]]; then
  echo "making records.img (100000 files)..." >&2
  truncate -s 1G "$out/records.img.tmp"
  mkntfs -F -Q -q -L BENCH "$out/records.img.tmp" 2>/dev/null
  ntfs-3g -o big_writes "$out/records.img.tmp" "$mnt"
  python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    folder = os.path.join(root, "d%03d" % d)
    os.mkdir(folder)
    for f in range(1000):
        n = d * 1000 + f
        # sizes 100 .. 4100 bytes: small ones stay resident
        body = (("file %06d " % n) * 400)[: 100 + (n * 37) % 4000]
        with open(os.path.join(folder, "file_%06d.txt" % n), "w") as fh:
            fh.write(body)
PY
  sync; umount "$mnt"
  mv "$out/records.img.tmp" "$out/records.img"
fi

if [[ ! -f "$out/comp.img" ]]; then
  echo "making comp.img (200 MiB compressed file)..." >&2
  truncate -s 512M "$out/comp.img.tmp"
  mkntfs -F -Q -q -L BENCHC "$out/comp.img.tmp" 2>/dev/null
  ntfs-3g -o big_writes "$out/comp.img.tmp" "$mnt"
  mkdir "$mnt/comp"
  python3 -c "import os,sys; os.setxattr(sys.argv[1], 'system.ntfs_attrib_be', (0x810).to_bytes(4,'big'))" "$mnt/comp"
  python3 - "$mnt/comp/big.txt" <<'PY'
import sys
words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
total = 200 * 1024 * 1024
with open(sys.argv[1], "w") as f:
    written, i, chunk = 0, 0, []
    while written < total:
        line = "%s %d %s %s\n" % (words[i % 8], i, words[(i * 7) % 8], words[(i // 8) % 8])
        chunk.append(line); written += len(line); i += 1
        if len(chunk) == 4096:
            f.write("".join(chunk)); chunk = []
    f.write("".join(chunk))
    f.truncate(total)
PY
  sync; umount "$mnt"
  mv "$out/comp.img.tmp" "$out/comp.img"
fi
ifind -n /comp/big.txt "$out/comp.img" >"$out/comp.img.inode"
