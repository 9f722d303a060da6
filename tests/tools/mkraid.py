#!/usr/bin/env python3
"""Cuts an image into the member files of a RAID set, for tests.

Usage: mkraid.py --level 0|5|6 --members N [--stripe BYTES] [--delay G]
                 [--rotation R] [--mode M] [--order O] IMAGE OUT_PREFIX
       mkraid.py --layout --level 5|6 --members N --rows K [--delay G]
                 [--rotation R]

Writes OUT_PREFIX0 .. OUT_PREFIX<N-1>. The image is cut into stripes of
BYTES (64 KiB by default) laid row by row over the data members; the last
row is padded with zeros. --layout prints, for each of the first K rows,
"row: parity P [Q Q] data M M ..." instead.

The layout follows the rotation table of the set dialogs:
  code 0 forward asymmetric   parity from member 0 forward, data from member 0
  code 3 forward symmetric    parity from member 0 forward, data after parity
  code 1 backward asymmetric  parity from the last member backward, data from 0
  code 2 backward symmetric   parity from the last member backward, data after parity
  code 4 (RAID 6) backward asymmetric, Q from the last member back by 2
  code 5 (RAID 6) backward symmetric, Q from the last member back by 2
Parity moves once every G stripe rows. RAID 6 keeps P on the member before
Q. P is the XOR of the row's data; Q = sum of c_j * D_j in GF(2^8) with
the polynomial 0x11D, where the coefficient c_j of data member j comes from
its index: order 0 (j - q) mod n, order 1 j + 1, order 2 j - 1 for j > q
(j when q is 0) and j + 1 for j < q; mode 0 takes the index itself, mode 1
2^(index - 1) in the field.
"""
import argparse
import sys


def gf_mul(a, b):
    r = 0
    while b:
        if b & 1:
            r ^= a
        a <<= 1
        if a & 0x100:
            a ^= 0x11D
        b >>= 1
    return r


def gf_pow2(e):
    r = 1
    for _ in range(e):
        r = gf_mul(r, 2)
    return r


def layout(level, n, row, delay, rotation):
    """(parity members, data members in order) of one row."""
    step = row // delay
    if level == 5:
        if rotation in (1, 2):
            p = (n - 1 - step) % n
        else:
            p = step % n
        if rotation in (0, 1):
            data = [m for m in range(n) if m != p]
        else:
            data = [(p + 1 + i) % n for i in range(n - 1)]
        return [p], data
    if level == 6:
        k = 1 if rotation in (1, 2) else 2
        q = (n - 1 - k * step) % n
        p = (q - 1) % n
        if rotation in (1, 4):
            data = [m for m in range(n) if m not in (p, q)]
        else:
            data = [(q + 1 + i) % n for i in range(n - 2)]
        return [p, q], data
    return [], list(range(n))


def coefficient(j, q, n, mode, order):
    if order == 0:
        index = (j - q) % n
    elif order == 1:
        index = j + 1
    else:
        index = (j if q == 0 else j - 1) if j > q else j + 1
    if mode == 1 and 1 <= index <= n:
        return gf_pow2(index - 1)
    return index


def xor(a, b):
    return (int.from_bytes(a, "little") ^ int.from_bytes(b, "little")).to_bytes(len(a), "little")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--level", type=int, required=True, choices=(0, 5, 6))
    ap.add_argument("--members", type=int, required=True)
    ap.add_argument("--stripe", type=int, default=65536)
    ap.add_argument("--delay", type=int, default=1)
    ap.add_argument("--rotation", type=int, default=1)
    ap.add_argument("--mode", type=int, default=0)
    ap.add_argument("--order", type=int, default=0)
    ap.add_argument("--layout", action="store_true")
    ap.add_argument("--rows", type=int, default=0)
    ap.add_argument("image", nargs="?")
    ap.add_argument("prefix", nargs="?")
    a = ap.parse_args()
    n, s = a.members, a.stripe
    if a.layout:
        for r in range(a.rows):
            par, data = layout(a.level, n, r, a.delay, a.rotation)
            print("%d: parity %s data %s" % (r, " ".join(map(str, par)), " ".join(map(str, data))))
        return 0
    parity = {0: 0, 5: 1, 6: 2}[a.level]
    ndata = n - parity
    tables = {}

    def mul_table(c):
        if c not in tables:
            tables[c] = bytes(gf_mul(c, x) for x in range(256))
        return tables[c]

    outs = [open("%s%d" % (a.prefix, i), "wb") for i in range(n)]
    zero = bytes(s)
    with open(a.image, "rb") as f:
        row = 0
        while True:
            chunks = [f.read(s) for _ in range(ndata)]
            if not chunks[0]:
                break
            chunks = [c.ljust(s, b"\0") for c in chunks]
            par, data = layout(a.level, n, row, a.delay, a.rotation)
            blocks = {}
            for m, c in zip(data, chunks):
                blocks[m] = c
            if parity >= 1:
                p = zero
                for c in chunks:
                    p = xor(p, c)
                blocks[par[0]] = p
            if parity == 2:
                q_member = par[1]
                q = zero
                for m, c in zip(data, chunks):
                    q = xor(q, c.translate(mul_table(coefficient(m, q_member, n, a.mode, a.order))))
                blocks[q_member] = q
            for m in range(n):
                outs[m].write(blocks[m])
            row += 1
    for o in outs:
        o.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
