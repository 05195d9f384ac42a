#!/usr/bin/env bash
# The demo (scripts/demo.sh) with coild and every coilctl run under
# valgrind's memcheck: fails when valgrind reports an error or a definite or
# indirect leak in either program, or when the demo itself fails. About a
# minute.
#   scripts/valgrind-demo.sh [BUILD_DIR]   default build/ (as the demo)
# Reports: one valgrind log per process in $TMPDIR/coil-valgrind.XXXXXX,
# kept when something is wrong.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v valgrind >/dev/null || { echo "valgrind-demo: valgrind is not installed" >&2; exit 1; }
logs=$(mktemp -d "${TMPDIR:-/tmp}/coil-valgrind.XXXXXX")
memcheck="valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect"
memcheck+=" --show-leak-kinds=definite,indirect --track-origins=yes --log-file=$logs/%p.log"
status=0
COIL_DEMO_BUILD_DIR=${1:-build} COILD_WRAPPER="$memcheck" COILCTL_WRAPPER="$memcheck" scripts/demo.sh >"$logs/demo.out" 2>&1 ||
    status=$?

# Every process's verdict: its error summary and leak lines.
processes=$(ls "$logs"/*.log | wc -l)
dirty=$(grep -L "ERROR SUMMARY: 0 errors" "$logs"/*.log || true)
if [[ $status -ne 0 || -n "$dirty" ]]; then
    tail -n 20 "$logs/demo.out"
    for f in $dirty; do echo "--- $f"; grep -E "ERROR SUMMARY|definitely|indirectly|Invalid|uninitialised" "$f" | head -20; done
    echo "valgrind-demo: failed (demo status $status); logs in $logs" >&2
    exit 1
fi
coild_log=$(grep -l "Command: .*/coild " "$logs"/*.log | head -1)
echo "valgrind-demo: clean: $processes processes (coild and every coilctl), 0 errors"
grep -E "in use at exit|total heap usage" "$coild_log" | sed 's/^==[0-9]*== */  coild: /'
rm -rf "$logs"
