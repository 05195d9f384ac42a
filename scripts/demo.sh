#!/usr/bin/env bash
# Builds coild and runs it on the built-in example chassis for a few
# seconds, with tracing on, then stops it with SIGTERM and shows its log.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCOIL_WERROR=ON >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target coild

run=$(mktemp -d "${TMPDIR:-/tmp}/coil-demo.XXXXXX")
trap 'rm -rf "$run"' EXIT
./build/coild --run-dir "$run" --log "$run/coil.log" --trace &
pid=$!
sleep 4
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
echo "--- event log ---"
cat "$run/coil.log"
echo "--- coild exited with status $status ---"
exit "$status"
