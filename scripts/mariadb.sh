#!/usr/bin/env bash
# A private MariaDB server for the biller's run and test scripts.
#
#   scripts/mariadb.sh start DIR PORT   initialise DIR once, start the server on
#                                       127.0.0.1:PORT, create the "biller" user
#                                       (password "biller") and database, with
#                                       every right (tests make databases)
#   scripts/mariadb.sh start DIR PORT run DB
#                                       the same for running the biller: durable
#                                       (the log is flushed at every commit), and
#                                       "biller" (password in DIR/biller.pw, made
#                                       once) has rights on database DB only
#   scripts/mariadb.sh stop DIR         stop the server started on DIR
#
# With MARIADB_SSL_DIR set (a folder holding ca.pem, server.pem and server.key)
# the server also speaks TLS.
#
# The server runs as the calling user (root on CI), keeps everything under DIR
# and never touches the system's own MariaDB.
set -euo pipefail

cmd=${1:?usage: mariadb.sh start DIR PORT [run DB] | stop DIR}
dir=$(mkdir -p "${2:?DIR}" && cd "$2" && pwd)
sock="$dir/mysqld.sock"
pidfile="$dir/mysqld.pid"

client() { mariadb --no-defaults --socket="$sock" -uroot "$@"; }

case "$cmd" in
start)
  port=${3:?PORT}
  mode=${4:-test}
  flush=2  # tests: a machine crash may lose the last second, which they never need
  if [ "$mode" = run ]; then
    flush=1
    db=${5:?DB}
    case "$db" in *[!A-Za-z0-9_]*|'') echo "unusable database name: $db" >&2; exit 2 ;; esac
  fi
  if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    if client -e 'SELECT 1' >/dev/null 2>&1; then
      echo "mariadb already running on $dir"
      exit 0
    fi
  fi
  if [ ! -d "$dir/data/mysql" ]; then
    mariadb-install-db --no-defaults --user="$(id -un)" --datadir="$dir/data" \
      --auth-root-authentication-method=socket >"$dir/install.log" 2>&1 || {
      cat "$dir/install.log" >&2; exit 1; }
  fi
  mariadbd --no-defaults --user="$(id -un)" --datadir="$dir/data" \
    --socket="$sock" --pid-file="$pidfile" --bind-address=127.0.0.1 --port="$port" \
    --log-error="$dir/error.log" --skip-name-resolve --max-connections=1000 \
    --innodb-buffer-pool-size=128M --innodb-flush-log-at-trx-commit="$flush" \
    --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
    ${MARIADB_SSL_DIR:+--ssl-ca="$MARIADB_SSL_DIR/ca.pem" --ssl-cert="$MARIADB_SSL_DIR/server.pem"} \
    ${MARIADB_SSL_DIR:+--ssl-key="$MARIADB_SSL_DIR/server.key"} \
    </dev/null >>"$dir/stdout.log" 2>&1 &
  for _ in $(seq 1 300); do
    if client -e 'SELECT 1' >/dev/null 2>&1; then break; fi
    sleep 0.1
  done
  if ! client -e 'SELECT 1' >/dev/null 2>&1; then
    echo "mariadb did not start; see $dir/error.log" >&2
    tail -n 20 "$dir/error.log" >&2 || true
    exit 1
  fi
  if [ "$mode" = run ]; then
    if [ ! -s "$dir/biller.pw" ]; then
      (umask 077; head -c 18 /dev/urandom | base64 | tr -d '/+=' >"$dir/biller.pw")
    fi
    pw=$(head -n 1 "$dir/biller.pw")
    client <<SQL
CREATE DATABASE IF NOT EXISTS \`$db\`;
CREATE USER IF NOT EXISTS 'biller'@'127.0.0.1' IDENTIFIED BY '$pw';
CREATE USER IF NOT EXISTS 'biller'@'localhost' IDENTIFIED BY '$pw';
ALTER USER 'biller'@'127.0.0.1' IDENTIFIED BY '$pw';
ALTER USER 'biller'@'localhost' IDENTIFIED BY '$pw';
REVOKE ALL PRIVILEGES, GRANT OPTION FROM 'biller'@'127.0.0.1', 'biller'@'localhost';
GRANT ALL PRIVILEGES ON \`$db\`.* TO 'biller'@'127.0.0.1', 'biller'@'localhost';
FLUSH PRIVILEGES;
SQL
    echo "$port" >"$dir/port"
    echo "mariadb listening on 127.0.0.1:$port (data in $dir, durable)"
    exit 0
  fi
  client <<SQL
CREATE DATABASE IF NOT EXISTS biller;
CREATE USER IF NOT EXISTS 'biller'@'127.0.0.1' IDENTIFIED BY 'biller';
CREATE USER IF NOT EXISTS 'biller'@'localhost' IDENTIFIED BY 'biller';
GRANT ALL PRIVILEGES ON *.* TO 'biller'@'127.0.0.1' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO 'biller'@'localhost' WITH GRANT OPTION;
FLUSH PRIVILEGES;
SQL
  echo "$port" >"$dir/port"
  echo "mariadb listening on 127.0.0.1:$port (data in $dir)"
  ;;
stop)
  if [ -f "$pidfile" ]; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 300); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
  ;;
*)
  echo "usage: mariadb.sh start DIR PORT | stop DIR" >&2
  exit 2
  ;;
esac
