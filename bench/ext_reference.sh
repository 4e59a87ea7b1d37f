#!/usr/bin/env bash
# What other recovery tools and rexmoor get back from the ext2/3/4 test volumes.
#
#   bash bench/ext_reference.sh [REXMOOR] [IMAGE...]
#
# REXMOOR defaults to build/rexmoor (a missing binary skips its rows); IMAGE names such as
# ext4_deleted.img pick images from tests/fixtures/ext (default: all). Each tool runs on a copy of
# the image (a copy of the partition for the tools that want a file system) and must leave it as it
# was. The recovered files are matched with MANIFEST.txt by sha256: a deleted file counts as
# byte-exact when some recovered file has its hash, as named when one with its name does too; zero-
# byte files are left out (every empty file would match). The tools:
#   tsk_recover    The Sleuth Kit, its deleted files (-o for the partition on the MBR disk)
#   extundelete    --restore-all
#   ext4magic -r   the deleted files whose inodes and blocks the journal still describes, between
#                  -a (the volume's creation) and -b (one second after the last deletion, from the
#                  deleted inodes' dtime; the second of the deletions itself finds fewer, as the
#                  copies from just before them carry that second too)
#   ext4magic -m   its "magic" mode, the same times
#   rexmoor        recover --quick and recover --deep --keep-folders; the scan's JSON lines give the
#                  count per data_source (n/a while the lines have none) and per way found
# Needs sleuthkit, extundelete, ext4magic, e2fsprogs (debugfs, dumpe2fs) and python3; none of them is
# a dependency of the tests.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FIX=$ROOT/tests/fixtures/ext
REXMOOR=${1:-$ROOT/build/rexmoor}
[[ $# -gt 0 ]] && shift
IMAGES=("$@")
if [[ ${#IMAGES[@]} -eq 0 ]]; then
  for f in "$FIX"/*.img.gz; do IMAGES+=("$(basename "$f" .gz)"); done
fi
export PATH="$PATH:/usr/sbin:/sbin" TZ=UTC LC_ALL=C.UTF-8
LIMIT=${EXT_REFERENCE_TIMEOUT:-600}

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Counts what a tool wrote: byte-exact and named deleted files, live files, files written.
cat >"$WORK/count.py" <<'EOF'
import hashlib, json, os, sys
manifest, image, out = sys.argv[1], sys.argv[2], sys.argv[3]
rows = [l.rstrip("\n").split("\t") for l in open(manifest, encoding="utf-8") if l.startswith(image + "\t")]
files = [r for r in rows if r[2] == "file" and int(r[4]) > 0]
found = {}
written = 0
for d, _, names in os.walk(out):
    for n in names:
        p = os.path.join(d, n)
        if os.path.islink(p) or not os.path.isfile(p) or n == "report.xml":
            continue
        written += 1
        h = hashlib.sha256()
        with open(p, "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                h.update(chunk)
        found.setdefault(h.hexdigest(), set()).add(n)
deleted = [r for r in files if r[3] == "deleted"]
live = [r for r in files if r[3] == "live"]
exact = sum(r[5] in found for r in deleted)
named = sum(r[1].rstrip("/").rsplit("/", 1)[-1] in found.get(r[5], ()) for r in deleted)
print(json.dumps({"deleted": len(deleted), "exact": exact, "named": named, "live": len(live),
                  "live_exact": sum(r[5] in found for r in live), "written": written}))
EOF

# The scan's JSON lines: count per data_source and per way found.
cat >"$WORK/sources.py" <<'EOF'
import collections, json, sys
src, how, n = collections.Counter(), collections.Counter(), 0
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    try:
        o = json.loads(line)
    except ValueError:
        continue
    if o.get("is_folder") or "name" not in o:
        continue  # folders, and the summary line
    n += 1
    how[o.get("found", "?")] += 1
    if "data_source" in o:
        src[o["data_source"]] += 1
print(" ".join("%s=%d" % kv for kv in sorted(src.items())) if src else "n/a", end="\t")
print(" ".join("%s=%d" % kv for kv in sorted(how.items())) or "-", end="\t")
print(n)
EOF

# run NAME DIR COPY COMMAND...: runs a tool with a time limit, then checks its copy is untouched.
run() {
  local name=$1 dir=$2 copy=$3 sum
  shift 3
  mkdir -p "$dir"
  sum=$(sha256sum <"$copy")
  timeout "$LIMIT" "$@" >"$dir.log" 2>&1
  local rc=$?
  NOTE=""
  [[ $rc == 124 ]] && NOTE="timed out after ${LIMIT}s"
  [[ $rc != 0 && $rc != 124 ]] && NOTE="exit $rc"
  [[ $(sha256sum <"$copy") == "$sum" ]] || NOTE="${NOTE:+$NOTE; }CHANGED ITS COPY"
}

row() { # row TOOL DIR [EXTRA]
  local c
  c=$(python3 "$WORK/count.py" "$FIX/MANIFEST.txt" "$IMAGE" "$2")
  python3 - "$1" "$c" "$NOTE" "${3:-}" <<'EOF'
import json, sys
tool, c, note, extra = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3], sys.argv[4]
print("  %-14s %5d/%-4d %5d/%-4d %6d/%-5d %8d  %s" % (tool, c["exact"], c["deleted"], c["named"], c["deleted"],
      c["live_exact"], c["live"], c["written"], "; ".join(x for x in (extra, note) if x)))
EOF
}

echo "# bench/ext_reference.sh on $(date -u +%Y-%m-%d): deleted files (of more than 0 bytes) recovered"
echo "# byte-exact and with their name, live files byte-exact, files written. Versions: $(fls -V 2>&1 | head -1),"
echo "# $(extundelete -v 2>&1 | head -1), $(ext4magic -V 2>&1 | head -1 | tr -s ' ')."
for IMAGE in "${IMAGES[@]}"; do
  D=$WORK/$IMAGE.d
  mkdir -p "$D"
  gzip -dc "$FIX/$IMAGE.gz" >"$D/disk.img" || { echo "$IMAGE: cannot unpack"; continue; }
  # A partitioned image: its first partition, for the tools that read a file system.
  START=$(python3 -c '
import struct, sys
b = open(sys.argv[1], "rb").read(512)
print(struct.unpack_from("<I", b, 454)[0] if b[510:512] == b"\x55\xaa" and b[450] == 0x83 else 0)' "$D/disk.img")
  if [[ $START != 0 ]]; then
    dd if="$D/disk.img" of="$D/fs.img" bs=512 skip="$START" status=none
  else
    cp "$D/disk.img" "$D/fs.img"
  fi
  # The times ext4magic wants: the volume's creation, and just after the deletions.
  AFTER=$(date -d "$(dumpe2fs -h "$D/fs.img" 2>/dev/null | sed -n 's/^Filesystem created: *//p')" +%s)
  awk -F'\t' -v i="$IMAGE" '$1 == i && $4 == "deleted" { print "stat <" $7 ">" }' "$FIX/MANIFEST.txt" >"$D/cmds"
  BEFORE=$(debugfs -f "$D/cmds" "$D/fs.img" 2>/dev/null | sed -n 's/^ *dtime: \(0x[0-9a-f]*\).*/\1/p' |
    while read -r t; do echo $((t + 1)); done | sort -n | tail -1)
  BEFORE=${BEFORE:-$(date +%s)}
  FEATURES=$(dumpe2fs -h "$D/fs.img" 2>/dev/null | sed -n 's/^Filesystem features: *//p')
  echo
  WHERE=
  [[ $START != 0 ]] && WHERE=" (partition at sector $START)"
  echo "== $IMAGE$WHERE  [$FEATURES]"
  printf '  %-14s %10s %10s %12s %8s  %s\n' tool exact named "live exact" written notes

  cp "$D/disk.img" "$D/c1"
  run tsk "$D/tsk" "$D/c1" tsk_recover -o "$START" "$D/c1" "$D/tsk"
  row tsk_recover "$D/tsk"

  cp "$D/fs.img" "$D/c2"
  run extundelete "$D/xu" "$D/c2" extundelete "$D/c2" --restore-all -o "$D/xu"
  row extundelete "$D/xu"

  cp "$D/fs.img" "$D/c3"
  run "ext4magic -r" "$D/em" "$D/c3" ext4magic "$D/c3" -a "$AFTER" -b "$BEFORE" -r -d "$D/em"
  row "ext4magic -r" "$D/em" "-a $AFTER -b $BEFORE"

  cp "$D/fs.img" "$D/c4"
  run "ext4magic -m" "$D/mm" "$D/c4" ext4magic "$D/c4" -a "$AFTER" -b "$BEFORE" -m -d "$D/mm"
  row "ext4magic -m" "$D/mm"

  if [[ -x $REXMOOR ]]; then
    for mode in quick deep; do
      cp "$D/disk.img" "$D/c5"
      run "rexmoor $mode" "$D/rx$mode.scan" "$D/c5" "$REXMOOR" scan "$D/c5" --$mode --format json \
        --data-dir "$D/rxdata$mode" --resume no
      cp "$D/rx$mode.scan.log" "$D/rx$mode.json"
      IFS=$'\t' read -r SOURCES HOW N < <(python3 "$WORK/sources.py" "$D/rx$mode.json")
      SCANNOTE=$NOTE
      run "rexmoor $mode" "$D/rx$mode" "$D/c5" "$REXMOOR" recover "$D/c5" --$mode --to "$D/rx$mode" \
        --keep-folders --no-report --data-dir "$D/rxdata$mode" --resume yes --ignore-free-space
      NOTE="${SCANNOTE:+scan: $SCANNOTE; }$NOTE"
      row "rexmoor $mode" "$D/rx$mode" "listed $N: $HOW; data_source: $SOURCES"
    done
  else
    echo "  rexmoor        (no binary at $REXMOOR)"
  fi
  rm -rf "$D"
done
