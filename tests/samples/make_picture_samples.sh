#!/usr/bin/env bash
# Makes small real samples of the newer formats with their reference encoders from Debian, into
# tests/samples/files (next to the older samples, which make_samples.sh writes), and puts their rows
# into files/MANIFEST.txt in place of any earlier rows of the same names.
#
#   bash tests/samples/make_picture_samples.sh            # every group
#   bash tests/samples/make_picture_samples.sh modern_pictures
#
# Each group is one function. Its rows say how the carver measures the file when it does not walk
# the structure: "size field" is to the byte (measured column "=size"), "walk" runs to the next
# file. Walking the structure measures every file to the byte, except an "estimate" one, whose
# format declares no length at all.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=$HERE/files
export TZ=UTC LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=1609459200
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ROWS=$WORK/rows.tsv
: > "$ROWS"

need() {
  local pair
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || { echo "missing ${pair%%:*} (Debian package ${pair#*:})" >&2; exit 1; }
  done
}

# row NAME EXT TYPE_ID FIRST_MATCH EXTENT: the manifest row of a file now in $OUT.
row() {
  local name=$1 ext=$2 id=$3 first=$4 extent=$5 size sum measured
  size=$(stat -c %s "$OUT/$name")
  sum=$(sha256sum "$OUT/$name" | cut -d' ' -f1)
  ((size < 102400)) || { echo "$name is $size bytes: too big to commit" >&2; exit 1; }
  measured="$size (=size)"
  [[ $extent == "size field" ]] || measured=-
  printf '%s\t%s\t%s\t%s\t%s\tOK\t%s\t%s\t%s\n' "$name" "$ext" "$id" "$size" "$sum" "$first" "$extent" "$measured" >> "$ROWS"
}

# ---------------------------------------------------------------- modern pictures
# WebP (cwebp, img2webp), HEIF/HEIC (heif-enc), AVIF (avifenc), JPEG XL (cjxl).
modern_pictures() {
  need convert:imagemagick exiftool:libimage-exiftool-perl cwebp:webp img2webp:webp heif-enc:libheif-examples \
       avifenc:libavif-bin cjxl:libjxl-tools
  local T=$WORK/pictures
  mkdir -p "$T"
  (
    cd "$T"
    convert -seed 7 -size 160x120 plasma:red-blue -strip photo.png
    convert -seed 9 -size 160x120 plasma: -strip second.png
    convert -seed 8 -size 64x48 plasma:green-yellow -alpha set -channel A -evaluate set 60% +channel -strip alpha.png
    convert photo.png -quality 85 photo.jpg
    exiftool -q -overwrite_original -Make=Rexmoor -Model=Sample photo.jpg
    # WebP: lossy (VP8), lossless (VP8L), extended with an alpha chunk (VP8X, ALPH), animated (ANIM, ANMF).
    cwebp -quiet -q 70 photo.png -o "$OUT/sample.webp"
    cwebp -quiet -lossless alpha.png -o "$OUT/lossless.webp"
    cwebp -quiet -q 60 -alpha_q 80 -metadata none alpha.png -o "$OUT/alpha.webp"
    img2webp -q 30 -d 100 photo.png -d 100 second.png -o "$OUT/animated.webp" >/dev/null 2>&1
    # HEIF with HEVC (brands heic, mif1), AVIF still and with an alpha item.
    heif-enc -q 50 photo.png -o "$OUT/sample.heic" >/dev/null
    avifenc -s 8 -j 1 photo.png "$OUT/sample.avif" >/dev/null
    avifenc -s 8 -j 1 alpha.png "$OUT/alpha.avif" >/dev/null
    # JPEG XL: a bare codestream, the box container, a lossless one (level box first), and a
    # recompressed JPEG (jbrd box, codestream in jxlp parts around the Exif box).
    cjxl -q 80 photo.png "$OUT/sample.jxl" >/dev/null 2>&1
    cjxl -q 80 --container=1 photo.png "$OUT/container.jxl" >/dev/null 2>&1
    cjxl -d 0 alpha.png "$OUT/lossless.jxl" >/dev/null 2>&1
    cjxl photo.jpg "$OUT/recompressed.jxl" >/dev/null 2>&1
  )
  row sample.webp webp 69 webp:69 "size field"
  row lossless.webp webp 69 webp:69 "size field"
  row alpha.webp webp 69 webp:69 "size field"
  row animated.webp webp 69 webp:69 "size field"
  row sample.heic heic 70 heic:70 walk
  row sample.avif avif 71 avif:71 walk
  row alpha.avif avif 71 avif:71 walk
  row sample.jxl jxl 72 jxl:72 estimate
  row container.jxl jxl 72 jxl:72 walk
  row lossless.jxl jxl 72 jxl:72 walk
  row recompressed.jxl jxl 72 jxl:72 walk
}

groups=("$@")
((${#groups[@]})) || groups=(modern_pictures)
for g in "${groups[@]}"; do "$g"; done

# The new rows replace rows of the same names in the table at the top of the manifest (before the
# per-file sections); any other row stays where it is.
python3 - "$OUT/MANIFEST.txt" "$ROWS" <<'EOF'
import sys
manifest, rows = sys.argv[1], sys.argv[2]
new = [l for l in open(rows).read().splitlines() if l]
names = {l.split('\t')[0] for l in new}
lines = open(manifest).read().split('\n')
kept = [l for l in lines if l.split('\t')[0] not in names or '\t' not in l]
# The table ends at the first blank line after its header line.
head = next(i for i, l in enumerate(kept) if l.startswith('# name\t'))
end = next(i for i in range(head + 1, len(kept)) if not kept[i].strip())
kept[end:end] = new
open(manifest, 'w').write('\n'.join(kept))
EOF
