#!/bin/bash
# Usage: bench/sparse.sh
# A sparse file recovered with its holes, in one run: an ext4 image (made
# once by mke2fs -d into build/fixtures/sparse-bench, 64 MiB) holds
# sparse.bin, 5 GiB long with 1 MiB of data at its start, at 2 GiB and at
# its end; `dvscan --recover` writes it into a scratch folder beside the
# image. Prints the seconds, the bytes the copy takes on the disk (du)
# against its length, and whether its md5 is the original's; `cp
# --sparse=always` of the original is the reference. Prints the load.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(scripts/build dvscan)
out="$dir/fixtures/sparse-bench"
img="$out/sparse.img"
mkdir -p "$out"
if [[ ! -f $img ]]; then
  src=$(mktemp -d)
  truncate -s 5G "$src/sparse.bin"
  for at in 0 2048 5119; do
    head -c 1M /dev/urandom | dd of="$src/sparse.bin" bs=1M seek=$at conv=notrunc status=none
  done
  md5sum <"$src/sparse.bin" | cut -d' ' -f1 >"$out/sparse.md5"
  truncate -s 64M "$img.part"
  mke2fs -q -F -t ext4 -d "$src" "$img.part"
  rm -rf "$src"
  mv "$img.part" "$img"
fi
scratch=$(mktemp -d "$out/run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
echo "load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors; image $img"
start=$(date +%s.%N)
"$dir/bin/dvscan" --recover "$scratch/dv" "$img" >/dev/null
end=$(date +%s.%N)
f=$(find "$scratch/dv" -name sparse.bin | head -1)
len=$(stat -c %s "$f")
used=$(du -B1 "$f" | cut -f1)
same=$([[ $(md5sum <"$f" | cut -d' ' -f1) == $(cat "$out/sparse.md5") ]] && echo yes || echo NO)
printf '%-28s %8s %14s %14s %6s\n' run seconds length "on disk" "md5 ok"
printf '%-28s %8.2f %14s %14s %6s\n' "dvscan --recover" "$(echo "$end - $start" | bc)" "$len" "$used" "$same"
start=$(date +%s.%N)
cp --sparse=always "$f" "$scratch/cp.bin"
end=$(date +%s.%N)
printf '%-28s %8.2f %14s %14s %6s\n' "cp --sparse=always (ref)" "$(echo "$end - $start" | bc)" \
  "$(stat -c %s "$scratch/cp.bin")" "$(du -B1 "$scratch/cp.bin" | cut -f1)" "-"
