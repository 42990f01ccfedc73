#!/usr/bin/env bash
# Installs what is missing, builds a Release build, starts a private MariaDB
# (unless --mysql_server_url is given) and runs the biller in the foreground.
# Ctrl-C or SIGTERM stops the biller and then the private MariaDB.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install_deps.sh
./scripts/build.sh build Release

db_args=()
own_db=1
http_port_given=0
db_name=biller
for a in "$@"; do
  case "$a" in
    --mysql_server_url=*|--mysql_server_url) own_db=0 ;;
    --http_listen_port=*|--http_listen_port) http_port_given=1 ;;
    --mysql_db_name=*) db_name=${a#--mysql_db_name=} ;;
  esac
done
# Port 80, the biller's own default, needs root; a first run listens on 8080.
if [ "$http_port_given" = 0 ]; then
  db_args+=(--http_listen_port=8080)
fi
if [ "$own_db" = 1 ]; then
  port=${BILLER_MARIADB_PORT:-3406}
  ./scripts/mariadb.sh start var/mariadb "$port" run "$db_name"
  trap './scripts/mariadb.sh stop var/mariadb' EXIT
  # The password stays off the command line.
  db_args+=(--mysql_server_url="127.0.0.1:$port" --mysql_id=biller
            --mysql_pw_file="$PWD/var/mariadb/biller.pw")
fi

# The biller runs as a child so that the private server is stopped after it,
# whichever signal ends it.
./build/biller-server "${db_args[@]}" "$@" &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM
status=0
wait "$pid" || status=$?
# wait returns early when a trapped signal arrives; wait for the real exit.
while kill -0 "$pid" 2>/dev/null; do wait "$pid" || status=$?; done
exit "$status"
