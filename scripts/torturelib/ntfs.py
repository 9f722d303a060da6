"""NTFS: boot fields, $MFT and its mirror, INDX blocks, records, names,
parent loops and attribute lists."""
import struct

from .common import EDGE64, HOSTILE_NAMES, flip_bits, kind, put, utf16


def avoid_fixup(at):
    """Record bytes at the end of each 512-byte stride hold the update
    sequence: edits meant to parse keep off them."""
    return at % 512 < 510


class Volume:
    def __init__(self, data, start):
        self.data = data
        self.start = start
        b = data[start:start + 512]
        self.ok = len(b) == 512 and b[3:11] == b"NTFS    "
        if not self.ok:
            return
        self.bps = struct.unpack_from("<H", b, 11)[0] or 512
        spc = b[13]
        spc = (1 << (256 - spc)) if spc > 0x80 else spc
        self.cluster = self.bps * max(spc, 1)
        self.mft = start + struct.unpack_from("<q", b, 0x30)[0] * self.cluster
        self.mirr = start + struct.unpack_from("<q", b, 0x38)[0] * self.cluster
        cpr = struct.unpack_from("<b", b, 0x40)[0]
        self.rec = (1 << -cpr) if cpr < 0 else cpr * self.cluster
        if self.rec not in (1024, 2048, 4096):
            self.rec = 1024
        self.total = struct.unpack_from("<q", b, 0x28)[0] * self.bps

    def records(self, limit=256):
        out = []
        for i in range(limit):
            at = self.mft + i * self.rec
            if at < 0 or at + self.rec > len(self.data):
                break
            if self.data[at:at + 4] == b"FILE":
                out.append(at)
        return out

    def attributes(self, rec):
        """(offset, type, length, nonresident) of each attribute of a record."""
        d = self.data
        out = []
        pos = rec + struct.unpack_from("<H", d, rec + 0x14)[0]
        end = rec + self.rec
        while pos + 16 <= end:
            t, ln = struct.unpack_from("<II", d, pos)
            if t == 0xFFFFFFFF or ln < 16 or pos + ln > end:
                break
            out.append((pos, t, ln, d[pos + 8]))
            pos += ln
        return out


def mutate(d, starts, kind, rnd):
    vols = [Volume(d, s) for s in starts]
    vols = [v for v in vols if v.ok] or vols
    v = rnd.choice(vols)
    if not v.ok:
        flip_bits(d, rnd, 0, len(d), 64)
        return d
    if kind == "bootfield":
        fields = [(11, "<H"), (13, "<B"), (14, "<H"), (21, "<B"), (0x28, "<Q"), (0x30, "<Q"), (0x38, "<Q"),
                  (0x40, "<B"), (0x44, "<B")]
        for _ in range(rnd.randint(1, 2)):
            off, fmt = rnd.choice(fields)
            size = struct.calcsize(fmt)
            value = rnd.choice(EDGE64 + [rnd.getrandbits(8 * size)]) & ((1 << (8 * size)) - 1)
            struct.pack_into(fmt, d, v.start + off, value)
            if rnd.random() < 0.3 and v.total and v.start + v.total + 512 <= len(d):
                struct.pack_into(fmt, d, v.start + v.total + off, value)
        return d
    if kind == "mft":
        flip_bits(d, rnd, v.mft, v.mft + 64 * v.rec, rnd.randint(1, 64))
        return d
    if kind == "mirr":
        flip_bits(d, rnd, v.mirr, v.mirr + 4 * v.rec, rnd.randint(1, 32))
        if rnd.random() < 0.5:
            flip_bits(d, rnd, v.mft, v.mft + 4 * v.rec, rnd.randint(1, 8))  # so the mirror is needed
        return d
    if kind == "indx":
        blocks = [at for at in range(v.start, len(d) - 4, 512) if d[at:at + 4] == b"INDX"]
        if blocks:
            at = rnd.choice(blocks)
            flip_bits(d, rnd, at, at + 4096, rnd.randint(1, 32))
        return d
    recs = v.records()
    if not recs:
        flip_bits(d, rnd, v.mft, v.mft + 16 * v.rec, 16)
        return d
    user = [r for r in recs if (r - v.mft) // v.rec >= 16] or recs
    if kind == "record":
        r = rnd.choice(user)
        attrs = v.attributes(r)
        what = rnd.randrange(6)
        if what == 0:
            put(d, r, bytes(v.rec))
        elif what == 1:
            put(d, r + rnd.randrange(0, 64), bytes(rnd.getrandbits(8) for _ in range(rnd.randint(1, 64))))
        elif attrs and what == 2:
            pos, t, ln, nr = rnd.choice(attrs)
            put(d, pos + rnd.choice([0, 4, 8, 9, 10, 0x14, 0x20]), struct.pack("<I", rnd.choice(EDGE64) & 0xFFFFFFFF))
        elif attrs and what == 3:
            nonres = [a for a in attrs if a[3]]
            if nonres:
                pos, t, ln, nr = rnd.choice(nonres)
                runs = pos + struct.unpack_from("<H", d, pos + 0x20)[0]
                for _ in range(rnd.randint(1, 8)):
                    at = rnd.randrange(runs, pos + ln) if pos + ln > runs else runs
                    if avoid_fixup(at):
                        d[at] = rnd.getrandbits(8)
        elif attrs:
            nonres = [a for a in attrs if a[3] and a[2] >= 0x40]
            if nonres:
                pos, t, ln, nr = rnd.choice(nonres)
                off = rnd.choice([0x10, 0x18, 0x28, 0x30, 0x38])  # first/last VCN, allocated, real, initialised
                if avoid_fixup(pos + off + 7):
                    struct.pack_into("<Q", d, pos + off, rnd.choice(EDGE64 + [rnd.getrandbits(64)]))
            else:
                pos, t, ln, nr = rnd.choice(attrs)
                if ln >= 0x18:
                    struct.pack_into("<I", d, pos + 0x10, rnd.choice(EDGE64) & 0xFFFFFFFF)  # resident length
        return d
    if kind == "names":
        done = 0
        for r in rnd.sample(user, min(len(user), rnd.randint(1, 4))):
            for pos, t, ln, nr in v.attributes(r):
                if t != 0x30 or nr:
                    continue
                value = pos + struct.unpack_from("<H", d, pos + 0x14)[0]
                length = d[value + 0x40]
                name = rnd.choice(HOSTILE_NAMES)
                raw = utf16(name)
                if rnd.random() < 0.2:
                    d[value + 0x40] = 255  # a length past the attribute
                    done += 1
                    continue
                chars = min(len(raw) // 2, length)
                if chars == 0:
                    continue
                at = value + 0x42
                if all(avoid_fixup(at + k) for k in range(2 * chars)):
                    put(d, at, raw[:2 * chars])
                    d[value + 0x40] = chars
                    done += 1
        if not done:
            flip_bits(d, rnd, v.mft, v.mft + 64 * v.rec, 8)
        return d
    if kind == "loops":
        dirs = []
        for r in user + recs[:16]:
            flags = struct.unpack_from("<H", d, r + 0x16)[0]
            if flags & 2:
                dirs.append(r)
        targets = dirs or user
        for r in rnd.sample(targets, min(len(targets), 2)):
            for pos, t, ln, nr in v.attributes(r):
                if t == 0x30 and not nr:
                    value = pos + struct.unpack_from("<H", d, pos + 0x14)[0]
                    own = (r - v.mft) // v.rec
                    other = (rnd.choice(targets) - v.mft) // v.rec
                    parent = rnd.choice([own, other, 5, 0xFFFFFFFFFFFF])
                    if avoid_fixup(value + 7):
                        put(d, value, struct.pack("<Q", parent | (struct.unpack_from("<Q", d, value)[0] & (0xFFFF << 48))))
        return d
    if kind == "attrlist":
        lists = []
        for r in recs:
            for pos, t, ln, nr in v.attributes(r):
                if t == 0x20:
                    lists.append((r, pos, ln, nr))
        if not lists:
            flip_bits(d, rnd, v.mft, v.mft + 64 * v.rec, 8)
            return d
        r, pos, ln, nr = rnd.choice(lists)
        if nr:
            runs = pos + struct.unpack_from("<H", d, pos + 0x20)[0]
            if rnd.random() < 0.5:
                for _ in range(rnd.randint(1, 4)):
                    at = rnd.randrange(runs, pos + ln)
                    if avoid_fixup(at):
                        d[at] = rnd.getrandbits(8)
            else:
                # The list's own clusters: its first run's.
                struct.pack_into("<Q", d, pos + 0x30, rnd.choice(EDGE64))
        else:
            value = pos + struct.unpack_from("<H", d, pos + 0x14)[0]
            vlen = struct.unpack_from("<I", d, pos + 0x10)[0]
            for _ in range(rnd.randint(1, 8)):
                at = value + rnd.randrange(0, max(1, vlen))
                if avoid_fixup(at):
                    field = rnd.randrange(4)
                    if field == 0:
                        d[at] = rnd.getrandbits(8)
                    elif avoid_fixup(at + 7) and at + 8 <= len(d):
                        struct.pack_into("<Q", d, at, rnd.choice(EDGE64))
        return d
    raise ValueError(kind)


NTFS_KINDS = [
    ("bootfield", "one boot-sector field set to an edge value"),
    ("mft", "bit flips among the first $MFT records"),
    ("mirr", "bit flips in $MFTMirr"),
    ("indx", "bit flips in an INDX block"),
    ("record", "a FILE record zeroed or garbled, an attribute header, a run list, sizes"),
    ("names", "hostile names written into $FILE_NAME attributes"),
    ("loops", "parent references that make loops"),
    ("attrlist", "damage inside attribute lists"),
]


def _register(name, doc):
    @kind(name, ["ntfs"], doc)
    def run(m):
        i, _ = m.volume(["ntfs"])
        starts = [s for j, s in m.volumes(["ntfs"]) if j == i]
        mutate(m.files[i], starts, name, m.rnd)


for _n, _d in NTFS_KINDS:
    _register(_n, _d)
