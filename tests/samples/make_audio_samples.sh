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

# mk NAME EXT ID 'COMMAND' — runs COMMAND in $T (it writes $F/NAME), copies the file out and
# prints its manifest row and section.
ROWS=$WORK/rows.tsv
SECTIONS=$WORK/sections.txt
mk() {
  local name=$1 ext=$2 id=$3 cmd=$4
  (cd "$T" && eval "$cmd") || { echo "make_audio_samples.sh: failed to make $name" >&2; exit 1; }
  [[ -s $F/$name ]] || { echo "make_audio_samples.sh: $name not written" >&2; exit 1; }
  local size sha
  size=$(stat -c %s "$F/$name")
  sha=$(sha256sum "$F/$name" | cut -d' ' -f1)
  ((size < 100 * 1024)) || { echo "make_audio_samples.sh: $name is $size bytes, too big" >&2; exit 1; }
  cp "$F/$name" "$OUT/$name"
  printf '%s\t%s\t%s\t%s\t%s\tOK\t%s:%s\twalk\t-\n' "$name" "$ext" "$id" "$size" "$sha" "$ext" "$id" >> "$ROWS"
  {
    printf '\n## %s\n' "$name"
    printf 'type:         %s (type id %s)\n' "$ext" "$id"
    printf 'size:         %s bytes\n' "$size"
    printf 'sha256:       %s\n' "$sha"
    printf 'first 16:     %s\n' "$(head -c 16 "$F/$name" | od -An -tx1 | tr -s ' ' | sed 's/^ //')"
    printf 'header test:  OK (first match in table order: %s/%s)\n' "$ext" "$id"
    printf 'extent:       walk; measured by its own structure\n'
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

groups=("$@")
((${#groups[@]})) || groups=(modern_audio_video)
for g in "${groups[@]}"; do "$g"; done
cat "$ROWS"
cat "$SECTIONS"
