#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the fuzz targets with clang (ASan+UBSan) and runs
# each for SECONDS (default 60), keeping corpora in build-fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DTMB_FUZZ=ON -DTMB_ASAN=ON -DTMB_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Debug
for target in rle_fuzz registry_fuzz frame_fuzz; do
  mkdir -p "build-fuzz/corpus/$target"
  "build-fuzz/fuzz/$target" -max_total_time="$seconds" "build-fuzz/corpus/$target"
done
