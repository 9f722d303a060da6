#!/bin/bash
# Usage: bench/carvescan.sh [SIZE_MIB]
# What carving adds to the Long Scan, in one run. An image of SIZE_MIB
# (default 4096) of random bytes with the carving samples of
# tests/fixtures/carve laid in over about a tenth of it (made once into
# build/fixtures/carve-bench, seeded) is dropped from the page cache before
# each pass and read by `cat IMAGE >/dev/null` (the limit), then scanned by
# `dvscan --long --skip-headers` (no header probe) and `dvscan --long`.
# Prints seconds, MB/s, ratios, peak memory and CPU, and the files listed
# per type against those laid in. No other recovery program is run. Needs
# root to drop the page cache (without it the figures are from a warm
# cache, and the output says so).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(scripts/build dvscan)
mib=${1:-4096}
out="$dir/fixtures/carve-bench"
img="$out/carve_$mib.img"
mkdir -p "$out"
if [[ ! -f $img ]]; then
  python3 - "$PWD/tests/fixtures/carve" "$img.part" "$mib" "$out/carve_$mib.laid" <<'EOF'
import lzma, os, random, sys
samples, path, mib, laid_path = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
kinds = {"jpg": "jpg", "png": "png", "bmp3": "bmp", "tif": "tif", "cr2": "cr2", "mrw": "mrw", "zip": "zip",
         "lo": None, "gs": "pdf", "avi": "avi", "wav": "wav", "mov": "mov", "mp4": "mov", "mp3": "mp3",
         "mxf": "mxf", "bkf": "bkf"}
files = []
for name in sorted(os.listdir(samples)):
    stem = name.split(".")[0]
    prefix = stem.split("_")[0]
    if prefix not in kinds or stem in ("jpg_flat",) or name.endswith((".txt", ".py", ".md")):
        continue
    ext = name[:-3].split(".")[-1] if name.endswith(".xz") else name.split(".")[-1]
    if prefix == "lo":
        if ext not in ("docx", "xlsx", "doc", "xls", "pdf"):
            continue
        kind = ext
    else:
        kind = kinds[prefix]
    data = lzma.open(os.path.join(samples, name)).read() if name.endswith(".xz") else open(os.path.join(samples, name), "rb").read()
    files.append((kind, data))
rng = random.Random(20261210)
total, block = mib << 20, 4096
laid = {}
with open(path, "wb") as f:
    pos = 0
    while pos < total:
        # Nine parts filler to one part files.
        filler = rng.randrange(1, 16) * 1 << 20
        kind, data = files[rng.randrange(len(files))]
        step = min(filler, total - pos)
        f.write(os.urandom(step))
        pos += step
        size = (len(data) + block - 1) // block * block
        if pos + size > total or kind is None:
            continue
        f.write(data + bytes(size - len(data)))
        pos += size
        laid[kind] = laid.get(kind, 0) + 1
        # About a tenth of the image is files.
        while pos < total and rng.random() < 0.8:
            kind, data = files[rng.randrange(len(files))]
            size = (len(data) + block - 1) // block * block
            if pos + size > total:
                break
            f.write(data + bytes(size - len(data)))
            pos += size
            laid[kind] = laid.get(kind, 0) + 1
    f.truncate(total)
with open(laid_path, "w") as f:
    for k in sorted(laid):
        f.write(f"{k} {laid[k]}\n")
EOF
  mv "$img.part" "$img"
fi
bytes=$(stat -c %s "$img")
source bench/timing.sh
list=$(mktemp)
trap 'rm -f "$list"' EXIT
read -r cat_s cat_kib cat_cpu < <(measure cat "$img")
read -r skip_s skip_kib skip_cpu < <(measure "$dir/bin/dvscan" --long --skip-headers --list /dev/null "$img")
read -r carve_s carve_kib carve_cpu < <(measure "$dir/bin/dvscan" --long --list "$list" "$img")
share() { awk -v c="$cat_s" -v s="$1" 'BEGIN { printf "%.2f", (s > 0 ? s / c : 0) }'; }
echo "image: $img ($((bytes >> 20)) MiB); page cache $([[ $cold == 1 ]] && echo dropped || echo warm, not root)"
row() { printf '%-32s %8s %9s %10s %10s %7s\n' "$@"; }
row run seconds MB/s "x cat" "peak KiB" "CPU s"
row "cat" "$cat_s" "$(mbs "$cat_s")" 1.00 "$cat_kib" "$cat_cpu"
row "dvscan --long --skip-headers" "$skip_s" "$(mbs "$skip_s")" "$(share "$skip_s")" "$skip_kib" "$skip_cpu"
row "dvscan --long" "$carve_s" "$(mbs "$carve_s")" "$(share "$carve_s")" "$carve_kib" "$carve_cpu"
awk -v a="$carve_s" -v b="$skip_s" 'BEGIN { printf "carving adds %.1f %% to the pass\n", (b > 0 ? (a - b) * 100 / b : 0) }'
echo "type laid listed"
# Listed per type: the folder below "Extra files" ("Extra files/jpg/...").
awk -F'\t' 'NR > 1 { split($1, p, "/"); if (p[1] == "Extra files") n[p[2]]++ } END { for (k in n) print k, n[k] }' \
  "$list" | sort >"$list.types"
join -a1 -a2 -e0 -o 0,1.2,2.2 "$out/carve_$mib.laid" "$list.types"
rm -f "$list.types"
