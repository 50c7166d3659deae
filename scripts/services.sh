#!/usr/bin/env bash
# Throw-away Redis and PostgreSQL servers for the live test suites, on free
# loopback ports, with all their files in one folder under /tmp.
#
#   eval "$(scripts/services.sh start)"   # prints export lines (VQFLOW_TEST_REDIS,
#                                         # VQFLOW_TEST_PG, VQFLOW_SERVICES_DIR)
#   scripts/services.sh stop [DIR]        # DIR defaults to $VQFLOW_SERVICES_DIR
#
# PostgreSQL's initdb and postgres refuse to run as root: as root they run as
# the 'postgres' user through runuser. Progress goes to stderr, exports to stdout.
set -euo pipefail

PG_BIN=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
# Tests trade durability for speed; benchmarks set VQFLOW_PG_DURABLE=1 to keep
# PostgreSQL's durable defaults (fsync, synchronous commit).
PG_SPEED_OPTS="-c fsync=off -c synchronous_commit=off -c full_page_writes=off"
[ "${VQFLOW_PG_DURABLE:-0}" = 1 ] && PG_SPEED_OPTS=""

log() { echo "services: $*" >&2; }

free_port() {
  # Binding port 0 lets the kernel pick a free port; the small window before the
  # server binds it is covered by retrying with another port.
  local python=/usr/bin/python3
  [ -x "$python" ] || python=python3
  "$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

start_redis() {
  local dir=$1/redis port
  mkdir -p "$dir"
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    rm -f "$dir/redis.pid"
    if redis-server --port "$port" --bind 127.0.0.1 --daemonize yes \
        --pidfile "$dir/redis.pid" --logfile "$dir/redis.log" --dir "$dir" \
        --save '' --appendonly no >&2; then
      for _ in $(seq 1 50); do
        if redis-cli -h 127.0.0.1 -p "$port" ping 2>/dev/null | grep -q PONG; then
          echo "$port" >"$dir/port"
          log "redis up on 127.0.0.1:$port (pid $(cat "$dir/redis.pid"))"
          echo "export VQFLOW_TEST_REDIS=redis://127.0.0.1:$port/0"
          return 0
        fi
        sleep 0.1
      done
    fi
    log "redis did not start on port $port, trying another"
    stop_redis "$1"
  done
  log "redis did not start; log follows"; cat "$dir/redis.log" >&2 || true
  return 1
}

stop_redis() {
  local dir=$1/redis
  [ -f "$dir/redis.pid" ] || return 0
  local pid; pid=$(cat "$dir/redis.pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$dir/redis.pid"
  log "redis stopped"
}

start_pg() {
  local dir=$1/pg port
  [ -n "$PG_BIN" ] || { log "PostgreSQL binaries not found (install postgresql)"; return 1; }
  mkdir -p "$dir/sock"
  [ "$(id -u)" -eq 0 ] && chown -R postgres:postgres "$dir"
  as_postgres "$PG_BIN/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
    --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; return 1; }
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    if as_postgres "$PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 start \
        -o "-p $port -c listen_addresses=127.0.0.1 -c unix_socket_directories=$dir/sock $PG_SPEED_OPTS -c max_connections=200" \
        >&2; then
      echo "$port" >"$dir/port"
      log "postgresql up on 127.0.0.1:$port"
      echo "export VQFLOW_TEST_PG=postgresql://postgres@127.0.0.1:$port/postgres"
      return 0
    fi
    log "postgresql did not start on port $port, trying another"
  done
  log "postgresql did not start; log follows"; cat "$dir/server.log" >&2 || true
  return 1
}

stop_pg() {
  local dir=$1/pg
  [ -f "$dir/data/postmaster.pid" ] || return 0
  as_postgres "$PG_BIN/pg_ctl" -D "$dir/data" -m fast -w -t 30 stop >&2 || true
  log "postgresql stopped"
}

case "${1:-}" in
  start)
    dir=$(mktemp -d /tmp/vqflow-services.XXXXXX)
    chmod 755 "$dir"  # the postgres user must reach its folder inside
    echo "export VQFLOW_SERVICES_DIR=$dir"
    if ! start_redis "$dir" || ! start_pg "$dir"; then
      stop_redis "$dir"; stop_pg "$dir"; rm -rf "$dir"
      exit 1
    fi
    ;;
  stop)
    dir=${2:-${VQFLOW_SERVICES_DIR:-}}
    [ -n "$dir" ] && [ -d "$dir" ] || { log "nothing to stop"; exit 0; }
    stop_redis "$dir"
    stop_pg "$dir"
    rm -rf "$dir"
    ;;
  *)
    echo "usage: $0 start | stop [DIR]" >&2
    exit 2
    ;;
esac
