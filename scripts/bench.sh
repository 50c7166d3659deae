#!/usr/bin/env bash
# The one benchmark command: installs what is missing, builds vqflow and
# vqflow-bench in Release (build/release), starts a throw-away Redis and
# PostgreSQL, and runs vqflow-bench against them; the servers are stopped again
# on exit (also on failure or Ctrl-C). It also sets up the peer flow engine
# (scripts/bench_peer.sh) that sections 2 and 7 compare with. Arguments go to
# vqflow-bench:
#
#   bash scripts/bench.sh                 # full run, about 3 minutes
#   bash scripts/bench.sh --quick         # about 30 s
#   bash scripts/bench.sh --json out.json # also write the figures as JSON
#
# VQFLOW_BUILD_DIR overrides the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${VQFLOW_BUILD_DIR:-build/release}

bash scripts/install-deps.sh || { echo "bench.sh: installing dependencies failed" >&2; exit 1; }

# VQFLOW_BENCH=ON: the demo configures the same folder without the benchmarks.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVQFLOW_BENCH=ON >/dev/null ||
  { echo "bench.sh: cmake configure failed" >&2; exit 1; }
# Two jobs at most: the machine has two cores.
ninja -C "$BUILD" -j2 vqflow vqflow-bench || { echo "bench.sh: build failed" >&2; exit 1; }

services_started=0
stop_services() {
  if [ "$services_started" = 1 ]; then
    bash scripts/services.sh stop "$VQFLOW_SERVICES_DIR" >/dev/null 2>&1 || true
  fi
  bash scripts/bench_peer.sh stop "${VQFLOW_BENCH_PEER_PID:-}"
}
trap stop_services EXIT
trap 'exit 130' INT TERM

# Durable PostgreSQL: the figures are for records that survive a crash.
if exports=$(VQFLOW_PG_DURABLE=1 bash scripts/services.sh start); then
  eval "$exports"
  services_started=1
  set -- --redis "$VQFLOW_TEST_REDIS" --pg "$VQFLOW_TEST_PG" "$@"
else
  echo "bench.sh: Redis/PostgreSQL did not start; their section is skipped" >&2
fi

# The peer engine of sections 2 and 7, measured in this same run; without it
# those sections print no ratio and say why.
eval "$(bash scripts/bench_peer.sh start)"

"$BUILD/bench/vqflow-bench" "$@"
