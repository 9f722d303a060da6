#!/bin/bash
# Usage: make_vmfs_refs_bench_images.sh OUTPUT_FOLDER
# The images of bench/vmfs_refs.cpp, made once (not for CI):
#   vmfsbig.img   a VMFS5 volume of 1 MiB file blocks holding one 1 GiB file
#                 in pointer blocks (make_vmfs.py bench)
#   refsmany.img  a ReFS 1.x volume of 100 folders of 1,000 empty files
#                 (make_refs.py bench); refsmany.json tells its pages
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")/../tests/fixtures" && pwd)
mkdir -p "$out"
if [[ ! -f $out/vmfsbig.img ]]; then
  python3 "$here/make_vmfs.py" bench "$out/vmfsbig.img.tmp" "$out/vmfsbig.json"
  mv "$out/vmfsbig.img.tmp" "$out/vmfsbig.img"
fi
if [[ ! -f $out/refsmany.img ]]; then
  python3 "$here/make_refs.py" bench "$out/refsmany.img.tmp" "$out/refsmany.json"
  mv "$out/refsmany.img.tmp" "$out/refsmany.img"
fi
