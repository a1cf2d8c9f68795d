#!/usr/bin/env bash
# build.sh [DIR] [cmake options...]: configures and builds into DIR (build/).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
