#!/bin/bash
# Usage: make_fat_bench_image.sh OUTPUT_FOLDER
# Makes the image for bench_fat_scan once (not for CI):
#   fat32.img  1 GiB FAT32, 4 KiB clusters, written by mtools: 320 folders
#              of 250 files (1-8 KiB, long names) copied with `mcopy -s`,
#              half of them deleted with `mdel`, then 80 more folders of
#              250 larger files (8-32 KiB) copied into the freed clusters,
#              so those are fragmented: 100,000 files, 40,000 of them
#              deleted.
# Needs mkfs.fat, mtools and python3. Exits 77 when missing.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 OUTPUT_FOLDER" >&2; exit 2; }
out=$1
source "$(dirname "$0")/../tests/fixtures/lib.sh"
export MTOOLS_SKIP_CHECK=1 TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8
fx_need_tools mkfs.fat mcopy mdel python3 truncate flock
out=$(fx_out_folder "$out")
exec 9>"$out/.fat-bench.lock"
flock 9
[[ -f "$out/fat32.img" ]] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work" "$out/fat32.img.tmp"' EXIT
echo "making fat32.img (100,000 files)..." >&2

# tree1/Dnnn/{keep,drop} nnnn.dat and tree2/Ennn/late nnnn.dat, seeded.
python3 - "$work" <<'PY'
import os, random, sys
w = sys.argv[1]
r = random.Random(18)
blob = os.urandom(1 << 20)
def put(path, n):
    at = r.randrange(0, len(blob) - n)
    with open(path, 'wb') as f: f.write(blob[at:at + n])
for d in range(320):
    p = '%s/tree1/Folder %03d' % (w, d)
    os.makedirs(p)
    for i in range(250):
        put('%s/%s file %04d.dat' % (p, 'keep' if i % 2 else 'drop', i), r.randrange(1024, 8192))
for d in range(80):
    p = '%s/tree2/Later %03d' % (w, d)
    os.makedirs(p)
    for i in range(250):
        put('%s/late file %04d.dat' % (p, i), r.randrange(8192, 32768))
PY

img="$out/fat32.img.tmp"
rm -f "$img"
truncate -s 1G "$img"
fx_run mkfs.fat -F 32 -s 8 -n BENCH "$img"
fx_run mcopy -s -i "$img" "$work"/tree1/* ::/
rm -rf "$work/tree1"
args=()
for d in $(seq -f '%03g' 0 319); do args+=("::/Folder $d/drop*"); done
fx_run mdel -i "$img" "${args[@]}"
fx_run mcopy -s -i "$img" "$work"/tree2/* ::/
mv "$img" "$out/fat32.img"
