#!/usr/bin/env bash
# Starts rexmoor-gui under Xvfb on the bundled card image and saves a screenshot of each page and
# of the scan, search and recovery windows, at the size the window first opens with (1024 x 640 on the 1280 x 800 screen) and maximised, and of the preview panel
# and the thumbnail grid (JPEG, and HEIC and camera raw files drawn by the picture program), into
# docs/screenshots/.
#   bash scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

bash scripts/setup.sh
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
for p in xvfb xauth imagemagick libheif-examples; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$p"
done
if [ ! -x "$build/rexmoor-gui" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DREXMOOR_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target rexmoor-gui
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gunzip -c samples/card.img.gz > "$work/card.img"
# A second medium without a file system: photos, documents and archives one after another, all to
# be found by their content (carved), for the previews and the thumbnail grid.
samples=tests/samples/files
for i in $(seq 1 9); do
  convert -size 480x320 -seed "$i" plasma:fractal -blur 0x2 -quality 85 "$work/photo$i.jpg"
done
# Phone pictures (HEIC) for the pictures Qt's readers cannot read.
for i in 1 2 3 4; do
  convert -size 480x320 -seed "$((i + 20))" plasma:fractal -blur 0x2 "$work/phone$i.png"
  heif-enc -q 60 -o "$work/phone$i.heic" "$work/phone$i.png" >/dev/null
done
{
  head -c 65536 /dev/zero
  for f in "$work"/photo*.jpg $samples/sample.jpg $samples/camera_exif.jpg $samples/sample.docx $samples/sample.xlsx \
           $samples/sample.pptx $samples/sample.zip $samples/sample.7z $samples/sample.pdf $samples/sample.mp3 \
           "$work"/phone*.heic $samples/canon.cr2; do
    cat "$f"
    head -c $(( (4096 - $(stat -c %s "$f") % 4096) % 4096 + 4096 )) /dev/zero
  done
  head -c 65536 /dev/zero
} > "$work/carved.img"
out=docs/screenshots
rm -rf "$out.new"
# A fresh settings and data folder: English, and no earlier scan of the card to continue.
XDG_CONFIG_HOME="$work/config" REXMOOR_DATA_DIR="$work/data" ASAN_OPTIONS=detect_leaks=0 \
  xvfb-run -a -s "-screen 0 1280x800x24" \
  "$build/rexmoor-gui" --screenshots "$out.new" "$work/card.img" "$work/recovered" "$work/carved.img"
rm -rf "$out"
mv "$out.new" "$out"
ls "$out"
