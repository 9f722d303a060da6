#!/bin/bash
# Usage: make_zfs_bench_image.sh OUTPUT_FOLDER
# Makes plain.img and lz.img for bench_zfs once (not for CI): zfs-fuse
# pools "zplain" and "zlz" of one 1.5 GiB file vdev each (ashift 12, no
# access times), compression off and lzjb, each holding one 1 GiB file
# "big" in its root dataset: 64-byte lines naming their offset, so LZJB
# has something to find. Also bench.md5 (the file's md5). Needs root,
# FUSE, zfs-fuse and python3; exits 77 when missing.
set -euo pipefail
[[ $# -eq 1 ]] || { echo "usage: $0 OUTPUT_FOLDER" >&2; exit 2; }
source "$(dirname "$0")/../tests/fixtures/lib.sh"
fx_need_tools zfs-fuse zpool zfs python3 truncate md5sum flock
fx_need_fuse
out=$(fx_out_folder "$1")
exec 9>"$out/.zfs-bench.lock"
flock 9
[[ -s $out/plain.img && -s $out/lz.img && -s $out/bench.md5 ]] && exit 0
work=$(mktemp -d)
daemon=""
cleanup() {
  zpool export zplain >/dev/null 2>&1 || true
  zpool export zlz >/dev/null 2>&1 || true
  if [[ -n $daemon ]]; then
    kill "$daemon" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.2; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT
zfs-fuse --no-daemon --no-kstat-mount >"$work/daemon.log" 2>&1 &
daemon=$!
for _ in $(seq 50); do zpool list >/dev/null 2>&1 && break; sleep 0.2; done
python3 - "$work/big" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for mib in range(1024):
        base = mib << 20
        f.write(b"".join((b"zfs bench %14d" % (base + i)).ljust(63) + b"\n" for i in range(0, 1 << 20, 64)))
PY
md5sum <"$work/big" | cut -d' ' -f1 >"$work/bench.md5"
for pool in plain lz; do
  compression=off
  [[ $pool == lz ]] && compression=lzjb
  truncate -s 1536M "$work/$pool.img"
  mkdir -p "$work/$pool.mnt"
  zpool create -f -O atime=off -O compression=$compression -m "$work/$pool.mnt" "z$pool" "$work/$pool.img"
  cp "$work/big" "$work/$pool.mnt/big"
  zpool export "z$pool"
done
mv "$work/plain.img" "$work/lz.img" "$work/bench.md5" "$out/"
