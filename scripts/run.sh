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
for a in "$@"; do
  case "$a" in --mysql_server_url=*|--mysql_server_url) own_db=0 ;; esac
done
if [ "$own_db" = 1 ]; then
  port=${BILLER_MARIADB_PORT:-3406}
  ./scripts/mariadb.sh start var/mariadb "$port"
  trap './scripts/mariadb.sh stop var/mariadb' EXIT
  db_args=(--mysql_server_url="127.0.0.1:$port" --mysql_id=biller --mysql_pw=biller)
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
