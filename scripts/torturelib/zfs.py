"""ZFS: the label's name-value list, uberblocks, block pointers, dnodes and
ZAP folders of a pool. A changed block is written into every copy its
pointer names (LZJB-compressed again where it was), so that no copy
passes its checksum and the reader takes the first readable one: the
damage reaches the parsers instead of stopping at the checksum."""
import struct

from .common import HOSTILE_NAMES, edge, flip_bits, get, kind, put, put_int, set_field

FRONT = 4 << 20  # a DVA's offset counts from the vdev's front labels' end
LABEL_LIST = 16 << 10
UBERBLOCKS = 128 << 10
ZBT_MICRO = 0x8000000000000003
ZBT_LEAF = 0x8000000000000000
ZBT_HEADER = 0x8000000000000001


def lzjb_decompress(src, dlen):
    out = bytearray()
    i, mask, cmap = 0, 128, 0
    while len(out) < dlen and i < len(src):
        mask <<= 1
        if mask == 256:
            mask, cmap = 1, src[i]
            i += 1
        if cmap & mask:
            if i + 1 >= len(src):
                break
            mlen, off = (src[i] >> 2) + 3, ((src[i] << 8) | src[i + 1]) & 0x3FF
            i += 2
            cpy = len(out) - off
            if off == 0 or cpy < 0:
                break
            for _ in range(mlen):
                if len(out) >= dlen:
                    break
                out.append(out[cpy])
                cpy += 1
        elif i < len(src):
            out.append(src[i])
            i += 1
    return bytearray(out.ljust(dlen, b"\0"))


def lzjb_compress(src):
    """As ZFS compresses (its hash of three bytes, matches of 3 to 66)."""
    n, out, lempel = len(src), bytearray(), [0] * 1024
    s, cmap, mask = 0, 0, 128
    while s < n:
        mask <<= 1
        if mask == 256:
            mask, cmap = 1, len(out)
            out.append(0)
        if s + 66 > n:
            out.append(src[s])
            s += 1
            continue
        h = (src[s] << 16) + (src[s + 1] << 8) + src[s + 2]
        h += h >> 9
        h += h >> 5
        h &= 1023
        off = (s - lempel[h]) & 0x3FF
        lempel[h] = s & 0xFFFF
        if off and off <= s and src[s:s + 3] == src[s - off:s - off + 3]:
            out[cmap] |= mask
            mlen = 3
            while mlen < 66 and src[s + mlen] == src[s - off + mlen]:
                mlen += 1
            out.append(((mlen - 3) << 2) | (off >> 8))
            out.append(off & 0xFF)
            s += mlen
        else:
            out.append(src[s])
            s += 1
    return bytes(out)


class Pointer:
    def __init__(self, raw):
        self.raw = bytes(raw)
        w = struct.unpack_from("<6Q", raw, 0)
        self.dvas = [((w[2 * k + 1] & (2 ** 63 - 1)) * 512) for k in range(3) if w[2 * k] & 0xFFFFFF]
        self.lsize = (struct.unpack_from("<H", raw, 48)[0] + 1) * 512
        self.psize = (struct.unpack_from("<H", raw, 50)[0] + 1) * 512
        self.comp = raw[52]


class Pool:
    """The active uberblock's pool, walked as far as the root dataset."""

    def __init__(self, d):
        self.d = d
        self.ok = False
        self.cache = {}  # DVA offset -> the block decoded (before any change)
        try:
            slots = [UBERBLOCKS + k * 1024 for k in range(128)]
            live = [s for s in slots if get(d, s, 8) == 0x00BAB10C]
            if not live:
                return
            self.ub = max(live, key=lambda s: get(d, s + 16, 8))
            self.mos_bp = Pointer(d[self.ub + 40:self.ub + 168])
            self.mos = self.read(self.mos_bp)[:512]
            self.meta = self.root_dataset()
            self.ok = self.meta is not None
        except (IndexError, struct.error, ValueError, TypeError):
            self.ok = False

    def phys(self, bp):
        if not bp.dvas:
            return None
        at = FRONT + bp.dvas[0]
        return bytes(self.d[at:at + bp.psize])

    def read(self, bp):
        key = (bp.dvas[0] if bp.dvas else None, bp.lsize)
        if key in self.cache:
            return bytearray(self.cache[key])
        raw = self.phys(bp)
        if raw is None:
            return None
        out = lzjb_decompress(raw, bp.lsize) if bp.comp in (1, 3) else bytearray(raw[:bp.lsize].ljust(bp.lsize, b"\0"))
        self.cache[key] = bytes(out)
        return out

    def write(self, bp, data):
        """DATA (the block's logical bytes) into every copy of BP; False when
        it does not fit its physical size again."""
        raw = lzjb_compress(bytes(data)) if bp.comp in (1, 3) else bytes(data[:bp.psize])
        if len(raw) > bp.psize:
            return False
        raw = raw.ljust(bp.psize, b"\0")
        for at in bp.dvas:
            put(self.d, FRONT + at, raw)
        return True

    def pointer(self, dn, blkid):
        """The level-0 pointer of BLKID and the blocks on the way."""
        levels, epbs = dn[2], dn[1] - 7
        if not 1 <= levels <= 7 or epbs < 2:
            return None
        top = blkid >> (epbs * (levels - 1))
        if top >= max(dn[3], 1):
            return None
        bp = Pointer(dn[64 + top * 128:64 + top * 128 + 128])
        for lvl in range(levels - 1, 0, -1):
            blk = self.read(bp)
            if blk is None:
                return None
            idx = (blkid >> (epbs * (lvl - 1))) & ((1 << epbs) - 1)
            bp = Pointer(blk[idx * 128:(idx + 1) * 128])
        return bp

    def dnode_block(self, meta, obj):
        per = struct.unpack_from("<H", meta, 8)[0]
        if per == 0:
            return None, None, 0
        bp = self.pointer(meta, obj // per)
        return bp, (self.read(bp) if bp else None), (obj % per) * 512

    def dnode(self, meta, obj):
        _, blk, at = self.dnode_block(meta, obj)
        return blk[at:at + 512] if blk else None

    @staticmethod
    def micro(block, name):
        for at in range(64, len(block) - 63, 64):
            if block[at + 14:at + 15 + len(name)] == name + b"\0":
                return struct.unpack_from("<Q", block, at)[0]
        return None

    @staticmethod
    def bonus(dn):
        return 64 + (dn[3] if dn[3] in (2, 3) else 1) * 128

    def block0(self, dn):
        bp = self.pointer(dn, 0)
        return bp, (self.read(bp) if bp else None)

    def root_dataset(self):
        _, objdir = self.block0(self.dnode(self.mos, 1))
        ddir = self.dnode(self.mos, self.micro(objdir, b"root_dataset"))
        head = self.dnode(self.mos, struct.unpack_from("<Q", ddir, self.bonus(ddir) + 8)[0])
        at = self.bonus(head) + 128
        self.objset_bp = Pointer(head[at:at + 128])
        return self.read(self.objset_bp)[:512]

    def objects(self, limit=4000):
        per = struct.unpack_from("<H", self.meta, 8)[0]
        return min(limit, (struct.unpack_from("<Q", self.meta, 16)[0] + 1) * per)

    def folders(self):
        """The root folder and the folders its micro ZAP names."""
        _, master = self.block0(self.dnode(self.meta, 1))
        root = self.micro(master, b"ROOT") if master else None
        if root is None:
            return []
        out = [root]
        _, block = self.block0(self.dnode(self.meta, root))
        if block and get(block, 0, 8) == ZBT_MICRO:
            for at in range(64, len(block) - 63, 64):
                value = get(block, at, 8)
                if block[at + 14] and value >> 60 == 4:
                    out.append(value & 0xFFFFFFFFFFFF)
        return out

    def pick_object(self, rnd, types, tries=40):
        """(object, dnode) of one of the TYPES."""
        n = self.objects()
        for _ in range(tries):
            obj = rnd.randrange(1, max(2, n))
            dn = self.dnode(self.meta, obj)
            if dn and dn[0] in types:
                return obj, dn
        return None, None


def pool_of(m):
    i, start = m.volume(["zfs"])
    return m.files[i], Pool(m.files[i])


# ------------------------------------------------------------------ kinds

@kind("zlabel", ["zfs"], "a vdev label's name-value list: pair and name sizes, types, counts, values and the "
                         "header set to edge values or flipped, in the front labels")
def zlabel(m):
    d, rnd = pool_of(m)[0], m.rnd
    for label in rnd.sample([0, 256 << 10], rnd.randint(1, 2)):
        base = label + LABEL_LIST
        if rnd.random() < 0.2:
            flip_bits(d, rnd, base, base + 4096, rnd.randint(1, 16))
            continue
        # The pairs: (offset of a word in a pair) from the first on.
        at, pairs = base + 12, []
        while len(pairs) < 64 and at + 8 < base + (112 << 10):
            size = get(d, at, 4, True)
            if size < 16 or size % 4:
                break
            pairs.append(at)
            name = get(d, at + 8, 4, True)
            typ_at = at + 12 + ((name + 3) & ~3)
            # A nested list follows its pair's header inline.
            at = typ_at + 16 if get(d, typ_at, 4, True) in (19, 20) else at + size
        if not pairs:
            put_int(d, base, 4, edge(rnd, 4), True)
            continue
        p = rnd.choice(pairs)
        word = rnd.choice([0, 4, 8, 12 + ((get(d, p + 8, 4, True) + 3) & ~3), 16 + ((get(d, p + 8, 4, True) + 3) & ~3),
                           20 + ((get(d, p + 8, 4, True) + 3) & ~3)])
        set_field(d, rnd, p + word, 4, True, extra=[16, 17, 1023, 1024, 0x1C000, 19, 20, 9, 8])


@kind("zuber", ["zfs"], "uberblocks: the active one's txg, magic and root block pointer (sizes, offsets, codec, "
                        "checksum type, level, gang bit), or every slot but a few cleared")
def zuber(m):
    d, pool = pool_of(m)
    rnd = m.rnd
    slots = [label + UBERBLOCKS + k * 1024 for label in (0, 256 << 10) for k in range(128)]
    live = [s for s in slots if get(d, s, 8) == 0x00BAB10C]
    if not live:
        return
    if rnd.random() < 0.2:
        keep = set(rnd.sample(live, min(len(live), rnd.randint(1, 3))))
        for s in live:
            if s not in keep:
                put(d, s, bytes(1024))
        return
    best = max(live, key=lambda s: get(d, s + 16, 8))
    targets = [s for s in live if get(d, s + 16, 8) == get(d, best + 16, 8)] if rnd.random() < 0.7 else [best]
    field = rnd.choice([(0, 8), (16, 8), (40, 8), (48, 8), (56, 8), (88, 2), (90, 2), (92, 1), (93, 1), (95, 1)])
    value = edge(rnd, field[1], extra=[0x0CB1BA00, 0x00BAB10C, 2, 3, 15, 0x80])
    for s in targets:
        if field == (48, 8) and rnd.random() < 0.3:
            put_int(d, s + 48, 8, get(d, s + 48, 8) | (1 << 63))  # the gang bit
        else:
            put_int(d, s + field[0], field[1], value)


def damage_pointer(raw, rnd):
    raw = bytearray(raw)
    field = rnd.choice([(0, 8), (8, 8), (16, 8), (24, 8), (48, 2), (50, 2), (52, 1), (53, 1), (54, 1), (55, 1),
                        (96, 8)])
    if field == (8, 8) and rnd.random() < 0.3:
        put_int(raw, 8, 8, get(raw, 8, 8) | (1 << 63))
    else:
        set_field(raw, rnd, field[0], field[1], extra=[0xFF, 255, 256, 0x7FFFFF, 0xFFFFFF, 4, 5, 13, 14, 15, 16])
    return bytes(raw)


@kind("zbp", ["zfs"], "block pointers in a dnode or an indirect block: copies' sizes, offsets, vdevs and gang "
                      "bits, logical and physical sizes, codec, checksum type, level; written into every copy")
def zbp(m):
    d, pool = pool_of(m)
    rnd = m.rnd
    if not pool.ok:
        flip_bits(d, rnd, UBERBLOCKS, UBERBLOCKS + 4096, 8)
        return
    obj, dn = pool.pick_object(rnd, (19, 20))
    if dn is None:
        return
    if dn[2] > 1 and rnd.random() < 0.6:
        # A level-1 block's pointer to a data block.
        epbs = dn[1] - 7
        top = Pointer(dn[64:192])
        blk = pool.read(top)
        if blk is None:
            return
        for _ in range(dn[2] - 2):
            top = Pointer(blk[0:128])
            blk = pool.read(top)
            if blk is None:
                return
        k = rnd.randrange(min(1 << epbs, max(1, get(dn, 16, 8) + 1)))
        blk[k * 128:(k + 1) * 128] = damage_pointer(blk[k * 128:(k + 1) * 128], rnd)
        pool.write(top, blk)
        return
    bp, blk, at = pool.dnode_block(pool.meta, obj)
    if blk is None:
        return
    k = rnd.randrange(max(1, min(blk[at + 3], 3)))
    p = at + 64 + 128 * k
    blk[p:p + 128] = damage_pointer(blk[p:p + 128], rnd)
    pool.write(bp, blk)


@kind("zdnode", ["zfs"], "dnodes of the root dataset: type, indirect shift, levels, pointer count, bonus type "
                         "and length, block size, highest block id, and the znode's size, parent and mode")
def zdnode(m):
    d, pool = pool_of(m)
    rnd = m.rnd
    if not pool.ok:
        return
    obj = rnd.randrange(1, max(2, pool.objects()))
    bp, blk, at = pool.dnode_block(pool.meta, obj)
    if blk is None:
        return
    field = rnd.choice([(0, 1), (1, 1), (2, 1), (3, 1), (4, 1), (8, 2), (10, 2), (16, 8), (24, 8), (192 + 80, 8),
                        (192 + 88, 8), (192 + 72, 8)])
    set_field(blk, rnd, at + field[0], field[1], extra=[19, 20, 21, 23, 44, 53, 54, 9, 17, 18, 7, 8, 3, 4, 320, 321,
                                                        256, 0o120777, 0o040755, 0o010644])
    pool.write(bp, blk)


@kind("zzap", ["zfs"], "folders' ZAP blocks: micro entries' values, names (hostile, cut, without their NUL) and "
                       "types; fat leaves' hash slots, chains, chunk types, name lengths and value sizes")
def zzap(m):
    d, pool = pool_of(m)
    rnd = m.rnd
    if not pool.ok:
        return
    folders = pool.folders()
    if not folders:
        return
    dn = pool.dnode(pool.meta, rnd.choice(folders))
    if dn is None or dn[0] != 20:
        return
    blocks = get(dn, 16, 8) + 1
    bp = pool.pointer(dn, rnd.randrange(min(blocks, 8)))
    blk = pool.read(bp) if bp else None
    if blk is None or len(blk) < 512:
        return
    kind_word = get(blk, 0, 8)
    if kind_word == ZBT_MICRO:
        e = 64 * rnd.randrange(1, max(2, len(blk) // 64))
        what = rnd.randrange(4)
        if what == 0:
            set_field(blk, rnd, e, 8, extra=[1 << 62, 12 << 60, 10 << 60, 0xFFFFFFFFFFFF])
        elif what == 1:
            name = rnd.choice(HOSTILE_NAMES).encode("utf-8", "surrogatepass")[:49]
            blk[e + 14:e + 64] = name.ljust(50, b"\0")
        elif what == 2:
            blk[e + 14:e + 64] = bytes(rnd.getrandbits(8) | 1 for _ in range(50))  # no NUL
        else:
            put_int(blk, e + 8, 4, edge(rnd, 4))
    elif kind_word == ZBT_LEAF:
        shift = len(blk).bit_length() - 1
        hashes = 1 << (shift - 5)
        chunks = (len(blk) - 2 * hashes) // 24 - 2
        base = 48 + 2 * hashes
        if rnd.random() < 0.3:
            slot = 48 + 2 * rnd.randrange(hashes)
            put_int(blk, slot, 2, edge(rnd, 2, extra=[chunks, chunks - 1, 0xFFFF, 0]))
        else:
            c = base + 24 * rnd.randrange(max(1, chunks))
            field = rnd.choice([(0, 1), (1, 1), (2, 2), (4, 2), (6, 2), (8, 2), (10, 2), (22, 2)])
            put_int(blk, c + field[0], field[1], edge(rnd, field[1], extra=[252, 251, 253, chunks, 0xFFFF, 257, 300]))
    elif kind_word == ZBT_HEADER:
        set_field(blk, rnd, rnd.choice([0, 8, 16, 24, 32, 40, 48, 56, 64]), 8)
    else:
        flip_bits(blk, rnd, 0, 64, 4)
    pool.write(bp, blk)
