"""HFS+: the volume header and its alternate copy, catalog and extents B-tree
nodes (descriptors, record offsets, key lengths, names, forks, overflow
records). Every number is big-endian."""
import struct

from .common import HOSTILE_NAMES, edge, flip_bits, get, kind, put, put_int, set_field


def be(d, at, size):
    return get(d, at, size, big=True)


class Hfs:
    def __init__(self, d, start):
        self.d, self.start = d, start
        h = start + 1024
        self.ok = d[h:h + 2] in (b"H+", b"HX")
        if not self.ok:
            return
        self.bs = be(d, h + 40, 4)
        self.total = be(d, h + 44, 4)
        self.ok = self.bs in (512, 1024, 2048, 4096, 8192, 16384, 32768, 65536)

    def fork_extents(self, off):
        h = self.start + 1024 + off
        out = []
        for k in range(8):
            s, n = be(self.d, h + 16 + 8 * k, 4), be(self.d, h + 20 + 8 * k, 4)
            if not s or not n:
                break
            out.append((s, n))
        return out

    def nodes(self, off):
        """(volume byte, node size) of each node of the file whose fork is at
        OFF in the header (its first eight extents)."""
        ext = self.fork_extents(off) if self.ok else []
        if not ext:
            return []
        first = self.start + ext[0][0] * self.bs
        ns = be(self.d, first + 14 + 18, 2)
        if ns not in (512, 1024, 2048, 4096, 8192, 16384, 32768):
            return []
        out = []
        for s, n in ext:
            at = self.start + s * self.bs
            end = min(at + n * self.bs, len(self.d))
            out += [(p, ns) for p in range(at, end - ns + 1, ns)]
        return out

    def leaves(self, off):
        return [(p, ns) for p, ns in self.nodes(off) if self.d[p + 8] == 0xFF]


def volume(m):
    i, start = m.volume(["hfs"])
    return m.files[i], Hfs(m.files[i], start)


def utf16be(name):
    out = bytearray()
    for ch in name:
        out += struct.pack(">H", ord(ch) & 0xFFFF)
    return bytes(out)


@kind("hfshdr", ["hfs"], "volume header fields (block size, counts, forks and their extents) set to edge values, "
      "in the header, its alternate copy or both")
def hfshdr(m):
    d, v = volume(m)
    rnd = m.rnd
    places = [v.start + 1024]
    alt = v.start + v.total * v.bs - 1024 if v.ok else -1
    if 0 < alt < len(d) - 512:
        places = rnd.choice([[v.start + 1024], [alt], [v.start + 1024, alt]])
    fields = [(0, 2), (2, 2), (4, 4), (40, 4), (44, 4), (48, 4), (60, 4), (64, 4)]
    for fork in (112, 192, 272):
        fields += [(fork, 8), (fork + 12, 4)] + [(fork + 16 + 8 * k + j, 4) for k in range(3) for j in (0, 4)]
    changes = [(rnd.choice(fields), rnd) for _ in range(rnd.randint(1, 3))]
    total = v.total if v.ok else 0
    for (off, size), _ in changes:
        value = edge(rnd, size, [512, 4096, 65536, 131072, total, total + 1, len(d) // 512, 0x482B, 0x4858])
        for h in places:
            put_int(d, h + off, size, value, big=True)
    if rnd.random() < 0.2:
        flip_bits(d, rnd, places[0], places[0] + 512, rnd.randint(1, 8))


@kind("hfsnode", ["hfs"], "catalog and extents nodes: descriptor bits, record counts and offsets, key and name "
      "lengths, hostile names, record types, ids, sizes and extents, overflow records")
def hfsnode(m):
    d, v = volume(m)
    rnd = m.rnd
    cat = v.nodes(272) if v.ok else []
    ext = v.nodes(192) if v.ok else []
    if not cat:
        flip_bits(d, rnd, v.start, min(len(d), v.start + (1 << 20)), 32)
        return
    leaves = [n for n in cat if d[n[0] + 8] == 0xFF] or cat
    pool = leaves if rnd.random() < 0.7 or not ext else ext
    if rnd.random() < 0.1:
        pool = cat[:1]  # the header node
    p, ns = rnd.choice(pool)
    count = be(d, p + 10, 2)
    offs = [be(d, p + ns - 2 * (k + 1), 2) for k in range(min(count, ns // 2 - 8))]
    what = rnd.randrange(7)
    if what == 0 or not offs:
        flip_bits(d, rnd, p, p + ns, rnd.randint(1, 24))
    elif what == 1:  # the descriptor
        off, size = rnd.choice([(0, 4), (4, 4), (8, 1), (9, 1), (10, 2)])
        set_field(d, rnd, p + off, size, big=True, extra=[0xFF, 0x01, count + 1, ns // 2])
    elif what == 2:  # record offsets
        k = rnd.randrange(count + 1)
        set_field(d, rnd, p + ns - 2 * (k + 1), 2, big=True, extra=[0, 13, 14, ns - 2, ns, offs[-1] + 1])
    elif what == 3:  # key and name lengths
        at = rnd.choice(offs)
        off = rnd.choice([0, 6])
        set_field(d, rnd, at + off, 2, big=True, extra=[6, 8, 10, 255, 256, 516, 0x7FFF])
    elif what == 4:  # a hostile name of the key's own length
        at = rnd.choice(offs)
        units = be(d, at + 6, 2)
        name = rnd.choice(HOSTILE_NAMES)
        raw = utf16be(name)[:2 * units].ljust(2 * units, b"\0")
        put(d, at + 8, raw)
    elif what == 5:  # the record after the key: type, id, sizes, extents
        at = rnd.choice(offs)
        rec = at + 2 + be(d, at, 2)
        off, size = rnd.choice([(0, 2), (8, 4), (88, 8), (100, 4), (104, 4), (108, 4), (112, 4), (116, 4)])
        set_field(d, rnd, rec + off, size, big=True,
                  extra=[1, 2, 3, 4, 5, v.total, v.total - 1, v.total + 1, 1 << 31, v.bs])
    else:  # an extents overflow record
        if ext and len(ext) > 1:
            q, ens = rnd.choice(ext[1:])
            n = be(d, q + 10, 2)
            if n:
                at = be(d, q + ens - 2 * (rnd.randrange(n) + 1), 2)
                off, size = rnd.choice([(0, 2), (4, 4), (8, 4), (12, 4), (16, 4), (20, 4), (24, 4)])
                set_field(d, rnd, q + at + off, size, big=True, extra=[10, 4, v.total, v.total + 1, 0])
        else:
            flip_bits(d, rnd, p, p + ns, rnd.randint(1, 8))
