"""Virtual disks: VHD footer, header and BAT (checksums kept), VHDX headers,
region table, BAT and metadata (crc32c kept), VMDK header, grain directory
and tables, the data blocks of each, and chains: the order of the files a
name lists and the parent identities."""
import re
import uuid as uuidlib

from .common import crc32c, edge, flip_bits, get, kind, ones_sum, put, put_int, set_field

# ---------------------------------------------------------------- VHD


def vhd_footer_at(d):
    at = len(d) - 512
    if at >= 0 and d[at:at + 8] == b"conectix":
        return at
    at = len(d) - 511  # an old 511-byte footer
    return at if at >= 0 and d[at:at + 8] == b"conectix" else None


def vhd_fix_footer(d, at):
    if at is not None and at + 512 <= len(d):
        put_int(d, at + 64, 4, 0, True)
        put_int(d, at + 64, 4, ones_sum(d[at:at + 512], 64), True)


def vhd_header_at(d):
    f = vhd_footer_at(d)
    at = get(d, (f if f is not None else 0) + 16, 8, True)
    return at if at + 1024 <= len(d) and d[at:at + 8] == b"cxsparse" else None


def vhd_fix_header(d, at):
    if at is not None:
        put_int(d, at + 36, 4, 0, True)
        put_int(d, at + 36, 4, ones_sum(d[at:at + 1024], 36), True)


def vhd_files(m):
    return [i for i in range(len(m.files)) if vhd_footer_at(m.files[i]) is not None or m.files[i][:8] == b"conectix"]


def pick(m, test):
    cands = [i for i in range(len(m.files)) if test(m.files[i])]
    return m.rnd.choice(cands) if cands else m.rnd.randrange(len(m.files))


@kind("vhdfooter", ["vhd", "vhdchain"], "VHD footer fields (data offset, sizes, geometry, disk type), in the "
      "footer, its copy or both, the checksum recomputed")
def vhdfooter(m):
    i = pick(m, lambda d: vhd_footer_at(d) is not None)
    d, rnd = m.files[i], m.rnd
    places = [p for p in (vhd_footer_at(d), 0 if d[:8] == b"conectix" else None) if p is not None]
    if not places:
        flip_bits(d, rnd, len(d) - 512, len(d), 8)
        return
    if rnd.random() < 0.5:
        places = [rnd.choice(places)]
    fields = [(8, 4), (12, 4), (16, 8), (40, 8), (48, 8), (56, 4), (60, 4)]
    changes = [(rnd.choice(fields), None) for _ in range(rnd.randint(1, 2))]
    for (off, size), _ in changes:
        value = edge(rnd, size, [2, 3, 4, 5, 512, len(d), len(d) - 512, 1 << 41, 0x00010000])
        for p in places:
            put_int(d, p + off, size, value, True)
    if rnd.random() < 0.9:
        for p in places:
            vhd_fix_footer(d, p)


@kind("vhdheader", ["vhd", "vhdchain"], "VHD dynamic header fields (table offset, entries, block size, parent "
      "id), the checksum recomputed")
def vhdheader(m):
    i = pick(m, lambda d: vhd_header_at(d) is not None)
    d, rnd = m.files[i], m.rnd
    at = vhd_header_at(d)
    if at is None:
        flip_bits(d, rnd, 0, 2048, 16)
        return
    fields = [(8, 8), (16, 8), (24, 4), (28, 4), (32, 4), (56, 4)]
    for _ in range(rnd.randint(1, 2)):
        off, size = rnd.choice(fields)
        set_field(d, rnd, at + off, size, True, extra=[512, 4096, 0x200000, 0x100000, 1 << 31, 3, len(d)])
    if rnd.random() < 0.2:
        flip_bits(d, rnd, at + 64, at + 1024, 8)  # parent name and locators
    if rnd.random() < 0.9:
        vhd_fix_header(d, at)


@kind("vhdbat", ["vhd", "vhdchain"], "VHD block allocation table entries: unused, past the end, over the "
      "footer or the header, two blocks in one place")
def vhdbat(m):
    i = pick(m, lambda d: vhd_header_at(d) is not None)
    d, rnd = m.files[i], m.rnd
    at = vhd_header_at(d)
    if at is None:
        return
    table = get(d, at + 16, 8, True)
    n = get(d, at + 28, 4, True)
    if n == 0 or table + 4 * n > len(d):
        return
    used = [k for k in range(n) if get(d, table + 4 * k, 4, True) != 0xFFFFFFFF] or [0]
    for _ in range(rnd.randint(1, 6)):
        k = rnd.choice(used if rnd.random() < 0.7 else list(range(n)))
        other = get(d, table + 4 * rnd.choice(used), 4, True)
        put_int(d, table + 4 * k, 4, rnd.choice([0xFFFFFFFF, 0, 1, 2, other, len(d) // 512, len(d) // 512 - 1,
                                                 (len(d) // 512) + 1, table // 512, 0x7FFFFFFF,
                                                 rnd.getrandbits(32)]), True)

# ---------------------------------------------------------------- VHDX

BAT_GUID = uuidlib.UUID("2DC27766-F623-4200-9D64-115E9BFD4A08").bytes_le
META_GUID = uuidlib.UUID("8B7CA206-4790-4B9A-B8FE-575F050F886E").bytes_le


def vhdx_fix(d, at, size):
    if at + size <= len(d):
        put_int(d, at + 4, 4, 0)
        put_int(d, at + 4, 4, crc32c(bytes(d[at:at + size])))


def vhdx_regions(d):
    """GUID -> (offset, length) from the first region table."""
    out = {}
    t = 0x30000
    n = get(d, t + 8, 4)
    for k in range(min(n, 64)):
        e = t + 16 + 32 * k
        out[bytes(d[e:e + 16])] = (get(d, e + 16, 8), get(d, e + 24, 4))
    return out


@kind("vhdxhdr", ["vhdx"], "a VHDX header (or both): sequence number, log GUID, log place and length, versions, "
      "the crc32c recomputed")
def vhdxhdr(m):
    d, rnd = m.files[0], m.rnd
    heads = [0x10000, 0x20000] if rnd.random() < 0.3 else [rnd.choice([0x10000, 0x20000])]
    for h in heads:
        what = rnd.randrange(4)
        if what == 0:
            set_field(d, rnd, h + 8, 8, extra=[get(d, 0x10000 + 8, 8) + 1, get(d, 0x20000 + 8, 8) + 1])
        elif what == 1:
            put(d, h + 48, bytes(rnd.getrandbits(8) for _ in range(16)) if rnd.random() < 0.7 else bytes(16))
        elif what == 2:
            off, size = rnd.choice([(64, 2), (66, 2), (68, 4), (72, 8)])
            set_field(d, rnd, h + off, size, extra=[0x100000, len(d), 1 << 20])
        else:
            flip_bits(d, rnd, h, h + 80, rnd.randint(1, 4))
        if rnd.random() < 0.9:
            vhdx_fix(d, h, 4096)


@kind("vhdxregion", ["vhdx"], "VHDX region table entries: count, offsets, lengths, required flags, GUIDs, the "
      "crc32c recomputed (one table or both)")
def vhdxregion(m):
    d, rnd = m.files[0], m.rnd
    tables = [0x30000, 0x40000] if rnd.random() < 0.5 else [0x30000]
    n = max(1, get(d, 0x30000 + 8, 4))
    what = rnd.randrange(4)
    k = rnd.randrange(min(n, 8))
    off, size = rnd.choice([(16, 8), (24, 4), (28, 4)])
    value = edge(rnd, size, [0x100000, 0x200000, len(d), len(d) - 0x100000, 0x100001, 2048, 2047])
    guid = bytes(rnd.getrandbits(8) for _ in range(16))
    for t in tables:
        if what == 0:
            put_int(d, t + 8, 4, rnd.choice([0, 1, 2047, 2048, 0xFFFFFFFF, n + 1]))
        elif what == 1:
            put_int(d, t + 16 + 32 * k + off, size, value)
        elif what == 2:
            put(d, t + 16 + 32 * k, guid)
        else:
            e = t + 16 + 32 * k
            other = t + 16 + 32 * ((k + 1) % n)
            put(d, e + 16, bytes(d[other + 16:other + 28]))  # two regions in one place
        if rnd.random() < 0.9:
            vhdx_fix(d, t, 65536)


@kind("vhdxbat", ["vhdx"], "VHDX BAT entries: states, offsets past the end or over the headers, two blocks in "
      "one place")
def vhdxbat(m):
    d, rnd = m.files[0], m.rnd
    reg = vhdx_regions(d)
    if BAT_GUID not in reg:
        return
    at, ln = reg[BAT_GUID]
    n = min(ln // 8, 4096)
    if n == 0 or at + 8 * n > len(d):
        return
    used = [k for k in range(n) if get(d, at + 8 * k, 8) & 7 in (6, 7)] or [0]
    for _ in range(rnd.randint(1, 6)):
        k = rnd.choice(used if rnd.random() < 0.7 else list(range(n)))
        e = at + 8 * k
        what = rnd.randrange(3)
        if what == 0:
            put_int(d, e, 8, (get(d, e, 8) & ~7) | rnd.randrange(8))
        elif what == 1:
            mb = rnd.choice([0, 1, 2, 3, len(d) >> 20, (len(d) >> 20) + 1, 1 << 40, (1 << 44) - 1])
            put_int(d, e, 8, (mb << 20) | rnd.choice([6, 7, get(d, e, 8) & 7]))
        else:
            put_int(d, e, 8, get(d, at + 8 * rnd.choice(used), 8))


META_ITEMS = {
    uuidlib.UUID("CAA16737-FA36-4D43-B3B6-33F0AA44E76B").bytes_le: [(0, 4), (4, 4)],  # block size, flags
    uuidlib.UUID("2FA54224-CD1B-4876-B211-5DBED83BF4B8").bytes_le: [(0, 8)],  # virtual disk size
    uuidlib.UUID("8141BF1D-A96F-4709-BA47-F233A8FAAB5F").bytes_le: [(0, 4)],  # logical sector
    uuidlib.UUID("CDA348C7-445D-4471-9CC9-E9885251C556").bytes_le: [(0, 4)],  # physical sector
}


@kind("vhdxmeta", ["vhdx"], "VHDX metadata: the table's count and entries, block size, disk size, sector sizes")
def vhdxmeta(m):
    d, rnd = m.files[0], m.rnd
    reg = vhdx_regions(d)
    if META_GUID not in reg:
        return
    md, _ = reg[META_GUID]
    n = get(d, md + 10, 2)
    if rnd.random() < 0.3:
        k = rnd.randrange(max(1, min(n, 16)))
        off, size = rnd.choice([(10, 2)] if rnd.random() < 0.3 else [(32 + 32 * k + 16, 4), (32 + 32 * k + 20, 4),
                                                                       (32 + 32 * k + 24, 4)])
        set_field(d, rnd, md + off, size, extra=[0x10000, 2047, 2048, 4096, 0x100000])
        return
    for k in range(min(n, 16)):
        e = md + 32 + 32 * k
        fields = META_ITEMS.get(bytes(d[e:e + 16]))
        if fields and rnd.random() < 0.5:
            at = md + get(d, e + 16, 4)
            off, size = rnd.choice(fields)
            set_field(d, rnd, at + off, size, extra=[512, 4096, 1000, 0x100000, 0x300000, 1 << 28, 1 << 40,
                                                     (1 << 26) + 512])
            return

# ---------------------------------------------------------------- VMDK


def vmdk_files(m):
    return [i for i in range(len(m.files)) if m.files[i][:4] == b"KDMV"]


@kind("vmdkhdr", ["vmdk", "vmdkchain"], "VMDK header fields: capacity, grain size, descriptor place, "
      "entries per table, directory places, overhead, compression; descriptor lines")
def vmdkhdr(m):
    i = pick(m, lambda d: d[:4] == b"KDMV")
    d, rnd = m.files[i], m.rnd
    if rnd.random() < 0.2:  # the descriptor's extent line and type
        at = get(d, 28, 8) * 512
        text = bytes(d[at:at + get(d, 36, 8) * 512])
        for pat, repl in [(rb"RW \d+", b"RW " + str(rnd.choice([0, 1, 1 << 40, 49153])).encode()),
                          (rb'createType="[a-zA-Z]+"', b'createType="' + rnd.choice([b"vmfs", b"streamOptimized",
                                                                                     b"twoGbMaxExtentSparse",
                                                                                     b"x"]) + b'"'),
                          (rb"SPARSE", rnd.choice([b"FLAT", b"ZERO", b"VMFS"]))]:
            if rnd.random() < 0.5:
                text = re.sub(pat, repl, text, count=1)
        put(d, at, text[:get(d, 36, 8) * 512])
        return
    fields = [(4, 4), (8, 4), (12, 8), (20, 8), (28, 8), (36, 8), (44, 4), (48, 8), (56, 8), (64, 8), (77, 2)]
    for _ in range(rnd.randint(1, 2)):
        off, size = rnd.choice(fields)
        set_field(d, rnd, off + 0, size, extra=[3, 7, 8, 16, 128, 129, 512, 513, len(d) // 512, 1 << 31])


def vmdk_gd(d):
    cap, grain, per = get(d, 12, 8), get(d, 20, 8), get(d, 44, 4)
    gd = get(d, 56, 8) * 512
    if not grain or not per:
        return gd, 0
    n = (cap + grain * per - 1) // (grain * per)
    return gd, min(n, 1 << 16)


@kind("vmdkgd", ["vmdk", "vmdkchain"], "VMDK grain directory entries (the main or the redundant one): none, past "
      "the end, over the header, two tables in one place")
def vmdkgd(m):
    i = pick(m, lambda d: d[:4] == b"KDMV")
    d, rnd = m.files[i], m.rnd
    gd, n = vmdk_gd(d)
    if rnd.random() < 0.3:
        gd = get(d, 48, 8) * 512
    if n == 0:
        return
    for _ in range(rnd.randint(1, 4)):
        k = rnd.randrange(n)
        other = get(d, gd + 4 * rnd.randrange(n), 4)
        put_int(d, gd + 4 * k, 4, rnd.choice([0, 1, other, len(d) // 512, len(d) // 512 + 1, 0xFFFFFFFF,
                                              get(d, 56, 8), rnd.getrandbits(32)]))


@kind("vmdkgt", ["vmdk", "vmdkchain"], "VMDK grain table entries: unallocated, the zero grain, past the end, "
      "over the metadata, two grains in one place")
def vmdkgt(m):
    i = pick(m, lambda d: d[:4] == b"KDMV")
    d, rnd = m.files[i], m.rnd
    gd, n = vmdk_gd(d)
    per = get(d, 44, 4)
    tables = [get(d, gd + 4 * k, 4) * 512 for k in range(n)]
    tables = [t for t in tables if 0 < t and t + 4 * per <= len(d)]
    if not tables or not per:
        return
    t = rnd.choice(tables)
    used = [k for k in range(per) if get(d, t + 4 * k, 4) > 1] or [0]
    for _ in range(rnd.randint(1, 8)):
        k = rnd.choice(used if rnd.random() < 0.7 else list(range(per)))
        other = get(d, t + 4 * rnd.choice(used), 4)
        put_int(d, t + 4 * k, 4, rnd.choice([0, 1, other, len(d) // 512, len(d) // 512 - 1, 0xFFFFFFFF, 2,
                                             get(d, 56, 8), rnd.getrandbits(32)]))


@kind("vdata", ["vhd", "vhdx", "vmdk"], "bit flips in the data blocks of a virtual disk (the volumes inside it)")
def vdata(m):
    d, rnd = m.files[0], m.rnd
    lo = min(len(d), 0x100000 if d[:8] == b"vhdxfile" else 0x10000)
    for _ in range(rnd.randint(1, 4)):
        at = rnd.randrange(lo, max(lo + 1, len(d)))
        flip_bits(d, rnd, at, at + 4096, rnd.randint(1, 32))

# ---------------------------------------------------------------- chains


@kind("chain", ["vhdchain", "vmdkchain"], "the chain's name: files reversed, repeated, left out, more than "
      "eight, an empty or relative member, no closing parenthesis")
def chain(m):
    rnd = m.rnd
    n = len(m.files)
    what = rnd.randrange(7)
    if what == 0:
        m.order = list(reversed(range(n)))
    elif what == 1:
        m.order = [0] + list(range(n))
    elif what == 2:
        m.order = [n - 1]
    elif what == 3:
        m.order = [0] * 9 + [n - 1]
    elif what == 4:
        m.order = list(range(n)) + [n - 1]
    elif what == 5:
        m.name_text = "empty"
    else:
        m.name_text = rnd.choice(["relative", "open", "pipe"])


@kind("parentid", ["vhdchain", "vmdkchain"], "parent identities: the child's parent id or the parent's own id "
      "changed (checksums kept), VMDK CID and parentCID, the parent name hint")
def parentid(m):
    rnd = m.rnd
    if m.base.family == "vhdchain":
        child, parent = m.files[-1], m.files[0]
        if rnd.random() < 0.6:
            at = vhd_header_at(child)
            if at is None:
                return
            put(child, at + 40, rnd.choice([bytes(16), bytes(rnd.getrandbits(8) for _ in range(16)),
                                            bytes(child[len(child) - 512 + 68:len(child) - 512 + 84])]))
            if rnd.random() < 0.4:
                put_int(child, at + 56, 4, rnd.getrandbits(32), True)  # the parent's time
            vhd_fix_header(child, at)
        else:
            f = vhd_footer_at(parent)
            if f is None:
                return
            uid = bytes(rnd.getrandbits(8) for _ in range(16))
            for p in (f, 0):
                if parent[p:p + 8] == b"conectix":
                    put(parent, p + 68, uid)
                    vhd_fix_footer(parent, p)
        return
    i = rnd.randrange(len(m.files))
    d = m.files[i]
    at = get(d, 28, 8) * 512
    size = get(d, 36, 8) * 512
    text = bytes(d[at:at + size])
    what = rnd.randrange(3)
    if what == 0:
        text = re.sub(rb"parentCID=[0-9a-fA-F]{8}", b"parentCID=" + rnd.choice([b"ffffffff", b"00000000",
                                                                                 b"%08x" % rnd.getrandbits(32)]),
                      text, count=1)
    elif what == 1:
        text = re.sub(rb"\nCID=[0-9a-fA-F]{8}", b"\nCID=%08x" % rnd.getrandbits(32), text, count=1)
    else:
        hint = rnd.choice([b"../../../etc/passwd", b"/dev/zero", b"", b"x" * 200, b"chain-c.vmdk"])
        if b"parentFileNameHint" in text:
            text = re.sub(rb'parentFileNameHint="[^"]*"', b'parentFileNameHint="' + hint + b'"', text, count=1)
        else:
            text = text.replace(b"\n# Extent", b'\nparentFileNameHint="' + hint + b'"\n# Extent', 1)
    put(d, at, text[:size])
