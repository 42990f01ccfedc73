#!/usr/bin/env bash
# Benchmarks the biller against well-known servers doing the same amount of
# work, on this machine, in one run: every figure is printed next to its
# baseline and as a ratio. Installs what it needs (wrk, nginx-light,
# redis-server, mariadb-client, openssl), builds a Release build and starts everything
# on loopback: a private MariaDB, nginx, redis, the fast fake Google Play
# store and the biller.
#
#   bench/run.sh           full sizes; writes bench/RESULTS.md
#   bench/run.sh --quick   a few seconds at small sizes (CI); writes
#                          var/bench/RESULTS.md
#
# Every figure comes with the CPU time (user + system, from /proc/PID/stat over
# the measured window) each server process spent per answered request: what a
# server controls, and steadier than req/s on a shared machine.
# BILLER_BENCH_PORT_OFFSET (default 0) moves every listening port, so that two
# checkouts can run side by side.
#
# Client, servers and database share the machine's cores, as they would on a
# one-box deployment; figures from machines of different sizes do not compare.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: bench/run.sh [--quick]" >&2; exit 2 ;;
esac

# --- Sizes ----------------------------------------------------------------------
if [ "$quick" = 1 ]; then
  duration=1; warmup=0.5; requests_redis=20000; slap_queries=2000
  idle_connections=500; parked_connections=20; parked_inflight=10; parked_delay_ms=2000
  coalesce_connections=100; latency_duration=2
  results_file=var/bench/RESULTS.md
else
  duration=10; warmup=2; requests_redis=500000; slap_queries=40000
  idle_connections=10000; parked_connections=100; parked_inflight=100; parked_delay_ms=20000
  coalesce_connections=1000; latency_duration=10
  results_file=bench/RESULTS.md
fi

# --- Install and build ----------------------------------------------------------
./scripts/install_deps.sh
bench_packages=(wrk nginx-light redis-server mariadb-client openssl)
missing=()
for p in "${bench_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # nginx and redis would start system services on the default ports; the
  # benchmark runs private instances instead.
  own_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    own_policy=1
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  [ "$own_policy" = 1 ] && rm -f /usr/sbin/policy-rc.d
fi
./scripts/build.sh build Release

# --- Loopback set-up -------------------------------------------------------------
work=$root/var/bench
rm -rf "$work"
mkdir -p "$work"/nginx/logs "$work"/logs
offset=${BILLER_BENCH_PORT_OFFSET:-0}
db_port=${BILLER_BENCH_MARIADB_PORT:-$((3426 + offset))}
tcp_port=$((18810 + offset))
http_port=$((18080 + offset))
nginx_port=$((18081 + offset))
redis_port=$((16379 + offset))
store_port=$((18090 + offset))
# 10,000 connections need as many descriptors in the biller and the store.
ulimit -n "$(ulimit -Hn)"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  ./scripts/mariadb.sh stop var/mariadb-bench >/dev/null 2>&1 || true
}
trap cleanup EXIT

./scripts/mariadb.sh start var/mariadb-bench "$db_port"
mysql_args=(-h127.0.0.1 -P"$db_port" -ubiller -pbiller)
mysqld_pid=$(cat var/mariadb-bench/mysqld.pid)

# cpu_us PID...: user + system CPU time the processes have used so far, in
# microseconds (a process that is gone counts 0).
clock_ticks=$(getconf CLK_TCK)
cpu_us() {
  local total=0 pid ticks
  for pid in "$@"; do
    ticks=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | awk '{ print $12 + $13 }') || ticks=0
    total=$((total + ${ticks:-0}))
  done
  echo $((total * 1000000 / clock_ticks))
}
# per_request CPU_US_BEFORE CPU_US_AFTER REQUESTS: microseconds per request.
per_request() {
  awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { if (n > 0) printf "%.1f", (b - a) / n; else print "n/a" }'
}

wait_port() {
  for _ in $(seq 1 300); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

# Stops one process started by start_* and forgets it.
stop_pid() {
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  local kept=()
  for pid in "${pids[@]}"; do [ "$pid" != "$1" ] && kept+=("$pid"); done
  pids=("${kept[@]}")
}

# start_store PURCHASE_DELAY_MS TOKEN_DELAY_MS
start_store() {
  ./build/biller-bench-store --port="$store_port" --threads=1 --delay_ms="$1" \
      --token_delay_ms="$2" >"$work/store.log" 2>&1 &
  store_pid=$!
  pids+=("$store_pid")
  wait_port "$store_port"
}

cat >"$work/arguments.json" <<EOF
{"store_endpoints": {
  "google_oauth_token_url": "http://127.0.0.1:$store_port/token",
  "google_jwt_token_url": "http://127.0.0.1:$store_port/token",
  "google_api_base": "http://127.0.0.1:$store_port"}}
EOF

# start_biller [flags...]: a fresh biller, logging to files as in production.
start_biller() {
  rm -rf "$work/logs" && mkdir -p "$work/logs"
  # The allocator setting of packaging/biller.service.
  GLIBC_TUNABLES=glibc.malloc.tcache_count=128 \
  ./build/biller-server --protobuf_listen_port="$tcp_port" --http_listen_port="$http_port" \
      --api_service_port=0 --mysql_server_url="127.0.0.1:$db_port" --mysql_id=biller \
      --mysql_pw=biller --arguments_file="$work/arguments.json" \
      --activity_log_dir="$work/activity" --logtostderr=false --log_dir="$work/logs" \
      "$@" >"$work/biller.out" 2>&1 &
  biller_pid=$!
  pids+=("$biller_pid")
  wait_port "$tcp_port"
  wait_port "$http_port"
}

# The value of key=value in the last line of a biller-bench output.
kv() { tail -n 1 <<<"$2" | tr ' ' '\n' | sed -n "s/^$1=//p"; }

bench() { ./build/biller-bench --port="$tcp_port" --warmup="$warmup" --duration="$duration" "$@"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

rows=()
# row NAME BILLER BILLER_CPU BASELINE BASELINE_CPU RATIO TARGET (CPU in us per request)
row() {
  rows+=("| $1 | $2 | $3 | $4 | $5 | $6 | $7 |")
  echo "  $1: $2 (CPU $3) | $4 (CPU $5) | ratio $6 (target $7)"
}

google_auth=bench-client,bench-secret,bench-refresh
truncate_receipts() {
  mysql "${mysql_args[@]}" biller -e 'TRUNCATE TABLE tb_receipt_google_play_v3' 2>/dev/null
}

# --- 1. HTTP bypass against nginx, both driven by wrk ----------------------------
echo "== 1. HTTP bypass validation vs nginx static answer (wrk)"
cat >"$work/nginx.conf" <<EOF
worker_processes $(nproc);
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  server {
    listen 127.0.0.1:$nginx_port;
    location / { default_type application/json; return 200 '{"result": 0}'; }
  }
}
EOF
nginx -p "$work/nginx" -c "$work/nginx.conf" &
nginx_pid=$!
pids+=("$nginx_pid")
wait_port "$nginx_port"
body='{"sessionid":"00000000-0000-0000-0000-000000000000","player_id":"bench-player","player_service_provider":"guest","package_name":"com.example.bench","product_id":"gem_100","purchase_token":"bench-token"}'
cat >"$work/post.lua" <<EOF
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '$body'
EOF
# wrk_run CONNECTIONS URL PID...: wrk against URL; sets wrk_rps and wrk_cpu,
# the CPU microseconds the PIDs spent per request meanwhile.
wrk_run() {
  local c=$1 url=$2 out before after
  shift 2
  before=$(cpu_us "$@")
  out=$(wrk -t "$(nproc)" -c "$c" -d "${duration}s" --latency -s "$work/post.lua" "$url")
  after=$(cpu_us "$@")
  echo "$out" >>"$work/wrk.log"
  wrk_rps=$(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")
  wrk_cpu=$(per_request "$before" "$after" "$(awk '/ requests in / { print $1 }' <<<"$out")")
}
start_biller --bypass=true
nginx_pids=("$nginx_pid" $(pgrep -P "$nginx_pid" || true))
for c in 16 64; do
  wrk -t 1 -c "$c" -d 1s -s "$work/post.lua" "http://127.0.0.1:$http_port/v1/validation/googleplay" >/dev/null
  wrk_run "$c" "http://127.0.0.1:$http_port/v1/validation/googleplay" "$biller_pid"
  biller_rps=$wrk_rps biller_cpu=$wrk_cpu
  wrk_run "$c" "http://127.0.0.1:$nginx_port/" "${nginx_pids[@]}"
  nginx_rps=$wrk_rps nginx_cpu=$wrk_cpu
  [ "$c" = 16 ] && nginx_cpu_16=$nginx_cpu
  row "1. HTTP bypass, $c connections (req/s)" "$biller_rps" "$biller_cpu" "nginx $nginx_rps" \
      "$nginx_cpu" "$(ratio "$biller_rps" "$nginx_rps")" ">= 0.8"
done

# --- 2. TCP bypass against redis PING --------------------------------------------
echo "== 2. TCP bypass validation vs redis PING (no pipelining)"
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no \
    --maxclients 19000 --dir "$work" --logfile "$work/redis.log" &
redis_pid=$!
pids+=("$redis_pid")
wait_port "$redis_port"
for c in 16 64; do
  out=$(bench --protocol=tcp --connections="$c" --inflight=1 --threads=1 \
      --cpu_pids="biller=$biller_pid") || true
  echo "$out" >>"$work/bench.log"
  biller_rps=$(kv rps "$out")
  before=$(cpu_us "$redis_pid")
  redis_rps=$(redis-benchmark -h 127.0.0.1 -p "$redis_port" -c "$c" -n "$requests_redis" -P 1 \
      -t ping --csv | awk -F'","' '/PING_MBULK/ { print $2 }')
  redis_cpu=$(per_request "$before" "$(cpu_us "$redis_pid")" "$requests_redis")
  row "2. TCP bypass, $c connections (req/s)" "$biller_rps" "$(kv cpu_biller_us "$out")" \
      "redis $redis_rps" "$redis_cpu" "$(ratio "$biller_rps" "$redis_rps")" ">= 1.0"
  [ "$c" = 16 ] && plain_rps=$biller_rps plain_cpu=$(kv cpu_biller_us "$out")
done
stop_pid "$biller_pid"

# --- 2b. TCP bypass over TLS against the plain run above ---------------------------
echo "== 2b. TCP bypass validation over TLS vs without TLS (16 connections)"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=bench \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$work/tls.key" -out "$work/tls.pem" 2>/dev/null
start_biller --bypass=true --tls_cert_file="$work/tls.pem" --tls_key_file="$work/tls.key"
out=$(bench --protocol=tcp --connections=16 --inflight=1 --threads=1 \
    --tls_ca_file="$work/tls.pem" --cpu_pids="biller=$biller_pid") || true
echo "$out" >>"$work/bench.log"
row "2b. TCP bypass over TLS, 16 connections (req/s)" "$(kv rps "$out")" \
    "$(kv cpu_biller_us "$out")" "plain $plain_rps" "$plain_cpu" \
    "$(ratio "$(kv rps "$out")" "$plain_rps")" "reported"
stop_pid "$biller_pid"

# --- 3. End-to-end Google Play against the database's own rate ---------------------
echo "== 3. End-to-end Google Play validation vs mysqlslap on the same procedure"
start_store 0 0
start_biller --mysql_db_connection_count=16
truncate_receipts
out=$(bench --protocol=tcp --connections=16 --inflight=4 --threads=1 --authenticate \
    --google_oauth="$google_auth" --unique_receipts --server_pid="$biller_pid" \
    --cpu_pids="biller=$biller_pid,mysqld=$mysqld_pid,store=$store_pid" \
    --store_port="$store_port") || true
echo "$out" >>"$work/bench.log"
e2e_rps=$(kv rps "$out")
e2e_results=$(kv results "$out")
e2e_cpu=$(kv cpu_biller_us "$out")
e2e_mysqld_cpu=$(kv cpu_mysqld_us "$out")
e2e_store_connections=$(kv store_connections_per_1000 "$out")
stop_pid "$biller_pid"
truncate_receipts
# One line: mysqlslap reads a query per line.
slap_query="CALL sp_insert_receipt_google_play2('biller-bench', 'bench-player', 'guest', \
'com.example.bench', 'gem_100', CONCAT('slap-', UUID()), 'androidpublisher#productPurchase', \
'1764979200000', '', 0, 0, CONCAT('GPA.slap-', UUID()), 1, 0, '')"
before=$(cpu_us "$mysqld_pid")
slap_out=$(mysqlslap "${mysql_args[@]}" --create-schema=biller --no-drop --concurrency=16 \
    --iterations=1 --number-of-queries="$slap_queries" --query="$slap_query")
slap_cpu=$(per_request "$before" "$(cpu_us "$mysqld_pid")" "$slap_queries")
echo "$slap_out" >>"$work/mysqlslap.log"
slap_seconds=$(awk '/Average number of seconds to run all queries/ { print $(NF-1) }' <<<"$slap_out")
slap_rps=$(awk -v n="$slap_queries" -v s="$slap_seconds" 'BEGIN { printf "%.1f", n / s }')
row "3. Google Play end to end, 16 DB connections (req/s)" "$e2e_rps ($e2e_results)" \
    "$e2e_cpu; mysqld $e2e_mysqld_cpu" "mysqlslap $slap_rps" "mysqld $slap_cpu" \
    "$(ratio "$e2e_rps" "$slap_rps")" ">= 0.6"
row "3. Biller CPU per validation vs nginx per HTTP request (us)" "$e2e_cpu" "-" \
    "nginx $nginx_cpu_16" "-" "$(ratio "$e2e_cpu" "$nginx_cpu_16")" "<= 3"
row "3. New store connections per 1,000 validations" "$e2e_store_connections" "-" "-" "-" "-" \
    "<= 1"
stop_pid "$store_pid"

# --- 4. Latency the biller adds to a 50 ms store -----------------------------------
echo "== 4. Latency added at half the end-to-end rate, store answering after 50 ms"
start_store 50 0
start_biller --mysql_db_connection_count=16
rate=$(awk -v r="$e2e_rps" 'BEGIN { printf "%.0f", r / 2 }')
out=$(./build/biller-bench --port="$tcp_port" --warmup="$warmup" --duration="$latency_duration" \
    --protocol=tcp --connections=16 --inflight=1000 --threads=1 --rate="$rate" --authenticate \
    --google_oauth="$google_auth" --unique_receipts --server_pid="$biller_pid" \
    --cpu_pids="biller=$biller_pid,mysqld=$mysqld_pid" --store_port="$store_port") || true
echo "$out" >>"$work/bench.log"
added_p50=$(awk -v p="$(kv p50_us "$out")" 'BEGIN { printf "%.2f", (p - 50000) / 1000 }')
added_p99=$(awk -v p="$(kv p99_us "$out")" 'BEGIN { printf "%.2f", (p - 50000) / 1000 }')
row "4. Added latency at $rate req/s, store delay 50 ms (ms)" \
    "p99 $added_p99, p50 $added_p50; $(kv requests "$out") answered ($(kv results "$out"))" \
    "$(kv cpu_biller_us "$out"); mysqld $(kv cpu_mysqld_us "$out")" "store 50 ms" "-" "-" \
    "p99 < 2 ms"
row "4. New store connections per 1,000 validations" "$(kv store_connections_per_1000 "$out")" \
    "-" "-" "-" "-" "<= 1"
stop_pid "$biller_pid"
stop_pid "$store_pid"

# --- 5. Memory -------------------------------------------------------------------
echo "== 5. Memory: idle connections, validations parked on a slow store"
start_biller
out=$(./build/biller-bench --port="$tcp_port" --mode=idle --connections="$idle_connections" \
    --duration=3 --server_pid="$biller_pid") || true
echo "$out" >>"$work/bench.log"
idle_rss=$(kv rss_kb "$out")
idle_connected=$(kv connected "$out")
stop_pid "$biller_pid"
redis-benchmark -h 127.0.0.1 -p "$redis_port" -c "$idle_connections" -I >/dev/null 2>&1 &
idle_client=$!
sleep 3
redis_idle_rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$redis_pid/status")
kill "$idle_client" 2>/dev/null || true
wait "$idle_client" 2>/dev/null || true
row "5a. $idle_connected idle TCP connections (RSS MB)" \
    "$(awk -v k="$idle_rss" 'BEGIN { printf "%.1f", k / 1024 }')" \
    "-" "redis $(awk -v k="$redis_idle_rss" 'BEGIN { printf "%.1f", k / 1024 }')" "-" "-" \
    "< 40 MB"

start_store "$parked_delay_ms" 0
start_biller --mysql_db_connection_count=16
parked=$((parked_connections * parked_inflight))
out=$(./build/biller-bench --port="$tcp_port" --mode=burst --connections="$parked_connections" \
    --inflight="$parked_inflight" --threads=1 --authenticate --google_oauth="$google_auth" \
    --unique_receipts --duration=$((parked_delay_ms / 1000 + 60)) --server_pid="$biller_pid" \
    --cpu_pids="biller=$biller_pid") || true
echo "$out" >>"$work/bench.log"
row "5b. $parked validations parked on a $((parked_delay_ms / 1000)) s store (peak RSS MB)" \
    "$(awk -v k="$(kv peak_rss_kb "$out")" 'BEGIN { printf "%.1f", k / 1024 }'); answered $(kv requests "$out")/$parked ($(kv results "$out"))" \
    "$(kv cpu_biller_us "$out")" "-" "-" "-" "< 120 MB, all answered"
stop_pid "$biller_pid"
stop_pid "$store_pid"

# --- 6. Token coalescing ----------------------------------------------------------
echo "== 6. Token coalescing: concurrent sessions of one Google account, cold cache"
start_store 0 200
start_biller
out=$(./build/biller-bench --port="$tcp_port" --mode=burst --connections="$coalesce_connections" \
    --inflight=1 --threads=1 --authenticate --google_oauth="$google_auth" --unique_receipts \
    --duration=60 --server_pid="$biller_pid" --cpu_pids="biller=$biller_pid") || true
echo "$out" >>"$work/bench.log"
token_requests=$(exec 3<>"/dev/tcp/127.0.0.1/$store_port" &&
    printf 'GET /stats HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n' >&3 &&
    cat <&3 | sed -n 's/.*"token_requests":\([0-9]*\).*/\1/p')
row "6. $coalesce_connections sessions + validations, one account (token requests)" \
    "$token_requests; answered $(kv requests "$out") ($(kv results "$out"))" \
    "$(kv cpu_biller_us "$out")" "-" "-" "-" "exactly 1"
stop_pid "$biller_pid"
stop_pid "$store_pid"

# --- Report ------------------------------------------------------------------------
cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
{
  echo "# Benchmark results"
  echo
  echo "$(date -u +%Y-%m-%d), $(nproc) cores ($cpu), $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) RAM$([ "$quick" = 1 ] && echo ', quick run (small sizes)')."
  echo "Client, servers and database share the cores. Produced by \`bench/run.sh\`."
  echo
  echo "CPU: user + system microseconds the process spent per answered request over the"
  echo "measured window."
  echo
  echo "| Comparison | biller | biller CPU (us/req) | baseline | baseline CPU (us/req) | ratio | target |"
  echo "|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
} >"$results_file"
echo
cat "$results_file"
