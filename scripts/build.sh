#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh [DIR] [BUILD_TYPE] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
type=${2:-Release}
shift $(( $# > 2 ? 2 : $# ))
jobs=${BILLER_BUILD_JOBS:-$(nproc)}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
fi
cmake --build "$dir" -j "$jobs"
