#!/usr/bin/env bash
# Crash soak: CYCLES times, `vqflow serve` is started on the same stores, a
# client streams run requests at it from a few connections, and the server is
# killed with SIGKILL at a random moment. A last server then repairs what the
# dead ones left. Every run answered 202 must have exactly one end record and
# the run counter must be back at 0. Prints the counts; exits 1 on any loss.
#
#   scripts/soak.sh [CYCLES] [embedded|live]    (defaults: 5, embedded)
#
# embedded: a SQLite file in a fresh folder. live: the servers of
#   eval "$(scripts/services.sh start)"  (VQFLOW_TEST_PG, VQFLOW_TEST_REDIS);
#   a fresh PostgreSQL schema, and Redis database VQFLOW_SOAK_REDIS_DB (15),
#   whose counter and timer lock are reset first.
# VQFLOW names the binary (default build/dev/vqflow); VQFLOW_SOAK_KEEP=1 keeps
# the work folder with the servers' logs.
set -euo pipefail

cycles=${1:-5}
store=${2:-embedded}
root=$(cd "$(dirname "$0")/.." && pwd)
vqflow=${VQFLOW:-$root/build/dev/vqflow}
[ -x "$vqflow" ] || { echo "soak: no binary at $vqflow (set VQFLOW)" >&2; exit 2; }
work=$(mktemp -d /tmp/vqflow_soak.XXXXXX)
server_pid=""

cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true; fi
  if [ "${VQFLOW_SOAK_KEEP:-0}" = 1 ]; then echo "soak: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

case $store in
  embedded)
    stores=(--db "$work/vqflow.db")
    ;;
  live)
    : "${VQFLOW_TEST_PG:?live needs VQFLOW_TEST_PG (scripts/services.sh start)}"
    : "${VQFLOW_TEST_REDIS:?live needs VQFLOW_TEST_REDIS (scripts/services.sh start)}"
    sep='?'; case $VQFLOW_TEST_PG in *\?*) sep='&' ;; esac
    redis="${VQFLOW_TEST_REDIS%/*}/${VQFLOW_SOAK_REDIS_DB:-15}"
    stores=(--db "${VQFLOW_TEST_PG}${sep}schema=soak_$$" --kv "$redis")
    redis-cli -u "$redis" del exec_sum vqflow:timer-service-lock >/dev/null
    ;;
  *) echo "soak: store must be embedded or live, not $store" >&2; exit 2 ;;
esac

# An app that naps up to half a second, so that runs are in flight when the
# server dies, and a playbook S -> nap -> noop -> E.
mkdir -p "$work/apps/nap/main"
echo '{"identification": "vqflow", "is_public": true, "name": "nap",
  "actions": {"nap": {"args": []}}}' >"$work/apps/nap/app.json"
cat >"$work/apps/nap/main/run" <<'EOF'
#!/bin/sh
cat >/dev/null
sleep 0.$(( $$ % 5 ))
echo '{"status": 0, "result": "rested"}'
EOF
chmod +x "$work/apps/nap/main/run"
cat >"$work/soak.json" <<'EOF'
{"uuid": "soak", "name": "soak", "start_app": "S", "end_app": "E",
 "flow_json": {"cells": [
   {"shape": "html", "id": "S", "data": {"name": "开始"}},
   {"shape": "html", "id": "A", "data": {"name": "nap"}},
   {"shape": "html", "id": "B", "data": {"name": "noop"}},
   {"shape": "html", "id": "E", "data": {"name": "结束"}},
   {"shape": "vqEdge", "source": {"cell": "S"}, "target": {"cell": "A"}},
   {"shape": "vqEdge", "source": {"cell": "A"}, "target": {"cell": "B"}},
   {"shape": "vqEdge", "source": {"cell": "B"}, "target": {"cell": "E"}}]},
 "flow_data": {
   "A": {"app_dir": "nap", "data": {"node_name": "nap", "action": "nap"}},
   "B": {"app_dir": "vq_noop", "data": {"node_name": "noop", "action": "run"}}},
 "controller_data": "{}", "local_var_data": "[]"}
EOF
"$vqflow" "${stores[@]}" --apps "$work/apps" import "$work/soak.json" >/dev/null

# Starts a server; sets server_pid and port.
start_server() {
  local log=$work/serve.$1.log
  "$vqflow" "${stores[@]}" --apps "$work/apps" serve --listen 127.0.0.1:0 >"$log" 2>&1 &
  server_pid=$!
  port=""
  for _ in $(seq 1 300); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -1)
    [ -n "$port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "soak: server $1 did not come up; its log:" >&2
  cat "$log" >&2
  exit 1
}

# Streams run requests from four connections until the server is gone; each
# only_id answered 202 is appended to accepted.txt as it arrives.
stream_runs() {
  python3 - "$1" "$work/accepted.txt" <<'EOF'
import http.client, sys, threading
port, out = int(sys.argv[1]), open(sys.argv[2], "a")
lock = threading.Lock()
def client():
    conn = None
    while True:
        try:
            conn = conn or http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            conn.request("POST", "/api/runs", '{"uuid": "soak"}',
                         {"Content-Type": "application/json"})
            answer = conn.getresponse()
            body = answer.read().decode()
            if answer.status == 202:
                only_id = body.split('"only_id": "')[1].split('"')[0]
                with lock:
                    out.write(only_id + "\n")
                    out.flush()
        except (OSError, http.client.HTTPException):
            return  # the server is gone
threads = [threading.Thread(target=client) for _ in range(4)]
for t in threads: t.start()
for t in threads: t.join()
EOF
}

: >"$work/accepted.txt"
for cycle in $(seq 1 "$cycles"); do
  start_server "$cycle"
  stream_runs "$port" &
  client=$!
  sleep "0.$(( RANDOM % 10 ))$(( RANDOM % 10 ))"
  sleep $(( RANDOM % 3 ))
  kill -9 "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
  wait "$client" || true
  echo "soak: cycle $cycle: killed; $(wc -l <"$work/accepted.txt") run(s) accepted so far" >&2
done

# The last server repairs the runs of the dead ones before it listens.
start_server final
python3 - "$port" "$work/accepted.txt" <<'EOF'
import http.client, json, sys
port, ids = int(sys.argv[1]), [l.strip() for l in open(sys.argv[2]) if l.strip()]
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
def get(path):
    conn.request("GET", path)
    answer = conn.getresponse()
    return answer.status, json.loads(answer.read() or b"null")
ended = missing = duplicates = open_runs = 0
states = {}
for only_id in ids:
    status, logs = get("/api/runs/%s/logs" % only_id)
    ends = sum(1 for r in (logs or []) if r.get("result") == "剧本执行结束")
    if ends == 0: missing += 1
    if ends == 1: ended += 1
    if ends > 1: duplicates += 1
    status, run = get("/api/runs/%s" % only_id)
    state = run.get("state", "unknown") if status == 200 else "unknown"
    states[state] = states.get(state, 0) + 1
    if state in ("running", "repairing", "unknown"): open_runs += 1
_, health = get("/api/health")
twice = len(ids) - len(set(ids))
print("accepted %d, with one end record %d, without %d, with several %d, "
      "only_id answered twice %d, still open %d, exec_sum %s" %
      (len(ids), ended, missing, duplicates, twice, open_runs, health.get("exec_sum")))
print("states: " + ", ".join("%s %d" % kv for kv in sorted(states.items())))
lost = missing or duplicates or twice or open_runs or health.get("exec_sum") != 0 or not ids
sys.exit(1 if lost else 0)
EOF
