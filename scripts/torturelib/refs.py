"""ReFS 1.x: boot fields, the headers of metadata pages (numbers, kinds,
index offsets, superblock and checkpoint references), index entries
(lengths, flags, key and value places, hostile names) and extents."""
from .common import HOSTILE_NAMES, edge, flip_bits, get, kind, put, put_int, set_field, utf16

PAGE = 16384


class Refs:
    def __init__(self, d, start):
        self.d, self.start = d, start
        self.ok = d[start + 3:start + 11] == b"ReFS\0\0\0\0"
        self.pages = (len(d) - start) // PAGE

    def metadata_pages(self, limit=4096):
        """Offsets of pages that carry their own number (the tree's pages,
        the superblocks and checkpoints)."""
        out = []
        for p in range(1, min(self.pages, limit)):
            at = self.start + p * PAGE
            if get(self.d, at, 8) == p:
                out.append(at)
        return out

    def entries(self, page):
        """Offsets of the entries of a page's index (at most 64)."""
        d = self.d
        head = page + 0x30 + get(d, page + 0x30, 4)
        if head + 24 > page + PAGE:
            return []
        at = head + get(d, head, 4)
        out = []
        for _ in range(min(get(d, head + 20, 4), 64)):
            n = get(d, at, 4)
            if n < 20 or at + n > page + PAGE:
                break
            out.append(at)
            at += n
        return out


def volume(m):
    i, start = m.volume(["refs"])
    return m.files[i], Refs(m.files[i], start)


@kind("refsboot", ["refs"], "boot-sector fields: sector count, sector size, sectors per cluster, version")
def refsboot(m):
    d, v = volume(m)
    rnd = m.rnd
    for _ in range(rnd.randint(1, 2)):
        at, size = rnd.choice([(0x18, 8), (0x20, 4), (0x24, 4), (0x28, 1), (0x29, 1)])
        set_field(d, rnd, v.start + at, size, extra=[512, 4096, 1000, 32, 128, 3, 2, v.pages * 32 - 1])


@kind("refspage", ["refs"], "metadata pages: number, sequence, table, index offset, kind, the superblock's "
      "and checkpoints' reference offsets")
def refspage(m):
    d, v = volume(m)
    rnd = m.rnd
    pages = v.metadata_pages()
    if not pages:
        flip_bits(d, rnd, v.start, v.start + 64 * PAGE, 16)
        return
    page = rnd.choice(pages)
    at, size = rnd.choice([(0, 8), (8, 8), (0x18, 8), (0x30, 4), (0x3C, 4), (0x38, 4), (0x50, 4), (0x58, 4),
                           (0x5C, 4)])
    set_field(d, rnd, page + at, size, extra=[232, 240, 0xE030, 0x130, 16344, 16360, 24, PAGE, v.pages])


@kind("refsentry", ["refs"], "index entries: length, flags, key length, value offset and length, key type, "
      "hostile names")
def refsentry(m):
    d, v = volume(m)
    rnd = m.rnd
    ents = [e for p in v.metadata_pages() for e in v.entries(p)]
    if not ents:
        flip_bits(d, rnd, v.start, v.start + 64 * PAGE, 16)
        return
    for _ in range(rnd.randint(1, 3)):
        e = rnd.choice(ents)
        what = rnd.randrange(4)
        if what == 0:
            at, size = rnd.choice([(0, 4), (6, 2), (10, 2), (12, 2), (16, 4)])
            set_field(d, rnd, e + at, size, extra=[0, 20, 24, 32, 0x510, 0x10030, 0x20030, PAGE])
        elif what == 1:
            d[e + 4] ^= rnd.choice([0x10, 0xFF])
            d[e + 8] ^= rnd.choice([0, 0x04])
        elif what == 2:
            n = get(d, e + 6, 2)
            name = utf16(rnd.choice(HOSTILE_NAMES))[:max(0, n - 4)]
            put(d, e + 20, name)
        else:
            vo, vl = get(d, e + 10, 2), get(d, e + 12, 2)
            flip_bits(d, rnd, e + vo, e + vo + vl, rnd.randint(1, 8))


@kind("refsextent", ["refs"], "extents of files' extent indexes: logical and physical clusters and counts, "
      "past the volume or overflowing")
def refsextent(m):
    d, v = volume(m)
    rnd = m.rnd
    values = []
    for p in v.metadata_pages():
        for e in v.entries(p):
            if get(d, e + 16, 4) != 0x10030:
                continue
            root = e + get(d, e + 10, 2) + 336
            if root + 24 > p + PAGE:
                continue
            at = root + get(d, root, 4)
            for _ in range(min(get(d, root + 20, 4), 16)):
                n = get(d, at, 4)
                if n < 20 or at + n > p + PAGE:
                    break
                values.append(at + get(d, at + 10, 2))
                at += n
    if not values:
        flip_bits(d, rnd, v.start, v.start + 64 * PAGE, 16)
        return
    x = rnd.choice(values)
    put_int(d, x + 8 * rnd.randrange(3), 8, edge(rnd, 8, [v.pages, v.pages // 4, (1 << 64) - 1, 1 << 62]))
