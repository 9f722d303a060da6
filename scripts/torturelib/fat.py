"""FAT12/16/32: BPB fields, FAT entries, directory entries and long-name
chains. The FAT chain kind serves exFAT too (its FAT is 32-bit)."""
from .common import HOSTILE_NAMES, flip_bits, get, kind, put, put_int, set_field, utf16
from . import exfat as exfat_mod


class Fat:
    def __init__(self, d, start):
        self.d, self.start = d, start
        b = start
        self.bps = get(d, b + 11, 2)
        self.spc = get(d, b + 13, 1)
        self.rsv = get(d, b + 14, 2)
        self.nfats = get(d, b + 16, 1)
        self.rootent = get(d, b + 17, 2)
        total = get(d, b + 19, 2) or get(d, b + 32, 4)
        self.fatsz = get(d, b + 22, 2) or get(d, b + 36, 4)
        self.ok = (self.bps in (512, 1024, 2048, 4096) and self.spc in (1, 2, 4, 8, 16, 32, 64, 128)
                   and self.nfats in (1, 2) and self.rsv > 0 and self.fatsz > 0)
        if not self.ok:
            return
        root_secs = (self.rootent * 32 + self.bps - 1) // self.bps
        self.first_data = self.rsv + self.nfats * self.fatsz + root_secs
        self.clusters = max(0, (total - self.first_data) // self.spc)
        self.bits = 12 if self.clusters < 4085 else 16 if self.clusters < 65525 else 32
        self.fat_at = start + self.rsv * self.bps
        self.root_at = start + (self.rsv + self.nfats * self.fatsz) * self.bps
        self.root_len = root_secs * self.bps
        self.root_cluster = get(d, b + 44, 4) if self.bits == 32 else 0
        self.csize = self.spc * self.bps

    def cluster_at(self, c):
        return self.start + (self.first_data + (c - 2) * self.spc) * self.bps

    def entry(self, c, copy=0):
        base = self.fat_at + copy * self.fatsz * self.bps
        if self.bits == 12:
            v = get(self.d, base + c + c // 2, 2)
            return v >> 4 if c & 1 else v & 0xFFF
        if self.bits == 16:
            return get(self.d, base + 2 * c, 2)
        return get(self.d, base + 4 * c, 4) & 0x0FFFFFFF

    def set_entry(self, c, value, copies):
        for copy in copies:
            base = self.fat_at + copy * self.fatsz * self.bps
            if self.bits == 12:
                at = base + c + c // 2
                v = get(self.d, at, 2)
                v = (v & 0x000F) | ((value & 0xFFF) << 4) if c & 1 else (v & 0xF000) | (value & 0xFFF)
                put_int(self.d, at, 2, v)
            elif self.bits == 16:
                put_int(self.d, base + 2 * c, 2, value)
            else:
                put_int(self.d, base + 4 * c, 4, value)

    def eoc(self):
        return {12: 0xFF8, 16: 0xFFF8, 32: 0x0FFFFFF8}[self.bits]

    def chain(self, c, limit=4096):
        out = []
        while 2 <= c < self.clusters + 2 and len(out) < limit and c not in out:
            out.append(c)
            c = self.entry(c)
        return out

    def dir_ranges(self, cluster):
        """(offset, length) of each piece of a folder."""
        if cluster == 0:
            if self.bits == 32:
                cluster = self.root_cluster
            else:
                return [(self.root_at, self.root_len)]
        return [(self.cluster_at(c), self.csize) for c in self.chain(cluster, 256)]

    def entries(self, limit=3000):
        """Every 32-byte entry in use (live or deleted): (offset, folder first cluster)."""
        out, todo, seen = [], [0], set()
        while todo and len(out) < limit:
            folder = todo.pop(0)
            if folder in seen:
                continue
            seen.add(folder)
            for at, ln in self.dir_ranges(folder):
                for e in range(at, min(at + ln, len(self.d) - 32), 32):
                    first = self.d[e]
                    if first == 0:
                        break
                    out.append((e, folder))
                    attr = self.d[e + 11]
                    if attr & 0x10 and attr != 0x0F and first != 0xE5 and self.d[e:e + 2] not in (b". ", b".."):
                        c = get(self.d, e + 26, 2) | (get(self.d, e + 20, 2) << 16 if self.bits == 32 else 0)
                        if c >= 2:
                            todo.append(c)
        return out


def volume(m):
    i, start = m.volume(["fat"])
    return m.files[i], Fat(m.files[i], start)


@kind("bpb", ["fat"], "one BPB field set to an edge value (sometimes the FAT32 backup too)")
def bpb(m):
    d, v = volume(m)
    rnd = m.rnd
    fields = [(11, 2), (13, 1), (14, 2), (16, 1), (17, 2), (19, 2), (21, 1), (22, 2), (24, 2), (26, 2), (28, 4),
              (32, 4)]
    if v.ok and v.bits == 32:
        fields += [(36, 4), (40, 2), (44, 4), (48, 2), (50, 2)]
    for _ in range(rnd.randint(1, 2)):
        off, size = rnd.choice(fields)
        value = rnd.choice([0, 1, 2, 3, 0x80, 0xFF, 0x100, 0x1000, 0x7FFF, 0xFFFF, 0xFFFFFFFF, 0x7FFFFFFF,
                            rnd.getrandbits(8 * size)]) & ((1 << (8 * size)) - 1)
        put_int(d, v.start + off, size, value)
        if v.ok and v.bits == 32 and rnd.random() < 0.4:
            put_int(d, v.start + 6 * v.bps + off, size, value)


def fat_chain_damage(m, v, chains, entry, set_entry, clusters, eoc, copies):
    rnd = m.rnd
    chain = rnd.choice(chains)
    at = rnd.randrange(len(chain))
    c = chain[at]
    what = rnd.randrange(6)
    if what == 0:  # a loop: to itself or back to the start
        set_entry(c, rnd.choice([c, chain[0], chain[max(0, at - 1)]]), copies)
    elif what == 1:  # out of range
        set_entry(c, rnd.choice([1, clusters + 2, clusters + 3, clusters + 100, 0x0FFFFFEF & eoc, eoc - 9]), copies)
    elif what == 2:  # free in the middle of a chain
        set_entry(c, 0, copies)
    elif what == 3:  # bad, or the end too early
        set_entry(c, rnd.choice([eoc - 1, eoc, eoc | 7]), copies)
    elif what == 4:  # two chains that meet
        other = rnd.choice(chains)
        set_entry(c, rnd.choice(other), copies)
    else:
        for _ in range(rnd.randint(1, 8)):
            set_entry(rnd.randrange(2, clusters + 2), rnd.getrandbits(32) & eoc, copies)


@kind("fatchain", ["fat", "exfat"], "FAT entries: loops, out-of-range clusters, free in the middle of a chain, "
      "bad or early ends (first FAT or all)")
def fatchain(m):
    vols = m.volumes(["fat", "exfat"])
    i, start = m.rnd.choice(vols)
    fam = next(f for j, s, f in m.base.volumes if j == i and s == start)
    d, rnd = m.files[i], m.rnd
    if fam == "exfat":
        v = exfat_mod.ExFat(d, start)
        if not v.ok:
            flip_bits(d, rnd, start, start + 512 * 64, 16)
            return
        chains = [ch for ch in (v.chain(c) for c in v.first_clusters()) if ch] or [[2]]
        copies = [0] if v.nfats < 2 or rnd.random() < 0.5 else [0, 1]
        fat_chain_damage(m, v, chains, v.entry, v.set_entry, v.clusters, 0xFFFFFFF8, copies)
        return
    v = Fat(d, start)
    if not v.ok:
        flip_bits(d, rnd, start, start + 512 * 64, 16)
        return
    chains = []
    for e, _ in v.entries(600):
        c = get(d, e + 26, 2) | (get(d, e + 20, 2) << 16 if v.bits == 32 else 0)
        if d[e + 11] != 0x0F and c >= 2:
            ch = v.chain(c)
            if ch:
                chains.append(ch)
    if v.bits == 32:
        chains.append(v.chain(v.root_cluster))
    chains = [ch for ch in chains if ch] or [[2]]
    copies = [0] if v.nfats < 2 or rnd.random() < 0.5 else list(range(v.nfats))
    fat_chain_damage(m, v, chains, v.entry, v.set_entry, v.clusters, v.eoc(), copies)


HOSTILE_SHORT = [b"..         ", b".          ", b"A/B     TXT", b"\\\\       X ", b"\x05ABC    TXT", b"\xe5LIVE   TXT",
                 b"\x00DD     TXT", b"CON        ", b"           ", b"\x01\x1f\x7f\x80\xff AAA   "[:11]]


@kind("dirent", ["fat"], "directory entries: attributes, first cluster, size, hostile 8.3 names, dot entries "
      "that loop")
def dirent(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 64 * 512, 16)
        return
    ents = [(e, f) for e, f in v.entries() if d[e + 11] != 0x0F]
    if not ents:
        return
    for _ in range(rnd.randint(1, 3)):
        e, folder = rnd.choice(ents)
        what = rnd.randrange(6)
        if what == 0:
            d[e + 11] = rnd.choice([0x10, 0x0F, 0xFF, 0x08, 0x18, 0x00, 0x20 | 0x10, 0x40, 0x80])
        elif what == 1:
            c = rnd.choice([0, 1, 2, folder or 2, v.clusters + 1, v.clusters + 2, v.clusters + 50, 0xFFFF, 0x0FFFFFF7,
                            0x0FFFFFFF, rnd.getrandbits(28)])
            put_int(d, e + 26, 2, c & 0xFFFF)
            if v.bits == 32 or rnd.random() < 0.3:
                put_int(d, e + 20, 2, c >> 16)
        elif what == 2:
            put_int(d, e + 28, 4, rnd.choice([0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, len(d), len(d) + 1,
                                              v.csize * 3 + 1]))
        elif what == 3:
            put(d, e, rnd.choice(HOSTILE_SHORT))
        elif what == 4:  # "." or ".." pointing back up or at the root: a loop
            dots = [x for x, _ in ents if d[x:x + 2] in (b". ", b"..")]
            if dots:
                x = rnd.choice(dots)
                c = rnd.choice([0, 2, folder, v.root_cluster])
                put_int(d, x + 26, 2, c & 0xFFFF)
                put_int(d, x + 20, 2, c >> 16)
            else:
                d[e] = 0xE5
        else:  # a deleted entry made live or a live one deleted
            d[e] = 0xE5 if d[e] != 0xE5 else ord("Z")


def lfn_sum(short):
    s = 0
    for b in short[:11]:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s


LFN_OFFS = [1 + 2 * k for k in range(5)] + [14 + 2 * k for k in range(6)] + [28, 30]


@kind("lfn", ["fat"], "long-name chains: ordinals, checksums, hostile characters (checksum kept), missing ends")
def lfn(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 64 * 512, 16)
        return
    ents = v.entries()
    longs = [k for k, (e, _) in enumerate(ents) if d[e + 11] == 0x0F]
    if not longs:
        if ents:
            e, _ = rnd.choice(ents)
            d[e + 11] = 0x0F
        return
    k = rnd.choice(longs)
    e, _ = ents[k]
    # The short entry the chain belongs to: the first entry after it that is not a long one.
    short = next((ents[j][0] for j in range(k, len(ents)) if d[ents[j][0] + 11] != 0x0F), None)
    what = rnd.randrange(6)
    if what == 0:
        d[e] = rnd.choice([0, 0x40, 0x41, 0x7F, 0x54, 0x5F, 0xFF, 0xE5, d[e] ^ 0x40, (d[e] & 0x40) | 0x1F])
    elif what == 1:
        d[e + 13] ^= rnd.choice([1, 0x80, 0xFF])
    elif what == 2:  # hostile characters, checksum left right
        name = rnd.choice(HOSTILE_NAMES + ["\uffff", "\u0000", "a\\b", ":*?"])
        raw = utf16(name)[:26] + b"\x00\x00"
        slots = LFN_OFFS[:]
        for n, off in enumerate(slots):
            if 2 * n + 1 < len(raw):
                put(d, e + off, raw[2 * n:2 * n + 2])
            else:
                put(d, e + off, b"\xff\xff")
        if short is not None:
            d[e + 13] = lfn_sum(d[short:short + 11])
    elif what == 3:  # the short entry renamed: every checksum stale, or all kept right
        if short is not None:
            put(d, short, rnd.choice(HOSTILE_SHORT))
            if rnd.random() < 0.5:
                s = lfn_sum(d[short:short + 11])
                j = k
                while j < len(ents) and d[ents[j][0] + 11] == 0x0F:
                    d[ents[j][0] + 13] = s
                    j += 1
    elif what == 4:  # the first cluster field of a long entry (must be 0) or its type
        put_int(d, e + 26, 2, rnd.choice([2, 0xFFFF, 5]))
        if rnd.random() < 0.5:
            d[e + 12] = rnd.choice([1, 0xFF])
    else:  # an entry of the chain dropped (made free-looking) or turned into a short one
        d[e] = rnd.choice([0xE5, 0x00]) if rnd.random() < 0.5 else d[e]
        if rnd.random() < 0.5:
            d[e + 11] = 0x20
