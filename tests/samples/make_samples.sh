#!/usr/bin/env bash
# Makes small real sample files of every format the content recogniser knows, with stock Debian
# tools, into tests/samples/files (replaced whole), and writes files/MANIFEST.txt: type, size,
# sha256, how each file's length is defined, the result of the header check below, and the exact
# command that made it.
#
#   bash tests/samples/make_samples.sh
#
# The committed files are the ground truth; CI never runs this script. Clocks, seeds and metadata
# are pinned where the tools allow it, so most files repeat byte for byte (see README.md for the
# few that carry a build time or a random id).
#
# Every sample is then run through an emulation of the recogniser's header tests (first match in
# table order, sector size 512, the file alone) and, where its length comes from a size field or a
# footer, through that rule, so MANIFEST.txt says what our carver should make of it.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=$HERE/files
PY=/usr/bin/python3

missing=()
for pair in convert:imagemagick exiftool:libimage-exiftool-perl ffmpeg:ffmpeg ffprobe:ffmpeg \
            sox:sox sqlite3:sqlite3 zip:zip 7z:p7zip-full gzip:gzip gcab:gcab groff:groff \
            abc2midi:abcmidi mpeg2enc:mjpegtools mplex:mjpegtools wixl:wixl ps2pdf:ghostscript qpdf:qpdf \
            x86_64-w64-mingw32-gcc:gcc-mingw-w64-x86-64-win32 file:file sha256sum:coreutils; do
  command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair%%:*} (Debian package ${pair#*:})")
done
[[ -x $PY ]] || missing+=("$PY (Debian package python3)")
"$PY" -c 'import xlwt' 2>/dev/null || missing+=("python module xlwt (Debian package python3-xlwt)")
FONT=/usr/share/fonts/truetype/eeyek/Eeyek-Regular.ttf
[[ -f $FONT ]] || missing+=("$FONT (Debian package fonts-eeyek)")
[[ $(ffmpeg -hide_banner -encoders 2>/dev/null) == *libtwolame* ]] || missing+=("ffmpeg built with libtwolame")
if ((${#missing[@]})); then
  printf 'make_samples.sh: missing tools:\n' >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi

export TZ=UTC LC_ALL=C.UTF-8
export SOURCE_DATE_EPOCH=1609459200      # 2021-01-01 00:00:00
WORK=$(mktemp -d "$HERE/.build.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
F=$WORK/files      # becomes OUT
T=$WORK/tmp        # intermediates
mkdir -p "$F" "$T"
: > "$WORK/entries.tsv"

# mk NAME TYPE 'COMMAND' — runs COMMAND in $T (it writes $F/NAME) and records it verbatim.
# TYPE is the recogniser's extension for the format (e.g. "ole" for an MSI package).
mk() {
  local name=$1 type=$2 cmd=$3
  (cd "$T" && eval "$cmd") || { echo "make_samples.sh: failed to make $name" >&2; exit 1; }
  [[ -s $F/$name ]] || { echo "make_samples.sh: $name not written" >&2; exit 1; }
  printf '%s\t%s\t%s\n' "$name" "$type" "$(printf '%s' "$cmd" | tr '\n' ' ' | tr -s ' ')" >> "$WORK/entries.tsv"
}

FF='ffmpeg -nostdin -hide_banner -loglevel error -y'
# No metadata, no encoder version strings, one thread: output that repeats.
BX='-map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -threads 1'

# ---------------------------------------------------------------- source pictures and text
cd "$T"
convert -size 320x240 -seed 7 plasma:fractal -depth 8 -strip photo.png
convert -size 96x72 -seed 11 plasma:fractal -depth 8 -strip small.png
convert photo.png -resize 160x120 -strip -quality 75 thumb.jpg
exiftool -q -overwrite_original -JFIF:all= thumb.jpg      # camera thumbnails carry no APP0
mkdir -p arc
printf 'Rexmoor sample archive.\nThe other members are numbered lines and a picture.\n' > arc/readme.txt
seq 1 150 | sed 's/^/line /' > arc/notes1.txt
seq 1 300 | sed 's/^/line /' > arc/notes2.txt
cp small.png arc/picture.png
touch -d @"$SOURCE_DATE_EPOCH" arc/*
cd "$WORK"

# ---------------------------------------------------------------- pictures
mk sample.jpg jpg 'convert photo.png -strip -quality 85 -sampling-factor 2x2 "$F/sample.jpg"'
mk tiny.jpg jpg 'convert -size 16x16 xc:"#3366aa" -strip -quality 50 "$F/tiny.jpg"'
mk camera_exif.jpg jpg 'convert photo.png -strip -quality 88 "$F/camera_exif.jpg" && exiftool -q -overwrite_original -JFIF:all= -ExifByteOrder=Little-endian -Make=Rexcam -Model="RX-100 Test" -Orientation#=1 -XResolution=72 -YResolution=72 -ResolutionUnit=inches -DateTimeOriginal="2021:01:01 12:00:00" -ExposureTime=1/125 -FNumber=4.0 -ISO=100 "-ThumbnailImage<=thumb.jpg" "$F/camera_exif.jpg"'
# The embedded thumbnail must come back out byte for byte.
exiftool -b -ThumbnailImage "$F/camera_exif.jpg" | cmp -s - "$T/thumb.jpg" \
  || { echo "make_samples.sh: camera_exif.jpg lacks its thumbnail" >&2; exit 1; }
mk sample.png png 'convert small.png -strip -define png:exclude-chunks=date,time "$F/sample.png"'
mk sample.gif gif 'convert small.png -strip -colors 64 "$F/sample.gif"'
mk sample.bmp bmp 'convert small.png -strip BMP3:"$F/sample.bmp"'
mk sample.tif tif 'convert small.png -strip -compress lzw -define tiff:endian=lsb "$F/sample.tif"'
mk sample_be.tif tif 'convert small.png -strip -compress lzw -define tiff:endian=msb "$F/sample_be.tif"'
mk sample.psd psd 'convert small.png -strip "$F/sample.psd"'
mk sample.ico ico 'convert small.png -strip -define icon:auto-resize=48,32,16 "$F/sample.ico"'
# More pictures for the structure walks: progressive scans, a palette with text chunks, an
# animation, RLE and version-5 bitmaps (the latter does not pass the bitmap test), tiles and two
# pages, PackBits image data.
mk progressive.jpg jpg 'convert photo.png -strip -interlace Plane -quality 80 "$F/progressive.jpg"'
mk palette.png png 'convert small.png -colors 16 -set comment "rexmoor test" -define png:exclude-chunks=date,time "$F/palette.png"'
mk animated.gif gif 'convert small.png -strip \( small.png -rotate 180 \) \( small.png -flop \) -colors 32 -set delay 20 -loop 0 "$F/animated.gif"'
mk rle8.bmp bmp 'convert small.png -strip -colors 16 -compress RLE BMP3:"$F/rle8.bmp"'
mk v5.bmp bmp 'convert small.png -strip -define bmp:format=bmp5 "$F/v5.bmp"'
mk tiled.tif tif 'convert small.png -strip \( small.png -flip \) -define tiff:tile-geometry=32x32 -compress zip "$F/tiled.tif"'
mk bigtiff.tif tif 'convert small.png -strip -compress lzw TIFF64:"$F/bigtiff.tif"'
mk rle.psd psd 'convert small.png -strip -compress RLE "$F/rle.psd"'

# ---------------------------------------------------------------- sound
mk sample.wav wav 'sox -D -n -r 8000 -c 1 -b 16 "$F/sample.wav" synth 0.5 sine 440 fade 0 0.5 0.05'
# An odd-length data chunk and its pad byte.
mk odd.wav wav 'sox -D -n -r 8000 -b 8 -c 1 "$F/odd.wav" synth 1001s sine 440'
mk sample.mp3 mp3 '$FF -f lavfi -i sine=frequency=440:duration=1:sample_rate=22050 -ac 1 -c:a libmp3lame -b:a 32k $BX -metadata title="Rexmoor sample" -metadata artist="Rexmoor tests" -id3v2_version 3 -write_id3v1 1 "$F/sample.mp3"'
# 384 kbit/s, 48 kHz, stereo, no CRC, original flag clear: the frame header FF FD E4 00.
mk sample.mp2 mp2 '$FF -f lavfi -i sine=frequency=440:duration=0.5:sample_rate=48000 -ac 2 -c:a libtwolame -b:a 384k -mode stereo -original 0 $BX -f mp2 "$F/sample.mp2"'
# ffmpeg's own MP2 encoder always sets the "original" bit: FF FD E4 04, which the recogniser rejects.
mk ffmpeg_native.mp2 mp2 '$FF -f lavfi -i sine=frequency=440:duration=0.5:sample_rate=48000 -ac 2 -c:a mp2 -b:a 384k $BX -f mp2 "$F/ffmpeg_native.mp2"'
mk sample.mmf mmf '$FF -f lavfi -i sine=frequency=440:duration=1:sample_rate=8000 -ac 1 -c:a adpcm_yamaha $BX -f mmf "$F/sample.mmf"'
mk sample.wma wma '$FF -f lavfi -i sine=frequency=440:duration=1:sample_rate=22050 -ac 1 -c:a wmav2 -b:a 32k $BX -f asf "$F/sample.wma"'
# MPEG-2 layer III, VBR (an info frame first), ID3v2.4, no ID3v1.
mk sample_vbr.mp3 mp3 '$FF -f lavfi -i sine=frequency=440:duration=1:sample_rate=16000 -ac 2 -c:a libmp3lame -q:a 6 $BX -id3v2_version 4 -metadata title="Rexmoor VBR" "$F/sample_vbr.mp3"'
cat > "$T/tune.abc" <<'EOF'
X:1
T:Rexmoor Sample Tune
M:4/4
L:1/8
Q:1/4=120
K:C
V:1
CDEF GABc|c2G2 E2C2|DEFG ABcd|e2c2 G4|
CDEF GABc|c2G2 E2C2|DEFG ABcd|c8|]
V:2
C,4 G,4|C,4 C,4|G,,4 D,4|C,4 E,4|
C,4 G,4|C,4 C,4|G,,4 D,4|C,8|]
EOF
mk sample.mid mid 'abc2midi tune.abc -o "$F/sample.mid" >/dev/null'

# ---------------------------------------------------------------- video and containers
V10='-f lavfi -i testsrc=size=160x120:rate=10:duration=1'
A22='-f lavfi -i sine=frequency=440:duration=1:sample_rate=22050'
A48='-f lavfi -i sine=frequency=440:duration=1:sample_rate=48000'
mk sample.avi avi '$FF $V10 $A22 -c:v mpeg4 -q:v 8 -c:a pcm_s16le -ac 1 $BX -f avi "$F/sample.avi"'
mk sample.mkv mkv '$FF $V10 $A48 -c:v mpeg4 -q:v 8 -c:a libopus -b:a 24k -ac 1 $BX -f matroska "$F/sample.mkv"'
mk sample.flv flv '$FF $V10 $A22 -c:v flv1 -q:v 8 -c:a libmp3lame -b:a 32k -ac 1 $BX -f flv "$F/sample.flv"'
mk sample.mp4 mp4 '$FF $V10 $A22 -c:v libx264 -preset veryfast -crf 32 -pix_fmt yuv420p -c:a aac -b:a 32k -ac 1 $BX -f mp4 "$F/sample.mp4"'
mk sample_mp42.mp4 mp4 '$FF $V10 $A22 -c:v libx264 -preset veryfast -crf 32 -pix_fmt yuv420p -c:a aac -b:a 32k -ac 1 $BX -brand mp42 -f mp4 "$F/sample_mp42.mp4"'
# Fragmented MP4 (moov first, then moof/mdat pairs and an mfra).
mk sample_frag.mp4 mp4 '$FF $V10 -c:v mpeg4 -q:v 8 $BX -movflags frag_keyframe+empty_moov -f mp4 "$F/sample_frag.mp4"'
# Written to a pipe, so the Segment's size stays unknown.
mk sample_live.mkv mkv '$FF $V10 $A48 -c:v mpeg4 -q:v 8 -c:a libopus -b:a 24k -ac 1 $BX -f matroska pipe:1 > "$F/sample_live.mkv"'
mk sample.webm mkv '$FF $V10 $A48 -c:v libvpx -b:v 60k -c:a libvorbis -ac 1 -b:a 32k $BX -f webm "$F/sample.webm"'
mk sample.mov mov '$FF $V10 $A22 -c:v mpeg4 -q:v 8 -c:a aac -b:a 32k -ac 1 $BX -f mov "$F/sample.mov"'
mk sample.3gp 3gp '$FF -f lavfi -i testsrc=size=176x144:rate=10:duration=1 $A22 -c:v h263 -q:v 8 -c:a aac -b:a 32k -ac 1 $BX -f 3gp "$F/sample.3gp"'
# MPEG-1 program stream with a real program end code (00 00 01 B9), and its video elementary
# stream ending with a sequence end code (00 00 01 B7): mjpegtools writes both, ffmpeg neither.
mk sample_es.mpeg mpeg '$FF -f lavfi -i testsrc=size=160x120:rate=25:duration=0.6 -pix_fmt yuv420p -f yuv4mpegpipe v.y4m && mpeg2enc -v 0 -f 0 -F 3 -q 10 -b 300 -o "$F/sample_es.mpeg" < v.y4m'
mk sample.mpg mpg '$FF -f lavfi -i sine=frequency=440:duration=0.6:sample_rate=44100 -ac 1 -c:a mp2 -b:a 64k $BX -f mp2 a.mp2 && mplex -v 0 -f 0 -r 450 -o "$F/sample.mpg" "$F/sample_es.mpeg" a.mp2'
mk ffmpeg_ps.mpg mpg '$FF -f lavfi -i testsrc=size=160x120:rate=25:duration=1 -f lavfi -i sine=frequency=440:duration=1:sample_rate=44100 -c:v mpeg1video -q:v 8 -c:a mp2 -b:a 64k -ac 1 $BX -f mpeg "$F/ffmpeg_ps.mpg"'
mk sample.vob vob '$FF -f lavfi -i testsrc=size=160x120:rate=25:duration=1 $A48 -c:v mpeg2video -q:v 8 -c:a mp2 -b:a 64k -ac 1 $BX -f vob "$F/sample.vob"'
mk sample.ts ts '$FF -f lavfi -i testsrc=size=160x120:rate=25:duration=1 $A48 -c:v mpeg2video -q:v 8 -c:a mp2 -b:a 64k -ac 1 $BX -f mpegts "$F/sample.ts"'
# 192-byte packets with a 4-byte arrival-time prefix; ffmpeg's first packet is its SDT.
mk sample.mts mts '$FF -f lavfi -i testsrc=size=160x120:rate=25:duration=1 $A48 -c:v mpeg2video -q:v 8 -c:a mp2 -b:a 64k -ac 1 $BX -f mpegts -mpegts_m2ts_mode 1 "$F/sample.mts"'
mk sample.mxf mxf '$FF -f lavfi -i testsrc=size=160x120:rate=25:duration=0.4 -f lavfi -i sine=frequency=440:duration=0.4:sample_rate=48000 -c:v mpeg2video -q:v 8 -c:a pcm_s16le -ac 1 $BX -f mxf "$F/sample.mxf"'
mk sample.wmv wmv '$FF $V10 $A22 -c:v wmv2 -q:v 8 -c:a wmav2 -b:a 32k -ac 1 $BX -f asf "$F/sample.wmv"'
# Uncompressed SWF; ffmpeg writes version 4 for MJPEG video, version 6 for FLV1 video.
mk sample.swf swf '$FF -f lavfi -i testsrc=size=96x72:rate=10:duration=0.5 -f lavfi -i sine=frequency=440:duration=0.5:sample_rate=22050 -c:v mjpeg -q:v 12 -pix_fmt yuvj420p -c:a libmp3lame -b:a 32k -ac 1 $BX -f swf "$F/sample.swf"'
mk sample_v6.swf swf '$FF $V10 $A22 -c:v flv1 -q:v 8 -c:a libmp3lame -b:a 32k -ac 1 $BX -f swf "$F/sample_v6.swf"'
mk sample.rm rm '$FF -f lavfi -i testsrc=size=176x144:rate=10:duration=1 -f lavfi -i sine=frequency=440:duration=1:sample_rate=44100 -c:v rv10 -q:v 8 -c:a ac3 -b:a 64k -ac 1 $BX -f rm "$F/sample.rm"'

# ---------------------------------------------------------------- documents
printf '.TL\nRexmoor sample document\n.PP\nA small PDF made with groff for the recogniser tests.\n.PP\nSecond paragraph.\n' > "$T/doc.ms"
mk sample.pdf pdf 'groff -ms -Tpdf doc.ms > "$F/sample.pdf"'
cat > "$T/ooxml.py" <<'PYEOF'
#!/usr/bin/env python3
# Writes minimal but complete Office Open XML packages (docx, xlsx, pptx)
# with the stdlib zipfile module, parts in the order Office itself uses:
# [Content_Types].xml, _rels/.rels, docProps, then the main document parts.
# usage: ooxml.py OUTDIR
import os
import sys
import zipfile

DT = (2021, 1, 1, 0, 0, 0)
HDR = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
R = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PR = "http://schemas.openxmlformats.org/package/2006/relationships"
CT = "http://schemas.openxmlformats.org/package/2006/content-types"


def rels(items):
    body = "".join('<Relationship Id="%s" Type="%s" Target="%s"/>' % it for it in items)
    return HDR + '<Relationships xmlns="%s">%s</Relationships>' % (PR, body)


def content_types(overrides):
    body = ('<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>')
    body += "".join('<Override PartName="%s" ContentType="%s"/>' % o for o in overrides)
    return HDR + '<Types xmlns="%s">%s</Types>' % (CT, body)


CORE = HDR + (
    '<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" '
    'xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:dcterms="http://purl.org/dc/terms/" '
    'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">'
    '<dc:title>%s</dc:title><dc:creator>Rexmoor tests</dc:creator>'
    '<dcterms:created xsi:type="dcterms:W3CDTF">2021-01-01T00:00:00Z</dcterms:created>'
    '<dcterms:modified xsi:type="dcterms:W3CDTF">2021-01-01T00:00:00Z</dcterms:modified>'
    '</cp:coreProperties>')
APP = HDR + ('<Properties xmlns="http://schemas.openxmlformats.org/officeDocument/2006/extended-properties">'
             '<Application>%s</Application></Properties>')
CORE_CT = ("/docProps/core.xml", "application/vnd.openxmlformats-package.core-properties+xml")
APP_CT = ("/docProps/app.xml", "application/vnd.openxmlformats-officedocument.extended-properties+xml")


def top_rels(main_rel, main_target):
    return rels([("rId1", R + "/" + main_rel, main_target),
                 ("rId2", PR + "/metadata/core-properties", "docProps/core.xml"),
                 ("rId3", R + "/extended-properties", "docProps/app.xml")])


def write(path, parts):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in parts:
            zi = zipfile.ZipInfo(name, DT)
            zi.compress_type = zipfile.ZIP_DEFLATED
            zi.external_attr = 0o644 << 16
            z.writestr(zi, text.encode("utf-8"))


def docx(path):
    W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"
    paras = "".join('<w:p><w:r><w:t xml:space="preserve">Paragraph %d of the Rexmoor sample document.</w:t></w:r></w:p>' % i
                    for i in range(1, 41))
    doc = HDR + ('<w:document xmlns:w="%s" xmlns:r="%s"><w:body>'
                 '<w:p><w:pPr><w:pStyle w:val="Title"/></w:pPr><w:r><w:t>Rexmoor sample</w:t></w:r></w:p>%s'
                 '<w:sectPr><w:pgSz w:w="11906" w:h="16838"/>'
                 '<w:pgMar w:top="1440" w:right="1440" w:bottom="1440" w:left="1440" w:header="708" w:footer="708" w:gutter="0"/>'
                 '</w:sectPr></w:body></w:document>') % (W, R, paras)
    styles = HDR + ('<w:styles xmlns:w="%s">'
                    '<w:style w:type="paragraph" w:default="1" w:styleId="Normal"><w:name w:val="Normal"/></w:style>'
                    '<w:style w:type="paragraph" w:styleId="Title"><w:name w:val="Title"/><w:basedOn w:val="Normal"/>'
                    '<w:rPr><w:b/><w:sz w:val="48"/></w:rPr></w:style></w:styles>') % W
    write(path, [
        ("[Content_Types].xml", content_types([
            ("/word/document.xml", "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml"),
            ("/word/styles.xml", "application/vnd.openxmlformats-officedocument.wordprocessingml.styles+xml"),
            CORE_CT, APP_CT])),
        ("_rels/.rels", top_rels("officeDocument", "word/document.xml")),
        ("docProps/core.xml", CORE % "Rexmoor sample document"),
        ("docProps/app.xml", APP % "Rexmoor sample generator"),
        ("word/_rels/document.xml.rels", rels([("rId1", R + "/styles", "styles.xml")])),
        ("word/document.xml", doc),
        ("word/styles.xml", styles),
    ])


def xlsx(path):
    X = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
    rows = []
    for r in range(1, 61):
        rows.append('<row r="%d"><c r="A%d" t="inlineStr"><is><t>item %d</t></is></c>'
                    '<c r="B%d"><v>%d</v></c><c r="C%d"><f>B%d*2</f><v>%d</v></c></row>'
                    % (r, r, r, r, r * r, r, r, 2 * r * r))
    sheet = HDR + ('<worksheet xmlns="%s" xmlns:r="%s"><dimension ref="A1:C60"/><sheetData>%s</sheetData></worksheet>'
                   % (X, R, "".join(rows)))
    wb = HDR + ('<workbook xmlns="%s" xmlns:r="%s"><sheets><sheet name="Samples" sheetId="1" r:id="rId1"/></sheets></workbook>'
                % (X, R))
    styles = HDR + ('<styleSheet xmlns="%s"><fonts count="1"><font><sz val="11"/><name val="Calibri"/></font></fonts>'
                    '<fills count="2"><fill><patternFill patternType="none"/></fill><fill><patternFill patternType="gray125"/></fill></fills>'
                    '<borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders>'
                    '<cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs>'
                    '<cellXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/></cellXfs>'
                    '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles></styleSheet>') % X
    write(path, [
        ("[Content_Types].xml", content_types([
            ("/xl/workbook.xml", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"),
            ("/xl/worksheets/sheet1.xml", "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"),
            ("/xl/styles.xml", "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml"),
            CORE_CT, APP_CT])),
        ("_rels/.rels", top_rels("officeDocument", "xl/workbook.xml")),
        ("docProps/core.xml", CORE % "Rexmoor sample workbook"),
        ("docProps/app.xml", APP % "Rexmoor sample generator"),
        ("xl/workbook.xml", wb),
        ("xl/_rels/workbook.xml.rels", rels([
            ("rId1", R + "/worksheet", "worksheets/sheet1.xml"),
            ("rId2", R + "/styles", "styles.xml")])),
        ("xl/worksheets/sheet1.xml", sheet),
        ("xl/styles.xml", styles),
    ])


def pptx(path):
    P = "http://schemas.openxmlformats.org/presentationml/2006/main"
    A = "http://schemas.openxmlformats.org/drawingml/2006/main"
    NS = 'xmlns:a="%s" xmlns:r="%s" xmlns:p="%s"' % (A, R, P)
    grp = ('<p:nvGrpSpPr><p:cNvPr id="1" name=""/><p:cNvGrpSpPr/><p:nvPr/></p:nvGrpSpPr>'
           '<p:grpSpPr><a:xfrm><a:off x="0" y="0"/><a:ext cx="0" cy="0"/><a:chOff x="0" y="0"/><a:chExt cx="0" cy="0"/></a:xfrm></p:grpSpPr>')

    def title_shape(text):
        return ('<p:sp><p:nvSpPr><p:cNvPr id="2" name="Title 1"/><p:cNvSpPr><a:spLocks noGrp="1"/></p:cNvSpPr>'
                '<p:nvPr><p:ph type="title"/></p:nvPr></p:nvSpPr>'
                '<p:spPr><a:xfrm><a:off x="457200" y="274638"/><a:ext cx="8229600" cy="1143000"/></a:xfrm></p:spPr>'
                '<p:txBody><a:bodyPr/><a:lstStyle/><a:p>%s</a:p></p:txBody></p:sp>'
                % ('<a:r><a:rPr lang="en-US"/><a:t>%s</a:t></a:r>' % text if text else '<a:endParaRPr lang="en-US"/>'))

    clr = ('<a:clrScheme name="Office"><a:dk1><a:sysClr val="windowText" lastClr="000000"/></a:dk1>'
           '<a:lt1><a:sysClr val="window" lastClr="FFFFFF"/></a:lt1><a:dk2><a:srgbClr val="1F497D"/></a:dk2>'
           '<a:lt2><a:srgbClr val="EEECE1"/></a:lt2><a:accent1><a:srgbClr val="4F81BD"/></a:accent1>'
           '<a:accent2><a:srgbClr val="C0504D"/></a:accent2><a:accent3><a:srgbClr val="9BBB59"/></a:accent3>'
           '<a:accent4><a:srgbClr val="8064A2"/></a:accent4><a:accent5><a:srgbClr val="4BACC6"/></a:accent5>'
           '<a:accent6><a:srgbClr val="F79646"/></a:accent6><a:hlink><a:srgbClr val="0000FF"/></a:hlink>'
           '<a:folHlink><a:srgbClr val="800080"/></a:folHlink></a:clrScheme>')
    fonts = ('<a:fontScheme name="Office"><a:majorFont><a:latin typeface="Calibri"/><a:ea typeface=""/><a:cs typeface=""/></a:majorFont>'
             '<a:minorFont><a:latin typeface="Calibri"/><a:ea typeface=""/><a:cs typeface=""/></a:minorFont></a:fontScheme>')
    solid = '<a:solidFill><a:schemeClr val="phClr"/></a:solidFill>'
    line = '<a:ln w="9525"><a:solidFill><a:schemeClr val="phClr"/></a:solidFill></a:ln>'
    eff = '<a:effectStyle><a:effectLst/></a:effectStyle>'
    fmt = ('<a:fmtScheme name="Office"><a:fillStyleLst>%s</a:fillStyleLst><a:lnStyleLst>%s</a:lnStyleLst>'
           '<a:effectStyleLst>%s</a:effectStyleLst><a:bgFillStyleLst>%s</a:bgFillStyleLst></a:fmtScheme>'
           % (solid * 3, line * 3, eff * 3, solid * 3))
    theme = HDR + ('<a:theme xmlns:a="%s" name="Office Theme"><a:themeElements>%s%s%s</a:themeElements>'
                   '<a:objectDefaults/><a:extraClrSchemeLst/></a:theme>' % (A, clr, fonts, fmt))
    master = HDR + ('<p:sldMaster %s><p:cSld><p:bg><p:bgRef idx="1001"><a:schemeClr val="bg1"/></p:bgRef></p:bg>'
                    '<p:spTree>%s%s</p:spTree></p:cSld>'
                    '<p:clrMap bg1="lt1" tx1="dk1" bg2="lt2" tx2="dk2" accent1="accent1" accent2="accent2" '
                    'accent3="accent3" accent4="accent4" accent5="accent5" accent6="accent6" hlink="hlink" folHlink="folHlink"/>'
                    '<p:sldLayoutIdLst><p:sldLayoutId id="2147483649" r:id="rId1"/></p:sldLayoutIdLst></p:sldMaster>'
                    % (NS, grp, title_shape("")))
    layout = HDR + ('<p:sldLayout %s type="title" preserve="1"><p:cSld name="Title Slide"><p:spTree>%s%s</p:spTree></p:cSld>'
                    '<p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr></p:sldLayout>' % (NS, grp, title_shape("")))
    slides = []
    for i in range(1, 4):
        slides.append(HDR + ('<p:sld %s><p:cSld><p:spTree>%s%s</p:spTree></p:cSld>'
                             '<p:clrMapOvr><a:masterClrMapping/></p:clrMapOvr></p:sld>'
                             % (NS, grp, title_shape("Rexmoor sample slide %d" % i))))
    pres = HDR + ('<p:presentation %s saveSubsetFonts="1">'
                  '<p:sldMasterIdLst><p:sldMasterId id="2147483648" r:id="rId1"/></p:sldMasterIdLst>'
                  '<p:sldIdLst>%s</p:sldIdLst>'
                  '<p:sldSz cx="9144000" cy="6858000" type="screen4x3"/><p:notesSz cx="6858000" cy="9144000"/>'
                  '</p:presentation>'
                  % (NS, "".join('<p:sldId id="%d" r:id="rId%d"/>' % (255 + i, 1 + i) for i in range(1, 4))))
    pres_rels = [("rId1", R + "/slideMaster", "slideMasters/slideMaster1.xml")]
    pres_rels += [("rId%d" % (1 + i), R + "/slide", "slides/slide%d.xml" % i) for i in range(1, 4)]
    pres_rels += [("rId5", R + "/theme", "theme/theme1.xml")]
    ov = [("/ppt/presentation.xml", "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml"),
          ("/ppt/slideMasters/slideMaster1.xml", "application/vnd.openxmlformats-officedocument.presentationml.slideMaster+xml"),
          ("/ppt/slideLayouts/slideLayout1.xml", "application/vnd.openxmlformats-officedocument.presentationml.slideLayout+xml"),
          ("/ppt/theme/theme1.xml", "application/vnd.openxmlformats-officedocument.theme+xml")]
    ov += [("/ppt/slides/slide%d.xml" % i, "application/vnd.openxmlformats-officedocument.presentationml.slide+xml")
           for i in range(1, 4)]
    parts = [
        ("[Content_Types].xml", content_types(ov + [CORE_CT, APP_CT])),
        ("_rels/.rels", top_rels("officeDocument", "ppt/presentation.xml")),
        ("docProps/core.xml", CORE % "Rexmoor sample presentation"),
        ("docProps/app.xml", APP % "Rexmoor sample generator"),
        ("ppt/presentation.xml", pres),
        ("ppt/_rels/presentation.xml.rels", rels(pres_rels)),
    ]
    for i, s in enumerate(slides, 1):
        parts.append(("ppt/slides/slide%d.xml" % i, s))
        parts.append(("ppt/slides/_rels/slide%d.xml.rels" % i,
                      rels([("rId1", R + "/slideLayout", "../slideLayouts/slideLayout1.xml")])))
    parts += [
        ("ppt/slideLayouts/slideLayout1.xml", layout),
        ("ppt/slideLayouts/_rels/slideLayout1.xml.rels",
         rels([("rId1", R + "/slideMaster", "../slideMasters/slideMaster1.xml")])),
        ("ppt/slideMasters/slideMaster1.xml", master),
        ("ppt/slideMasters/_rels/slideMaster1.xml.rels",
         rels([("rId1", R + "/slideLayout", "../slideLayouts/slideLayout1.xml"),
               ("rId2", R + "/theme", "../theme/theme1.xml")])),
        ("ppt/theme/theme1.xml", theme),
    ]
    write(path, parts)


if __name__ == "__main__":
    out = sys.argv[1]
    docx(os.path.join(out, "sample.docx"))
    xlsx(os.path.join(out, "sample.xlsx"))
    pptx(os.path.join(out, "sample.pptx"))
PYEOF
mk sample.docx docx '"$PY" ooxml.py "$F"'
printf '%s\t%s\t%s\n' sample.xlsx xlsx 'written by the same ooxml.py run as sample.docx (python3 zipfile)' >> "$WORK/entries.tsv"
printf '%s\t%s\t%s\n' sample.pptx pptx 'written by the same ooxml.py run as sample.docx (python3 zipfile)' >> "$WORK/entries.tsv"
mk sample.xls xls '"$PY" -c "import xlwt; wb = xlwt.Workbook(); ws = wb.add_sheet(\"Samples\"); [ws.write(r, c, v) for r in range(40) for c, v in enumerate((\"row %d\" % r, r * r, r / 7.0))]; wb.save(\"$F/sample.xls\")"'
cat > "$T/installer.wxs" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="5D3C2A10-7A1B-4C55-9E6A-0B5B8E1F0001" Name="Rexmoor Sample" Language="1033" Version="1.0.0"
           Manufacturer="Rexmoor Tests" UpgradeCode="5D3C2A10-7A1B-4C55-9E6A-0B5B8E1F0002">
    <Package InstallerVersion="200" Compressed="yes" Comments="Sample installer for recogniser tests"/>
    <Media Id="1" Cabinet="sample.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="RexmoorSample">
          <Component Id="MainComponent" Guid="5D3C2A10-7A1B-4C55-9E6A-0B5B8E1F0003">
            <File Id="ReadmeFile" Source="arc/readme.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="MainComponent"/></Feature>
  </Product>
</Wix>
EOF
mk installer.msi ole 'wixl -o "$F/installer.msi" installer.wxs'
mk sample.ttf ttf 'cp "$FONT" "$F/sample.ttf"'

# ---------------------------------------------------------------- archives and databases
mk sample.zip zip 'cd arc && zip -X -9 -q "$F/sample.zip" readme.txt notes1.txt notes2.txt picture.png'
mk sample.7z 7z 'cd arc && 7z a -bd -bso0 -bsp0 "$F/sample.7z" readme.txt notes1.txt notes2.txt picture.png'
# The header's XFL byte: 2 with -9, 0 at gzip's default level.
mk sample.gz gz 'cd arc && gzip -9 -c picture.png > "$F/sample.gz"'
mk sample_noname.gz gz 'gzip -9 -n -c arc/notes2.txt > "$F/sample_noname.gz"'
mk sample_default.gz gz 'gzip -n -c arc/notes2.txt > "$F/sample_default.gz"'
mk sample.cab cab 'cd arc && gcab -c -z "$F/sample.cab" readme.txt notes1.txt notes2.txt picture.png'
cat > "$T/sample.sql" <<'EOF'
PRAGMA page_size = 1024;
CREATE TABLE files(id INTEGER PRIMARY KEY, name TEXT, size INTEGER);
WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200)
  INSERT INTO files(name, size) SELECT 'file_' || x || '.jpg', x * 1024 FROM c;
CREATE INDEX files_name ON files(name);
EOF
mk sample.db db 'sqlite3 "$F/sample.db" < sample.sql'

# ---------------------------------------------------------------- layouts the structure walks must handle
# A text whose lines carry the ZIP end-record signature (so a stored copy holds one that is not
# the end), and seeded noise that no compressor shrinks.
mkdir -p "$T/walk"
(cd "$T" && "$PY" -c 'open("walk/text.txt", "w").write("".join("line %d of the notes, PK\x05\x06 here\n" % i for i in range(300)))')
(cd "$T" && "$PY" -c 'import random; random.seed(5); open("walk/noise.bin", "wb").write(bytes(random.getrandbits(8) for _ in range(6000)))')
printf '%%!PS\n/Helvetica findfont 14 scalefont setfont\n72 720 moveto (Recovered page one) show showpage\n72 720 moveto (Page two %%%%EOF) show showpage\n' > "$T/walk/doc.ps"
cat > "$T/walk/update.py" <<'PYEOF'
# Appends an incremental update to a PDF: a new Info dictionary, a cross-reference section for
# it and a trailer pointing back at the previous section.
import re, sys
b = open(sys.argv[1], "rb").read()
prev = int(re.findall(rb"startxref\s+(\d+)", b)[-1])
size = int(re.findall(rb"/Size\s+(\d+)", b)[-1])
root = re.findall(rb"/Root\s+(\d+ \d+ R)", b)[-1]
obj = b"%d 0 obj\n<< /Title (Updated) /Producer (hand update) >>\nendobj\n" % size
xref = b"xref\n0 1\n0000000000 65535 f \n%d 1\n%010d 00000 n \n" % (size, len(b))
trailer = b"trailer\n<< /Size %d /Root %s /Info %d 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (
    size + 1, root, size, prev, len(b) + len(obj))
open(sys.argv[2], "wb").write(b + obj + xref + trailer)
PYEOF
touch -d @"$SOURCE_DATE_EPOCH" "$T"/walk/*
mk zip_streamed.zip zip 'cd walk && zip -q -X - text.txt noise.bin | cat > "$F/zip_streamed.zip"'
mk zip64.zip zip 'cd walk && zip -q -X -fz "$F/zip64.zip" text.txt noise.bin'
mk zip_stored.zip zip 'cd walk && zip -q -X -0 "$F/zip_stored.zip" text.txt noise.bin'
mk solid_off.7z 7z 'cd walk && 7z a -bd -bso0 -bsp0 -mx=9 -ms=off "$F/solid_off.7z" text.txt noise.bin'
mk two_members.gz gz 'cd walk && gzip -9 -c text.txt > "$F/two_members.gz" && gzip -n -1 -c noise.bin >> "$F/two_members.gz"'
mk stored.cab cab 'cd walk && gcab -c "$F/stored.cab" text.txt noise.bin'
mk wal.db db 'sqlite3 "$F/wal.db" "PRAGMA page_size = 1024; PRAGMA journal_mode = wal; CREATE TABLE t(a); WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 200) INSERT INTO t SELECT printf(\"row %d of the log\", x) FROM c;" > /dev/null'
mk page64k.db db 'sqlite3 "$F/page64k.db" "PRAGMA page_size = 65536; CREATE TABLE t(a, b); INSERT INTO t VALUES (1, \"x\");"'
mk ps2pdf.pdf pdf 'ps2pdf -dCompressPages=false walk/doc.ps "$F/ps2pdf.pdf"'
mk linearised.pdf pdf 'qpdf --linearize --deterministic-id "$F/ps2pdf.pdf" "$F/linearised.pdf"'
mk object_streams.pdf pdf 'qpdf --deterministic-id --object-streams=generate "$F/ps2pdf.pdf" "$F/object_streams.pdf"'
mk updated.pdf pdf '"$PY" walk/update.py "$F/ps2pdf.pdf" "$F/updated.pdf"'

# ---------------------------------------------------------------- Windows executables
printf '#include <stdio.h>\nint main(void) { puts("Rexmoor sample executable"); return 0; }\n' > "$T/hello.c"
printf '__declspec(dllexport) int rexmoor_sample_add(int a, int b) { return a + b; }\n' > "$T/lib.c"
mk sample.exe exe 'x86_64-w64-mingw32-gcc -Os -s -Wl,--no-insert-timestamp -o "$F/sample.exe" hello.c'
mk sample.dll dll 'x86_64-w64-mingw32-gcc -Os -s -shared -Wl,--no-insert-timestamp,--disable-auto-image-base -o "$F/sample.dll" lib.c'

# ---------------------------------------------------------------- manifest and header check
cat > "$WORK/manifest_head.txt" <<EOF
# Sample files for the content recogniser, made by tests/samples/make_samples.sh.
# Columns of the table: file name; the recogniser's extension for its format; that format's type
# id; size in bytes; sha256; header_check (OK = the first row of the recogniser table that matches
# the file's first 512-byte sector is this type; OK-BUT-FIRST-MATCH-x = its own test passes but an
# earlier row x wins; NO-MATCH / MISMATCH-x = its own test fails); the first match (ext:id);
# how the recogniser measures the format (size field, footer, walk, compound-document estimate,
# not carved); and the length that rule gives over the file alone, compared with the file's size.
# For "walk" types the length depends on what follows the file on the medium; the emulation
# puts the file at sector 0 of a medium of zero sectors and leaves out the FAT directory-sector
# stop test.
#
# In the "made by" lines, run in a scratch folder holding the intermediates (photo.png, small.png,
# thumb.jpg, arc/, tune.abc, doc.ms, ooxml.py, installer.wxs, sample.sql, hello.c, lib.c, all
# written by the script):
#   F=<this folder>  PY=$PY  FONT=$FONT
#   FF='$FF'
#   BX='$BX'
#   V10='-f lavfi -i testsrc=size=160x120:rate=10:duration=1'
#   A22='-f lavfi -i sine=frequency=440:duration=1:sample_rate=22050'
#   A48='-f lavfi -i sine=frequency=440:duration=1:sample_rate=48000'
# Environment: TZ=UTC SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH. Tools: $(convert -version | head -1 | cut -d' ' -f2,3); $(ffmpeg -version | head -1 | cut -d' ' -f1-3);
# $(sox --version | tr -s ' ' | cut -d' ' -f2-); exiftool $(exiftool -ver); $(groff --version | head -1); mjpegtools $(dpkg-query -W -f '${Version}' mjpegtools 2>/dev/null);
# p7zip $(dpkg-query -W -f '${Version}' p7zip-full 2>/dev/null); gcab $(dpkg-query -W -f '${Version}' gcab 2>/dev/null); sqlite3 $(sqlite3 --version | cut -d' ' -f1);
# wixl $(dpkg-query -W -f '${Version}' wixl 2>/dev/null); python3-xlwt $(dpkg-query -W -f '${Version}' python3-xlwt 2>/dev/null); $(x86_64-w64-mingw32-gcc --version | head -1);
# Ghostscript $(gs --version); $(qpdf --version | head -1).
EOF
cat > "$WORK/manifest_tail.txt" <<'EOF'
## Formats with no sample, and why
rar   no RAR writer exists in Debian 12 (rar is non-free and not in the archive; unrar and
      libarchive only read RAR).
doc   no Word 97 writer without LibreOffice: AbiWord's "doc" export writes RTF, pandoc has no .doc
      writer, python3-olefile can only rewrite streams of an existing file. A compound file with a
      stream merely named WordDocument would be a fake.
ppt   no PowerPoint 97 writer in Debian 12 without LibreOffice.
ape   ffmpeg decodes Monkey's Audio but has no encoder; the reference encoder is not in Debian.
pst   no writer in Debian 12 (libpff and readpst only read).
dbx   no writer in Debian 12 (Outlook Express store; readers only).
gho   no writer (proprietary disk-image format).
fla   no writer (Flash authoring file). Any compound file (sample.xls, installer.msi) passes this
      row's header test, which stands before the compound-document rows.
sys   mingw's linker cannot set the IMAGE_FILE_SYSTEM characteristic the recogniser wants for
      drivers, and patching the flag in by hand would be a fake.
mts   made (sample.mts) but it does not pass the MTS header test: ffmpeg starts an M2TS stream with
      its SDT (bytes 8..15 = 00 42 F0 25 00 01 C1 00), its transport stream id cannot be 0, and
      its PAT lists one program (section length 0x0D), so the camcorder PAT pattern
      00 00 B0 11 00 00 C1 00 cannot be produced. GStreamer's mpegtsmux (m2ts-mode=true) was
      tried too: its first packet is a PAT padded with an adaptation field, so bytes 8..15 are
      FF stuffing. No other Debian tool writes M2TS.
mso07, dib, jpe, jfif, gzip, ... are other extensions of formats that have samples above.
EOF
# where the thumbnail sits: the second FF D8 FF, ending at the first FF D9
read -r toff tend < <("$PY" -c 'import sys; d = open(sys.argv[1], "rb").read(); print(d.find(b"\xff\xd8\xff", 2), d.find(b"\xff\xd9"))' "$F/camera_exif.jpg")
tlen=$((tend + 2 - toff))
cat >> "$WORK/manifest_tail.txt" <<EOF

## Notes
camera_exif.jpg  APP1 Exif block first (no APP0), little-endian TIFF header at 12; the embedded
      160x120 thumbnail JPEG (FF D8 ... FF D9) is $tlen bytes at file offset $toff, so the first
      FF D9 after the header sector is the thumbnail's, at $tend (exiftool -b -ThumbnailImage
      returns it byte for byte).
mp2   sample.mp2 starts FF FD E4 00 (twolame, "original" flag clear); ffmpeg_native.mp2 starts
      $(head -c 4 "$F/ffmpeg_native.mp2" | od -An -tx1 | tr -s ' ' | sed 's/^ //;s/ $//' | tr a-f A-F) (ffmpeg's encoder always sets the "original" bit).
      At 384 kbit/s and 48 kHz a frame is 1152 bytes, so a frame header starts a sector every 4608 bytes.
mts   sample.mts bytes 0..15: $(head -c 16 "$F/sample.mts" | od -An -tx1 | tr -s ' ' | sed 's/^ //;s/ $//' | tr a-f A-F)
      (4-byte arrival time, then a TS packet of PID 0x11, the SDT); expected at 8..15 for MTS:
      00 00 B0 11 00 00 C1 00.
bmp   v5.bmp has ImageMagick's default 124-byte BITMAPV5HEADER; the bitmap header test accepts
      only the 40-byte BITMAPINFOHEADER, so it is not recognised (sample.bmp and rle8.bmp are).
tif   bigtiff.tif is a BigTIFF (II 2B 00, 64-bit offsets), which the TIFF header test does not take.
swf   sample.swf is version 4 (MJPEG video); sample_v6.swf is version 6 (FLV1 video) and fails
      the header test, which accepts uncompressed "FWS" files only below version 6.
mpeg  sample.mpg (mplex) ends with the program end code 00 00 01 B9 and sample_es.mpeg (mpeg2enc)
      with the sequence end code 00 00 01 B7; ffmpeg_ps.mpg and sample.vob (ffmpeg) have neither.
mp4   ffmpeg writes no "freeIsoMedia File Produced" marker; sample_mp42.mp4 has the major brand
      mp42 (ffmpeg -brand mp42), sample.mp4 isom.
rm    ffmpeg writes no INDX chunk.
pdf   groff ends the file with "%%EOF" and a newline, one byte past the footer's end.
gz    gzip -9 writes XFL 2, gzip at its default level 0 (sample_default.gz) and -1 writes 4.
installer.msi  a generic compound file (root class id 000C1084-0000-0000-C000-000000000046, no
      WordDocument / Workbook / PowerPoint Document stream), so the compound-document subtype
      test types it as ole (2). It is the one sample that is not reproducible byte for byte
      (wixl stamps the build time and a random revision GUID into its summary information).
EOF
cat > "$WORK/check.py" <<'PYEOF'
#!/usr/bin/env python3
# Checks every sample against the carving recogniser's header tests and size
# rules, emulated here over the file alone (sector size 512, the file starting
# at sector 0, nothing before it).  Stdlib only.
#
# usage: check.py OUTDIR ENTRIES.tsv MANIFEST.txt
# ENTRIES.tsv rows: name <TAB> expected extension <TAB> command
import hashlib
import json
import os
import re
import struct
import subprocess
import sys

S = 512

# extension:typeId rows in recognition order (first match wins)
TABLE = """mpeg:15 mpg:15 vob:15 mp4:18 rmvb:23 rm:23 wmv:24 asf:24 wma:24 swf:26 avi:22
flv:27 3gp:16 mkv:19 ts:20 mts:47 mxf:48 mp3:12 mid:13 ape:25 wav:21 mov:17 mp2:11 mmf:14
fla:44 gif:31 bmp:29 dib:29 jpg:10 jpeg:10 jpe:10 jfif:10 png:30 psd:28 tif:32 tiff:32 ico:46
doc:0 dot:0 wps:0 wpt:0 xls:3 xlt:3 xla:3 et:3 ett:3 ppt:5 pot:5 pps:5 dps:5 dpt:5 ole:2
docx:1 docm:1 dotm:1 dotx:1 xlsx:4 xlsb:4 xlsm:4 xlsx:4 xlam:4 xltx:4 xltm:4 pptx:6 pptm:6
potx:6 potm:6 ppsx:6 ppsm:6 mso07:7 pdf:8 gz:36 gzip:36 7z:34 zip:35 rar:37 cab:33 exe:41
dll:42 sys:43 gho:9 db:39 dbx:40 pst:38 fla:44 ttf:45 ico:46""".split()
ROWS = [(r.split(":")[0], int(r.split(":")[1])) for r in TABLE]
NONE = 49


def ext_of_type(tid):
    for e, t in ROWS:
        if t == tid:
            return e
    return "?"


def type_of_ext(ext):
    for e, t in ROWS:
        if e == ext.lower():
            return t
    return None


def u16(d, o):
    return struct.unpack_from("<H", d, o)[0]


def u32(d, o):
    return struct.unpack_from("<I", d, o)[0]


def be16(d, o):
    return struct.unpack_from(">H", d, o)[0]


def be32(d, o):
    return struct.unpack_from(">I", d, o)[0]


# --- header tests: h is the first sector, f the whole file (for the tests
# that read further sectors) ---

def t_ole(h, f):
    if len(h) < 8 or h[:8] != bytes.fromhex("D0CF11E0A1B11AE1"):
        return NONE
    s1 = f[S:2 * S]
    if len(s1) < 6:
        return 2
    if u16(s1, 0) == 0xA5EC:
        return 0
    if (u16(s1, 0), u16(s1, 2), u16(s1, 4)) == (0x0809, 0x0010, 0x0600):
        return 3
    dsec = u32(h, 48)
    dd = f[S * (1 + dsec):S * (2 + dsec)]
    if len(dd) < S:
        return 2
    clsid = dd[80:96]
    word = bytes.fromhex("0609020000000000C000000000000046")
    xl1 = bytes.fromhex("2008020000000000C000000000000046")
    xl2 = bytes.fromhex("1008020000000000C000000000000046")
    ppt = bytes.fromhex("108D81649B4FCF1186EA00AA00B929E8")
    if clsid == word:
        return 0
    if clsid in (xl1, xl2):
        return 3
    if clsid == ppt:
        return 5
    for i in range(S // 128):
        e = dd[128 * i:128 * i + 128]
        nl = min(u16(e, 64), 64)
        name = e[:nl].decode("utf-16le", "replace").rstrip("\0").lower()
        if name == "worddocument":
            return 0
        if name == "workbook":
            return 3
        if name == "powerpoint document":
            return 5
    return 2


def package_type(f):
    win = f[:20 * S]
    eocd = win.find(b"PK\x05\x06")
    lim = len(win) if eocd < 0 else eocd
    hits = []
    for m in re.finditer(b"PK\x03\x04", win[:lim]):
        hits.append(m.start() + 30)
    for m in re.finditer(b"PK\x01\x02", win[:lim]):
        if len(win) - m.start() >= 48:
            hits.append(m.start() + 46)
    for n in hits:
        name = win[n:n + 5].lower()
        if name.startswith(b"word"):
            return 1
        if name.startswith(b"ppt"):
            return 6
        if name.startswith(b"xl"):
            return 4
    return NONE


def t_ooxml(h, f):
    if len(h) < 31:
        return NONE
    if h[:4] != b"PK\x03\x04" and h[31:31 + 19] != b"[Content_Types].xml":
        return NONE
    return package_type(f)


def t_mso07(h, f):
    return NONE


def t_pdf(h, f):
    return 8 if len(h) > 4 and h[:5] == b"%PDF-" else NONE


def t_gho(h, f):
    return 9 if h[:4] == bytes.fromhex("FEEF0000") else NONE


def t_jpg(h, f):
    if len(h) < 16 or h[:3] != b"\xff\xd8\xff":
        return NONE
    if (h[3] == 0xE0 and h[6:10] == b"JFIF") or (h[3] == 0xE1 and h[6:10] == b"Exif"):
        return 10
    return NONE


def t_mp2(h, f):
    return 11 if h[:4] == bytes.fromhex("FFFDE400") else NONE


def t_mp3(h, f):
    if len(h) < 10 or h[:3] != b"ID3" or h[3] == 0xFF or h[4] == 0xFF:
        return NONE
    if h[5] & 0x1F or any(b >= 0x80 for b in h[6:10]):
        return NONE
    return 12


def t_mid(h, f):
    if len(h) >= 16 and h[:4] == b"MThd" and h[4:8] == b"\0\0\0\x06" and h[14:18] == b"MTrk":
        return 13
    return NONE


def t_mmf(h, f):
    return 14 if h[:4] == b"MMMD" else NONE


def t_mpeg(h, f):
    if len(h) < 16:
        return NONE
    w = h[:32]
    if h[:4] == b"\0\0\x01\xba" and w.find(b"\0\0\x01\xbb") >= 0:
        return 15
    if h[:4] == b"\0\0\x01\xb3" and w.find(b"\0\0\x01\xb8") >= 0:
        return 15
    return NONE


def t_3gp(h, f):
    return 16 if len(h) >= 32 and h[4:8] == b"ftyp" and h[8:11] == b"3gp" else NONE


def t_mov(h, f):
    if len(h) >= 16 and (h[:4] == b"moov" or (h[4:8] == b"ftyp" and h[8:12] == b"qt  ")):
        return 17
    return NONE


def t_mp4(h, f):
    if len(h) >= 32 and h[4:8] == b"ftyp" and (h[8:11] == b"iso" or h[8:12] == b"mp42"):
        return 18
    return NONE


def t_mkv(h, f):
    return 19 if len(h) >= 16 and h[:4] == bytes.fromhex("1A45DFA3") else NONE


def t_ts(h, f):
    if len(h) < 188 or h[0] != 0x47 or h[1:4] == b"\0\0\0":
        return NONE
    for k in range(0, (len(h) // 188) * 188 + 1, 188):
        if k < len(h) and h[k] != 0x47:
            return NONE
    w = f[:4096]
    for k in range(22):
        if 188 * k >= len(w) or w[188 * k] != 0x47:
            return NONE
    return 20  # nothing precedes the file here


def t_wav(h, f):
    return 21 if len(h) >= 16 and h[:4] == b"RIFF" and h[8:12] == b"WAVE" and h[12:16] == b"fmt " else NONE


def t_avi(h, f):
    return 22 if len(h) >= 16 and h[:4] == b"RIFF" and h[8:12] == b"AVI " and h[12:16] == b"LIST" else NONE


def t_rm(h, f):
    return 23 if h[:4] == b".RMF" else NONE


ASF_HDR = bytes.fromhex("3026B2758E66CF11A6D900AA0062CE6C")
ASF_PROPS = bytes.fromhex("A1DCAB8C47A9CF118EE400C00C205365")


def t_asf(h, f):
    return 24 if len(h) >= 24 and h[:16] == ASF_HDR else NONE


def t_ape(h, f):
    return 25 if h[:4] == b"MAC " else NONE


def t_swf(h, f):
    if len(h) < 8:
        return NONE
    if h[:3] == b"CWS" and 6 <= h[3] <= 15:
        return 26
    if h[:3] == b"FWS" and h[3] < 6:
        return 26
    return NONE


def t_flv(h, f):
    if len(h) >= 16 and h[:3] == b"FLV" and h[3] == 1 and h[5:9] == b"\0\0\0\x09":
        return 27
    return NONE


def t_psd(h, f):
    return 28 if len(h) >= 40 and h[:4] == b"8BPS" else NONE


def t_bmp(h, f):
    if len(h) >= 40 and h[:2] in (b"BM", b"BA") and u16(h, 6) == 0 and u16(h, 8) == 0 and u32(h, 14) == 40:
        return 29
    return NONE


def t_png(h, f):
    return 30 if h[:8] == bytes.fromhex("89504E470D0A1A0A") else NONE


def t_gif(h, f):
    if len(h) >= 8 and h[:3] == b"GIF" and chr(h[3]).isdigit() and chr(h[4]).isdigit() and 0x61 <= h[5] <= 0x7A:
        return 31
    return NONE


def t_tif(h, f):
    return 32 if h[:4] in (b"MM\0*", b"II*\0") else NONE


def t_cab(h, f):
    return 33 if len(h) >= 36 and h[:4] == b"MSCF" else NONE


def t_7z(h, f):
    return 34 if h[:5] == bytes.fromhex("377ABCAF27") else NONE


def t_zip(h, f):
    return 35 if len(h) >= 48 and h[:4] == b"PK\x03\x04" else NONE


def t_gz(h, f):
    if len(h) >= 16 and h[:3] == b"\x1f\x8b\x08" and h[3] in (0, 8) and h[8] in (2, 4) and (h[9] < 14 or h[9] == 255):
        return 36
    return NONE


def t_rar(h, f):
    return 37 if h[:7] == bytes.fromhex("526172211A0700") else NONE


def t_pst(h, f):
    return 38 if len(h) >= 16 and h[:4] == b"!BDN" and h[8:10] == b"SM" else NONE


def t_db(h, f):
    return 39 if h[:16] == b"SQLite format 3\0" else NONE


def t_dbx(h, f):
    return 40 if len(h) >= 16 and h[:4] == bytes.fromhex("CFAD12FE") else NONE


def t_pe(h, f):
    if len(h) < 512 or h[:2] != b"MZ":
        return NONE
    e = u32(h, 60)
    if e > 488 or h[e:e + 4] != b"PE\0\0":
        return NONE
    ch = u16(h, e + 22)
    if not ch & 2:
        return NONE
    if ch & 0x1000:
        return 43
    if ch & 0x2000:
        return 42
    return 41


def t_fla(h, f):
    return 44 if len(h) >= 16 and h[:4] == bytes.fromhex("D0CF11E0") else NONE


def t_ttf(h, f):
    if len(h) < 16 or h[:4] != b"\0\x01\0\0":
        return NONE
    t = be16(h, 4)
    if t == 0 or u16(h, 6) == 0 or u16(h, 8) == 0 or u16(h, 10) == 0:
        return NONE
    if 16 * t + 16 > len(h) or h[12 + 16 * t:16 + 16 * t] != b"\0\x01\0\0":
        return NONE
    return 45


def t_ico(h, f):
    if len(h) < 16 or h[:4] != b"\0\0\x01\0":
        return NONE
    c = u16(h, 4)
    if c == 0 or 16 * c + 6 > len(h):
        return NONE
    run = 16 * c + 6
    for i in range(c):
        e = 6 + 16 * i
        if h[e + 3] != 0 or u32(h, e + 12) != run:
            return NONE
        run += u32(h, e + 8)
    return 46


def t_mts(h, f):
    if len(h) >= 16 and h[8:16] == bytes.fromhex("0000B0110000C100"):
        return 47  # mtsInProgress is clear for a file's own first sector
    return NONE


def t_mxf(h, f):
    return 48 if h[:16] == bytes.fromhex("060E2B34020501010D01020101020400") else NONE


TESTS = {0: t_ole, 2: t_ole, 3: t_ole, 5: t_ole, 1: t_ooxml, 4: t_ooxml, 6: t_ooxml,
         7: t_mso07, 8: t_pdf, 9: t_gho, 10: t_jpg, 11: t_mp2, 12: t_mp3, 13: t_mid,
         14: t_mmf, 15: t_mpeg, 16: t_3gp, 17: t_mov, 18: t_mp4, 19: t_mkv, 20: t_ts,
         21: t_wav, 22: t_avi, 23: t_rm, 24: t_asf, 25: t_ape, 26: t_swf, 27: t_flv,
         28: t_psd, 29: t_bmp, 30: t_png, 31: t_gif, 32: t_tif, 33: t_cab, 34: t_7z,
         35: t_zip, 36: t_gz, 37: t_rar, 38: t_pst, 39: t_db, 40: t_dbx, 41: t_pe,
         42: t_pe, 43: t_pe, 44: t_fla, 45: t_ttf, 46: t_ico, 47: t_mts, 48: t_mxf}


def recognise(h, f, ts_prev=None, mts_in_progress=False):
    """First match in table order.  ts_prev: the sector before h while a transport stream is
    being measured (stream mode); mts_in_progress: while an MTS file is being measured."""
    for ext, tid in ROWS:
        r = TESTS[tid](h, f)
        if r == 20 and ts_prev is not None and any(ts_prev[S - 188 * j] == 0x47 for j in range(1, S // 188 + 1)):
            r = NONE  # continues the stream being measured
        if r == 47 and mts_in_progress and u32(h, 0) != 0:
            r = NONE
        if r != NONE:
            return r
    return NONE


CHUNK = 65536


def tail_ok(f, e):
    # a footer counts if it ends on a sector boundary or only zeros follow it in its sector
    if e % S == 0:
        return True
    end = (e // S + 1) * S
    return all(b == 0 for b in f[e:end])


def structure_sector(sec):
    # the metadata-sector test, without the FAT directory-sector part
    if sec[:4] in (b"FILE", b"INDX"):
        return True
    if sec[:4] == b"RSTR" and "NTFS".encode("utf-16le") in sec:
        return True
    if sec[:8] == "$STA".encode("utf-16le"):
        return True
    if sec[0] == 0xEB and sec[2] == 0x90 and sec[3:11] in (b"MSDOS5.0", b"MSWIN4.0", b"MSWIN4.1", b"NTFS    ", b"EXFAT   "):
        return True
    return False


def first_stop(tid, g, start, end):
    """Offset of the first sector in [start, end) that begins another recognised file or is metadata."""
    for off in range(start, end, S):
        sec = g[off:off + S]
        r = recognise(sec, g[off:], g[off - S:off] if tid == 20 else None, tid == 47)
        if r != NONE and not (tid == 15 and r == 15):
            return off, "%s header" % ext_of_type(r)
        if structure_sector(sec):
            return off, "metadata sector"
    return None, None


def cdf_estimate(f):
    k, fat, mini, dif = u16(f, 30), u32(f, 44), u32(f, 64), u32(f, 72)
    if k not in (9, 12) or dif != 0 or fat == 0 or fat > 109:
        return 0
    last = u32(f, 76 + 4 * (fat - 1))
    sec = f[S * (1 + last):S * (2 + last)]
    if len(sec) < S:
        return 0
    free = 0
    for i in range(127, -1, -1):
        if u32(sec, 4 * i) != 0xFFFFFFFF:
            break
        free += 1
    return min((fat * 128 + 1 - free) * S, 0x7FFFFFF)


def footer_in_chunk(tid, g, cs, ce, h):
    """Footer handling over one chunk g[cs:ce]; returns (end, returns_now) or (None, False)."""
    c = g[cs:ce]

    def all_occ(pat, plus):
        for m in re.finditer(re.escape(pat), c):
            e = cs + m.start() + plus
            if tail_ok(g, e):
                return e
        return None

    if tid == 10:
        p = c.find(b"\xff\xd9")
        if p >= 0 and tail_ok(g, cs + p + 2):
            return cs + p + 2, False
        return None, False
    if tid == 12:
        p = c.find(b"TAG")
        return (cs + p + 128, False) if p >= 0 else (None, False)
    if tid == 30:
        e = all_occ(b"IEND\xaeB`\x82", 8)
        return e, e is not None
    if tid == 31:
        e = all_occ(b"\x00\x3b", 2)
        return e, e is not None
    if tid == 15:
        pat = b"\0\0\x01\xb7" if h[:4] == b"\0\0\x01\xb3" else b"\0\0\x01\xb9"
        e = all_occ(pat, 4)
        return e, e is not None
    if tid == 37:
        e = all_occ(bytes.fromhex("C43D7B00400700"), 7)
        return e, e is not None
    if tid == 8:
        p = c.rfind(b"%%EOF")
        if p >= 0:
            return cs + p + 5, True
        p = c.rfind(b"trailer")
        return (cs + p + 7, True) if p >= 0 else (None, False)
    if tid in (1, 4, 6, 7, 35):
        p = c.rfind(b"PK\x05\x06")
        return (cs + p + 22, True) if p >= 0 else (None, False)
    if tid == 34:
        p = c.rfind(bytes.fromhex("00070B01000123030101055D"))
        return (cs + p + 27, True) if p >= 0 else (None, False)
    if tid == 23:
        p = c.find(b"INDX\x00\x00\x00\x14" + bytes(7) + b"\x02" + bytes(4))
        return (cs + p + 20, True) if p >= 0 else (None, False)
    if tid == 18:
        mark = b"freeIsoMedia File Produced"
        p = c.find(mark)
        if p < 0:
            return None, False
        e = p + len(mark)
        while e < len(c) and c[e] != 0:
            e += 1
        return cs + e, True
    if tid == 25:
        mark = b"APETAGEX\xd0\x07"
        p = c.find(mark)
        if p < 0:
            return None, False
        q = c.find(mark, p + 1)
        return (cs + q + 32 if q >= 0 else ce), True
    if tid == 13:
        return None, False  # handled by the caller
    return None, False


FOOTER_NOTE = {10: "first FF D9 per chunk, candidate", 12: "first TAG per chunk + 128, candidate",
               30: "IEND chunk", 31: "00 3B", 15: "end code", 37: "RAR end block", 8: "last %%EOF + 5",
               1: "end of central directory + 22", 4: "end of central directory + 22",
               6: "end of central directory + 22", 35: "end of central directory + 22",
               34: "encoded-header coder record + 27", 23: "empty INDX record",
               18: "'freeIsoMedia File Produced' marker", 25: "APETAGEX"}


def measure(tid, f):
    """(kind, length or None, note): what the carver's extent rule makes of the file when it
    starts a medium and only zero sectors follow it (the FAT directory-sector stop is not emulated)."""
    n = len(f)
    g = f + bytes((-n) % S + 2 * S)
    h = g[:S]
    if tid in (21, 22):
        return "size field", u32(f, 4) + 8, "RIFF size + 8"
    if tid == 29:
        return "size field", min(u32(f, 2), 0x8000000), "BMP file size at 2"
    if tid == 33:
        return "size field", min(u32(f, 8), 0x40000000), "CAB size at 8"
    if tid == 26:
        if f[:3] == b"FWS":
            return "size field", min(u32(f, 4), 0x10000000), "SWF length at 4"
        return "size field", S, "compressed SWF: one sector"
    if tid == 24:
        p = f.find(ASF_PROPS, 30, S)
        if p < 0:
            return "size field", S, "no file-properties object in the header sector: one sector"
        flags = u32(f, p + 88)
        if flags & 1:
            return "size field", S, "broadcast flag set: one sector"
        v = struct.unpack_from("<Q", f, p + 40)[0]
        return "size field", (0x10000000 if v >= 1 << 32 else min(v, 0x10000000)), "file-properties size (flags %d)" % flags
    if tid == 45:
        t = be16(f, 4)
        return "size field", max(be32(f, 12 + 16 * i + 8) + be32(f, 12 + 16 * i + 12) for i in range(t)), \
            "largest table offset + length"
    if tid == 46:
        c = u16(f, 4)
        e = 6 + 16 * (c - 1)
        return "size field", u32(f, e + 12) + u32(f, e + 8), "last directory entry offset + size"
    if tid in (41, 42, 43, 9):
        return "not carved", None, ""
    note = ""
    if tid in (0, 2, 3, 5):
        est = cdf_estimate(f)
        if est:
            return "compound-document estimate", est, "FAT sectors x 128 + 1 - trailing free entries, in sectors"
        note = "estimate 0, so the walk"
    if tid == 10:
        p = h.find(b"\xff\xd9")
        if p >= 0 and tail_ok(g, p + 2):
            return "footer", p + 2, "FF D9 in the header sector"
    if tid in (30, 31):  # the header sector is searched first
        fe, _ = footer_in_chunk(tid, g, 0, S, h)
        if fe is not None:
            return "footer", fe, FOOTER_NOTE[tid] + " in the header sector"
    kind = "footer" if tid in FOOTER_NOTE else ("size field" if tid == 13 else "walk")
    if tid == 13:
        note = "MThd + track chunk lengths"
        k, run_end = be16(f, 10), 14
    cand = None
    nr = n + (-n) % S
    if tid == 20:
        # the stream ends at the first packet on the 188-byte grid (after the header sector,
        # wholly inside one chunk) that does not begin with 47
        g = f + bytes((-n) % S + CHUNK)
        k = (S + 187) // 188
        while k * 188 + 188 <= len(g):
            o = k * 188
            if (o - S) // CHUNK == (o + 187 - S) // CHUNK and g[o] != 0x47:
                cand = o
                break
            k += 1
    cs = S
    while cs < nr or cs == S:
        ce = cs + CHUNK
        stop, why = first_stop(tid, g, cs, min(ce, nr))
        if tid == 13 and k > 0:
            # MTrk records from offset 14 through this chunk
            for m in re.finditer(b"MTrk", g[14:min(ce, len(g))]):
                pos = 14 + m.start()
                if pos < run_end:
                    continue
                run_end = pos + 8 + be32(g, pos + 4)
                k -= 1
                if k == 0:
                    return kind, min(run_end, stop if stop is not None else ce), note
        fe, now = footer_in_chunk(tid, g, cs, min(ce, len(g)), h)
        if fe is not None and now:
            return kind, fe, FOOTER_NOTE.get(tid, "")
        if fe is not None:
            cand = fe
        if stop is not None:
            length = stop if cand is None else min(cand, stop)
            return kind, length, (FOOTER_NOTE.get(tid, "first packet not starting with 47" if tid == 20 else note) + "; walk stops at %d (%s)" % (stop, why)).lstrip("; ")
        cs = ce
    if cand is not None:
        return kind, cand, FOOTER_NOTE.get(tid, "first packet not starting with 47" if tid == 20 else "")
    extra = "no footer in the file; " if tid in FOOTER_NOTE else ""
    if tid == 10:
        p = f.find(b"\xff\xd9", S)
        if p >= 0:
            extra = ("the first FF D9 after the header sector, at %d, ends an embedded image and fails the "
                     "sector-tail rule, so the chunk has no candidate; " % p)
    return kind, None, (note + "; " if note else "") + extra + "no stop inside the file: the walk runs on to the next header on the medium or its limit"


def run(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=60).stdout.strip()
    except Exception as ex:  # tool missing on this machine
        return "(%s)" % ex


def probe(path):
    out = run(["ffprobe", "-v", "error", "-show_entries",
               "format=format_name,duration:stream=index,codec_name,width,height,sample_rate,channels",
               "-of", "json", path])
    try:
        j = json.loads(out)
    except ValueError:
        return out or "(no output)"
    parts = []
    for st in j.get("streams", []):
        if "width" in st:
            parts.append("%s %dx%d" % (st.get("codec_name"), st["width"], st["height"]))
        else:
            parts.append("%s %s Hz %s ch" % (st.get("codec_name"), st.get("sample_rate"), st.get("channels")))
    fm = j.get("format", {})
    return "%s, %s s: %s" % (fm.get("format_name"), fm.get("duration"), "; ".join(parts))


def main():
    outdir, entries, manifest = sys.argv[1:4]
    rows = [l.rstrip("\n").split("\t", 2) for l in open(entries, encoding="utf-8") if l.strip()]
    summary, details, problems = [], [], []
    for name, want_ext, cmd in rows:
        path = os.path.join(outdir, name)
        f = open(path, "rb").read()
        h = f[:S]
        want = type_of_ext(want_ext)
        got = recognise(h, f)
        own = TESTS[want](h, f) if want is not None else NONE
        kind, length, note = measure(want, f) if want is not None else ("?", None, "")
        if got == want:
            verdict = "OK"
        elif own == want:
            verdict = "OK-BUT-FIRST-MATCH-%s" % ext_of_type(got)
        else:
            verdict = "NO-MATCH" if got == NONE else "MISMATCH-%s" % ext_of_type(got)
        if verdict != "OK":
            problems.append("%s: %s(%d) %s; first match %s(%d)"
                            % (name, want_ext, want, "test passes" if own == want else "test FAILS",
                               ext_of_type(got) if got != NONE else "none", got))
        if length is None:
            lenfield = "-"
        elif length == len(f):
            lenfield = "%d (=size)" % length
        else:
            lenfield = "%d (size %+d)" % (length, length - len(f))
        sha = hashlib.sha256(f).hexdigest()
        summary.append("\t".join([name, want_ext, str(want), str(len(f)), sha, verdict,
                                  "%s:%s" % (ext_of_type(got) if got != NONE else "none", got),
                                  kind, lenfield]))
        d = ["## " + name,
             "type:         %s (type id %d)" % (want_ext, want),
             "size:         %d bytes" % len(f),
             "sha256:       " + sha,
             "first 16:     " + f[:16].hex(" "),
             "header test:  %s (first match in table order: %s)" % (verdict, "%s/%d" % (ext_of_type(got), got) if got != NONE else "none"),
             "extent:       %s%s%s" % (kind, "; " + note if note else "", "; measures %s" % lenfield if length is not None else ""),
             "file(1):      " + run(["file", "-b", path]),
             ]
        if want in (11, 12, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 26, 27, 47, 48):
            d.append("ffprobe:      " + probe(path))
        d.append("made by:      " + cmd)
        details.append("\n".join(d))
    with open(manifest, "w", encoding="utf-8") as m:
        m.write(open(os.path.join(os.path.dirname(entries), "manifest_head.txt"), encoding="utf-8").read())
        m.write("\n# name\text\ttype_id\tsize\tsha256\theader_check\tfirst_match\textent\tmeasured_length\n")
        m.write("\n".join(summary) + "\n\n")
        m.write("\n\n".join(details) + "\n")
        tail = os.path.join(os.path.dirname(entries), "manifest_tail.txt")
        m.write("\n" + open(tail, encoding="utf-8").read())
    for p in problems:
        print("header check: " + p)
    print("%d samples checked, %d not recognised as their own type" % (len(rows), len(problems)))


if __name__ == "__main__":
    main()
PYEOF
"$PY" "$WORK/check.py" "$F" "$WORK/entries.tsv" "$F/MANIFEST.txt"

chmod 644 "$F"/*
# Replace the committed folder whole.
rm -rf "$OUT"
mv "$F" "$OUT"
echo "make_samples.sh: $(($(ls "$OUT" | wc -l) - 1)) samples in $OUT, $(du -sk "$OUT" | cut -f1) KiB"
