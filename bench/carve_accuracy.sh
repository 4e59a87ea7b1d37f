#!/usr/bin/env bash
# How many files the deep scan carves back byte for byte from a raw medium without a file system,
# next to PhotoRec on the same medium.
#
#   bench/carve_accuracy.sh [--rexmoor BIN] [--per-type N] [--seed S] [--work DIR] [--keep]
#                           [--kinds LIST] [--types LIST] [--no-photorec]
#
#   --rexmoor BIN   the program to measure (default build/rexmoor)
#   --per-type N    files made of each kind (default 7: 504 files, a medium of about 220 MiB)
#   --seed S        drives every random choice: sizes, content, order, gaps (default 20261209)
#   --work DIR      scratch folder (default a new folder under /tmp); --keep leaves it behind, and
#                   a later run with the same DIR, seed, size and kinds reuses its corpus and medium
#   --kinds LIST    make only these corpus kinds, e.g. jpg,jpgexif,mp4 (default: all, listed below)
#   --types LIST    passed to `rexmoor recover --types` (default: all)
#   --no-photorec   leave PhotoRec out
#   --medium-only   make (or reuse) the corpus and medium, then stop (bench/speed.sh uses it)
#
# The corpus comes from real encoders (ImageMagick, exiftool, ffmpeg, sox, lame, gs, zip, 7z,
# gzip, gcab, sqlite3, python3's zipfile, mailbox and plistlib, cwebp, heif-enc, avifenc, cjxl,
# flac, oggenc, opusenc, wavpack, pandoc; DSF, which no free tool writes, is built by the helper from
# the format's description) plus TrueType fonts of the system and a few text files. Camera raws (no
# free encoder writes them) are the committed samples of tests/samples.
# Debian packages it uses: imagemagick ffmpeg sox lame flac vorbis-tools opus-tools
# libimage-exiftool-perl ghostscript zip p7zip-full gzip gcab sqlite3 fonts-dejavu-core python3 webp
# libheif-examples libavif-bin libjxl-tools wavpack pandoc, and testdisk (PhotoRec 7.1) for the comparison.
# Nothing here is needed by the test suite.
#
# Each file starts on a 512-byte sector, in shuffled order, after a gap of 0..64 sectors of random
# bytes, zeros or text, and its last sector is filled up with zeros or random bytes; some pairs of
# same-kind files sit back to back. The ground truth (file, start sector, size, sha256) is kept
# in WORK/truth.tsv. A recovered file counts when the file named <start sector>.<ext> has the
# same sha256; every miss is listed by kind with its reason. The exit status is 0 whenever the
# measurement ran: this measures, it does not judge.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
rexmoor=build/rexmoor
per_type=7
seed=20261209
work=
keep=0
types=
photorec_on=1
only_kinds=
medium_only=0

while [ $# -gt 0 ]; do
  case "$1" in
    --rexmoor) rexmoor=$2; shift 2 ;;
    --per-type) per_type=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --types) types=$2; shift 2 ;;
    --kinds) only_kinds=$2; shift 2 ;;
    --no-photorec) photorec_on=0; shift ;;
    --medium-only) medium_only=1; keep=1; shift ;;
    -h|--help) sed -n '2,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "carve_accuracy: unknown option $1" >&2; exit 2 ;;
  esac
done

[ -x "$rexmoor" ] || { echo "carve_accuracy: no program at $rexmoor (build it first)" >&2; exit 2; }
rexmoor=$(cd "$(dirname "$rexmoor")" && pwd)/$(basename "$rexmoor")
for tool in convert exiftool ffmpeg sox lame gs zip 7z gzip gcab sqlite3 python3; do
  command -v "$tool" >/dev/null || { echo "carve_accuracy: $tool is missing" >&2; exit 2; }
done

if [ -z "$work" ]; then work=$(mktemp -d /tmp/carve_accuracy.XXXXXX); else mkdir -p "$work"; fi
work=$(cd "$work" && pwd)
if [ "$keep" = 0 ]; then trap 'rm -rf "$work"' EXIT; fi
corpus=$work/corpus
tmp=$work/tmp
image=$work/medium.img

# The seeded sequence lives in one variable and is drawn without subshells (a subshell would
# reseed bash's own RANDOM and the corpus would differ from run to run).
rng=$seed
rnd() {  # VAR LO HI: a number from LO to HI
  rng=$(( (rng * 6364136223846793005 + 1442695040888963407) & 0x7fffffffffffffff ))
  printf -v "$1" '%d' $(( $2 + (rng >> 20) % ($3 - $2 + 1) ))
}
pick() {  # VAR ITEM...: one of the items
  local _var=$1 _n; shift
  rnd _n 0 $(( $# - 1 )); _n=$(( _n + 1 ))
  printf -v "$_var" '%s' "${!_n}"
}

# Dates the encoders write are fixed (gs and others read this), PNG time chunks left out.
export SOURCE_DATE_EPOCH=1700000000
nodate=(-define 'png:exclude-chunks=date,time')

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y -threads 1 "$@"; }
# Encoder settings that keep ffmpeg's output the same from run to run.
bitexact=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)

picture() {  # OUT W H SEED: a fractal picture with a little noise, so that sizes spread
  convert -seed "$4" -size "${2}x${3}" plasma:fractal -attenuate 0.$(( $4 % 6 )) +noise Gaussian "$1"
}

# The committed camera raw sample of each raw kind (tests/samples/make_modern_samples.sh).
raw_sample() {
  case "$1" in
    cr2) echo canon.cr2 ;; nef) echo nikon.nef ;; arw) echo sony.arw ;; dng) echo camera.dng ;;
    orf) echo olympus.orf ;; rw2) echo panasonic.rw2 ;; pef) echo pentax.pef ;; srw) echo samsung.srw ;;
    cr3) echo canon.cr3 ;; raf) echo fujifilm.raf ;;
    crw) echo canon.crw ;; mrw) echo minolta.mrw ;; x3f) echo sigma.x3f ;; erf) echo epson.erf ;;
    3fr) echo hasselblad.3fr ;; kdc) echo kodak.kdc ;; dcr) echo kodak.dcr ;; mef) echo mamiya.mef ;;
    mos) echo leaf.mos ;; iiq) echo phaseone.iiq ;;
  esac
}

make_one() {  # KIND INDEX
  local kind=$1 i=$2 s=$(( seed % 100000 + $2 * 7919 )) base=$corpus/$1_$2 w h d q a b
  case "$kind" in
    cr2|nef|arw|dng|orf|rw2|pef|srw|cr3|raf|crw|mrw|x3f|erf|3fr|kdc|dcr|mef|mos|iiq)  # no free encoder: the raws built from the makers' layouts
      cp "$here/../tests/samples/files/$(raw_sample "$kind")" "$base.$kind" ;;
    jpg)       # baseline, 20 KB .. 3 MB
      rnd w 400 3200; h=$(( w * 3 / 4 )); rnd q 75 93
      picture "$tmp/p.ppm" "$w" "$h" "$s"
      convert "$tmp/p.ppm" -quality "$q" "$base.jpg" ;;
    jpgprog)
      rnd w 400 2800; h=$(( w * 2 / 3 )); rnd q 70 95
      picture "$tmp/p.ppm" "$w" "$h" "$s"
      convert "$tmp/p.ppm" -interlace Plane -quality "$q" "$corpus/jpgprog_$i.jpg" ;;
    jpgexif)   # what a camera writes: Exif with a JPEG thumbnail inside the APP1 block
      rnd w 640 3200; h=$(( w * 3 / 4 )); rnd q 80 93
      picture "$tmp/p.ppm" "$w" "$h" "$s"
      convert "$tmp/p.ppm" -quality "$q" "$corpus/jpgexif_$i.jpg"
      convert "$tmp/p.ppm" -resize 160x120 -quality 80 "$tmp/thumb.jpg"
      exiftool -q -overwrite_original "-ThumbnailImage<=$tmp/thumb.jpg" -Make=Rexmoor -Model="Bench $i" \
        -DateTimeOriginal="2026:12:09 10:$(( i % 60 )):00" -ExposureTime=1/125 -FNumber=2.8 "$corpus/jpgexif_$i.jpg" ;;
    png)
      rnd w 64 1400; rnd h 64 1000
      picture "$tmp/p.ppm" "$w" "$h" "$s"
      case $(( i % 3 )) in
        0) convert "$tmp/p.ppm" "${nodate[@]}" "$base.png" ;;
        1) convert "$tmp/p.ppm" -colors 200 "${nodate[@]}" "PNG8:$base.png" ;;
        2) convert "$tmp/p.ppm" -alpha set -channel A -fx 'i/w' "${nodate[@]}" "$base.png" ;;
      esac ;;
    gif)
      rnd w 48 800; rnd h 48 600
      if [ $(( i % 2 )) = 0 ]; then
        picture "$tmp/p.ppm" "$w" "$h" "$s"; convert "$tmp/p.ppm" "$base.gif"
      else
        picture "$tmp/a.ppm" "$w" "$h" "$s"; picture "$tmp/b.ppm" "$w" "$h" $((s + 1)); picture "$tmp/c.ppm" "$w" "$h" $((s + 2))
        convert -delay 20 -loop 0 "$tmp/a.ppm" "$tmp/b.ppm" "$tmp/c.ppm" "$base.gif"
      fi ;;
    bmp)
      rnd w 16 1200; rnd h 16 900
      picture "$tmp/p.ppm" "$w" "$h" "$s"
      case $(( i % 3 )) in
        0) convert "$tmp/p.ppm" "BMP3:$base.bmp" ;;
        1) convert "$tmp/p.ppm" "$base.bmp" ;;
        2) convert "$tmp/p.ppm" -colors 16 -type Palette "BMP3:$base.bmp" ;;
      esac ;;
    tif)
      rnd w 32 1200; rnd h 32 900
      picture "$tmp/p.ppm" "$w" "$h" "$s"
      case $(( i % 4 )) in
        0) convert "$tmp/p.ppm" -compress none "$base.tif" ;;
        1) convert "$tmp/p.ppm" -compress lzw "$base.tif" ;;
        2) convert "$tmp/p.ppm" -compress zip -endian MSB "$base.tif" ;;
        3) picture "$tmp/b.ppm" "$h" "$w" $((s + 1)); convert "$tmp/p.ppm" "$tmp/b.ppm" -compress lzw "$base.tif" ;;
      esac ;;
    psd)
      rnd w 32 1000; rnd h 32 800
      picture "$tmp/p.ppm" "$w" "$h" "$s"
      if [ $(( i % 2 )) = 0 ]; then convert "$tmp/p.ppm" "$base.psd"
      else picture "$tmp/b.ppm" "$w" "$h" $((s + 1)); convert "$tmp/p.ppm" "$tmp/b.ppm" "$base.psd"; fi ;;
    webp)
      rnd w 32 1600; rnd h 32 1200
      picture "$tmp/p.png" "$w" "$h" "$s"
      case $(( i % 3 )) in
        0) rnd q 40 95; cwebp -quiet -q "$q" "$tmp/p.png" -o "$base.webp" ;;
        1) cwebp -quiet -lossless "$tmp/p.png" -o "$base.webp" ;;
        2) convert "$tmp/p.png" -alpha set -channel A -evaluate set 70% +channel "$tmp/a.png"
           cwebp -quiet -q 75 "$tmp/a.png" -o "$base.webp" ;;
      esac ;;
    heic)
      rnd w 64 1600; rnd h 64 1200; rnd q 30 90
      picture "$tmp/p.png" "$w" "$h" "$s"; heif-enc -q "$q" "$tmp/p.png" -o "$base.heic" >/dev/null ;;
    avif)
      rnd w 32 1200; rnd h 32 900; rnd q 8 40
      picture "$tmp/p.png" "$w" "$h" "$s"; avifenc -s 8 -j 1 --min "$q" --max $(( q + 10 )) "$tmp/p.png" "$base.avif" >/dev/null ;;
    jxl)
      rnd w 32 1600; rnd h 32 1200
      picture "$tmp/p.png" "$w" "$h" "$s"
      case $(( i % 3 )) in
        0) cjxl -q 85 "$tmp/p.png" "$base.jxl" >/dev/null 2>&1 ;;   # bare codestream
        1) cjxl -q 85 --container=1 "$tmp/p.png" "$base.jxl" >/dev/null 2>&1 ;;
        2) convert "$tmp/p.png" -quality 85 "$tmp/p.jpg"; cjxl "$tmp/p.jpg" "$base.jxl" >/dev/null 2>&1 ;;
      esac ;;
    ico)
      picture "$tmp/p.ppm" 256 256 "$s"; pick a 16,32,48 16,32,48,256 32,64 48
      convert "$tmp/p.ppm" -define icon:auto-resize="$a" "${nodate[@]}" "$base.ico" ;;
    mp3)
      rnd d 2 60; pick a sine square triangle pluck; rnd w 100 900; pick b sine sawtooth; rnd h 200 2000
      sox -R -n -r 44100 -c 2 "$tmp/a.wav" synth "$d" "$a" "$w" "$b" "$h" gain -6
      pick q 64 128 192 320; rnd a 0 6
      case $(( i % 3 )) in
        0) lame --quiet -b "$q" "$tmp/a.wav" "$base.mp3" ;;
        1) lame --quiet -V "$a" --add-id3v2 --tt "Track $i" --ta Bench "$tmp/a.wav" "$base.mp3" ;;
        2) lame --quiet -b 128 --id3v1-only --tt "Track $i" "$tmp/a.wav" "$base.mp3" ;;
      esac ;;
    mp2)
      rnd w 100 900; pick h 44100 48000 32000; rnd d 2 40; pick q 128k 192k 256k
      ff -f lavfi -i "sine=frequency=$w:sample_rate=$h" -t "$d" "${bitexact[@]}" -c:a mp2 -b:a "$q" -f mp2 "$base.mp2" ;;
    wav)
      pick h 8000 22050 44100 48000; pick a 1 2; pick b 8 16 24; rnd d 1 20; pick q sine square pinknoise; rnd w 100 1500
      sox -R -n -r "$h" -c "$a" -b "$b" "$base.wav" synth "$d" "$q" "$w" gain -3 ;;
    mid)
      python3 "$here/carve_accuracy.py" midi "$base.mid" "$s" ;;
    mmf)
      rnd w 200 900; rnd d 2 30
      ff -f lavfi -i "sine=frequency=$w:sample_rate=8000" -t "$d" "${bitexact[@]}" -ac 1 -c:a adpcm_yamaha -f mmf "$base.mmf" ;;
    wma)
      rnd w 200 900; rnd d 2 40; pick q 64k 128k
      ff -f lavfi -i "sine=frequency=$w:sample_rate=44100" -t "$d" "${bitexact[@]}" -c:a wmav2 -b:a "$q" -f asf "$base.wma" ;;
    flac|ogg|opus|m4a|aiff)   # a few seconds to a minute of tones
      rnd d 2 60; pick a sine square triangle pluck; rnd w 100 900; pick h 22050 44100 48000; pick b 1 2
      sox -R -D -n -r "$h" -c "$b" -b 16 "$tmp/a.wav" synth "$d" "$a" "$w" gain -6
      case "$kind" in
        flac) pick q 0 5 8; flac -s -"$q" -o "$base.flac" "$tmp/a.wav" ;;
        ogg)  pick q 0 3 6; oggenc -Q -q "$q" --serial "$s" -o "$base.ogg" "$tmp/a.wav" ;;
        opus) pick q 24 64 128; opusenc --quiet --serial "$s" --bitrate "$q" "$tmp/a.wav" "$base.opus" ;;
        m4a)  pick q 64k 128k; ff -i "$tmp/a.wav" "${bitexact[@]}" -c:a aac -b:a "$q" "$base.m4a" ;;
        aiff) if [ $(( i % 2 )) = 0 ]; then sox "$tmp/a.wav" -t aiff "$base.aiff"; else sox "$tmp/a.wav" -t aifc "$base.aifc"; fi ;;
      esac ;;
    webm)
      make_video "$kind" "$base" "$s" ;;
    aac|amr|caf|wv)   # a few seconds to a minute of tones
      rnd d 2 60; pick a sine square triangle pluck; rnd w 100 900; pick h 22050 44100 48000; pick b 1 2
      [ "$kind" = amr ] && { h=8000; b=1; }
      sox -R -D -n -r "$h" -c "$b" -b 16 "$tmp/a.wav" synth "$d" "$a" "$w" gain -6
      case "$kind" in
        aac) pick q 32k 96k 192k 320k; ff -i "$tmp/a.wav" "${bitexact[@]}" -c:a aac -b:a "$q" -f adts "$base.aac" ;;
        amr) rnd q 0 7; sox "$tmp/a.wav" -t amr-nb -C "$q" "$base.amr" ;;
        caf) pick q pcm_s16be pcm_s24le alac; ff -i "$tmp/a.wav" "${bitexact[@]}" -c:a "$q" -f caf "$base.caf" ;;
        wv)  case $(( i % 3 )) in
               0) wavpack -q "$tmp/a.wav" -o "$base.wv" ;;
               1) wavpack -q -h -w "Title=Track $i" "$tmp/a.wav" -o "$base.wv" ;;
               2) wavpack -q -b320 "$tmp/a.wav" -o "$base.wv" ;;   # hybrid (lossy part only)
             esac ;;
      esac ;;
    dsf)       # no free encoder writes DSF: built from the format's description
      python3 "$here/carve_accuracy.py" dsf "$base.dsf" "$s" ;;
    m4v|mp4hevc|mp4av1|movhevc)
      make_video "$kind" "$base" "$s" ;;
    mp4|mov|3gp|mkv|flv|mpg|vob|ts|m2ts|asf|wmv|avi|mxf|rm|swf)
      make_video "$kind" "$base" "$s" ;;
    zip|docx|xlsx|pptx|odt|ods|odp|odg|epub|mbox|plist|vcf|ics|svg)
      python3 "$here/carve_accuracy.py" "$kind" "$base.$kind" "$s" ;;
    rtf)       # pandoc's RTF writer over a random text
      python3 "$here/carve_accuracy.py" text "$tmp/d.txt" "$s"
      pandoc -s -f markdown -t rtf -o "$base.rtf" "$tmp/d.txt" ;;
    7z)
      python3 "$here/carve_accuracy.py" payload "$tmp/pl" "$s"
      touch -d @1700000000 "$tmp"/pl/*; pick q 1 5 9
      (cd "$tmp/pl" && 7z a -bd -bso0 -mx="$q" "$base.7z" . >/dev/null)
      rm -rf "$tmp/pl" ;;
    gz)
      python3 "$here/carve_accuracy.py" payload "$tmp/pl" "$s"; rnd q 1 9
      if [ $(( i % 2 )) = 0 ]; then gzip -n -c "$(ls "$tmp"/pl/* | head -1)" > "$base.gz"
      else (cd "$tmp/pl" && tar --sort=name --mtime=@1700000000 --owner=0 --group=0 -cf - .) | gzip -n -"$q" > "$base.tar.gz"; fi
      rm -rf "$tmp/pl" ;;
    cab)
      python3 "$here/carve_accuracy.py" payload "$tmp/pl" "$s"
      touch -d @1700000000 "$tmp"/pl/*
      (cd "$tmp/pl" && if [ $(( i % 2 )) = 0 ]; then gcab -c -z "$base.cab" ./*; else gcab -c "$base.cab" ./*; fi)
      rm -rf "$tmp/pl" ;;
    pdf)       # written under a fixed relative name: gs makes the document ID from the output's name
      python3 "$here/carve_accuracy.py" postscript "$tmp/d.ps" "$s"
      case $(( i % 3 )) in
        0) (cd "$tmp" && gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -o out.pdf d.ps) ;;
        1) (cd "$tmp" && ps2pdf -dCompressPages=false d.ps out.pdf) ;;
        2) rnd w 200 1200; rnd h 200 900; picture "$tmp/p.ppm" "$w" "$h" "$s"   # a scanned page
           convert "$tmp/p.ppm" -quality 85 "$tmp/page.jpg"
           (cd "$tmp" && gs -q -dBATCH -dNOPAUSE -dSAFER --permit-file-read="$tmp/" -sDEVICE=pdfwrite -o out.pdf \
             "$(ls /usr/share/ghostscript/*/lib/viewjpeg.ps | head -1)" -c "($tmp/page.jpg) viewJPEG showpage") ;;
      esac && mv "$tmp/out.pdf" "$base.pdf" ;;
    db)
      python3 "$here/carve_accuracy.py" sqlsource "$tmp/db.sql" "$s"
      rm -f "$base.db"; sqlite3 "$base.db" < "$tmp/db.sql" ;;
    ttf)
      pick a /usr/share/fonts/truetype/*/*.ttf
      cp "$a" "$base.ttf" ;;
    txt|html|xml|json|csv|eml|c)
      python3 "$here/carve_accuracy.py" text "$base.$kind" "$s" ;;
  esac
}

make_video() {  # KIND BASE SEED: a test picture and a tone, a few seconds long
  local kind=$1 base=$2 s=$3 w h d src rate c1 c2
  rnd w 8 40; w=$(( w * 16 )); h=$(( w * 9 / 16 / 16 * 16 )); rnd d 1 8
  pick rate 300k 800k 2M 4M
  pick src testsrc2 mandelbrot life cellauto
  case "$src" in
    life) src="life=s=${w}x${h}:mold=10:r=25:ratio=0.1:seed=$s,format=yuv420p" ;;
    cellauto) src="cellauto=s=${w}x${h}:rule=$(( 18 + s % 100 )):seed=$s,format=yuv420p" ;;
    *) src="$src=s=${w}x${h}" ;;
  esac
  local -a in=(-f lavfi -i "$src" -f lavfi -i "sine=frequency=$(( 200 + s % 800 )):sample_rate=44100" -t "$d")
  case "$kind" in
    mp4)  local -a fast=(); [ $(( s % 2 )) = 0 ] && fast=(-movflags +faststart)   # index first or last
          ff "${in[@]}" "${bitexact[@]}" -c:v libx264 -preset veryfast -b:v "$rate" -pix_fmt yuv420p -c:a aac "${fast[@]}" "$base.mp4" ;;
    mov)  pick c1 mpeg4 libx264 mjpeg; c2=yuv420p; [ "$c1" = mjpeg ] && c2=yuvj420p
          ff "${in[@]}" "${bitexact[@]}" -c:v "$c1" -b:v "$rate" -pix_fmt "$c2" -c:a pcm_s16le "$base.mov" ;;
    3gp)  ff "${in[@]}" "${bitexact[@]}" -s 176x144 -c:v h263 -b:v 200k -ar 8000 -ac 1 -c:a aac -b:a 24k "$base.3gp" ;;
    mkv)  pick c1 libvpx libx264
          ff "${in[@]}" "${bitexact[@]}" -c:v "$c1" -b:v "$rate" -pix_fmt yuv420p -c:a libvorbis "$base.mkv" ;;
    webm) ff "${in[@]}" "${bitexact[@]}" -c:v libvpx -b:v "$rate" -pix_fmt yuv420p -c:a libopus -ar 48000 -f webm "$base.webm" ;;
    flv)  ff "${in[@]}" "${bitexact[@]}" -c:v flv -b:v "$rate" -c:a libmp3lame -ar 44100 "$base.flv" ;;
    mpg)  ff "${in[@]}" "${bitexact[@]}" -c:v mpeg1video -b:v "$rate" -c:a mp2 -f mpeg "$base.mpg" ;;
    vob)  ff "${in[@]}" "${bitexact[@]}" -c:v mpeg2video -b:v "$rate" -c:a ac3 -ar 48000 -f vob "$base.vob" ;;
    ts)   pick c1 mpeg2video libx264
          ff "${in[@]}" "${bitexact[@]}" -c:v "$c1" -b:v "$rate" -pix_fmt yuv420p -c:a mp2 -f mpegts "$base.ts" ;;
    m2ts) ff "${in[@]}" "${bitexact[@]}" -c:v libx264 -b:v "$rate" -pix_fmt yuv420p -c:a ac3 -ar 48000 -f mpegts \
            -mpegts_m2ts_mode 1 "$base.m2ts" ;;
    asf)  ff "${in[@]}" "${bitexact[@]}" -c:v wmv1 -b:v "$rate" -c:a wmav2 -f asf "$base.asf" ;;
    wmv)  ff "${in[@]}" "${bitexact[@]}" -c:v wmv2 -b:v "$rate" -c:a wmav2 -f asf "$base.wmv" ;;
    avi)  pick c1 mpeg4 mjpeg; pick c2 libmp3lame pcm_s16le; d=yuv420p; [ "$c1" = mjpeg ] && d=yuvj420p
          ff "${in[@]}" "${bitexact[@]}" -c:v "$c1" -b:v "$rate" -pix_fmt "$d" -c:a "$c2" "$base.avi" ;;
    mxf)  ff "${in[@]}" "${bitexact[@]}" -r 25 -c:v mpeg2video -b:v "$rate" -pix_fmt yuv420p -ar 48000 -c:a pcm_s16le "$base.mxf" ;;
    rm)   pick c1 rv10 rv20; pick rate 200k 500k   # small frames: the muxer takes no packet over 64 KiB
          ff "${in[@]}" "${bitexact[@]}" -s 320x176 -c:v "$c1" -b:v "$rate" -c:a ac3 -ar 48000 -f rm "$base.rm" ;;
    swf)  ff "${in[@]}" "${bitexact[@]}" -c:v flv -b:v "$rate" -c:a libmp3lame -ar 22050 -f swf "$base.swf" ;;
    m4v)  ff "${in[@]}" "${bitexact[@]}" -c:v libx264 -preset veryfast -b:v "$rate" -pix_fmt yuv420p -c:a aac -f ipod "$base.m4v" ;;
    mp4hevc) ff "${in[@]}" "${bitexact[@]}" -c:v libx265 -x265-params log-level=none -preset veryfast -b:v "$rate" \
            -pix_fmt yuv420p -c:a aac "$base.mp4" ;;
    mp4av1) ff "${in[@]}" "${bitexact[@]}" -c:v libaom-av1 -cpu-used 8 -b:v "$rate" -pix_fmt yuv420p -c:a aac "$base.mp4" ;;
    movhevc) ff "${in[@]}" "${bitexact[@]}" -c:v libx265 -x265-params log-level=none -preset veryfast -b:v "$rate" \
            -pix_fmt yuv420p -tag:v hvc1 -c:a pcm_s16le "$base.mov" ;;
  esac
}

kinds=(jpg jpgprog jpgexif png gif bmp tif psd ico webp heic avif jxl mp3 mp2 wav mid mmf wma mp4 mov 3gp mkv flv mpg vob ts m2ts
       asf wmv avi mxf rm swf zip docx xlsx pptx 7z gz cab pdf db ttf txt html xml json csv eml c
       cr2 nef arw dng orf rw2 pef srw cr3 raf crw mrw x3f erf 3fr kdc dcr mef mos iiq flac ogg opus m4a aiff webm aac amr caf wv dsf m4v
       mp4hevc mp4av1 movhevc odt ods odp odg epub rtf mbox vcf ics plist svg)
[ -n "$only_kinds" ] && IFS=, read -r -a kinds <<< "$only_kinds"
# Raise the corpus number when a change to make_one or the helper makes other files.
recipe="corpus=5 seed=$seed per_type=$per_type kinds=${kinds[*]}"
if [ -f "$image" ] && [ "$(cat "$work/recipe" 2>/dev/null)" = "$recipe" ]; then
  echo "carve_accuracy: reusing the corpus and medium in $work" >&2
else
rm -rf "$corpus" "$tmp" "$work/recipe"
mkdir -p "$corpus" "$tmp"
echo "carve_accuracy: making $(( ${#kinds[@]} * per_type )) files in $corpus (seed $seed)" >&2
for kind in "${kinds[@]}"; do
  for ((n = 0; n < per_type; n++)); do
    if ! make_one "$kind" "$n" >"$tmp/err" 2>&1; then
      echo "carve_accuracy: could not make $kind #$n: $(head -c 300 "$tmp/err")" >&2
      rm -f "$corpus/${kind}_$n".*
    fi
  done
done
rm -rf "$tmp"
python3 "$here/carve_accuracy.py" layout "$corpus" "$image" "$work/truth.tsv" "$seed"
echo "$recipe" > "$work/recipe"
fi
[ "$medium_only" = 1 ] && exit 0

echo "carve_accuracy: deep scan with $rexmoor" >&2
rm -rf "$work/rexmoor_out" "$work/rexmoor_data"
type_args=()
[ -n "$types" ] && type_args=(--types "$types")
rexmoor_start=$(date +%s.%N)
if ! "$rexmoor" recover "$image" --to "$work/rexmoor_out" --data-dir "$work/rexmoor_data" --resume no \
     "${type_args[@]}" >"$work/rexmoor.log" 2>&1; then
  echo "carve_accuracy: rexmoor recover ended with an error (see $work/rexmoor.log); counting what it wrote" >&2
fi
rexmoor_seconds=$(awk "BEGIN { print $(date +%s.%N) - $rexmoor_start }")

photorec_dir=
photorec_seconds=0
if [ "$photorec_on" = 1 ] && command -v photorec >/dev/null; then
  echo "carve_accuracy: PhotoRec" >&2
  rm -rf "$work/photorec"; mkdir -p "$work/photorec"
  photorec_start=$(date +%s.%N)
  # Every file type on, the whole medium as one area. Its own checks stay on (paranoid): they are
  # what trims a file to its length; without them every file keeps its last sector whole and none
  # is byte-exact.
  (cd "$work" && photorec /log /d "$work/photorec/f" /cmd "$image" \
      partition_none,options,paranoid,keep_corrupted_file_no,fileopt,everything,enable,search \
      >/dev/null 2>&1) || echo "carve_accuracy: photorec ended with an error" >&2
  photorec_seconds=$(awk "BEGIN { print $(date +%s.%N) - $photorec_start }")
  photorec_dir=$work/photorec
fi

python3 "$here/carve_accuracy.py" compare "$work/truth.tsv" "$work/rexmoor_out" "$rexmoor_seconds" \
  "$photorec_dir" "$photorec_seconds"
[ "$keep" = 1 ] && echo "carve_accuracy: scratch folder kept: $work" >&2
exit 0
