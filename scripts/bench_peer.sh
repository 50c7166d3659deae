#!/usr/bin/env bash
# Sets up and starts the peer flow engine that vqflow-bench measures beside
# vqflow (sections 2 and 7): Node-RED from the npm registry, installed once
# into build/peer, run with node from Debian on the chain of 10 function nodes
# in bench/peer/flow.json.
#
#   bash scripts/bench_peer.sh start   # prints VQFLOW_BENCH_PEER=... (or
#                                      # VQFLOW_BENCH_PEER_MISSING=why) for eval
#   bash scripts/bench_peer.sh stop PID
#
# VQFLOW_PEER_VERSION overrides the version measured (default 4.1.18).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PEER_DIR="$ROOT/build/peer"
VERSION=${VQFLOW_PEER_VERSION:-4.1.18}

missing() {
  echo "bench_peer.sh: $1" >&2
  printf 'export VQFLOW_BENCH_PEER_MISSING=%q\n' "$1"
  exit 0
}

case "${1:-}" in
  start) ;;
  stop)
    [ -n "${2:-}" ] && kill "$2" 2>/dev/null
    exit 0
    ;;
  *)
    echo "usage: bash scripts/bench_peer.sh start | stop PID" >&2
    exit 2
    ;;
esac

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends nodejs npm \
    >&2 || missing "node and npm could not be installed"
fi
mkdir -p "$PEER_DIR"
red="$PEER_DIR/node_modules/node-red/red.js"
installed=$(cd "$PEER_DIR" && node -p "require('./node_modules/node-red/package.json').version" 2>/dev/null)
if [ "$installed" != "$VERSION" ]; then
  echo "bench_peer.sh: installing node-red@$VERSION into build/peer" >&2
  (cd "$PEER_DIR" && npm install --no-audit --no-fund --silent "node-red@$VERSION") >&2 ||
    missing "npm install node-red@$VERSION failed (is the npm registry reachable?)"
fi

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
rm -rf "$PEER_DIR/user"
node "$red" --settings "$ROOT/bench/peer/settings.js" --userDir "$PEER_DIR/user" -p "$port" \
  "$ROOT/bench/peer/flow.json" >"$PEER_DIR/peer.log" 2>&1 &
pid=$!
for _ in $(seq 1 300); do
  if curl -sf -o /dev/null -X POST -H 'content-type: application/json' -d '{}' \
      "http://127.0.0.1:$port/chain"; then
    echo "bench_peer.sh: node-red@$VERSION up on 127.0.0.1:$port (pid $pid)" >&2
    printf 'export VQFLOW_BENCH_PEER=%q VQFLOW_BENCH_PEER_PID=%q\n' "http://127.0.0.1:$port" "$pid"
    exit 0
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill "$pid" 2>/dev/null
missing "the peer did not answer on 127.0.0.1:$port (see build/peer/peer.log)"
