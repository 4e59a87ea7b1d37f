#!/usr/bin/env bash
# Makes small sample files of the newer carved formats into tests/samples/files and prints, for
# each, the MANIFEST.txt row to add (name, ext, type id, size, sha256, ...). One function per
# group of formats; run all with no argument, or name the groups:
#
#   bash tests/samples/make_modern_samples.sh [camera_raws more_camera_raws ...]
#
# The committed files are the ground truth; CI never runs this script.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=$HERE/files
PY=/usr/bin/python3
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1609459200

need() {
  local pair
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || { echo "missing ${pair%%:*} (Debian package ${pair#*:})" >&2; exit 1; }
  done
}

# name ext type_id: prints the manifest row of a file whose length is its structure's own.
manifest_row() {
  local f=$OUT/$1 size
  size=$(stat -c %s "$f")
  printf '%s\t%s\t%s\t%s\t%s\tOK\t%s:%s\tstructure\t%s (=size)\n' \
    "$1" "$2" "$3" "$size" "$(sha256sum "$f" | cut -d' ' -f1)" "$2" "$3" "$size"
}

# The Python both raw groups build their files with: the TIFF layout helper, the previews read
# from the scratch folder (argv 1), save() into the samples folder (argv 2).
tiff_py() {
  cat <<'EOF'
import random, struct, sys
tmp, out = sys.argv[1], sys.argv[2]
preview = open(f"{tmp}/preview.jpg", "rb").read()
thumb = open(f"{tmp}/thumb.jpg", "rb").read()

SHORT, LONG, ASCII, UNDEF, RATIONAL, IFD = 3, 4, 2, 7, 5, 13
SIZES = {1: 1, 2: 1, 3: 2, 4: 4, 5: 8, 7: 1, 13: 4}

class Tiff:
    """Lays out a TIFF: header, directories and data blobs, in the order they are added."""
    def __init__(self, order, version=42, header=b""):
        self.e = "<" if order == "II" else ">"
        self.buf = bytearray(order.encode() + struct.pack(self.e + "H", version) + b"\0\0\0\0" + header)
    def blob(self, data, align=2):
        while len(self.buf) % align: self.buf += b"\0"
        at = len(self.buf); self.buf += data; return at
    def ifd(self, entries, next_ifd=0):
        """entries: (tag, type, values); values a list of numbers or bytes. Returns the IFD offset."""
        entries = sorted(entries)
        at = self.blob(b"\0" * (2 + 12 * len(entries) + 4))
        struct.pack_into(self.e + "H", self.buf, at, len(entries))
        for i, (tag, typ, vals) in enumerate(entries):
            if isinstance(vals, (bytes, bytearray)):
                raw, n = bytes(vals), len(vals)
            elif typ == RATIONAL:
                raw = b"".join(struct.pack(self.e + "II", a, b) for a, b in vals); n = len(vals)
            else:
                f = {3: "H", 4: "I", 13: "I", 1: "B"}[typ]
                raw = b"".join(struct.pack(self.e + f, v) for v in vals); n = len(vals)
            e = at + 2 + 12 * i
            struct.pack_into(self.e + "HHI", self.buf, e, tag, typ, n)
            if len(raw) <= 4:
                self.buf[e + 8:e + 8 + len(raw)] = raw
            else:
                struct.pack_into(self.e + "I", self.buf, e + 8, self.blob(raw))
        struct.pack_into(self.e + "I", self.buf, at + 2 + 12 * len(entries), next_ifd)
        return at
    def patch(self, ifd_at, tag, value):
        n = struct.unpack_from(self.e + "H", self.buf, ifd_at)[0]
        for i in range(n):
            e = ifd_at + 2 + 12 * i
            if struct.unpack_from(self.e + "H", self.buf, e)[0] == tag:
                struct.pack_into(self.e + "I", self.buf, e + 8, value); return
        raise KeyError(tag)
    def patch_array(self, ifd_at, tag, values):
        n = struct.unpack_from(self.e + "H", self.buf, ifd_at)[0]
        for i in range(n):
            e = ifd_at + 2 + 12 * i
            if struct.unpack_from(self.e + "H", self.buf, e)[0] == tag:
                at = struct.unpack_from(self.e + "I", self.buf, e + 8)[0]
                for k, v in enumerate(values): struct.pack_into(self.e + "I", self.buf, at + 4 * k, v)
                return
        raise KeyError(tag)
    def set_first(self, at): struct.pack_into(self.e + "I", self.buf, 4, at)
    def set_next(self, ifd_at, nxt):
        n = struct.unpack_from(self.e + "H", self.buf, ifd_at)[0]
        struct.pack_into(self.e + "I", self.buf, ifd_at + 2 + 12 * n, nxt)

def z(s): return s.encode() + b"\0"
def sensor(n, seed): return random.Random(seed).randbytes(n)

def exif(t, extra=()):
    return t.ifd([(33434, RATIONAL, [(1, 125)]), (34855, SHORT, [200]), (36867, ASCII, z("2021:01:01 00:00:00")),
                  (37386, RATIONAL, [(50, 1)])] + list(extra))

def save(name, data):
    open(f"{out}/{name}", "wb").write(data)

EOF
}

# ---------------------------------------------------------------------------------------------
# Camera raw files. No free tool writes them, so they are built here from the makers' published
# layouts: TIFF directories with the maker's Make and markers, JPEG previews and thumbnails made
# by ImageMagick, raw sensor data as pseudo-random bytes. The DNG's tags are written by exiftool
# into a TIFF that ImageMagick made. CR3 is ISO boxes (ftyp "crx ", moov with Canon's uuid
# holding a TIFF directory, a preview uuid with a JPEG, mdat); RAF is Fujifilm's header with
# the offsets of its JPEG, CFA header and CFA data.
camera_raws() {
  need convert:imagemagick exiftool:libimage-exiftool-perl sha256sum:coreutils
  local tmp
  tmp=$(mktemp -d)
  convert -size 160x120 gradient:navy-orange -swirl 90 -strip -quality 85 "$tmp/preview.jpg"
  convert -size 64x48 gradient:green-white -strip -quality 75 "$tmp/thumb.jpg"
  convert -size 48x32 gradient:red-blue -depth 8 -compress none -strip "$tmp/plain.tif"

  { tiff_py; cat <<'EOF'; } | "$PY" - "$tmp" "$OUT"
# CR2: "CR", version 2.0 and the raw IFD's offset after the TIFF header; IFD0 holds the large
# preview, IFD1 the thumbnail, IFD3 the raw data. Canon's maker note is an IFD whose offsets count
# from the TIFF header; its colour data lies last in the file.
t = Tiff("II", header=b"CR\x02\x00\0\0\0\0")
jpg = t.blob(preview); raw = t.blob(sensor(24000, 1)); th = t.blob(thumb)
ifd3 = t.ifd([(259, SHORT, [6]), (273, LONG, [raw]), (279, LONG, [24000]), (50752, SHORT, [1, 1, 1])])
ifd2 = t.ifd([(256, LONG, [40]), (257, LONG, [30]), (259, SHORT, [1]), (273, LONG, [0]), (279, LONG, [3600])], ifd3)
t.patch(ifd2, 273, t.blob(sensor(3600, 2)))
ifd1 = t.ifd([(259, SHORT, [6]), (513, LONG, [th]), (514, LONG, [len(thumb)])], ifd2)
note = t.ifd([(1, SHORT, list(range(40))), (6, ASCII, z("Canon EOS 5D Mark II")), (0x4001, UNDEF, b"\0" * 8)])
ex = exif(t, [(37500, UNDEF, b"\0" * 64)])
ifd0 = t.ifd([(256, LONG, [160]), (257, LONG, [120]), (259, SHORT, [6]), (271, ASCII, z("Canon")),
              (272, ASCII, z("Canon EOS 5D Mark II")), (273, LONG, [jpg]), (279, LONG, [len(preview)]),
              (34665, LONG, [ex])], ifd1)
# The maker note's bytes are the note IFD itself; its colour data goes at the end.
n_entries = 3
note_len = 2 + 12 * n_entries + 4
for i in range(struct.unpack_from("<H", t.buf, ex)[0]):
    e = ex + 2 + 12 * i
    if struct.unpack_from("<H", t.buf, e)[0] == 37500:
        struct.pack_into("<II", t.buf, e + 4, note_len, note)
for i in range(n_entries):
    e = note + 2 + 12 * i
    if struct.unpack_from("<H", t.buf, e)[0] == 0x4001:
        struct.pack_into("<II", t.buf, e + 4, 1500, t.blob(sensor(1500, 3)))
t.set_first(ifd0)
struct.pack_into("<I", t.buf, 12, ifd3)
save("canon.cr2", t.buf)

# IFD0 comes first in these, at offset 8, as cameras write it.
# NEF (big-endian): IFD0 with the thumbnail strip, SubIFDs for the full-size JPEG and the CFA
# data; the maker note is Nikon's own embedded TIFF, kept as the bytes its tag spans.
t = Tiff("MM")
nikon = b"Nikon\0\x02\x10\0\0" + b"MM\0\x2a\0\0\0\x08" + b"\0\x01" + b"\0\x01\0\x07\0\0\0\x04" + b"0210" + b"\0" * 4
ifd0 = t.ifd([(254, LONG, [1]), (256, LONG, [64]), (257, LONG, [48]), (259, SHORT, [6]),
              (271, ASCII, z("NIKON CORPORATION")), (272, ASCII, z("NIKON D90")), (273, LONG, [0]),
              (279, LONG, [len(thumb)]), (330, LONG, [0, 0]), (34665, LONG, [0])])
th = t.blob(thumb); jpg = t.blob(preview); raw = t.blob(sensor(30000, 4), 4)
s1 = t.ifd([(254, LONG, [1]), (259, SHORT, [6]), (513, LONG, [jpg]), (514, LONG, [len(preview)])])
s2 = t.ifd([(254, LONG, [0]), (256, LONG, [200]), (257, LONG, [100]), (259, SHORT, [1]),
            (262, SHORT, [32803]), (273, LONG, [raw]), (279, LONG, [30000])])
ex = exif(t, [(37500, UNDEF, nikon)])
t.patch(ifd0, 273, th); t.patch_array(ifd0, 330, [s1, s2]); t.patch(ifd0, 34665, ex)
t.set_first(ifd0)
save("nikon.nef", t.buf)

# ARW: IFD0 carries the JPEG preview as a JPEG interchange field and the raw data in a SubIFD.
t = Tiff("II")
ifd0 = t.ifd([(254, LONG, [1]), (259, SHORT, [6]), (271, ASCII, z("SONY")), (272, ASCII, z("DSLR-A700")),
              (330, LONG, [0]), (513, LONG, [0]), (514, LONG, [len(preview)]), (34665, LONG, [0])])
jpg = t.blob(preview); raw = t.blob(sensor(28000, 5), 4)
s1 = t.ifd([(254, LONG, [0]), (259, SHORT, [32767]), (262, SHORT, [32803]), (273, LONG, [raw]), (279, LONG, [28000])])
ex = exif(t)
ifd1 = t.ifd([(259, SHORT, [6]), (513, LONG, [0]), (514, LONG, [len(thumb)])])
t.patch(ifd1, 513, t.blob(thumb))
t.patch(ifd0, 330, s1); t.patch(ifd0, 513, jpg); t.patch(ifd0, 34665, ex); t.set_next(ifd0, ifd1)
t.set_first(ifd0)
save("sony.arw", t.buf)

# ORF: "IIRO"; the sensor data in IFD0's strip, a thumbnail in IFD1; Olympus's maker note starts
# with its own text header and is kept whole.
t = Tiff("II", version=0x4F52)
raw = t.blob(sensor(26000, 6), 4); th = t.blob(thumb)
ex = exif(t, [(37500, UNDEF, b"OLYMPUS\0II\x03\0" + b"\0" * 40)])
ifd1 = t.ifd([(259, SHORT, [6]), (513, LONG, [th]), (514, LONG, [len(thumb)])])
ifd0 = t.ifd([(254, LONG, [0]), (256, LONG, [200]), (257, LONG, [130]), (259, SHORT, [1]),
              (271, ASCII, z("OLYMPUS IMAGING CORP.  ")), (272, ASCII, z("E-M5")), (273, LONG, [raw]),
              (279, LONG, [26000]), (34665, LONG, [ex])], ifd1)
t.set_first(ifd0)
save("olympus.orf", t.buf)

# RW2: "IIU\0" with IFD0 at 0x18; Panasonic's tags 0x2E (the embedded JPEG) and 0x118 (raw data
# offset) next to the strip fields.
t = Tiff("II", version=0x55, header=b"\0" * 16)
ifd0 = t.ifd([(1, UNDEF, b"0200"), (2, SHORT, [200]), (3, SHORT, [160]), (46, UNDEF, preview),
              (271, ASCII, z("Panasonic")), (272, ASCII, z("DMC-GH2")), (273, LONG, [0]), (279, LONG, [32000]),
              (280, LONG, [0])])
assert ifd0 == 0x18
raw = t.blob(sensor(32000, 7), 4)
t.patch(ifd0, 273, raw); t.patch(ifd0, 280, raw)
t.set_first(ifd0)
save("panasonic.rw2", t.buf)

# PEF (big-endian): the raw strip in IFD0, the preview in IFD1; Pentax's "AOC" maker note kept whole.
t = Tiff("MM")
ifd0 = t.ifd([(256, LONG, [200]), (257, LONG, [135]), (259, SHORT, [65535]), (262, SHORT, [32803]),
              (271, ASCII, z("PENTAX Corporation ")), (272, ASCII, z("PENTAX K10D        ")), (273, LONG, [0]),
              (279, LONG, [27000]), (34665, LONG, [0])])
raw = t.blob(sensor(27000, 8), 4); jpg = t.blob(preview)
ex = exif(t, [(37500, UNDEF, b"AOC\0MM" + b"\0" * 30)])
ifd1 = t.ifd([(259, SHORT, [6]), (513, LONG, [jpg]), (514, LONG, [len(preview)])])
t.patch(ifd0, 273, raw); t.patch(ifd0, 34665, ex); t.set_next(ifd0, ifd1)
t.set_first(ifd0)
save("pentax.pef", t.buf)

# SRW: IFD0 with a thumbnail, the raw data in a SubIFD.
t = Tiff("II")
ifd0 = t.ifd([(254, LONG, [1]), (259, SHORT, [6]), (271, ASCII, z("SAMSUNG")), (272, ASCII, z("NX100")),
              (273, LONG, [0]), (279, LONG, [len(thumb)]), (330, LONG, [0]), (34665, LONG, [0])])
raw = t.blob(sensor(29000, 9), 4); th = t.blob(thumb)
s1 = t.ifd([(254, LONG, [0]), (259, SHORT, [32769]), (262, SHORT, [32803]), (273, LONG, [raw]), (279, LONG, [29000])])
ex = exif(t, [(37500, UNDEF, b"\0\x01" + b"\x01\0\x07\0\x04\0\0\0" + b"0100" + b"\0" * 4)])
t.patch(ifd0, 273, th); t.patch(ifd0, 330, s1); t.patch(ifd0, 34665, ex)
t.set_first(ifd0)
save("samsung.srw", t.buf)

# CR3: ISO boxes. moov holds Canon's uuid box with CNCV and CMT1 (a TIFF IFD0 with the Make),
# a preview uuid box holds a JPEG, mdat the sensor data.
def box(typ, payload): return struct.pack(">I", 8 + len(payload)) + typ + payload
CANON = bytes.fromhex("85c0b687820f11e08111f4ce462b6a48")
PRVW = bytes.fromhex("eaf42b5e1c984b88b9fbb7dc406e4d16")
cmt = Tiff("II"); cmt.set_first(cmt.ifd([(271, ASCII, z("Canon")), (272, ASCII, z("Canon EOS R"))]))
ftyp = box(b"ftyp", b"crx " + struct.pack(">I", 1) + b"crx isom")
moov = box(b"moov", box(b"uuid", CANON + box(b"CNCV", b"CanonCR3_001/00.09.00/00.00.00") +
                        box(b"CMT1", bytes(cmt.buf))) +
           box(b"trak", box(b"tkhd", b"\0" * 84)))
prvw = box(b"uuid", PRVW + struct.pack(">Q", 0) + box(b"PRVW", b"\0" * 8 + preview))
mdat = box(b"mdat", sensor(30000, 10))
save("canon.cr3", ftyp + moov + prvw + mdat)

# RAF: magic, version, camera id and name, directory version, then the offsets and lengths of
# the JPEG, the CFA header and the CFA data (big-endian).
cfa_header = struct.pack(">I", 2) + struct.pack(">HH", 0x100, 4) + struct.pack(">HH", 4000, 3000) + \
             struct.pack(">HH", 0x130, 4) + b"\0\0\0\0"
cfa = sensor(31000, 11)
head = bytearray(b"FUJIFILMCCD-RAW 0201FF383501" + b"X-T1".ljust(32, b"\0") + b"0100" + b"\0" * 20)
assert len(head) == 0x54
jpeg_at = 0x94
cfa_head_at = jpeg_at + len(preview)
cfa_at = (cfa_head_at + len(cfa_header) + 15) & ~15
head += struct.pack(">6I", jpeg_at, len(preview), cfa_head_at, len(cfa_header), cfa_at, len(cfa))
head = head.ljust(jpeg_at, b"\0") + preview + cfa_header
head = head.ljust(cfa_at, b"\0") + cfa
save("fujifilm.raf", head)
EOF

  # DNG: exiftool writes DNGVersion, Make and Model into ImageMagick's TIFF.
  cp "$tmp/plain.tif" "$tmp/dng.tif"
  exiftool -q -overwrite_original -DNGVersion=1.4.0.0 -DNGBackwardVersion=1.1.0.0 -Make=Canon \
    -Model='Canon EOS 5D' -UniqueCameraModel='Canon EOS 5D' "$tmp/dng.tif"
  cp "$tmp/dng.tif" "$OUT/camera.dng"
  rm -rf "$tmp"

  manifest_row canon.cr2 cr2 59
  manifest_row nikon.nef nef 60
  manifest_row sony.arw arw 61
  manifest_row camera.dng dng 62
  manifest_row olympus.orf orf 63
  manifest_row panasonic.rw2 rw2 64
  manifest_row pentax.pef pef 65
  manifest_row samsung.srw srw 66
  manifest_row canon.cr3 cr3 67
  manifest_row fujifilm.raf raf 68
}

# ---------------------------------------------------------------------------------------------
# The other camera raws. No free tool writes these either; they are built the same way from the
# makers' published layouts. CRW is Canon's CIFF: a 26-byte header, then one heap of records
# (raw data, the JPEG, sub-heaps with the Make and Model) whose record table closes the heap and
# whose last four bytes point back at that table. MRW is Minolta's MRM block (PRD, TTW with a
# TIFF directory and thumbnail, WBG, RIF, PAD) followed by 12-bit packed sensor data. X3F is
# Sigma's header, PROP/IMAG/IMA2 sections, then the section directory and the pointer to it.
# ERF, 3FR, KDC, DCR, MEF, MOS and IIQ are TIFFs with their maker's Make and private tags (Kodak's
# KDC and DCS IFDs, Leaf's packet data, Phase One's raw block after the TIFF header).
more_camera_raws() {
  need convert:imagemagick sha256sum:coreutils
  local tmp
  tmp=$(mktemp -d)
  convert -size 160x120 gradient:navy-orange -swirl 90 -strip -quality 85 "$tmp/preview.jpg"
  convert -size 64x48 gradient:green-white -strip -quality 75 "$tmp/thumb.jpg"

  { tiff_py; cat <<'EOF'; } | "$PY" - "$tmp" "$OUT"
# CRW: records are (tag, size, offset) with offsets from the heap's start; a tag's top bits say
# where the value is (0: in the heap, 0x4000: in the record), types 0x28/0x30 are sub-heaps.
def heap(records):
    """records: (tag, bytes) stored in the heap, or (tag, 8-byte value) kept in the record."""
    data, table = bytearray(), []
    for tag, value in records:
        if tag & 0xC000 == 0x4000:
            table.append(struct.pack("<H", tag) + value.ljust(8, b"\0"))
        else:
            while len(data) % 4: data += b"\0"
            table.append(struct.pack("<HII", tag, len(value), len(data))); data += value
    at = len(data)
    return bytes(data + struct.pack("<H", len(table)) + b"".join(table) + struct.pack("<I", at))

props = heap([(0x080A, z("Canon") + z("Canon PowerShot G2")), (0x5817, struct.pack("<I", 1)),
              (0x1810, struct.pack("<IIII", 2272, 1704, 0, 0))])
exif_heap = heap([(0x102A, b"\0" * 48), (0x5814, struct.pack("<I", 1))])
root = heap([(0x2005, sensor(30000, 21)), (0x2007, preview), (0x300A, props), (0x300B, exif_heap)])
save("canon.crw", b"II" + struct.pack("<I", 26) + b"HEAPCCDR" + struct.pack("<HH", 2, 1) + b"\0" * 8 + root)

# MRW (big-endian): the sensor data starts at 8 + the MRM block's length.
def block(name, payload): return b"\0" + name + struct.pack(">I", len(payload)) + payload
rows, cols = 120, 160
prd = b"21810002" + struct.pack(">HHHH", rows, cols, rows, cols) + bytes([12, 12, 0x59, 0]) + \
      struct.pack(">HH", 0, 1)
ttw = Tiff("MM")
th = ttw.blob(thumb)
ex = exif(ttw)
ifd1 = ttw.ifd([(259, SHORT, [6]), (513, LONG, [th]), (514, LONG, [len(thumb)])])
ttw.set_first(ttw.ifd([(271, ASCII, z("Minolta Co., Ltd.")), (272, ASCII, z("DiMAGE A1")),
                       (34665, LONG, [ex])], ifd1))
blocks = block(b"PRD", prd) + block(b"TTW", bytes(ttw.buf)) + \
         block(b"WBG", b"\0\0\0\0" + struct.pack(">4H", 473, 256, 256, 388)) + block(b"RIF", b"\0" * 92)
blocks += block(b"PAD", b"\0" * ((-len(blocks) - 16) % 512))
save("minolta.mrw", b"\0MRM" + struct.pack(">I", len(blocks)) + blocks + sensor(rows * cols * 12 // 8, 22))

# X3F (little-endian): header (version 2.2), then the sections, the directory, its offset.
head = b"FOVb" + struct.pack("<HH", 2, 2) + random.Random(23).randbytes(16) + struct.pack("<IIII", 0, 160, 120, 0) + \
       b"Auto".ljust(32, b"\0") + b"\0" * 32 + b"\0" * 128
names = [("CAMMANUF", "SIGMA"), ("CAMMODEL", "SIGMA SD14")]
chars, entries = "", b""
for k, v in names:
    entries += struct.pack("<II", len(chars), len(chars) + len(k) + 1); chars += k + "\0" + v + "\0"
prop = b"SECp" + struct.pack("<IIIII", 0x20000, len(names), 0, 0, len(chars)) + entries + chars.encode("utf-16-le")
imag = b"SECi" + struct.pack("<IIIIII", 0x20000, 2, 18, 160, 120, 0) + preview
raw = b"SECi" + struct.pack("<IIIIII", 0x20000, 1, 30, 160, 120, 0) + sensor(28000, 24)
body, directory = bytearray(head), []
for kind, section in ((b"PROP", prop), (b"IMAG", imag), (b"IMA2", raw)):
    while len(body) % 16: body += b"\0"
    directory.append(struct.pack("<II", len(body), len(section)) + kind); body += section
while len(body) % 16: body += b"\0"
at = len(body)
body += b"SECd" + struct.pack("<II", 0x20000, len(directory)) + b"".join(directory) + struct.pack("<I", at)
save("sigma.x3f", body)

# The TIFF-based ones: IFD0 at offset 8 with the Make and Model and the raw data in its strip,
# the preview as a JPEG in IFD1.
def tiff_raw(order, make, model, seed, extra=(), note=None):
    t = Tiff(order)
    ifd0 = t.ifd([(254, LONG, [0]), (256, LONG, [200]), (257, LONG, [140]), (259, SHORT, [1]),
                  (262, SHORT, [32803]), (271, ASCII, z(make)), (272, ASCII, z(model)), (273, LONG, [0]),
                  (279, LONG, [28000]), (34665, LONG, [0])] + list(extra))
    raw = t.blob(sensor(28000, seed), 4); jpg = t.blob(preview)
    ex = exif(t, [(37500, UNDEF, note)] if note else [])
    ifd1 = t.ifd([(259, SHORT, [6]), (513, LONG, [jpg]), (514, LONG, [len(preview)])])
    t.patch(ifd0, 273, raw); t.patch(ifd0, 34665, ex); t.set_next(ifd0, ifd1)
    t.set_first(ifd0)
    return t, ifd0

t, _ = tiff_raw("II", "SEIKO EPSON CORP.", "R-D1", 25, extra=[(305, ASCII, z("Epson RAW 1.0"))],
                note=b"EPSON\0\x01\0" + b"\0" * 40)
save("epson.erf", t.buf)
t, _ = tiff_raw("II", "Hasselblad", "Hasselblad H3D", 26)
save("hasselblad.3fr", t.buf)
t, _ = tiff_raw("MM", "Mamiya", "ZD", 27)
save("mamiya.mef", t.buf)
# Leaf keeps its settings as "PKTS" packets in tag 34310.
t, _ = tiff_raw("MM", "Leaf", "Aptus 75", 28,
                extra=[(34310, UNDEF, b"PKTS\0\0\0\x01" + b"CaptProf_mosaic_pattern".ljust(40, b"\0") + b"\0" * 32)])
save("leaf.mos", t.buf)
# Kodak: the consumer cameras' KDC IFD (tag 65024), the DCS cameras' Kodak IFD (tag 33424), each an
# IFD whose values count from the TIFF header.
t, ifd0 = tiff_raw("II", "EASTMAN KODAK COMPANY", "KODAK EASYSHARE Z1015 IS DIGITAL CAMERA", 29,
                   extra=[(65024, LONG, [0])])
t.patch(ifd0, 65024, t.ifd([(0xFA00, ASCII, z("KCK123456789")), (0xFD04, LONG, [1]), (0xFA0D, UNDEF, b"\0" * 24)]))
save("kodak.kdc", t.buf)
t, ifd0 = tiff_raw("II", "Kodak", "DCS Pro 14N", 30, extra=[(33424, LONG, [0])])
t.patch(ifd0, 33424, t.ifd([(0x03E9, ASCII, z("DCS Pro 14N")), (0x0FA0, SHORT, [1, 2, 3, 4]),
                            (0x0FA1, UNDEF, b"\0" * 36)]))
save("kodak.dcr", t.buf)
# IIQ: Phase One's raw block right after the TIFF header: "IIII", the word "Raw" reversed, the
# offset of its directory (from the block's start); entries of tag, type, size and the value or
# its offset. The sensor data is reached only from that directory.
t = Tiff("II", header=b"IIII\x01waR" + b"\0" * 8)
ifd0 = t.ifd([(256, LONG, [160]), (257, LONG, [120]), (259, SHORT, [6]), (271, ASCII, z("Phase One")),
              (272, ASCII, z("IQ180")), (273, LONG, [0]), (279, LONG, [len(preview)])])
t.patch(ifd0, 273, t.blob(preview))
cal = t.blob(sensor(600, 31), 8); data = t.blob(sensor(30000, 32), 8)
entries = [(0x100, 1, 4, 0), (0x108, 1, 4, 200), (0x109, 1, 4, 150), (0x10F, 7, 30000, data - 8),
           (0x110, 7, 600, cal - 8), (0x21C, 1, 4, data - 8)]
d = t.blob(struct.pack("<II", len(entries), 0) + b"".join(struct.pack("<IIII", *e) for e in entries), 4)
struct.pack_into("<I", t.buf, 16, d - 8)
t.set_first(ifd0)
save("phaseone.iiq", t.buf)
EOF
  rm -rf "$tmp"

  manifest_row canon.crw crw 85
  manifest_row minolta.mrw mrw 86
  manifest_row sigma.x3f x3f 87
  manifest_row epson.erf erf 88
  manifest_row hasselblad.3fr 3fr 89
  manifest_row kodak.kdc kdc 90
  manifest_row kodak.dcr dcr 91
  manifest_row mamiya.mef mef 92
  manifest_row leaf.mos mos 93
  manifest_row phaseone.iiq iiq 94
}

groups=("$@")
((${#groups[@]})) || groups=(camera_raws more_camera_raws)
for g in "${groups[@]}"; do "$g"; done
