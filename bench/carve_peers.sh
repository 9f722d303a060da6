#!/bin/bash
# Usage: bench/carve_peers.sh [WORK_FOLDER]
# How many laid-in carving samples come back md5-exact, from dvscan's Long
# Scan, PhotoRec and foremost, in one run on three images: the two lay-ins
# of tests/fixtures/carve/layin.py (raw.img: random bytes straight after
# each file; slack.img: zeros to the file's 4 KiB block, then random blocks)
# and a FAT32 volume (mkfs.fat, 4 KiB clusters) that held every sample and
# was formatted again. A laid file counts when a recovered file has its md5
# (each recovered copy counts once). Prints the counts per image and the
# samples each program missed. Needs dvscan built; PhotoRec, foremost,
# mkfs.fat and mtools are run where installed. No timing: the carving speed
# is bench/carvescan.sh's.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$(scripts/build dvscan)
dvscan="$PWD/$dir/bin/dvscan"
samples="$PWD/tests/fixtures/carve"
work=${1:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"
rm -rf out-* fat32.img
python3 "$samples/layin.py" "$samples" . >/dev/null
export MTOOLS_SKIP_CHECK=1
if command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null; then
  truncate -s 300M fat32.img
  mkfs.fat -F 32 -s 8 -n CARVE fat32.img >/dev/null
  mkdir -p fatsrc
  for f in "$samples"/*; do
    n=$(basename "$f")
    case $n in
      *.xz) xz -dc "$f" >"fatsrc/${n%.xz}" ;;
      *.txt | *.py | *.md | *.sh) ;;
      *) cp "$f" "fatsrc/$n" ;;
    esac
  done
  mmd -i fat32.img ::/samples
  mcopy -i fat32.img fatsrc/* ::/samples/
  mkfs.fat -F 32 -s 8 -n CARVE fat32.img >/dev/null
  python3 - "$samples" fatsrc >>manifest.txt <<'EOF'
import hashlib, os, sys
sys.path.insert(0, sys.argv[1])
import layin
for n in sorted(os.listdir(sys.argv[2])):
    d = open(os.path.join(sys.argv[2], n), "rb").read()
    print("fat32", n, layin.sample_type(n), 0, len(d), hashlib.md5(d).hexdigest())
EOF
  rm -rf fatsrc
fi
for img in raw slack fat32; do
  [[ -f $img.img ]] || continue
  "$dvscan" --long --recover "out-dvscan-$img" "$img.img" >/dev/null 2>&1 || true
  if command -v photorec >/dev/null; then
    mkdir -p "out-photorec-$img"
    photorec /log /d "$PWD/out-photorec-$img/f" /cmd "$img.img" partition_none,fileopt,everything,enable,search \
      >/dev/null 2>&1 || true
  fi
  if command -v foremost >/dev/null; then
    foremost -Q -t all -i "$img.img" -o "out-foremost-$img" >/dev/null 2>&1 || true
  fi
done
python3 - <<'EOF'
import collections, glob, hashlib, os
rows = [l.split() for l in open("manifest.txt")]
tools = ["dvscan", "photorec", "foremost"]
for img in ("raw", "slack", "fat32"):
    laid = [r for r in rows if r[0] == img]
    if not laid:
        continue
    line = [f"{img}: {len(laid)} laid"]
    missed = {}
    for t in tools:
        got = collections.Counter()
        for root in glob.glob(f"out-{t}-{img}*"):
            for p, _, names in os.walk(root):
                for n in names:
                    with open(os.path.join(p, n), "rb") as f:
                        got[hashlib.md5(f.read()).hexdigest()] += 1
        if not got and not glob.glob(f"out-{t}-{img}*"):
            continue
        exact = 0
        for r in laid:
            if got[r[5]] > 0:
                got[r[5]] -= 1
                exact += 1
            else:
                missed.setdefault(t, set()).add(r[1])
        line.append(f"{t} {exact}")
    print(", ".join(line))
    for t, names in missed.items():
        print(f"  {t} missed: {' '.join(sorted(names))}")
EOF
