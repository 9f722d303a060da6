#!/usr/bin/env python3
"""Cuts fuzzing seeds out of the NTFS test images (tests/fixtures/ntfs).

Usage: make_seeds.py CORPUS_DIR

Writes CORPUS_DIR/<target>/<name> for:
  fuzz_lznt1   the compressed units of basic's comp/ files, as ntfsinfo's run
               lists give them (first byte 0: 4096-byte units)
  fuzz_indx    INDX records of bigdir's and sect4096's folders (clusters from
               istat) and the $INDEX_ROOT attributes of small folders
  fuzz_record  FILE records of basic and sect4096 as on disk (not fixed up)
  fuzz_orphans the first 24 MFT records of basic and sect4096 in a row
  fuzz_boot    the boot sector of every image
  fuzz_recycler  basic's $I records (from their FILE records) and an INFO2
               file made here
  fuzz_carve_*   the picture samples of tests/fixtures/carve (behind the
               targets' read-split bytes), INDX records for the bookkeeping
               kinds, and a small disk of samples for the driver; the
               archive and document samples for their parsers, the Office
               property reader and the ZIP record scan, and a phrase list
               with document text; the audio, video and bkf samples for
               their parsers and the two traces
  fuzz_vhd, fuzz_vhdx, fuzz_vmdk  VHD, VHDX and VMDK files made by qemu-img
               (when it is installed), as pieces of a sparse file
  fuzz_raid_definition, fuzz_raid_schema  definition strings and a schema
               file written here
  fuzz_ext_inode, fuzz_ext_dir, fuzz_unix_blockmap  small ext2 and ext4
               images made by mke2fs (when it is installed), whole and in
               8 KiB slices
  fuzz_ext_folder  an ext4 and an ext2 image whose folder of 120 files has
               its blocks apart, its first four bytes naming each of the
               first inodes
  fuzz_exfat_dir  boot sector and root folder of volumes mkfs.exfat makes
               (when it is installed) and of the exFAT fixtures in the
               fixture cache ($DV_FIXTURE_CACHE, else build/fixtures)
  fuzz_fat_cache, fuzz_fat_dir, fuzz_fat_finder, fuzz_fat_orphans
               FAT12/16/32 volumes mkfs.fat makes and mtools fills (when
               installed): the non-zero sectors of their first MiB as
               pieces of an image (for the orphan sweep also after mkfs.fat
               formatted them again); for the finder their table and folder
               sectors as records
  fuzz_exfat_deleted  the same volumes as fuzz_exfat_dir as pieces, with
               their allocation bitmap and a few deleted files named
  fuzz_hfs_btree, fuzz_hfs_volume  HFS+ volumes xorriso makes (when it
               is installed) and those of the fixture cache and of
               tests/fixtures/hfs: for the B-tree target their catalog and
               extents nodes (header and leaf nodes, two in a row), for the
               volume target small bare volumes whole, with the header
               zeroed and as HFSX
  fuzz_session  sessions of the images' Quick and Long Scans, saved by
               build/bin/dvscan (when it is built)
  fuzz_iotrace_log  binary I/O trace logs of Quick and Long Scans of the
               images, written by build/bin/dvscan --io-trace (when it is
               built); fuzz_trace_ranges  options files with trace ranges;
               fuzz_support_command  support command texts (UTF-16LE)
  fuzz_zfs_nvlist, fuzz_zfs_blkptr, fuzz_zfs_dnode, fuzz_zfs_zap, fuzz_lzjb
               the committed zfs-fuse pools (tests/fixtures/zfs), walked
               here from the active uberblock: label lists and uberblock
               arrays, block pointers with their stored blocks (their
               copies moved to the front of the data), the root dataset's
               dnodes with their blocks, its folders' ZAP blocks and
               leaves, and compressed blocks for the decoders
  fuzz_vmfs, fuzz_refs  the VMFS and ReFS images of the fixture cache
               (make_vmfs.sh, make_refs.sh) as sparse inputs: their
               non-zero sectors from the start, up to 256 KiB
"""
import lzma
import os
import re
import struct
import sys

FIX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures", "ntfs")
CARVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures", "carve")


def report(name, kind):
    p = os.path.join(FIX, "%s.%s.txt" % (name, kind))
    if os.path.exists(p):
        return open(p, encoding="utf-8", errors="replace").read()
    if os.path.exists(p + ".xz"):
        return lzma.open(p + ".xz", "rt", encoding="utf-8", errors="replace").read()
    return ""


def image(name):
    return lzma.open(os.path.join(FIX, name + ".img.xz")).read()


def section(text, inode):
    m = re.search(r"^===== %d .*?(?=^===== |\Z)" % inode, text, re.S | re.M)
    return m.group(0) if m else ""


def inodes(name):
    out = {}
    for line in report(name, "inodes").splitlines():
        path, _, ino = line.rpartition("\t")
        out[path] = int(ino)
    return out


def ntfsinfo_runs(name, inode, attr):
    sect = section(report(name, "ntfsinfo"), inode)
    at = sect.find("Dumping attribute " + attr)
    if at < 0:
        return []
    at = sect.find("Runlist:", at)
    runs = []
    for line in sect[at:].splitlines()[1:]:
        f = line.split()
        if len(f) != 3 or not f[0].startswith("0x"):
            break
        runs.append((None if f[1] == "<HOLE>" else int(f[1], 16), int(f[2], 16)))
    return runs


def istat_clusters(name, inode, mark):
    sect = section(report(name, "istat"), inode)
    at = sect.find("Type: " + mark)
    if at < 0:
        return []
    out = []
    for line in sect[at:].splitlines()[1:]:
        if not line or not line[0].isdigit():
            break
        out += [int(x) for x in line.split()]
    return out


def write(corpus, target, name, data):
    d = os.path.join(corpus, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    corpus = sys.argv[1]
    basic = image("basic")
    cl = 4096
    for path, ino in inodes("basic").items():
        if not path.startswith("comp/"):
            continue
        clusters = []
        for lcn, n in ntfsinfo_runs("basic", ino, "$DATA (0x80)"):
            clusters += [None] * n if lcn is None else list(range(lcn, lcn + n))
        for u in range(0, len(clusters), 16):
            unit = clusters[u:u + 16]
            if None not in unit:
                continue
            data = b"".join(basic[c * cl:(c + 1) * cl] for c in unit if c is not None)
            if data:
                write(corpus, "fuzz_lznt1", "%s-%d" % (os.path.basename(path), u // 16), b"\0" + data)
    for name, folder in (("bigdir", "big"), ("sect4096", "dir")):
        img = image(name)
        ino = inodes(name)[folder]
        for i, c in enumerate(istat_clusters(name, ino, "$INDEX_ALLOCATION")[:6]):
            write(corpus, "fuzz_indx", "%s-indx-%d" % (name, i), img[c * cl:(c + 1) * cl])
            write(corpus, "fuzz_index_names", "%s-indx-%d" % (name, i), b"\0" + img[c * cl:(c + 1) * cl])
    for name in ("basic", "sect4096", "fragmft", "bigdir"):
        img = image(name)
        write(corpus, "fuzz_boot", name, img[:512])
        bps, spc = struct.unpack_from("<HB", img, 11)
        mft = struct.unpack_from("<Q", img, 48)[0] * bps * spc
        per = struct.unpack_from("<b", img, 64)[0]
        rs = 1 << -per if per < 0 else per * bps * spc
        if name in ("basic", "sect4096"):
            # Records in a row, as the Long Scan meets them.
            write(corpus, "fuzz_orphans", name, img[mft:mft + 24 * rs])
        for n in range(0, 90):
            rec = img[mft + n * rs:mft + (n + 1) * rs]
            if rec[:4] != b"FILE":
                continue
            if name in ("basic", "sect4096") and n in (0, 5, 11, 24, 64, 65, 66, 67, 69, 75, 76, 81, 84, 86):
                write(corpus, "fuzz_record", "%s-%d" % (name, n), rec)
            # Index roots: the attribute of type 0x90 of folders' records.
            usa, cnt = struct.unpack_from("<HH", rec, 4)
            rec = bytearray(rec)
            for i in range(1, cnt):
                rec[i * 512 - 2:i * 512] = rec[usa + 2 * i:usa + 2 * i + 2]
            at = struct.unpack_from("<H", rec, 20)[0]
            while at + 8 <= len(rec):
                t, ln = struct.unpack_from("<II", rec, at)
                if t == 0xFFFFFFFF or ln == 0:
                    break
                if t == 0x90 and ln > 144:
                    write(corpus, "fuzz_indx", "%s-root-%d" % (name, n), bytes(rec[at:at + ln]))
                at += ln
    recycler_seeds(corpus)
    carve_seeds(corpus)
    document_seeds(corpus)
    vdisk_seeds(corpus)
    raid_seeds(corpus)
    media_seeds(corpus)
    exfat_seeds(corpus)
    xfs_seeds(corpus)
    hfs_seeds(corpus)
    fat_seeds(corpus)
    session_seeds(corpus)
    trace_seeds(corpus)
    zfs_seeds(corpus)
    generated_seeds(corpus)


def carve_seeds(corpus):
    by_target = {"jpg": "fuzz_carve_jpg", "png": "fuzz_carve_png", "bmp": "fuzz_carve_bmp",
                 "mrw": "fuzz_carve_mrw", "tif": "fuzz_carve_tif", "cr2": "fuzz_carve_tif"}
    disk = b""
    for name in sorted(os.listdir(CARVE)):
        ext = name.split(".")[1]
        if ext not in by_target or name.endswith(".xz"):
            continue
        data = open(os.path.join(CARVE, name), "rb").read()
        # Reads of 512 bytes, and of 4 KiB after one end at byte 100.
        write(corpus, by_target[ext], name, b"\0\xff\x01\0" + data)
        write(corpus, by_target[ext], name + "-split", b"\x01\xff\x0f\x01\x64\0" + data)
        if len(data) < 40000:
            disk += data + bytes(-len(data) % 512) + bytes(512)
    write(corpus, "fuzz_carve_driver", "samples", b"\x07\0" + disk)
    img = image("bigdir")
    for i, c in enumerate(istat_clusters("bigdir", inodes("bigdir")["big"], "$INDEX_ALLOCATION")[:3]):
        write(corpus, "fuzz_carve_internal", "indx-%d" % i, b"\x01\0\xff\x01\0" + img[c * 4096:(c + 1) * 4096])
    write(corpus, "fuzz_carve_internal", "info2", b"\0\0\xff\x01\0" + struct.pack("<IIIII", 5, 0, 0, 800, 0) + b"C:\\x")


def document_seeds(corpus):
    by_target = {"zip": "fuzz_carve_zip", "jar": "fuzz_carve_zip", "docx": "fuzz_carve_zip",
                 "xlsx": "fuzz_carve_zip", "pptx": "fuzz_carve_zip", "doc": "fuzz_carve_ole2",
                 "xls": "fuzz_carve_ole2", "ppt": "fuzz_carve_ole2", "pdf": "fuzz_carve_pdf",
                 "rtf": "fuzz_carve_rtf", "dwg": "fuzz_carve_dwg"}
    for name in sorted(os.listdir(CARVE)):
        ext = name.split(".")[1]
        if ext not in by_target or name.endswith(".xz"):
            continue
        data = open(os.path.join(CARVE, name), "rb").read()
        target = by_target[ext]
        write(corpus, target, name, b"\0\xff\x01\0" + data)
        write(corpus, target, name + "-split", b"\x01\xff\x0f\x01\x64\0" + data)
        if target == "fuzz_carve_zip":
            write(corpus, "fuzz_carve_officeprops", name, b"\0\0\x80" + data)
            write(corpus, "fuzz_carve_zipscan", name, b"\xff\x01\0" + bytes(100) + data)
    # The large samples cut to what a run takes: a compound file whose
    # DIFAT sector is moved behind its header, and the ends of streamed
    # Office files whose photo lies between.
    difat = lzma.open(os.path.join(CARVE, "ole_difat.doc.xz")).read()
    first = struct.unpack_from("<I", difat, 68)[0]
    head = bytearray(difat[:512])
    struct.pack_into("<I", head, 68, 0)
    write(corpus, "fuzz_carve_ole2", "ole_difat-cut",
          b"\0\xff\x01\0" + bytes(head) + difat[512 * (first + 1):512 * (first + 2)] + difat[1024:65536])
    for name in ("lo_photo.docx.xz", "lo_photo.pptx.xz"):
        data = lzma.open(os.path.join(CARVE, name)).read()
        write(corpus, "fuzz_carve_zip", name[:-3] + "-ends", b"\0\xff\x01\0" + data[:4096] + data[-8192:])
    text = open(os.path.join(CARVE, "lo_text.rtf"), "rb").read()[-2000:]
    write(corpus, "fuzz_carve_phrases", "rtf", b"the\ncentral directory\nsector archive\n\0" + text)
    write(corpus, "fuzz_carve_phrases", "core",
          b"\xef\xbb\xbfAda\nLovelace\n\0<cp:lastModifiedBy>Ada Lovelace</cp:lastModifiedBy>"
          b"<dcterms:modified>2021-03-04T05:06:07Z</dcterms:modified>2019:05:17 10:20:30")


def raid_seeds(corpus):
    """Definition strings and schema files of the RAID and spanned sets."""
    for i, d in enumerate((
            "RAID5(/img/m0.img<0:2047>,Missing,/img/m2.img<0:2047>,/img/m3.img<0:2047>)",
            "SPAN(RAID0(RAID5(/a<0:9>,/b<0:9>,/c<0:9>)<0:17>,/d<0:9>)<0:27>,/e<0:9>)",
            "RAIDZ2(\\\\.\\PhysicalDrive0<0:99>,/dev/sdb,Missing,/x<9999:10000>)",
            "64:16:2:1:2", "1,234,567")):
        write(corpus, "fuzz_raid_definition", "def-%d" % i, d.encode())
    lines = ["; RAID 5 of three members", "RangeCount 2", "LogicalGroupSizeInSectors 6",
             "PhysicalGroupSizeInSectors 2", "PhysicalGroupSizeInSectors 3 1", "LogicalExtentCount 3",
             "LE 0 2 XOR(0:0)", "LE 1 2 XOR,BAD(1:0,2:0)", "LE 2 2 Q(0:0:P,1:0:Q,2:0:3,M:0:1,M2:0:2)",
             "StartingPSN 2 8", "RangeStart 0 60", "LogicalExtentCount 1", "LE 0 6 ZERO", "RangeStart 60 30"]
    write(corpus, "fuzz_raid_schema", "two-ranges", ("\n".join(lines) + "\n").encode())


def resident_data(rec):
    """The value of the unnamed resident $DATA of a fixed-up record."""
    at = struct.unpack_from("<H", rec, 20)[0]
    while at + 24 <= len(rec):
        t, ln = struct.unpack_from("<II", rec, at)
        if t == 0xFFFFFFFF or ln == 0:
            break
        if t == 0x80 and rec[at + 8] == 0 and rec[at + 9] == 0:
            vlen, voff = struct.unpack_from("<IH", rec, at + 16)
            return bytes(rec[at + voff:at + voff + vlen])
        at += ln
    return b""


def recycler_seeds(corpus):
    img = image("basic")
    bps, spc = struct.unpack_from("<HB", img, 11)
    mft = struct.unpack_from("<Q", img, 48)[0] * bps * spc
    for path, n in inodes("basic").items():
        if "/$I" not in path:
            continue
        rec = bytearray(img[mft + n * 1024:mft + (n + 1) * 1024])
        usa, cnt = struct.unpack_from("<HH", rec, 4)
        for i in range(1, cnt):
            rec[i * 512 - 2:i * 512] = rec[usa + 2 * i:usa + 2 * i + 2]
        data = resident_data(rec)
        if data:
            write(corpus, "fuzz_recycler", "rbi-%d" % n, data)
    header = struct.pack("<IIIII", 5, 0, 0, 800, 0)
    recs = b""
    for i, p in enumerate(("C:\\docs\\a.txt", "D:\\x\\photos", "C:\\dir.v2\\noext")):
        recs += p.encode().ljust(260, b"\0") + struct.pack("<IIQI", i + 1, 2, 0, 4096)
        recs += p.encode("utf-16-le").ljust(520, b"\0")
    write(corpus, "fuzz_recycler", "info2", header + recs)


def sparse_input(path, budget=16 << 10, piece=2048):
    """A file as fuzz_vhd/vhdx/vmdk read it: its size, then its non-zero
    sectors in file order (u32 offset, u16 length, bytes) up to the budget."""
    data = open(path, "rb").read()
    out = bytearray(struct.pack("<Q", len(data)))
    used = 0
    at = 0
    while at < len(data) and used < budget:
        if not any(data[at:at + 512]):
            at += 512
            continue
        end = at
        while end < len(data) and end - at < piece and any(data[end:end + 512]):
            end += 512
        chunk = data[at:end]
        out += struct.pack("<IH", at, len(chunk)) + chunk
        used += len(chunk)
        at = end
    tail = len(data) - 512
    if at <= tail and any(data[tail:]):  # a footer at the end
        out += struct.pack("<IH", tail, 512) + data[tail:]
    return bytes(out)


def vdisk_seeds(corpus):
    import shutil
    import subprocess
    import tempfile
    if not shutil.which("qemu-img") or not shutil.which("qemu-io"):
        return
    tmp = tempfile.mkdtemp()
    try:
        def run(*args):
            subprocess.run(args, cwd=tmp, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        raw = os.path.join(tmp, "raw.img")
        with open(raw, "wb") as f:
            for i in range(64):
                f.write(bytes([i + 1]) * 4096 + bytes(61440))
        made = {
            "fuzz_vhd": [("dyn.vhd", ["-O", "vpc", "-o", "subformat=dynamic,force_size=on"]),
                         ("fixed.vhd", ["-O", "vpc", "-o", "subformat=fixed,force_size=on"])],
            "fuzz_vhdx": [("x1m.vhdx", ["-O", "vhdx", "-o", "block_size=1M"]),
                          ("x32m.vhdx", ["-O", "vhdx", "-o", "block_size=32M"])],
            "fuzz_vmdk": [("sparse.vmdk", ["-O", "vmdk"]), ("zg.vmdk", ["-O", "vmdk", "-o", "zeroed_grain=on"])],
        }
        for target, files in made.items():
            for name, opts in files:
                run("qemu-img", "convert", *opts, "raw.img", name)
                write(corpus, target, name, sparse_input(os.path.join(tmp, name)))
        for name, fmt, opts in (("sp.vhd", "vpc", "subformat=dynamic"), ("sp.vhdx", "vhdx", "block_size=8M"),
                                ("sp.vmdk", "vmdk", "zeroed_grain=on")):
            run("qemu-img", "create", "-f", fmt, "-o", opts, name, "64M")
            run("qemu-io", "-f", fmt, "-c", "write -P 0x5a 3M 512k", "-c", "write -z 9M 1M", name)
            target = {"vpc": "fuzz_vhd", "vhdx": "fuzz_vhdx", "vmdk": "fuzz_vmdk"}[fmt]
            write(corpus, target, name, sparse_input(os.path.join(tmp, name)))
        run("qemu-img", "create", "-f", "vmdk", "-b", "sp.vmdk", "-F", "vmdk", "child.vmdk")
        run("qemu-io", "-f", "vmdk", "-c", "write -P 0x21 1M 64k", "child.vmdk")
        write(corpus, "fuzz_vmdk", "child.vmdk", sparse_input(os.path.join(tmp, "child.vmdk")))
        # A copy-on-write extent: 8192 sectors, 1-sector grains, one table.
        cow = bytearray(44 * 512)
        struct.pack_into("<4sIIIIIII", cow, 0, b"COWD", 1, 3, 8192, 1, 4, 2, 0)
        struct.pack_into("<I", cow, 4 * 512, 5)
        struct.pack_into("<I", cow, 5 * 512 + 28, 40)
        cow[40 * 512:41 * 512] = b"\x7f" * 512
        with open(os.path.join(tmp, "cow.vmdk"), "wb") as f:
            f.write(cow)
        write(corpus, "fuzz_vmdk", "cow.vmdk", sparse_input(os.path.join(tmp, "cow.vmdk")))
    finally:
        shutil.rmtree(tmp)


def media_seeds(corpus):
    by_target = {"avi": "fuzz_carve_avi", "wav": "fuzz_carve_wav", "mov": "fuzz_carve_mov", "mp4": "fuzz_carve_mov",
                 "mp3": "fuzz_carve_mp3", "mts": "fuzz_carve_mts", "mxf": "fuzz_carve_mxf", "bkf": "fuzz_carve_bkf"}
    # ffmpeg's transport streams (kept compressed): their first packets.
    for name in ("mts_ffmpeg.mts.xz", "mts_ffmpeg188.mts.xz"):
        data = lzma.open(os.path.join(CARVE, name)).read()[:24576]
        write(corpus, "fuzz_carve_mts", name[:-3], b"\0\xff\x01\0" + data)
    for name in sorted(os.listdir(CARVE)):
        ext = name.split(".")[-1]
        if ext not in by_target:
            continue
        data = open(os.path.join(CARVE, name), "rb").read()
        write(corpus, by_target[ext], name, b"\0\xff\x01\0" + data)
        write(corpus, by_target[ext], name + "-split", b"\x01\xff\x0f\x01\x64\0" + data)
        if ext == "mxf":
            write(corpus, "fuzz_carve_mxf_trace", name, b"\x03\x00" + data)
            write(corpus, "fuzz_carve_mxf_trace", name + "-gaps", b"\x00\x24" + data[-8192:])
        if ext == "bkf":
            for at in range(0, len(data), 512):
                if data[at:at + 4] != bytes(4):
                    write(corpus, "fuzz_carve_bkf_trace", "%s-%d" % (name, at), b"\0" + data[at:at + 512])

def ext_seeds(corpus):
    import shutil
    import subprocess
    import tempfile
    mke2fs = shutil.which("mke2fs") or "/sbin/mke2fs"
    if not os.path.exists(mke2fs):
        return
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "src")
        os.makedirs(os.path.join(src, "d"))
        for i in range(12):
            with open(os.path.join(src, "d", "f%d" % i), "wb") as f:
                f.write(b"%d\n" % i * (i * 300 + 1))
        with open(os.path.join(src, "big"), "wb") as f:
            f.write(bytes(range(256)) * 100)
        os.symlink("big", os.path.join(src, "link"))
        for name, args in (("ext4", ["-t", "ext4", "-O", "^has_journal"]), ("ext2", ["-t", "ext2"])):
            img = os.path.join(tmp, name + ".img")
            with open(img, "wb") as f:
                f.truncate(256 << 10)
            if subprocess.run([mke2fs, "-q", "-F", "-b", "1024", "-N", "32", "-d", src] + args + [img],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
                continue
            subprocess.run(["debugfs", "-w", "-R", "rm /d/f3", img], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            data = open(img, "rb").read()
            write(corpus, "fuzz_ext_dir", name, data)
            write(corpus, "fuzz_unix_blockmap", name, data)
            for at in range(0, 64 << 10, 8 << 10):
                write(corpus, "fuzz_ext_inode", "%s-%d" % (name, at), data[at:at + (8 << 10)])
            write(corpus, "fuzz_ext_inode", name + "-sb", data[1024:2048])
        # A folder whose blocks lie between its files' data.
        os.makedirs(os.path.join(tmp, "many", "m"))
        for i in range(120):
            with open(os.path.join(tmp, "many", "m", "file%03d" % i), "wb") as f:
                f.write(b"x" * 700)
        for name, args in (("ext4", ["-t", "ext4", "-O", "^has_journal"]), ("ext2", ["-t", "ext2"])):
            img = os.path.join(tmp, name + "-many.img")
            with open(img, "wb") as f:
                f.truncate(256 << 10)
            if subprocess.run([mke2fs, "-q", "-F", "-b", "1024", "-N", "160", "-d", os.path.join(tmp, "many")] + args +
                              [img], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
                continue
            data = open(img, "rb").read()
            for inode in range(2, 16):
                write(corpus, "fuzz_ext_folder", "%s-%d" % (name, inode), struct.pack("<I", inode) + data[4:])
def exfat_seeds(corpus):
    import shutil
    import subprocess
    import tempfile
    images = []
    cache = os.environ.get("DV_FIXTURE_CACHE") or os.path.join(os.path.dirname(FIX), "..", "..", "build", "fixtures")
    for name in ("exfat-hostile.img", "exfat.img"):
        if os.path.exists(os.path.join(cache, name)):
            images.append((name, os.path.join(cache, name)))
    tmp = tempfile.mkdtemp()
    try:
        if shutil.which("mkfs.exfat"):
            for cl in ("4K", "64K"):
                path = os.path.join(tmp, "mk-%s.img" % cl)
                with open(path, "wb") as f:
                    f.truncate(16 << 20)
                subprocess.run(["mkfs.exfat", "-c", cl, "-L", "SEED", path], check=True, capture_output=True)
                images.append(("mkfs-" + cl, path))
        for name, path in images:
            with open(path, "rb") as f:
                boot = f.read(512)
                heap, clusters, root = struct.unpack_from("<III", boot, 88)
                shift = boot[108] + boot[109]
                f.seek((heap << boot[108]) + ((root - 2) << shift))
                folder = f.read(min(1 << shift, 64 << 10))
            for piece in (0, 3, 0x7F):
                write(corpus, "fuzz_exfat_dir", "%s-%d" % (name, piece), boot + bytes([piece]) + folder)
            # The deleted-file reader: the first MiB's non-zero sectors as
            # pieces, the bitmap the root names at 512, files at 1024.
            with open(path, "rb") as f:
                head = f.read(1 << 20)
            bitmap = b"\0" * 12
            for at in range(0, len(folder) - 31, 32):
                if folder[at] == 0x81:
                    bitmap = folder[at + 20:at + 32]
                    break
            files = b"".join(struct.pack("<IQI", c, n, fl) for c, n, fl in
                             ((root + 1, 9000, 0), (root + 2, 70000, 2), (5, 300000, 0), (clusters, 1 << 20, 0)))
            pieces = b""
            for at in range(512, len(head), 512):
                if head[at:at + 512].count(0) != 512:
                    pieces += struct.pack("<IH", at, 512) + head[at:at + 512]
            pieces = (struct.pack("<IH", 0, 512) + boot + struct.pack("<IH", 512, 12) + bitmap +
                      struct.pack("<IH", 1024, len(files)) + files + pieces)
            write(corpus, "fuzz_exfat_deleted", name, pieces)
    finally:
        shutil.rmtree(tmp)

def xfs_seeds(corpus):
    """V4 and V5 images mkfs.xfs makes (when installed) from a small tree:
    the superblock and the root's inode chunk, folder blocks and shortform
    forks, and inodes laid into the first groups of the runs target's
    volume."""
    import shutil
    import subprocess
    import tempfile
    if not shutil.which("mkfs.xfs") or not shutil.which("xfs_db"):
        return
    tmp = tempfile.mkdtemp()
    try:
        src = os.path.join(tmp, "src")
        os.makedirs(os.path.join(src, "block"))
        os.makedirs(os.path.join(src, "short"))
        for i in range(60):
            open(os.path.join(src, "block", "entry%02d" % i), "w").write("x" * i)
        for n in ("five5", "thirteen13abc"):
            open(os.path.join(src, "short", n), "w").write(n)
        with open(os.path.join(src, "big.bin"), "wb") as f:
            for k in range(64):
                f.seek(k * 8192)
                f.write(b"data" * 1024)
        proto = ["/dev/null", "0 0", "d--755 0 0"]
        for d in ("block", "short"):
            proto.append(" %s d--755 0 0" % d)
            for n in sorted(os.listdir(os.path.join(src, d))):
                proto.append("  %s ---644 0 0 %s" % (n, os.path.join(src, d, n)))
            proto.append(" $")
        proto += [" big.bin ---644 0 0 %s" % os.path.join(src, "big.bin"), "$"]
        open(os.path.join(tmp, "proto"), "w").write("\n".join(proto) + "\n")
        for name, args in (("v4", ["-m", "crc=0"]), ("v4n", ["-m", "crc=0", "-n", "ftype=0"]), ("v5", [])):
            img = os.path.join(tmp, name + ".img")
            with open(img, "wb") as f:
                f.truncate(300 << 20)
            subprocess.run(["mkfs.xfs", "-q", "-f", "-p", os.path.join(tmp, "proto")] + args + [img], check=True,
                           capture_output=True)
            def db(*cmds):
                a = ["xfs_db", "-r"]
                for c in cmds:
                    a += ["-c", c]
                return subprocess.run(a + [img], capture_output=True, text=True, check=True).stdout
            def fsbyte(cmd):
                return int(re.findall(r"\((\d+)\)", db(cmd))[0])
            with open(img, "rb") as f:
                sb = f.read(512)
                isize = struct.unpack_from(">H", sb, 104)[0]
                bs = struct.unpack_from(">I", sb, 4)[0]
                root = fsbyte("convert inode 128 fsbyte")
                f.seek(root)
                chunk = f.read(64 * isize)
                write(corpus, "fuzz_xfs_inode", name, sb + chunk[:8192])
                nc = db("blockget -n", "ncheck")
                inodes = {p.split()[1]: int(p.split()[0]) for p in nc.splitlines() if len(p.split()) == 2}
                for d in ("block/.", "short/."):
                    n = inodes.get(d)
                    if n is None:
                        continue
                    at = fsbyte("convert inode %d fsbyte" % n)
                    f.seek(at)
                    raw = f.read(isize)
                    fork = 176 if raw[4] == 3 else 100
                    write(corpus, "fuzz_xfs_dir", "%s-%s-fork" % (name, d[:-2]), raw[fork:])
                    m = re.search(r"data offset 0 startblock (\d+)", db("inode %d" % n, "bmap"))
                    if m:
                        f.seek(fsbyte("convert fsb %s fsbyte" % m.group(1)))
                        write(corpus, "fuzz_xfs_dir", "%s-%s-block" % (name, d[:-2]), f.read(bs))
                # The runs target's volume: inodes in its block 1 on.
                image = bytearray(4096 * 4)
                image[4096:4096 + len(chunk[:12288])] = chunk[:12288]
                write(corpus, "fuzz_xfs_runs", name, bytes(image))
    finally:
        shutil.rmtree(tmp)
def hfs_seeds(corpus):
    import importlib.util
    import shutil
    import subprocess
    import tempfile
    fixtures = os.path.join(os.path.dirname(FIX))
    spec = importlib.util.spec_from_file_location("hfs_tool", os.path.join(fixtures, "hfs_tool.py"))
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    cache = os.environ.get("DV_FIXTURE_CACHE") or os.path.join(fixtures, "..", "..", "build", "fixtures")
    volumes = []
    for name in ("hfs-bare.img", "hfs-hostile.img"):
        if os.path.exists(os.path.join(cache, name)):
            volumes.append((name, open(os.path.join(cache, name), "rb").read()))
    grown = os.path.join(fixtures, "hfs", "hfs-grown.img.xz")
    if os.path.exists(grown):
        volumes.append(("grown", lzma.open(grown).read()))
    small = []
    tmp = tempfile.mkdtemp()
    try:
        if shutil.which("xorriso"):
            for n in (1, 30, 200):
                tree = os.path.join(tmp, "t%d" % n)
                os.makedirs(os.path.join(tree, "sub", "deeper"))
                for i in range(n):
                    open(os.path.join(tree, "sub" if i % 2 else "", "f%03d" % i), "w").write("seed %d\n" % i * (i % 7))
                iso = os.path.join(tmp, "t%d.iso" % n)
                subprocess.run(["xorriso", "-as", "mkisofs", "-hfsplus", "-o", iso, tree], check=True,
                               capture_output=True)
                d = open(iso, "rb").read()
                for i in range(1, 64):
                    e = d[512 * i:512 * (i + 1)]
                    if e[:2] != b"PM":
                        break
                    start, length = struct.unpack(">II", e[8:16])
                    if e[48:80].split(b"\0")[0] == b"Apple_HFS":
                        small.append(("xorriso-%d" % n, d[512 * start:512 * (start + length)]))
    finally:
        shutil.rmtree(tmp)
    for name, d in small:
        write(corpus, "fuzz_hfs_volume", name, b"\0" + d)
        write(corpus, "fuzz_hfs_volume", name + "-long", b"\1" + d)
        nohdr = bytearray(d)
        nohdr[1024:1536] = bytes(512)
        write(corpus, "fuzz_hfs_volume", name + "-nohdr", b"\0" + bytes(nohdr))
        x = bytearray(d)
        x[1024:1028] = b"HX\x00\x05"
        write(corpus, "fuzz_hfs_volume", name + "-hfsx", b"\0" + bytes(x))
    for name, d in volumes + small:
        h, bs, total, free = tool.geometry(d)
        for which, off in (("cat", 272), ("ext", 192)):
            size, blocks, ext = tool.fork(h, off)
            if not ext:
                continue
            first = ext[0][0] * bs
            ns = struct.unpack(">H", d[first + 32:first + 34])[0] or 4096
            tree = d[first:first + min(ext[0][1] * bs, 64 * ns)]
            kept = 0
            for k in range(0, len(tree) - ns + 1, ns):
                node = tree[k:k + 2 * ns]
                if node[8] not in (0xFF, 1) or kept >= 6:
                    continue
                kept += 1
                pick = bytes([8 | (node[8] == 1) << 4])
                write(corpus, "fuzz_hfs_btree", "%s-%s-%d" % (name, which, k // ns), pick + node)
def generated_seeds(corpus):
    cache = os.environ.get("DV_FIXTURE_CACHE") or os.path.join(os.path.dirname(FIX), "..", "..", "build", "fixtures")
    for target, names in (("fuzz_vmfs", ("vmfs3.img", "vmfs5.img", "vmfs-hostile.img", "vmfs-damaged.img")),
                          ("fuzz_refs", ("refs512.img", "refs4k.img", "refs-hostile.img", "refs-damaged.img"))):
        for name in names:
            path = os.path.join(cache, name)
            if os.path.exists(path):
                write(corpus, target, name, sparse_input(path, budget=256 << 10))


def fat_seeds(corpus):
    import shutil
    import subprocess
    import tempfile
    if not shutil.which("mkfs.fat") or not shutil.which("mcopy"):
        return
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    tmp = tempfile.mkdtemp()
    try:
        for bits, mib, args in ((12, 2, []), (16, 8, ["-s", "1"]), (32, 40, ["-s", "1"]), (16, 16, ["-s", "4"])):
            img = os.path.join(tmp, "fat%d-%d.img" % (bits, mib))
            with open(img, "wb") as f:
                f.truncate(mib << 20)
            subprocess.run(["mkfs.fat", "-F", str(bits)] + args + [img], check=True, capture_output=True)
            small = os.path.join(tmp, "small.txt")
            with open(small, "wb") as f:
                f.write(b"x" * 5000)
            m = ["-i", img]
            subprocess.run(["mmd"] + m + ["::/Dir", "::/Dir/Sub", "::/A Long Folder Name"], check=True, env=env,
                           capture_output=True)
            for dest in ("::/Dir/a long name.txt", "::/Dir/Sub/b.txt", "::/A Long Folder Name/c.txt", "::/d.txt"):
                subprocess.run(["mcopy"] + m + [small, dest], check=True, env=env, capture_output=True)
            subprocess.run(["mdel"] + m + ["::/Dir/Sub/b.txt"], check=True, env=env, capture_output=True)
            with open(img, "rb") as f:
                head = f.read(1 << 20)
            ss = struct.unpack_from("<H", head, 11)[0]
            # Non-zero sectors as pieces (runs of them joined up to 32 KiB).
            pieces = b""
            at = 0
            while at < len(head):
                if head[at:at + ss].count(0) == ss:
                    at += ss
                    continue
                end = at
                while end < len(head) and end - at < (32 << 10) and head[end:end + ss].count(0) != ss:
                    end += ss
                pieces += struct.pack("<IH", at, end - at) + head[at:end]
                at = end
            name = os.path.basename(img)
            write(corpus, "fuzz_fat_cache", name, pieces)
            write(corpus, "fuzz_fat_dir", name, pieces)
            write(corpus, "fuzz_fat_orphans", name, pieces)
            # Formatted again over: the folders stay, the tables and the
            # root are new.
            subprocess.run(["mkfs.fat", "-F", str(bits)] + args + [img], check=True, capture_output=True)
            with open(img, "rb") as f:
                again = f.read(1 << 20)
            pieces = b""
            for at in range(0, len(again), ss):
                if again[at:at + ss].count(0) != ss:
                    pieces += struct.pack("<IH", at, ss) + again[at:at + ss]
            write(corpus, "fuzz_fat_orphans", name + "-formatted", pieces)
            # The finder: every table and folder sector at its place.
            records = b""
            last = 0
            for at in range(0, len(head), 512):
                sec = head[at:at + 512]
                if sec.count(0) == 512:
                    continue
                if sec[0:2] == b". " and sec[32:34] == b"..":
                    kind = 2
                else:
                    kind = 1 if bits == 32 else 0
                step = at // 512 - last
                while step > 255:
                    if step >= 1024:
                        k = min(255, step >> 10)
                        records += bytes([kind | 0x80, k]) + bytes(512)
                        step -= k << 10
                    else:
                        records += bytes([kind, 255]) + bytes(512)
                        step -= 255
                records += bytes([kind, step]) + sec
                last = at // 512
            write(corpus, "fuzz_fat_finder", name, struct.pack("<I", 2048) + records)
    finally:
        shutil.rmtree(tmp)


def trace_seeds(corpus):
    import glob
    import subprocess
    import tempfile
    dvscan = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bin", "dvscan")
    if os.path.exists(dvscan):
        with tempfile.TemporaryDirectory() as tmp:
            for name in ("basic", "fragmft"):
                img = os.path.join(tmp, name + ".img")
                open(img, "wb").write(image(name))
                for mode in ([], ["--long", "--skip-headers"]):
                    out = os.path.join(tmp, "t-" + name + ("-long" if mode else ""))
                    os.mkdir(out)
                    args = [dvscan, "--trace", os.path.join(out, "wubgrain.txt"), "--trace-switches", "io,mft",
                            "--io-trace"] + mode + [img]
                    if subprocess.run(args, capture_output=True).returncode != 0:
                        continue
                    for log in glob.glob(os.path.join(out, "Marbrix_*_01.bin")):
                        data = open(log, "rb").read()
                        write(corpus, "fuzz_iotrace_log", os.path.basename(out), data[:256 << 10])
    runs = "2120080000"  # 0x20 clusters at 8
    for i, (sector, cluster, entry) in enumerate(((512, 4096, 1024), (4096, 4096, 4096), (512, 512, 1024))):
        text = "[Trace]\nConfirm=0\nRange Count=2\n"
        for r in range(2):
            text += ("[Range %d]\nStarting Sector=%d\nSize in Sectors=100\nSector Size=%d\nCluster Size=%d\n"
                     "MFT Entry Size=%d\nRuns=%s\n" % (r, 100 * r, sector, cluster, entry, runs))
        write(corpus, "fuzz_trace_ranges", "ranges-%d" % i, text.encode())
    for i, text in enumerate(("DumpZDVA 4194304 4096 4096 512 /tmp", "DumpZDVA 0 0 0 0 /tmp", "dumpzdva",
                              "DumpZDVA 1 2 3", "DumpZDVA 0x400000 0x1000 0x20000 0x1000 /tmp/out")):
        write(corpus, "fuzz_support_command", "command-%d" % i, text.encode("utf-16-le"))


def session_seeds(corpus):
    import shutil
    import subprocess
    import tempfile
    dvscan = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bin", "dvscan")
    if not os.path.exists(dvscan):
        return
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("basic", "attrlist", "fragdata"):
            img = os.path.join(tmp, name + ".img")
            open(img, "wb").write(image(name))
            for mode in ([], ["--long", "--skip-headers"]):
                out = os.path.join(tmp, "s.dvs")
                if subprocess.run([dvscan, "--save-session", out] + mode + [img], capture_output=True).returncode == 0:
                    write(corpus, "fuzz_session", name + ("-long" if mode else ""), open(out, "rb").read())
        # ext and exFAT volume and node lines.
        family = []
        mke2fs = shutil.which("mke2fs") or "/sbin/mke2fs"
        src = os.path.join(tmp, "src")
        os.makedirs(os.path.join(src, "d"))
        for i in range(5):
            with open(os.path.join(src, "d", "f%d" % i), "wb") as f:
                f.write(bytes(range(256)) * (i * 20 + 1))
        for fs in ("ext4", "ext2"):
            img = os.path.join(tmp, fs + ".img")
            with open(img, "wb") as f:
                f.truncate(1 << 20)
            if os.path.exists(mke2fs) and subprocess.run([mke2fs, "-q", "-F", "-t", fs, "-d", src, img],
                                                         capture_output=True).returncode == 0:
                family.append((fs, img))
        hostile = os.path.join(FIX, "..", "exfat", "exfat-hostile.img.xz")
        if shutil.which("xz") and os.path.exists(hostile):
            img = os.path.join(tmp, "exfat.img")
            open(img, "wb").write(subprocess.run(["xz", "-dc", hostile], capture_output=True).stdout)
            family.append(("exfat", img))
        for name, img in family:
            out = os.path.join(tmp, "s.dvs")
            if subprocess.run([dvscan, "--save-session", out, img], capture_output=True).returncode == 0:
                write(corpus, "fuzz_session", name, open(out, "rb").read())



ZFS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures", "zfs")
ZFS_FRONT = 4 << 20


def zfs_lzjb(src, dlen):
    # The torture harness's decompressor: one copy of the format's rules.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
    from torturelib.zfs import lzjb_decompress
    return bytes(lzjb_decompress(src, dlen))


class ZfsPool:
    """Just enough of a reader to walk a committed pool to its root dataset."""

    def __init__(self, img):
        self.img = img
        slots = [img[(128 << 10) + k * 1024:(128 << 10) + (k + 1) * 1024] for k in range(128)]
        live = [s for s in slots if struct.unpack_from("<Q", s)[0] == 0x00BAB10C]
        ub = max(live, key=lambda s: struct.unpack_from("<Q", s, 16)[0])
        self.mos = self.read(ub[40:168])[:512]

    def phys(self, bp):
        off = (struct.unpack_from("<Q", bp, 8)[0] & (2 ** 63 - 1)) * 512
        psize = (struct.unpack_from("<H", bp, 50)[0] + 1) * 512
        return self.img[ZFS_FRONT + off:ZFS_FRONT + off + psize]

    def read(self, bp):
        if struct.unpack_from("<Q", bp)[0] & 0xFFFFFF == 0:
            return None
        lsize = (struct.unpack_from("<H", bp, 48)[0] + 1) * 512
        raw = self.phys(bp)
        return zfs_lzjb(raw, lsize) if bp[52] in (1, 3) else raw[:lsize]

    def pointer(self, dn, blkid):
        """The level-0 block pointer of `blkid`, through the indirect blocks."""
        levels, epbs = dn[2], dn[1] - 7
        bp = dn[64 + (blkid >> (epbs * (levels - 1))) * 128:][:128]
        for lvl in range(levels - 1, 0, -1):
            blk = self.read(bp)
            if blk is None:
                return None
            idx = (blkid >> (epbs * (lvl - 1))) & ((1 << epbs) - 1)
            bp = blk[idx * 128:(idx + 1) * 128]
        return bp

    def block(self, dn, blkid):
        bp = self.pointer(dn, blkid)
        return self.read(bp) if bp else None

    def dnode(self, meta, obj):
        per = struct.unpack_from("<H", meta, 8)[0]
        blk = self.block(meta, obj // per)
        return blk[(obj % per) * 512:(obj % per + 1) * 512] if blk else None

    @staticmethod
    def micro(block, name):
        for at in range(64, len(block) - 63, 64):
            if block[at + 14:at + 14 + len(name) + 1] == name + b"\0":
                return struct.unpack_from("<Q", block, at)[0]
        return None

    @staticmethod
    def bonus(dn):
        return 64 + (dn[3] if dn[3] in (2, 3) else 1) * 128

    def root_dataset(self):
        objdir = self.block(self.dnode(self.mos, 1), 0)
        ddir = self.dnode(self.mos, self.micro(objdir, b"root_dataset"))
        head = self.dnode(self.mos, struct.unpack_from("<Q", ddir, self.bonus(ddir) + 8)[0])
        at = self.bonus(head) + 128
        return self.read(head[at:at + 128])[:512]


def zfs_moved(bp, at):
    """The pointer with one copy, at `at` bytes into the fuzz image's data."""
    bp = bytearray(bp)
    asize = struct.unpack_from("<Q", bp)[0] & 0xFFFFFF
    bp[0:48] = bytes(48)
    struct.pack_into("<QQ", bp, 0, asize, at // 512)
    return bytes(bp)


def zfs_seeds(corpus):
    pools = {}
    for name in ("tp.img", "one.img", "tr.f0"):
        path = os.path.join(ZFS, name + ".xz")
        if os.path.exists(path):
            pools[name] = lzma.open(path).read()
    for name, img in pools.items():
        write(corpus, "fuzz_zfs_nvlist", name, img[16 << 10:20 << 10] + img[128 << 10:136 << 10])
    if "tp.img" not in pools:
        return
    pool = ZfsPool(pools["tp.img"])
    meta = pool.root_dataset()
    count = (struct.unpack_from("<Q", meta, 16)[0] + 1) * (struct.unpack_from("<H", meta, 8)[0])
    made = {"dnode": 0, "zap": 0, "bp": 0}
    for obj in range(1, min(count, 7000)):
        dn = pool.dnode(meta, obj)
        if not dn or dn[0] not in (19, 20):
            continue
        first = dn[64:192]
        if struct.unpack_from("<Q", first)[0] & 0xFFFFFF == 0:
            continue
        if dn[2] == 1 and made["dnode"] < 40 and (obj < 40 or obj % 500 == 0):
            moved = bytearray(dn)
            moved[64:192] = zfs_moved(first, 0)
            write(corpus, "fuzz_zfs_dnode", "tp-%d" % obj, bytes(moved) + pool.phys(first))
            made["dnode"] += 1
        if dn[0] == 20 and made["zap"] < 40:
            blocks = struct.unpack_from("<Q", dn, 16)[0] + 1
            shift = (struct.unpack_from("<H", dn, 8)[0] * 512).bit_length() - 1
            for b in range(min(blocks, 4)):
                data = pool.block(dn, b)
                if data:
                    write(corpus, "fuzz_zfs_zap", "tp-%d-%d" % (obj, b), bytes([shift - 9]) + data)
                    made["zap"] += 1
        if made["bp"] < 30 and (dn[2] > 1 or dn[52 + 64] in (1, 3)):
            bp = pool.pointer(dn, 0) if dn[2] > 1 else first
            if bp and struct.unpack_from("<Q", bp)[0] & 0xFFFFFF:
                raw = pool.phys(bp)
                write(corpus, "fuzz_zfs_blkptr", "tp-%d" % obj, zfs_moved(bp, 0) + raw)
                if bp[52] in (1, 3):
                    units = struct.unpack_from("<H", bp, 48)[0]  # the output's 512-byte units less one
                    write(corpus, "fuzz_lzjb", "tp-%d" % obj, bytes([0]) + struct.pack("<H", units) + raw)
                made["bp"] += 1
    # The MOS's own blocks: its meta-dnode's first block through its levels.
    bp = pool.pointer(pool.mos, 0)
    if bp:
        write(corpus, "fuzz_zfs_blkptr", "tp-mos", zfs_moved(bp, 0) + pool.phys(bp))


if __name__ == "__main__":
    main()
    ext_seeds(sys.argv[1])
