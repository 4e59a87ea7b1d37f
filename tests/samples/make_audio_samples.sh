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

groups=("$@")
((${#groups[@]})) || groups=(modern_audio_video more_audio_video)
for g in "${groups[@]}"; do "$g"; done
cat "$ROWS"
cat "$SECTIONS"
