#!/usr/bin/env bash
# fuzz.sh [SECONDS] [HANDLERS_SECONDS]: builds the fuzz targets with clang
# (ASan+UBSan; every library they link carries libFuzzer's coverage too) and
# runs each for SECONDS (default 60), the request handlers for
# HANDLERS_SECONDS (default SECONDS). Corpora grow in build-fuzz/corpus/; the
# handlers target also starts from the seeds in fuzz/corpus/handlers/.
# Fails when a target finds a crash, a leak or a hang; the input that did it
# is left in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
handlers_seconds=${2:-$seconds}
targets=(rle_fuzz registry_fuzz frame_fuzz handlers_fuzz)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTMB_FUZZ=ON -DTMB_ASAN=ON \
  -DTMB_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
# Only the targets and what they link: the tests are built and run elsewhere.
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"

mkdir -p build-fuzz/crashes
failed=()
for target in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$target"
  time=$seconds
  seeds=()
  if [[ $target == handlers_fuzz ]]; then
    time=$handlers_seconds
    seeds=(fuzz/corpus/handlers)
  fi
  echo "== $target for ${time}s"
  # The line the server prints for every unknown opcode would drown the
  # fuzzer's own report. With pipefail the pipeline fails when the fuzzer does.
  if ! UBSAN_OPTIONS=print_stacktrace=1 "build-fuzz/fuzz/$target" -max_total_time="$time" \
      -timeout=60 -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$target-" \
      "build-fuzz/corpus/$target" "${seeds[@]}" 2>&1 |
      { grep --line-buffered -v '^Unknown TMBIO Opcode - ' || true; }; then
    failed+=("$target")
  fi
done
if ((${#failed[@]})); then
  echo "fuzz.sh: ${failed[*]} failed; inputs in build-fuzz/crashes/"
  exit 1
fi
