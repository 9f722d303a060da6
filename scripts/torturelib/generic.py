"""Kinds of every raw image: boot blocks, partition tables, truncation."""
import struct
import zlib

from .common import flip_bits, get, kind, put_int, set_field
from . import ntfs


@kind("boot", ["ntfs", "fat", "exfat", "ext", "xfs"], "bit flips in a volume's boot sector or superblock (or a backup)")
def boot(m):
    i, start = m.volume(["ntfs", "fat", "exfat", "ext", "xfs"])
    fam = next(f for j, s, f in m.base.volumes if j == i and s == start)
    d, rnd = m.files[i], m.rnd
    n = rnd.randint(1, 8)
    if fam == "ntfs":
        v = ntfs.Volume(d, start)
        if v.ok and rnd.random() < 0.3 and v.total and start + v.total < len(d):
            flip_bits(d, rnd, start + v.total, start + v.total + 512, n)
        else:
            flip_bits(d, rnd, start, start + 512, n)
    elif fam == "fat":
        backup = get(d, start + 50, 2) if get(d, start + 22, 2) == 0 else 0
        if backup and backup < 32 and rnd.random() < 0.3:
            flip_bits(d, rnd, start + backup * 512, start + backup * 512 + 512, n)
        else:
            flip_bits(d, rnd, start, start + 512, n)
    elif fam == "exfat":
        region = 12 if rnd.random() < 0.3 else 0
        flip_bits(d, rnd, start + region * 512, start + (region + 12) * 512, n)
    elif fam == "xfs":
        # The superblock and its group headers, or group 1's copy.
        at = start + get(d, start + 84, 4, True) * get(d, start + 4, 4, True) if rnd.random() < 0.3 else start
        flip_bits(d, rnd, at, at + 2048, n)
    else:
        sb = start + 1024
        bs = 1024 << min(get(d, sb + 0x18, 4), 6)
        bpg = get(d, sb + 0x20, 4)
        at = start + (bpg + (1 if bs == 1024 else 0)) * bs  # group 1's copy
        if bpg and at + 1024 <= len(d) and rnd.random() < 0.3:
            flip_bits(d, rnd, at, at + 1024, n)
        else:
            flip_bits(d, rnd, sb, sb + 1024, n)


@kind("trunc", ["ntfs", "fat", "exfat", "ext", "ufs", "extraw", "xfs", "hfs", "vmfs", "refs", "disk", "vhd", "vhdx",
                 "vmdk", "vhdchain", "vmdkchain", "carve", "zfs"], "the image (or one file of a chain) cut short")
def trunc(m):
    i = m.rnd.randrange(len(m.files))
    d = m.files[i]
    if not d:
        return
    if m.rnd.random() < 0.5:
        m.files[i] = d[:m.rnd.randrange(0, len(d))]
    else:
        m.files[i] = d[:m.rnd.randrange(0, len(d) // 512) * 512]


def gpt_fix(d, hdr):
    """The CRC-32s of a GPT header at HDR and of its entry array."""
    lba = get(d, hdr + 72, 8)
    count, size = get(d, hdr + 80, 4), get(d, hdr + 84, 4)
    at = lba * 512
    if count * size <= 1 << 20 and at + count * size <= len(d):
        put_int(d, hdr + 88, 4, zlib.crc32(bytes(d[at:at + count * size])))
    hsize = get(d, hdr + 12, 4)
    if 92 <= hsize <= 512:
        put_int(d, hdr + 16, 4, 0)
        put_int(d, hdr + 16, 4, zlib.crc32(bytes(d[hdr:hdr + hsize])))


@kind("parttable", ["disk", "ntfsdisk"],
      "bit flips or edge values in the partition table (MBR, GPT with its CRCs kept)")
def parttable(m):
    d, rnd = m.files[0], m.rnd
    gpt = d[512:520] == b"EFI PART"
    if rnd.random() < 0.5:
        flip_bits(d, rnd, 0, 34 * 512 if gpt else 512, rnd.randint(1, 16))
        return
    if not gpt or rnd.random() < 0.3:
        e = 446 + 16 * rnd.randrange(4)
        off, size = rnd.choice([(0, 1), (4, 1), (8, 4), (12, 4)])
        set_field(d, rnd, e + off, size, extra=[len(d) // 512, len(d) // 512 - 1, 0xEE, 0x05, 0x0F])
        return
    hdr = 512
    what = rnd.randrange(3)
    if what == 0:
        off, size = rnd.choice([(12, 4), (24, 8), (32, 8), (40, 8), (48, 8), (72, 8), (80, 4), (84, 4)])
        set_field(d, rnd, hdr + off, size, extra=[len(d) // 512, 128, 129, 0x80, 1 << 20])
    else:
        lba = get(d, hdr + 72, 8)
        e = lba * 512 + 128 * rnd.randrange(4)
        off, size = rnd.choice([(32, 8), (40, 8), (48, 8), (56, 8)])
        set_field(d, rnd, e + off, size, extra=[len(d) // 512, len(d) // 512 - 1, 2047])
    if rnd.random() < 0.9:
        gpt_fix(d, hdr)
    if rnd.random() < 0.3:  # no backup header to fall back on
        alt = len(d) - 512
        if d[alt:alt + 8] == b"EFI PART":
            d[alt:alt + 512] = bytes(512)


@kind("mixed", ["ntfs", "fat", "exfat", "ext", "xfs", "hfs", "vmfs", "refs", "disk", "ntfsdisk", "vhd", "vhdx", "vmdk",
                "vhdchain", "vmdkchain", "session", "carve", "zfs"], "two or three of the base's other kinds at once (a cut last)")
def mixed(m):
    from .common import KINDS
    ks = [k for k in m.base.kinds() if k != "mixed"]
    picked = m.rnd.sample(ks, min(len(ks), m.rnd.randint(2, 3)))
    picked.sort(key=lambda k: k == "trunc")
    for k in picked:
        KINDS[k].fn(m)
