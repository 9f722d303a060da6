#!/bin/bash
# Usage: bench/longscan.sh [IMAGE]
# The Long Scan's reading speed against the limit of the medium, in one run:
# the image (default: big.img of tests/fixtures/make_ntfs_scan_image.sh,
# made with BIG=1 into build/fixtures/ntfs-scan) is dropped from the page
# cache before each pass, then read by `cat IMAGE >/dev/null` (the limit)
# and scanned by `dvscan --long --list /dev/null` with the overlap of
# reading and classifying off and on. Prints MB/s, the ratios to cat, peak
# memory and CPU (user + system of the whole process, the I/O thread
# included). No other recovery program is run: cat is the only peer. Needs
# root to drop the page cache (without it the figures are from a warm
# cache, and the output says so).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(scripts/build dvscan)
img=${1:-}
if [[ -z $img ]]; then
  BIG=1 bash tests/fixtures/make_ntfs_scan_image.sh "$dir/fixtures/ntfs-scan" >&2
  img="$dir/fixtures/ntfs-scan/big.img"
fi
bytes=$(stat -c %s "$img")
source bench/timing.sh
read -r cat_s cat_kib cat_cpu < <(measure cat "$img")
read -r off_s off_kib off_cpu < <(measure "$dir/bin/dvscan" --long --no-overlap --list /dev/null "$img")
read -r on_s on_kib on_cpu < <(measure "$dir/bin/dvscan" --long --list /dev/null "$img")
# Speed as a share of cat's.
share() { awk -v c="$cat_s" -v s="$1" 'BEGIN { printf "%.2f", (s > 0 ? c / s : 0) }'; }
echo "image: $img ($((bytes >> 20)) MiB); page cache $([[ $cold == 1 ]] && echo dropped || echo warm, not root)"
row() { printf '%-27s %8s %9s %10s %10s %7s\n' "$@"; }
row run seconds MB/s "of cat" "peak KiB" "CPU s"
row "cat" "$cat_s" "$(mbs "$cat_s")" 1.00 "$cat_kib" "$cat_cpu"
row "dvscan --long, overlap off" "$off_s" "$(mbs "$off_s")" "$(share "$off_s")" "$off_kib" "$off_cpu"
row "dvscan --long, overlap on" "$on_s" "$(mbs "$on_s")" "$(share "$on_s")" "$on_kib" "$on_cpu"
