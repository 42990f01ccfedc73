#!/usr/bin/env bash
# Installs what is missing, builds, starts a private MariaDB and runs the whole
# test suite with ctest twice: in the Release build and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build. Exits non-zero when
# anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install_deps.sh

port=${BILLER_TEST_MARIADB_PORT:-3416}
./scripts/mariadb.sh start var/mariadb-test "$port"
trap './scripts/mariadb.sh stop var/mariadb-test' EXIT
export BILLER_TEST_MYSQL_URL="127.0.0.1:$port"
export BILLER_TEST_MYSQL_ID=biller
export BILLER_TEST_MYSQL_PW=biller

jobs=${BILLER_TEST_JOBS:-$(nproc)}

./scripts/build.sh build Release
(cd build && ctest --output-on-failure -j "$jobs")

# The benchmarks run once, briefly and at small sizes, so that they keep
# working; nothing about speed is asserted.
if [ "${BILLER_SKIP_BENCH:-0}" != 1 ]; then
  ./bench/run.sh --quick
fi

if [ "${BILLER_SKIP_SANITIZERS:-0}" != 1 ]; then
  ./scripts/build.sh build-asan Debug -DBILLER_SANITIZE=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build-asan && ctest --output-on-failure -j "$jobs")
fi
