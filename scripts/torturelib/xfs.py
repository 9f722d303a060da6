"""XFS: superblock fields, inode cores and forks (extent records, the
B+tree root), folder blocks and shortform folders. Big-endian; CRCs are
left as they are (the reader checks none)."""
from .common import HOSTILE_NAMES, edge, flip_bits, get, kind, put, put_int, set_field


class Xfs:
    def __init__(self, d, start):
        self.d, self.start = d, start
        self.ok = bytes(d[start:start + 4]) == b"XFSB"
        if not self.ok:
            return
        self.bs = get(d, start + 4, 4, True)
        self.agblocks = get(d, start + 84, 4, True)
        self.agcount = get(d, start + 88, 4, True)
        self.isize = get(d, start + 104, 2, True)
        self.inopblog = d[start + 123]
        self.agblklog = d[start + 124]
        self.v5 = (get(d, start + 100, 2, True) & 0xF) == 5
        self.ok = self.bs in (512, 1024, 2048, 4096, 8192, 16384, 32768, 65536) and self.isize >= 256 and \
            self.agblocks > 0 and 0 < self.agcount < 64

    def inode_at(self, n):
        width = self.agblklog + self.inopblog
        ag, agino = n >> width, n & ((1 << width) - 1)
        block = ag * self.agblocks + (agino >> self.inopblog)
        at = self.start + block * self.bs + (agino & ((1 << self.inopblog) - 1)) * self.isize
        return at if at + self.isize <= len(self.d) else None

    def inodes(self, limit=400):
        """(offset, version) of inode cores in use, scanning the image."""
        out = []
        d = self.d
        for at in range(self.start, len(d) - self.isize, self.isize):
            if d[at:at + 2] == b"IN" and d[at + 4] in (1, 2, 3) and get(d, at + 2, 2, True):
                out.append((at, d[at + 4]))
                if len(out) >= limit:
                    break
        return out

    def folder_blocks(self, limit=64):
        d = self.d
        out = []
        for at in range(self.start, len(d) - self.bs, self.bs):
            if bytes(d[at:at + 4]) in (b"XD2B", b"XD2D", b"XDB3", b"XDD3"):
                out.append(at)
                if len(out) >= limit:
                    break
        return out


def volume(m):
    i, start = m.volume(["xfs"])
    d = m.files[i]
    return d, Xfs(d, start)


@kind("xfssb", ["xfs"], "one superblock field (sizes, counts, logs, root, features) set to an edge value, in the "
      "primary or group 1's copy")
def xfssb(m):
    d, v = volume(m)
    rnd = m.rnd
    at = v.start
    if v.ok and rnd.random() < 0.3:
        at = v.start + v.agblocks * v.bs
    fields = [(4, 4), (8, 8), (56, 8), (84, 4), (88, 4), (100, 2), (102, 2), (104, 2), (106, 2), (120, 1), (123, 1),
              (124, 1), (128, 8), (136, 8), (192, 1), (200, 4), (208, 4), (212, 4), (216, 4)]
    for _ in range(rnd.randint(1, 2)):
        off, size = rnd.choice(fields)
        set_field(d, rnd, at + off, size, True, extra=[0x20, 0x3F, 1, 5, 0x8000, 128, 256, 512, 4096, 65536, 17])


@kind("xfsinode", ["xfs"], "an inode core's mode, version, format, size, extent count or fork offset, or its fork "
      "(extent records, the B+tree root's level and count and pointers) set to edge values")
def xfsinode(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, v.start + (1 << 20), 32)
        return
    cores = v.inodes()
    if not cores:
        return
    at, version = rnd.choice(cores)
    fork = at + (176 if version == 3 else 100)
    for _ in range(rnd.randint(1, 3)):
        what = rnd.randrange(4)
        if what == 0:
            off, size = rnd.choice([(2, 2), (4, 1), (5, 1), (56, 8), (76, 4), (82, 1), (120, 8), (40, 8)])
            set_field(d, rnd, at + off, size, True, extra=[0x4000, 0x8000, 0xA000, 3, 4, 255, v.isize])
        elif what == 1:  # an extent record's words
            rec = fork + 16 * rnd.randrange(4)
            set_field(d, rnd, rec + rnd.choice([0, 8]), 8, True, extra=[1 << 63, (1 << 21) - 1, 1 << 52])
        elif what == 2:  # the B+tree root: level, count, a pointer
            off, size = rnd.choice([(0, 2), (2, 2), (4, 8), (4 + 8 * 9, 8)])
            set_field(d, rnd, fork + off, size, True, extra=[16, 17, 9, 10, 0xFFFF])
        else:
            flip_bits(d, rnd, fork, at + v.isize, rnd.randint(1, 8))


@kind("xfsdir", ["xfs"], "folder blocks (entry inode numbers, name lengths, tags, free tags and lengths, the leaf "
      "count, hostile names) and shortform folders (counts, parent, entries)")
def xfsdir(m):
    d, v = volume(m)
    rnd = m.rnd
    if not v.ok:
        flip_bits(d, rnd, v.start, len(d), 64)
        return
    blocks = v.folder_blocks()
    if blocks and rnd.random() < 0.6:
        b = rnd.choice(blocks)
        head = 64 if bytes(d[b + 3:b + 4]) == b"3" else 16
        at = b + head + 8 * rnd.randrange(0, 64)
        what = rnd.randrange(4)
        if what == 0:
            set_field(d, rnd, at, 8, True, extra=[128, 1 << 32, 1 << 40])
        elif what == 1:
            set_field(d, rnd, at + 8, 1, extra=[0, 1, 2, 255])
        elif what == 2:
            name = rnd.choice(HOSTILE_NAMES).encode("utf-8", "surrogatepass")[:d[at + 8] or 1]
            put(d, at + 9, name)
        else:
            set_field(d, rnd, b + v.bs - 8, 4, True, extra=[0, 1, v.bs // 8, 0xFFFFFFFF])
        return
    cores = [(at, ver) for at, ver in v.inodes() if d[at + 5] == 1 and (get(d, at + 2, 2, True) & 0xF000) == 0x4000]
    if not cores:
        return
    at, ver = rnd.choice(cores)
    fork = at + (176 if ver == 3 else 100)
    off, size = rnd.choice([(0, 1), (1, 1), (2, 4), (6, 1), (7, 2), (9 + rnd.randrange(8), 1)])
    set_field(d, rnd, fork + off, size, True, extra=[0, 1, 2, 255, 128])
