"""What every kind of damage shares: the mutant being made, edge values,
byte helpers and the checksums the formats keep."""
import struct

KINDS = {}  # name -> Kind, in the order they were declared


class Kind:
    def __init__(self, name, families, fn, doc):
        self.name, self.families, self.fn, self.doc = name, set(families), fn, doc


def kind(name, families, doc):
    """Declares a kind of damage for the base families named."""
    def wrap(fn):
        KINDS[name] = Kind(name, families, fn, doc)
        return fn
    return wrap


class Mutant:
    """The files of one mutant (bytearrays, changed in place or replaced),
    the base they come from, the random source and, for chains, the member
    order the source name lists (indexes into files)."""

    def __init__(self, base, files, rnd):
        self.base = base
        self.files = files
        self.rnd = rnd
        self.order = list(range(len(files)))
        self.name_text = None  # a source name of the mutant's own, for chains

    def volumes(self, families):
        """(file index, start) of each volume of the given families."""
        return [(i, s) for i, s, f in self.base.volumes if f in families]

    def volume(self, families):
        vols = self.volumes(families)
        return self.rnd.choice(vols) if vols else None


EDGE64 = [0, 1, 2, 0x7F, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF,
          1 << 40, 1 << 32]
EDGE32 = [0, 1, 2, 3, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE,
          0xFFFFFFFF]


def edge(rnd, size, extra=()):
    """An edge value (or a random one) that fits SIZE bytes."""
    mask = (1 << (8 * size)) - 1
    pool = (EDGE64 if size == 8 else EDGE32) + list(extra)
    if rnd.random() < 0.15:
        return rnd.getrandbits(8 * size)
    return rnd.choice(pool) & mask


FMT = {1: "B", 2: "H", 4: "I", 8: "Q"}


def get(d, at, size, big=False):
    if at < 0 or at + size > len(d):
        return 0
    return struct.unpack_from((">" if big else "<") + FMT[size], d, at)[0]


def put_int(d, at, size, value, big=False):
    if 0 <= at and at + size <= len(d):
        struct.pack_into((">" if big else "<") + FMT[size], d, at, value & ((1 << (8 * size)) - 1))


def put(d, at, raw):
    if 0 <= at and at + len(raw) <= len(d):
        d[at:at + len(raw)] = raw


def flip_bits(d, rnd, lo, hi, count):
    lo = max(lo, 0)
    hi = min(hi, len(d))
    if hi <= lo:
        return
    for _ in range(count):
        at = rnd.randrange(lo, hi)
        d[at] ^= 1 << rnd.randrange(8)


def set_field(d, rnd, at, size, big=False, extra=()):
    put_int(d, at, size, edge(rnd, size, extra), big)


HOSTILE_NAMES = ["..", ".", "a/b", "..\\..\\x", "../../../../etc/x", "\x01\x1f\x7f", "/", "\\", "con", "a" * 255,
                 "\ud800", "\udfff", " ", "...", "", "\x00a", "x\x00y"]


def utf16(name):
    out = bytearray()
    for ch in name:
        out += struct.pack("<H", ord(ch))
    return bytes(out)


# CRC-32C (Castagnoli, reflected 0x82F63B78) without the final inversion, as
# ext4 chains it (the seed is the previous value); VHDX keeps the usual one.
def _table(poly):
    t = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ poly if c & 1 else c >> 1
        t.append(c)
    return t


_CRC32C = _table(0x82F63B78)


def crc32c_raw(crc, data):
    t = _CRC32C
    for b in data:
        crc = t[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc


def crc32c(data):
    return crc32c_raw(0xFFFFFFFF, data) ^ 0xFFFFFFFF


_CRC16 = _table(0xA001)


def crc16(crc, data):
    """CRC-16 (reflected 0x8005), as the ext4 group descriptors without
    metadata_csum keep it."""
    t = _CRC16
    for b in data:
        crc = t[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc & 0xFFFF


def ones_sum(data, skip_at, skip_len=4):
    """VHD checksum: the one's complement of the byte sum, the field
    itself left out."""
    total = sum(data[:skip_at]) + sum(data[skip_at + skip_len:])
    return (~total) & 0xFFFFFFFF
