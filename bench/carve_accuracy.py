#!/usr/bin/env python3
"""Helper of carve_accuracy.sh: the corpus files no encoder on the system writes, the medium with
its ground truth, and the comparison of what came back. Python 3.11, standard library only.

  carve_accuracy.py midi|zip|docx|xlsx|pptx|odt|ods|odp|odg|epub|mbox|plist|vcf|ics|svg|text|postscript|sqlsource|payload OUT SEED
  carve_accuracy.py layout CORPUS_DIR IMAGE TRUTH_TSV SEED
  carve_accuracy.py compare TRUTH_TSV REXMOOR_OUT SECONDS [PHOTOREC_DIR SECONDS]
"""
import bisect
import collections
import email.message
import email.utils
import hashlib
import mailbox
import os
import plistlib
import random
import re
import struct
import sys
import time
import zipfile

SECTOR = 512
WORDS = ("recovery medium sector cluster quarterly figures minutes approved holiday pictures report "
         "budget meeting garden river mountain station library window letter morning evening summer "
         "winter invoice customer account balance camera memory card drive folder archive music video").split()
FIXED_TIME = (2026, 12, 9, 12, 0, 0)


def sentence(rng, n=None):
    n = n or rng.randint(6, 16)
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."


def paragraph(rng):
    return " ".join(sentence(rng) for _ in range(rng.randint(2, 7)))


# --- corpus files ---------------------------------------------------------------------------

def make_midi(out, rng):
    """A standard MIDI file, format 1, a tempo track and a few note tracks."""
    def vlq(v):
        b = [v & 0x7F]
        v >>= 7
        while v:
            b.append(0x80 | (v & 0x7F))
            v >>= 7
        return bytes(reversed(b))

    def track(events):
        body = b"".join(events) + b"\x00\xff\x2f\x00"
        return b"MTrk" + struct.pack(">I", len(body)) + body

    tracks = [track([b"\x00\xff\x51\x03" + struct.pack(">I", rng.randint(300000, 700000))[1:],
                     b"\x00\xff\x03" + bytes([9]) + b"Rexmoor 1"])]
    count = rng.randint(1, 4)
    for t in range(count):
        ev = [b"\x00" + bytes([0xC0 | t, rng.randint(0, 127)])]
        for _ in range(rng.randint(20, 3000)):
            note = rng.randint(40, 90)
            ev.append(b"\x00" + bytes([0x90 | t, note, rng.randint(40, 120)]))
            ev.append(vlq(rng.choice((60, 120, 240, 480))) + bytes([0x80 | t, note, 0]))
        tracks.append(track(ev))
    with open(out, "wb") as f:
        f.write(b"MThd" + struct.pack(">IHHH", 6, 1, len(tracks), 480) + b"".join(tracks))


def zip_write(z, name, data, compress=True):
    info = zipfile.ZipInfo(name, FIXED_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED
    z.writestr(info, data)


def make_zip(out, rng):
    with zipfile.ZipFile(out, "w") as z:
        for n in range(rng.randint(1, 12)):
            if rng.random() < 0.3:
                data = rng.randbytes(rng.randint(10, 300000))
            else:
                data = "\n".join(paragraph(rng) for _ in range(rng.randint(1, 300))).encode()
            zip_write(z, "folder%d/file%d.%s" % (n % 3, n, rng.choice(("txt", "bin", "dat"))), data,
                      rng.random() < 0.7)
        if rng.random() < 0.5:
            z.comment = sentence(rng).encode()


CT = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
      '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
      '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
      '<Default Extension="xml" ContentType="application/xml"/>'
      '<Default Extension="png" ContentType="image/png"/>%s</Types>')
RELS = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">%s</Relationships>')
OFFDOC = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument"


def make_ooxml(out, kind, rng):
    """A package the way an office suite lays it out: [Content_Types].xml first, then the parts."""
    parts = []
    if kind == "docx":
        main = "word/document.xml"
        ctype = "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"
        paras = "".join("<w:p><w:r><w:t>%s</w:t></w:r></w:p>" % paragraph(rng) for _ in range(rng.randint(3, 400)))
        parts.append((main, '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document xmlns:w='
                      '"http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>%s</w:body>'
                      '</w:document>' % paras))
    elif kind == "xlsx":
        main = "xl/workbook.xml"
        ctype = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"
        ns = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
        rns = 'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"'
        parts.append((main, '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<workbook %s %s><sheets>'
                      '<sheet name="Sheet1" sheetId="1" r:id="rId1"/></sheets></workbook>' % (ns, rns)))
        parts.append(("xl/_rels/workbook.xml.rels", RELS % (
            '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/'
            'worksheet" Target="worksheets/sheet1.xml"/>')))
        rows = "".join('<row r="%d">%s</row>' % (r, "".join('<c r="%s%d"><v>%d</v></c>' % (chr(65 + c), r,
                       rng.randint(0, 99999)) for c in range(8))) for r in range(1, rng.randint(5, 3000)))
        parts.append(("xl/worksheets/sheet1.xml", '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                      '<worksheet %s><sheetData>%s</sheetData></worksheet>' % (ns, rows)))
    else:
        main = "ppt/presentation.xml"
        ctype = "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"
        parts.append((main, '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<p:presentation xmlns:p='
                      '"http://schemas.openxmlformats.org/presentationml/2006/main"><p:notesSz cx="6858000" '
                      'cy="9144000"/></p:presentation>'))
        for n in range(rng.randint(1, 20)):
            parts.append(("ppt/slides/slide%d.xml" % (n + 1), '<?xml version="1.0"?>\n<p:sld xmlns:p="http://'
                          'schemas.openxmlformats.org/presentationml/2006/main"><p:txBody>%s</p:txBody></p:sld>'
                          % paragraph(rng)))
    if rng.random() < 0.5:
        parts.append(("docProps/thumbnail.png" if kind != "docx" else "word/media/image1.png",
                      b"\x89PNG\r\n\x1a\n" + rng.randbytes(rng.randint(1000, 200000))))
    parts.append(("docProps/core.xml", '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<cp:core'
                  'Properties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties"'
                  ' xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>%s</dc:title></cp:coreProperties>'
                  % sentence(rng, 4)))
    with zipfile.ZipFile(out, "w") as z:
        zip_write(z, "[Content_Types].xml", CT % ('<Override PartName="/%s" ContentType="%s"/>' % (main, ctype)))
        zip_write(z, "_rels/.rels", RELS % ('<Relationship Id="rId1" Type="%s" Target="%s"/>' % (OFFDOC, main)))
        for name, data in parts:
            zip_write(z, name, data, not name.endswith(".png"))


def make_text(out, kind, rng):
    lines = rng.randint(3, 4000)
    if kind == "txt":
        body = "\n\n".join(paragraph(rng) for _ in range(lines // 4 + 1)) + "\n"
    elif kind == "html":
        body = ("<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>%s</title></head>\n<body>\n%s\n"
                "</body>\n</html>\n" % (sentence(rng, 3), "\n".join("<p>%s</p>" % paragraph(rng)
                                                                   for _ in range(lines // 4 + 1))))
    elif kind == "xml":
        body = ('<?xml version="1.0" encoding="UTF-8"?>\n<records>\n%s</records>\n' % "".join(
            '  <record id="%d"><name>%s</name><amount>%d.%02d</amount></record>\n'
            % (n, sentence(rng, 3), rng.randint(0, 9999), rng.randint(0, 99)) for n in range(lines)))
    elif kind == "json":
        body = "[\n%s\n]\n" % ",\n".join('  {"id": %d, "name": "%s", "amount": %d.%02d, "ok": %s}'
                                         % (n, sentence(rng, 3), rng.randint(0, 9999), rng.randint(0, 99),
                                            rng.choice(("true", "false"))) for n in range(lines))
    elif kind == "csv":
        body = "id,name,amount,date\r\n" + "".join('%d,"%s",%d.%02d,2026-%02d-%02d\r\n'
                                                   % (n, sentence(rng, 3), rng.randint(0, 9999), rng.randint(0, 99),
                                                      rng.randint(1, 12), rng.randint(1, 28)) for n in range(lines))
    elif kind == "eml":
        body = ("From: Anna Example <anna@example.org>\r\nTo: team@example.org\r\nSubject: %s\r\n"
                "Date: Wed, 09 Dec 2026 10:%02d:00 +0000\r\nMessage-ID: <%d@example.org>\r\nMIME-Version: 1.0\r\n"
                "Content-Type: text/plain; charset=utf-8\r\n\r\n%s\r\n"
                % (sentence(rng, 5), rng.randint(0, 59), rng.randint(1, 10**9),
                   "\r\n\r\n".join(paragraph(rng) for _ in range(lines // 20 + 1))))
    else:
        funcs = []
        for n in range(lines // 8 + 1):
            funcs.append("/* %s */\nstatic int step_%d(int value)\n{\n    int total = %d;\n    for (int i = 0; i < "
                         "value; ++i)\n        total += i * %d;\n    return total;\n}\n"
                         % (sentence(rng), n, rng.randint(0, 99), rng.randint(1, 9)))
        body = "#include <stdio.h>\n\n" + "\n".join(funcs) + "\nint main(void)\n{\n    printf(\"%d\\n\", step_0(3));\n" \
               "    return 0;\n}\n"
    with open(out, "w", newline="") as f:
        f.write(body)


ODF_NS = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
          'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
          'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
          'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
          'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" office:version="1.3"')
ODF_KINDS = {"odt": "text", "ods": "spreadsheet", "odp": "presentation", "odg": "graphics"}


def make_package(out, kind, rng):
    """An OpenDocument or EPUB package as office suites and e-book tools lay it out: "mimetype"
    first and stored, then the XML parts (and sometimes a picture), deflated."""
    if kind == "epub":
        mimetype = "application/epub+zip"
        chapters = rng.randint(1, 30)
        parts = [("META-INF/container.xml", '<?xml version="1.0"?>\n<container version="1.0" xmlns="urn:oasis:'
                  'names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="OEBPS/content.opf" '
                  'media-type="application/oebps-package+xml"/></rootfiles></container>\n'),
                 ("OEBPS/content.opf", '<?xml version="1.0"?>\n<package xmlns="http://www.idpf.org/2007/opf" '
                  'version="3.0"><metadata/><manifest>%s</manifest></package>\n' % "".join(
                      '<item id="c%d" href="c%d.xhtml" media-type="application/xhtml+xml"/>' % (n, n)
                      for n in range(chapters)))]
        for n in range(chapters):
            parts.append(("OEBPS/c%d.xhtml" % n, '<?xml version="1.0"?>\n<html xmlns="http://www.w3.org/1999/xhtml">'
                          '<body>%s</body></html>\n' % "".join("<p>%s</p>" % paragraph(rng)
                                                               for _ in range(rng.randint(1, 80)))))
    else:
        mimetype = "application/vnd.oasis.opendocument." + ODF_KINDS[kind]
        body = "".join("<text:p>%s</text:p>" % paragraph(rng) for _ in range(rng.randint(1, 600)))
        parts = [("content.xml", '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content %s>'
                  '<office:body><office:%s>%s</office:%s></office:body></office:document-content>'
                  % (ODF_NS, ODF_KINDS[kind], body, ODF_KINDS[kind])),
                 ("styles.xml", '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles %s/>' % ODF_NS),
                 ("META-INF/manifest.xml", '<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest xmlns:'
                  'manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0"><manifest:file-entry manifest:'
                  'full-path="/" manifest:media-type="%s"/></manifest:manifest>' % mimetype)]
    if rng.random() < 0.5:
        parts.append(("Pictures/image1.png" if kind != "epub" else "OEBPS/image1.png",
                      b"\x89PNG\r\n\x1a\n" + rng.randbytes(rng.randint(1000, 200000))))
    with zipfile.ZipFile(out, "w") as z:
        zip_write(z, "mimetype", mimetype, compress=False)
        for name, data in parts:
            zip_write(z, name, data, not name.endswith(".png"))


def make_personal(out, kind, rng):
    """Mailboxes, contacts, calendars, property lists and drawings as their usual writers make them."""
    if kind == "mbox":
        box = mailbox.mbox(out, create=True)
        for n in range(rng.randint(1, 40)):
            m = email.message.EmailMessage()
            m["From"] = "person%d@example.org" % rng.randint(1, 99)
            m["To"] = "owner@example.org"
            m["Subject"] = sentence(rng, 5)
            m["Date"] = email.utils.formatdate(1700000000 + n * 3600, usegmt=True)
            m["Message-ID"] = "<%d@example.org>" % rng.randint(1, 10**9)
            m.set_content("\n\n".join(paragraph(rng) for _ in range(rng.randint(1, 30))) + "\n")
            msg = mailbox.mboxMessage(m)
            msg.set_from(m["From"], time.gmtime(1700000000 + n * 3600))
            box.add(msg)
        box.flush()
        box.close()
        return
    if kind == "plist":
        data = {"Name": sentence(rng, 3), "Count": rng.randint(0, 10**6), "Ratio": rng.random(),
                "Blob": rng.randbytes(rng.randint(0, 3000)),
                "Items": [{"id": n, "label": sentence(rng, 3), "on": rng.random() < 0.5}
                          for n in range(rng.randint(0, 2000))]}
        with open(out, "wb") as f:
            f.write(plistlib.dumps(data, fmt=plistlib.FMT_BINARY if rng.random() < 0.6 else plistlib.FMT_XML))
        return
    if kind == "vcf":
        lines = []
        for n in range(rng.randint(1, 200)):
            first, last = sentence(rng, 2).rstrip(".").split()[:2]
            lines += ["BEGIN:VCARD", "VERSION:%s" % rng.choice(("3.0", "4.0")), "FN:%s %s" % (first, last),
                      "N:%s;%s;;;" % (last, first), "TEL;TYPE=cell:+49 %d" % rng.randint(10**8, 10**9),
                      "EMAIL:%s@example.org" % first.lower(), "END:VCARD"]
        body = "\r\n".join(lines) + "\r\n"
    elif kind == "ics":
        lines = ["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//Bench//EN"]
        for n in range(rng.randint(1, 300)):
            lines += ["BEGIN:VEVENT", "UID:%d@example.org" % rng.randint(1, 10**9), "DTSTAMP:20261209T100000Z",
                      "DTSTART:2026%02d%02dT%02d0000Z" % (rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23)),
                      "SUMMARY:%s" % sentence(rng, 4), "END:VEVENT"]
        body = "\r\n".join(lines + ["END:VCALENDAR"]) + "\r\n"
    else:  # svg
        shapes = "".join('  <circle cx="%d" cy="%d" r="%d" fill="#%06x"/>\n' % (rng.randint(0, 800), rng.randint(0, 600),
                         rng.randint(1, 80), rng.randint(0, 0xFFFFFF)) for _ in range(rng.randint(1, 3000)))
        body = ('<?xml version="1.0" encoding="UTF-8"?>\n<svg xmlns="http://www.w3.org/2000/svg" width="800" '
                'height="600">\n<title>%s</title>\n%s</svg>\n' % (sentence(rng, 3), shapes))
    with open(out, "w", newline="") as f:
        f.write(body)


def make_postscript(out, rng):
    pages = []
    for p in range(rng.randint(1, 12)):
        lines = ["/Helvetica findfont %d scalefont setfont" % rng.randint(9, 16)]
        for y in range(760, 60, -rng.randint(14, 40)):
            lines.append("60 %d moveto (%s) show" % (y, sentence(rng, 8)))
        for _ in range(rng.randint(0, 20)):
            lines.append("%.2f %.2f %.2f setrgbcolor %d %d %d %d rectfill 0 setgray"
                         % (rng.random(), rng.random(), rng.random(), rng.randint(0, 500), rng.randint(0, 700),
                            rng.randint(5, 100), rng.randint(5, 100)))
        pages.append("\n".join(lines) + "\nshowpage")
    with open(out, "w") as f:
        f.write("%!PS-Adobe-3.0\n" + "\n".join(pages) + "\n")


def make_sqlsource(out, rng):
    rows = rng.randint(10, 40000)
    with open(out, "w") as f:
        f.write("PRAGMA page_size=%d;\nBEGIN;\nCREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT, amount REAL, "
                "note BLOB);\n" % rng.choice((1024, 4096, 8192)))
        for n in range(rows):
            f.write("INSERT INTO items VALUES(%d,'%s',%d.%02d,X'%s');\n"
                    % (n, sentence(rng, 3), rng.randint(0, 9999), rng.randint(0, 99),
                       rng.randbytes(rng.randint(0, 40)).hex()))
        if rng.random() < 0.5:
            f.write("CREATE INDEX items_name ON items(name);\n")
        f.write("COMMIT;\n")


def make_payload(out, rng):
    """Files to pack into an archive: some text, some incompressible."""
    os.makedirs(out, exist_ok=True)
    for n in range(rng.randint(1, 6)):
        if rng.random() < 0.4:
            data = rng.randbytes(rng.randint(100, 400000))
        else:
            data = "\n".join(paragraph(rng) for _ in range(rng.randint(1, 800))).encode()
        with open(os.path.join(out, "part%d.dat" % n), "wb") as f:
            f.write(data)


# --- the medium -----------------------------------------------------------------------------

def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def make_dsf(out, rng):
    """A DSF file: DSD and fmt chunks, 4096-byte blocks per channel (the last one zero-filled),
    and now and then an ID3v2 tag at the metadata pointer. The 1-bit stream is random."""
    rate = rng.choice([2822400, 5644800])
    channels = rng.choice([1, 2, 2, 6])
    samples = rng.randint(50000, 3000000)
    block = 4096
    blocks = -(-samples // (block * 8))
    data = bytearray(rng.randbytes(blocks * block * channels))
    tail = samples % (block * 8)
    if tail:  # the unused bytes of each channel's last block are zero
        for c in range(channels):
            at = ((blocks - 1) * channels + c) * block + -(-tail // 8)
            data[at:at + block - -(-tail // 8)] = bytes(block - -(-tail // 8))
    tag = b""
    if rng.random() < 0.5:
        title = b"\x00Track %d" % rng.randint(1, 99)
        frame = b"TIT2" + struct.pack(">I", len(title)) + b"\x00\x00" + title
        tag = b"ID3\x03\x00\x00" + bytes([0, 0, 0, len(frame)]) + frame
    fmt = struct.pack("<4sQIIIIIIQII", b"fmt ", 52, 1, 0, [1, 2, 3, 4, 5, 6, 7][channels - 1] if channels < 6 else 7,
                      channels, rate, 1, samples, block, 0)
    chunk = struct.pack("<4sQ", b"data", 12 + len(data)) + data
    meta = 28 + len(fmt) + len(chunk) if tag else 0
    total = 28 + len(fmt) + len(chunk) + len(tag)
    with open(out, "wb") as f:
        f.write(struct.pack("<4sQQQ", b"DSD ", 28, total, meta) + fmt + chunk + tag)


def kind_of(name):
    """The extension a carver would give the file (a .tar.gz is a gzip stream)."""
    return name.rsplit(".", 1)[1].lower()


def layout(corpus, image, truth, seed):
    rng = random.Random(seed)
    names = sorted(os.listdir(corpus))
    rng.shuffle(names)
    # Some same-kind pairs go back to back: the second begins on the sector after the first ends.
    by_kind = collections.defaultdict(list)
    for n in names:
        by_kind[kind_of(n)].append(n)
    follows = {}
    for kind, group in sorted(by_kind.items()):
        if len(group) >= 2 and rng.random() < 0.6:
            a, b = group[0], group[1]
            follows[a] = b
    placed_after = set(follows.values())
    order = []
    for n in names:
        if n in placed_after:
            continue
        order.append(n)
        if n in follows:
            order.append(follows[n])
    text = b"The quarterly figures were discussed and the minutes approved. "
    rows = []
    with open(image, "wb") as img:
        for n in order:
            if n not in placed_after:
                gap = rng.randint(0, 64) * SECTOR
                fill = rng.choice(("random", "zero", "text"))
                if fill == "random":
                    img.write(rng.randbytes(gap))
                elif fill == "zero":
                    img.write(bytes(gap))
                else:
                    img.write((text * (gap // len(text) + 1))[:gap])
            start = img.tell() // SECTOR
            path = os.path.join(corpus, n)
            with open(path, "rb") as f:
                data = f.read()
            img.write(data)
            slack = (-len(data)) % SECTOR
            img.write(rng.randbytes(slack) if rng.random() < 0.5 else bytes(slack))
            rows.append((n, start, len(data), hashlib.sha256(data).hexdigest(), "after" if n in placed_after else ""))
        img.write(bytes(64 * SECTOR))
        size = img.tell()
    with open(truth, "w") as f:
        f.write("file\tstart_sector\tsize\tsha256\tback_to_back\n")
        for r in rows:
            f.write("%s\t%d\t%d\t%s\t%s\n" % r)
    total = sum(r[2] for r in rows)
    print("carve_accuracy: medium %s: %.1f MiB, %d files (%.1f MiB of them), %d pairs back to back"
          % (image, size / 2**20, len(rows), total / 2**20, len(placed_after)), file=sys.stderr)


# --- the comparison -------------------------------------------------------------------------

# Extensions that name the same kind: a find under any of them is typed right.
ALIASES = [{"jpg", "jpeg", "jpe", "jfif"}, {"tif", "tiff"}, {"mpg", "mpeg", "vob"}, {"asf", "wmv", "wma"},
           {"m2ts", "mts"}, {"gz", "gzip"}, {"mid", "midi"}, {"rm", "rmvb"}, {"htm", "html"}, {"db", "sqlite"},
           {"heic", "heif"}, {"ogg", "oga"}, {"aiff", "aif", "aifc"}, {"m4a", "m4b"},
           {"amr", "awb"}]


def group_of(name):
    """The corpus kind a file was made as (jpgexif_3.jpg: jpgexif)."""
    return name.split("_", 1)[0]


def same_kind(a, b):
    return a == b or any(a in s and b in s for s in ALIASES)


def finds(folder, pattern):
    """Start sector -> [(path, extension)] of the files whose names match pattern."""
    out = collections.defaultdict(list)
    if not folder or not os.path.isdir(folder):
        return out
    for root, _, files in os.walk(folder):
        for name in files:
            m = re.match(pattern, name)
            if m:
                out[int(m.group(1))].append((os.path.join(root, name), name.rsplit(".", 1)[-1].lower()
                                             if "." in name else ""))
    return out


def judge(row, candidates):
    """(exact bytes, typed right, reason) for one ground-truth file."""
    if not candidates:
        return False, False, "not found"
    kind = kind_of(row["file"])
    best = None
    for path, ext in candidates:
        if sha256_file(path) == row["sha256"]:
            if same_kind(ext, kind):
                return True, True, ""
            best = best or (True, False, "typed as %s (bytes exact)" % ext)
    if best:
        return best
    path, ext = candidates[0]
    size = os.path.getsize(path)
    typed = "" if same_kind(ext, kind) else ", typed as %s" % ext
    want = row["size"]
    with open(path, "rb") as f:
        got = f.read(min(size, want))
    h = hashlib.sha256()
    h.update(got)
    prefix_ok = False
    if size >= want:
        prefix_ok = h.hexdigest() == row["sha256"]
    else:
        with open(row["path"], "rb") as f:
            prefix_ok = f.read(size) == got
    if prefix_ok and size > want:
        return False, False, "too long by %d%s" % (size - want, typed)
    if prefix_ok and size < want:
        return False, False, "too short by %d%s" % (want - size, typed)
    return False, False, "wrong bytes (%d bytes, file has %d)%s" % (size, want, typed)


def swallowed_by(start, found):
    """Where a find that begins earlier runs over this start: the usual reason it was missed."""
    best = None
    for s, files in found.items():
        if s < start and (best is None or s > best[0]):
            for path, ext in files:
                if s * SECTOR + os.path.getsize(path) > start * SECTOR:
                    best = (s, ext)
    return " (inside the %s found at sector %d)" % (best[1], best[0]) if best else ""


def read_truth(truth):
    """The rows of truth.tsv, each with the path of its corpus file."""
    corpus = os.path.join(os.path.dirname(truth), "corpus")
    rows = []
    with open(truth) as f:
        header = f.readline().rstrip("\n").split("\t")
        for line in f:
            r = dict(zip(header, line.rstrip("\n").split("\t")))
            r["start_sector"] = int(r["start_sector"])
            r["size"] = int(r["size"])
            r["path"] = os.path.join(corpus, r["file"])
            rows.append(r)
    return rows


def compare(truth, ours, our_seconds, photorec, photorec_seconds):
    rows = read_truth(truth)
    mine = finds(ours, r"^(\d+)\.[A-Za-z0-9]+$")
    theirs = finds(photorec, r"^f(\d+)")
    starts = {r["start_sector"] for r in rows}
    n = len(rows)
    exact = typed = pr_exact = 0
    misses = collections.defaultdict(list)
    per_kind = collections.defaultdict(lambda: [0, 0, 0])
    for r in rows:
        kind = group_of(r["file"])
        ok, right, reason = judge(r, mine.get(r["start_sector"], []))
        if reason == "not found":
            reason += swallowed_by(r["start_sector"], mine)
        exact += ok
        typed += right
        per_kind[kind][0] += 1
        per_kind[kind][1] += right
        if not right:
            misses[kind].append((r, reason))
        if photorec:
            pr_ok = any(sha256_file(p) == r["sha256"] for p, _ in theirs.get(r["start_sector"], []))
            pr_exact += pr_ok
            per_kind[kind][2] += pr_ok
    extra = collections.Counter(ext for start, found in mine.items() if start not in starts for _, ext in found)

    pct = lambda k: 100.0 * k / n if n else 0.0
    print("files in the medium:          %d" % n)
    print("rexmoor byte-exact, typed:    %d (%.1f %%)   in %.1f s" % (typed, pct(typed), our_seconds))
    print("rexmoor byte-exact, any type: %d (%.1f %%)" % (exact, pct(exact)))
    if photorec:
        print("PhotoRec byte-exact:          %d (%.1f %%)   in %.1f s" % (pr_exact, pct(pr_exact), photorec_seconds))
    else:
        print("PhotoRec byte-exact:          not run")
    print("rexmoor files at no file's start: %d%s" % (sum(extra.values()), (" (" + ", ".join(
        "%s %d" % kv for kv in sorted(extra.items())) + ")") if extra else ""))
    # Where those lie: inside a file of the medium (a piece of it carved again) or in a gap.
    spans = sorted((r["start_sector"], r["start_sector"] + (r["size"] + SECTOR - 1) // SECTOR, group_of(r["file"]))
                   for r in rows)
    hosts = collections.Counter()
    for start, found in mine.items():
        if start in starts:
            continue
        i = bisect.bisect_right(spans, (start, float("inf"), "")) - 1
        host = spans[i][2] if i >= 0 and start < spans[i][1] else "gaps"
        hosts[host] += len(found)
    if hosts:
        print("  of them inside: %s" % ", ".join("%s %d" % kv for kv in hosts.most_common()))
    print()
    print("%-8s %5s %8s %9s" % ("kind", "files", "rexmoor", "PhotoRec" if photorec else ""))
    for kind in sorted(per_kind):
        total, ok, pr = per_kind[kind]
        print("%-8s %5d %8d %9s" % (kind, total, ok, pr if photorec else ""))
    print()
    reasons = collections.Counter(re.match(r"[a-z ]+?(?= by| \(|,|$)", reason).group(0)
                                  for found in misses.values() for _, reason in found)
    print("rexmoor misses (%d): %s" % (n - typed, ", ".join("%s %d" % kv for kv in reasons.most_common())))
    for kind in sorted(misses):
        print("  %s:" % kind)
        for r, reason in sorted(misses[kind], key=lambda m: m[0]["start_sector"]):
            print("    %-16s sector %-8d %9d bytes%s  %s" % (r["file"], r["start_sector"], r["size"],
                                                           " (back to back)" if r["back_to_back"] else "", reason))


def main():
    cmd = sys.argv[1]
    if cmd == "layout":
        layout(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
    elif cmd == "compare":
        photorec = sys.argv[5] if len(sys.argv) > 5 and sys.argv[5] else ""
        compare(sys.argv[2], sys.argv[3], float(sys.argv[4]), photorec, float(sys.argv[6]) if photorec else 0)
    else:
        out, rng = sys.argv[2], random.Random(int(sys.argv[3]))
        if cmd == "midi":
            make_midi(out, rng)
        elif cmd == "zip":
            make_zip(out, rng)
        elif cmd in ("docx", "xlsx", "pptx"):
            make_ooxml(out, cmd, rng)
        elif cmd in ("odt", "ods", "odp", "odg", "epub"):
            make_package(out, cmd, rng)
        elif cmd in ("mbox", "plist", "vcf", "ics", "svg"):
            make_personal(out, cmd, rng)
        elif cmd == "text":
            make_text(out, kind_of(out), rng)
        elif cmd == "postscript":
            make_postscript(out, rng)
        elif cmd == "sqlsource":
            make_sqlsource(out, rng)
        elif cmd == "payload":
            make_payload(out, rng)
        elif cmd == "dsf":
            make_dsf(out, rng)
        else:
            sys.exit("carve_accuracy.py: unknown command " + cmd)


if __name__ == "__main__":
    main()
