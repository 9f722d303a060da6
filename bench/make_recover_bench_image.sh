#!/bin/bash
# Usage: make_recover_bench_image.sh OUTPUT_FOLDER
# Makes the image for bench_recover's one-big-file case once (not for CI):
#   bigfile.img  2.25 GiB NTFS, 4 KiB clusters, big.bin: 2 GiB of random
#                bytes written through ntfs-3g (real clusters, no holes)
# Writes bigfile.img.inode (the inode of big.bin) and bigfile.img.run
# ("first-cluster cluster-count" of its first data run) alongside.
# Needs root, FUSE, mkntfs, ntfs-3g and ifind/istat. Exits 77 when missing.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 OUTPUT_FOLDER" >&2; exit 2; }
out=$1
source "$(dirname "$0")/../tests/fixtures/lib.sh"
fx_need_tools mkntfs ntfs-3g truncate ifind istat
fx_need_fuse
out=$(fx_out_folder "$out")
exec 9>"$out/.recover-bench.lock"
flock 9
[[ -f "$out/bigfile.img" && -f "$out/bigfile.img.inode" ]] && exit 0
fx_work_mount "$out/bigfile.img.tmp"
echo "making bigfile.img (2 GiB file)..." >&2
truncate -s 2304M "$out/bigfile.img.tmp"
mkntfs -F -Q -q -c 4096 -L BIG "$out/bigfile.img.tmp" 2>/dev/null
ntfs-3g -o big_writes "$out/bigfile.img.tmp" "$mnt"
dd if=/dev/urandom of="$mnt/big.bin" bs=1M count=2048 status=none
umount "$mnt"
inode=$(ifind -n big.bin "$out/bigfile.img.tmp")
# The first contiguous stretch of the cluster list of istat's $DATA
# attribute (the whole file when ntfs-3g gave it one run).
istat "$out/bigfile.img.tmp" "$inode" >"$work/istat.txt"
awk '/^Type: \$DATA/{d=1; next}
     d && /^[0-9]/{for (i = 1; i <= NF; i++) { if (n == 0) first = $i; else if ($i != first + n) { stop = 1; break }; n++ }
                   if (stop) exit}
     END{print first, n}' "$work/istat.txt" >"$out/bigfile.img.run"
echo "$inode" >"$out/bigfile.img.inode"
mv "$out/bigfile.img.tmp" "$out/bigfile.img"
