"""UFS1/UFS2: superblock fields (in either byte order), inodes, directory
entries and the block lists of fragment addresses; raw ext recovery's
indirect blocks."""
from .common import HOSTILE_NAMES, flip_bits, get, kind, put, put_int, set_field

SB = 8192
MAGIC1, MAGIC2 = 0x00011954, 0x19540119


class Ufs:
    def __init__(self, d, start):
        self.d, self.start = d, start
        sb = self.sb = start + SB
        magic = get(d, sb + 1372, 4)
        self.ok = magic in (MAGIC1, MAGIC2)
        if not self.ok:
            return
        self.ufs2 = magic == MAGIC2
        self.bs = get(d, sb + 48, 4)
        self.fs = get(d, sb + 52, 4)
        self.frag = get(d, sb + 56, 4) or 1
        self.ipg = get(d, sb + 184, 4) or 1
        self.fpg = get(d, sb + 188, 4) or 1
        self.groups = max(1, min(64, get(d, sb + 44, 4)))
        self.iblkno = get(d, sb + 16, 4)
        self.isize = 256 if self.ufs2 else 128
        self.ok = self.bs >= 4096 and self.fs >= 512 and self.bs % self.fs == 0

    def inode_at(self, n):
        g, k = n // self.ipg, n % self.ipg
        if g >= self.groups:
            return None
        at = self.start + (g * self.fpg + self.iblkno) * self.fs + k * self.isize
        return at if at + self.isize <= len(self.d) else None

    def inodes(self, limit=500):
        out = []
        for n in range(2, min(self.ipg * self.groups, 4096)):
            at = self.inode_at(n)
            if at is None:
                break
            if get(self.d, at, 2):
                out.append(n)
            if len(out) >= limit:
                break
        return out

    def pointers(self, n):
        """The direct pointers (fragment addresses) of inode N."""
        at = self.inode_at(n)
        if at is None:
            return []
        w = 8 if self.ufs2 else 4
        base = at + (112 if self.ufs2 else 40)
        return [get(self.d, base + w * k, w) for k in range(12) if get(self.d, base + w * k, w)]

    def folders(self):
        return [n for n in self.inodes() if get(self.d, self.inode_at(n), 2) & 0xF000 == 0x4000]


def volume(m):
    i, start = m.volume(["ufs"])
    return m.files[i], Ufs(m.files[i], start)


@kind("ufssb", ["ufs"], "one UFS superblock field set to an edge value, or its byte order turned")
def ufs_superblock(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start + SB, v.start + SB + 2048, 8)
        return
    if rnd.random() < 0.1:
        # The geometry's words the other way round: a big-endian reading.
        for off in (48, 52, 56, 72, 76, 80, 84, 1372):
            put(d, v.sb + off, bytes(reversed(d[v.sb + off:v.sb + off + 4])))
        return
    fields = [(0, 4), (16, 4), (24, 4), (28, 4), (36, 4), (44, 4), (48, 4), (52, 4), (56, 4), (72, 4), (76, 4),
              (80, 4), (84, 4), (120, 4), (184, 4), (188, 4), (1000, 8), (1080, 8), (1372, 4)]
    for _ in range(rnd.randint(1, 2)):
        off, size = rnd.choice(fields)
        set_field(d, rnd, v.sb + off, size, extra=[v.bs, v.fs, v.frag, v.ipg, v.fpg, 8192, 65536, 262144, 7])


@kind("ufsinode", ["ufs"], "a UFS inode's mode, links, size or block pointers set to edge values")
def ufs_inode(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 65536, 32)
        return
    ns = v.inodes()
    if not ns:
        return
    n = rnd.choice(ns if rnd.random() < 0.8 else [2] + ns[:8])
    at = v.inode_at(n)
    size_at, ptr_at, w = (16, 112, 8) if v.ufs2 else (8, 40, 4)
    for _ in range(rnd.randint(1, 3)):
        what = rnd.randrange(4)
        if what == 0:
            put_int(d, at, 2, (get(d, at, 2) & 0x0FFF) | rnd.choice([0x4000, 0x8000, 0xA000, 0x1000, 0, 0xF000]))
        elif what == 1:
            set_field(d, rnd, at + size_at, 8, extra=[v.bs, v.bs * 12 + 1, v.bs * 13, 1 << 40, 511, 513])
        elif what == 2:
            set_field(d, rnd, at + 2, 2)
        else:
            k = rnd.randrange(15)
            set_field(d, rnd, at + ptr_at + w * k, w, extra=[1, v.frag - 1, v.fpg * v.groups, v.fpg * v.groups - 1])


@kind("ufsdir", ["ufs"], "UFS directory entries: record and name lengths, inode numbers, types, hostile names")
def ufs_dir(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 65536, 32)
        return
    cands = [(n, p) for n in v.folders() for p in v.pointers(n)]
    if not cands:
        return
    n, p = rnd.choice(cands)
    at = v.start + p * v.fs
    if at + 512 > len(d):
        return
    recs, pos = [], at
    while pos + 8 <= at + 512 and len(recs) < 64:
        rl = get(d, pos + 4, 2)
        recs.append(pos)
        if rl < 8:
            break
        pos += rl
    for _ in range(rnd.randint(1, 2)):
        r = rnd.choice(recs)
        what = rnd.randrange(5)
        if what == 0:
            put_int(d, r + 4, 2, rnd.choice([0, 4, 8, 12, 13, 512, 516, 0xFFFF, at + 512 - r]))
        elif what == 1:
            d[r + 7] = rnd.choice([0, 1, 255, get(d, r + 4, 2) & 0xFF])
        elif what == 2:
            put_int(d, r, 4, rnd.choice([0, 1, 2, n, v.ipg * v.groups, 0xFFFFFFFF]))
        elif what == 3:
            d[r + 6] = rnd.choice([0, 1, 2, 4, 8, 10, 14, 0xFF])
        else:
            name = rnd.choice(HOSTILE_NAMES).encode("utf-8", "replace")
            room = get(d, r + 4, 2) - 8
            if 0 < len(name) < room:
                put(d, r + 8, name + b"\0")
                d[r + 7] = len(name)


@kind("indirect", ["extraw"], "indirect blocks of files raw recovery rebuilds: pointers set to edge values, "
      "zeros in their middle, the block filled")
def indirect(m):
    d, rnd = m.files[0], m.rnd
    bs = 1024
    # The blocks that look like indirect blocks: consecutive pointers from 2 on.
    cands = []
    for at in range(0, len(d) - bs, bs):
        a, b = get(d, at, 4), get(d, at + 4, 4)
        if 1 < a < (len(d) // bs) and b == a + 1:
            cands.append(at)
    if not cands:
        flip_bits(d, rnd, 0, len(d), 64)
        return
    at = rnd.choice(cands)
    used = 0
    while used < bs // 4 and get(d, at + 4 * used, 4):
        used += 1
    what = rnd.randrange(4)
    if what == 0:
        k = rnd.randrange(max(1, used))
        set_field(d, rnd, at + 4 * k, 4, extra=[0, 1, len(d) // bs, len(d) // bs - 1, 0xFFFFFFFF])
    elif what == 1 and used > 2:
        put_int(d, at + 4 * rnd.randrange(1, used - 1), 4, 0)
    elif what == 2:
        last = get(d, at + 4 * max(0, used - 1), 4)
        for k in range(used, bs // 4):
            put_int(d, at + 4 * k, 4, last + 1 + k - used)
    else:
        flip_bits(d, rnd, at, at + bs, rnd.randint(1, 16))
