#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/ from real structures:
the fixture volumes of a test build (build-test/fixtures), the NTFS fixtures, the sample files and
two small FAT12 volumes made here with mkfs.fat and mtools (with deleted files and a folder;
they carry the time they were made, so they differ from run to run).

    python3 fuzz/make_seeds.py [FIXTURE_DIR]     (default: build-test/fixtures)
"""
import gzip, os, shutil, struct, subprocess, sys, tempfile, zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIX = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-test", "fixtures")
SAMPLES = os.path.join(ROOT, "tests", "samples", "files")
NTFS = os.path.join(ROOT, "tests", "fixtures", "ntfs")
OUT = os.path.join(ROOT, "fuzz", "corpus")


def put(target, name, data):
    os.makedirs(os.path.join(OUT, target), exist_ok=True)
    with open(os.path.join(OUT, target, name), "wb") as f:
        f.write(data)


def head(path, n):
    with open(path, "rb") as f:
        return f.read(n)


def sample(name, n=1 << 20):
    return head(os.path.join(SAMPLES, name), n)


def ntfs_image(name):
    with gzip.open(os.path.join(NTFS, name + ".img.gz"), "rb") as f:
        return f.read()


def fat_root(img):
    bps, spc, res, nfats, rootents = struct.unpack_from("<HBHBH", img, 11)
    fatsz = struct.unpack_from("<H", img, 22)[0] or struct.unpack_from("<I", img, 36)[0]
    root = (res + nfats * fatsz) * bps
    if rootents == 0:  # FAT32: the root is a cluster chain starting at the boot sector's cluster
        cluster = struct.unpack_from("<I", img, 44)[0]
        root += (cluster - 2) * spc * bps
        return img[root:root + spc * bps], img[res * bps:res * bps + 1024]
    return img[root:root + rootents * 32], img[res * bps:res * bps + 1024]


def mft(img):
    bps, spc = struct.unpack_from("<HB", img, 11)
    at = struct.unpack_from("<Q", img, 0x30)[0] * bps * spc
    records = []
    while img[at:at + 4] == b"FILE":
        records.append(img[at:at + 1024])
        at += 1024
    return records, bps * spc


def attributes(record):
    """(type, resident/non-resident fields) of each attribute, after the update sequence."""
    rec = bytearray(record)
    usa, count = struct.unpack_from("<HH", rec, 4)
    for i in range(1, count):
        if 512 * i <= len(rec):
            rec[512 * i - 2:512 * i] = rec[usa + 2 * i:usa + 2 * i + 2]
    at = struct.unpack_from("<H", rec, 20)[0]
    while at + 16 <= len(rec):
        kind, length = struct.unpack_from("<II", rec, at)
        if kind == 0xFFFFFFFF or length < 16 or at + length > len(rec):
            break
        yield kind, bytes(rec[at:at + length])
        at += length


def runs(attr):
    off = struct.unpack_from("<H", attr, 0x20)[0]
    return attr[off:]


def decode_runs(data):
    out, lcn, at = [], 0, 0
    while at < len(data) and data[at]:
        ls, os_ = data[at] & 15, data[at] >> 4
        length = int.from_bytes(data[at + 1:at + 1 + ls], "little")
        delta = int.from_bytes(data[at + 1 + ls:at + 1 + ls + os_], "little", signed=True) if os_ else None
        at += 1 + ls + os_
        if delta is None:
            out.append((None, length))
        else:
            lcn += delta
            out.append((lcn, length))
    return out


def make_fat12(workdir):
    img = os.path.join(workdir, "fat12.img")
    with open(img, "wb") as f:
        f.truncate(320 * 1024)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mkfs.fat", "-F", "12", "-s", "1", "-n", "SEED", "-i", "12345678", img],
                   check=True, stdout=subprocess.DEVNULL)
    files = {"notes.txt": sample("sample.mid"), "photo.jpg": sample("tiny.jpg"),
             "A long file name.bin": sample("sample.gif"), "keep.pdf": sample("sample.pdf", 6000)}
    for name, data in files.items():
        path = os.path.join(workdir, name)
        with open(path, "wb") as f:
            f.write(data)
    m = lambda *args: subprocess.run(["mtools", "-c", *args], check=True, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    m("mmd", "-i", img, "::/Folder")
    m("mmd", "-i", img, "::/Folder/Sub")
    m("mcopy", "-i", img, os.path.join(workdir, "notes.txt"), "::/notes.txt")
    m("mcopy", "-i", img, os.path.join(workdir, "photo.jpg"), "::/Folder/photo.jpg")
    m("mcopy", "-i", img, os.path.join(workdir, "A long file name.bin"), "::/Folder/Sub/A long file name.bin")
    m("mcopy", "-i", img, os.path.join(workdir, "keep.pdf"), "::/keep.pdf")
    m("mdel", "-i", img, "::/notes.txt")
    m("mdel", "-i", img, "::/Folder/Sub/A long file name.bin")
    m("mrd", "-i", img, "::/Folder/Sub")
    with open(img, "rb") as f:
        return f.read()


def make_tiny_fat12(workdir):
    """40 KiB, one FAT, 32 root entries: small enough for many runs a second."""
    img = os.path.join(workdir, "tiny.img")
    with open(img, "wb") as f:
        f.truncate(40 * 1024)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mkfs.fat", "-F", "12", "-s", "1", "-r", "32", "-f", "1", "-n", "TINY", "-i", "1234abcd", img],
                   check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(workdir, "a.txt"), "wb") as f:
        f.write(b"hello\n")
    with open(os.path.join(workdir, "b.gif"), "wb") as f:
        f.write(sample("sample.gif", 3000))
    m = lambda *args: subprocess.run(["mtools", "-c", *args], check=True, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    m("mmd", "-i", img, "::/D")
    m("mcopy", "-i", img, os.path.join(workdir, "a.txt"), "::/a.txt")
    m("mcopy", "-i", img, os.path.join(workdir, "b.gif"), "::/D/Long name picture.gif")
    m("mdel", "-i", img, "::/a.txt")
    m("mdel", "-i", img, "::/D/Long name picture.gif")
    with open(img, "rb") as f:
        return f.read()


def make_formatted_fat12(workdir, zero_boot):
    """make_tiny_fat12's kind of volume with nested folders, quick-formatted again with the same
    geometry (only boot sector, FAT and root rewritten); optionally its boot sector zeroed."""
    img = os.path.join(workdir, "formatted.img")
    with open(img, "wb") as f:
        f.truncate(64 * 1024)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C.UTF-8")
    mkfs = ["mkfs.fat", "-F", "12", "-s", "1", "-r", "32", "-f", "1", "-n", "FMT", "-i", "1234abcd", img]
    subprocess.run(mkfs, check=True, stdout=subprocess.DEVNULL)
    m = lambda *args: subprocess.run(["mtools", "-c", *args], check=True, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for name, data in (("a.txt", b"hello\n" * 100), ("b.gif", sample("sample.gif", 3000)),
                       ("c.jpg", sample("tiny.jpg", 2000))):
        with open(os.path.join(workdir, name), "wb") as f:
            f.write(data)
    m("mmd", "-i", img, "::/Photos")
    m("mcopy", "-i", img, os.path.join(workdir, "c.jpg"), "::/Photos/holiday picture.jpg")
    m("mmd", "-i", img, "::/Photos/Été")
    m("mcopy", "-i", img, os.path.join(workdir, "a.txt"), "::/Photos/Été/CAFÉ.TXT")
    m("mcopy", "-i", img, os.path.join(workdir, "b.gif"), "::/Photos/Été/A long name picture.gif")
    m("mdel", "-i", img, "::/Photos/holiday picture.jpg")
    subprocess.run(mkfs, check=True, stdout=subprocess.DEVNULL)
    with open(img, "rb") as f:
        data = bytearray(f.read())
    if zero_boot:
        data[:512] = bytes(512)
    return bytes(data)


def make_exfat(workdir, size_kib, cluster):
    """A small exFAT volume with deleted files, a deleted folder tree and a long non-ASCII name,
    written through exfat-fuse on a loop device (root and FUSE needed; None without them)."""
    img = os.path.join(workdir, "exfat.img")
    mnt = os.path.join(workdir, "mnt")
    os.makedirs(mnt, exist_ok=True)
    with open(img, "wb") as f:
        f.truncate(size_kib * 1024)
    try:
        subprocess.run(["mkfs.exfat", "-c", str(cluster), "-b", "4096", img], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        loop = subprocess.run(["losetup", "-f", "--show", img], check=True, capture_output=True,
                              text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    try:
        subprocess.run(["mount.exfat-fuse", loop, mnt], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        try:
            def write(path, data):
                os.makedirs(os.path.dirname(os.path.join(mnt, path)), exist_ok=True)
                with open(os.path.join(mnt, path), "wb") as f:
                    f.write(data)
            write("d/keep.txt", b"hello world\n")
            write("d/gone.jpg", sample("tiny.jpg", 3000))
            write("x.gif", sample("sample.gif", 1500))
            write("old/deep/a.txt", b"abc\n")
            write("old/Fotograf\u00eda de la se\u00f1ora \u65e5\u672c " + "n" * 40 + ".pdf", sample("sample.pdf", 2500))
            os.remove(os.path.join(mnt, "d/gone.jpg"))
            shutil.rmtree(os.path.join(mnt, "old"))
        finally:
            subprocess.run(["umount", mnt], check=False)
    finally:
        subprocess.run(["losetup", "-d", loop], check=False)
    with open(img, "rb") as f:
        return f.read()


def make_partition_heads(work):
    """The first 64 KiB of small partitioned drives: an MBR with a FAT primary and an extended
    partition holding a logical one, and a GPT with a FAT partition, each boot sector inside."""
    heads = {}
    layouts = {
        "mbr_logical": "label: dos\nstart=64, size=4096, type=1\nstart=4160, size=8192, type=5\n"
                       "start=4176, size=4096, type=1\n",
        "gpt_fat": "label: gpt\nfirst-lba: 34\nstart=40, size=4096, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n",
    }
    for name, layout in layouts.items():
        img = os.path.join(work, name + ".img")
        with open(img, "wb") as f:
            f.truncate(8 << 20)
        subprocess.run(["sfdisk", "-q", img], input=layout.encode(), check=True)
        vol = os.path.join(work, name + ".vol")
        with open(vol, "wb") as f:
            f.truncate(2 << 20)
        subprocess.run(["mkfs.fat", "-n", "SEED", vol], stdout=subprocess.DEVNULL, check=True)
        start = 64 if name.startswith("mbr") else 40
        with open(vol, "rb") as v, open(img, "r+b") as f:
            f.seek(start * 512)
            f.write(v.read(65536 - start * 512))
        heads[name] = head(img, 65536)
    return heads


def document_seeds():
    """fuzz_document_view: one small file of every format its converters read."""
    import zipfile, io
    for name in ("sample.docx", "sample.pptx", "sample.xlsx", "sample.pdf"):
        put("fuzz_document_view", name, sample(name))

    def package(parts):
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            for part, text in parts:
                z.writestr(zipfile.ZipInfo(part, (2021, 1, 1, 0, 0, 0)), text)
        return out.getvalue()

    ns = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
          'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
          'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
          'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
          'xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0"')
    bodies = {
        "odt": '<office:text><text:h>Title</text:h><text:p>one<text:s text:c="3"/>two<text:tab/>'
               'three<text:line-break/><text:span>four</text:span></text:p></office:text>',
        "odp": '<office:presentation><draw:page><draw:frame><draw:text-box><text:p>Title</text:p>'
               '</draw:text-box></draw:frame><presentation:notes><draw:frame><draw:text-box><text:p>notes'
               '</text:p></draw:text-box></draw:frame></presentation:notes></draw:page></office:presentation>',
        "ods": '<office:spreadsheet><table:table><table:table-row table:number-rows-repeated="2">'
               '<table:table-cell table:number-columns-repeated="3"><text:p>a</text:p></table:table-cell>'
               '<table:table-cell office:value="7"/></table:table-row></table:table></office:spreadsheet>',
    }
    for ext, body in bodies.items():
        content = ('<?xml version="1.0" encoding="UTF-8"?><office:document-content %s><office:body>%s'
                   '</office:body></office:document-content>' % (ns, body))
        put("fuzz_document_view", "sample." + ext,
            package([("mimetype", "application/vnd.oasis.opendocument"), ("content.xml", content)]))
    put("fuzz_document_view", "sample.csv", b'name,"quoted, comma","say ""hi"""\r\n1,2,3\n"two\nlines",x\n')


def rar_seeds():
    """RAR 4 and RAR 5 archives of one stored member, block by block (no free tool writes RAR)."""
    data = bytes(range(256)) * 4
    name = b"member.bin"
    def block4(kind, flags, fields, payload=b""):
        h = struct.pack("<BHH", kind, flags, 7 + len(fields)) + fields
        return struct.pack("<H", zlib.crc32(h) & 0xFFFF) + h + payload
    f = struct.pack("<IIBIIBBHI", len(data), len(data), 3, zlib.crc32(data), 0x52210000, 29, 0x30, len(name), 0x81A4)
    rar4 = (b"Rar!\x1a\x07\x00" + block4(0x73, 0, bytes(6)) + block4(0x74, 0x8000, f + name, data) +
            block4(0x7B, 0x4000, b""))
    def vint(v):
        out = b""
        while v >= 0x80:
            out += bytes([v & 0x7F | 0x80])
            v >>= 7
        return out + bytes([v])
    def block5(fields, payload=b""):
        sized = vint(len(fields)) + fields
        return struct.pack("<I", zlib.crc32(sized)) + sized + payload
    f5 = (bytes([2, 2]) + vint(len(data)) + vint(4) + vint(len(data)) + vint(0x1A4) +
          struct.pack("<I", zlib.crc32(data)) + vint(0) + vint(1) + vint(len(name)) + name)
    rar5 = b"Rar!\x1a\x07\x01\x00" + block5(bytes([1, 0, 0])) + block5(f5, data) + block5(bytes([5, 0, 0]))
    return {"rar4": rar4, "rar5": rar5}


def ext_seeds():
    """Journals and extent leaves of the committed ext volumes (tests/fixtures/ext/journal)."""
    folder = os.path.join(ROOT, "tests", "fixtures", "ext", "journal")
    rows = [l.rstrip("\n").split("\t") for l in open(os.path.join(folder, "volumes.txt")) if not l.startswith("#")]
    leaves = {}
    for l in open(os.path.join(folder, "files.txt")):
        cols = l.rstrip("\n").split("\t")
        if not l.startswith("#") and cols[8] != "-":
            leaves[cols[0]] = int(cols[8])
    for name, bs, blocks, _uuid, _isize, runs in rows:
        bs, blocks = int(bs), int(blocks)
        with gzip.open(os.path.join(folder, name + ".gz"), "rb") as f:
            img = f.read()
        journal = []
        for run in runs.split(","):
            _, physical, count = map(int, run.split(":"))
            journal += [img[(physical + i) * bs:(physical + i + 1) * bs] for i in range(count)]
        # The start of the log, its length cut to what the seed holds so the walks wrap inside it.
        n = (60 * 1024) // bs
        sb = bytearray(journal[0])
        struct.pack_into(">I", sb, 0x10, n)
        put("fuzz_ext_journal", name, bytes([{1024: 0, 2048: 1, 4096: 2}[bs]]) + bytes(sb) + b"".join(journal[1:n]))
        if name in leaves:
            leaf = leaves[name]
            put("fuzz_ext_extent_scan", name + "_leaf", struct.pack("<I", blocks) + img[leaf * bs:(leaf + 2) * bs])


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    vols = {n: os.path.join(FIX, n + ".img") for n in ("fat12", "fat16", "fat32", "ntfs", "exfat", "ext4",
                                                       "fat32_bitlocker")}
    deleted, compressed = ntfs_image("ntfs_deleted"), ntfs_image("ntfs_compressed")

    for name, path in vols.items():
        put("fuzz_boot_area", name, head(path, 4096))
    put("fuzz_boot_area", "ntfs_deleted", deleted[:4096])
    with tempfile.TemporaryDirectory() as work:
        for name, data in make_partition_heads(work).items():
            put("fuzz_volume_map", name, data)

    for name in ("fat12", "fat16", "fat32"):
        root, fat = fat_root(head(vols[name], 4 << 20))
        put("fuzz_fat_directory", name + "_root", root[:4096])
        put("fuzz_fat_directory", name + "_fat", fat)

    for tag, img in (("deleted", deleted), ("compressed", compressed)):
        records, cluster = mft(img)
        picks = [0, 5, 6] + list(range(24, min(len(records), 44)))
        for i in picks:
            if i < len(records) and records[i][22] & 1 or i < 6:
                put("fuzz_ntfs_record", "%s_%d" % (tag, i), records[i])
        for i, rec in enumerate(records[:48]):
            for kind, attr in attributes(rec):
                if attr[8] and len(runs(attr)) > 2:
                    put("fuzz_ntfs_runs", "%s_%d_%x" % (tag, i, kind),
                        struct.pack("<III", len(img) // cluster, len(runs(attr)) // 2, 0) + runs(attr))
        # The first compression units of the compressed files: 16 clusters each, where stored.
        units = 0
        for rec in records:
            for kind, attr in attributes(rec):
                if kind != 0x80 or not attr[8] or not (struct.unpack_from("<H", attr, 12)[0] & 0xFF):
                    continue
                first = decode_runs(runs(attr))
                if first and first[0][0] is not None and first[0][1] < 16 and units < 6:
                    lcn, length = first[0]
                    put("fuzz_lznt1", "unit_%d" % units, b"\x10" + img[lcn * cluster:(lcn + length) * cluster])
                    units += 1
        # Boot sector through the end of the MFT: the whole directory tree with little data.
        end = struct.unpack_from("<Q", img, 0x30)[0] * cluster + len(records) * 1024
        put("fuzz_ntfs_engine", tag, img[:end])

    put("fuzz_scan_log", "relations", b" | 0 - [1,2,3] | 4294967297 - [5,-1] | 12884901890 - [7]")
    folder = struct.pack("<II", 5, 1) + "Folder".encode().ljust(260, b"\0")
    put("fuzz_scan_log", "dirinfo", folder + struct.pack("<II", 9, 2) + "Sub/ü".encode().ljust(260, b"\0"))
    entry = bytearray(1120)
    struct.pack_into("<IIQQ", entry, 0, 1, 0, 63, 2048)
    path = "/tmp/images/fat12.img".encode("utf-16-le")
    entry[80:80 + len(path)] = path
    folder = "/home/u/.local/share/Rexmoor/ScanLog/3/".encode("utf-16-le")
    entry[600:600 + len(folder)] = folder
    put("fuzz_scan_log", "index", struct.pack("<Q", 3) + bytes(entry) + b"\xff" * 1120)

    headers = ["camera_exif.jpg", "installer.msi", "sample.xls", "sample.docx", "sample.pptx", "sample.zip",
               "sample.ts", "sample.mts", "sample.mp4", "sample.mov", "sample.avi", "sample.pdf", "sample.png",
               "sample.gif", "sample.bmp", "sample.7z", "sample.rm", "sample.mkv", "sample.mp3", "sample.mpg",
               "sample.exe", "sample.db", "sample.ttf", "sample.ico", "sample.cab", "sample.tif", "sample.psd",
               "sample.swf", "sample.flv", "sample.wma", "sample.mid", "sample.mxf", "sample.wav", "sample.gz"]
    for name in headers:
        put("fuzz_file_header", name, sample(name, 1024))
    for name in headers[:20] + ["tiny.jpg", "sample.mid", "sample_be.tif"]:
        put("fuzz_carve_at_sector", name, b"\x00" + sample(name, 4096))
    for name in ["camera_exif.jpg", "progressive.jpg", "tiny.jpg", "palette.png", "animated.gif", "rle8.bmp",
                 "sample.bmp", "sample.tif", "sample_be.tif", "rle.psd", "sample.ico", "odd.wav", "sample.avi",
                 "canon.cr2", "nikon.nef", "sony.arw", "camera.dng", "olympus.orf", "panasonic.rw2", "pentax.pef",
                 "samsung.srw", "fujifilm.raf", "sample.webp", "alpha.webp"]:
        put("fuzz_walks_images", name, b"\x00" + sample(name, 16383))
    # The raws measured by a directory at their end go in whole, so that the walks reach it.
    for name in ["canon.crw", "minolta.mrw", "sigma.x3f", "epson.erf", "hasselblad.3fr", "kodak.kdc", "kodak.dcr",
                 "mamiya.mef", "leaf.mos", "phaseone.iiq"]:
        put("fuzz_walks_images", name, b"\x00" + sample(name))
    put("fuzz_carve_at_sector", "docx_check", b"\x10" + sample("sample.docx", 8192))
    # Structure walks: small media files whole (so the walks reach their ends), heads of the rest.
    for name in ["sample.mp3", "sample_vbr.mp3", "sample.mp2", "sample.mp4", "sample_frag.mp4", "sample.mov",
                 "sample.mkv", "sample_live.mkv", "sample.flv", "sample.mpg", "sample.vob", "sample_es.mpeg",
                 "sample.ts", "sample.mts", "sample.wma", "sample.rm", "sample.mxf", "sample.mid", "sample.mmf", "canon.cr3",
                 "sample.heic", "alpha.avif", "container.jxl", "recompressed.jxl",
                 "sample.flac", "sample.ogg", "sample.ogv", "sample.opus", "sample.m4a", "sample.aifc",
                 "sample_opus.webm", "sample.aac", "stereo.aac", "sample.amr", "sample.awb", "alac.caf", "sample.wv", "tagged.wv", "sample.dsf", "sample.m2ts"]:
        put("fuzz_walks_media", name, b"\x00" + sample(name, 12288))
    # Whole archives, documents and databases for the structure walks (first byte 0: no cut).
    for name in ("sample.docx", "zip_streamed.zip", "zip64.zip", "sample.7z", "sample.gz", "two_members.gz",
                 "updated.pdf", "linearised.pdf", "wal.db", "sample.xls", "installer.msi", "sample.cab",
                 "sample.swf", "sample.odt", "pandoc.rtf", "binary.rtf", "small.plist", "large.plist", "xml.plist",
                 "contacts.vcf", "calendar.ics", "nested.svg"):
        put("fuzz_walks_archives", name, b"\x00" + sample(name, 16 * 1024))
    for name, data in rar_seeds().items():
        put("fuzz_walks_archives", name, b"\x00" + data)
    document_seeds()
    ext_seeds()

    # Raw media of several files on sector boundaries, as a deep scan meets them.
    for n, group in enumerate((["tiny.jpg", "sample.mid", "sample.gif", "sample.docx"],
                               ["installer.msi", "sample.mp3"], ["sample.ts"], ["sample.png", "sample.pdf"])):
        medium = b""
        for name in group:
            data = sample(name, 12 * 1024)
            medium += data + b"\0" * (-len(data) % 512) + b"\0" * 512
        put("fuzz_carve_engine", "medium_%d" % n, medium)
        if n == 3:
            put("fuzz_deep_scan", "carvable", medium)

    with tempfile.TemporaryDirectory() as work:
        fat12 = make_fat12(work)
        put("fuzz_fat_engine", "mtools_fat12", fat12)
        put("fuzz_fat_engine", "mtools_tiny", make_tiny_fat12(work))
        put("fuzz_deep_scan", "fat12_deleted", make_tiny_fat12(work))
        put("fuzz_formatted_fat", "formatted_fat12", make_formatted_fat12(work, False))
        put("fuzz_deep_scan", "formatted_fat12", make_formatted_fat12(work, False))
        put("fuzz_formatted_fat", "formatted_fat12_noboot", make_formatted_fat12(work, True))
        for name, size_kib, cluster in (("deleted_512", 256, 512), ("deleted_4k", 384, 4096)):
            exfat = make_exfat(work, size_kib, cluster)
            if exfat is not None:
                put("fuzz_exfat_engine", name, exfat)
    # The first 256 KiB of the NTFS volumes: the boot sector, the MFT and its records.
    for name in ("ntfs_deleted", "ntfs_compressed"):
        put("fuzz_formatted_ntfs", name, ntfs_image(name)[:256 * 1024])
        if name == "ntfs_deleted":
            put("fuzz_deep_scan", name, ntfs_image(name)[:256 * 1024])
        put("fuzz_fat_directory", "mtools_root", fat_root(fat12)[0][:2048])
        put("fuzz_boot_area", "mtools_fat12", fat12[:2048])
        # Scan logs as the program writes them, from quick scans of the engine seeds.
        cli = os.environ.get("REXMOOR_CLI", os.path.join(ROOT, "build-test", "rexmoor"))
        for name, path in (("fat12", os.path.join(OUT, "fuzz_fat_engine", "mtools_fat12")),
                           ("ntfs", os.path.join(OUT, "fuzz_ntfs_engine", "deleted"))):
            logs = os.path.join(work, "logs-" + name)
            subprocess.run([cli, "scan", path, "--quick", "--data-dir", logs], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
            for folder, _, files in os.walk(logs):
                for f in files:
                    if f.endswith("_Relation"):
                        main = os.path.join(folder, f[:-len("_Relation")])
                        rel, dirs, recs = (head(main + "_Relation", 1 << 20), head(main + "_DirInfo", 1 << 20),
                                           head(main, 1 << 20))
                        put("fuzz_scan_catalogue", name, struct.pack("<II", len(rel), len(dirs)) + rel + dirs + recs)
                        put("fuzz_scan_log", name + "_relations", rel)
                        put("fuzz_scan_log", name + "_dirinfo", dirs)


if __name__ == "__main__":
    main()
