#!/usr/bin/env bash
# Builds the fuzz targets with clang (build-fuzz/) and runs each for a
# bounded time, starting from its seed corpus in fuzz/corpus/<target>.
#   scripts/fuzz.sh [SECONDS] [TARGET...]   default: 30 seconds, every target
# New inputs go to build-fuzz/corpus/<target>; a crashing input is written to
# build-fuzz/artifacts/ and the script fails. Prints executions per target.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then targets=(frame client_message checkpoint topology control saved_config netlink); fi
dir=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$dir" -DCOIL_FUZZ=ON -DCOIL_TESTS=OFF -DCOIL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target $(printf 'fuzz_%s ' "${targets[@]}")

# Largest input worth trying per target: a bulk checkpoint is up to 7980
# bytes, a stream of client messages several 1172-byte messages, a netlink
# read a burst of notifications.
max_len() {
    case "$1" in
        checkpoint | client_message) echo 8192 ;;
        frame) echo 1600 ;;
        netlink) echo 16384 ;;
        *) echo 4096 ;;
    esac
}

# The record walk prints unknown checkpoint types to standard output, which
# the runs close (-close_fd_mask=1); reports go to standard error.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$dir/artifacts"
failed=()
summary=()
for t in "${targets[@]}"; do
    work="$dir/corpus/$t"
    mkdir -p "$work"
    log="$dir/fuzz_$t.log"
    echo "fuzz_$t: $seconds s"
    if ! "$dir/fuzz/fuzz_$t" "$work" "fuzz/corpus/$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
        -timeout=20 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" >"$log" 2>&1; then
        failed+=("$t")
        grep -E "ERROR|SUMMARY|Test unit written" "$log" || tail -n 30 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    summary+=("$(printf '%-16s %8s s %12s executions' "$t" "$seconds" "${runs:-?}")")
done

printf '%s\n' "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "crashed: ${failed[*]} (inputs in $dir/artifacts/, logs in $dir/fuzz_<target>.log)" >&2
    exit 1
fi
