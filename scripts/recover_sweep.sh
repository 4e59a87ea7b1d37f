#!/usr/bin/env bash
# Hostile-input sweep of `rexmoor recover`: mutates copies of the FAT and NTFS fixture images,
# plants symlinks and stray files in the target folder, and checks that the tool neither crashes,
# hangs, writes outside the target, touches the image, nor produces files bigger than the image.
# Every iteration is decided by (seed, iteration number) alone, so a finding can be replayed with
# --seed S --first N --iterations 1.
#
# Usage: bash scripts/recover_sweep.sh [--bin PATH] [--fixtures DIR] [--iterations N]
#          [--seconds S] [--seed S] [--first N] [--keep DIR] [--timeout S] [--cap-mib M]
#          [--no-extra-ntfs]
# Exit: 0 no finding, 1 at least one finding, 2 usage or setup error.
set -uo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BIN="${REXMOOR:-$ROOT/build-test/rexmoor}"
FIXTURES="$ROOT/build-test/fixtures"
ITERATIONS=""
SECONDS_LIMIT=""
SEED=1
FIRST=0
KEEP=""
TIMEOUT=60
CAP_MIB=1024
EXTRA_NTFS=1

usage() {
  sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
}

die() { echo "recover_sweep: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case "$1" in
    --bin) BIN="${2:?}"; shift 2 ;;
    --fixtures) FIXTURES="${2:?}"; shift 2 ;;
    --iterations) ITERATIONS="${2:?}"; shift 2 ;;
    --seconds) SECONDS_LIMIT="${2:?}"; shift 2 ;;
    --seed) SEED="${2:?}"; shift 2 ;;
    --first) FIRST="${2:?}"; shift 2 ;;
    --keep) KEEP="${2:?}"; shift 2 ;;
    --timeout) TIMEOUT="${2:?}"; shift 2 ;;
    --cap-mib) CAP_MIB="${2:?}"; shift 2 ;;
    --no-extra-ntfs) EXTRA_NTFS=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown option '$1'" ;;
  esac
done

for n in "$FIRST" "$TIMEOUT" "$CAP_MIB" ${ITERATIONS:+"$ITERATIONS"} ${SECONDS_LIMIT:+"$SECONDS_LIMIT"}; do
  [[ "$n" =~ ^[0-9]+$ ]] || die "not a whole number: '$n'"
done
[ -z "$ITERATIONS" ] && [ -z "$SECONDS_LIMIT" ] && ITERATIONS=100
[ -x "$BIN" ] || die "no executable rexmoor at '$BIN' (use --bin or REXMOOR)"
BIN="$(cd "$(dirname "$BIN")" && pwd)/$(basename "$BIN")"
command -v python3 >/dev/null || die "python3 is needed"
command -v timeout >/dev/null || die "timeout (coreutils) is needed"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/recover_sweep.XXXXXX")"
cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$WORK/images" "$WORK/cache"
IMAGES=()
for name in fat12.img fat16.img fat32.img ntfs.img; do
  [ -f "$FIXTURES/$name" ] || die "missing fixture $FIXTURES/$name (build the test fixtures first)"
  IMAGES+=("$FIXTURES/$name")
done
# ntfs.img has no deleted files; these volumes do, which gives recover something to chew on.
if [ "$EXTRA_NTFS" = 1 ]; then
  for gz in "$ROOT"/tests/fixtures/ntfs/*.img.gz; do
    [ -f "$gz" ] || continue
    out="$WORK/images/$(basename "$gz" .gz)"
    gunzip -c "$gz" >"$out" || die "cannot unpack $gz"
    IMAGES+=("$out")
  done
fi

EXTRA_ARGS=()
if { "$BIN" --help 2>&1; "$BIN" recover --help 2>&1; } | grep -q -- '--allow-same-device'; then
  EXTRA_ARGS+=(--allow-same-device)
fi

if [ -n "$KEEP" ]; then
  mkdir -p "$KEEP" || die "cannot create $KEEP"
  KEEP="$(cd "$KEEP" && pwd)"
fi
RESULTS="$WORK/results.jsonl"
: >"$RESULTS"

# Show where UBSan complains; leave any ASAN_OPTIONS the caller set alone.
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

HELPER="$WORK/sweep_helper.py"
cat >"$HELPER" <<'PY'
import hashlib, json, os, random, re, shutil, struct, sys

KIB = 1024


def rng_for(seed, it, what):
    # String seeds hash the same way on every run and platform.
    return random.Random(f"{seed}:{it}:{what}")


# ---------------------------------------------------------------- image analysis

def u16(b, o): return struct.unpack_from("<H", b, o)[0]
def u32(b, o): return struct.unpack_from("<I", b, o)[0]
def u64(b, o): return struct.unpack_from("<Q", b, o)[0]


BAD_83 = set(b'"*+,/:;<=>?[\\]|')


def analyse_fat(data):
    bps, spc, reserved = u16(data, 11), data[13], u16(data, 14)
    nfats, root_entries = data[16], u16(data, 17)
    total = u16(data, 19) or u32(data, 32)
    fatsz = u16(data, 22) or u32(data, 36)
    if bps not in (512, 1024, 2048, 4096) or spc == 0 or nfats == 0 or fatsz == 0:
        return None
    root_bytes = root_entries * 32
    fat_start = reserved * bps
    root_start = fat_start + nfats * fatsz * bps
    data_start = root_start + ((root_bytes + bps - 1) // bps) * bps
    cluster = bps * spc
    n_clusters = max(0, (total * bps - data_start) // cluster)
    fat_type = 12 if n_clusters < 4085 else 16 if n_clusters < 65525 else 32
    if fat_type != 32 and root_entries == 0:
        fat_type = 32
    info = dict(kind="fat", fat_type=fat_type, bps=bps, cluster=cluster, fat_start=fat_start,
                fat_bytes=fatsz * bps, nfats=nfats, root_start=root_start, root_bytes=root_bytes,
                data_start=data_start, n_clusters=n_clusters, size=len(data))
    entries = []
    mv = memoryview(data)
    start = root_start if root_bytes else data_start
    zero_cluster = bytes(cluster)
    off = start
    while off + 32 <= len(data):
        if off >= data_start and (off - data_start) % cluster == 0 and mv[off:off + cluster] == zero_cluster:
            off += cluster
            continue
        e = mv[off:off + 32]
        b0, attr = e[0], e[11]
        if b0 != 0 and (b0 == 0xE5 or 0x20 < b0 < 0x7F):
            if attr == 0x0F:
                if e[12] == 0 and u16(e, 26) == 0:
                    entries.append(dict(off=off, lfn=True, deleted=b0 == 0xE5))
            elif attr & 0xC0 == 0 and not attr & 0x08:
                name = bytes(e[1:11])
                if all(0x20 <= c < 0x7F and c not in BAD_83 for c in name) and (b0 == 0xE5 or b0 not in BAD_83):
                    entries.append(dict(off=off, lfn=False, deleted=b0 == 0xE5, dir=bool(attr & 0x10),
                                        dot=b0 == 0x2E, size=u32(e, 28)))
        off += 32
    info["entries"] = entries
    info["regions"] = [[0, min(len(data), max(256 * KIB, data_start + 64 * KIB))]]
    return info


def apply_fixup_copy(rec, usa_off, usa_count):
    rec = bytearray(rec)
    for i in range(1, usa_count):
        end = i * 512 - 2
        if end + 2 > len(rec) or usa_off + 2 * i + 2 > len(rec):
            break
        rec[end:end + 2] = rec[usa_off + 2 * i:usa_off + 2 * i + 2]
    return rec


def analyse_ntfs(data):
    bps, spc = u16(data, 11), data[13]
    if bps not in (512, 1024, 2048, 4096) or spc == 0:
        return None
    cluster = bps * spc
    cpr = struct.unpack_from("<b", data, 0x40)[0]
    rec_size = cluster * cpr if cpr > 0 else 1 << -cpr
    mft = u64(data, 0x30) * cluster
    records = []
    for m in re.finditer(b"FILE", data):
        off = m.start()
        if off % 512 or off + rec_size > len(data):
            continue
        usa_off, usa_count, first = u16(data, off + 4), u16(data, off + 6), u16(data, off + 0x14)
        if not (0x28 <= usa_off < 0x200 and usa_count == rec_size // 512 + 1 and 0x30 <= first < rec_size):
            continue
        rec = apply_fixup_copy(data[off:off + rec_size], usa_off, usa_count)
        attrs = []
        a = first
        while a + 16 <= rec_size and len(attrs) < 32:
            t, ln = u32(rec, a), u32(rec, a + 4)
            if t == 0xFFFFFFFF or ln < 16 or a + ln > rec_size:
                break
            attrs.append(dict(off=a, type=t, nonres=rec[a + 8], len=ln,
                              runs=u16(rec, a + 0x20) if rec[a + 8] else 0,
                              voff=0 if rec[a + 8] else u16(rec, a + 0x14),
                              vlen=0 if rec[a + 8] else u32(rec, a + 0x10)))
            a += ln
        records.append(dict(off=off, index=(off - mft) // rec_size if off >= mft else -1,
                            in_use=bool(u16(rec, 0x16) & 1), usa_off=usa_off, usa_count=usa_count,
                            attrs=attrs))
    regions = [[0, min(len(data), 8 * KIB)]]
    if records:
        lo = min(r["off"] for r in records if r["off"] >= mft) if any(r["off"] >= mft for r in records) else records[0]["off"]
        hi = max(r["off"] for r in records) + rec_size
        regions.append([lo, min(hi, lo + 512 * KIB)])
    return dict(kind="ntfs", bps=bps, cluster=cluster, rec_size=rec_size, mft=mft, size=len(data),
                records=records, regions=regions)


def analyse(path, cache_dir):
    st = os.stat(path)
    key = hashlib.sha256(f"{os.path.abspath(path)}:{st.st_size}:{st.st_mtime_ns}".encode()).hexdigest()[:16]
    cached = os.path.join(cache_dir, key + ".json")
    if os.path.exists(cached):
        with open(cached) as f:
            return json.load(f)
    with open(path, "rb") as f:
        data = f.read()
    info = None
    if data[3:11] == b"NTFS    ":
        info = analyse_ntfs(data)
    elif len(data) >= 512 and data[510:512] == b"\x55\xAA":
        info = analyse_fat(data)
    if info is None:
        info = dict(kind="other", size=len(data), regions=[[0, min(len(data), 256 * KIB)]])
    with open(cached, "w") as f:
        json.dump(info, f)
    return info


# ---------------------------------------------------------------- mutations

HOSTILE_NAMES = ["../../escape.txt", "..", ".", "a/b.txt", "..\\..\\x.jpg", "/etc/x.txt",
                 "con.txt", " ", "x\x01\x7f.txt", "\ud800.jpg", "photo", "document"]
SIZES32 = [0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE, 0x80000000, 0x7FFFFFFF]


def pick_size32(r, info):
    c = r.random()
    if c < 0.5:
        return r.choice(SIZES32)
    if c < 0.75:
        return r.getrandbits(32)
    if c < 0.9:
        return min(0xFFFFFFFF, info["size"] + r.randrange(1, 1 << 20))
    return 0


def pick_region_offset(r, info):
    lo, hi = r.choice(info["regions"])
    if r.random() < 0.1:
        hi = min(hi, lo + 512)
    return r.randrange(lo, max(lo + 1, hi))


def op_flip(r, data, info):
    n = r.choice([1, 2, 4, 8, 16, 64])
    offs = []
    for _ in range(n):
        o = pick_region_offset(r, info)
        if r.random() < 0.5:
            data[o] ^= 1 << r.randrange(8)
        else:
            data[o] = r.randrange(256)
        offs.append(o)
    return f"flip {n} byte(s) near {min(offs):#x}..{max(offs):#x}"


def op_run(r, data, info):
    o = pick_region_offset(r, info)
    n = r.choice([16, 32, 64, 256, 512, 4096])
    n = min(n, len(data) - o)
    fill = r.choice(["random", "zero", "ff"])
    data[o:o + n] = (bytes(r.getrandbits(8) for _ in range(n)) if fill == "random"
                     else bytes(n) if fill == "zero" else b"\xff" * n)
    return f"{fill} run of {n} bytes at {o:#x}"


def fat_files(info, deleted_first=True):
    files = [e for e in info["entries"] if not e["lfn"] and not e.get("dot")]
    dele = [e for e in files if e["deleted"]]
    return dele if deleted_first and dele else files


def op_dirsize(r, data, info):
    files = fat_files(info, deleted_first=r.random() < 0.8)
    if not files:
        return op_flip(r, data, info)
    out = []
    for e in r.sample(files, min(len(files), r.choice([1, 1, 2, 4]))):
        v = pick_size32(r, info)
        struct.pack_into("<I", data, e["off"] + 28, v)
        out.append(f"{e['off']:#x}:{v:#x}")
    return "dir entry size " + ",".join(out)


def op_dircluster(r, data, info):
    files = fat_files(info)
    if not files:
        return op_flip(r, data, info)
    e = r.choice(files)
    n = info["n_clusters"]
    v = r.choice([0, 1, n + 2, n + 100, 0x0FFFFFF7, 0xFFFFFFFF, r.randrange(2, n + 2), r.getrandbits(32)])
    struct.pack_into("<H", data, e["off"] + 26, v & 0xFFFF)
    if info["fat_type"] == 32:
        struct.pack_into("<H", data, e["off"] + 20, v >> 16)
    return f"dir entry {e['off']:#x} first cluster -> {v:#x}"


def fat_set(data, info, copy, c, v):
    base = info["fat_start"] + copy * info["fat_bytes"]
    t = info["fat_type"]
    if t == 12:
        o = base + c * 3 // 2
        cur = u16(data, o)
        cur = (cur & 0x000F) | ((v & 0xFFF) << 4) if c & 1 else (cur & 0xF000) | (v & 0xFFF)
        struct.pack_into("<H", data, o, cur)
    elif t == 16:
        struct.pack_into("<H", data, base + 2 * c, v & 0xFFFF)
    else:
        struct.pack_into("<I", data, base + 4 * c, v & 0x0FFFFFFF)


def op_fatchain(r, data, info):
    n = info["n_clusters"]
    if n < 3:
        return op_flip(r, data, info)
    mask = {12: 0xFFF, 16: 0xFFFF, 32: 0x0FFFFFFF}[info["fat_type"]]
    out = []
    for _ in range(r.choice([1, 2, 8])):
        # Clusters near the start are the ones the fixtures' files use.
        c = r.randrange(2, min(n + 2, 2 + 4096))
        v = r.choice([c, max(2, c - 1), 0, 1, mask - 8, n + 5, r.randrange(2, n + 2)])
        for copy in range(info["nfats"] if r.random() < 0.7 else 1):
            fat_set(data, info, copy, c, v)
        out.append(f"{c}->{v:#x}")
    return "FAT entries " + ",".join(out)


def op_fatwipe(r, data, info):
    # A delete frees the chain; freeing everything after a point is the worst case of that.
    n = info["n_clusters"]
    c = r.choice([2, 2, r.randrange(2, max(3, n + 2))])
    width = {12: 1.5, 16: 2, 32: 4}[info["fat_type"]]
    copies = info["nfats"] if r.random() < 0.8 else 1
    for copy in range(copies):
        base = info["fat_start"] + copy * info["fat_bytes"]
        lo = base + int(c * width + 0.5)
        data[lo:base + info["fat_bytes"]] = bytes(base + info["fat_bytes"] - lo)
    return f"FAT freed from cluster {c} ({copies} cop{'y' if copies == 1 else 'ies'})"


def op_delmark(r, data, info):
    files = [e for e in info["entries"] if not e["lfn"] and not e.get("dot")]
    live = [e for e in files if not e["deleted"]]
    dele = [e for e in files if e["deleted"]]
    if live and (not dele or r.random() < 0.75):
        picked = r.sample(live, min(len(live), r.choice([1, 2, 3])))
        for e in picked:
            data[e["off"]] = 0xE5
            # The long-name entries just before it go with it, as on a real delete.
            o = e["off"] - 32
            while o >= 0 and data[o + 11] == 0x0F and data[o] != 0xE5:
                data[o] = 0xE5
                o -= 32
        return "marked deleted " + ",".join(f"{e['off']:#x}" for e in picked)
    if dele:
        e = r.choice(dele)
        data[e["off"]] = ord(r.choice("AZ_~"))
        return f"undeleted {e['off']:#x}"
    return op_flip(r, data, info)


def op_badname(r, data, info):
    lfns = [e for e in info["entries"] if e["lfn"]]
    name = r.choice(HOSTILE_NAMES)
    if lfns and r.random() < 0.7:
        e = r.choice(lfns)
        units = list(name.encode("utf-16-le", "surrogatepass"))
        chars = [u16(bytes(units), i) for i in range(0, len(units), 2)][:13]
        if len(chars) < 13:
            chars.append(0)
        chars += [0xFFFF] * (13 - len(chars))
        for i, pos in enumerate(list(range(1, 11, 2)) + list(range(14, 26, 2)) + list(range(28, 32, 2))):
            struct.pack_into("<H", data, e["off"] + pos, chars[i])
        return f"long name at {e['off']:#x} -> {name!r}"
    files = fat_files(info)
    if not files:
        return op_flip(r, data, info)
    e = r.choice(files)
    raw = r.choice([b"../     TXT", b"..      JPG", b"A/B     TXT", b"\\..\\    PDF", b"\x01\x02    TXT"])
    data[e["off"] + 1:e["off"] + 11] = raw[1:]
    if not e["deleted"]:
        data[e["off"]] = raw[0]
    return f"short name at {e['off']:#x} -> {raw!r}"


def rec_write(data, rec, rel, payload):
    # Bytes at the end of each 512-byte stride live in the update sequence array on disk.
    for i, b in enumerate(payload):
        p = rel + i
        if p % 512 >= 510 and p // 512 + 1 < rec["usa_count"]:
            data[rec["off"] + rec["usa_off"] + 2 * (p // 512 + 1) + (p % 512 - 510)] = b
        else:
            data[rec["off"] + p] = b


def pick_record(r, info, want=None):
    recs = info["records"]
    if want:
        recs = [x for x in recs if want(x)] or recs
    user = [x for x in recs if x["index"] >= 24]
    if user and r.random() < 0.85:
        recs = user
    free = [x for x in recs if not x["in_use"]]
    if free and r.random() < 0.6:
        recs = free
    return r.choice(recs) if recs else None


def attr_of(rec, t):
    return [a for a in rec["attrs"] if a["type"] == t]


def op_recflip(r, data, info):
    rec = pick_record(r, info)
    if not rec:
        return op_flip(r, data, info)
    n = r.choice([1, 2, 4, 16])
    for _ in range(n):
        p = r.randrange(0, info["rec_size"])
        if p % 512 >= 510 and r.random() < 0.8:
            p -= 2
        rec_write(data, rec, p, bytes([data[rec["off"] + p] ^ (1 << r.randrange(8))]))
    return f"flip {n} byte(s) in FILE record {rec['index']} at {rec['off']:#x}"


def op_datasize(r, data, info):
    rec = pick_record(r, info, lambda x: attr_of(x, 0x80))
    if not rec or not attr_of(rec, 0x80):
        return op_recflip(r, data, info)
    a = r.choice(attr_of(rec, 0x80))
    if a["nonres"]:
        v = r.choice([0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF, r.getrandbits(32),
                      info["size"] * 4, r.getrandbits(64)])
        fields = r.choice([[0x30], [0x28], [0x38], [0x28, 0x30, 0x38], [0x30, 0x38]])
        for f in fields:
            rec_write(data, rec, a["off"] + f, struct.pack("<Q", v))
        return f"record {rec['index']} $DATA size fields {[hex(f) for f in fields]} -> {v:#x}"
    v = r.choice([0xFFFFFFFF, a["len"], info["rec_size"], r.getrandbits(16), 0x7FFFFFFF])
    rec_write(data, rec, a["off"] + 0x10, struct.pack("<I", v))
    return f"record {rec['index']} resident $DATA length -> {v:#x}"


def op_runlist(r, data, info):
    rec = pick_record(r, info, lambda x: any(a["nonres"] for a in attr_of(x, 0x80)))
    nr = [a for a in attr_of(rec, 0x80) if a["nonres"]] if rec else []
    if not nr:
        return op_recflip(r, data, info)
    a = r.choice(nr)
    p = a["off"] + a["runs"]
    how = r.choice(["random", "huge-length", "far-offset", "no-end", "zero-header"])
    if how == "random":
        payload = bytes(r.getrandbits(8) for _ in range(r.choice([1, 4, 8])))
    elif how == "huge-length":
        payload = b"\x18" + b"\xff" * 8 + b"\x01"
    elif how == "far-offset":
        payload = b"\x41\x01" + struct.pack("<i", r.choice([0x7FFFFFFF, -0x7FFFFFFF, info["size"]]))
    elif how == "no-end":
        payload = bytes([0x11, 0x01, 0x01]) * 4
    else:
        payload = b"\x00"
    payload = payload[:max(0, a["off"] + a["len"] - p)] or payload[:1]
    rec_write(data, rec, p, payload)
    return f"record {rec['index']} runlist {how}"


def op_attrlen(r, data, info):
    rec = pick_record(r, info)
    if not rec or not rec["attrs"]:
        return op_recflip(r, data, info)
    a = r.choice(rec["attrs"])
    v = r.choice([0, 1, 8, 0xFFFFFFFF, info["rec_size"], r.getrandbits(32), a["len"] + 8])
    rec_write(data, rec, a["off"] + 4, struct.pack("<I", v))
    return f"record {rec['index']} attribute {a['type']:#x} length -> {v:#x}"


def op_fname(r, data, info):
    rec = pick_record(r, info, lambda x: attr_of(x, 0x30))
    fns = [a for a in attr_of(rec, 0x30) if not a["nonres"]] if rec else []
    if not fns:
        return op_recflip(r, data, info)
    a = r.choice(fns)
    v = a["off"] + a["voff"]
    how = r.choice(["name", "name", "length", "parent-self", "parent-random", "size"])
    if how == "name":
        name = r.choice(HOSTILE_NAMES)
        old_len = data[rec["off"] + v + 0x40] if v + 0x40 < info["rec_size"] else 0
        units = name.encode("utf-16-le", "surrogatepass")[:2 * max(1, old_len)]
        rec_write(data, rec, v + 0x40, bytes([len(units) // 2]))
        rec_write(data, rec, v + 0x42, units)
        return f"record {rec['index']} $FILE_NAME -> {name!r}"
    if how == "length":
        n = r.choice([0, 255, 128])
        rec_write(data, rec, v + 0x40, bytes([n]))
        return f"record {rec['index']} $FILE_NAME length -> {n}"
    if how == "size":
        rec_write(data, rec, v + 0x30, struct.pack("<Q", 0xFFFFFFFF))
        return f"record {rec['index']} $FILE_NAME real size -> 0xffffffff"
    parent = rec["index"] if how == "parent-self" else r.randrange(0, 256)
    rec_write(data, rec, v, struct.pack("<Q", parent & 0xFFFFFFFFFFFF))
    return f"record {rec['index']} parent -> {parent}"


def op_inuse(r, data, info):
    rec = pick_record(r, info, lambda x: x["in_use"] and x["index"] >= 24)
    if not rec:
        return op_recflip(r, data, info)
    flags = u16(data, rec["off"] + 0x16) ^ 1
    rec_write(data, rec, 0x16, struct.pack("<H", flags))
    return f"record {rec['index']} in-use flag toggled"


FAT_OPS = [(op_flip, 16), (op_dirsize, 30), (op_run, 8), (op_dircluster, 8), (op_fatchain, 8),
           (op_fatwipe, 16), (op_delmark, 14), (op_badname, 8)]
NTFS_OPS = [(op_flip, 10), (op_run, 5), (op_recflip, 20), (op_datasize, 25), (op_runlist, 12),
            (op_attrlen, 8), (op_fname, 12), (op_inuse, 8)]


def cmd_mutate(seed, it, src, dst, cache_dir):
    info = analyse(src, cache_dir)
    with open(src, "rb") as f:
        data = bytearray(f.read())
    r = rng_for(seed, it, "mutate")
    ops = FAT_OPS if info["kind"] == "fat" else NTFS_OPS if info["kind"] == "ntfs" else [(op_flip, 1), (op_run, 1)]
    done = []
    for _ in range(r.choice([1, 1, 2, 2, 3])):
        fn = r.choices([o for o, _ in ops], weights=[w for _, w in ops])[0]
        done.append(fn(r, data, info))
    with open(dst, "wb") as f:
        f.write(data)
    print(json.dumps(dict(kind=info["kind"], mutations=done)))


# ---------------------------------------------------------------- hostile target

CATEGORIES = ["photo", "document", "others", "audio", "video", "archive"]
GUESS = {"photo": "jpg jpeg png gif bmp tif tiff heic raw cr2 nef webp",
         "document": "txt pdf doc docx xls xlsx ppt pptx rtf odt csv htm html xml",
         "audio": "mp3 wav flac ogg m4a wma aac",
         "video": "mp4 avi mov mkv wmv mpg mpeg 3gp",
         "archive": "zip rar 7z gz tar bz2 xz cab"}


def guess_category(name):
    ext = name.rsplit(".", 1)[-1].lower() if "." in name else ""
    for cat, exts in GUESS.items():
        if ext in exts.split():
            return cat
    return "others"


def scan_names(path):
    names = []
    try:
        with open(path, errors="replace") as f:
            for line in f:
                try:
                    o = json.loads(line)
                except ValueError:
                    continue
                if isinstance(o, dict) and isinstance(o.get("name"), str) and not o.get("is_folder"):
                    n = o["name"]
                    if n and "/" not in n and "\0" not in n and n not in (".", "..") and n not in names:
                        names.append(n)
    except OSError:
        pass
    return names


def cmd_seed(seed, it, scan_json, target, sentinel, layout_path):
    r = rng_for(seed, it, "links")
    os.makedirs(os.path.join(sentinel, "victims"))
    os.makedirs(os.path.join(sentinel, "dangling"))
    os.makedirs(target)
    cats = CATEGORIES[:]
    r.shuffle(cats)
    n_link = r.randint(1, 3)
    n_file = 1 if r.random() < 0.8 else 0
    n_dir = r.randint(1, len(cats) - n_link - n_file)
    state = {}
    for i, c in enumerate(cats):
        state[c] = "symlink" if i < n_link else "file" if i < n_link + n_file else "dir" if i < n_link + n_file + n_dir else "absent"
    names = scan_names(scan_json)
    seeded = []
    victim_no = 0

    def victim(label):
        nonlocal victim_no
        victim_no += 1
        p = os.path.join(sentinel, "victims", f"victim{victim_no}")
        with open(p, "w") as f:
            f.write(f"sentinel {label}\n")
        return p

    for c in CATEGORIES:
        p = os.path.join(target, c)
        if state[c] == "symlink":
            d = os.path.join(sentinel, "cat_" + c)
            os.makedirs(d)
            # A file already there under a recoverable name shows an overwrite, not only a create.
            for n in names:
                if guess_category(n) == c and r.random() < 0.5:
                    try:
                        with open(os.path.join(d, n), "w") as f:
                            f.write("sentinel file in linked category\n")
                    except OSError:
                        pass
            os.symlink(d, p)
            seeded.append(dict(path=c, kind="symlink", to=d))
        elif state[c] == "file":
            with open(p, "w") as f:
                f.write("not a folder\n")
            seeded.append(dict(path=c, kind="file", sha256=sha256_file(p)))
        elif state[c] == "dir":
            os.makedirs(p)
    real_dirs = [c for c in CATEGORIES if state[c] == "dir"]
    for n in r.sample(names, min(len(names), 16)) if names else []:
        if not real_dirs:
            break
        cat = guess_category(n)
        homes = {cat} if cat in real_dirs else {r.choice(real_dirs)}
        if r.random() < 0.3:
            homes.update(real_dirs)
        variants = [n]
        if r.random() < 0.25:
            stem, dot, ext = n.rpartition(".")
            variants.append(f"{stem}(1).{ext}" if dot else f"{n}(1)")
        for h in sorted(homes):
            for v in variants:
                link = os.path.join(target, h, v)
                if os.path.lexists(link):
                    continue
                if r.random() < 0.6:
                    to = victim(f"{h}/{v}")
                else:
                    to = os.path.join(sentinel, "dangling", f"d{len(seeded)}")
                try:
                    os.symlink(to, link)
                except OSError:
                    continue
                seeded.append(dict(path=f"{h}/{v}", kind="symlink", to=to))
    layout = dict(categories=state, names=len(names), seeded=seeded)
    with open(layout_path, "w") as f:
        json.dump(layout, f)
    cmd_snap(sentinel, layout_path + ".sentinel")
    short = " ".join(f"{c}={state[c][0]}" for c in CATEGORIES)
    print(f"{short} links={sum(1 for s in seeded if '/' in s['path'])}")


# ---------------------------------------------------------------- measuring

def sha256_file(p):
    h = hashlib.sha256()
    with open(p, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def snapshot(root):
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for n in dirnames + filenames:
            p = os.path.join(dirpath, n)
            rel = os.path.relpath(p, root)
            st = os.lstat(p)
            if os.path.islink(p):
                out[rel] = ["link", os.readlink(p)]
            elif os.path.isdir(p):
                out[rel] = ["dir"]
            else:
                out[rel] = ["file", st.st_size, st.st_mtime_ns, sha256_file(p)]
    return out


def cmd_snap(root, out):
    with open(out, "w") as f:
        json.dump(snapshot(root), f)


def walk_files(root, skip=()):
    total, largest, largest_path, count = 0, 0, "", 0
    for dirpath, dirnames, filenames in os.walk(root):
        for n in filenames:
            p = os.path.join(dirpath, n)
            if os.path.relpath(p, root) in skip:
                continue
            try:
                st = os.lstat(p)
            except OSError:
                continue
            if os.path.islink(p) or not os.path.isfile(p):
                continue
            count += 1
            total += st.st_size
            if st.st_size > largest:
                largest, largest_path = st.st_size, os.path.relpath(p, root)
    return total, largest, largest_path, count


SAN = re.compile(r"ERROR: (Address|Leak|Memory|Thread)Sanitizer[^\n]*|runtime error:[^\n]*")


def sanitizer_lines(path):
    try:
        with open(path, errors="replace") as f:
            text = f.read()
    except OSError:
        return []
    return [m.group(0)[:200] for m in SAN.finditer(text)]


def cmd_assess(a):
    it = a["it"]
    findings = []

    def find(kind, detail):
        findings.append(dict(kind=kind, detail=detail))

    rc, scan_rc, capped = int(a["rc"]), int(a["scan_rc"]), a["capped"]
    img_size = os.path.getsize(a["image"])
    if capped == "fsize" or (capped == "" and rc == 128 + 25):
        find("huge_output", f"a single file reached the per-file cap of {int(a['fcap'])} bytes (SIGXFSZ)")
    elif capped == "total":
        find("huge_output", f"output under target and sentinel passed {int(a['tcap'])} bytes; run stopped")
    elif rc == 124 or rc == 137:
        find("timeout", f"no exit within {a['timeout']} s")
    elif rc >= 128:
        find("killed_by_signal", f"exit {rc} (signal {rc - 128})")
    elif rc not in (0, 1):
        find("unexpected_exit", f"exit {rc}")
    san = sanitizer_lines(a["stderr"])
    if san:
        find("sanitizer", san[0])
    if scan_rc not in (0, 1) or sanitizer_lines(a["scan_stderr"]):
        s = sanitizer_lines(a["scan_stderr"])
        find("scan_fault", f"scan exit {scan_rc}" + (f"; {s[0]}" if s else ""))

    if a["sha_before"] != a["sha_after"]:
        find("image_modified", "sha256 of the image copy changed")

    before = json.load(open(a["snap_before"]))
    after = snapshot(a["sentinel"])
    created = sorted(set(after) - set(before))
    changed = sorted(k for k in set(after) & set(before) if after[k] != before[k])
    removed = sorted(set(before) - set(after))
    sentinel_bytes = sum(after[k][1] for k in created + changed if after[k][0] == "file")
    if created or changed or removed:
        parts = []
        for label, lst in (("created", created), ("changed", changed), ("removed", removed)):
            if lst:
                parts.append(f"{label} {len(lst)}: " + ", ".join(lst[:3]) + (" ..." if len(lst) > 3 else ""))
        find("sentinel_touched", "; ".join(parts))

    layout = json.load(open(a["layout"]))
    target = a["target"]
    replaced = []
    for s in layout["seeded"]:
        p = os.path.join(target, s["path"])
        if s["kind"] == "symlink":
            ok = os.path.islink(p) and os.readlink(p) == s["to"]
        else:
            ok = os.path.isfile(p) and not os.path.islink(p) and sha256_file(p) == s["sha256"]
        if not ok:
            replaced.append(s["path"])
    if replaced:
        find("target_entry_replaced", "pre-existing entries replaced or removed: " + ", ".join(replaced[:3]))

    allowed = set(a["allowed"].split(","))
    stray = sorted(set(os.listdir(a["itdir"])) - allowed)
    if stray:
        find("wrote_outside_target", "new entries next to the target: " + ", ".join(stray[:3]))

    # The report (report.xml) is no recovered file: its size follows the files' runs, not a size
    # read from the volume.
    total, largest, largest_path, count = walk_files(
        target, {s["path"] for s in layout["seeded"] if s["kind"] == "file"} | {"report.xml"})
    ratio = largest / img_size if img_size else 0.0
    # Each file may be written up to what its volume can hold (a hostile size reads on through the
    # free clusters), so several such files can together pass the volume's size; more than one
    # volume per written file means a recorded size was trusted past what the volume can back.
    if total > img_size * max(count, 1) and not capped:
        find("huge_output", f"{total} bytes written in {count} file(s) from a volume of {img_size} "
             f"({total / img_size:.1f}x)")
    if largest > img_size:
        find("file_larger_than_image", f"{largest_path}: {largest} bytes, image {img_size} ({ratio:.1f}x)")

    counts = dict(ok=0, failed=0, incomplete=0, other=0)
    summary, bad_lines, size_mismatch, escaped = None, 0, [], []
    real_target = os.path.realpath(target)
    with open(a["stdout"], errors="replace") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            try:
                o = json.loads(line)
            except ValueError:
                bad_lines += 1
                continue
            if not isinstance(o, dict):
                bad_lines += 1
            elif o.get("summary") is True:
                summary = o
            elif "status" in o:
                st = o["status"]
                # "ok", "incomplete", or the error text of a file that failed.
                if not isinstance(st, str):
                    counts["other"] += 1
                elif st in ("ok", "incomplete"):
                    counts[st] += 1
                else:
                    counts["failed"] += 1
                path = o.get("path")
                if isinstance(path, str) and st in ("ok", "incomplete"):
                    # A file claimed written must lie below the target; a failed file's path is
                    # only where it would have gone (through a planted link, say).
                    rp = os.path.realpath(path)
                    if os.path.commonpath([rp, real_target]) != real_target:
                        escaped.append(path)
                    if st == "ok" and isinstance(o.get("size"), int):
                        try:
                            actual = os.path.getsize(path)
                        except OSError:
                            actual = None
                        if actual != o["size"]:
                            size_mismatch.append(f"{os.path.basename(path)} says {o['size']}, file {actual}")
    listed = sum(counts.values())
    if bad_lines:
        find("bad_json", f"{bad_lines} line(s) of stdout are not JSON objects")
    if rc == 0 and summary is None and not capped:
        find("bad_json", "exit 0 without a summary line")
    if summary is not None:
        s_total, s_done = summary.get("total"), summary.get("done")
        s_rec, s_failed = summary.get("recovered"), summary.get("failed")
        if "incomplete" in summary:
            mismatch = (s_rec, summary.get("incomplete"), s_failed) != \
                (counts["ok"], counts["incomplete"], counts["failed"])
        else:
            mismatch = (s_rec, s_failed) != (counts["ok"], counts["failed"] + counts["incomplete"]) and \
                (s_rec, s_failed) != (counts["ok"] + counts["incomplete"], counts["failed"])
        if mismatch:
            find("summary_mismatch", f"summary recovered={s_rec} failed={s_failed}, lines ok={counts['ok']} "
                 f"failed={counts['failed']} incomplete={counts['incomplete']}")
        if isinstance(s_total, int) and not summary.get("cancelled") and s_total > listed:
            find("silently_skipped", f"summary total={s_total} done={s_done} but {listed} status line(s)")
    if rc == 0:
        s_failed = summary.get("failed", 0) if summary else 0
        if counts["failed"] or (isinstance(s_failed, int) and s_failed > 0):
            find("failure_with_exit_0", f"{counts['failed']} failed line(s), summary failed={s_failed}, exit 0")
    if size_mismatch:
        find("reported_size_mismatch", "; ".join(size_mismatch[:2]))
    if escaped and not any(f["kind"] == "sentinel_touched" for f in findings):
        find("sentinel_touched", "reported path outside target: " + escaped[0])

    res = dict(it=it, image=os.path.basename(a["src"]), mutations=json.loads(a["mutation"])["mutations"],
               layout=a["layout_short"], rc=rc, scan_rc=scan_rc, capped=capped, counts=counts,
               summary=summary, bytes=total, sentinel_bytes=sentinel_bytes, files=count, largest=largest, image_size=img_size,
               ratio=ratio, findings=findings)
    with open(a["results"], "a") as f:
        f.write(json.dumps(res) + "\n")
    kinds = ",".join(sorted({x["kind"] for x in findings})) or "-"
    print(f"#{it:<5} {res['image']:<20} rc={rc:<3} ok={counts['ok']:<3} failed={counts['failed']:<3} "
          f"inc={counts['incomplete']:<3} bytes={total:<11} max/img={ratio:6.2f}  {kinds}")
    print("FINDING" if findings else "CLEAN", file=sys.stderr)


def human(n):
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


def cmd_report(results, seed):
    rows = [json.loads(l) for l in open(results) if l.strip()]
    if not rows:
        print("no iterations ran")
        return 2
    per_image, exits, kinds, examples = {}, {}, {}, {}
    statuses = dict(ok=0, failed=0, incomplete=0, other=0)
    for r in rows:
        per_image.setdefault(r["image"], [0, 0])
        per_image[r["image"]][0] += 1
        per_image[r["image"]][1] += bool(r["findings"])
        key = f"{r['rc']}" + (" (stopped by the sweep's output cap)" if r["capped"] else "")
        exits[key] = exits.get(key, 0) + 1
        for k in statuses:
            statuses[k] += r["counts"][k]
        for f in r["findings"]:
            kinds[f["kind"]] = kinds.get(f["kind"], 0) + 1
            examples.setdefault(f["kind"], (r, f))
    print()
    print(f"== recover sweep, seed {seed}, {len(rows)} iteration(s), #{rows[0]['it']}..#{rows[-1]['it']}")
    print(f"{'image':<22}{'iterations':>11}{'with findings':>15}")
    for img in sorted(per_image):
        print(f"{img:<22}{per_image[img][0]:>11}{per_image[img][1]:>15}")
    print("\nexit code   count")
    for k in sorted(exits, key=lambda s: int(s.split()[0])):
        print(f"{k:<10}{exits[k]:>7}")
    print("\nstatus lines: " + ", ".join(f"{k} {v}" for k, v in statuses.items()))
    total = sum(r["bytes"] for r in rows)
    best = max(rows, key=lambda r: r["ratio"])
    print(f"bytes written under targets: {total} ({human(total)})")
    stray = sum(r["sentinel_bytes"] for r in rows)
    print(f"bytes written into sentinel folders: {stray} ({human(stray)}) in "
          f"{sum(1 for r in rows if r['sentinel_bytes'])} iteration(s)")
    print(f"largest file / image: {best['ratio']:.2f}x (#{best['it']} {best['image']}, {best['largest']} bytes)")
    if not kinds:
        print("\nfindings: none")
        return 0
    print("\nfinding kind               iterations")
    for k in sorted(kinds, key=lambda k: -kinds[k]):
        print(f"{k:<27}{kinds[k]:>10}")
    print("\nexamples (replay: --seed SEED --first N --iterations 1):")
    for k in sorted(kinds, key=lambda k: -kinds[k]):
        r, f = examples[k]
        print(f"- {k}: #{r['it']} {r['image']} [{'; '.join(r['mutations'])}] [{r['layout']}] rc={r['rc']}")
        print(f"    {f['detail']}")
    return 1


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "mutate":
        cmd_mutate(args[0], int(args[1]), args[2], args[3], args[4])
    elif cmd == "seed":
        cmd_seed(args[0], int(args[1]), args[2], args[3], args[4], args[5])
    elif cmd == "snap":
        cmd_snap(args[0], args[1])
    elif cmd == "assess":
        cmd_assess(dict(kv.split("=", 1) for kv in args))
    elif cmd == "report":
        sys.exit(cmd_report(args[0], args[1]))
    else:
        sys.exit(f"unknown helper command {cmd}")


main()
PY

helper() { python3 -S "$HELPER" "$@"; }

# Measures what lands under the target and the sentinel while recover runs; stops the run once
# the total passes the cap so a runaway size cannot fill the disk.
run_recover() {
  local it_dir="$1" image="$2" fcap_blocks="$3" tcap="$4"
  CAPPED=""
  ( ulimit -f "$fcap_blocks"
    exec timeout -k 5 "$TIMEOUT" "$BIN" recover "$image" --quick --to "$it_dir/target" --format json \
      --data-dir "$it_dir/data" "${EXTRA_ARGS[@]}" ) >"$it_dir/stdout" 2>"$it_dir/stderr" &
  local pid=$! used
  while kill -0 "$pid" 2>/dev/null; do
    sleep 0.1
    used=$(du -sb "$it_dir/target" "$it_dir/sentinel" 2>/dev/null | awk '{s += $1} END {print s + 0}')
    if [ "$used" -gt "$tcap" ]; then
      CAPPED=total
      # timeout leads its own process group: stop it and rexmoor together.
      kill -TERM -- "-$pid" 2>/dev/null
      break
    fi
  done
  wait "$pid"
  RC=$?
  while kill -0 -- "-$pid" 2>/dev/null; do sleep 0.05; done
  if [ -z "$CAPPED" ] && [ "$RC" -eq 153 ]; then CAPPED=fsize; fi
}

START=$(date +%s)
TOTAL_CAP=$((CAP_MIB * 1024 * 1024))
it=$FIRST
count=0
echo "rexmoor: $BIN"
echo "images: ${#IMAGES[@]} (${IMAGES[*]##*/}); seed $SEED; per-run timeout ${TIMEOUT}s"
while :; do
  if [ -n "$ITERATIONS" ] && [ "$count" -ge "$ITERATIONS" ]; then break; fi
  if [ -n "$SECONDS_LIMIT" ] && [ $(( $(date +%s) - START )) -ge "$SECONDS_LIMIT" ]; then break; fi
  src="${IMAGES[$((it % ${#IMAGES[@]}))]}"
  name="$(basename "$src")"
  d="$WORK/it"
  rm -rf "$d"
  mkdir -p "$d"
  img="$d/$name"
  mutation=$(helper mutate "$SEED" "$it" "$src" "$img" "$WORK/cache") || die "mutation failed at #$it"
  timeout -k 5 "$TIMEOUT" "$BIN" scan "$img" --quick --format json --data-dir "$d/scan-data" \
    >"$d/scan.json" 2>"$d/scan.stderr"
  scan_rc=$?
  layout_short=$(helper seed "$SEED" "$it" "$d/scan.json" "$d/target" "$d/sentinel" "$d/layout.json") \
    || die "seeding the target failed at #$it"
  sha_before=$(sha256sum "$img" | cut -d' ' -f1)
  img_size=$(stat -c %s "$img")
  fcap=$(( img_size * 2 > 64 * 1024 * 1024 ? img_size * 2 : 64 * 1024 * 1024 ))
  run_recover "$d" "$img" $(( fcap / 1024 )) "$TOTAL_CAP"
  sha_after=$(sha256sum "$img" | cut -d' ' -f1)
  helper assess it="$it" src="$src" image="$img" rc="$RC" scan_rc="$scan_rc" capped="$CAPPED" \
    fcap="$fcap" tcap="$TOTAL_CAP" timeout="$TIMEOUT" stdout="$d/stdout" stderr="$d/stderr" \
    scan_stderr="$d/scan.stderr" sha_before="$sha_before" sha_after="$sha_after" \
    snap_before="$d/layout.json.sentinel" sentinel="$d/sentinel" layout="$d/layout.json" \
    target="$d/target" itdir="$d" results="$RESULTS" mutation="$mutation" layout_short="$layout_short" \
    allowed="$name,target,sentinel,data,scan-data,scan.json,scan.stderr,layout.json,layout.json.sentinel,stdout,stderr" \
    2>"$WORK/verdict" || die "assessment failed at #$it"
  if [ -n "$KEEP" ] && grep -q FINDING "$WORK/verdict"; then
    k="$KEEP/$(printf '%05d' "$it")-$name"
    mkdir -p "$k"
    # Zeroed space compresses away, so even the larger images stay small.
    gzip -1 -n -c "$img" >"$k/$name.gz"
    cp "$d/stderr" "$k/recover.stderr"
    cp "$d/stdout" "$k/recover.stdout"
    cp "$d/scan.stderr" "$k/scan.stderr"
    cp "$d/layout.json" "$k/layout.json"
    tail -n 1 "$RESULTS" >"$k/result.json"
  fi
  rm -rf "$d"
  it=$((it + 1))
  count=$((count + 1))
done

[ -n "$KEEP" ] && cp "$RESULTS" "$KEEP/results.jsonl"
helper report "$RESULTS" "$SEED"
