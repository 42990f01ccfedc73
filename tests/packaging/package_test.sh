#!/usr/bin/env bash
# Builds the Debian package, checks what it installs, unpacks it and runs the
# unpacked server (schema script built in, no --resource_root) against the
# test MariaDB on its packaged flags file.
#   tests/packaging/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
[ -n "${BILLER_TEST_MYSQL_URL:-}" ] || { echo "no BILLER_TEST_MYSQL_URL"; exit 77; }
tmp=$(mktemp -d) pid= db=biller_pkg_$$
sql() {
  mariadb --no-defaults -h"${BILLER_TEST_MYSQL_URL%:*}" -P"${BILLER_TEST_MYSQL_URL##*:}" \
    -u"$BILLER_TEST_MYSQL_ID" -p"$BILLER_TEST_MYSQL_PW" -N -B -e "$1"
}
cleanup() {
  [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
  sql "DROP DATABASE IF EXISTS $db" || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; tail -n 20 "$tmp/server.log" "$tmp/cpack.log" >&2; exit 1; }
# has -x|-F FILE TEXT...: FILE holds every TEXT (-x: as a whole line).
has() {
  local x=$1 f=$2; shift 2
  for l; do grep -q "$x" -F -- "$l" "$f" || fail "$f lacks $l"; done
}

(cd "$build" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || fail cpack
deb=$(ls "$tmp"/out/biller_*_amd64.deb) root=$tmp/root
dpkg-deb -x "$deb" "$root" && dpkg-deb -e "$deb" "$tmp/control"
for f in usr/share/biller/sql/sql_initialize_schema.sql usr/share/biller/openapi.yaml \
         etc/logrotate.d/biller; do
  [ -f "$root/$f" ] || fail "missing /$f"
done
has -x "$root/lib/systemd/system/biller.service" Type=notify User=biller Restart=on-failure \
  "ExecStart=/usr/sbin/biller-server --flagfile=/etc/biller/biller.flags"
has -x "$tmp/control/conffiles" /etc/biller/biller.flags /etc/biller/arguments.json
has -F "$tmp/control/postinst" "adduser --system" /var/log/biller
"$root/usr/sbin/biller-server" --version |
  grep -qxE 'biller-server [0-9]+\.[0-9]+\.[0-9]+(\+g[0-9a-f]+)?' || fail "--version"
# The server's own flags come before the logging library's.
help=$("$root/usr/sbin/biller-server" --help 2>&1) || fail "--help"
[[ $help == *--http_listen_port*--logtostderr* && $help == *--mysql_pw_file* ]] || fail "$help"

sql "CREATE DATABASE $db"
printf '%s\n' "$BILLER_TEST_MYSQL_PW" >"$tmp/pw"
# Below the ephemeral range, where no outgoing connection can hold them.
api=$(( 20000 + ($$ % 4000) * 3 )); tcp=$((api + 1))
"$root/usr/sbin/biller-server" --flagfile="$root/etc/biller/biller.flags" \
  --mysql_server_url="$BILLER_TEST_MYSQL_URL" --mysql_id="$BILLER_TEST_MYSQL_ID" \
  --mysql_pw_file="$tmp/pw" --mysql_db_name="$db" \
  --arguments_file="$root/etc/biller/arguments.json" --activity_log_dir="$tmp/logs" \
  --api_service_port=$api --protobuf_listen_port=$tcp --http_listen_port=$((api + 2)) \
  >"$tmp/server.log" 2>&1 &
pid=$!
# Ready means the schema was installed from the script built in, and validated.
curl -sf --retry 30 --retry-delay 1 --retry-connrefused "http://127.0.0.1:$api/readyz" \
  >/dev/null || fail "not ready"
# The packaged client reaches it: a receipt naming no store is refused (3).
status=0
echo '{"service_provider": "Nowhere"}' |
  "$root/usr/bin/biller-cli" --tcp=127.0.0.1:$tcp --receipt_file=- >"$tmp/cli.out" || status=$?
[ "$status" = 3 ] && grep -q '"result":1002' "$tmp/cli.out" ||
  fail "biller-cli exit status $status, printed $(cat "$tmp/cli.out")"
kill -TERM "$pid" && wait "$pid" && pid= || fail "exit status $? after SIGTERM"
echo "package ok: $(basename "$deb")"
