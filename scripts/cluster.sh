#!/usr/bin/env bash
# A three-node MariaDB Galera cluster on 127.0.0.1, for tests and
# demonstrations of several billers sharing one database.
#
#   scripts/cluster.sh start DIR [BASE_PORT]   node N (1..3) serves SQL on
#                                              127.0.0.1:BASE_PORT+N-1 (default
#                                              3430..3432); its Galera, IST and
#                                              rsync state-transfer ports are
#                                              BASE_PORT+1140+10*N+0/1/2
#                                              (4580.. by default). Node 1
#                                              starts a new cluster, 2 and 3
#                                              join it; the command returns once
#                                              all three are Synced. The user
#                                              "biller" (password "biller") has
#                                              every right, as with mariadb.sh.
#   scripts/cluster.sh stop DIR [NODE]         stop every node (3, 2, then 1, so
#                                              node 1 holds the newest state and
#                                              may start the cluster again), or
#                                              only node NODE
#
# Each node keeps everything under DIR/nodeN and runs as the calling user
# (root on CI); small memory settings keep three nodes on a small machine.
set -euo pipefail

cmd=${1:?usage: cluster.sh start DIR [BASE_PORT] | stop DIR [NODE]}
dir=$(mkdir -p "${2:?DIR}" && cd "$2" && pwd)
provider=/usr/lib/galera/libgalera_smm.so

node_dir() { echo "$dir/node$1"; }
client() { mariadb --no-defaults --socket="$(node_dir "$1")/mysqld.sock" -uroot -N -B "${@:2}"; }
status() { client "$1" -e "SHOW GLOBAL STATUS LIKE '$2'" 2>/dev/null | cut -f2; }

stop_node() {
  local pidfile pid
  pidfile="$(node_dir "$1")/mysqld.pid"
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 600); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "node $1 (pid $pid) did not stop; killing it" >&2
  kill -9 "$pid" 2>/dev/null || true
}

# Waits until node $1 answers SQL and reports itself Synced.
wait_synced() {
  for _ in $(seq 1 1200); do
    if [ "$(status "$1" wsrep_local_state_comment)" = Synced ]; then return 0; fi
    kill -0 "$(cat "$(node_dir "$1")/launch.pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "node $1 did not become Synced; see $(node_dir "$1")/error.log" >&2
  tail -n 30 "$(node_dir "$1")/error.log" >&2 || true
  exit 1
}

case "$cmd" in
start)
  base=${3:-3430}
  gbase=$((base + 1140))
  members="127.0.0.1:$((gbase + 10)),127.0.0.1:$((gbase + 20)),127.0.0.1:$((gbase + 30))"

  start_node() {  # N, then extra mariadbd options
    local n=$1 nd gport
    nd=$(node_dir "$n")
    gport=$((gbase + 10 * n))
    mkdir -p "$nd/data"
    if [ -f "$nd/mysqld.pid" ] && kill -0 "$(cat "$nd/mysqld.pid")" 2>/dev/null; then
      return 0
    fi
    rm -f "$nd/mysqld.pid"
    if [ "$n" != 1 ] && [ "$(id -u)" = 0 ]; then
      # The state transfer's rsync daemon, started by root, writes as nobody.
      chmod a+x "$dir" "$nd"
      chown nobody "$nd/data"
    fi
    mariadbd --no-defaults --user="$(id -un)" --datadir="$nd/data" \
      --socket="$nd/mysqld.sock" --pid-file="$nd/mysqld.pid" \
      --bind-address=127.0.0.1 --port=$((base + n - 1)) \
      --log-error="$nd/error.log" --skip-name-resolve --max-connections=500 \
      --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
      --performance-schema=OFF --innodb-buffer-pool-size=32M --innodb-log-file-size=16M \
      --innodb-flush-log-at-trx-commit=2 --key-buffer-size=1M \
      --binlog-format=ROW --default-storage-engine=InnoDB --innodb-autoinc-lock-mode=2 \
      --wsrep-on=ON --wsrep-provider="$provider" --wsrep-cluster-name=biller \
      --wsrep-node-name="node$n" --wsrep-node-address="127.0.0.1:$gport" \
      --wsrep-cluster-address="gcomm://$members" \
      --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:$gport;ist.recv_addr=127.0.0.1:$((gport + 1));gcache.size=32M;gcs.fc_limit=64" \
      --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:$((gport + 2))" \
      --wsrep-slave-threads=2 "${@:2}" \
      </dev/null >>"$nd/stdout.log" 2>&1 &
    echo $! >"$nd/launch.pid"
  }

  n1=$(node_dir 1)
  if [ ! -d "$n1/data/mysql" ]; then
    mkdir -p "$n1"
    mariadb-install-db --no-defaults --user="$(id -un)" --datadir="$n1/data" \
      --auth-root-authentication-method=socket >"$n1/install.log" 2>&1 || {
      cat "$n1/install.log" >&2; exit 1; }
  fi
  # Node 1 stops last, so its state is the newest: it may always start the
  # cluster again.
  if [ -f "$n1/data/grastate.dat" ]; then
    sed -i 's/^safe_to_bootstrap: 0/safe_to_bootstrap: 1/' "$n1/data/grastate.dat"
  fi
  start_node 1 --wsrep-new-cluster
  wait_synced 1
  client 1 <<SQL
CREATE DATABASE IF NOT EXISTS biller;
CREATE USER IF NOT EXISTS 'biller'@'127.0.0.1' IDENTIFIED BY 'biller';
CREATE USER IF NOT EXISTS 'biller'@'localhost' IDENTIFIED BY 'biller';
GRANT ALL PRIVILEGES ON *.* TO 'biller'@'127.0.0.1' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO 'biller'@'localhost' WITH GRANT OPTION;
SQL
  # The joiners take the data by state transfer; a donor serves one at a
  # time, the other joiner waits for it (or takes it from the first).
  start_node 2
  start_node 3
  wait_synced 2
  wait_synced 3
  for _ in $(seq 1 300); do
    [ "$(status 1 wsrep_cluster_size)" = 3 ] && break
    sleep 0.1
  done
  if [ "$(status 1 wsrep_cluster_size)" != 3 ]; then
    echo "the cluster did not reach three nodes" >&2
    exit 1
  fi
  echo "$base" >"$dir/base_port"
  echo "galera cluster of 3 nodes on 127.0.0.1:$base-$((base + 2)) (data in $dir)"
  ;;
stop)
  if [ -n "${3:-}" ]; then
    stop_node "$3"
  else
    for n in 3 2 1; do stop_node "$n"; done
  fi
  ;;
*)
  echo "usage: cluster.sh start DIR [BASE_PORT] | stop DIR [NODE]" >&2
  exit 2
  ;;
esac
