#!/bin/bash
# Usage: bench/session_load.sh [IMAGE]
# Loading a session against scanning its source again, in one run: a
# session saved once by `dvscan --save-session` (into a scratch folder,
# removed), then `dvscan --list /dev/null IMAGE` (the warm Quick Scan) and
# `dvscan --load-session FILE --list /dev/null` (the load; it opens the
# source again, as the window does), each the best of three with the image
# in the page cache. Prints seconds, CPU (user + system, every thread),
# peak memory, the ratio load / scan (goal: at most 0.5) and the scan's
# peak memory per found item, the process's baseline included (goal: at
# most 150 bytes; `dvscan --help`'s peak is printed beside it). Default
# image: big.img of tests/fixtures/make_ntfs_scan_image.sh (BIG=1; 100000
# files). Prints the load.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(scripts/build dvscan)
dv="$dir/bin/dvscan"
img=${1:-}
if [[ -z $img ]]; then
  BIG=1 bash tests/fixtures/make_ntfs_scan_image.sh "$dir/fixtures/ntfs-scan" >&2
  img="$dir/fixtures/ntfs-scan/big.img"
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cat "$img" >/dev/null
"$dv" --list /dev/null --save-session "$scratch/s.dvs" "$img" >"$scratch/save.txt"
items=$(sed -n 's/.*items=\([0-9]*\).*/\1/p' "$scratch/save.txt" | tail -1)
# Best of three: "seconds peak_kib cpu".
best() {
  local t r out=""
  t=$(mktemp)
  for r in 1 2 3; do
    /usr/bin/time -f '%e %M %U %S' -o "$t" "$@" >/dev/null 2>&1 || true
    # GNU time puts a line of its own first when the command fails (--help).
    out+=$(tail -1 "$t" | awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}')$'\n'
  done
  rm -f "$t"
  printf '%s' "$out" | sort -n | head -1
}
row() { printf '%-34s %8s %7s %9s\n' "$@"; }
echo "image: $img, $items items, session $(stat -c %s "$scratch/s.dvs") bytes; load $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors"
read -r scan_s scan_kib scan_cpu < <(best "$dv" --list /dev/null "$img")
read -r load_s load_kib load_cpu < <(best "$dv" --load-session "$scratch/s.dvs" --list /dev/null)
read -r _ base_kib _ < <(best "$dv" --help)
row run seconds "CPU s" "peak KiB"
row "dvscan --list (warm Quick Scan)" "$scan_s" "$scan_cpu" "$scan_kib"
row "dvscan --load-session" "$load_s" "$load_cpu" "$load_kib"
row "dvscan --help (baseline)" - - "$base_kib"
awk -v l="$load_s" -v s="$scan_s" -v lc="$load_cpu" -v sc="$scan_cpu" \
  'BEGIN { printf "ratio load/scan: %.2f wall, %.2f CPU (goal <= 0.5)\n", (s > 0 ? l / s : 0), (sc > 0 ? lc / sc : 0) }'
awk -v k="$scan_kib" -v b="$base_kib" -v n="$items" \
  'BEGIN { if (n > 0) printf "scan peak memory per item: %.1f bytes incl. baseline, %.1f without (goal <= 150 incl.)\n", k * 1024 / n, (k - b) * 1024 / n }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
