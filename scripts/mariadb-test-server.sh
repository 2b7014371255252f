#!/usr/bin/env bash
# A throwaway MariaDB server for the tests: its own data directory, reachable
# only through a unix socket inside that directory (no TCP port to clash
# with anyone), root without a password.
#
#   mariadb-test-server.sh start DIR    install a data directory in DIR and
#                                       start the server; prints the socket path
#   mariadb-test-server.sh restart DIR  stop and start it again (same data)
#   mariadb-test-server.sh stop DIR     stop it (the directory stays)
#
# The tests find the server through QV_TEST_MYSQL (the socket path, used as
# [DBEXPRESS] "Hostname") and restart it through QV_TEST_MYSQL_DIR.
set -euo pipefail

command="${1:-}"
dir="${2:-}"
if [ -z "$command" ] || [ -z "$dir" ]; then
  echo "usage: $0 start|restart|stop DIR" >&2
  exit 2
fi
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
socket="$dir/mysqld.sock"
pidfile="$dir/mysqld.pid"

# mariadbd refuses to run as root unless told to.
user_arg=()
if [ "$(id -u)" -eq 0 ]; then user_arg=(--user=root); fi

ping_server() {
  mariadb-admin --no-defaults --socket="$socket" -uroot --connect-timeout=2 ping >/dev/null 2>&1
}

start_server() {
  if [ ! -d "$dir/data/mysql" ]; then
    mariadb-install-db --no-defaults --datadir="$dir/data" "${user_arg[@]}" \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 || {
      cat "$dir/install.log" >&2
      exit 1
    }
  fi
  # Small buffers and no binary log or performance schema: a test server
  # should start fast and use little memory.
  mariadbd --no-defaults --datadir="$dir/data" "${user_arg[@]}" \
    --socket="$socket" --skip-networking --pid-file="$pidfile" --log-error="$dir/error.log" \
    --innodb-buffer-pool-size=16M --innodb-log-file-size=8M --skip-log-bin \
    --performance-schema=OFF --max-connections=200 >/dev/null 2>&1 </dev/null &
  for _ in $(seq 300); do
    if ping_server; then
      echo "$socket"
      return 0
    fi
    sleep 0.1
  done
  echo "mariadb-test-server: server did not start, see $dir/error.log" >&2
  tail -20 "$dir/error.log" >&2 || true
  exit 1
}

stop_server() {
  [ -f "$pidfile" ] || return 0
  local pid
  pid="$(cat "$pidfile")"
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$pidfile"; return 0; }
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$pidfile"
}

case "$command" in
  start) start_server ;;
  restart) stop_server; start_server ;;
  stop) stop_server ;;
  *) echo "usage: $0 start|restart|stop DIR" >&2; exit 2 ;;
esac
