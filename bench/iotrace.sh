#!/bin/bash
# Usage: bench/iotrace.sh [IMAGE [FOLDER]]
# The binary I/O trace's cost, in one run: a Quick Scan of the image
# (default: big.img of tests/fixtures/make_ntfs_scan_image.sh, BIG=1, 100k
# files) without and with `--io-trace` into FOLDER (default: a new folder
# under build/), and `dd if=IMAGE of=FOLDER/x bs=512K oflag=direct` for the
# folder's write rate. Prints the slowdown, the log bytes per found file,
# the data file's write rate against dd's, and the goal: the traced scan at
# most the untraced time plus its data file at dd's rate, plus 10 %. Both
# scans must list the same items.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(scripts/build dvscan dviotrace)
img=${1:-}
if [[ -z $img ]]; then
  BIG=1 bash tests/fixtures/make_ntfs_scan_image.sh "$dir/fixtures/ntfs-scan" >&2
  img="$dir/fixtures/ntfs-scan/big.img"
fi
folder=${2:-$dir/iotrace-bench}
rm -rf "$folder"
mkdir -p "$folder"
bytes=$(stat -c %s "$img")
source bench/timing.sh
read -r plain_s plain_kib _ < <(measure "$dir/bin/dvscan" --list "$folder/plain.tsv" "$img")
read -r traced_s traced_kib _ < <(measure "$dir/bin/dvscan" --list "$folder/traced.tsv" --trace "$folder/wubgrain.txt" \
  --trace-switches io,mft --io-trace "$img")
data=$(ls "$folder"/Marbrix_*_00.bin)
data_bytes=$(stat -c %s "$data")
log_bytes=$(cat "$folder"/Marbrix_*.bin | wc -c)
log_bytes=$((log_bytes - data_bytes))
files=$(($(wc -l <"$folder/plain.tsv") - 1))
same=$(cmp -s "$folder/plain.tsv" "$folder/traced.tsv" && echo yes || echo NO)
"$dir/bin/dviotrace" --check --quiet "$(ls "$folder"/Marbrix_*_01.bin)" >/dev/null
rm -f "$folder"/Marbrix_*.bin
read -r dd_s _ _ < <(measure dd if="$img" of="$folder/x" bs=512K oflag=direct)
rm -f "$folder/x"
awk -v p="$plain_s" -v t="$traced_s" -v d="$dd_s" -v b="$bytes" -v db="$data_bytes" -v lb="$log_bytes" -v f="$files" \
  -v same="$same" -v load="$(uptime)" -v cold="$cold" 'BEGIN {
  dd_rate = d > 0 ? b / d : 0
  data_at_dd = dd_rate > 0 ? db / dd_rate : 0
  goal = (p + data_at_dd) * 1.10
  printf "image: %d MiB, %d files; page cache %s\n", b / 1048576, f, cold == 1 ? "dropped" : "warm (not root)"
  printf "load: %s\n", load
  printf "quick scan untraced   %8.2f s\n", p
  printf "quick scan traced     %8.2f s   (x%.2f)\n", t, p > 0 ? t / p : 0
  printf "data file             %8.1f MiB, log %.1f MiB, %.1f log bytes per found file\n", db / 1048576, lb / 1048576, f > 0 ? lb / f : 0
  printf "dd oflag=direct       %8.1f MB/s; the data file at that rate %.2f s\n", dd_rate / 1e6, data_at_dd
  printf "goal: traced <= %.2f s: %s; same items listed: %s\n", goal, t <= goal ? "met" : "NOT met", same
}'
