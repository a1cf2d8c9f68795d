#!/usr/bin/env bash
# Sets up, builds and runs every test: once in a normal build, once under
# AddressSanitizer + UndefinedBehaviorSanitizer and once under
# ThreadSanitizer (every session has its own thread); then runs every fuzz
# target for a short while, failing on any crash it finds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check_layers.sh

scripts/build.sh build -DTMB_WERROR=ON -DCMAKE_BUILD_TYPE=Release
(cd build && ctest --output-on-failure -j 2)

# Benchmarks are left out of the sanitizer build: they measure nothing there.
scripts/build.sh build-asan -DTMB_WERROR=ON -DTMB_ASAN=ON -DTMB_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j 2)

scripts/build.sh build-tsan -DTMB_WERROR=ON -DTMB_TSAN=ON -DTMB_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS=second_deadlock_stack=1 ctest --output-on-failure -j 2)

# A short run per target (the request handlers longer: they reach the most
# code). Long runs are for developers: scripts/fuzz.sh 600.
scripts/fuzz.sh 20 60
