#!/usr/bin/env bash
# Sets up, builds, and runs rexmoor on a small volume made by real tools.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DREXMOOR_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"
bash tests/fixtures/make_volumes.sh build/fixtures >/dev/null
for volume in fat12.img fat32.img ntfs.img ext4.img exfat.img; do
  printf '%-12s ' "$volume"
  ./build/rexmoor detect "build/fixtures/$volume"
done
