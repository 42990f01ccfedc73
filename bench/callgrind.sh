#!/usr/bin/env bash
# Instructions the biller executes per end-to-end Google Play validation,
# counted by callgrind: repeatable on a loaded machine, where timings are not.
# Needs a MariaDB (BILLER_TEST_MYSQL_URL/_ID/_PW, as for the tests) holding the
# database BILLER_BENCH_DB (default perf_bench; the biller makes its tables), and a
# Release build in build/.
#
#   bench/callgrind.sh [VALIDATIONS] [OUT_DIR] [biller flags...]
#
# Starts the fast fake store and the biller under callgrind (logging to files
# as in production), warms up with a first run that is not counted, counts
# VALIDATIONS (default 2000) at 4 connections x 2 in flight, and prints
# instructions per validation (the top inclusive costs go to OUT_DIR/inclusive.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-2000}
out=${2:-var/callgrind}
shift 2 || shift $#
offset=${BILLER_BENCH_PORT_OFFSET:-10000}
tcp_port=$((18810 + offset)) store_port=$((18090 + offset))
db_url=${BILLER_TEST_MYSQL_URL:-127.0.0.1:3306}
rm -rf "$out" && mkdir -p "$out/logs"
cat >"$out/arguments.json" <<JSON
{"store_endpoints": {
  "google_oauth_token_url": "http://127.0.0.1:$store_port/token",
  "google_jwt_token_url": "http://127.0.0.1:$store_port/token",
  "google_api_base": "http://127.0.0.1:$store_port"}}
JSON
pids=()
trap 'for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done; wait' EXIT
wait_port() {
  for _ in $(seq 1 600); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.2
  done
  echo "nothing listens on port $1" >&2
  return 1
}
./build/biller-bench-store --port="$store_port" --threads=1 >"$out/store.log" 2>&1 &
pids+=($!)
# The allocator setting of packaging/biller.service, unless given.
GLIBC_TUNABLES=${GLIBC_TUNABLES:-glibc.malloc.tcache_count=128} \
valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out/callgrind.out" \
  ./build/biller-server --protobuf_listen_port="$tcp_port" --http_listen_port=0 \
  --api_service_port=0 --mysql_server_url="$db_url" --mysql_id="${BILLER_TEST_MYSQL_ID:-biller}" \
  --mysql_pw="${BILLER_TEST_MYSQL_PW:-biller}" --mysql_db_name="${BILLER_BENCH_DB:-perf_bench}" \
  --mysql_db_connection_count=4 --io_threads=2 --arguments_file="$out/arguments.json" \
  --activity_log_dir="$out/activity" --logtostderr=false --log_dir="$out/logs" "$@" \
  >"$out/biller.out" 2>&1 &
biller=$!
pids+=("$biller")
wait_port "$store_port"
wait_port "$tcp_port"
bench() {
  ./build/biller-bench --port="$tcp_port" --protocol=tcp --connections=4 --inflight=2 \
    --threads=1 --authenticate --google_oauth=bench-client,bench-secret,bench-refresh \
    --unique_receipts --warmup=0 --duration=600 --max_requests="$1"
}
bench 200 >"$out/warmup.txt"
callgrind_control -i on "$biller" >/dev/null
bench "$n" | tee "$out/bench.txt" | tail -n 1
callgrind_control -i off "$biller" >/dev/null
callgrind_control -d "$biller" >/dev/null
sleep 1
file=$out/callgrind.out.1
answered=$(tail -n 1 "$out/bench.txt" | tr ' ' '\n' | sed -n 's/^requests=//p')
total=$(callgrind_annotate "$file" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
echo "answered=$answered instructions=$total per_validation=$((total / answered))"
callgrind_annotate --inclusive=yes "$file" 2>/dev/null | sed -n '1,60p' >"$out/inclusive.txt"
