#!/usr/bin/env bash
# The one test command: installs what is missing, builds everything with
# AddressSanitizer + UndefinedBehaviorSanitizer, starts a throw-away Redis and
# PostgreSQL for the live suites, runs every test, and stops the servers again
# (also on failure). Exits with ctest's status.
#
#   bash scripts/test.sh [extra ctest arguments, e.g. -R KvStore]
#
# VQFLOW_BUILD_DIR overrides the build folder (default build/asan).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${VQFLOW_BUILD_DIR:-build/asan}

bash scripts/install-deps.sh || { echo "test.sh: installing dependencies failed" >&2; exit 1; }

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Asan >/dev/null ||
  { echo "test.sh: cmake configure failed" >&2; exit 1; }
# Two jobs at most: the machine has two cores. Keep going past a broken target so
# that the tests of everything else still run; the run fails all the same.
build_status=0
ninja -C "$BUILD" -j2 -k 0 || { build_status=1; echo "test.sh: build failed (see above)" >&2; }

# Sanitizers: any report fails the test. Leak checking needs ptrace-like access
# that some sandboxes deny; probe it once rather than failing every test there.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
leaks=1
probe_dir=$(mktemp -d)
printf '#include <cstdlib>\nint main(){ void* volatile p = std::malloc(8); (void)p; return 0; }\n' \
  >"$probe_dir/probe.cc"
if c++ -fsanitize=address "$probe_dir/probe.cc" -o "$probe_dir/probe" 2>/dev/null; then
  ASAN_OPTIONS=detect_leaks=1 "$probe_dir/probe" >/dev/null 2>"$probe_dir/out" || true
  if grep -q "LeakSanitizer has encountered a fatal error" "$probe_dir/out"; then
    leaks=0
    echo "test.sh: LeakSanitizer cannot run here; leak checking is off" >&2
  fi
fi
rm -rf "$probe_dir"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=$leaks:check_initialization_order=1}
if [ -f "$ROOT/scripts/lsan.supp" ]; then
  export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0}
fi

services_dir=""
stop_services() {
  if [ -n "$services_dir" ]; then
    bash "$ROOT/scripts/services.sh" stop "$services_dir" || true
    services_dir=""
  fi
}
trap stop_services EXIT
trap 'exit 130' INT TERM

exports=$(bash scripts/services.sh start) || { echo "test.sh: starting the test servers failed" >&2; exit 1; }
eval "$exports"
services_dir=$VQFLOW_SERVICES_DIR

ctest --test-dir "$BUILD" --output-on-failure -j2 "$@"
status=$?
if [ "$build_status" -ne 0 ]; then
  echo "test.sh: failing because the build failed" >&2
  [ "$status" -eq 0 ] && status=1
fi
exit $status
