#!/usr/bin/env bash
# Installs the test prerequisites when they are missing (scripts/prereqs.sh),
# builds everything and runs every test through ctest.
#   scripts/test.sh              plain build (build/)
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
flags=(-DCOIL_WERROR=ON -DCOIL_TESTS=ON)
if [[ "${1:-}" == "--sanitize" ]]; then
    dir=build-asan
    flags+=(-DCOIL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
jobs=$(nproc 2>/dev/null || echo 2)

scripts/prereqs.sh test
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
