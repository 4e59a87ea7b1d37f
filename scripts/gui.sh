#!/usr/bin/env bash
# Sets up, builds, and starts the desktop program with the bundled memory-card image listed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DREXMOOR_TESTS=OFF -DREXMOOR_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"
[ -f build/card.img ] || gunzip -c samples/card.img.gz > build/card.img
exec ./build/rexmoor-gui build/card.img
