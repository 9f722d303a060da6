"""The carving image: the size fields of each sample's headers (JPEG
segments, PNG chunks, BMP, GIF, TIFF, ZIP, OLE, PDF, RIFF, ISO media
atoms, ID3, ASF) set to edge values, in place."""
import re

from .common import edge, flip_bits, get, kind, put, put_int

# Each finder gives (offset, size, big-endian) of size fields in a sample.


def jpeg(d, at, n):
    out, p = [], at + 2
    while p + 4 <= at + n and d[p] == 0xFF and len(out) < 32:
        marker = d[p + 1]
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:
            p += 2
            continue
        out.append((p + 2, 2, True))
        if 0xC0 <= marker <= 0xC3:
            out += [(p + 5, 2, True), (p + 7, 2, True)]  # height, width
        if marker == 0xDA:
            break
        p += 2 + get(d, p + 2, 2, True)
    return out


def png(d, at, n):
    out, p = [(at + 16, 4, True), (at + 20, 4, True)], at + 8
    while p + 8 <= at + n and len(out) < 32:
        out.append((p, 4, True))
        p += 12 + get(d, p, 4, True)
    return out


def bmp(d, at, n):
    return [(at + 2, 4, False), (at + 10, 4, False), (at + 14, 4, False), (at + 18, 4, False), (at + 22, 4, False),
            (at + 28, 2, False), (at + 34, 4, False), (at + 46, 4, False)]


def gif(d, at, n):
    return [(at + 6, 2, False), (at + 8, 2, False), (at + 10, 1, False)]


def tiff(d, at, n):
    big = d[at:at + 2] == b"MM"
    out = [(at + 4, 4, big)]
    ifd = get(d, at + 4, 4, big)
    seen = 0
    while 0 < ifd < n - 2 and seen < 4:
        cnt = get(d, at + ifd, 2, big)
        out.append((at + ifd, 2, big))
        for k in range(min(cnt, 24)):
            e = at + ifd + 2 + 12 * k
            out += [(e + 4, 4, big), (e + 8, 4, big)]
        ifd = get(d, at + ifd + 2 + 12 * cnt, 4, big)
        seen += 1
    return out


def zipf(d, at, n):
    out = []
    blob = bytes(d[at:at + n])
    for x in re.finditer(rb"PK\x03\x04", blob):
        p = at + x.start()
        out += [(p + 18, 4, False), (p + 22, 4, False), (p + 26, 2, False), (p + 28, 2, False)]
    for x in re.finditer(rb"PK\x01\x02", blob):
        p = at + x.start()
        out += [(p + 20, 4, False), (p + 24, 4, False), (p + 28, 2, False), (p + 30, 2, False), (p + 32, 2, False),
                (p + 42, 4, False)]
    for x in re.finditer(rb"PK\x05\x06", blob):
        p = at + x.start()
        out += [(p + 8, 2, False), (p + 10, 2, False), (p + 12, 4, False), (p + 16, 4, False), (p + 20, 2, False)]
    for x in re.finditer(rb"PK\x06\x06", blob):
        p = at + x.start()
        out += [(p + 4, 8, False), (p + 32, 8, False), (p + 40, 8, False), (p + 48, 8, False)]
    return out[:200]


def ole(d, at, n):
    return [(at + o, s, False) for o, s in [(0x1E, 2), (0x20, 2), (0x28, 4), (0x2C, 4), (0x30, 4), (0x38, 4),
                                            (0x3C, 4), (0x40, 4), (0x44, 4), (0x48, 4), (0x4C, 4), (0x50, 4)]]


def riff(d, at, n):
    out, p = [(at + 4, 4, False)], at + 12
    while p + 8 <= at + n and len(out) < 48:
        out.append((p + 4, 4, False))
        size = get(d, p + 4, 4)
        if d[p:p + 4] in (b"LIST", b"RIFF"):
            p += 12
        else:
            p += 8 + size + (size & 1)
    return out


def atoms(d, at, n):
    out, todo = [], [(at, at + n)]
    while todo and len(out) < 48:
        p, end = todo.pop()
        while p + 8 <= end and len(out) < 48:
            size = get(d, p, 4, True)
            out.append((p, 4, True))
            if d[p + 4:p + 8] in (b"moov", b"trak", b"mdia", b"minf", b"stbl", b"udta"):
                todo.append((p + 8, p + max(size, 8)))
            if size < 8:
                break
            p += size
    return out


def mp3(d, at, n):
    if d[at:at + 3] == b"ID3":
        return [(at + 6, 4, True), (at + 5, 1, False)]
    return [(at, 4, True)]


def asf(d, at, n):
    out = [(at + 16, 8, False), (at + 24, 4, False)]
    p = at + 30
    while p + 24 <= at + n and len(out) < 24:
        out.append((p + 16, 8, False))
        size = get(d, p + 16, 8)
        if size < 24:
            break
        p += size
    return out


def pdf(d, at, n):
    return []  # text: see the kind


def generic(d, at, n):
    return [(at + 4 * k, 4, big) for k in range(64) for big in (False, True) if 4 * k + 4 <= n]


FINDERS = [(b"\xff\xd8", jpeg), (b"\x89PNG", png), (b"BM", bmp), (b"GIF8", gif), (b"II*\x00", tiff),
           (b"MM\x00*", tiff), (b"PK\x03\x04", zipf), (b"\xd0\xcf\x11\xe0", ole), (b"RIFF", riff),
           (b"ID3", mp3), (b"\xff\xfb", mp3), (b"\x30\x26\xb2\x75", asf), (b"%PDF", pdf)]


def finder(d, at):
    for magic, fn in FINDERS:
        if d[at:at + len(magic)] == magic:
            return fn
    if d[at + 4:at + 8] in (b"ftyp", b"moov", b"mdat", b"wide", b"free"):
        return atoms
    return generic


@kind("carvehdr", ["carve"], "size fields of the samples' headers (JPEG segments, PNG chunks, BMP, GIF, TIFF "
      "IFDs, ZIP records, OLE, PDF offsets, RIFF chunks, media atoms, ID3, ASF) set to edge values")
def carvehdr(m):
    d, rnd = m.files[0], m.rnd
    layout = m.base.layout
    for _ in range(rnd.randint(1, 2)):
        at, n, name = rnd.choice(layout)
        fn = finder(d, at)
        if fn is pdf:
            blob = bytes(d[at:at + n])
            nums = [x for x in re.finditer(rb"(?:startxref\s+|/Length\s+|/Size\s+|\n)(\d{1,10})", blob)]
            if nums:
                x = rnd.choice(nums)
                v = rnd.choice([b"0", b"1", b"9999999999", b"4294967296", b"%d" % (n + 1), b"%d" % (len(d) * 2)])
                v = v[:len(x.group(1))].ljust(len(x.group(1)), b" ") if rnd.random() < 0.5 else v
                start, end = at + x.start(1), at + x.end(1)
                if len(v) == end - start:
                    d[start:end] = v
                else:
                    put(d, start, v[:end - start])
            else:
                flip_bits(d, rnd, at, at + min(n, 1024), 8)
            continue
        fields = [f for f in fn(d, at, n) if at <= f[0] and f[0] + f[1] <= len(d)]
        if not fields:
            flip_bits(d, rnd, at, at + min(n, 512), 8)
            continue
        off, size, big = rnd.choice(fields)
        value = edge(rnd, size, [n, n + 1, n - 1, len(d) - at, len(d) - at + 1, 1 << 30, 8, 7, 16, 0x7FFF])
        put_int(d, off, size, value, big)
