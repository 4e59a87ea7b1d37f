#!/usr/bin/env bash
# The deep scan and the recovery next to a plain read of the medium and next to PhotoRec, in one
# run (bench/speed.py prints what it measures).
#
#   bench/speed.sh [--rexmoor BIN] [--work DIR] [--per-type N] [--mib N] [--sparse-gib N]
#                  [--jobs-max N] [--no-photorec]
#
#   --rexmoor BIN    the program to measure: a Release build (default build/rexmoor)
#   --work DIR       scratch folder; it keeps the corpus and medium of bench/carve_accuracy.sh, so a
#                    second run reuses them (default /tmp/rexmoor_speed)
#   --per-type N     files made of each corpus kind (default 7: a medium of about 250 MiB, laid end to
#                    end up to --mib)
#   --mib N          size of the medium measured (default 1024)
#   --sparse-gib N   size of the sparse, mostly zero medium (default 16; 0 leaves it out)
#   --jobs-max N     scan with 1 .. N threads (default: the cores)
#   --no-photorec    leave PhotoRec out
#   --target DIR     where the recovered files go (default a folder in /dev/shm)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
rexmoor=build/rexmoor
work=/tmp/rexmoor_speed
per_type=7
py_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rexmoor) rexmoor=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --per-type) per_type=$2; shift 2 ;;
    --mib|--sparse-gib|--jobs-max|--target) py_args+=("$1" "$2"); shift 2 ;;
    --no-photorec) py_args+=("$1"); shift ;;
    -h|--help) sed -n '2,/^set -euo/{/^set/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    *) echo "speed: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -x "$rexmoor" ] || { echo "speed: no program at $rexmoor (build it first)" >&2; exit 2; }
"$here/carve_accuracy.sh" --rexmoor "$rexmoor" --work "$work" --per-type "$per_type" --medium-only
exec python3 "$here/speed.py" "$work" "$rexmoor" "${py_args[@]}"
