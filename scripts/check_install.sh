#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and runs the README's sample commands with the
# installed program: it must find its language files there, not in the source or build tree.
#   bash scripts/check_install.sh BUILD_DIR
set -euo pipefail
build=$1
root="$(cd "$(dirname "$0")/.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
bin="$work/prefix/bin/rexmoor"
[ -x "$bin" ] || { echo "no program at $bin"; exit 1; }
[ -f "$work/prefix/share/rexmoor/Languages/English.ini" ] || { echo "language files not installed"; exit 1; }
# The desktop program with its menu entry and icon.
[ -x "$work/prefix/bin/rexmoor-gui" ] || { echo "no rexmoor-gui in $work/prefix/bin"; exit 1; }
grep -q '^Exec=rexmoor-gui' "$work/prefix/share/applications/rexmoor-gui.desktop" || { echo "no desktop entry"; exit 1; }
[ -f "$work/prefix/share/icons/hicolor/scalable/apps/rexmoor.svg" ] || { echo "no icon installed"; exit 1; }
[ -f "$work/prefix/share/rexmoor/config.ini" ] || { echo "shipped settings not installed"; exit 1; }
# The user guide Help opens, with its pictures.
[ -f "$work/prefix/share/rexmoor/guide/index.html" ] || { echo "no user guide installed"; exit 1; }
[ -f "$work/prefix/share/rexmoor/screenshots/page0-start.png" ] || { echo "the guide's pictures are not installed"; exit 1; }
# The program that draws a PDF's first page for the preview, out of the programs' way.
[ -x "$work/prefix/libexec/rexmoor/rexmoor-pdf-page" ] || { echo "no rexmoor-pdf-page in libexec/rexmoor"; exit 1; }
# And the one that draws HEIF/AVIF, JPEG XL and camera raw pictures.
[ -x "$work/prefix/libexec/rexmoor/rexmoor-picture" ] || { echo "no rexmoor-picture in libexec/rexmoor"; exit 1; }
# The manual pages and the software centres' description.
for page in rexmoor rexmoor-gui; do
  gzip -t "$work/prefix/share/man/man1/$page.1.gz" 2>/dev/null || { echo "no manual page $page(1)"; exit 1; }
done
[ -f "$work/prefix/share/metainfo/org.rexmoor.Rexmoor.metainfo.xml" ] || { echo "no AppStream description"; exit 1; }

gunzip -c "$root/samples/card.img.gz" > "$work/card.img"
export REXMOOR_DATA_DIR="$work/data"
export XDG_CONFIG_HOME="$work/config"  # a language the user picked must not change the texts checked below
cd "$work"  # nothing relative to the checkout may be needed

[ "$("$bin" detect card.img)" = FAT ] || { echo "detect did not say FAT"; exit 1; }
"$bin" scan card.img --quick > scan.txt 2> progress.txt
grep -q '7 file(s) found.' scan.txt || { echo "scan did not list the 7 files"; cat scan.txt; exit 1; }
# The stage texts come from the installed language file.
grep -q 'Scanning image' progress.txt || { echo "the installed program found no language file"; cat progress.txt; exit 1; }
"$bin" recover card.img --quick --to recovered > recover.txt 2>/dev/null
# Every deleted file of the card comes back byte-identical.
find recovered -type f -exec sha256sum {} + > recovered.sha256
while read -r sum state path; do
  [ "$state" = deleted ] || continue
  grep -q "^$sum " recovered.sha256 || { echo "missing after recovery: $path"; exit 1; }
done < "$root/samples/card.sha256"
# The card's PDF previews as a PNG of its first page.
id=$("$bin" scan card.img --quick --format json 2>/dev/null | grep '"extension":"pdf"' | head -n 1 |
     sed -E 's/.*"engine":([0-9]+).*"id":([0-9]+).*/\1:\2/')
"$bin" preview card.img --quick --id "$id" --to page.png 2>/dev/null || { echo "the PDF could not be previewed"; exit 1; }
[ "$(head -c 4 page.png | od -An -c | tr -d ' ')" = "211PNG" ] || { echo "the PDF preview is no PNG"; exit 1; }
echo "installed rexmoor runs from $work/prefix"
