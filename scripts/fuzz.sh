#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, library instrumented) in build-fuzz/ and runs each for
# SECONDS from a working copy of its seed corpus, niced, two at a time. Prints each target's final
# coverage. Crashers are left in build-fuzz/crashes/<target>/; copy the ones worth keeping to
# fuzz/regressions/<target>/ so that the test build replays them.
#
#   bash scripts/fuzz.sh SECONDS [TARGET...]        (default: every fuzz/fuzz_*.cpp)
#
# Environment: BUILD (default build-fuzz), JOBS (parallel runs, default 2),
# REXMOOR_FUZZ_INSTRUMENT_CORE=OFF to instrument the harnesses only.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SECONDS_EACH=${1:?usage: fuzz.sh SECONDS [TARGET...]}
shift
BUILD=${BUILD:-$ROOT/build-fuzz}
JOBS=${JOBS:-2}
INSTRUMENT=${REXMOOR_FUZZ_INSTRUMENT_CORE:-ON}

if [[ $# -gt 0 ]]; then
  TARGETS=("$@")
else
  TARGETS=()
  for source in "$ROOT"/fuzz/fuzz_*.cpp; do TARGETS+=("$(basename "$source" .cpp)"); done
fi

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DREXMOOR_FUZZ=ON -DREXMOOR_TESTS=OFF -DREXMOOR_BENCH=OFF -DREXMOOR_FUZZ_INSTRUMENT_CORE="$INSTRUMENT" >/dev/null
nice -n 19 cmake --build "$BUILD" -j2 --target "${TARGETS[@]}"

# Inputs of the engine targets are whole volumes; keep them small so each run stays cheap.
max_len() {
  case "$1" in
    fuzz_fat_engine) echo 393216 ;;
    fuzz_exfat_engine) echo 393216 ;;
    fuzz_ext_engine) echo 393216 ;;
    fuzz_ntfs_engine) echo 262144 ;;
    fuzz_carve_engine) echo 131072 ;;
    fuzz_formatted_fat) echo 131072 ;;
    fuzz_formatted_exfat) echo 131072 ;;
    fuzz_formatted_ntfs) echo 262144 ;;
    fuzz_deep_scan) echo 262144 ;;
    fuzz_carve_at_sector) echo 65536 ;;
    fuzz_containers) echo 262144 ;;
    fuzz_ext_journal) echo 65536 ;;
    *) echo 16384 ;;
  esac
}

run_one() {
  local target=$1
  local corpus=$BUILD/corpus/$target crashes=$BUILD/crashes/$target log=$BUILD/logs/$target.log
  mkdir -p "$corpus" "$crashes" "$(dirname "$log")"
  cp -n "$ROOT/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  [[ -d $ROOT/fuzz/regressions/$target ]] && cp -n "$ROOT/fuzz/regressions/$target/"* "$corpus/" 2>/dev/null
  # A private data folder: the engine targets write recovered files below it.
  local data
  data=$(mktemp -d)
  REXMOOR_DATA_DIR=$data ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$ROOT/fuzz/lsan.supp \
    nice -n 19 "$BUILD/fuzz/$target" "$corpus" -max_total_time="$SECONDS_EACH" -max_len="$(max_len "$target")" \
    -timeout=25 -rss_limit_mb=2048 -artifact_prefix="$crashes/" -print_final_stats=1 >"$log" 2>&1 || true
  rm -rf "$data"
}

for target in "${TARGETS[@]}"; do
  while [[ $(jobs -rp | wc -l) -ge $JOBS ]]; do wait -n || true; done
  run_one "$target" &
done
wait

printf '%-22s %8s %8s %8s %s\n' target cov ft crashes "last status"
for target in "${TARGETS[@]}"; do
  log=$BUILD/logs/$target.log
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  found=$(find "$BUILD/crashes/$target" -type f | wc -l)
  printf '%-22s %8s %8s %8s %s\n' "$target" "${cov:--}" "${ft:--}" "$found" "$(grep -m1 -E 'ERROR|SUMMARY' "$log" || echo ok)"
done
