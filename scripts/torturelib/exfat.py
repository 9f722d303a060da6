"""exFAT: boot fields (boot checksum kept), entry sets (set checksum
recomputed, so the change gets past it), the allocation bitmap and the
up-case table."""
from .common import HOSTILE_NAMES, edge, flip_bits, get, kind, put, put_int, set_field, utf16


def boot_checksum(d, start, bps):
    s = 0
    for k in range(11 * bps):
        if k in (106, 107, 112):
            continue
        s = (((s & 1) << 31) + (s >> 1) + d[start + k]) & 0xFFFFFFFF
    return s


def fix_boot(d, start, bps):
    if start + 12 * bps > len(d):
        return
    s = boot_checksum(d, start, bps)
    for k in range(0, bps, 4):
        put_int(d, start + 11 * bps + k, 4, s)


def set_checksum(raw):
    s = 0
    for k, b in enumerate(raw):
        if k in (2, 3):
            continue
        s = (((s & 1) << 15) + (s >> 1) + b) & 0xFFFF
    return s


def table_checksum(raw):
    s = 0
    for b in raw:
        s = (((s & 1) << 31) + (s >> 1) + b) & 0xFFFFFFFF
    return s


class ExFat:
    def __init__(self, d, start):
        self.d, self.start = d, start
        self.ok = d[start + 3:start + 11] == b"EXFAT   "
        if not self.ok:
            return
        self.bps = 1 << min(get(d, start + 0x6C, 1), 12)
        self.csize = self.bps << min(get(d, start + 0x6D, 1), 16)
        self.fat_at = start + get(d, start + 0x50, 4) * self.bps
        self.fat_len = get(d, start + 0x54, 4) * self.bps
        self.heap = start + get(d, start + 0x58, 4) * self.bps
        self.clusters = get(d, start + 0x5C, 4)
        self.root = get(d, start + 0x60, 4)
        self.nfats = get(d, start + 0x6E, 1)
        self.ok = self.bps >= 512 and self.fat_at < len(d) and self.heap < len(d)

    def cluster_at(self, c):
        return self.heap + (c - 2) * self.csize

    def entry(self, c, copy=0):
        return get(self.d, self.fat_at + copy * self.fat_len + 4 * c, 4)

    def set_entry(self, c, value, copies):
        for copy in copies:
            put_int(self.d, self.fat_at + copy * self.fat_len + 4 * c, 4, value)

    def chain(self, c, limit=4096):
        out = []
        while 2 <= c < self.clusters + 2 and len(out) < limit and c not in out:
            out.append(c)
            c = self.entry(c)
        return out

    def folder_ranges(self, first, contiguous=False, length=0):
        if contiguous:
            n = max(1, (length + self.csize - 1) // self.csize)
            return [(self.cluster_at(first), n * self.csize)] if 2 <= first < self.clusters + 2 else []
        return [(self.cluster_at(c), self.csize) for c in self.chain(first, 64)]

    def entries(self, limit=3000):
        """Every entry in use: offset, a list of folders walked from the root."""
        out, todo, seen = [], [(self.root, False, 0)], set()
        while todo and len(out) < limit:
            first, contiguous, length = todo.pop(0)
            if first in seen:
                continue
            seen.add(first)
            for at, ln in self.folder_ranges(first, contiguous, length):
                for e in range(at, min(at + ln, len(self.d) - 32), 32):
                    t = self.d[e]
                    if t == 0:
                        break
                    out.append(e)
                    if t == 0x85 and get(self.d, e + 4, 2) & 0x10 and self.d[e + 32] == 0xC0:
                        s = e + 32
                        todo.append((get(self.d, s + 20, 4), bool(self.d[s + 1] & 2), get(self.d, s + 24, 8)))
        return out

    def sets(self):
        """Offsets of the file entries (live 0x85 and deleted 0x05)."""
        return [e for e in self.entries() if self.d[e] in (0x85, 0x05)]

    def first_clusters(self):
        out = []
        for e in self.entries():
            if self.d[e] in (0xC0, 0x40, 0x81, 0x82):
                c = get(self.d, e + 20, 4)
                if self.d[e] in (0x81, 0x82) or not self.d[e + 1] & 2:
                    out.append(c)
        return out or [self.root]


def volume(m):
    i, start = m.volume(["exfat"])
    return m.files[i], ExFat(m.files[i], start)


def refresh_set(d, e):
    n = d[e + 1]
    raw = d[e:e + 32 * (n + 1)]
    if len(raw) == 32 * (n + 1):
        put_int(d, e + 2, 2, set_checksum(raw))


@kind("exbpb", ["exfat"], "one boot-sector field set to an edge value, the boot checksum recomputed "
      "(sometimes in the backup region too)")
def exbpb(m):
    d, v = volume(m)
    rnd = m.rnd
    start = v.start
    bps = v.bps if v.ok else 512
    fields = [(0x40, 8), (0x48, 8), (0x50, 4), (0x54, 4), (0x58, 4), (0x5C, 4), (0x60, 4), (0x6A, 2), (0x6C, 1),
              (0x6D, 1), (0x6E, 1), (0x6F, 1), (0x70, 1)]
    regions = [0] if rnd.random() < 0.6 else [0, 12]
    changes = [(rnd.choice(fields), None) for _ in range(rnd.randint(1, 2))]
    for (off, size), _ in changes:
        value = edge(rnd, size, [9, 12, 13, 16, 25, 26, v.clusters + 1 if v.ok else 0, len(d) // 512])
        for r in regions:
            put_int(d, start + r * bps + off, size, value)
    if rnd.random() < 0.9:
        for r in regions:
            fix_boot(d, start + r * bps, bps)


@kind("exset", ["exfat"], "entry sets: counts, attributes, stream first cluster and lengths, name length and "
      "hostile names, the set checksum recomputed")
def exset(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 64 * 512, 16)
        return
    sets = v.sets()
    if not sets:
        return
    for _ in range(rnd.randint(1, 2)):
        e = rnd.choice(sets)
        n = d[e + 1]
        s = e + 32  # the stream extension
        what = rnd.randrange(8)
        if what == 0:
            d[e + 1] = rnd.choice([0, 1, 2, 17, 18, 19, 255, n + 1])
        elif what == 1:
            put_int(d, e + 4, 2, rnd.choice([0x10, 0x00, 0xFFFF, 0x20, 0x16, 0x08]))
        elif what == 2:
            c = rnd.choice([0, 1, 2, v.root, v.clusters + 1, v.clusters + 2, 0xFFFFFFFF, 0xFFFFFFF7,
                            rnd.getrandbits(32)])
            put_int(d, s + 20, 4, c)
        elif what == 3:
            length = edge(rnd, 8, [len(d), len(d) + 1, v.csize * v.clusters, 1 << 40])
            put_int(d, s + 24, 8, length)
            if rnd.random() < 0.5:
                put_int(d, s + 8, 8, length)
        elif what == 4:  # valid data length past the data length
            put_int(d, s + 8, 8, get(d, s + 24, 8) + rnd.choice([1, 4096, 1 << 40]))
        elif what == 5:
            d[s + 3] = rnd.choice([0, 1, 15, 16, 30, 31, 254, 255])
        elif what == 6:
            d[s + 1] ^= rnd.choice([1, 2, 3, 0xFC])
        else:  # a hostile name in the name entries, its length to match
            name = rnd.choice(HOSTILE_NAMES)
            raw = utf16(name)[:30 * max(1, n - 1)]
            k = 0
            while k < n - 1:
                at = e + 64 + 32 * k
                if d[at] & 0x7F != 0x41:
                    break
                chunk = raw[30 * k:30 * k + 30]
                put(d, at + 2, chunk + bytes(30 - len(chunk)))
                k += 1
            d[s + 3] = min(len(raw) // 2, 255)
        if rnd.random() < 0.9:
            refresh_set(d, e)


@kind("exbitmap", ["exfat"], "the allocation bitmap: bits of used clusters cleared or free ones set, or its "
      "entry's cluster and length")
def exbitmap(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 64 * 512, 16)
        return
    ents = [e for e in v.entries() if d[e] == 0x81]
    if not ents:
        return
    e = ents[0]
    if rnd.random() < 0.6:
        at = v.cluster_at(get(d, e + 20, 4))
        size = max(1, (v.clusters + 7) // 8)
        if rnd.random() < 0.5:
            put(d, at + rnd.randrange(size), bytes([rnd.choice([0, 0xFF])]) * rnd.randint(1, 16))
        else:
            flip_bits(d, rnd, at, at + size, rnd.randint(1, 32))
    else:
        off, size = rnd.choice([(20, 4), (24, 8), (1, 1)])
        set_field(d, rnd, e + off, size, extra=[v.clusters // 8, v.clusters + 2])


@kind("upcase", ["exfat"], "the up-case table: its data changed (the table checksum recomputed or not), or "
      "its entry's checksum, cluster and length")
def upcase(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + 64 * 512, 16)
        return
    ents = [e for e in v.entries() if d[e] == 0x82]
    if not ents:
        return
    e = ents[0]
    at = v.cluster_at(get(d, e + 20, 4))
    size = get(d, e + 24, 8)
    if size <= 0 or size > 1 << 20 or at + size > len(d):
        set_field(d, rnd, e + 24, 8)
        return
    what = rnd.randrange(4)
    if what == 0:  # a letter's capital changed to something odd
        for _ in range(rnd.randint(1, 16)):
            k = rnd.randrange(size // 2)
            put_int(d, at + 2 * k, 2, rnd.choice([0, 0xFFFF, 0x2F, 0x5C, 0x2E, 0xD800, rnd.getrandbits(16)]))
    elif what == 1:  # a compression run (0xFFFF, count) with a count past the table
        k = rnd.randrange(size // 2 - 1)
        put_int(d, at + 2 * k, 2, 0xFFFF)
        put_int(d, at + 2 * k + 2, 2, rnd.choice([0, 1, 0xFFFF, 0x8000]))
    elif what == 2:
        off, sz = rnd.choice([(4, 4), (20, 4), (24, 8)])
        set_field(d, rnd, e + off, sz, extra=[size - 1, size + 2, 2])
        return
    else:
        flip_bits(d, rnd, at, at + size, rnd.randint(1, 16))
    if rnd.random() < 0.7:
        put_int(d, e + 4, 4, table_checksum(d[at:at + size]))
