#!/bin/bash
# Usage: make_hfs_bench_images.sh OUTPUT_FOLDER [SET...]
# Makes the images for bench_hfs_scan once each (not for CI); SET is one of
# hfs100k, hfs4g (default both), made with xorriso (-hfsplus: an Apple
# partition map, HFS+ of 2048-byte blocks, 4096-byte catalog nodes):
#   hfs100k.iso  100,000 small files in 100 folders (about 9 s)
#   hfs4g.iso    1,000 small files and four files of 1 GiB (sparse in the
#                tree; the image holds their zeros; xorriso takes no file
#                of 4 GiB)
#   NAME.start   the HFS+ partition's first sector
# Needs xorriso and python3; exits 77 when missing.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 OUTPUT_FOLDER [SET...]" >&2; exit 2; }
out=$1
shift
sets=("$@")
[[ ${#sets[@]} -gt 0 ]] || sets=(hfs100k hfs4g)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tests/fixtures/lib.sh"
fx_need_tools xorriso python3 flock
out=$(fx_out_folder "$out")
exec 9>"$out/.hfs-bench.lock"
flock 9
work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

tree() {
  python3 - "$1" "$2" "$3" <<'PY'
import os, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(folders):
    os.makedirs(f'{root}/d{d:03}')
    for f in range(per):
        with open(f'{root}/d{d:03}/file{f:05}.txt', 'w') as out:
            out.write(f'{d} {f}\n' * (1 + f % 5))
PY
}

for set in "${sets[@]}"; do
  [[ -s $out/$set.iso && -s $out/$set.start ]] && continue
  rm -rf "$work/tree"
  case $set in
    hfs100k) tree "$work/tree" 100 1000 ;;
    hfs4g)
      tree "$work/tree" 10 100
      for i in 1 2 3 4; do truncate -s 1G "$work/tree/big$i.bin"; done
      ;;
    *) echo "unknown set $set" >&2; exit 2 ;;
  esac
  fx_run xorriso -as mkisofs -hfsplus -o "$work/$set.iso" "$work/tree/"
  python3 "$here/../tests/fixtures/hfs_tool.py" partition "$work/$set.iso" | cut -d' ' -f1 >"$work/$set.start"
  mv "$work/$set.iso" "$out/$set.iso"
  mv "$work/$set.start" "$out/$set.start"
done
