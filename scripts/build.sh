#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh [DIR] [BUILD_TYPE] [extra cmake args...]
# Environment: BILLER_BUILD_JOBS (default: the number of cores);
# BILLER_BUILD_TARGETS (default: all) builds only the named targets.
# ccache is used when installed: compiler outputs are shared between build
# trees and checkouts (paths are taken relative to CCACHE_BASEDIR, by
# default the checkout).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
type=${2:-Release}
shift $(( $# > 2 ? 2 : $# ))
jobs=${BILLER_BUILD_JOBS:-$(nproc)}
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
if [ "${CMAKE_CXX_COMPILER_LAUNCHER:-}" = ccache ]; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
fi
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
fi
targets=()
for target in ${BILLER_BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$dir" -j "$jobs" "${targets[@]}"
