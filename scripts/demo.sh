#!/usr/bin/env bash
# Sets up, builds, and recovers the deleted files of the bundled memory-card image into ./recovered.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DREXMOOR_TESTS=OFF -DREXMOOR_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"
gunzip -c samples/card.img.gz > build/card.img
echo "== What the card image holds ($(./build/rexmoor detect build/card.img))"
# A deep scan: the deleted entries, then the free sectors swept for lost folders and for files
# known by their content. The recovery takes up the finished scan instead of scanning again.
./build/rexmoor scan build/card.img --resume no
echo "== Recovering into ./recovered"
./build/rexmoor recover build/card.img --resume yes --to recovered
echo "== Checking the recovered files against what was put on the card"
while read -r sum state path; do
  [ "$state" = deleted ] || continue
  name="${path##*/}"
  found=$(find recovered -type f -exec sha256sum {} + | awk -v s="$sum" '$1 == s {print substr($0, 67); exit}')
  printf '%-9s %-40s %s\n' "$([ -n "$found" ] && echo same || echo MISSING)" "$path" "${found:-}"
done < samples/card.sha256
