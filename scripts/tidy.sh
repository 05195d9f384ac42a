#!/usr/bin/env bash
# Static checks: clang-tidy with the checks of .clang-tidy over the daemon
# (src/), the platform (mira/), the programs (tools/) and the client library
# (clientlib/), using the compile commands of the
# plain build (configured first when missing). Fails on any finding.
#   scripts/tidy.sh [BUILD_DIR] [FILE...]   default: build/, every source file
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build}
shift || true
if [[ ! -f "$dir/compile_commands.json" ]]; then
    cmake -S . -B "$dir" -DCOIL_WERROR=ON >/dev/null
fi
files=("$@")
if [[ ${#files[@]} -eq 0 ]]; then files=(src/*/*.cpp mira/*/*.cpp tools/*/*.cpp clientlib/*.cpp); fi
jobs=$(nproc 2>/dev/null || echo 2)
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# The compile commands are GCC's: clang does not know some of its warning
# options, nor its link-time optimisation flags.
status=0
printf '%s\n' "${files[@]}" |
    xargs -P "$jobs" -n 4 clang-tidy -p "$dir" --quiet --extra-arg=-Wno-unknown-warning-option \
        --extra-arg=-Wno-ignored-optimization-argument >"$out" 2>/dev/null ||
    status=$?

# A header's finding is reported once per file that includes it.
findings=$(grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' "$out" | sort -u || true)
if [[ $status -ne 0 || -n "$findings" ]]; then
    cat "$out"
    if [[ -z "$findings" ]]; then echo "clang-tidy: failed (status $status) with no finding in a source file" >&2; fi
    echo "clang-tidy: $(printf '%s' "$findings" | grep -c . || true) finding(s) in ${#files[@]} files" >&2
    exit 1
fi
echo "clang-tidy: clean (${#files[@]} files)"
