"""ext2/3/4: superblock fields, group descriptors, inodes, extent headers,
directory records and htree nodes, with the checksums metadata_csum keeps
(crc32c) or the group descriptors' crc16 recomputed, so that most changes
get past them."""
import struct

from .common import HOSTILE_NAMES, crc16, crc32c_raw, edge, flip_bits, get, kind, put, put_int, set_field

RO_GDT_CSUM = 0x10
RO_METADATA_CSUM = 0x400
INCOMPAT_64BIT = 0x80
INCOMPAT_CSUM_SEED = 0x2000
EXTENTS_FL = 0x80000
INDEX_FL = 0x1000
INLINE_FL = 0x10000000


class Ext:
    def __init__(self, d, start):
        self.d, self.start = d, start
        sb = self.sb = start + 1024
        self.ok = get(d, sb + 0x38, 2) == 0xEF53 and get(d, sb + 0x18, 4) <= 6
        if not self.ok:
            return
        self.bs = 1024 << get(d, sb + 0x18, 4)
        self.first_data = get(d, sb + 0x14, 4)
        self.bpg = get(d, sb + 0x20, 4) or 8192
        self.ipg = get(d, sb + 0x28, 4) or 1
        self.isize = get(d, sb + 0x58, 2) if get(d, sb + 0x4C, 4) else 128
        if self.isize < 128 or self.isize > self.bs:
            self.isize = 128
        self.incompat = get(d, sb + 0x60, 4)
        self.ro = get(d, sb + 0x64, 4)
        self.desc = get(d, sb + 0xFE, 2) if self.incompat & INCOMPAT_64BIT else 32
        if self.desc < 32 or self.desc > 1024:
            self.desc = 32
        blocks = get(d, sb + 4, 4) | ((get(d, sb + 0x150, 4) << 32) if self.incompat & INCOMPAT_64BIT else 0)
        self.groups = max(1, min(4096, (blocks - self.first_data + self.bpg - 1) // self.bpg))
        self.gdt = start + (self.first_data + 1) * self.bs
        self.csum = bool(self.ro & RO_METADATA_CSUM)
        uuid = bytes(d[sb + 0x68:sb + 0x78])
        self.seed = get(d, sb + 0x270, 4) if self.incompat & INCOMPAT_CSUM_SEED else crc32c_raw(0xFFFFFFFF, uuid)
        self.uuid = uuid

    # -------------------------------------------------------------- places
    def gd(self, g):
        return self.gdt + g * self.desc

    def inode_table(self, g):
        at = self.gd(g)
        t = get(self.d, at + 8, 4)
        if self.desc >= 64:
            t |= get(self.d, at + 0x28, 4) << 32
        return t

    def inode_at(self, n):
        g, k = (n - 1) // self.ipg, (n - 1) % self.ipg
        if g >= self.groups:
            return None
        at = self.start + self.inode_table(g) * self.bs + k * self.isize
        return at if 0 <= at and at + self.isize <= len(self.d) else None

    def block_at(self, b):
        at = self.start + b * self.bs
        return at if 0 <= at and at + self.bs <= len(self.d) else None

    # ---------------------------------------------------------- checksums
    def fix_sb(self):
        if self.csum:
            put_int(self.d, self.sb + 0x3FC, 4, crc32c_raw(0xFFFFFFFF, bytes(self.d[self.sb:self.sb + 0x3FC])))

    def fix_gd(self, g):
        at = self.gd(g)
        raw = bytearray(self.d[at:at + self.desc])
        raw[0x1E:0x20] = b"\0\0"
        le = struct.pack("<I", g)
        if self.csum:
            c = crc32c_raw(self.seed, le)
            put_int(self.d, at + 0x1E, 2, crc32c_raw(c, bytes(raw)) & 0xFFFF)
        elif self.ro & RO_GDT_CSUM:
            c = crc16(0xFFFF, self.uuid + le + bytes(raw[:0x1E]))
            if self.desc > 32:
                c = crc16(c, bytes(raw[0x20:]))
            put_int(self.d, at + 0x1E, 2, c)

    def inode_seed(self, n, at):
        c = crc32c_raw(self.seed, struct.pack("<I", n))
        return crc32c_raw(c, bytes(self.d[at + 0x64:at + 0x68]))  # the generation

    def fix_inode(self, n):
        at = self.inode_at(n)
        if at is None or not self.csum:
            return
        raw = bytearray(self.d[at:at + self.isize])
        raw[0x7C:0x7E] = b"\0\0"
        extra = get(raw, 0x80, 2) if self.isize > 128 else 0
        if extra >= 4:
            raw[0x82:0x84] = b"\0\0"
        c = crc32c_raw(self.inode_seed(n, at), bytes(raw))
        put_int(self.d, at + 0x7C, 2, c & 0xFFFF)
        if extra >= 4:
            put_int(self.d, at + 0x82, 2, c >> 16)

    def fix_extent_block(self, n, block):
        at = self.block_at(block)
        if at is None or not self.csum:
            return
        mx = get(self.d, at + 4, 2)
        tail = 12 + 12 * mx
        if tail + 4 <= self.bs:
            ino = self.inode_at(n)
            put_int(self.d, at + tail, 4, crc32c_raw(self.inode_seed(n, ino), bytes(self.d[at:at + tail])))

    def fix_dir_block(self, n, block):
        at = self.block_at(block)
        if at is None or not self.csum:
            return
        t = at + self.bs - 12
        if get(self.d, t, 4) == 0 and get(self.d, t + 4, 2) == 12 and self.d[t + 7] == 0xDE:
            ino = self.inode_at(n)
            put_int(self.d, t + 8, 4, crc32c_raw(self.inode_seed(n, ino), bytes(self.d[at:t])))

    def fix_dx_block(self, n, block, count_off):
        at = self.block_at(block)
        if at is None or not self.csum:
            return
        limit, count = get(self.d, at + count_off, 2), get(self.d, at + count_off + 2, 2)
        tail = count_off + 8 * limit
        if tail + 8 > self.bs:
            return
        size = count_off + 8 * min(count, limit)
        ino = self.inode_at(n)
        c = crc32c_raw(self.inode_seed(n, ino), bytes(self.d[at:at + size]))
        c = crc32c_raw(c, bytes(self.d[at + tail:at + tail + 4]) + b"\0\0\0\0")
        put_int(self.d, at + tail + 4, 4, c)

    # ------------------------------------------------------------ contents
    def inodes(self, limit=2000):
        """Numbers of the inodes in use (links or a mode), up to LIMIT."""
        out = []
        for g in range(self.groups):
            for k in range(self.ipg):
                n = g * self.ipg + k + 1
                at = self.inode_at(n)
                if at is None:
                    break
                if get(self.d, at, 2) and (get(self.d, at + 0x1A, 2) or get(self.d, at + 0x14, 4)):
                    out.append(n)
                if len(out) >= limit:
                    return out
        return out

    def blocks(self, n, limit=4096):
        """(physical block, in an extent-tree block?) of an inode's data, from
        its extent tree (two levels) or its direct blocks."""
        at = self.inode_at(n)
        if at is None:
            return []
        flags = get(self.d, at + 0x20, 4)
        if flags & INLINE_FL:
            return []
        if flags & EXTENTS_FL:
            return self._extents(at + 0x28, 0, limit)
        return [(b, False) for b in struct.unpack_from("<12I", self.d, at + 0x28) if b][:limit]

    def _extents(self, at, level, limit):
        d = self.d
        if get(d, at, 2) != 0xF30A or level > 3:
            return []
        entries, depth = get(d, at + 2, 2), get(d, at + 6, 2)
        out = []
        for k in range(min(entries, 340)):
            e = at + 12 + 12 * k
            if depth == 0:
                ln = get(d, e + 4, 2)
                if ln > 32768:
                    ln -= 32768
                start = get(d, e + 8, 4) | (get(d, e + 6, 2) << 32)
                out += [(start + j, False) for j in range(min(ln, limit))]
            else:
                child = get(d, e + 4, 4) | (get(d, e + 8, 2) << 32)
                cat = self.block_at(child)
                if cat is not None:
                    out.append((child, True))
                    out += self._extents(cat, level + 1, limit)
            if len(out) >= limit:
                break
        return out[:limit]

    def folders(self):
        return [n for n in self.inodes() if get(self.d, self.inode_at(n), 2) & 0xF000 == 0x4000]


def volume(m):
    i, start = m.volume(["ext"])
    return m.files[i], Ext(m.files[i], start)


def maybe(rnd, p=0.9):
    return rnd.random() < p


@kind("sb", ["ext"], "one superblock field set to an edge value, the superblock checksum recomputed")
def superblock(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start + 1024, v.start + 2048, 8)
        return
    fields = [(0, 4), (4, 4), (0x14, 4), (0x18, 4), (0x1C, 4), (0x20, 4), (0x24, 4), (0x28, 4), (0x4C, 4), (0x54, 4),
              (0x58, 2), (0x5C, 4), (0x60, 4), (0x64, 4), (0xFE, 2), (0x150, 4), (0x174, 1), (0x104, 4),
              (0xCE, 2), (0x15C, 2), (0x0C, 4), (0x10, 4)]
    for _ in range(rnd.randint(1, 2)):
        off, size = rnd.choice(fields)
        set_field(d, rnd, v.sb + off, size, extra=[v.bpg + 1, v.ipg * v.groups, 64, 128, 256, 1024, 17, 5, 6, 7])
    if maybe(rnd):
        v.fix_sb()


@kind("gdt", ["ext"], "a group descriptor's fields (bitmaps, inode table, counts, flags), its checksum recomputed")
def gdt(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start + 1024, v.start + 4096, 16)
        return
    g = rnd.randrange(v.groups)
    at = v.gd(g)
    fields = [(0, 4), (4, 4), (8, 4), (0xC, 2), (0xE, 2), (0x10, 2), (0x12, 2), (0x1C, 2)]
    if v.desc >= 64:
        fields += [(0x20, 4), (0x24, 4), (0x28, 4), (0x2C, 2), (0x32, 2)]
    for _ in range(rnd.randint(1, 2)):
        off, size = rnd.choice(fields)
        set_field(d, rnd, at + off, size, extra=[v.bpg * v.groups, v.first_data, 1, 7])
    if maybe(rnd):
        v.fix_gd(g)


@kind("inode", ["ext"], "an inode's mode, size, links, blocks, flags or block map set to edge values, its "
      "checksum recomputed")
def inode(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 65536, 32)
        return
    ns = v.inodes()
    if not ns:
        return
    n = rnd.choice(ns if rnd.random() < 0.8 else [2] + ns[:12])
    at = v.inode_at(n)
    fields = [(0, 2), (4, 4), (0x1A, 2), (0x1C, 4), (0x20, 4), (0x14, 4), (0x6C, 4), (0x68, 4), (0x80, 2),
              (0x28, 4), (0x2C, 4), (0x58, 4), (0x5C, 4), (0x60, 4)]
    for _ in range(rnd.randint(1, 3)):
        off, size = rnd.choice(fields)
        if off == 0x20 and rnd.random() < 0.6:  # one flag turned
            put_int(d, at + off, 4, get(d, at + off, 4) ^ rnd.choice([EXTENTS_FL, INDEX_FL, INLINE_FL, 0x4000,
                                                                         0x80, 0x200000, 0x40000]))
        elif off == 0 and rnd.random() < 0.6:  # another type
            put_int(d, at, 2, (get(d, at, 2) & 0x0FFF) | rnd.choice([0x4000, 0x8000, 0xA000, 0x1000, 0xC000,
                                                                       0x0000, 0xF000]))
        else:
            set_field(d, rnd, at + off, size, extra=[n, 2, v.isize, v.bs, len(d)])
    if maybe(rnd):
        v.fix_inode(n)


@kind("extent", ["ext"], "extent headers and entries (in the inode or a tree block) set to edge values, the "
      "checksums recomputed")
def extent(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 65536, 32)
        return
    cands = [n for n in v.inodes() if get(d, v.inode_at(n) + 0x20, 4) & EXTENTS_FL]
    if not cands:
        # no extents (ext2): a block map read as an extent tree, or a header put in it
        ns = v.inodes()
        if ns:
            n = rnd.choice(ns)
            at = v.inode_at(n)
            put_int(d, at + 0x20, 4, get(d, at + 0x20, 4) | EXTENTS_FL)
            if rnd.random() < 0.5:
                put(d, at + 0x28, bytes.fromhex("0af3") + bytes([rnd.randrange(6), 0, 4, 0, rnd.randrange(3), 0]))
            v.fix_inode(n)
        return
    n = rnd.choice(cands)
    at = v.inode_at(n)
    tree_blocks = [b for b, t in v.blocks(n) if t]
    block = None
    if tree_blocks and rnd.random() < 0.5:
        block = rnd.choice(tree_blocks)
        h = v.block_at(block)
    else:
        h = at + 0x28
    entries = max(1, get(d, h + 2, 2))
    for _ in range(rnd.randint(1, 2)):
        if rnd.random() < 0.4:
            off, size = rnd.choice([(0, 2), (2, 2), (4, 2), (6, 2), (8, 4)])
            set_field(d, rnd, h + off, size, extra=[4, 5, 340, 0xF30A, 3, 4, 5, 32768])
        else:
            e = h + 12 + 12 * rnd.randrange(min(entries, 4))
            off, size = rnd.choice([(0, 4), (4, 2), (6, 2), (8, 4), (4, 4)])
            set_field(d, rnd, e + off, size, extra=[32768, 32769, 65535, n, v.bpg * v.groups, 0])
    if maybe(rnd):
        if block is not None:
            v.fix_extent_block(n, block)
        v.fix_inode(n)


HOSTILE_RAW = [b"..", b".", b"a/b", b"../../x", b"\x00", b"x\x00y", b"\xff\xfe", b"con", b"\x1b[2J", b"/" * 10]


def dir_blocks(v, n):
    return [b for b, t in v.blocks(n, 64) if not t]


@kind("dirrec", ["ext"], "directory records: record and name lengths, inode numbers, types, hostile names, the "
      "block checksum recomputed")
def dirrec(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 65536, 32)
        return
    folders = v.folders()
    cands = [(n, b) for n in folders for b in dir_blocks(v, n)]
    if not cands:
        # an inline folder: its records live in the inode
        inl = [n for n in folders if get(d, v.inode_at(n) + 0x20, 4) & INLINE_FL]
        if inl:
            n = rnd.choice(inl)
            flip_bits(d, rnd, v.inode_at(n) + 0x28, v.inode_at(n) + 0x64, rnd.randint(1, 8))
            v.fix_inode(n)
        return
    n, b = rnd.choice(cands)
    at = v.block_at(b)
    recs, pos = [], at
    while pos + 8 <= at + v.bs and len(recs) < 512:
        rl = get(d, pos + 4, 2)
        recs.append(pos)
        if rl < 8:
            break
        pos += rl
    if not recs:
        return
    for _ in range(rnd.randint(1, 2)):
        r = rnd.choice(recs)
        what = rnd.randrange(5)
        if what == 0:
            put_int(d, r + 4, 2, rnd.choice([0, 4, 7, 8, 9, 12, 13, v.bs, v.bs + 4, 0xFFFF, at + v.bs - r, 1 << 15]))
        elif what == 1:
            d[r + 6] = rnd.choice([0, 1, 255, get(d, r + 4, 2) & 0xFF, 200])
        elif what == 2:
            put_int(d, r, 4, rnd.choice([0, 1, 2, n, v.ipg * v.groups, v.ipg * v.groups + 1, 0xFFFFFFFF, 11]))
        elif what == 3:
            d[r + 7] = rnd.choice([0, 1, 2, 3, 7, 8, 0xDE, 0xFF])
        else:
            name = rnd.choice(HOSTILE_RAW)
            room = get(d, r + 4, 2) - 8
            if 0 < len(name) <= room:
                put(d, r + 8, name)
                d[r + 6] = len(name)
    if maybe(rnd):
        v.fix_dir_block(n, b)


@kind("htree", ["ext"], "htree nodes: hash version, info length, levels, limit and count, child blocks, the dx "
      "checksum recomputed")
def htree(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 65536, 32)
        return
    cands = [n for n in v.folders() if get(d, v.inode_at(n) + 0x20, 4) & INDEX_FL]
    if not cands:
        # none indexed: mark a folder indexed, which its blocks do not bear out
        fs = v.folders()
        if fs:
            n = rnd.choice(fs)
            put_int(d, v.inode_at(n) + 0x20, 4, get(d, v.inode_at(n) + 0x20, 4) | INDEX_FL)
            v.fix_inode(n)
        return
    n = rnd.choice(cands)
    blocks = dir_blocks(v, n)
    if not blocks:
        return
    root = blocks[0]
    at = v.block_at(root)
    info = at + 24
    count_off = 24 + get(d, info + 5, 1)
    nodes = [(root, count_off)]
    # Internal nodes: blocks of the folder that begin with an empty record over the whole block.
    for b in blocks[1:]:
        x = v.block_at(b)
        if x is not None and get(d, x, 4) == 0 and get(d, x + 4, 2) == v.bs:
            nodes.append((b, 8))
    b, co = rnd.choice(nodes)
    x = v.block_at(b)
    what = rnd.randrange(5)
    if b == root and what == 0:
        d[info + 4] = rnd.choice([0, 1, 2, 3, 4, 5, 6, 0xFF])  # hash version
        if rnd.random() < 0.3:
            d[info + 5] = rnd.choice([8, 0, 7, 9, 255])  # info length
    elif b == root and what == 1:
        d[info + 6] = rnd.choice([0, 1, 2, 3, 4, 255])  # indirect levels
    elif what == 2:
        put_int(d, x + co, 2, rnd.choice([0, 1, 2, 0xFFFF, (v.bs - co) // 8 + 1]))  # limit
    elif what == 3:
        put_int(d, x + co + 2, 2, rnd.choice([0, 1, get(d, x + co, 2) + 1, 0xFFFF]))  # count
    else:
        count = max(1, min(get(d, x + co + 2, 2), 64))
        k = rnd.randrange(count)
        put_int(d, x + co + 4 + 8 * k, 4, rnd.choice([0, 1, k + 1, len(blocks), len(blocks) + 5, 0xFFFFFFFF,
                                                      rnd.getrandbits(32)]))
        if k and rnd.random() < 0.5:
            put_int(d, x + co + 8 * k, 4, rnd.getrandbits(32))  # the hash
    if maybe(rnd):
        v.fix_dx_block(n, b, co)
