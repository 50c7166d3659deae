#!/usr/bin/env bash
# Sets up a fresh machine and runs the main job: vqflow runs the example
# playbook on the embedded defaults (a SQLite file, no servers needed).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVQFLOW_BENCH=OFF >/dev/null
ninja -C build/release vqflow
VQ=build/release/vqflow
WORK=${VQFLOW_DEMO_DIR:-build/demo}
mkdir -p "$WORK"
export VQFLOW_DB="$WORK/vqflow.db" VQFLOW_APPS="examples/apps"
"$VQ" --version
"$VQ" db init
"$VQ" import examples/playbooks/variables.json
"$VQ" run examples/playbooks/triage.json
