"""VMFS: the volume manager's header and the file-system descriptor, the
resource files' headers, file descriptors (types, sizes, addressing modes,
block addresses), pointer blocks and directory entries (types, addresses,
hostile names)."""
from .common import HOSTILE_NAMES, edge, flip_bits, get, kind, put, put_int, set_field

LVM_AT = 0x100000
AREA = 0x1100000
FD_MAGIC = 0x10C00001


class Vmfs:
    def __init__(self, d, start):
        self.d, self.start = d, start
        self.area = start + AREA
        self.bs = get(d, self.area + 0x200000 + 161, 4)
        self.ok = get(d, start + LVM_AT, 4) == 0xC001D00D and self.bs in (1 << 20, 2 << 20, 4 << 20, 8 << 20)
        if not self.ok:
            return
        self.fdc = self.area + self.bs * (1 + ((4 << 20) - 1) // self.bs)
        r, c, h, s = (get(d, self.fdc + k, 4) for k in (0, 4, 8, 12))
        self.ok = 0 < r <= 1024 and 0 < c <= 64 and 2048 <= s <= 65536 and h < self.bs
        self.r, self.c, self.h, self.s = r, c, h, s

    def descriptors(self):
        """Offsets of the descriptors of the first cluster."""
        first = self.fdc + self.h + self.c * 1024
        return [first + j * self.s for j in range(self.r)
                if first + (j + 1) * self.s <= len(self.d) and get(self.d, first + j * self.s, 4) == FD_MAGIC]

    def block_at(self, address):
        return self.area + (address >> 6) * self.bs if address & 7 == 1 else None

    def dir_entries(self, limit=2000):
        """Offsets of directory entries of folders kept in file blocks or in
        their descriptor."""
        out = []
        for fd in self.descriptors():
            if get(self.d, fd + 524, 4) != 2:
                continue
            size = min(get(self.d, fd + 532, 8), 1 << 20)
            mode = get(self.d, fd + 580, 4)
            if mode == 4305:
                ranges = [(fd + 1024, min(size, 1024))]
            elif mode == 1:
                ranges = []
                for k in range(min(256, (size + self.bs - 1) // self.bs)):
                    at = self.block_at(get(self.d, fd + 1024 + 4 * k, 4))
                    if at is not None:
                        ranges.append((at, min(self.bs, size - k * self.bs)))
            else:
                continue
            for at, n in ranges:
                for e in range(at, min(at + n, len(self.d) - 140), 140):
                    out.append(e)
                    if len(out) >= limit:
                        return out
        return out


def volume(m):
    i, start = m.volume(["vmfs"])
    return m.files[i], Vmfs(m.files[i], start)


@kind("vmfshdr", ["vmfs"], "the volume manager's header (version, size) and the file-system descriptor "
      "(version, label, file block size) set to edge values")
def vmfshdr(m):
    d, v = volume(m)
    rnd = m.rnd
    fields = [(v.start + LVM_AT + 4, 4), (v.start + LVM_AT + 0x5E, 8), (v.area + 0x200000 + 4, 4),
              (v.area + 0x200000 + 161, 4), (v.area + 0x200000 + 161, 8)]
    for _ in range(rnd.randint(1, 2)):
        at, size = rnd.choice(fields)
        set_field(d, rnd, at, size, extra=[3, 5, 6, 14, 24, 1 << 20, 16 << 20, 3 << 20])
    if rnd.random() < 0.2:
        put(d, v.area + 0x200000 + 29, b"\xff" * 128)  # a label without an end


@kind("vmfsres", ["vmfs"], "a resource file's header: resources per cluster, clusters per group, header, "
      "resource and group sizes, counts")
def vmfsres(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.area, v.area + (8 << 20), 16)
        return
    heads = [v.fdc]
    # The pointer-block and sub-block files' headers: the blocks after the
    # descriptor cluster that start like one.
    for k in range(1, 40):
        at = v.fdc + k * v.bs
        if at + 28 < len(d) and 0 < get(d, at, 4) <= 1024 and get(d, at + 12, 4) % 512 == 0 and get(d, at + 12, 4):
            heads.append(at)
    at = rnd.choice(heads)
    for _ in range(rnd.randint(1, 2)):
        set_field(d, rnd, at + 4 * rnd.randrange(7), 4, extra=[v.bs, v.bs - 1024, 15, 16, 17, 32, 33, 2048])


@kind("vmfsfd", ["vmfs"], "file descriptors: type, size, addressing mode and block addresses of every kind, "
      "to be zeroed, past the volume")
def vmfsfd(m):
    d, v = volume(m)
    rnd = m.rnd
    fds = v.descriptors() if v.ok else []
    if not fds:
        flip_bits(d, rnd, v.area, v.area + (8 << 20), 16)
        return
    for _ in range(rnd.randint(1, 3)):
        fd = rnd.choice(fds)
        what = rnd.randrange(5)
        if what == 0:
            put_int(d, fd + 524, 4, rnd.choice([0, 1, 2, 3, 4, 5, 6, 7, 0xFFFFFFFF]))
        elif what == 1:
            put_int(d, fd + 532, 8, edge(rnd, 8, [v.bs * 256, v.bs * 256 + 1, v.bs * (1 << 20), len(d)]))
        elif what == 2:
            put_int(d, fd + 580, 4, rnd.choice([0, 1, 2, 3, 4, 5, 4303, 4304, 4305, 4306, 0xFFFFFFFF]))
        elif what == 3:
            k = rnd.randrange(256)
            kind_ = rnd.randrange(8)
            put_int(d, fd + 1024 + 4 * k, 4, (rnd.getrandbits(29) << 3) | kind_)
        else:
            put_int(d, fd, 4, rnd.choice([0, FD_MAGIC + 1, 0x10C00002]))


@kind("vmfsdir", ["vmfs"], "directory entries: types, descriptor addresses (other kinds, items past the "
      "cluster), hostile and unterminated names")
def vmfsdir(m):
    d, v = volume(m)
    rnd = m.rnd
    ents = v.dir_entries() if v.ok else []
    if not ents:
        flip_bits(d, rnd, v.area, v.area + (8 << 20), 16)
        return
    for _ in range(rnd.randint(1, 3)):
        e = rnd.choice(ents)
        what = rnd.randrange(4)
        if what == 0:
            put_int(d, e, 4, rnd.choice([0, 1, 2, 3, 4, 5, 6, 7, 0xFFFFFFFF]))
        elif what == 1:
            a = get(d, e + 4, 4)
            put_int(d, e + 4, 4, rnd.choice([a ^ (1 << rnd.randrange(32)), (1023 << 22) | 4, (0x7FFF << 6) | 4,
                                             a & ~7 | rnd.randrange(8), 4]))
        elif what == 2:
            name = rnd.choice(HOSTILE_NAMES).encode("utf-8", "surrogatepass")[:127]
            put(d, e + 12, name + bytes(128 - len(name)))
        else:
            put(d, e + 12, bytes([rnd.choice([0x2F, 0x5C, 0x41, 0xFF])]) * 128)
