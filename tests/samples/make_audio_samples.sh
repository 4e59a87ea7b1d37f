#!/usr/bin/env bash
# Makes the samples of the newer carved formats, one function per group of formats, into
# tests/samples/files (only the files each group names; the others stay), and prints for each the
# MANIFEST.txt table row and section to paste in by hand.
#
#   bash tests/samples/make_audio_samples.sh [group ...]     (all groups when none is named)
#
# Like make_samples.sh: the committed files are the ground truth, CI never runs this.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=$HERE/files
export TZ=UTC LC_ALL=C.UTF-8
export SOURCE_DATE_EPOCH=1609459200      # 2021-01-01 00:00:00
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
F=$WORK/files
T=$WORK/tmp
mkdir -p "$F" "$T"

FF='ffmpeg -nostdin -hide_banner -loglevel error -y'
BX='-map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1'

need() {
  local missing=()
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair%%:*} (Debian package ${pair#*:})")
  done
  if ((${#missing[@]})); then
    printf 'make_audio_samples.sh: missing tools:\n' >&2
    printf '  %s\n' "${missing[@]}" >&2
    exit 1
  fi
}

# mk NAME EXT ID 'COMMAND' [EXTENT] — runs COMMAND in $T (it writes $F/NAME), copies the file out
# and prints its manifest row and section. EXTENT "footer": the footer rule alone measures the
# file to its size (zip packages); else a walk, measured by the file's structure.
ROWS=$WORK/rows.tsv
SECTIONS=$WORK/sections.txt
mk() {
  local name=$1 ext=$2 id=$3 cmd=$4 extent=${5:-walk}
  (cd "$T" && eval "$cmd") || { echo "make_audio_samples.sh: failed to make $name" >&2; exit 1; }
  [[ -s $F/$name ]] || { echo "make_audio_samples.sh: $name not written" >&2; exit 1; }
  local size sha
  size=$(stat -c %s "$F/$name")
  sha=$(sha256sum "$F/$name" | cut -d' ' -f1)
  ((size < 100 * 1024)) || { echo "make_audio_samples.sh: $name is $size bytes, too big" >&2; exit 1; }
  cp "$F/$name" "$OUT/$name"
  local measured=-
  [[ $extent == footer ]] && measured="$size (=size)"
  printf '%s\t%s\t%s\t%s\t%s\tOK\t%s:%s\t%s\t%s\n' "$name" "$ext" "$id" "$size" "$sha" "$ext" "$id" "$extent" "$measured" >> "$ROWS"
  {
    printf '\n## %s\n' "$name"
    printf 'type:         %s (type id %s)\n' "$ext" "$id"
    printf 'size:         %s bytes\n' "$size"
    printf 'sha256:       %s\n' "$sha"
    printf 'first 16:     %s\n' "$(head -c 16 "$F/$name" | od -An -tx1 | tr -s ' ' | sed 's/^ //')"
    printf 'header test:  OK (first match in table order: %s/%s)\n' "$ext" "$id"
    if [[ $extent == footer ]]; then
      printf 'extent:       footer (last end of central directory); measures %s (=size)\n' "$size"
    else
      printf 'extent:       walk; measured by its own structure\n'
    fi
    printf 'file(1):      %s\n' "$(file -b "$F/$name")"
    printf 'made by:      %s\n' "$(printf '%s' "$cmd" | tr '\n' ' ' | tr -s ' ')"
  } >> "$SECTIONS"
}

# ---------------------------------------------------------------- modern audio and video
# FLAC, Ogg (Vorbis, FLAC, Theora), Opus, M4A, AIFF / AIFF-C, WebM. Type ids as in file_type_id.h.
modern_audio_video() {
  need flac:flac oggenc:vorbis-tools opusenc:opus-tools ffmpeg:ffmpeg sox:sox file:file
  local A22='-f lavfi -i sine=frequency=440:duration=1:sample_rate=22050'
  local V10='-f lavfi -i testsrc=size=160x120:rate=10:duration=1'
  (cd "$T" && sox -R -D -n -r 22050 -c 1 -b 16 tone.wav synth 1.5 sine 440 sine 660 remix - gain -3 \
     && sox -R -D -n -r 48000 -c 2 -b 16 stereo.wav synth 1 pluck 220 pluck 330)
  mk sample.flac flac 73 'flac -s -8 --no-padding -o "$F/sample.flac" tone.wav'
  mk padded.flac flac 73 'flac -s -5 -b 1152 -T "TITLE=Rexmoor" -o "$F/padded.flac" stereo.wav'
  # Encoded from a pipe to a pipe: STREAMINFO gives no sample count and no frame sizes.
  mk streamed.flac flac 73 'sox tone.wav -t raw - | flac -s -5 --force-raw-format --endian=little --sign=signed \
     --channels=1 --bps=16 --sample-rate=22050 -c - > "$F/streamed.flac"'
  mk sample.ogg ogg 74 'oggenc -Q -q 0 --serial 7 -o "$F/sample.ogg" tone.wav'
  mk flac_in_ogg.oga ogg 74 'flac -s --ogg --serial-number=9 -o "$F/flac_in_ogg.oga" tone.wav'
  mk sample.ogv ogg 74 "\$FF $V10 $A22 -c:v libtheora -q:v 3 -c:a libvorbis -ac 1 -q:a 0 \$BX \"\$F/sample.ogv\""
  mk sample.opus opus 75 'opusenc --quiet --serial 11 --bitrate 24 stereo.wav "$F/sample.opus"'
  mk sample.m4a m4a 76 "\$FF $A22 -c:a aac -b:a 48k \$BX \"\$F/sample.m4a\""
  mk sample.m4b m4a 76 "\$FF $A22 -c:a aac -b:a 32k \$BX -f ipod -brand 'M4B ' \"\$F/sample.m4b\""
  mk sample.aiff aiff 77 'sox tone.wav -t aiff "$F/sample.aiff"'
  mk sample.aifc aiff 77 'sox stereo.wav -t aifc "$F/sample.aifc" trim 0 0.3'
  mk sample_opus.webm webm 78 "\$FF $A22 -c:a libopus -b:a 24k \$BX -f webm \"\$F/sample_opus.webm\""
}

# ---------------------------------------------------------------- more audio and video
# AAC (ADTS), AMR, CAF, WavPack, DSF, M4V; and HEVC / AV1 in MP4 and MOV and a 192-byte-packet
# M2TS, which the older mp4, mov and mts rows measure. No free tool here writes AMR-WB (sox lacks
# the encoder) or DSF: dsf.py and amrwb.py build them from the formats' public descriptions.
more_audio_video() {
  need ffmpeg:ffmpeg sox:sox wavpack:wavpack python3:python3 file:file
  local A22='-f lavfi -i sine=frequency=440:duration=1:sample_rate=22050'
  local A48='-f lavfi -i sine=frequency=440:duration=1:sample_rate=48000'
  local V10='-f lavfi -i testsrc=size=160x120:rate=10:duration=1'
  (cd "$T" && sox -R -D -n -r 8000 -c 1 -b 16 voice.wav synth 1.2 sine 300 sine 500 remix - gain -3 \
     && sox -R -D -n -r 44100 -c 2 -b 16 pluck.wav synth 1 pluck 220 pluck 330 \
     && sox -R -D -n -r 8000 -c 1 -b 16 pause.wav synth 1 sine 300 pad 0 0.42)
  cat > "$T/dsf.py" <<'PY'
# DSF: DSD chunk, fmt chunk, data chunk (4096-byte blocks per channel, interleaved by block),
# then an ID3v2.3 tag at the metadata pointer. The 1-bit signal is a first-order delta-sigma sine.
import math, struct, sys
rate, channels, samples, block = 2822400, 2, 60000, 4096
blocks = -(-samples // (block * 8))
chan = []
for c in range(channels):
    bits, acc = bytearray(blocks * block), 0.0
    for i in range(samples):
        x = 0.5 * math.sin(2 * math.pi * (1000 + 500 * c) * i / rate)
        bit = 1 if acc + x >= 0 else 0
        acc += x - (1.0 if bit else -1.0)
        if bit: bits[i // 8] |= 1 << (i % 8)   # least significant bit first
    chan.append(bits)
data = b''.join(chan[c][b * block:(b + 1) * block] for b in range(blocks) for c in range(channels))
title = b'\x00Rexmoor'
frame = b'TIT2' + struct.pack('>I', len(title)) + b'\x00\x00' + title
tag = b'ID3\x03\x00\x00' + bytes([0, 0, 0, len(frame)]) + frame
fmt = struct.pack('<4sQIIIIIIQII', b'fmt ', 52, 1, 0, 2, channels, rate, 1, samples, block, 0)
data_chunk = struct.pack('<4sQ', b'data', 12 + len(data)) + data
meta = 28 + len(fmt) + len(data_chunk)
total = meta + len(tag)
out = struct.pack('<4sQQQ', b'DSD ', 28, total, meta) + fmt + data_chunk + tag
open(sys.argv[1], 'wb').write(out)
PY
  cat > "$T/amrwb.py" <<'PY'
# AMR-WB storage file: "#!AMR-WB\n", then 12.65 kbit/s frames (frame type 2: 253 bits, 33 bytes
# with the type byte, quality bit set, the last 3 bits zero), a comfort-noise frame and no-data
# frames between. The speech bits are pseudo-random: structure only, no meaningful sound.
import random, sys
rng = random.Random(7)
out = bytearray(b'#!AMR-WB\n')
for n in range(60):
    if 30 <= n < 34:
        out += bytes([(15 << 3) | 4])          # no data
    elif n == 34:
        out += bytes([(9 << 3) | 4]) + bytes(rng.getrandbits(8) for _ in range(5))   # SID, 40 bits
    else:
        payload = bytearray(rng.getrandbits(8) for _ in range(32))
        payload[-1] &= 0xF8
        out += bytes([(2 << 3) | 4]) + payload
open(sys.argv[1], 'wb').write(out)
PY
  mk sample.aac aac 79 "\$FF $A22 -c:a aac -b:a 48k \$BX -f adts \"\$F/sample.aac\""
  mk stereo.aac aac 79 "\$FF $A48 -ac 2 -c:a aac -b:a 256k \$BX -f adts \"\$F/stereo.aac\""
  mk sample.amr amr 80 'sox voice.wav -t amr-nb -C 7 "$F/sample.amr"'
  # Silence at the end: comfort-noise and no-data frames, the last one a single no-data frame.
  mk dtx.amr amr 80 'sox pause.wav -t amr-nb -C 1 "$F/dtx.amr"'
  mk sample.awb amr 80 'python3 amrwb.py "$F/sample.awb"'
  mk sample.caf caf 81 "\$FF $A22 -c:a pcm_s16be \$BX -f caf \"\$F/sample.caf\""
  mk alac.caf caf 81 "\$FF $A48 -ac 2 -c:a alac \$BX -f caf \"\$F/alac.caf\""
  mk sample.wv wv 82 'wavpack -q pluck.wav -o "$F/sample.wv"'
  mk tagged.wv wv 82 'wavpack -q -b256 -w "Title=Rexmoor" voice.wav -o "$F/tagged.wv"'
  mk ffmpeg.wv wv 82 "\$FF $A22 -c:a wavpack \$BX -f wv \"\$F/ffmpeg.wv\""
  mk sample.dsf dsf 83 'python3 dsf.py "$F/sample.dsf"'
  mk sample.m4v m4v 84 "\$FF $V10 -c:v libx264 -pix_fmt yuv420p \$BX -brand 'M4V ' -f mp4 \"\$F/sample.m4v\""
  mk ipod.m4v m4v 84 "\$FF $V10 $A22 -c:v libx264 -pix_fmt yuv420p -c:a aac -b:a 32k \$BX -f ipod \"\$F/ipod.m4v\""
  mk hevc.mp4 mp4 18 "\$FF $V10 $A22 -c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -c:a aac -b:a 32k \$BX \"\$F/hevc.mp4\""
  mk hevc.mov mov 17 "\$FF $V10 -c:v libx265 -x265-params log-level=none -pix_fmt yuv420p -tag:v hvc1 \$BX \"\$F/hevc.mov\""
  mk av1.mp4 mp4 18 "\$FF $V10 -c:v libaom-av1 -cpu-used 8 -crf 50 -pix_fmt yuv420p \$BX \"\$F/av1.mp4\""
  mk sample.m2ts mts 47 "\$FF $V10 $A22 -c:v mpeg2video -b:v 200k -c:a mp2 -b:a 64k \$BX -mpegts_m2ts_mode 1 -f mpegts \"\$F/sample.m2ts\""
}

# ---------------------------------------------------------------- documents and personal data
# OpenDocument (odt, ods, odp, odg) and EPUB packages, RTF, mbox, vCard, iCalendar, binary and XML
# property lists, SVG. No office suite is needed: the packages are zipped by hand the way their
# standards lay them out ("mimetype" first and stored, then the XML parts, deflated).
# ImageMagick here has no SVG writer: graphviz writes the tool-made SVG.
documents_personal_data() {
  need zip:zip python3:python3 pandoc:pandoc convert:imagemagick dot:graphviz file:file
  local PY=python3
  (cd "$T" && $PY - <<'PYEOF'
import os
def w(path, text):
    os.makedirs(os.path.dirname(path) or '.', exist_ok=True)
    with open(path, 'w', encoding='utf-8', newline='\n') as f:
        f.write(text)
NS = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
      'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
      'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
      'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
      'xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0" '
      'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" '
      'xmlns:meta="urn:oasis:names:tc:opendocument:xmlns:meta:1.0" office:version="1.3"')
bodies = {
  'text': '<office:text>' + ''.join('<text:p>Paragraph %d of the recovered report.</text:p>' % i for i in range(40)) + '</office:text>',
  'spreadsheet': '<office:spreadsheet><table:table table:name="Sheet1">' + ''.join(
      '<table:table-row><table:table-cell office:value-type="float" office:value="%d"><text:p>%d</text:p></table:table-cell>'
      '<table:table-cell office:value-type="string"><text:p>row %d</text:p></table:table-cell></table:table-row>' % (i, i, i)
      for i in range(60)) + '</table:table></office:spreadsheet>',
  'presentation': '<office:presentation>' + ''.join(
      '<draw:page draw:name="Slide %d"><draw:frame svg:width="20cm" svg:height="3cm" svg:x="2cm" svg:y="2cm">'
      '<draw:text-box><text:p>Slide %d title</text:p></draw:text-box></draw:frame></draw:page>' % (i, i) for i in range(1, 9)) +
      '</office:presentation>',
  'graphics': '<office:drawing><draw:page draw:name="page1">' + ''.join(
      '<draw:rect svg:x="%dcm" svg:y="%dcm" svg:width="1cm" svg:height="1cm"/>' % (i, i) for i in range(20)) +
      '<draw:ellipse svg:x="3cm" svg:y="3cm" svg:width="4cm" svg:height="2cm"/></draw:page></office:drawing>',
}
for kind, body in bodies.items():
    d = 'odf_' + kind
    w(d + '/mimetype', 'application/vnd.oasis.opendocument.' + kind)
    w(d + '/content.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-content %s><office:body>%s</office:body></office:document-content>' % (NS, body))
    w(d + '/styles.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-styles %s><office:styles/></office:document-styles>' % NS)
    w(d + '/meta.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<office:document-meta %s><office:meta><meta:generator>Rexmoor sample script</meta:generator></office:meta></office:document-meta>' % NS)
    w(d + '/META-INF/manifest.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.3">\n'
      ' <manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.%s"/>\n'
      ' <manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>\n'
      ' <manifest:file-entry manifest:full-path="styles.xml" manifest:media-type="text/xml"/>\n'
      ' <manifest:file-entry manifest:full-path="meta.xml" manifest:media-type="text/xml"/>\n</manifest:manifest>\n' % kind)
w('epub/mimetype', 'application/epub+zip')
w('epub/META-INF/container.xml', '<?xml version="1.0" encoding="UTF-8"?>\n<container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container">\n'
  '  <rootfiles><rootfile full-path="OEBPS/content.opf" media-type="application/oebps-package+xml"/></rootfiles>\n</container>\n')
w('epub/OEBPS/content.opf', '<?xml version="1.0" encoding="UTF-8"?>\n<package xmlns="http://www.idpf.org/2007/opf" version="3.0" unique-identifier="id">\n'
  '  <metadata xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:identifier id="id">urn:uuid:6f1c2c52-8d0b-4f3a-9a55-2f3f5b1c0d11</dc:identifier>'
  '<dc:title>Recovered Book</dc:title><dc:language>en</dc:language><meta property="dcterms:modified">2021-01-01T00:00:00Z</meta></metadata>\n'
  '  <manifest><item id="nav" href="nav.xhtml" media-type="application/xhtml+xml" properties="nav"/>'
  '<item id="c1" href="chapter1.xhtml" media-type="application/xhtml+xml"/><item id="cover" href="cover.png" media-type="image/png"/></manifest>\n'
  '  <spine><itemref idref="c1"/></spine>\n</package>\n')
w('epub/OEBPS/nav.xhtml', '<?xml version="1.0" encoding="UTF-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml" xmlns:epub="http://www.idpf.org/2007/ops"><head><title>Contents</title></head>'
  '<body><nav epub:type="toc"><ol><li><a href="chapter1.xhtml">Chapter 1</a></li></ol></nav></body></html>\n')
w('epub/OEBPS/chapter1.xhtml', '<?xml version="1.0" encoding="UTF-8"?>\n<html xmlns="http://www.w3.org/1999/xhtml"><head><title>Chapter 1</title></head><body><h1>Chapter 1</h1>' +
  ''.join('<p>Line %d of the first chapter, long enough to compress.</p>' % i for i in range(80)) + '<img src="cover.png" alt="cover"/></body></html>\n')
w('plist_sample.py', '''import datetime, plistlib, sys
fmt, n, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
data = {"Name": "Rexmoor", "Version": 3, "Ratio": 0.75, "Enabled": True, "Created": datetime.datetime(2021, 1, 1),
        "Blob": bytes(range(40)), "Unicode": "caf\\u00e9 \\u2603", "Items": [{"id": i, "label": "item %d" % i} for i in range(n)]}
with open(out, "wb") as f:
    f.write(plistlib.dumps(data, fmt=plistlib.FMT_BINARY if fmt == "binary" else plistlib.FMT_XML, sort_keys=True))
''')
w('doc.md', '# Recovered notes\n\nSome *emphasis*, some **strong** text, a list:\n\n- one {braced} item\n- a back\\\\slash item\n\n![a picture](photo.png)\n\n' +
  ''.join('Paragraph %d with accents: caf\u00e9, na\u00efve, \u00fcber.\n\n' % i for i in range(12)))
PYEOF
  )
  (cd "$T" && convert -size 48x32 gradient:red-blue -strip photo.png \
     && convert -seed 5 -size 64x64 plasma:fractal -strip epub/OEBPS/cover.png)
  (cd "$T" && find odf_* epub -exec touch -d @"$SOURCE_DATE_EPOCH" {} +)
  local kind ext
  for kind in text:odt spreadsheet:ods presentation:odp graphics:odg; do
    ext=${kind#*:}
    mk "sample.$ext" "$ext" "$(grep -n "^$ext$" <<< $'odt\nods\nodp\nodg' | cut -d: -f1 | awk '{print $1 + 94}')" \
      "cd odf_${kind%%:*} && zip -q -X -0 \"\$F/sample.$ext\" mimetype && zip -q -X -9 -r \"\$F/sample.$ext\" content.xml styles.xml meta.xml META-INF" footer
  done
  mk sample.epub epub 99 'cd epub && zip -q -X -0 "$F/sample.epub" mimetype && zip -q -X -9 -r "$F/sample.epub" META-INF OEBPS/content.opf OEBPS/nav.xhtml OEBPS/chapter1.xhtml && zip -q -X -0 "$F/sample.epub" OEBPS/cover.png' footer
  mk pandoc.rtf rtf 100 'pandoc -s --resource-path=. -f markdown -t rtf -o "$F/pandoc.rtf" doc.md'
  # No free tool writes \bin data: built by hand from the RTF 1.9.1 format description (a picture
  # group whose raw bytes hold braces, backslashes and NULs, escaped braces, \'hh and \u escapes).
  mk binary.rtf rtf 100 "\$PY -c '
import sys
raw = bytes(range(256)) + b\"}}}{{\\\\\\\\\" * 8
body = (b\"{\\\\rtf1\\\\ansi\\\\ansicpg1252\\\\deff0{\\\\fonttbl{\\\\f0\\\\froman Times;}}\\r\\n\"
        b\"{\\\\info{\\\\title Raw data}}\\r\\n\"
        b\"\\\\pard Escaped \\\\{braces\\\\} and a backslash \\\\\\\\ and caf\\\\\\x27e9 and \\\\u8364?.\\\\par\\r\\n\"
        b\"{\\\\*\\\\blipuid 0123456789abcdef}{\\\\pict\\\\pngblip\\\\picw8\\\\pich8\\\\bin%d \" % len(raw) + raw + b\"}\\\\par\\r\\n\"
        b\"Closing paragraph.\\\\par\\r\\n}\")
open(sys.argv[1], \"wb\").write(body)
' \"\$F/binary.rtf\""
  mk sample.mbox mbox 101 "\$PY -c '
import mailbox, sys, email.message, email.utils
box = mailbox.mbox(sys.argv[1], create=True)
for i in range(3):
    m = email.message.EmailMessage()
    m[\"From\"] = \"sender%d@example.org\" % i
    m[\"To\"] = \"owner@example.org\"
    m[\"Subject\"] = \"Message %d\" % i
    m[\"Date\"] = email.utils.formatdate(1609459200 + 3600 * i, usegmt=True)
    m[\"Message-ID\"] = \"<%d.rexmoor@example.org>\" % i
    m.set_content(\"Body of message %d.\\nFrom the second line on, a line that starts with From.\\n\" % i)
    if i == 1:
        m.add_attachment(bytes(range(256)) * 4, maintype=\"application\", subtype=\"octet-stream\", filename=\"data.bin\")
        m.set_boundary(\"rexmoor-boundary\")
    msg = mailbox.mboxMessage(m)
    msg.set_from(\"sender%d@example.org\" % i, (2021, 1, 1, i, 0, 0, 4, 1, 0))
    box.add(msg)
box.flush()
' \"\$F/sample.mbox\""
  # vCard 4.0 (RFC 6350) and iCalendar (RFC 5545), written line by line with CR LF.
  mk contacts.vcf vcf 102 "\$PY -c '
import sys
cards = []
for i, (n, tel) in enumerate([(\"Ada Lovelace\", \"+44 20 7946 0001\"), (\"Alan Turing\", \"+44 20 7946 0002\"), (\"Grace Hopper\", \"+1 202 555 0103\")]):
    first, last = n.split()
    cards += [\"BEGIN:VCARD\", \"VERSION:4.0\", \"FN:\" + n, \"N:%s;%s;;;\" % (last, first), \"TEL;TYPE=cell:\" + tel,
              \"EMAIL:%s@example.org\" % first.lower(), \"NOTE:Contact %d\\\\, kept since 2021\" % i, \"END:VCARD\"]
open(sys.argv[1], \"wb\").write((\"\\r\\n\".join(cards) + \"\\r\\n\").encode())
' \"\$F/contacts.vcf\""
  mk calendar.ics ics 103 "\$PY -c '
import sys
lines = [\"BEGIN:VCALENDAR\", \"VERSION:2.0\", \"PRODID:-//Rexmoor//Sample//EN\", \"BEGIN:VTIMEZONE\", \"TZID:Europe/Berlin\",
         \"BEGIN:STANDARD\", \"DTSTART:19701025T030000\", \"TZOFFSETFROM:+0200\", \"TZOFFSETTO:+0100\", \"END:STANDARD\", \"END:VTIMEZONE\"]
for i in range(5):
    lines += [\"BEGIN:VEVENT\", \"UID:event-%d@example.org\" % i, \"DTSTAMP:20210101T000000Z\",
              \"DTSTART;TZID=Europe/Berlin:202101%02dT090000\" % (i + 4), \"DURATION:PT1H\", \"SUMMARY:Meeting %d\" % i,
              \"BEGIN:VALARM\", \"ACTION:DISPLAY\", \"TRIGGER:-PT15M\", \"DESCRIPTION:Reminder\", \"END:VALARM\", \"END:VEVENT\"]
lines += [\"BEGIN:VTODO\", \"UID:todo-1@example.org\", \"DTSTAMP:20210101T000000Z\", \"SUMMARY:Back up the card\", \"END:VTODO\", \"END:VCALENDAR\"]
open(sys.argv[1], \"wb\").write((\"\\r\\n\".join(lines) + \"\\r\\n\").encode())
' \"\$F/calendar.ics\""
  mk small.plist plist 104 '$PY plist_sample.py binary 5 "$F/small.plist"'
  mk large.plist plist 104 '$PY plist_sample.py binary 400 "$F/large.plist"'
  mk xml.plist plist 104 '$PY plist_sample.py xml 20 "$F/xml.plist"'
  mk graph.svg svg 105 'printf "digraph g { rankdir=LR; card -> scan -> carve -> recover; scan -> log; carve -> text; }\n" | dot -Tsvg -o "$F/graph.svg"'
  # An SVG with an XML prolog, a comment, a nested <svg> and text after its root, as editors write.
  mk nested.svg svg 105 "\$PY -c '
import sys
body = \"\".join(\"  <circle cx=\\\"%d\\\" cy=\\\"%d\\\" r=\\\"3\\\" fill=\\\"#%02x6040\\\"/>\\n\" % (10 + 7 * i, 20 + (i % 5) * 6, 16 * i) for i in range(14))
svg = (\"<?xml version=\\\"1.0\\\" encoding=\\\"UTF-8\\\" standalone=\\\"no\\\"?>\\n<!-- made for the carver: <svg> in a comment -->\\n\"
       \"<svg xmlns=\\\"http://www.w3.org/2000/svg\\\" width=\\\"120\\\" height=\\\"60\\\" viewBox=\\\"0 0 120 60\\\">\\n\"
       \"  <title>Nested</title>\\n\" + body +
       \"  <svg x=\\\"80\\\" y=\\\"0\\\" width=\\\"40\\\" height=\\\"40\\\"><rect width=\\\"40\\\" height=\\\"40\\\" fill=\\\"none\\\" stroke=\\\"black\\\"/></svg>\\n\"
       \"</svg>\\n\")
open(sys.argv[1], \"w\").write(svg)
' \"\$F/nested.svg\""
}

groups=("$@")
((${#groups[@]})) || groups=(modern_audio_video more_audio_video documents_personal_data)
for g in "${groups[@]}"; do "$g"; done
cat "$ROWS"
cat "$SECTIONS"
