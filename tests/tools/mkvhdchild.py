#!/usr/bin/env python3
"""Writes a differencing VHD over a parent VHD, from the published format.

Usage: mkvhdchild.py PARENT CHILD [--block-size BYTES] [--write SECTOR:COUNT:BYTE]...
                     [--junk BYTE] [--raw-out FILE]

The child is a dynamic-disk layout with disk type 4: footer copy, dynamic
header (parent's unique id and modification time, its name in UTF-16
big-endian and a relative Windows locator ".\\NAME" in UTF-16
little-endian), block allocation table, locator data, then the blocks, each
a sector bitmap (most significant bit first, padded to whole sectors) and
its data, and the footer. Every --write fills COUNT 512-byte sectors from
SECTOR: each sector begins with its sector number (64-bit little-endian)
and the rest is BYTE. Sectors of an allocated block that are not written
hold the --junk byte (default 0xEE) with their bits clear, so a reader that
ignores the bitmap shows. Nothing is random: the child's unique id and time
stamps are derived from the parent's and the writes.
"""
import argparse
import hashlib
import os
import struct

SECTOR = 512
VHD_EPOCH = 946684800  # 2000-01-01 00:00:00 UTC


def checksum(data, at):
    total = sum(data[:at]) + sum(data[at + 4:])
    return (~total) & 0xFFFFFFFF


def sector_data(number, fill):
    return struct.pack("<Q", number) + bytes([fill]) * (SECTOR - 8)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("parent")
    ap.add_argument("child")
    ap.add_argument("--block-size", type=int, default=2 << 20)
    ap.add_argument("--write", action="append", default=[])
    ap.add_argument("--junk", type=lambda v: int(v, 0), default=0xEE)
    args = ap.parse_args()

    with open(args.parent, "rb") as f:
        f.seek(-SECTOR, os.SEEK_END)
        pfooter = f.read(SECTOR)
    if pfooter[:8] != b"conectix":
        raise SystemExit("%s: no VHD footer at its end" % args.parent)
    size = struct.unpack_from(">Q", pfooter, 48)[0]
    geometry = pfooter[56:60]
    parent_id = pfooter[68:84]
    parent_time = (int(os.stat(args.parent).st_mtime) - VHD_EPOCH) & 0xFFFFFFFF
    block = args.block_size
    if block < 4096 or block & (block - 1):
        raise SystemExit("block size must be a power of two from 4096")
    block_sectors = block // SECTOR
    bitmap_sectors = (block_sectors // 8 + SECTOR - 1) // SECTOR
    entries = (size + block - 1) // block

    writes = []
    for w in args.write:
        s, n, b = w.split(":")
        writes.append((int(s, 0), int(n, 0), int(b, 0)))
    seed = hashlib.md5(parent_id + repr((writes, block, os.path.basename(args.child))).encode()).digest()

    # Layout: footer copy, dynamic header, table, locator, blocks.
    table_offset = 3 * SECTOR
    table_bytes = (entries * 4 + SECTOR - 1) // SECTOR * SECTOR
    locator = (".\\" + os.path.basename(args.parent)).encode("utf-16-le")
    locator_offset = table_offset + table_bytes
    locator_space = (len(locator) + SECTOR - 1) // SECTOR * SECTOR
    next_free = locator_offset + locator_space

    # Sector contents by block: {block: {sector_in_block: bytes}}
    blocks = {}
    for first, count, fill in writes:
        for s in range(first, first + count):
            if s >= size // SECTOR:
                raise SystemExit("sector %d is past the disk" % s)
            blocks.setdefault(s // block_sectors, {})[s % block_sectors] = sector_data(s, fill)
    table = [0xFFFFFFFF] * entries
    body = bytearray()
    for b in sorted(blocks):
        table[b] = (next_free + len(body)) // SECTOR
        bitmap = bytearray(bitmap_sectors * SECTOR)
        data = bytearray(bytes([args.junk]) * block)
        for i, content in blocks[b].items():
            bitmap[i // 8] |= 0x80 >> (i % 8)
            data[i * SECTOR:(i + 1) * SECTOR] = content
        body += bitmap + data

    footer = bytearray(SECTOR)
    footer[0:8] = b"conectix"
    struct.pack_into(">IIQI", footer, 8, 2, 0x00010000, SECTOR, (parent_time + 1) & 0xFFFFFFFF)
    footer[28:32] = b"dvtk"
    struct.pack_into(">I", footer, 32, 0x00010000)
    footer[36:40] = b"Wi2k"
    struct.pack_into(">QQ", footer, 40, size, size)
    footer[56:60] = geometry
    struct.pack_into(">I", footer, 60, 4)
    footer[68:84] = seed
    struct.pack_into(">I", footer, 64, checksum(footer, 64))

    header = bytearray(1024)
    header[0:8] = b"cxsparse"
    struct.pack_into(">QQIII", header, 8, 0xFFFFFFFFFFFFFFFF, table_offset, 0x00010000, entries, block)
    header[40:56] = parent_id
    struct.pack_into(">I", header, 56, parent_time)
    name = os.path.basename(args.parent).encode("utf-16-be")[:512]
    header[64:64 + len(name)] = name
    struct.pack_into(">4sIIIQ", header, 576, b"W2ru", locator_space // SECTOR, len(locator), 0, locator_offset)
    struct.pack_into(">I", header, 36, checksum(header, 36))

    with open(args.child, "wb") as f:
        f.write(footer)
        f.write(header)
        f.write(b"".join(struct.pack(">I", e) for e in table).ljust(table_bytes, b"\0"))
        f.write(locator.ljust(locator_space, b"\0"))
        f.write(body)
        f.write(footer)


if __name__ == "__main__":
    main()
