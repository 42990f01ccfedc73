#!/usr/bin/env bash
# Installs what is missing, builds, starts a private MariaDB and runs the whole
# test suite with ctest twice: in the Release build and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build (clang). Then the unit
# tests and the integration tests of concurrent work run in a
# ThreadSanitizer build, and each fuzz target runs briefly. Exits non-zero
# when anything fails.
#   BILLER_SKIP_BENCH=1, BILLER_SKIP_SANITIZERS=1, BILLER_SKIP_TSAN=1 and
#   BILLER_SKIP_FUZZ=1 leave a stage out; BILLER_FUZZ_SECONDS (default 5) is
#   the time of each fuzz target.
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
  # One clang build serves the sanitizer tests and the fuzz targets. A tree
  # configured otherwise (earlier versions built it with gcc) is made anew.
  if [ -f build-asan/CMakeCache.txt ] &&
     ! grep -q '^BILLER_FUZZ:BOOL=ON' build-asan/CMakeCache.txt; then
    rm -rf build-asan
  fi
  ./scripts/build.sh build-asan Debug -DCMAKE_CXX_COMPILER=clang++ -DBILLER_SANITIZE=ON \
    -DBILLER_FUZZ=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build-asan && ctest --output-on-failure -j "$jobs")

  if [ "${BILLER_SKIP_TSAN:-0}" != 1 ]; then
    # Only what this stage runs is built. The integration tests chosen are
    # those of concurrent work: racing inserts and validations, requests in
    # flight, shared tokens, shutdown and disconnects.
    BILLER_BUILD_TARGETS="biller_unit_tests biller_integration_tests" \
      ./scripts/build.sh build-tsan Debug -DCMAKE_CXX_COMPILER=clang++ -DBILLER_TSAN=ON
    concurrent='Concurren|InFlight|Shar|Drain|Shutdown|Sigterm|Disconnect|Finalize|Restart|Both'
    (
      export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
      cd build-tsan
      ctest --output-on-failure -j "$jobs" -L unit
      ctest --output-on-failure -j "$jobs" -L integration -R "$concurrent"
    )
  fi

  if [ "${BILLER_SKIP_FUZZ:-0}" != 1 ]; then
    ./fuzz/run.sh "${BILLER_FUZZ_SECONDS:-5}"
  fi
fi
