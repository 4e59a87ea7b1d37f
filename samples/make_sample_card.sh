#!/usr/bin/env bash
# Builds samples/card.img.gz: a small FAT32 memory-card image, made with mkfs.fat and mtools,
# holding live and deleted photos, a deleted folder and documents. The files' sha256 go to
# samples/card.sha256 as "<sha256>  <state> <path>".
# Needs: dosfstools, mtools, imagemagick, gzip. Run from anywhere; writes into samples/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
files="$here/../tests/samples/files"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1 TZ=UTC LC_ALL=C

img="$work/card.img"
# FAT32 wants at least 65,525 clusters: 34 MiB of 512-byte clusters.
truncate -s 34M "$img"
mkfs.fat -F 32 -s 1 -n "CARD" -i 5A3DC0DE --invariant "$img" >/dev/null

mkdir -p "$work/in/DCIM/100CAMERA" "$work/in/Holiday" "$work/in/Documents"
cp "$files/camera_exif.jpg" "$work/in/DCIM/100CAMERA/IMG_0001.JPG"
cp "$files/sample.jpg" "$work/in/DCIM/100CAMERA/IMG_0002.JPG"
convert -size 320x240 -seed 7 plasma:fractal -quality 85 -strip "$work/in/DCIM/100CAMERA/IMG_0003.JPG"
convert -size 400x300 -seed 11 plasma:blue-yellow -quality 85 -strip "$work/in/Holiday/beach on the first day.jpg"
convert -size 400x300 -seed 13 plasma:orange-purple -quality 85 -strip "$work/in/Holiday/sunset.jpg"
printf 'Ferry at 9:40, hotel booking 5531.\n' >"$work/in/Holiday/notes.txt"
cp "$files/sample.pdf" "$work/in/Documents/report.pdf"
cp "$files/sample.docx" "$work/in/Documents/letter.docx"
cp "$files/sample.png" "$work/in/screenshot.png"

stamp() { touch -d "$2" "$work/in/$1"; }
stamp DCIM/100CAMERA/IMG_0001.JPG "2024-07-14 10:01:02"
stamp DCIM/100CAMERA/IMG_0002.JPG "2024-07-14 10:05:44"
stamp DCIM/100CAMERA/IMG_0003.JPG "2024-07-14 10:07:30"
stamp "Holiday/beach on the first day.jpg" "2024-07-15 16:20:10"
stamp Holiday/sunset.jpg "2024-07-15 20:45:58"
stamp Holiday/notes.txt "2024-07-15 21:00:00"
stamp Documents/report.pdf "2024-06-30 09:00:00"
stamp Documents/letter.docx "2024-07-01 12:30:00"
stamp screenshot.png "2024-07-20 18:15:36"

mmd -i "$img" ::/DCIM ::/DCIM/100CAMERA ::/Holiday ::/Documents
for f in DCIM/100CAMERA/IMG_0001.JPG DCIM/100CAMERA/IMG_0002.JPG DCIM/100CAMERA/IMG_0003.JPG \
         "Holiday/beach on the first day.jpg" Holiday/sunset.jpg Holiday/notes.txt \
         Documents/report.pdf Documents/letter.docx screenshot.png; do
  mcopy -m -i "$img" "$work/in/$f" "::/$f"
done

# What the user lost: two photos, the whole holiday folder, the report and a screenshot.
mdel -i "$img" ::/DCIM/100CAMERA/IMG_0002.JPG ::/DCIM/100CAMERA/IMG_0003.JPG ::/Documents/report.pdf ::/screenshot.png
mdeltree -i "$img" ::/Holiday
fsck.fat -n "$img" >/dev/null

{
  for f in DCIM/100CAMERA/IMG_0001.JPG Documents/letter.docx; do
    printf '%s  live /%s\n' "$(sha256sum <"$work/in/$f" | cut -d' ' -f1)" "$f"
  done
  for f in DCIM/100CAMERA/IMG_0002.JPG DCIM/100CAMERA/IMG_0003.JPG "Holiday/beach on the first day.jpg" \
           Holiday/sunset.jpg Holiday/notes.txt Documents/report.pdf screenshot.png; do
    printf '%s  deleted /%s\n' "$(sha256sum <"$work/in/$f" | cut -d' ' -f1)" "$f"
  done
} >"$here/card.sha256"
gzip -9 -n -c "$img" >"$here/card.img.gz"
echo "wrote $here/card.img.gz ($(stat -c %s "$here/card.img.gz") bytes)"
