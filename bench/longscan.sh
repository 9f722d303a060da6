#!/bin/bash
# Usage: bench/longscan.sh [IMAGE...]
# The Long Scan's speed against the limit of the medium, in one run, per
# image: `cat IMAGE >/dev/null` (the limit), `dvscan --long --list
# /dev/null` with the overlap of reading and classifying off, with one
# thread and with one a processor (the default), and, on an image with no
# file system, PhotoRec's whole-image search (files written to a scratch
# folder, removed). Default images: big.img of
# tests/fixtures/make_ntfs_scan_image.sh (BIG=1; 100000 files) and, when
# bench/carvescan.sh 3072 has made it, its 3 GiB image of random bytes
# with carvable files. The page cache is warm (the image read once
# before), each figure the best of three (COLD=1: dropped before each, one
# pass, root only). Prints seconds, MB/s, the share of cat's speed, peak
# memory, CPU (user + system, every thread) and the load.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(scripts/build dvscan)
imgs=("$@")
if [[ ${#imgs[@]} -eq 0 ]]; then
  BIG=1 bash tests/fixtures/make_ntfs_scan_image.sh "$dir/fixtures/ntfs-scan" >&2
  imgs=("$dir/fixtures/ntfs-scan/big.img")
  mixed="$dir/fixtures/carve-bench/carve_3072.img"
  [[ -f $mixed ]] && imgs+=("$mixed")
fi
source bench/timing.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Best of three warm runs (or one cold one): "seconds peak_kib cpu".
best() {
  if [[ ${COLD:-0} == 1 ]]; then
    measure "$@"
    return
  fi
  local t r out=""
  t=$(mktemp)
  for r in 1 2 3; do
    /usr/bin/time -f '%e %M %U %S' -o "$t" "$@" >/dev/null 2>&1 || true
    out+=$(awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}' "$t")$'\n'
  done
  rm -f "$t"
  printf '%s' "$out" | sort -n | head -1
}
row() { printf '%-30s %8s %9s %8s %10s %7s\n' "$@"; }
for img in "${imgs[@]}"; do
  bytes=$(stat -c %s "$img")
  [[ ${COLD:-0} == 1 ]] || cat "$img" >/dev/null
  read -r cat_s cat_kib cat_cpu < <(best cat "$img")
  share() { awk -v c="$cat_s" -v s="$1" 'BEGIN { printf "%.2f", (s > 0 ? c / s : 0) }'; }
  echo "image: $img ($((bytes >> 20)) MiB); page cache $([[ ${COLD:-0} == 1 && $cold == 1 ]] && echo dropped || echo warm), best of $([[ ${COLD:-0} == 1 ]] && echo 1 || echo 3); load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors"
  row run seconds MB/s "of cat" "peak KiB" "CPU s"
  row "cat" "$cat_s" "$(mbs "$cat_s")" 1.00 "$cat_kib" "$cat_cpu"
  for v in "no-overlap:--no-overlap --threads 1" "1 thread:--threads 1" "threads (default):"; do
    name=${v%%:*}
    read -r s kib cpu < <(best "$dir/bin/dvscan" --long ${v#*:} --list /dev/null "$img")
    row "dvscan --long, $name" "$s" "$(mbs "$s")" "$(share "$s")" "$kib" "$cpu"
  done
  if [[ $img == *carve* ]] && command -v photorec >/dev/null; then
    rm -rf "$scratch/pr"
    mkdir -p "$scratch/pr"
    read -r s kib cpu < <(cd "$scratch/pr" && best photorec /log /d "$scratch/pr/out" /cmd "$img" \
      partition_none,options,paranoid_no,fileopt,everything,enable,search)
    rm -rf "$scratch/pr"
    row "photorec (whole image)" "$s" "$(mbs "$s")" "$(share "$s")" "$kib" "$cpu"
  fi
  echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
done
